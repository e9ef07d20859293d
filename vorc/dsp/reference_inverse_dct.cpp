// The reference inverse DCT (scan decoder -> kernels): the separable
// fixed-point Chen-Wang transform, a row pass that keeps three extra
// fraction bits, then a column pass that ends in a saturating table lookup.
// Results are bit-exact across platforms, so the arithmetic below must not be
// "simplified"; the accelerated kernels reproduce exactly this.
//
// Intermediates wrap around in 32 bits (extreme 16-bit inputs do overflow
// the third stage). The arithmetic is therefore done on uint32_t, where
// wrap-around is defined, and only reinterpreted as signed for the arithmetic
// right shifts.
#include <cstdint>

#include "vorc/dsp/inverse_dct_constants.h"
#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp::reference {

namespace {

using u32 = uint32_t;
using namespace vorc::dsp::idct;

constexpr u32 Sqrt2HalfRounding = 1u << (Sqrt2HalfShift - 1);
constexpr u32 ColumnProductRounding = 1u << (ColumnProductShift - 1);

inline u32 wide(int16_t value) { return static_cast<u32>(static_cast<int32_t>(value)); }

inline int32_t asr(u32 value, int shift) { return static_cast<int32_t>(value) >> shift; }

inline int16_t clip(int32_t value) {
    if (value < -ClipTableCentre || value >= ClipTableCentre) return static_cast<int16_t>(value < 0 ? -256 : 255);
    return InverseDctClipTable[static_cast<size_t>(value + ClipTableCentre)];
}

}  // namespace

void inverseDctRow(int16_t* b) {
    u32 x1 = wide(b[4]) << RowScaleShift;
    u32 x2 = wide(b[6]);
    u32 x3 = wide(b[2]);
    u32 x4 = wide(b[1]);
    u32 x5 = wide(b[7]);
    u32 x6 = wide(b[5]);
    u32 x7 = wide(b[3]);
    if ((x1 | x2 | x3 | x4 | x5 | x6 | x7) == 0) {
        const auto dcOnly = static_cast<int16_t>(wide(b[0]) << (RowScaleShift - RowResultShift));
        for (int i = 0; i < 8; ++i) b[i] = dcOnly;
        return;
    }
    u32 x0 = (wide(b[0]) << RowScaleShift) + RowRounding;

    u32 x8 = W7 * (x4 + x5);
    x4 = x8 + (W1 - W7) * x4;
    x5 = x8 - (W1 + W7) * x5;
    x8 = W3 * (x6 + x7);
    x6 = x8 - (W3 - W5) * x6;
    x7 = x8 - (W3 + W5) * x7;

    x8 = x0 + x1;
    x0 -= x1;
    x1 = W6 * (x3 + x2);
    x2 = x1 - (W2 + W6) * x2;
    x3 = x1 + (W2 - W6) * x3;
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;

    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = static_cast<u32>(asr(Sqrt2Half * (x4 + x5) + Sqrt2HalfRounding, Sqrt2HalfShift));
    x4 = static_cast<u32>(asr(Sqrt2Half * (x4 - x5) + Sqrt2HalfRounding, Sqrt2HalfShift));

    b[0] = static_cast<int16_t>(asr(x7 + x1, RowResultShift));
    b[1] = static_cast<int16_t>(asr(x3 + x2, RowResultShift));
    b[2] = static_cast<int16_t>(asr(x0 + x4, RowResultShift));
    b[3] = static_cast<int16_t>(asr(x8 + x6, RowResultShift));
    b[4] = static_cast<int16_t>(asr(x8 - x6, RowResultShift));
    b[5] = static_cast<int16_t>(asr(x0 - x4, RowResultShift));
    b[6] = static_cast<int16_t>(asr(x3 - x2, RowResultShift));
    b[7] = static_cast<int16_t>(asr(x7 - x1, RowResultShift));
}

void inverseDctColumn(int16_t* c) {
    u32 x1 = wide(c[8 * 4]) << ColumnScaleShift;
    u32 x2 = wide(c[8 * 6]);
    u32 x3 = wide(c[8 * 2]);
    u32 x4 = wide(c[8 * 1]);
    u32 x5 = wide(c[8 * 7]);
    u32 x6 = wide(c[8 * 5]);
    u32 x7 = wide(c[8 * 3]);
    if ((x1 | x2 | x3 | x4 | x5 | x6 | x7) == 0) {
        constexpr int dcShift = ColumnResultShift - ColumnScaleShift;
        const int16_t dcOnly = clip((c[0] + (1 << (dcShift - 1))) >> dcShift);
        for (int i = 0; i < 8; ++i) c[8 * i] = dcOnly;
        return;
    }
    u32 x0 = (wide(c[0]) << ColumnScaleShift) + ColumnRounding;

    u32 x8 = W7 * (x4 + x5) + ColumnProductRounding;
    x4 = static_cast<u32>(asr(x8 + (W1 - W7) * x4, ColumnProductShift));
    x5 = static_cast<u32>(asr(x8 - (W1 + W7) * x5, ColumnProductShift));
    x8 = W3 * (x6 + x7) + ColumnProductRounding;
    x6 = static_cast<u32>(asr(x8 - (W3 - W5) * x6, ColumnProductShift));
    x7 = static_cast<u32>(asr(x8 - (W3 + W5) * x7, ColumnProductShift));

    x8 = x0 + x1;
    x0 -= x1;
    x1 = W6 * (x3 + x2) + ColumnProductRounding;
    x2 = static_cast<u32>(asr(x1 - (W2 + W6) * x2, ColumnProductShift));
    x3 = static_cast<u32>(asr(x1 + (W2 - W6) * x3, ColumnProductShift));
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;

    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = static_cast<u32>(asr(Sqrt2Half * (x4 + x5) + Sqrt2HalfRounding, Sqrt2HalfShift));
    x4 = static_cast<u32>(asr(Sqrt2Half * (x4 - x5) + Sqrt2HalfRounding, Sqrt2HalfShift));

    c[8 * 0] = clip(asr(x7 + x1, ColumnResultShift));
    c[8 * 1] = clip(asr(x3 + x2, ColumnResultShift));
    c[8 * 2] = clip(asr(x0 + x4, ColumnResultShift));
    c[8 * 3] = clip(asr(x8 + x6, ColumnResultShift));
    c[8 * 4] = clip(asr(x8 - x6, ColumnResultShift));
    c[8 * 5] = clip(asr(x0 - x4, ColumnResultShift));
    c[8 * 6] = clip(asr(x3 - x2, ColumnResultShift));
    c[8 * 7] = clip(asr(x7 - x1, ColumnResultShift));
}

void inverseDct(int16_t* block) {
    for (int row = 0; row < 8; ++row) inverseDctRow(block + 8 * row);
    for (int column = 0; column < 8; ++column) inverseDctColumn(block + column);
}

}  // namespace vorc::dsp::reference
