// The stream encoder, checked from the outside: libjpeg-turbo decodes the
// transcoder's images of its streams, every stream it
// writes goes through the library's parser and decoders, partial frames carry
// exactly the tiles that changed, and bad arguments are refused before
// anything is written.
#include "vorc/encode/stream_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "support/picture_backend.h"
#include "support/piece_source.h"
#include "support/recording_scan_decoder.h"
#include "vorc/backends/default_backend.h"
#include "vorc/core/exceptions.h"
#include "vorc/encode/synthetic_scene.h"
#include "vorc/transcode/jpeg_converter.h"

using vorctest::Bytes;
using vorctest::RgbPicture;
using Encoder = vorc::StreamEncoder;

// Keeps the encoder's stream, or the transcoder's images one per frame.
// (Under ASan, a receiver the encoder or transcoder fails to delete, or
// deletes twice, fails the test.)
struct Collector : vorcByteStreamReceiver, vorcJPEGReceiver {
    explicit Collector(std::vector<Bytes>& out) : out(out) {}
    void beginFrame() override { out.emplace_back(); }
    void endFrame() override {}
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        out.back().insert(out.back().end(), bytes, bytes + count);
    }
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        receiveJPEGBytes(bytes, count);
    }
    std::vector<Bytes>& out;
};

// One full frame, then partial frames unless configured otherwise.
Bytes encode(const std::vector<RgbPicture>& pictures,
             const std::function<void(Encoder&)>& configure = nullptr, bool finish = true) {
    std::vector<Bytes> out(1);
    {
        Encoder encoder(new Collector(out));
        encoder.setKeyFrameInterval(1000);
        if (configure) configure(encoder);
        for (const RgbPicture& p : pictures)
            encoder.encodeFrame(p.pixels.data(), p.width, p.height);
        if (finish) encoder.finish();
    }
    return out[0];
}

RgbPicture sceneFrame(int width, int height, uint32_t frame) {
    vorc::SyntheticScene scene(width, height);
    const unsigned char* pixels = scene.renderFrame(frame);
    return {width, height, Bytes(pixels, pixels + static_cast<size_t>(width) * height * 3)};
}

// 0 for pictures of different sizes.
double psnr(const RgbPicture& a, const RgbPicture& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.empty()) return 0.0;
    double squares = 0.0;  // a sum of squared integers: 0 or at least 1
    for (size_t i = 0; i < a.pixels.size(); ++i)
        squares += std::pow(a.pixels[i] - b.pixels[i], 2.0);
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.pixels.size()) /
                             std::max(squares, 1.0));
}

void decodeAll(const Bytes& stream, vorcTesraDecoderBackEnd* backEnd,
               vorcFramewiseTesraScanDecoder* scans) {
    vorctest::StatusCapture quiet;
    vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream), backEnd, scans);
    while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
    }
}

// The bitmap of every frame the parser hands on, in hex ("null" for full frames).
std::vector<std::string> frameBitmaps(const Bytes& stream) {
    auto log = std::make_shared<vorctest::CallLog>();
    decodeAll(stream, new vorctest::RecordingBackEnd(log), new vorctest::RecordingScanDecoder(log));
    std::vector<std::string> bitmaps;
    for (const std::string& line : *log) {
        const size_t at = line.find(" bitmap=") + 8;
        if (line.rfind("sweep ", 0) == 0)
            bitmaps.push_back(line.substr(at, line.find(' ', at) - at));
    }
    return bitmaps;
}

std::string hexBitmap(int columns, int rows, const std::vector<int>& tiles) {
    const Bytes bitmap = vorctest::tileBitmap(columns, rows, tiles);
    return vorctest::hexOf(bitmap.data(), bitmap.size());
}

void paint(RgbPicture& p, int x0, int y0, int width, int height, uint8_t grey) {
    for (int y = y0; y < y0 + height; ++y)
        std::fill_n(&p.pixels[(size_t(y) * p.width + x0) * 3], 3 * width, grey);
}

// Streams are measured through the transcoder's images: the pixel decoder's
// colour equations are not the inverse of the encoder's.
TEST(StreamEncoder, TranscodedImagesAreCloseToTheInput) {
    std::vector<RgbPicture> pictures;
    for (uint32_t frame = 0; frame < 6; ++frame)
        pictures.push_back(sceneFrame(640, 480, frame * 3));
    std::vector<Bytes> images;
    decodeAll(encode(pictures, [](Encoder& e) { e.setQuality(90); }),
              new vorcDefaultTesraDecoderBackEnd(),
              new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new Collector(images)));
    ASSERT_EQ(images.size(), pictures.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_GE(psnr(vorctest::decompressJpeg(images[i]), pictures[i]), 35.0) << "frame " << i;
    }
}

TEST(StreamEncoder, PartialFramesCarryExactlyTheChangedTiles) {
    // 100 x 50 pixels: 7 x 4 tiles, the last column and row only partly inside.
    const RgbPicture original = vorctest::syntheticPicture(100, 50, false);
    RgbPicture changed = original;
    paint(changed, 0, 0, 3, 3, 255);    // tile 0
    paint(changed, 36, 20, 8, 8, 0);    // tile 9 (column 2, row 1)
    paint(changed, 98, 49, 2, 1, 255);  // tile 27, in its two visible columns
    const std::string changedTiles = hexBitmap(7, 4, {0, 9, 27});
    EXPECT_EQ(frameBitmaps(encode({original, changed, changed, original})),
              (std::vector<std::string>{"null", changedTiles, hexBitmap(7, 4, {}), changedTiles}));
    // A full frame when asked for, say for a reader that joins now.
    std::vector<Bytes> out(1);
    {
        Encoder encoder(new Collector(out));
        encoder.setKeyFrameInterval(1000);
        for (const RgbPicture* picture : {&original, static_cast<const RgbPicture*>(&changed), &original}) {
            if (picture == &original && encoder.getFramesEncoded() > 0) encoder.requestFullFrame();
            encoder.encodeFrame(picture->pixels.data(), picture->width, picture->height);
        }
        encoder.finish();
    }
    EXPECT_EQ(frameBitmaps(out[0]), (std::vector<std::string>{"null", changedTiles, "null"}));
}

// The decoder keeps the tiles a partial frame leaves out, so a stream of
// partial frames must decode to exactly the pictures of all-full frames, fed
// in one piece or in random pieces.
TEST(StreamEncoder, PartialStreamsDecodeLikeStreamsOfFullFrames) {
    std::vector<RgbPicture> pictures;
    for (uint32_t frame = 0; frame < 6; ++frame) pictures.push_back(sceneFrame(120, 72, frame * 5));
    pictures.push_back(vorctest::syntheticPicture(40, 24, true));  // a change of size
    pictures.push_back(sceneFrame(120, 72, 40));

    const auto allFull = [](Encoder& e) { e.setKeyFrameInterval(1); };
    const vorctest::DecodeOutcome reference = vorctest::decodeStream(encode(pictures, allFull));
    ASSERT_EQ(reference.frames.size(), pictures.size());
    EXPECT_EQ(reference.errors, 0);
    // Without finish() the last frame ends with the stream and is handed on too.
    EXPECT_EQ(vorctest::decodeStream(encode(pictures, allFull, false)).frames.size(), pictures.size());

    for (int variant = 0; variant < 3; ++variant) {
        const Bytes stream = encode(pictures, [variant](Encoder& e) {
            e.setTablesInPartialFramesEnabled(variant == 1);
            e.setImageTagEnabled(variant == 2);
        });
        const vorctest::DecodeOutcome outcome = vorctest::decodeStream(
            stream, vorctest::PieceSource::randomPieces(stream.size(), 700, 3 + variant));
        ASSERT_EQ(outcome.frames.size(), pictures.size()) << "variant " << variant;
        EXPECT_EQ(outcome.errors, 0);
        EXPECT_LT(outcome.tiles, reference.tiles);
        for (size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_EQ(outcome.frames[i].pixels, reference.frames[i].pixels)
                << "variant " << variant << " frame " << i;
        }
    }
}

TEST(StreamEncoder, RefusesBadArgumentsWithoutWritingAnything) {
    EXPECT_THROW(Encoder(nullptr), vorc::InvalidArgument);
    const unsigned char pixel[3] = {0, 0, 0};
    const std::vector<std::pair<std::function<void(Encoder&)>, std::string>> rejected = {
        {[&](Encoder& e) { e.encodeFrame(nullptr, 16, 16); }, "picture is null"},
        {[&](Encoder& e) { e.encodeFrame(pixel, 0, 1); }, "width and height"},
        {[&](Encoder& e) { e.encodeFrame(pixel, 1, -1); }, "width and height"},
        {[&](Encoder& e) { e.encodeFrame(pixel, 65536, 1); }, "width and height"},
        {[](Encoder& e) { e.setQuality(0); }, "quality"},
        {[](Encoder& e) { e.setQuality(101); }, "quality"},
        {[](Encoder& e) { e.setKeyFrameInterval(0); }, "key-frame interval"},
        {[](Encoder& e) { e.setChangeThreshold(-1); }, "change threshold"},
        {[&](Encoder& e) { e.writeApplicationSegment(pixel, 0); }, "APP13"},
        {[&](Encoder& e) { e.writeApplicationSegment(pixel, 65534); }, "APP13"},
    };
    std::vector<Bytes> out(1);
    {
        Encoder encoder(new Collector(out));
        for (size_t row = 0; row < rejected.size(); ++row) {
            try {
                rejected[row].first(encoder);
                ADD_FAILURE() << "row " << row << " accepted";
            } catch (const vorc::InvalidArgument& e) {
                EXPECT_NE(std::string(e.what()).find(rejected[row].second), std::string::npos)
                    << e.what();
            }
        }
        // One APP13 segment fits after each frame, none before the first.
        EXPECT_EQ(encoder.writeApplicationSegment(pixel, 1), 1);
        EXPECT_TRUE(out[0].empty());
        encoder.encodeFrame(pixel, 1, 1);
        EXPECT_EQ(encoder.writeApplicationSegment(pixel, 1), 0);
        EXPECT_EQ(encoder.writeApplicationSegment(pixel, 1), 1);
    }
    EXPECT_EQ(vorctest::decodeStream(out[0]).frames.size(), 1u);
}
