// The software pixel decoder: Huffman trees from the default tables, the
// integer inverse DCT, and the scan decoder on hand-made frame records
// (worked tiles, colour conversion, EXTEND, block ends, bitmap skipping with
// DC prediction and the coded tiles of a bitmap, the recoverable errors and
// the fatal ones).
#include "vorc/parse/scan_decoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "support/recorders.h"
#include "support/stream_builder.h"
#include "vorc/decode/huffman_tree.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/jpeg/tile_bitmap.h"

using vorctest::Block;
using vorctest::Bytes;
using vorctest::ScanWriter;
using Log = std::vector<std::string>;
using Pixel = std::array<int, 3>;

constexpr int Fatal = 154;  // exit status 666 as a parent sees it

// One frame of columns x rows tiles whose scan is the given bytes plus EOI,
// with every quantiser set to quant, decoded into a top-down
// RGB picture of whole tiles that starts as 0xAB bytes; the back end calls
// are logged.
struct Frame : vorcTesraDecoderBackEnd {
    Frame(int columns, int rows, Bytes entropyCoded, int quant = 16)
        : columns(columns), pixels(columns * rows * 768, 0xAB), scan(std::move(entropyCoded)) {
        scan.insert(scan.end(), {0xFF, 0xD9});
        frame.reset(columns * 16, rows * 16);
        frame.scanBytes = scan.data();
        frame.scanLength = static_cast<int32_t>(scan.size());
        std::vector<unsigned char> table(64, static_cast<unsigned char>(quant));
        if (quant > 0) decoder.setYQuantizationTable(table.data());
        if (quant > 0) decoder.setUVQuantizationTable(table.data());
    }
    void videoResolutionChanged(int, int) override { log.push_back("resolution"); }
    void errorEncountered() override { log.push_back("error"); }
    void frameComplete() override { log.push_back("complete"); }
    void provideVideoTilePixelTarget(int column, int row, unsigned int** target,
                                     int* pad) override {
        log.push_back("tile " + std::to_string(column) + "," + std::to_string(row));
        *target = reinterpret_cast<unsigned int*>(&pixels[(row * 16 * columns + column) * 48]);
        *pad = (columns - 1) * 12;
    }
    void videoTileReceived() override { log.push_back("received"); }

    Log sweep(bool withBackEnd = true) {
        log.clear();
        decoder.setBackEnd(withBackEnd ? this : nullptr);
        decoder.performScanSweep(&frame);
        return log;
    }
    Pixel at(int x, int y) const {
        const uint8_t* p = &pixels[(y * columns * 16 + x) * 3];
        return {p[0], p[1], p[2]};
    }

    int columns;
    std::vector<uint8_t> pixels;
    vorctest::StatusCapture status;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    Bytes scan;
    vorcFramewiseTesraDecoder::UndecodedFrameDescriptor frame;
    Log log;
};

// With quantisation 1, a block that decodes to the flat sample s, and a
// tile of such blocks.
Block flat(int sample) { return Block{static_cast<int16_t>(8 * (sample - 128))}; }

void flatTile(ScanWriter& writer, int y, int u = 128, int v = 128) {
    writer.tile(flat(y), flat(y), flat(y), flat(y), flat(u), flat(v));
}

TEST(ScanDecoder, WorkedTiles) {
    // A flat tile, and the same with one AC coefficient that shapes the
    // columns of its first block.
    const Pixel g{144, 136, 125};
    const Pixel flatColumns[8] = {g, g, g, g, g, g, g, g};
    const Pixel acColumns[8] = {{147, 139, 128}, {146, 138, 127}, {146, 138, 127}, {145, 137, 126},
                                {143, 135, 124}, {142, 134, 123}, {142, 134, 123}, {141, 133, 122}};
    const std::pair<Bytes, const Pixel*> cases[] = {
        {{0x96, 0x8A, 0x28, 0xA8, 0x2C}, flatColumns},
        {{0x94, 0xD1, 0x45, 0x15, 0x05, 0x9F}, acColumns}};
    for (const auto& [scan, columns] : cases) {
        Frame f(1, 1, scan);
        EXPECT_EQ(f.sweep(), (Log{"tile 0,0", "received"}));
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                ASSERT_EQ(f.at(x, y), x < 8 && y < 8 ? columns[x] : g) << x << "," << y;
    }
}

TEST(ScanDecoder, ColourConversion) {
    const std::pair<std::array<int, 3>, Pixel> cases[] = {{{255, 128, 128}, {255, 255, 255}},
                                                          {{0, 128, 128}, {0, 0, 0}},
                                                          {{76, 85, 255}, {220, 19, 0}},
                                                          {{100, 100, 100}, {68, 127, 43}}};
    for (const auto& [yuv, rgb] : cases) {
        ScanWriter writer;
        flatTile(writer, yuv[0], yuv[1], yuv[2]);
        Frame f(1, 1, writer.finish(), 1);
        f.sweep();
        EXPECT_EQ(f.at(0, 0), rgb) << yuv[0] << " " << yuv[1] << " " << yuv[2];
    }
}

TEST(ScanDecoder, ExtendRule) {
    Frame f(1, 1, {});
    auto& d = f.decoder;
    const std::tuple<Bytes, int, int> cases[] = {
        {{0x60}, 3, -4}, {{0x80}, 3, 4}, {{0x00}, 3, -7},         {{0xE0}, 3, 7},
        {{0x00}, 1, -1}, {{0x80}, 1, 1}, {{0x80, 0x00}, 11, 1024}};
    for (auto [bytes, size, value] : cases) {
        d.scanCursor = bytes.data();
        d.scanBitMask = 0x80;
        d.scanBytesLeft = static_cast<int32_t>(bytes.size());
        ASSERT_EQ(d.consumeAdditionalBits(size), 0);
        EXPECT_EQ(d.additionalBitsValue, value) << "size " << size;
    }
    // Running out in the middle of the value is reported, not read past.
    unsigned char one = 0x00;
    d.scanCursor = &one;
    d.scanBitMask = 0x02;
    d.scanBytesLeft = 1;
    EXPECT_EQ(d.consumeAdditionalBits(4), 1);
    EXPECT_EQ(d.scanBytesLeft, 0);
}

TEST(ScanDecoder, BlockFilledToPosition63NeedsNoEndOfBlock) {
    Block full{}, last{};
    full.fill(1);
    full[0] = 0;
    last[63] = 5;
    ScanWriter writer;
    writer.tile(full, last, flat(128), flat(128), flat(128), flat(128));
    flatTile(writer, 200);
    Frame f(2, 1, writer.finish(), 1);
    EXPECT_EQ(f.sweep(), (Log{"tile 0,0", "received", "tile 1,0", "received"}));
    // Had a block end been read from the next block, the second tile would
    // not come out flat.
    for (int y = 0; y < 16; ++y)
        for (int x = 16; x < 32; ++x) ASSERT_EQ(f.at(x, y), (Pixel{200, 200, 200}));
}

TEST(ScanDecoder, BitmapSkipsTilesAndPredictionRunsOverCodedTilesOnly) {
    // 3 x 2 tiles, tiles 1 and 5 coded; the writer predicts tile 5 from
    // tile 1 just as the decoder must.
    ScanWriter writer;
    flatTile(writer, 180);
    flatTile(writer, 60);
    Frame f(3, 2, writer.finish(), 1);
    Bytes bitmap = vorctest::tileBitmap(3, 2, {1, 5});
    f.frame.tileBitmap = bitmap.data();
    EXPECT_EQ(f.sweep(), (Log{"tile 1,0", "received", "tile 2,1", "received"}));
    EXPECT_EQ(f.at(20, 3), (Pixel{180, 180, 180}));
    EXPECT_EQ(f.at(40, 30), (Pixel{60, 60, 60}));
    EXPECT_EQ(f.at(3, 3), (Pixel{0xAB, 0xAB, 0xAB}));    // tile 0 untouched
    EXPECT_EQ(f.at(20, 20), (Pixel{0xAB, 0xAB, 0xAB}));  // tile 4 untouched
    // No tile marked: nothing is read or delivered, and that is no error.
    bitmap = vorctest::tileBitmap(3, 2, {});
    f.frame.tileBitmap = bitmap.data();
    EXPECT_TRUE(f.sweep().empty());
    // Bits past the last tile are no tiles.
    bitmap = vorctest::tileBitmap(3, 2, {});
    bitmap[0] = 0x03;
    f.frame.tileBitmap = bitmap.data();
    EXPECT_TRUE(f.sweep().empty());
}

// The coded tiles of random bitmaps, sparse and dense, found a byte at a
// time, against their bits one by one; bits past the last tile set too.
TEST(ScanDecoder, CodedTilesOfABitmapOneAfterAnother) {
    std::mt19937 random(29);
    for (int trial = 0; trial < 3000; ++trial) {
        const size_t count = random() % 200;
        Bytes bitmap(count / 8 + 1);
        const unsigned density = random() % 4;
        for (auto& byte : bitmap) {
            byte = 0;
            for (int bit = 0; bit < 8; ++bit)
                if (random() % 8 < density) byte |= static_cast<uint8_t>(1u << bit);
        }
        std::vector<size_t> expected;
        for (size_t k = 0; k < count; ++k)
            if ((bitmap[k / 8] >> (7 - k % 8)) & 1) expected.push_back(k);
        std::vector<size_t> found;
        size_t k = vorc::jpeg::nextCodedTile(bitmap.data(), 0, count);
        for (; k < count; k = vorc::jpeg::nextCodedTile(bitmap.data(), k + 1, count)) found.push_back(k);
        ASSERT_EQ(found, expected) << trial;
        ASSERT_EQ(k, count) << trial;
        ASSERT_EQ(vorc::jpeg::nextCodedTile(nullptr, count / 2, count), count / 2);
    }
}

TEST(ScanDecoder, RecoverableErrors) {
    const Bytes flatScan = {0x96, 0x8A, 0x28, 0xA8, 0x2C};
    Frame(1, 1, flatScan).sweep(false);  // no back end: nothing happens
    // The log of a sweep over scan with its length replaced (no bytes: a
    // null scan pointer).
    auto logOf = [](int columns, const Bytes& scan, int32_t length) {
        Frame f(columns, 1, scan);
        f.frame.scanLength = length;
        if (scan.empty()) f.frame.scanBytes = nullptr;
        return f.sweep();
    };
    EXPECT_EQ(logOf(1, flatScan, 0), Log{"error"});
    EXPECT_EQ(logOf(1, flatScan, -3), Log{"error"});
    EXPECT_EQ(logOf(1, {}, 10), Log{"error"});
    // A scan without an end marker that runs out in the second tile.
    ScanWriter two;
    two.zeroTile();
    two.zeroTile();
    EXPECT_EQ(logOf(2, two.finish(), 6), (Log{"tile 0,0", "received", "error"}));
    // Four zero runs of 16 overflow a block's 63 AC coefficients.
    ScanWriter overflow;
    overflow.bits(0x0, 2);  // luminance DC difference 0
    for (int i = 0; i < 4; ++i) overflow.bits(0x7F9, 11);
    Frame f(1, 1, overflow.finish());
    EXPECT_EQ(f.sweep(), Log{"error"});
    EXPECT_TRUE(f.status.contains("too many AC coeffs!"));
}

// Death-test body: the scan decoder ends the process on these. The scan is
// the given bytes, end marker included, less the last cut bytes.
void sweepToDeath(const Bytes& entropyCoded, int cut = 0) {
    Frame f(1, 1, entropyCoded);
    f.frame.scanLength -= cut;
    // Fatal messages must reach the death test's standard error.
    vorc::setStatusMessageHandler(nullptr);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    f.sweep();
}

TEST(ScanDecoderDeath, FatalScanErrors) {
    // Ten 1 bits leave the luminance DC code space (its longest code is
    // 111111110) and reach ground: an invalid codeword.
    EXPECT_EXIT(sweepToDeath({0xFF, 0x00, 0xFF, 0x00}), ::testing::ExitedWithCode(Fatal),
                "invalid codeword");
    // Data that is too short runs into the end marker.
    EXPECT_EXIT(sweepToDeath({0x96, 0x8A}), ::testing::ExitedWithCode(Fatal),
                "unexpected marker encountered!");
    // An 0xFF as the last byte of a scan that has no end marker.
    EXPECT_EXIT(sweepToDeath({0xFF}, 2), ::testing::ExitedWithCode(Fatal), "not more scan bytes!");
}

using Tables = vorcFramewiseTesraScanDecoder;

TEST(HuffmanTree, DefaultTablesGiveTheCanonicalCodesAndOverfullTablesNone) {
    struct Case {
        const unsigned char* table;
        int leaves;
        std::vector<std::string> codes;
        std::vector<int> symbols;
    };
    // In the AC tables 0x00 is the block end and 0xF0 a run of 16 zeros.
    const Case cases[] = {
        {Tables::DefaultHuffmanTable_Y_DC,
         12,
         {"00", "010", "011", "100", "110", "1110", "111111110"},
         {0, 1, 2, 3, 5, 6, 11}},
        {Tables::DefaultHuffmanTable_UV_DC,
         12,
         {"00", "01", "10", "110", "11111111110"},
         {0, 1, 2, 3, 11}},
        {Tables::DefaultHuffmanTable_Y_AC,
         162,
         {"1010", "00", "11111111001", "1111111111111110"},
         {0x00, 0x01, 0xF0, 0xFA}},
        {Tables::DefaultHuffmanTable_UV_AC, 162, {"00", "1111111010"}, {0x00, 0xF0}}};
    vorcHuffmanTree tree;  // reconfigured for each table
    for (const Case& c : cases) {
        ASSERT_EQ(tree.configureFromTable(c.table, 16), 0);
        EXPECT_EQ(tree.countLeaves(), c.leaves);
        for (size_t k = 0; k < c.codes.size(); ++k) {
            const vorcHuffmanTree::Node* node = tree.getRoot();
            for (char bit : c.codes[k]) node = bit == '1' ? node->child1 : node->child0;
            EXPECT_EQ(node->isLeaf ? node->symbol : -1, c.symbols[k]) << c.codes[k];
        }
    }
    // Three 1-bit or five 2-bit codes do not fit: failure, and an empty tree.
    unsigned char threeOneBitCodes[19] = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(tree.configureFromTable(threeOneBitCodes, 16), 1);
    EXPECT_EQ(tree.getRoot()->child0, nullptr);
    EXPECT_EQ(tree.getRoot()->child1, nullptr);
    unsigned char fiveTwoBitCodes[21] = {0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0, 0, 1, 2, 3, 4, 5};
    EXPECT_EQ(tree.configureFromTable(fiveTwoBitCodes, 16), 1);
    EXPECT_EQ(tree.countLeaves(), 0);
}

using Samples = std::array<short, 64>;

Samples transformed(Samples block) {
    vorcFramewiseTesraScanDecoderSoftwareOnly::idct(block.data());
    return block;
}

TEST(InverseDct, WorkedBlocks) {
    // DC only: a flat block (zero stays zero; 2100 saturates).
    const std::pair<short, short> flat[] = {{0, 0},  {80, 10}, {4, 1},
                                            {-4, 0}, {-5, -1}, {2100, 255}};
    for (const auto& [dc, sample] : flat) {
        Samples block{}, expected;
        block[0] = dc;
        expected.fill(sample);
        EXPECT_EQ(transformed(block), expected) << "dc " << dc;
    }
    Samples block{};
    block[0] = 240;
    block[1] = -60;
    block[8] = 30;
    const Samples out = transformed(block);
    const short firstRow[8] = {25, 26, 29, 33, 37, 41, 44, 46};
    const short lastRow[8] = {14, 16, 19, 23, 27, 31, 34, 35};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(out[c], firstRow[c]) << "column " << c;
        EXPECT_EQ(out[56 + c], lastRow[c]) << "column " << c;
    }
}

// Extreme inputs overflow the 32-bit intermediates; the results must still
// be saturated samples, and (checked by the sanitizers) no clip lookup may
// leave the table.
TEST(InverseDct, ExtremeInputsStayInRange) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> pick(0, 2);
    const short extremes[3] = {-32767, 32767, -32768};
    for (int trial = 0; trial < 20000; ++trial) {
        Samples block;
        for (short& value : block) value = trial % 2 == 0 ? any(random) : extremes[pick(random)];
        if (trial < 2) block.fill(trial == 0 ? 32767 : -32767);
        for (const short sample : transformed(block)) {
            ASSERT_GE(sample, -256);
            ASSERT_LE(sample, 255);
        }
    }
}
