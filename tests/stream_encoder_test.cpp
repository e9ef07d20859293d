// The stream encoder, checked from the outside: its full frames are JPEG
// images that libjpeg-turbo decodes, every stream it writes goes through the
// library's parser and decoders, partial frames carry exactly the tiles
// that changed, and bad arguments are refused before anything is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/libjpeg_helpers.h"
#include "support/picture_backend.h"
#include "support/piece_source.h"
#include "support/recorders.h"
#include "support/recording_scan_decoder.h"
#include "vorc/core/exceptions.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/encode/forward_dct.h"
#include "vorc/encode/stream_encoder.h"
#include "vorc/encode/synthetic_scene.h"
#include "vorc/sinks/jpeg_receiver.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using vorctest::Bytes;
using vorctest::RgbPicture;

class MemoryReceiver : public vorcByteStreamReceiver {
public:
    MemoryReceiver(std::shared_ptr<Bytes> out, int* destroyed) : out_(std::move(out)), destroyed_(destroyed) {}
    ~MemoryReceiver() override { ++*destroyed_; }
    void receiveStreamBytes(const unsigned char* bytes, int count) override { out_->insert(out_->end(), bytes, bytes + count); }

private:
    std::shared_ptr<Bytes> out_;
    int* destroyed_;
};

struct Settings {
    int quality = 75;
    int keyInterval = 1000;
    int threshold = 0;
    bool tablesInPartial = false;
    bool imageTag = false;
};

Bytes encode(const std::vector<RgbPicture>& pictures, const Settings& settings = {}, bool finish = true) {
    auto out = std::make_shared<Bytes>();
    int destroyed = 0;
    {
        vorcTesraStreamEncoder encoder(new MemoryReceiver(out, &destroyed));
        encoder.setQuality(settings.quality);
        encoder.setKeyFrameInterval(settings.keyInterval);
        encoder.setChangeThreshold(settings.threshold);
        encoder.setTablesInPartialFramesEnabled(settings.tablesInPartial);
        encoder.setImageTagEnabled(settings.imageTag);
        for (const RgbPicture& picture : pictures) encoder.encodeFrame(picture.pixels.data(), picture.width, picture.height);
        if (finish) encoder.finish();
    }
    EXPECT_EQ(destroyed, 1);
    return *out;
}

RgbPicture sceneFrame(int width, int height, uint32_t frame) {
    vorcSyntheticScene scene(width, height);
    RgbPicture picture;
    picture.width = width;
    picture.height = height;
    const unsigned char* pixels = scene.renderFrame(frame);
    picture.pixels.assign(pixels, pixels + static_cast<size_t>(width) * height * 3);
    return picture;
}

double psnr(const RgbPicture& a, const RgbPicture& b) {
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 0.0;
    double squares = 0.0;
    for (size_t i = 0; i < a.pixels.size(); ++i) {
        const double d = static_cast<double>(a.pixels[i]) - b.pixels[i];
        squares += d * d;
    }
    const double mse = squares / static_cast<double>(a.pixels.size());
    return mse == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The bitmap of every frame the parser hands on ("null" for full frames).
std::vector<std::string> frameBitmaps(const Bytes& stream) {
    auto log = std::make_shared<vorctest::CallLog>();
    vorctest::StatusCapture quiet;
    {
        vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream), new vorctest::RecordingBackEnd(log),
                                          new vorctest::RecordingScanDecoder(log));
        while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
        }
    }
    std::vector<std::string> bitmaps;
    for (const std::string& line : *log) {
        const size_t at = line.find(" bitmap=");
        if (line.rfind("sweep ", 0) == 0 && at != std::string::npos) {
            bitmaps.push_back(line.substr(at + 8, line.find(' ', at + 8) - at - 8));
        }
    }
    return bitmaps;
}

std::string hexBitmap(int columns, int rows, const std::vector<int>& tiles) {
    const Bytes bitmap = vorctest::tileBitmap(columns, rows, tiles);
    return vorctest::hexOf(bitmap.data(), bitmap.size());
}

void paint(RgbPicture& picture, int x0, int y0, int width, int height, uint8_t value) {
    for (int y = y0; y < y0 + height && y < picture.height; ++y) {
        for (int x = x0; x < x0 + width && x < picture.width; ++x) {
            uint8_t* pixel = &picture.pixels[(static_cast<size_t>(y) * picture.width + x) * 3];
            pixel[0] = pixel[1] = pixel[2] = value;
        }
    }
}

TEST(ForwardDct, AgreesWithTheFloatingPointTransform) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 200; ++trial) {
        unsigned char samples[64];
        for (unsigned char& s : samples) {
            s = trial == 0 ? 0 : trial == 1 ? 255 : static_cast<unsigned char>(random() % 256);
        }
        int32_t coefficients[64];
        vorc::forward_DCT_8x8(samples, coefficients);
        for (int v = 0; v < 8; ++v) {
            for (int u = 0; u < 8; ++u) {
                double sum = 0.0;
                for (int y = 0; y < 8; ++y) {
                    for (int x = 0; x < 8; ++x) {
                        sum += (samples[y * 8 + x] - 128.0) * std::cos((2 * x + 1) * u * M_PI / 16) *
                               std::cos((2 * y + 1) * v * M_PI / 16);
                    }
                }
                const double cu = u == 0 ? std::sqrt(0.5) : 1.0;
                const double cv = v == 0 ? std::sqrt(0.5) : 1.0;
                const double expected = 8.0 * 0.25 * cu * cv * sum;  // the transform's factor of 8
                ASSERT_NEAR(coefficients[v * 8 + u], expected, 4.0) << "trial " << trial << " u " << u << " v " << v;
            }
        }
    }
}

TEST(ForwardDct, QuantizationTablesScaleWithQuality) {
    unsigned char luma[64];
    unsigned char chroma[64];
    vorc::make_quantization_table(50, false, luma);
    vorc::make_quantization_table(50, true, chroma);
    EXPECT_EQ(luma[0], 16);
    EXPECT_EQ(luma[63], 99);
    EXPECT_EQ(chroma[0], 17);
    vorc::make_quantization_table(100, false, luma);
    for (unsigned char value : luma) EXPECT_EQ(value, 1);
    vorc::make_quantization_table(1, false, luma);
    EXPECT_EQ(luma[1], 255);  // 11 * 50 = 550, clamped
    vorc::make_quantization_table(90, true, chroma);
    EXPECT_EQ(chroma[0], 3);  // (17 * 20 + 50) / 100
}

// A full frame is an ordinary baseline JPEG image; the "TSF" comment is
// ignored by other readers.
TEST(StreamEncoder, FullFramesAreJpegImagesThatLibjpegDecodes) {
    const std::vector<RgbPicture> pictures = {vorctest::syntheticPicture(1, 1, false),
                                              vorctest::syntheticPicture(37, 21, false), sceneFrame(640, 480, 0)};
    for (const RgbPicture& picture : pictures) {
        Settings settings;
        settings.quality = 90;
        const Bytes stream = encode({picture}, settings, false);
        const RgbPicture decoded = vorctest::decompressJpeg(stream);
        ASSERT_EQ(decoded.width, picture.width);
        ASSERT_EQ(decoded.height, picture.height);
        // About as faithful as libjpeg-turbo's own encoder at the same
        // quality; the colour conversion truncates, which costs a little.
        const double libjpegs = psnr(vorctest::decompressJpeg(vorctest::compressJpeg(picture, 90)), picture);
        EXPECT_GE(psnr(decoded, picture), std::min(libjpegs - 1.0, 40.0)) << picture.width << "x" << picture.height;
    }
}

TEST(StreamEncoder, PartialFramesCarryExactlyTheChangedTiles) {
    // 100 x 50 pixels: 7 x 4 tiles, the last column and row only partly inside.
    const RgbPicture original = vorctest::syntheticPicture(100, 50, false);
    RgbPicture changed = original;
    paint(changed, 0, 0, 3, 3, 255);      // tile 0
    paint(changed, 36, 20, 8, 8, 0);      // tile 9 (column 2, row 1)
    paint(changed, 98, 49, 2, 1, 255);    // tile 27, in its two visible columns
    const std::string changedTiles = hexBitmap(7, 4, {0, 9, 27});
    const std::string noTiles = hexBitmap(7, 4, {});

    const Bytes stream = encode({original, changed, changed, original});
    EXPECT_EQ(frameBitmaps(stream), (std::vector<std::string>{"null", changedTiles, noTiles, changedTiles}));

    // With a key-frame interval of 2, every second frame is full again.
    Settings everySecond;
    everySecond.keyInterval = 2;
    EXPECT_EQ(frameBitmaps(encode({original, changed, changed, original}, everySecond)),
              (std::vector<std::string>{"null", changedTiles, "null", changedTiles}));
}

// The decoder keeps the tiles a partial frame leaves out, so a stream of
// partial frames must decode to exactly the pictures of all-full frames.
TEST(StreamEncoder, PartialStreamsDecodeLikeStreamsOfFullFrames) {
    std::vector<RgbPicture> pictures;
    for (uint32_t frame = 0; frame < 6; ++frame) pictures.push_back(sceneFrame(120, 72, frame * 5));
    pictures.push_back(vorctest::syntheticPicture(40, 24, true));  // a change of size
    pictures.push_back(sceneFrame(120, 72, 40));

    Settings allFull;
    allFull.keyInterval = 1;
    const vorctest::DecodeOutcome reference = vorctest::decodeStream(encode(pictures, allFull));
    ASSERT_EQ(reference.frames.size(), pictures.size());
    EXPECT_EQ(reference.errors, 0);

    for (int variant = 0; variant < 3; ++variant) {
        Settings settings;
        settings.tablesInPartial = variant == 1;
        settings.imageTag = variant == 2;
        const Bytes stream = encode(pictures, settings);
        const vorctest::DecodeOutcome outcome =
            vorctest::decodeStream(stream, vorctest::PieceSource::randomPieces(stream.size(), 700, 3 + variant));
        ASSERT_EQ(outcome.frames.size(), pictures.size()) << "variant " << variant;
        EXPECT_EQ(outcome.errors, 0);
        EXPECT_LT(outcome.tiles, reference.tiles);
        for (size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_EQ(outcome.frames[i].pixels, reference.frames[i].pixels) << "variant " << variant << " frame " << i;
        }
    }
}

// Small changes below the threshold are not sent, and the reference keeps
// the old tile, so a slow drift is sent once it has added up.
TEST(StreamEncoder, ThresholdLetsSmallChangesAddUp) {
    std::vector<RgbPicture> pictures;
    RgbPicture picture = vorctest::syntheticPicture(64, 32, true);
    paint(picture, 16, 0, 16, 16, 100);  // tile 1, flat grey
    pictures.push_back(picture);
    for (int step = 1; step <= 12; ++step) {
        paint(picture, 16, 0, 16, 16, static_cast<uint8_t>(100 + 2 * step));
        pictures.push_back(picture);
    }
    Settings settings;
    settings.quality = 50;
    settings.threshold = 10;
    const std::vector<std::string> bitmaps = frameBitmaps(encode(pictures, settings));
    ASSERT_EQ(bitmaps.size(), pictures.size());
    const std::string none = hexBitmap(4, 2, {});
    const std::string tileOne = hexBitmap(4, 2, {1});
    EXPECT_EQ(bitmaps[1], none);
    int sent = 0;
    for (size_t i = 1; i < bitmaps.size(); ++i) {
        EXPECT_TRUE(bitmaps[i] == none || bitmaps[i] == tileOne) << bitmaps[i];
        sent += bitmaps[i] == tileOne ? 1 : 0;
    }
    EXPECT_GE(sent, 2);
    EXPECT_LE(sent, 6);
}

class JpegCollector : public vorcJPEGReceiver {
public:
    explicit JpegCollector(std::shared_ptr<std::vector<Bytes>> images) : images_(std::move(images)) {}
    void beginFrame() override { images_->emplace_back(); }
    void endFrame() override {}
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        images_->back().insert(images_->back().end(), bytes, bytes + count);
    }

private:
    std::shared_ptr<std::vector<Bytes>> images_;
};

// Measured through the transcoder's JPEG images: the pixel decoder's colour
// equations are not the inverse of the encoder's.
TEST(StreamEncoder, TranscodedFramesAreCloseToTheInput) {
    std::vector<RgbPicture> pictures;
    for (uint32_t frame = 0; frame < 6; ++frame) pictures.push_back(sceneFrame(640, 480, frame * 3));
    Settings settings;
    settings.quality = 90;
    const Bytes stream = encode(pictures, settings);

    auto images = std::make_shared<std::vector<Bytes>>();
    auto log = std::make_shared<vorctest::CallLog>();
    {
        vorctest::StatusCapture quiet;
        vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream), new vorctest::RecordingBackEnd(log),
                                          new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new JpegCollector(images)));
        while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
        }
    }
    ASSERT_EQ(images->size(), pictures.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_GE(psnr(vorctest::decompressJpeg((*images)[i]), pictures[i]), 35.0) << "frame " << i;
    }
}

TEST(StreamEncoder, RefusesBadArgumentsWithoutWritingAnything) {
    EXPECT_THROW(vorcTesraStreamEncoder(nullptr), vorcInvalidArgument);

    auto out = std::make_shared<Bytes>();
    int destroyed = 0;
    {
        vorcTesraStreamEncoder encoder(new MemoryReceiver(out, &destroyed));
        const std::vector<unsigned char> pixel(3, 0);
        EXPECT_THROW(encoder.encodeFrame(nullptr, 16, 16), vorcInvalidArgument);
        EXPECT_THROW(encoder.encodeFrame(pixel.data(), 0, 1), vorcInvalidArgument);
        EXPECT_THROW(encoder.encodeFrame(pixel.data(), 1, -1), vorcInvalidArgument);
        EXPECT_THROW(encoder.encodeFrame(pixel.data(), 65536, 1), vorcInvalidArgument);
        EXPECT_THROW(encoder.setQuality(0), vorcInvalidArgument);
        EXPECT_THROW(encoder.setQuality(101), vorcInvalidArgument);
        EXPECT_THROW(encoder.setKeyFrameInterval(0), vorcInvalidArgument);
        EXPECT_THROW(encoder.setChangeThreshold(-1), vorcInvalidArgument);
        const unsigned char payload[1] = {1};
        EXPECT_THROW(encoder.writeApplicationSegment(payload, 0), vorcInvalidArgument);
        EXPECT_THROW(encoder.writeApplicationSegment(payload, 65534), vorcInvalidArgument);
        EXPECT_TRUE(out->empty());
        try {
            encoder.setQuality(500);
        } catch (const vorcException& e) {
            EXPECT_NE(std::string(e.what()).find("quality"), std::string::npos);
        }

        // One APP13 segment fits after each frame, none before the first.
        EXPECT_EQ(encoder.writeApplicationSegment(payload, 1), 1);
        EXPECT_TRUE(out->empty());
        encoder.encodeFrame(pixel.data(), 1, 1);
        EXPECT_EQ(encoder.writeApplicationSegment(payload, 1), 0);
        EXPECT_EQ(encoder.writeApplicationSegment(payload, 1), 1);
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(vorctest::decodeStream(*out).frames.size(), 1u);
}

// A reader completes a frame only at the next marker: finish() supplies it.
TEST(StreamEncoder, FinishCompletesTheLastFrame) {
    const std::vector<RgbPicture> pictures(2, vorctest::syntheticPicture(16, 16, false));
    EXPECT_EQ(vorctest::decodeStream(encode(pictures, {}, false)).frames.size(), 1u);
    EXPECT_EQ(vorctest::decodeStream(encode(pictures, {}, true)).frames.size(), 2u);
}

}  // namespace
