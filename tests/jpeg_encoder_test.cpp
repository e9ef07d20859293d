// The transcoder's JPEG writing: folded code tables, block coding of worked
// examples, stuffing and padding, the output buffer's limit and the DC range
// limit. Whole images are judged by libjpeg in transcoder_test.cpp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>

#include "support/stream_builder.h"
#include "vorc/core/status_messages.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using vorctest::Block;
using vorctest::Bytes;
using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;

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

TEST(HuffmanEncoderDeathTest, DcRangeAndBufferLimitEndTheProcess) {
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
    // Eight free bytes take even a fully stuffed word; seven do not.
    auto& state = probe.HuffmanBufferState;
    state.writePos = state.bufferLimit - 8;
    EncoderProbe::copyAccuToGlobalHuffBuffer(0xFFFFFFFFu, &state);
    EXPECT_EQ(state.writePos, state.bufferLimit);
    state.writePos = state.bufferLimit - 7;
    EXPECT_EXIT((messagesToStandardError(), EncoderProbe::copyAccuToGlobalHuffBuffer(0, &state)),
                ::testing::ExitedWithCode(154), "Huffman Buffer Overflow!");
    EXPECT_EXIT((messagesToStandardError(), probe.shutDownHuffAccu()),
                ::testing::ExitedWithCode(154), "Huffman Buffer Overflow!");
}

}  // namespace
