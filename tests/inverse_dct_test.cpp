// Integer inverse DCT: worked blocks, and saturation for extreme 16-bit
// coefficients. (Its accuracy on real pictures shows in the pixel cross-check
// against libjpeg-turbo.)
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "vorc/decode/scan_decoder_software.h"

namespace {

using Block = std::array<short, 64>;

Block transformed(Block block) {
    vorcFramewiseTesraScanDecoderSoftwareOnly::idct(block.data());
    return block;
}

TEST(InverseDct, WorkedBlocks) {
    // DC only: a flat block (zero stays zero; 2100 saturates).
    const std::pair<short, short> flat[] = {{0, 0},  {80, 10}, {4, 1},
                                            {-4, 0}, {-5, -1}, {2100, 255}};
    for (const auto& [dc, sample] : flat) {
        Block block{}, expected;
        block[0] = dc;
        expected.fill(sample);
        EXPECT_EQ(transformed(block), expected) << "dc " << dc;
    }
    Block block{};
    block[0] = 240;
    block[1] = -60;
    block[8] = 30;
    const Block out = transformed(block);
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
        Block block;
        for (short& value : block) value = trial % 2 == 0 ? any(random) : extremes[pick(random)];
        if (trial < 2) block.fill(trial == 0 ? 32767 : -32767);
        for (const short sample : transformed(block)) {
            ASSERT_GE(sample, -256);
            ASSERT_LE(sample, 255);
        }
    }
}

}  // namespace
