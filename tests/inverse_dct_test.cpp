// Integer inverse DCT: worked blocks, accuracy against a floating-point
// transform, and saturation for extreme 16-bit coefficients.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>

#include "vorc/decode/scan_decoder_software.h"

namespace {

using Decoder = vorcFramewiseTesraScanDecoderSoftwareOnly;
using Block = std::array<short, 64>;

Block transformed(Block block) {
    Decoder::idct(block.data());
    return block;
}

TEST(InverseDct, ZeroAndDcOnlyBlocks) {
    EXPECT_EQ(transformed(Block{}), Block{});
    const std::pair<short, short> cases[] = {{80, 10}, {4, 1}, {-4, 0}, {-5, -1}, {2100, 255}};
    for (const auto& [dc, sample] : cases) {
        Block block{};
        block[0] = dc;
        Block expected;
        expected.fill(sample);
        EXPECT_EQ(transformed(block), expected) << "dc " << dc;
    }
}

TEST(InverseDct, WorkedBlock) {
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

// The fixed-point transform stays within one level of the exact one for
// coefficients of realistic size (what IEEE 1180 asks of a JPEG decoder).
TEST(InverseDct, WithinOneLevelOfExactTransform) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> dc(-2048, 2047);
    std::uniform_int_distribution<int> ac(-300, 300);
    int worst = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        Block block{};
        for (int i = 0; i < 64; ++i) {
            // Larger values in the low frequencies, like real pictures.
            const int frequency = i / 8 + i % 8;
            block[i] = static_cast<short>(i == 0 ? dc(random) : ac(random) / (1 + frequency));
        }
        const Block out = transformed(block);
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
                double sum = 0;
                for (int v = 0; v < 8; ++v) {
                    for (int u = 0; u < 8; ++u) {
                        const double cu = u == 0 ? std::sqrt(0.5) : 1.0;
                        const double cv = v == 0 ? std::sqrt(0.5) : 1.0;
                        sum += cu * cv * block[8 * v + u] * std::cos((2 * x + 1) * u * M_PI / 16) *
                               std::cos((2 * y + 1) * v * M_PI / 16);
                    }
                }
                const double exact = std::fmin(255.0, std::fmax(-256.0, std::round(sum / 4)));
                worst = std::max(worst, static_cast<int>(std::fabs(exact - out[8 * y + x])));
            }
        }
    }
    EXPECT_LE(worst, 1);
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
        for (short& value : block) {
            value = static_cast<short>(trial % 2 == 0 ? any(random) : extremes[pick(random)]);
        }
        if (trial == 0) block.fill(32767);
        if (trial == 1) block.fill(-32767);
        for (const short sample : transformed(block)) {
            ASSERT_GE(sample, -256);
            ASSERT_LE(sample, 255);
        }
    }
}

TEST(InverseDct, ClipTable) {
    EXPECT_EQ(Decoder::iclp, Decoder::iclip.data() + 512);
    EXPECT_EQ(Decoder::iclp[-512], -256);
    EXPECT_EQ(Decoder::iclp[-257], -256);
    EXPECT_EQ(Decoder::iclp[-256], -256);
    EXPECT_EQ(Decoder::iclp[17], 17);
    EXPECT_EQ(Decoder::iclp[255], 255);
    EXPECT_EQ(Decoder::iclp[511], 255);
}

}  // namespace
