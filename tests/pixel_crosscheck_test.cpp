// The whole pixel path (parser, software scan decoder, buffered back end)
// against libjpeg-turbo: pictures compressed by libjpeg become full frames,
// and what we decode is compared with libjpeg's own decoding of the same
// image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "support/libjpeg_helpers.h"
#include "support/picture_backend.h"
#include "support/stream_builder.h"

namespace {

using vorctest::Bytes;
using vorctest::RgbPicture;

// A frame is complete once the next frame's SOI arrives.
Bytes withNextFrameStart(Bytes stream) {
    stream.push_back(0xFF);
    stream.push_back(0xD8);
    return stream;
}

RgbPicture decodeOneFrame(const Bytes& frame) {
    const vorctest::DecodeOutcome outcome = vorctest::decodeStream(withNextFrameStart(frame));
    EXPECT_EQ(outcome.errors, 0);
    EXPECT_EQ(outcome.frames.size(), 1u);
    return outcome.frames.empty() ? RgbPicture{} : outcome.frames.front();
}

int worstDifference(const RgbPicture& a, const RgbPicture& b) {
    int worst = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) worst = std::max(worst, std::abs(a.pixels[i] - b.pixels[i]));
    return worst;
}

// Our colour equations applied to libjpeg's own, not upsampled samples.
RgbPicture convertRaw(const vorctest::RawPlanes& planes) {
    RgbPicture picture;
    picture.width = planes.width;
    picture.height = planes.height;
    for (int y = 0; y < planes.height; ++y) {
        for (int x = 0; x < planes.width; ++x) {
            const int luma = 1024 * planes.lumaAt(x, y);
            const int u = planes.cbAt(x, y) - 128;
            const int v = planes.crAt(x, y) - 128;
            for (const int value : {luma + 1167 * v, luma - 403 * u - 595 * v, luma + 2081 * u}) {
                picture.pixels.push_back(static_cast<uint8_t>(std::clamp(value >> 10, 0, 255)));
            }
        }
    }
    return picture;
}

struct Case {
    int width;
    int height;
    int quality;
};

const Case Cases[] = {{16, 16, 75}, {100, 33, 30}, {100, 33, 95}, {640, 480, 50}, {640, 480, 90}, {1920, 1080, 75}};

// Grey content has flat chrominance, so both decoders differ only by the
// rounding of their integer inverse DCTs: at most one level.
TEST(PixelCrosscheck, GreyPicturesMatchLibjpeg) {
    for (const Case& c : Cases) {
        const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(c.width, c.height, true), c.quality);
        const RgbPicture ours = decodeOneFrame(vorctest::jpegToTesraFrame(jpeg));
        const RgbPicture reference = vorctest::decompressJpeg(jpeg);
        ASSERT_EQ(ours.width, c.width);
        ASSERT_EQ(ours.height, c.height);
        EXPECT_LE(worstDifference(ours, reference), 1) << c.width << "x" << c.height << " q" << c.quality;
    }
}

// Both inverse DCTs lie within one level of the exact transform, and the
// grey test shows that their samples differ by at most one. With |dY|,
// |dU|, |dV| <= 1 the fixed-point sums differ by at most 1 + 1.140 = 2.14
// (red), 1 + 0.394 + 0.581 = 1.98 (green) and 1 + 2.032 = 3.03 (blue)
// levels before the shift; flooring adds at most one more, so red may be
// 3, green 2 and blue 4 levels off. Such differences must stay rare: the
// mean difference guards against a systematic fault (wrong chroma sample,
// wrong multiplier) hiding below those bounds.
TEST(PixelCrosscheck, ColourPicturesMatchOurEquationsOnLibjpegSamples) {
    const int bound[3] = {3, 2, 4};
    for (const Case& c : Cases) {
        const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(c.width, c.height, false), c.quality);
        const RgbPicture ours = decodeOneFrame(vorctest::jpegToTesraFrame(jpeg));
        const RgbPicture reference = convertRaw(vorctest::decompressJpegRaw(jpeg));
        ASSERT_EQ(ours.width, c.width);
        ASSERT_EQ(ours.height, c.height);
        ASSERT_EQ(ours.pixels.size(), reference.pixels.size());
        int worst[3] = {0, 0, 0};
        double total = 0;
        for (size_t i = 0; i < ours.pixels.size(); ++i) {
            const int difference = std::abs(ours.pixels[i] - reference.pixels[i]);
            worst[i % 3] = std::max(worst[i % 3], difference);
            total += difference;
        }
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_LE(worst[channel], bound[channel])
                << c.width << "x" << c.height << " q" << c.quality << " channel " << channel;
        }
        EXPECT_LT(total / static_cast<double>(ours.pixels.size()), 0.25) << c.width << "x" << c.height;
    }
}

// Piece boundaries anywhere (down to single bytes) must not change a pixel.
TEST(PixelCrosscheck, ByteByByteFeedingDecodesTheSamePicture) {
    const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(100, 33, false), 80);
    const Bytes stream = withNextFrameStart(vorctest::jpegToTesraFrame(jpeg));
    const vorctest::DecodeOutcome whole = vorctest::decodeStream(stream);
    const vorctest::DecodeOutcome bytewise = vorctest::decodeStream(stream, {1});
    ASSERT_EQ(whole.frames.size(), 1u);
    ASSERT_EQ(bytewise.frames.size(), 1u);
    EXPECT_EQ(whole.frames[0].pixels, bytewise.frames[0].pixels);
}

// A partial frame codes tile 1 of 7 x 3 (flat grey); the other tiles keep
// the first frame's pixels.
TEST(PixelCrosscheck, UncodedTilesKeepEarlierPixels) {
    const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(100, 33, false), 80);
    Bytes stream = vorctest::jpegToTesraFrame(jpeg);
    vorctest::StreamBuilder partial;
    partial.partialFrame(vorctest::tileBitmap(7, 3, {1}), vorctest::zeroTilesScan(1)).soi();
    stream.insert(stream.end(), partial.bytes().begin(), partial.bytes().end());

    const vorctest::DecodeOutcome outcome = vorctest::decodeStream(stream);
    ASSERT_EQ(outcome.frames.size(), 2u);
    EXPECT_EQ(outcome.errors, 0);
    const RgbPicture& first = outcome.frames[0];
    const RgbPicture& second = outcome.frames[1];
    for (int y = 0; y < 33; ++y) {
        for (int x = 0; x < 100; ++x) {
            const bool inTile1 = y < 16 && x >= 16 && x < 32;
            for (int channel = 0; channel < 3; ++channel) {
                ASSERT_EQ(second.at(x, y)[channel], inTile1 ? 128 : first.at(x, y)[channel]) << x << "," << y;
            }
        }
    }
}

}  // namespace
