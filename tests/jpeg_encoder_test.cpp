// The transcoder's JPEG writing: folded code tables, block coding against
// the independent test coder, stuffing and padding, the output buffer's
// limit, the DC range limit, and the header segments of every image.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "support/jpeg_collector.h"
#include "support/recorders.h"
#include "support/stream_builder.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using vorctest::Block;
using vorctest::Bytes;
using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

// Opens the encoder's internals to the tests.
class EncoderProbe : public Converter {
public:
    explicit EncoderProbe(std::shared_ptr<vorctest::CollectedJPEGs> store =
                              std::make_shared<vorctest::CollectedJPEGs>())
        : Converter(new vorctest::CollectingJPEGReceiver(store)) {}

    using Converter::copyAccuToGlobalHuffBuffer;
    using Converter::Huff_Y_UV;
    using Converter::HuffmanBufferState;
    using Converter::HuffTbl_Y_UV_AC;
    using Converter::HuffTbl_Y_UV_DC;
    using Converter::shutDownHuffAccu;

    // Codes blocks of the given components (0 luminance, 1 and 2
    // chrominance) with fresh predictors; pendingBits receives the bits
    // left in the accumulator before the scan is closed.
    Bytes encode(const std::vector<std::pair<int, Block>>& blocks, int* pendingBits = nullptr) {
        short predictors[3] = {0, 0, 0};
        for (auto [component, block] : blocks) {
            encodeSubMCUTiles(block.data(), &predictors[component],
                              &Huff_Y_UV[component == 0 ? 0 : 1], &HuffmanBufferState);
        }
        if (pendingBits != nullptr) *pendingBits = HuffmanBufferState.accuBitCount;
        return closeScan();
    }

    Bytes closeScan() {
        shutDownHuffAccu();
        Bytes scan(HuffmanBufferState.bufferStart, HuffmanBufferState.writePos);
        resetHuffmanEncoderBufferState();
        return scan;
    }
};

// "0010 10" -> scan bytes: every FF followed by 00, the last byte padded
// with 0 bits.
Bytes bitsToBytes(const std::string& bits) {
    Bytes bytes;
    uint8_t byte = 0;
    int count = 0;
    const auto flush = [&] {
        bytes.push_back(byte);
        if (byte == 0xFF) bytes.push_back(0x00);
        byte = 0;
    };
    for (char bit : bits) {
        if (bit != '0' && bit != '1') continue;
        if (bit == '1') byte |= static_cast<uint8_t>(0x80 >> (count % 8));
        if (++count % 8 == 0) flush();
    }
    if (count % 8 != 0) flush();
    return bytes;
}

// Death tests match standard error, where the status messages must go.
class StandardErrorStatus : public vorcStatusMessageHandler {
public:
    void sendStatusMsg(const char* msg, void*) override { std::fprintf(stderr, "%s\n", msg); }
};

void statusToStandardError() { vorc::setStatusMessageHandler(new StandardErrorStatus); }

Block blockWithAc(int zigzagPosition, int16_t value) {
    static constexpr int ZigZag[64] = {
        0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
        41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
        30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
    Block block{};
    block[ZigZag[zigzagPosition]] = value;
    return block;
}

std::string codeOf(const Converter::HuffCodeTblEntry& entry) {
    std::string bits;
    for (int i = static_cast<int>(entry.bitLength()) - 1; i >= 0; --i)
        bits += ((entry.huffCode() >> i) & 1) ? '1' : '0';
    return bits;
}

TEST(HuffmanEncoder, FoldedTablesHoldTheStandardCodes) {
    EncoderProbe probe;
    const auto& luma = EncoderProbe::Huff_Y_UV[0].entries;
    const auto& chroma = EncoderProbe::Huff_Y_UV[1].entries;
    EXPECT_EQ(codeOf(luma[0]), "1010");
    EXPECT_EQ(codeOf(luma[15]), "11111111001");
    EXPECT_EQ(codeOf(luma[1]), "00");
    EXPECT_EQ(codeOf(luma[1 + 5]), "11000000");
    EXPECT_EQ(codeOf(chroma[0]), "00");
    EXPECT_EQ(codeOf(chroma[15]), "1111111010");
    EXPECT_EQ(luma[13].word, 0u);
    EXPECT_EQ(luma[14].word, 0u);
    // A second transcoder leaves the shared tables as they are.
    const auto before = EncoderProbe::Huff_Y_UV[0];
    EncoderProbe second;
    EXPECT_EQ(std::memcmp(&before, &EncoderProbe::Huff_Y_UV[0], sizeof before), 0);
    // The encoder's copy of the code books agrees with the decoder's.
    EXPECT_EQ(std::memcmp(EncoderProbe::HuffTbl_Y_UV_DC, Converter::DefaultHuffmanTable_Y_DC, 28),
              0);
    EXPECT_EQ(
        std::memcmp(EncoderProbe::HuffTbl_Y_UV_DC + 28, Converter::DefaultHuffmanTable_UV_DC, 28),
        0);
    EXPECT_EQ(std::memcmp(EncoderProbe::HuffTbl_Y_UV_AC, Converter::DefaultHuffmanTable_Y_AC, 178),
              0);
    EXPECT_EQ(
        std::memcmp(EncoderProbe::HuffTbl_Y_UV_AC + 178, Converter::DefaultHuffmanTable_UV_AC, 178),
        0);
}

TEST(HuffmanEncoder, CodesTheWorkedBlocks) {
    EncoderProbe probe;
    Block zero{};
    Block plusOne{};
    plusOne[0] = 1;
    Block minusOne{};
    minusOne[0] = -1;
    EXPECT_EQ(probe.encode({{0, zero}}), bitsToBytes("00 1010"));
    EXPECT_EQ(probe.encode({{0, plusOne}}), bitsToBytes("010 1 1010"));
    EXPECT_EQ(probe.encode({{0, minusOne}}), bitsToBytes("010 0 1010"));
    // 16 zeros, then 1: ZRL and symbol 0x01; 17 zeros: ZRL and symbol 0x11.
    EXPECT_EQ(probe.encode({{0, blockWithAc(17, 1)}}), bitsToBytes("00 11111111001 00 1 1010"));
    EXPECT_EQ(probe.encode({{0, blockWithAc(18, -1)}}), bitsToBytes("00 11111111001 1100 0 1010"));
    // Last coefficient set: three ZRL, symbol 0xE1 (16-bit code), no EOB.
    EXPECT_EQ(probe.encode({{0, blockWithAc(63, 1)}}),
              bitsToBytes("00 11111111001 11111111001 11111111001 1111111111101011 1"));
}

TEST(HuffmanEncoder, MatchesAnIndependentCoderOnRandomBlocks) {
    EncoderProbe probe;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> dc(-1023, 1023);
    std::uniform_int_distribution<int> ac(-1023, 1023);
    std::uniform_int_distribution<int> small(-3, 3);
    std::uniform_int_distribution<int> position(0, 63);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::pair<int, Block>> blocks;
        vorctest::ScanWriter reference;
        for (int i = 0; i < 60; ++i) {
            Block block{};
            block[0] = static_cast<int16_t>(dc(random));
            for (int n = position(random); n > 0; --n) {
                block[position(random)] =
                    static_cast<int16_t>(n % 4 == 0 ? ac(random) : small(random));
            }
            const int component = i % 6 < 4 ? 0 : i % 6 - 3;
            blocks.emplace_back(component, block);
            reference.block(component, block);
        }
        int pending = 0;
        const Bytes ours = probe.encode(blocks, &pending);
        // The test coder pads with 1 bits, the encoder with 0 bits.
        reference.bits(0, (8 - pending % 8) % 8);
        ASSERT_EQ(ours, reference.finish()) << "round " << round;
    }
}

TEST(HuffmanEncoder, StuffsAndPads) {
    EncoderProbe probe;
    auto& state = probe.HuffmanBufferState;
    EncoderProbe::copyAccuToGlobalHuffBuffer(0xFF12FFFFu, &state);
    EXPECT_EQ(Bytes(state.bufferStart, state.writePos),
              (Bytes{0xFF, 0x00, 0x12, 0xFF, 0x00, 0xFF, 0x00}));
    probe.closeScan();

    state.accu = 0;
    state.accuBitCount = 2;
    EXPECT_EQ(probe.closeScan(), Bytes{0x00});
    state.accu = 0xFFC00000u;
    state.accuBitCount = 10;
    EXPECT_EQ(probe.closeScan(), (Bytes{0xFF, 0x00, 0xC0}));
    EXPECT_EQ(probe.closeScan(), Bytes{});
}

TEST(HuffmanEncoderDeathTest, StopsBeforeWritingPastTheBuffer) {
    EncoderProbe probe;
    auto& state = probe.HuffmanBufferState;
    // Eight free bytes take even a fully stuffed word.
    state.writePos = state.bufferLimit - 8;
    EncoderProbe::copyAccuToGlobalHuffBuffer(0xFFFFFFFFu, &state);
    EXPECT_EQ(state.writePos, state.bufferLimit);
    EXPECT_EQ(state.bufferLimit - state.bufferStart, 1048576);
    state.writePos = state.bufferLimit - 7;
    EXPECT_EXIT((statusToStandardError(), EncoderProbe::copyAccuToGlobalHuffBuffer(0, &state)),
                ::testing::ExitedWithCode(154), "Huffman Buffer Overflow!");
    EXPECT_EXIT((statusToStandardError(), probe.shutDownHuffAccu()), ::testing::ExitedWithCode(154),
                "Huffman Buffer Overflow!");
}

TEST(HuffmanEncoderDeathTest, LimitsTheDcDifference) {
    EncoderProbe probe;
    Block block{};
    block[0] = 2046;
    // 2046 is category 11: code 111111110 and eleven magnitude bits.
    EXPECT_EQ(probe.encode({{0, block}}), bitsToBytes("111111110 11111111110 1010"));
    block[0] = 2047;
    EXPECT_EXIT((statusToStandardError(), probe.encode({{0, block}})),
                ::testing::ExitedWithCode(154), "Out of Range");
    block[0] = -2047;
    EXPECT_EXIT((statusToStandardError(), probe.encode({{0, block}})),
                ::testing::ExitedWithCode(154), "Out of Range");
}

// Sweeps one frame given as scan bytes (EOI is appended) through a transcoder.
void sweep(Converter& converter, int width, int height, Bytes scan, const Bytes* bitmap = nullptr) {
    scan.push_back(0xFF);
    scan.push_back(0xD9);
    Frame frame;
    frame.reset(width, height);
    frame.scanBytes = scan.data();
    frame.scanLength = static_cast<int32_t>(scan.size());
    frame.tileBitmap = bitmap != nullptr ? const_cast<unsigned char*>(bitmap->data()) : nullptr;
    converter.performScanSweep(&frame);
}

TEST(JPEGConverter, WritesTheOneTileImageByteForByte) {
    auto store = std::make_shared<vorctest::CollectedJPEGs>();
    vorctest::StatusCapture status;
    auto log = std::make_shared<vorctest::CallLog>();
    vorctest::RecordingBackEnd backEnd(log);
    {
        Converter converter(new vorctest::CollectingJPEGReceiver(store));
        EXPECT_EQ(
            status.messages(),
            (std::vector<std::string>{
                "symbols in Y/DC Huffman table : 12", "symbols in Y/AC Huffman table : 162",
                "symbols in UV/DC Huffman table : 12", "symbols in UV/AC Huffman table : 162"}));
        EXPECT_STREQ(converter.getAccelerationTypeString(), "none");
        converter.setBackEnd(&backEnd);
        sweep(converter, 16, 16, vorctest::zeroTilesScan(1));
    }
    ASSERT_EQ(store->images.size(), 1u);
    const Bytes& image = store->images[0];
    ASSERT_EQ(image.size(), 629u);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 20),
              (Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F',
                     0,    1,    1,    0,    0,    1,    0,   1,   0,   0}));
    // No tables have arrived: both DQT segments carry zeros.
    EXPECT_EQ(Bytes(image.begin() + 20, image.begin() + 25), (Bytes{0xFF, 0xDB, 0x00, 0x43, 0x00}));
    EXPECT_EQ(Bytes(image.begin() + 25, image.begin() + 89), Bytes(64, 0));
    EXPECT_EQ(Bytes(image.begin() + 89, image.begin() + 94), (Bytes{0xFF, 0xDB, 0x00, 0x43, 0x01}));
    EXPECT_EQ(Bytes(image.begin() + 158, image.begin() + 177),
              (Bytes{0xFF, 0xC0, 0, 17, 8, 0, 16, 0, 16, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
    const std::pair<size_t, Bytes> dht[] = {{177, {0xFF, 0xC4, 0x00, 0x1F, 0x00}},
                                            {210, {0xFF, 0xC4, 0x00, 0xB5, 0x10}},
                                            {393, {0xFF, 0xC4, 0x00, 0x1F, 0x01}},
                                            {426, {0xFF, 0xC4, 0x00, 0xB5, 0x11}}};
    for (const auto& [offset, head] : dht)
        EXPECT_EQ(Bytes(image.begin() + offset, image.begin() + offset + 5), head);
    EXPECT_EQ(std::memcmp(&image[215], Converter::DefaultHuffmanTable_Y_AC, 178), 0);
    EXPECT_EQ(Bytes(image.begin() + 609, image.end()),
              (Bytes{0xFF, 0xDA, 0,    12, 3,    1,    0,    2,    0x11, 3,
                     0x11, 0,    0x3F, 0,  0x28, 0xA2, 0x8A, 0x00, 0xFF, 0xD9}));
    // Every image in the same pieces; the receiver is destroyed once.
    const std::vector<std::string> pieces = {
        "begin",    "bytes 2",   "bytes 18", "bytes 5", "bytes 64",  "bytes 5", "bytes 64",
        "bytes 19", "bytes 5",   "bytes 28", "bytes 5", "bytes 178", "bytes 5", "bytes 28",
        "bytes 5",  "bytes 178", "bytes 14", "bytes 4", "bytes 2",   "end",     "destroyed"};
    EXPECT_EQ(store->calls, pieces);
    EXPECT_EQ(*log, (vorctest::CallLog{"received"}));
}

TEST(JPEGConverter, CarriesQuantisationTablesAndPictureSize) {
    auto store = std::make_shared<vorctest::CollectedJPEGs>();
    vorctest::StatusCapture status;
    vorctest::RecordingBackEnd backEnd(std::make_shared<vorctest::CallLog>());
    Converter converter(new vorctest::CollectingJPEGReceiver(store));
    converter.setBackEnd(&backEnd);
    unsigned char luma[64];
    unsigned char chroma[64];
    for (int k = 0; k < 64; ++k) {
        luma[k] = static_cast<unsigned char>(k + 1);
        chroma[k] = static_cast<unsigned char>(200 - k);
    }
    converter.setYQuantizationTable(luma);
    converter.setUVQuantizationTable(chroma);
    const Bytes none(((120 * 68) + 7) / 8, 0);
    sweep(converter, 1920, 1080, {}, &none);
    const Bytes smallNone(((40 * 30) + 7) / 8, 0);
    sweep(converter, 640, 480, {}, &smallNone);
    ASSERT_EQ(store->images.size(), 2u);
    const Bytes& image = store->images[0];
    EXPECT_EQ(Bytes(image.begin() + 25, image.begin() + 89), Bytes(luma, luma + 64));
    EXPECT_EQ(Bytes(image.begin() + 94, image.begin() + 158), Bytes(chroma, chroma + 64));
    EXPECT_EQ(Bytes(image.begin() + 163, image.begin() + 167), (Bytes{0x04, 0x38, 0x07, 0x80}));
    EXPECT_EQ(Bytes(store->images[1].begin() + 163, store->images[1].begin() + 167),
              (Bytes{0x01, 0xE0, 0x02, 0x80}));
}

}  // namespace
