// The transcoder end to end: every image it writes is checked by libjpeg,
// both for clean decoding and for carrying exactly the picture's
// coefficients (the source JPEGs' for full frames, the coded tiles' new and
// the kept tiles' old ones for partial frames); failed frames,
// the exact one-tile image and two transcoders side by side. Its
// JPEG writing: folded code tables, block coding of worked examples,
// stuffing and padding, and the DC range limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>

#include "support/libjpeg_helpers.h"
#include "support/piece_source.h"
#include "support/recorders.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/transcode/jpeg_converter.h"

using namespace vorctest;
using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;
using JpegImages = std::shared_ptr<std::vector<Bytes>>;

// Keeps every complete image in a list that outlives it (the transcoder
// destroys its receiver).
struct Collector : vorcJPEGReceiver {
    explicit Collector(JpegImages images) : images(std::move(images)) {}
    void beginFrame() override { current.clear(); }
    void endFrame() override { images->push_back(current); }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        current.insert(current.end(), bytes, bytes + count);
    }
    JpegImages images;
    Bytes current;
};

// Checks that libjpeg decodes an image without a warning and reads exactly
// the expected size, quantisation tables and coefficients from it.
void expectImage(const Bytes& jpeg, const JpegCoefficients& expected, const std::string& what) {
    decodeJpegStrictly(jpeg, what);
    const JpegCoefficients read = readJpegCoefficients(jpeg);
    EXPECT_EQ(read.width, expected.width) << what;
    EXPECT_EQ(read.height, expected.height) << what;
    EXPECT_EQ(read.quant, expected.quant) << what;
    EXPECT_TRUE(read.tiles == expected.tiles) << what;
}

// Sparse blocks: DC in -600..600, one AC coefficient in seven set (-40..40).
TileBlocks randomTile(std::mt19937& random) {
    std::uniform_int_distribution<int> value(-600, 600);
    TileBlocks tile;
    for (Block& block : tile)
        for (size_t k = 0; k < 64; ++k) {
            const int v = value(random);
            block[k] = static_cast<int16_t>(k == 0 ? v : v % 7 == 0 ? v / 15 : 0);
        }
    return tile;
}

// Codes the given tiles of a model picture as one scan.
Bytes scanOf(const std::vector<TileBlocks>& picture, const std::vector<int>& tiles) {
    ScanWriter writer;
    for (int k : tiles)
        for (int b = 0; b < 6; ++b) writer.block(b < 4 ? 0 : b - 3, picture[size_t(k)][size_t(b)]);
    return writer.finish();
}

// Full frames made from libjpeg JPEGs, then a picture of random tiles and
// partial frames updating some of them. A second transcoder takes turns with
// the first on the libjpeg frames in reverse order. Both streams go in small
// pieces, so frames straddle the parser's pulls.
TEST(Transcoder, ImagesCarryTheSourceJpegsOrThePicturesCoefficients) {
    StatusCapture status;
    const Bytes jpegs[] = {compressJpeg(syntheticPicture(96, 64, false, 1), 75),
                           compressJpeg(syntheticPicture(96, 64, false, 2), 40),
                           compressJpeg(syntheticPicture(300, 70, false, 3), 90)};
    std::vector<JpegCoefficients> expected[2];
    StreamBuilder streams[2];
    for (int i = 0; i < 6; ++i) {
        const Bytes& jpeg = jpegs[i < 3 ? i : 5 - i];
        streams[i / 3].raw(jpegToTesraFrame(jpeg));
        expected[i / 3].push_back(readJpegCoefficients(jpeg));
    }
    std::mt19937 random(3);
    std::vector<TileBlocks> model(12);  // 4 x 3 tiles
    JpegCoefficients picture{64, 48, {}, {}, {}};
    for (auto& table : picture.quant) table.fill(12);
    for (TileBlocks& tile : model) tile = randomTile(random);
    streams[0].fullFrame(64, 48, scanOf(model, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), 12);
    expected[0].push_back((picture.tiles = model, picture));
    for (const std::vector<int>& coded :
         std::vector<std::vector<int>>{{1, 5, 6, 11}, {}, {0}, {2, 3, 4, 7, 8, 9, 10}}) {
        for (int k : coded) model[static_cast<size_t>(k)] = randomTile(random);
        streams[0].partialFrame(tileBitmap(4, 3, coded), scanOf(model, coded));
        expected[0].push_back((picture.tiles = model, picture));
    }
    std::unique_ptr<vorcFramewiseTesraDecoder> decoders[2];
    JpegImages images[2];
    for (int t = 0; t < 2; ++t) {
        images[t] = std::make_shared<std::vector<Bytes>>();
        decoders[t] = std::make_unique<vorcFramewiseTesraDecoder>(
            new PieceSource(streams[t].app13().bytes(), {977}),
            new RecordingBackEnd(std::make_shared<CallLog>()),
            new Converter(new Collector(images[t])));
    }
    for (bool busy = true; busy;) {
        busy = false;
        for (auto& decoder : decoders)
            busy = decoder->decode(65536) != 0 || decoder->sourceStillUp() || busy;
    }
    for (int t = 0; t < 2; ++t) {
        ASSERT_EQ(images[t]->size(), expected[t].size());
        for (size_t i = 0; i < expected[t].size(); ++i)
            expectImage((*images[t])[i], expected[t][i],
                        std::to_string(t) + "/" + std::to_string(i));
    }
}

// Direct sweeps, for scans the parser could not deliver.
struct Sweeper {
    JpegImages images = std::make_shared<std::vector<Bytes>>();
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    RecordingBackEnd backEnd{log};
    Converter converter{new Collector(images)};

    Sweeper() { converter.setBackEnd(&backEnd); }

    // With endMarker the scan ends in FF D9, as the parser delivers it; an
    // empty bitmap codes every tile.
    void sweep(int width, int height, Bytes scan, bool endMarker = true, Bytes bitmap = {}) {
        if (endMarker) scan.insert(scan.end(), {0xFF, 0xD9});
        Frame frame;
        frame.reset(width, height);
        frame.scanBytes = scan.empty() ? nullptr : scan.data();
        frame.scanLength = static_cast<int32_t>(scan.size());
        frame.tileBitmap = bitmap.empty() ? nullptr : bitmap.data();
        converter.performScanSweep(&frame);
    }
};

TEST(Transcoder, FailedFramesWriteNothingButKeepTheirDecodedTiles) {
    StatusCapture status;
    std::mt19937 random(5);
    Sweeper s;
    std::vector<TileBlocks> next(3);
    for (TileBlocks& tile : next) tile = randomTile(random);
    // A scan that runs out inside tile 1, without an end marker.
    const Bytes full = scanOf(next, {0, 1, 2});
    size_t cut = scanOf(next, {0}).size() + 3;
    while (full[cut - 1] == 0xFF) ++cut;
    s.sweep(48, 16, Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut)), false);
    EXPECT_TRUE(s.images->empty());
    EXPECT_EQ(s.log->back(), "error");

    // A block whose zero runs pass its end: tile 2 fails after tile 0 is in.
    ScanWriter broken;
    for (size_t b = 0; b < 6; ++b) broken.block(b < 4 ? 0 : int(b) - 3, next[0][b]);
    broken.bits(0, 2);  // luminance DC difference 0
    for (int i = 0; i < 4; ++i) broken.bits(0x7F9, 11);
    s.log->clear();
    status.clear();
    s.sweep(48, 16, broken.finish(), true, tileBitmap(3, 1, {0, 2}));
    EXPECT_TRUE(s.images->empty());
    EXPECT_TRUE(status.contains("too many AC coeffs!"));
    EXPECT_EQ(*s.log, (CallLog{"received", "error"}));

    // The next good frame shows tile 0 as decoded before the failure.
    s.sweep(48, 16, {}, true, tileBitmap(3, 1, {}));
    ASSERT_EQ(s.images->size(), 1u);
    decodeJpegStrictly((*s.images)[0], "after failure");
    EXPECT_EQ(readJpegCoefficients((*s.images)[0]).tiles.at(0), next[0]);
}

// Puts status messages into a sweeper's call log, so their order against
// the back end's calls shows.
struct LoggingHandler : vorcStatusMessageHandler {
    explicit LoggingHandler(std::shared_ptr<CallLog> log) : log(std::move(log)) {}
    void sendStatusMsg(const char* msg, void*) override { log->push_back(msg); }
    std::shared_ptr<CallLog> log;
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
    StatusCapture quiet;
    for (const auto& c : cases) {
        Sweeper s;
        s.sweep(16, 16, zeroTilesScan(1));  // sets up the coefficient store
        s.log->clear();
        vorc::setStatusMessageHandler(new LoggingHandler(s.log));
        s.sweep(16, 16, {c.scan}, false);
        EXPECT_EQ(*s.log, c.expected) << "scan byte " << int{c.scan};
        EXPECT_EQ(s.images->size(), 1u);
    }
}

TEST(Transcoder, HugePicturesAndTheOneTileImage) {
    StatusCapture status;
    Sweeper s;
    // 4096 x 4096 tiles: 12.9 GB of coefficients, more than 32 bits can count.
    s.sweep(65535, 65535, {}, false);
    EXPECT_EQ(*s.log, CallLog{"error"});
    EXPECT_TRUE(status.contains("JPG converter : reallocated coeff buffer") ||
                status.contains("JPG converter : CoeffBuffer == NULL!"));
    // An all-zero tile without quantisation tables, byte for byte.
    s.sweep(16, 16, zeroTilesScan(1));
    ASSERT_EQ(s.images->size(), 1u);
    const Bytes& image = (*s.images)[0];
    ASSERT_EQ(image.size(), 629u);
    EXPECT_EQ(Bytes(image.begin() + 609, image.end()),
              (Bytes{0xFF, 0xDA, 0,    12, 3,    1,    0,    2,    0x11, 3,
                     0x11, 0,    0x3F, 0,  0x28, 0xA2, 0x8A, 0x00, 0xFF, 0xD9}));
}

// Opens the encoder's internals to the tests.
struct EncoderProbe : Converter {
    EncoderProbe() : Converter(nullptr) {}
    using Converter::copyAccuToGlobalHuffBuffer;
    using Converter::Huff_Y_UV;
    using Converter::HuffmanBufferState;
    using Converter::shutDownHuffAccu;

    // Codes one luminance block with a fresh predictor and closes the scan.
    Bytes encode(Block block) {
        short predictor = 0;
        encodeSubMCUTiles(block.data(), &predictor, &Huff_Y_UV[0], &HuffmanBufferState);
        return closeScan();
    }
    Bytes closeScan() {
        shutDownHuffAccu();
        Bytes scan(HuffmanBufferState.bufferStart, HuffmanBufferState.writePos);
        resetHuffmanEncoderBufferState();
        return scan;
    }
};

TEST(HuffmanEncoder, CodesTheWorkedExamples) {
    EncoderProbe probe;
    // Folded table entries: EOB, ZRL, DC categories 0 and 5 (luminance),
    // EOB and ZRL (chrominance).
    const struct {
        int table, entry;
        uint32_t code, length;
    } entries[] = {{0, 0, 0b1010, 4}, {0, 15, 0b11111111001, 11},
                   {0, 1, 0b00, 2},   {0, 6, 0b11000000, 8},
                   {1, 0, 0b00, 2},   {1, 15, 0b1111111010, 10}};
    for (const auto& e : entries)
        EXPECT_EQ(EncoderProbe::Huff_Y_UV[e.table].entries[e.entry].word, e.code << 6 | e.length)
            << e.table << " " << e.entry;
    // Blocks with their bits (the last byte padded with 0 bits, FF stuffed).
    const struct {
        int16_t dc;
        int acAt;  // natural index
        int16_t ac;
        Bytes scan;
    } blocks[] = {
        {0, 1, 0, {0x28}},   // 00 1010
        {1, 1, 0, {0x5A}},   // 010 1 1010
        {-1, 1, 0, {0x4A}},  // 010 0 1010
        // Zig-zag 17 after 16 zeros: ZRL and symbol 0x01: 00 11111111001 00 1 1010
        {0, 19, 1, {0x3F, 0xC9, 0xA0}},
        // Zig-zag 18: ZRL and symbol 0x11: 00 11111111001 1100 0 1010
        {0, 26, -1, {0x3F, 0xCE, 0x28}},
        // Last coefficient set: three ZRL, symbol 0xE1 (16-bit code), no EOB:
        // 00 11111111001 11111111001 11111111001 1111111111101011 1
        {0, 63, 1, {0x3F, 0xCF, 0xF9, 0xFF, 0x00, 0x3F, 0xFD, 0x70}},
        // The largest DC difference, category 11: 111111110 11111111110 1010
        {2046, 1, 0, {0xFF, 0x00, 0x7F, 0xEA}},
    };
    for (size_t i = 0; i < std::size(blocks); ++i) {
        Block block{};
        block[0] = blocks[i].dc;
        block[blocks[i].acAt] = blocks[i].ac;
        EXPECT_EQ(probe.encode(block), blocks[i].scan) << "row " << i;
    }
    // Stuffing after every FF, padding with 0 bits.
    auto& state = probe.HuffmanBufferState;
    EncoderProbe::copyAccuToGlobalHuffBuffer(0xFF12FFFFu, &state);
    EXPECT_EQ(probe.closeScan(), (Bytes{0xFF, 0x00, 0x12, 0xFF, 0x00, 0xFF, 0x00}));
    state.accu = 0;
    state.accuBitCount = 2;
    EXPECT_EQ(probe.closeScan(), Bytes{0x00});
    state.accu = 0xFFC00000u;
    state.accuBitCount = 10;
    EXPECT_EQ(probe.closeScan(), (Bytes{0xFF, 0x00, 0xC0}));
    EXPECT_EQ(probe.closeScan(), Bytes{});
}

TEST(HuffmanEncoderDeathTest, DcOutOfRangeEndsTheProcess) {
    // The default status output goes to standard output; death tests match
    // standard error.
    const auto messagesToStandardError = [] {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        vorc::setStatusMessageHandler(nullptr);
    };
    EncoderProbe probe;
    for (const int16_t dc : {2047, -2047}) {
        EXPECT_EXIT((messagesToStandardError(), probe.encode(Block{dc})),
                    ::testing::ExitedWithCode(154), "Out of Range");
    }
    // A word is written only while 8 bytes of the output buffer are free.
    auto& state = probe.HuffmanBufferState;
    state.writePos = state.bufferLimit - 8;
    EncoderProbe::copyAccuToGlobalHuffBuffer(0, &state);
    EXPECT_EXIT((messagesToStandardError(), EncoderProbe::copyAccuToGlobalHuffBuffer(0, &state)),
                ::testing::ExitedWithCode(154), "Huffman Buffer Overflow!");
}
