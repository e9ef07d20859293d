// The transcoder end to end: every image it writes is checked by libjpeg,
// both for clean decoding and for carrying exactly the picture's
// coefficients (the source JPEGs' for full frames, the coded tiles' new and
// the kept tiles' old ones for partial frames); failed frames, huge
// pictures and two transcoders side by side.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>

#include "support/jpeg_collector.h"
#include "support/libjpeg_coefficients.h"
#include "support/libjpeg_helpers.h"
#include "support/piece_source.h"
#include "support/recorders.h"
#include "support/stream_builder.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using vorctest::Block;
using vorctest::Bytes;
using vorctest::CallLog;
using vorctest::CollectedJPEGs;
using vorctest::TileBlocks;
using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

// Runs a stream through source -> parser -> transcoder -> recording back end.
std::shared_ptr<CollectedJPEGs> transcodeStream(const Bytes& stream, std::shared_ptr<CallLog> log,
                                                std::vector<size_t> pieces = {}) {
    auto store = std::make_shared<CollectedJPEGs>();
    vorcFramewiseTesraDecoder decoder(new vorctest::PieceSource(stream, std::move(pieces)),
                                      new vorctest::RecordingBackEnd(log),
                                      new Converter(new vorctest::CollectingJPEGReceiver(store)));
    while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
    }
    return store;
}

// The coefficients of an image; fails the test on any libjpeg warning.
vorctest::JpegCoefficients checkedCoefficients(const Bytes& jpeg, const std::string& what) {
    vorctest::decodeJpegStrictly(jpeg, what);
    vorctest::JpegCoefficients coefficients = vorctest::readJpegCoefficients(jpeg);
    EXPECT_TRUE(coefficients.valid()) << what;
    EXPECT_TRUE(coefficients.warnings.empty()) << what;
    return coefficients;
}

Block randomBlock(std::mt19937& random) {
    std::uniform_int_distribution<int> dc(-600, 600);
    std::uniform_int_distribution<int> ac(-40, 40);
    std::uniform_int_distribution<int> position(1, 63);
    Block block{};
    block[0] = static_cast<int16_t>(dc(random));
    for (int i = position(random) / 4; i > 0; --i)
        block[position(random)] = static_cast<int16_t>(ac(random));
    return block;
}

TileBlocks randomTile(std::mt19937& random) {
    TileBlocks tile;
    for (Block& block : tile) block = randomBlock(random);
    return tile;
}

// Codes the given tiles of a model picture as one scan.
Bytes scanOf(const std::vector<TileBlocks>& picture, const std::vector<int>& tiles) {
    vorctest::ScanWriter writer;
    for (int k : tiles) {
        const TileBlocks& t = picture[static_cast<size_t>(k)];
        writer.tile(t[0], t[1], t[2], t[3], t[4], t[5]);
    }
    return writer.finish();
}

std::vector<int> allTiles(int count) {
    std::vector<int> tiles(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) tiles[static_cast<size_t>(k)] = k;
    return tiles;
}

void expectPicture(const Bytes& jpeg, const std::vector<TileBlocks>& model, int width, int height,
                   const std::string& what) {
    const vorctest::JpegCoefficients read = checkedCoefficients(jpeg, what);
    ASSERT_EQ(read.width, width) << what;
    ASSERT_EQ(read.height, height) << what;
    ASSERT_EQ(read.tiles.size(), model.size()) << what;
    for (size_t k = 0; k < model.size(); ++k)
        EXPECT_EQ(read.tiles[k], model[k]) << what << ", tile " << k;
}

TEST(Transcoder, FullFramesCarryTheSourceJpegsCoefficients) {
    vorctest::StatusCapture status;
    const struct {
        int width, height, quality;
    } pictures[] = {{96, 64, 75}, {96, 64, 40}, {100, 70, 90}};
    std::vector<Bytes> sources;
    vorctest::StreamBuilder stream;
    uint32_t seed = 1;
    for (const auto& p : pictures) {
        sources.push_back(vorctest::compressJpeg(
            vorctest::syntheticPicture(p.width, p.height, false, seed++), p.quality));
        stream.raw(vorctest::jpegToTesraFrame(sources.back()));
    }
    stream.app13();
    auto log = std::make_shared<CallLog>();
    // Split into small pieces, so frames straddle the parser's pulls.
    const auto store = transcodeStream(stream.bytes(), log, {977});
    ASSERT_EQ(store->images.size(), sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        const vorctest::JpegCoefficients expected = vorctest::readJpegCoefficients(sources[i]);
        const vorctest::JpegCoefficients actual =
            checkedCoefficients(store->images[i], "image " + std::to_string(i));
        EXPECT_EQ(actual.width, expected.width);
        EXPECT_EQ(actual.height, expected.height);
        EXPECT_EQ(actual.quant, expected.quant) << "image " << i;
        EXPECT_TRUE(actual.tiles == expected.tiles) << "image " << i;
    }
    EXPECT_EQ(std::count(status.messages().begin(), status.messages().end(),
                         "JPG converter : reallocated coeff buffer"),
              2);
}

TEST(Transcoder, PartialFramesKeepTheTilesTheyDoNotCarry) {
    vorctest::StatusCapture status;
    constexpr int Columns = 4;
    constexpr int Rows = 3;
    std::mt19937 random(3);
    std::vector<TileBlocks> model(Columns * Rows);
    for (TileBlocks& tile : model) tile = randomTile(random);
    vorctest::StreamBuilder stream;
    stream.fullFrame(Columns * 16, Rows * 16, scanOf(model, allTiles(Columns * Rows)), 12);
    std::vector<std::vector<TileBlocks>> expected{model};
    const std::vector<std::vector<int>> updates = {{1, 5, 6, 11}, {}, {0}, {2, 3, 4, 7, 8, 9, 10}};
    for (const auto& coded : updates) {
        for (int k : coded) model[static_cast<size_t>(k)] = randomTile(random);
        stream.partialFrame(vorctest::tileBitmap(Columns, Rows, coded), scanOf(model, coded));
        expected.push_back(model);
    }
    stream.app13();
    auto log = std::make_shared<CallLog>();
    const auto store = transcodeStream(stream.bytes(), log);
    ASSERT_EQ(store->images.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        expectPicture(store->images[i], expected[i], Columns * 16, Rows * 16,
                      "image " + std::to_string(i));
    }
    // One handled-tile report per coded tile, and no pixel targets asked for.
    EXPECT_EQ(std::count(log->begin(), log->end(), "received"), 12 + 4 + 0 + 1 + 7);
    EXPECT_EQ(std::count(log->begin(), log->end(), "complete"), 5);
    EXPECT_EQ(std::count_if(log->begin(), log->end(),
                            [](const std::string& s) { return s.rfind("tile", 0) == 0; }),
              0);
}

// Direct sweeps, for scans the parser could not deliver.
struct Sweeper {
    std::shared_ptr<CollectedJPEGs> store = std::make_shared<CollectedJPEGs>();
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    vorctest::RecordingBackEnd backEnd{log};
    Converter converter{new vorctest::CollectingJPEGReceiver(store)};

    Sweeper() { converter.setBackEnd(&backEnd); }

    // With endMarker the scan ends in FF D9, as the parser delivers it.
    void sweep(int width, int height, Bytes scan, const std::vector<int>* coded,
               bool endMarker = true) {
        if (endMarker) scan.insert(scan.end(), {0xFF, 0xD9});
        Frame frame;
        frame.reset(width, height);
        Bytes bitmap;
        if (coded != nullptr)
            bitmap = vorctest::tileBitmap(frame.tileColumns, frame.tileRows, *coded);
        frame.scanBytes = scan.empty() ? nullptr : scan.data();
        frame.scanLength = static_cast<int32_t>(scan.size());
        frame.tileBitmap = coded != nullptr ? bitmap.data() : nullptr;
        converter.performScanSweep(&frame);
    }
};

TEST(Transcoder, FailedFramesWriteNothingButKeepTheirDecodedTiles) {
    vorctest::StatusCapture status;
    std::mt19937 random(5);
    Sweeper s;
    std::vector<TileBlocks> model(3);  // a fresh picture is all zero (mid-grey)
    model[1] = randomTile(random);
    const std::vector<int> middle{1};
    s.sweep(48, 16, scanOf(model, middle), &middle);
    ASSERT_EQ(s.store->images.size(), 1u);
    expectPicture(s.store->images[0], model, 48, 16, "first image");

    // A scan that runs out inside tile 1, without an end marker.
    std::vector<TileBlocks> next = model;
    for (TileBlocks& tile : next) tile = randomTile(random);
    const Bytes full = scanOf(next, {0, 1, 2});
    size_t cut = scanOf(next, {0}).size() + 3;
    while (full[cut - 1] == 0xFF) ++cut;
    s.sweep(48, 16, Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut)), nullptr,
            false);
    EXPECT_EQ(s.store->images.size(), 1u);
    EXPECT_EQ(s.log->back(), "error");

    // A block whose zero runs pass its end: tile 2 fails after tile 0 is in.
    vorctest::ScanWriter broken;
    const TileBlocks& t0 = next[0];
    broken.tile(t0[0], t0[1], t0[2], t0[3], t0[4], t0[5]);
    broken.bits(0, 2);  // luminance DC difference 0
    for (int i = 0; i < 4; ++i) broken.bits(0x7F9, 11);
    s.log->clear();
    status.clear();
    const std::vector<int> firstAndLast{0, 2};
    s.sweep(48, 16, broken.finish(), &firstAndLast);
    EXPECT_EQ(s.store->images.size(), 1u);
    EXPECT_TRUE(status.contains("too many AC coeffs!"));
    EXPECT_EQ(*s.log, (CallLog{"received", "error"}));

    // The next good frame shows tile 0 as decoded before the failure.
    const std::vector<int> none;
    s.sweep(48, 16, {}, &none);
    ASSERT_EQ(s.store->images.size(), 2u);
    const vorctest::JpegCoefficients read =
        checkedCoefficients(s.store->images[1], "after failure");
    ASSERT_EQ(read.tiles.size(), 3u);
    EXPECT_EQ(read.tiles[0], next[0]);
}

// Puts status messages into a sweeper's call log, so their order against
// the back end's calls shows.
class LoggingHandler : public vorcStatusMessageHandler {
public:
    explicit LoggingHandler(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
    void sendStatusMsg(const char* msg, void*) override { log_->push_back(msg); }

private:
    std::shared_ptr<CallLog> log_;
};

TEST(Transcoder, ScansThatRunOutReportWhereAndInTheirOwnOrder) {
    // One-byte scans without an end marker, in the default luminance codes.
    const struct {
        unsigned char scan;
        CallLog expected;
    } cases[] = {
        // Y0: DC 1, end of block; Y1 finds no DC code.
        {0x5A, {"error", "JPG converter : 1) huffman_leaf_node DC == NULL"}},
        // DC category 6 with only 4 of its 6 magnitude bits.
        {0xE0, {"JPG converter : Return val consumeAdditionalBits() == NULL", "error"}},
        // DC 0, then AC -1 twice; no code after them.
        {0x00, {"JPG converter : 2)huffman_leaf_node AC == NULL", "error"}},
        // DC 0, AC size 4 with only 2 of its magnitude bits.
        {0x2C, {"JPG converter : return val consumeAdditionalBits() == NULL", "error"}},
    };
    vorctest::StatusCapture quiet;
    for (const auto& c : cases) {
        Sweeper s;
        s.sweep(16, 16, vorctest::zeroTilesScan(1), nullptr);  // sets up the coefficient store
        s.log->clear();
        vorc::setStatusMessageHandler(new LoggingHandler(s.log));
        s.sweep(16, 16, {c.scan}, nullptr, false);
        vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
        EXPECT_EQ(*s.log, c.expected) << "scan byte " << int{c.scan};
        EXPECT_EQ(s.store->images.size(), 1u);
    }
}

TEST(Transcoder, HugePicturesAndMissingBackEnd) {
    vorctest::StatusCapture status;
    {
        auto store = std::make_shared<CollectedJPEGs>();
        Converter lonely(new vorctest::CollectingJPEGReceiver(store));
        Frame frame;
        frame.reset(16, 16);
        Bytes scan = vorctest::zeroTilesScan(1);
        frame.scanBytes = scan.data();
        frame.scanLength = static_cast<int32_t>(scan.size());
        lonely.performScanSweep(&frame);
        EXPECT_EQ(store->calls, std::vector<std::string>{});
    }
    Sweeper s;
    status.clear();
    // 4096 x 4096 tiles: 12.9 GB of coefficients, more than 32 bits can count.
    s.sweep(65535, 65535, {}, nullptr, false);
    EXPECT_EQ(*s.log, CallLog{"error"});
    const bool allocated = status.contains("JPG converter : reallocated coeff buffer");
    EXPECT_TRUE(allocated ||
                (status.contains("JPG converter : reallocation of coeff buffer failed!") &&
                 status.contains("JPG converter : CoeffBuffer == NULL!")));
    s.sweep(16, 16, vorctest::zeroTilesScan(1), nullptr);
    ASSERT_EQ(s.store->images.size(), 1u);
    EXPECT_EQ(s.store->images[0].size(), 629u);
}

TEST(Transcoder, TwoTranscodersInterleaved) {
    vorctest::StatusCapture status;
    std::mt19937 random(9);
    Sweeper a;
    Sweeper b;
    std::vector<TileBlocks> pictureA(6);
    std::vector<TileBlocks> pictureB(2);
    for (int frame = 0; frame < 3; ++frame) {
        for (TileBlocks& tile : pictureA) tile = randomTile(random);
        for (TileBlocks& tile : pictureB) tile = randomTile(random);
        a.sweep(48, 32, scanOf(pictureA, allTiles(6)), nullptr);
        b.sweep(32, 16, scanOf(pictureB, allTiles(2)), nullptr);
        ASSERT_EQ(a.store->images.size(), static_cast<size_t>(frame + 1));
        ASSERT_EQ(b.store->images.size(), static_cast<size_t>(frame + 1));
        expectPicture(a.store->images.back(), pictureA, 48, 32, "A");
        expectPicture(b.store->images.back(), pictureB, 32, 16, "B");
    }
}

TEST(TranscoderDeathTest, ScanTooShortForItsTilesEndsTheProcess) {
    const auto sweepShortScan = [] {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);  // where messages and the invalid-codeword line go
        vorc::setStatusMessageHandler(nullptr);
        Sweeper s;
        s.sweep(64, 16, vorctest::zeroTilesScan(1), nullptr);
    };
    EXPECT_EXIT(sweepShortScan(), ::testing::ExitedWithCode(154),
                "unexpected marker encountered!|invalid codeword");
}

}  // namespace
