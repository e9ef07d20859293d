// The whole pixel path (parser, software scan decoder, buffered back end)
// against libjpeg-turbo: pictures compressed by libjpeg become full frames,
// and what we decode is compared with libjpeg's own decoding of the same
// image; a partial frame after each shows that uncoded tiles keep their
// pixels, and where decode calls end changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "support/picture_backend.h"

using vorctest::Bytes;
using vorctest::RgbPicture;

// Grey content has flat chrominance, so both decoders differ only by the
// rounding of their integer inverse DCTs: at most one level.
//
// A colour picture is compared with our colour equations applied to
// libjpeg's own, not upsampled samples. Both inverse DCTs lie within one
// level of the exact transform, and the grey pictures show that their
// samples differ by at most one. With |dY|, |dU|, |dV| <= 1 the fixed-point
// sums differ by at most 1 + 1.140 = 2.14 (red), 1 + 0.394 + 0.581 = 1.98
// (green) and 1 + 2.032 = 3.03 (blue) levels before the shift; flooring adds
// at most one more, so red may be 3, green 2 and blue 4 levels off. Such
// differences must stay rare: the mean difference guards against a
// systematic fault (wrong chroma sample, wrong multiplier) hiding below those
// bounds.
TEST(PixelCrosscheck, LibjpegPicturesDecodeAsLibjpegDecodesThem) {
    const int colourBound[3] = {3, 2, 4};
    const std::array<int, 3> cases[] = {{16, 16, 75},   {100, 33, 30},  {100, 33, 95},
                                        {640, 480, 50}, {640, 480, 90}, {1920, 1080, 75}};
    for (const auto& [width, height, quality] : cases) {
        for (const bool grey : {true, false}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " q" +
                         std::to_string(quality) + (grey ? " grey" : " colour"));
            // The picture, then a partial frame that codes only the last tile
            // (flat grey; with tables for colour), then the SOI that completes it.
            const Bytes jpeg =
                vorctest::compressJpeg(vorctest::syntheticPicture(width, height, grey), quality);
            const int columns = (width + 15) / 16, rows = (height + 15) / 16;
            vorctest::StreamBuilder stream;
            stream.raw(vorctest::jpegToTesraFrame(jpeg))
                .partialFrame(vorctest::tileBitmap(columns, rows, {columns * rows - 1}),
                              vorctest::zeroTilesScan(1), !grey)
                .soi();
            const vorctest::DecodeOutcome outcome = vorctest::decodeStream(stream.bytes());
            EXPECT_EQ(outcome.errors, 0);
            ASSERT_EQ(outcome.frames.size(), 2u);
            const RgbPicture& ours = outcome.frames[0];
            ASSERT_EQ(ours.width, width);
            ASSERT_EQ(ours.height, height);
            const RgbPicture reference = vorctest::decompressJpeg(jpeg, !grey);
            ASSERT_EQ(ours.pixels.size(), reference.pixels.size());
            int worst[3] = {0, 0, 0};
            double total = 0;
            for (size_t i = 0; i < ours.pixels.size(); i += 3) {
                const int luma = 1024 * reference.pixels[i];
                const int u = reference.pixels[i + 1] - 128;
                const int v = reference.pixels[i + 2] - 128;
                const int rgb[3] = {luma + 1167 * v, luma - 403 * u - 595 * v, luma + 2081 * u};
                for (int channel = 0; channel < 3; ++channel) {
                    const int expected = grey ? reference.pixels[i + channel]
                                              : std::clamp(rgb[channel] >> 10, 0, 255);
                    const int difference = std::abs(ours.pixels[i + channel] - expected);
                    worst[channel] = std::max(worst[channel], difference);
                    total += difference;
                }
            }
            for (int channel = 0; channel < 3; ++channel)
                EXPECT_LE(worst[channel], grey ? 1 : colourBound[channel]) << "channel " << channel;
            const double mean = total / static_cast<double>(ours.pixels.size());
            EXPECT_TRUE(grey || mean < 0.25) << "mean difference " << mean;

            // The second frame: the last tile grey, every other pixel kept.
            RgbPicture second = ours;
            for (int y = (rows - 1) * 16; y < height; ++y) {
                const int x = (columns - 1) * 16;
                std::fill_n(&second.pixels[(y * width + x) * 3], (width - x) * 3, 128);
            }
            EXPECT_EQ(outcome.frames[1].pixels, second.pixels);
            // Decode calls of many sizes for small pictures: when a frame
            // completes inside a call, what the next frame has collected
            // (tables, bitmap, scan start) moves to the buffer start in the
            // next call, and must come out the same.
            for (int pull = 1; width <= 100 && pull < int(stream.bytes().size());
                 pull += pull < 300 ? 1 : 29) {
                const auto split = vorctest::decodeStream(stream.bytes(), {}, pull);
                ASSERT_TRUE(split.errors == 0 && split.frames.size() == 2u) << pull;
                ASSERT_EQ(split.frames[0].pixels, ours.pixels) << pull << " bytes per call";
                ASSERT_EQ(split.frames[1].pixels, second.pixels) << pull << " bytes per call";
            }
        }
    }
}
