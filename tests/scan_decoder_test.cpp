// Software scan decoder on hand-made frame records: the worked tiles, colour
// conversion, EXTEND, block ends, bitmap skipping with DC prediction, the
// recoverable errors and the fatal ones.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "support/recorders.h"
#include "support/stream_builder.h"
#include "vorc/decode/scan_decoder_software.h"

namespace {

using vorctest::Block;
using vorctest::Bytes;
using vorctest::ScanWriter;
using vorctest::StatusCapture;
using Descriptor = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;
using Pixel = std::array<int, 3>;

constexpr int Fatal = 154;  // exit status 666 as a parent sees it

// A back end that owns a top-down RGB picture of whole tiles, hands out
// targets with a chosen row pad, and logs calls.
class GridBackEnd : public vorcTesraDecoderBackEnd {
public:
    GridBackEnd(int columns, int rows, int extraWordsPerRow = 0)
        : columns_(columns), rowBytes_(columns * 48 + 4 * extraWordsPerRow), extra_(extraWordsPerRow),
          pixels_(static_cast<size_t>(rowBytes_) * rows * 16, 0xAB) {}
    void videoResolutionChanged(int, int) override { log.push_back("resolution"); }
    void errorEncountered() override { log.push_back("error"); }
    void frameComplete() override { log.push_back("complete"); }
    void provideVideoTilePixelTarget(int column, int row, unsigned int** target, int* rowPad) override {
        log.push_back("tile " + std::to_string(column) + "," + std::to_string(row));
        *target = reinterpret_cast<unsigned int*>(&pixels_[static_cast<size_t>(row) * 16 * rowBytes_ + column * 48]);
        *rowPad = (columns_ - 1) * 12 + extra_;
    }
    void videoTileReceived() override { log.push_back("received"); }

    Pixel at(int x, int y) const {
        const uint8_t* p = &pixels_[static_cast<size_t>(y) * rowBytes_ + x * 3];
        return {p[0], p[1], p[2]};
    }
    std::vector<std::string> log;

private:
    int columns_;
    int rowBytes_;
    int extra_;
    std::vector<uint8_t> pixels_;
};

struct Fixture {
    StatusCapture status;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    Bytes scan;
    Descriptor frame;

    // A frame of columns x rows tiles whose scan is the given bytes plus EOI.
    Fixture(int columns, int rows, Bytes entropyCoded, int quant = 16) : scan(std::move(entropyCoded)) {
        scan.push_back(0xFF);
        scan.push_back(0xD9);
        frame.reset(columns * 16, rows * 16);
        frame.scanBytes = scan.data();
        frame.scanLength = static_cast<int32_t>(scan.size());
        if (quant > 0) {
            std::vector<unsigned char> table(64, static_cast<unsigned char>(quant));
            decoder.setYQuantizationTable(table.data());
            decoder.setUVQuantizationTable(table.data());
        }
    }
    void sweep(vorcTesraDecoderBackEnd* backEnd) {
        decoder.setBackEnd(backEnd);
        decoder.performScanSweep(&frame);
    }
};

Block dcOnly(int dc) {
    Block block{};
    block[0] = static_cast<int16_t>(dc);
    return block;
}

// DC coefficient that (with quantisation 1) decodes to a flat block of sample s.
int dcForSample(int sample) { return 8 * (sample - 128); }

TEST(ScanDecoder, ConstructionReportsTreesAndAcceleration) {
    StatusCapture status;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    const std::vector<std::string> expected = {
        "symbols in Y/DC Huffman table : 12", "symbols in Y/AC Huffman table : 162",
        "symbols in UV/DC Huffman table : 12", "symbols in UV/AC Huffman table : 162"};
    EXPECT_EQ(status.messages(), expected);
    EXPECT_STREQ(decoder.getAccelerationTypeString(), "none");
}

TEST(ScanDecoder, WorkedFlatTile) {
    Fixture f(1, 1, {0x96, 0x8A, 0x28, 0xA8, 0x2C});
    GridBackEnd grid(1, 1);
    f.sweep(&grid);
    EXPECT_EQ(grid.log, (std::vector<std::string>{"tile 0,0", "received"}));
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(grid.at(x, y), (Pixel{144, 136, 125})) << x << "," << y;
}

TEST(ScanDecoder, WorkedTileWithOneAcCoefficient) {
    Fixture f(1, 1, {0x94, 0xD1, 0x45, 0x15, 0x05, 0x9F});
    GridBackEnd grid(1, 1);
    f.sweep(&grid);
    const Pixel columns[8] = {{147, 139, 128}, {146, 138, 127}, {146, 138, 127}, {145, 137, 126},
                              {143, 135, 124}, {142, 134, 123}, {142, 134, 123}, {141, 133, 122}};
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const Pixel expected = (x < 8 && y < 8) ? columns[x] : Pixel{144, 136, 125};
            ASSERT_EQ(grid.at(x, y), expected) << x << "," << y;
        }
    }
}

TEST(ScanDecoder, RowPadSpacesTheTileRows) {
    // Two tiles side by side plus 5 spare words per picture row.
    ScanWriter writer;
    writer.zeroTile();
    writer.zeroTile();
    Fixture f(2, 1, writer.finish());
    GridBackEnd grid(2, 1, 5);
    f.sweep(&grid);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) ASSERT_EQ(grid.at(x, y), (Pixel{128, 128, 128})) << x << "," << y;
}

TEST(ScanDecoder, ColourConversion) {
    struct Case {
        int y, u, v;
        Pixel rgb;
    };
    const Case cases[] = {{255, 128, 128, {255, 255, 255}},
                          {0, 128, 128, {0, 0, 0}},
                          {76, 85, 255, {220, 19, 0}},
                          {100, 100, 100, {68, 127, 43}}};
    for (const Case& c : cases) {
        ScanWriter writer;
        const Block y = dcOnly(dcForSample(c.y));
        writer.tile(y, y, y, y, dcOnly(dcForSample(c.u)), dcOnly(dcForSample(c.v)));
        Fixture f(1, 1, writer.finish(), 1);
        GridBackEnd grid(1, 1);
        f.sweep(&grid);
        EXPECT_EQ(grid.at(0, 0), c.rgb) << c.y << " " << c.u << " " << c.v;
        EXPECT_EQ(grid.at(15, 15), c.rgb);
    }
}

TEST(ScanDecoder, WithoutQuantisationTablesEveryTileIsGrey) {
    Fixture f(1, 1, {0x94, 0xD1, 0x45, 0x15, 0x05, 0x9F}, 0);
    GridBackEnd grid(1, 1);
    f.sweep(&grid);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(grid.at(x, y), (Pixel{128, 128, 128}));
}

TEST(ScanDecoder, ExtendRule) {
    StatusCapture status;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    struct Case {
        std::vector<unsigned char> bytes;
        int size;
        int value;
    };
    const Case cases[] = {{{0x60}, 3, -4}, {{0x80}, 3, 4},  {{0x00}, 3, -7},       {{0xE0}, 3, 7},
                          {{0x00}, 1, -1}, {{0x80}, 1, 1},  {{0x80, 0x00}, 11, 1024}};
    for (Case c : cases) {
        decoder.scanCursor = c.bytes.data();
        decoder.scanBitMask = 0x80;
        decoder.scanBytesLeft = static_cast<int32_t>(c.bytes.size());
        ASSERT_EQ(decoder.consumeAdditionalBits(c.size), 0);
        EXPECT_EQ(decoder.additionalBitsValue, c.value) << "size " << c.size;
    }
    // Running out in the middle of the value is reported, not read past.
    unsigned char one = 0x00;
    decoder.scanCursor = &one;
    decoder.scanBitMask = 0x02;
    decoder.scanBytesLeft = 1;
    EXPECT_EQ(decoder.consumeAdditionalBits(4), 1);
    EXPECT_EQ(decoder.scanBytesLeft, 0);
}

TEST(ScanDecoder, StuffedFFIsEightOnesAndTheZeroIsDropped) {
    StatusCapture status;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    unsigned char bytes[] = {0xFF, 0x00, 0x7F};
    decoder.scanCursor = bytes;
    decoder.scanBitMask = 0x80;
    decoder.scanBytesLeft = 3;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(decoder.consumeScanBit(), 1);
    EXPECT_EQ(decoder.scanBytesLeft, 1);
    EXPECT_EQ(decoder.scanCursor, bytes + 2);
    EXPECT_EQ(decoder.consumeScanBit(), 0);
}

TEST(ScanDecoder, BlockFilledToPosition63NeedsNoEndOfBlock) {
    Block full{};
    for (int i = 1; i < 64; ++i) full[i] = 1;
    Block last{};
    last[63] = 5;
    ScanWriter writer;
    writer.tile(full, last, dcOnly(0), dcOnly(0), dcOnly(0), dcOnly(0));
    writer.tile(dcOnly(dcForSample(200)), dcOnly(dcForSample(200)), dcOnly(dcForSample(200)),
                dcOnly(dcForSample(200)), dcOnly(0), dcOnly(0));
    Fixture f(2, 1, writer.finish(), 1);
    GridBackEnd grid(2, 1);
    f.sweep(&grid);
    EXPECT_EQ(grid.log, (std::vector<std::string>{"tile 0,0", "received", "tile 1,0", "received"}));
    // Had a block end been read from the next block, the second tile would
    // not come out flat.
    for (int y = 0; y < 16; ++y)
        for (int x = 16; x < 32; ++x) ASSERT_EQ(grid.at(x, y), (Pixel{200, 200, 200}));
}

TEST(ScanDecoder, BitmapSkipsTilesAndPredictionRunsOverCodedTilesOnly) {
    // 3 x 2 tiles, tiles 1 and 5 coded; the writer predicts tile 5 from
    // tile 1 just as the decoder must.
    ScanWriter writer;
    const Block bright = dcOnly(dcForSample(180));
    const Block dark = dcOnly(dcForSample(60));
    writer.tile(bright, bright, bright, bright, dcOnly(0), dcOnly(0));
    writer.tile(dark, dark, dark, dark, dcOnly(0), dcOnly(0));
    Fixture f(3, 2, writer.finish(), 1);
    const Bytes bitmap = vorctest::tileBitmap(3, 2, {1, 5});
    f.frame.tileBitmap = const_cast<unsigned char*>(bitmap.data());
    GridBackEnd grid(3, 2);
    f.sweep(&grid);
    EXPECT_EQ(grid.log, (std::vector<std::string>{"tile 1,0", "received", "tile 2,1", "received"}));
    EXPECT_EQ(grid.at(20, 3), (Pixel{180, 180, 180}));
    EXPECT_EQ(grid.at(40, 30), (Pixel{60, 60, 60}));
    EXPECT_EQ(grid.at(3, 3), (Pixel{0xAB, 0xAB, 0xAB}));    // tile 0 untouched
    EXPECT_EQ(grid.at(20, 20), (Pixel{0xAB, 0xAB, 0xAB}));  // tile 4 untouched

    // No tile marked: nothing is read or delivered, and that is no error.
    const Bytes none = vorctest::tileBitmap(3, 2, {});
    f.frame.tileBitmap = const_cast<unsigned char*>(none.data());
    grid.log.clear();
    f.sweep(&grid);
    EXPECT_TRUE(grid.log.empty());
}

TEST(ScanDecoder, RecoverableErrors) {
    {  // no back end: nothing happens
        Fixture f(1, 1, {0x96, 0x8A, 0x28, 0xA8, 0x2C});
        f.sweep(nullptr);
    }
    for (int length : {0, -3}) {  // empty or nonsensical scan length
        Fixture f(1, 1, {0x96, 0x8A, 0x28, 0xA8, 0x2C});
        f.frame.scanLength = length;
        GridBackEnd grid(1, 1);
        f.sweep(&grid);
        EXPECT_EQ(grid.log, std::vector<std::string>{"error"});
    }
    {
        Fixture f(1, 1, {});
        f.frame.scanBytes = nullptr;
        f.frame.scanLength = 10;
        GridBackEnd grid(1, 1);
        f.sweep(&grid);
        EXPECT_EQ(grid.log, std::vector<std::string>{"error"});
    }
    {  // a scan without an end marker that runs out in the second tile
        ScanWriter writer;
        writer.zeroTile();
        writer.zeroTile();
        Bytes twoTiles = writer.finish();
        Fixture f(2, 1, twoTiles);
        f.frame.scanLength = 6;
        GridBackEnd grid(2, 1);
        f.sweep(&grid);
        EXPECT_EQ(grid.log, (std::vector<std::string>{"tile 0,0", "received", "error"}));
    }
    {  // four zero runs of 16 overflow a block's 63 AC coefficients
        ScanWriter writer;
        writer.bits(0x0, 2);  // luminance DC difference 0
        for (int i = 0; i < 4; ++i) writer.bits(0x7F9, 11);  // ZRL
        Fixture f(1, 1, writer.finish());
        GridBackEnd grid(1, 1);
        f.sweep(&grid);
        EXPECT_EQ(grid.log, std::vector<std::string>{"error"});
        EXPECT_TRUE(f.status.contains("too many AC coeffs!"));
    }
}

// Death-test bodies: the scan decoder ends the process on these.
void sweepRaw(const Bytes& scan, int32_t length) {
    StatusCapture status;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    GridBackEnd grid(1, 1);
    decoder.setBackEnd(&grid);
    Bytes copy = scan;
    Descriptor frame;
    frame.reset(16, 16);
    frame.scanBytes = copy.data();
    frame.scanLength = length;
    // Fatal messages must reach the death test's standard error.
    vorc::setStatusMessageHandler(nullptr);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    decoder.performScanSweep(&frame);
}

TEST(ScanDecoderDeath, FatalScanErrors) {
    // Ten 1 bits leave the luminance DC code space (its longest code is 111111110).
    EXPECT_EXIT(sweepRaw({0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xD9}, 6), ::testing::ExitedWithCode(Fatal),
                "invalid codeword");
    // Data that is too short runs into the end marker.
    EXPECT_EXIT(sweepRaw({0x96, 0x8A, 0xFF, 0xD9}, 4), ::testing::ExitedWithCode(Fatal),
                "unexpected marker encountered!");
    // An 0xFF as the last byte of a scan that has no end marker.
    EXPECT_EXIT(sweepRaw({0xFF}, 1), ::testing::ExitedWithCode(Fatal), "not more scan bytes!");
}

}  // namespace
