// The fixed-point arithmetic of the inverse DCT that every kernel table
// shares: the reference transform and the x86 kernels must agree to the bit,
// so its constants are written here once.
#ifndef VORC_DSP_INVERSE_DCT_CONSTANTS_H
#define VORC_DSP_INVERSE_DCT_CONSTANTS_H

#include <cstdint>

namespace vorc::dsp::idct {

// 2048 * sqrt(2) * cos(k * pi / 16) for k = 1, 2, 3, 5, 6, 7, rounded.
constexpr int16_t W1 = 2841;
constexpr int16_t W2 = 2676;
constexpr int16_t W3 = 2408;
constexpr int16_t W5 = 1609;
constexpr int16_t W6 = 1108;
constexpr int16_t W7 = 565;
// 128 * sqrt(2); its products are rounded and shifted back by 8.
constexpr int16_t Sqrt2Half = 181;
constexpr int Sqrt2HalfShift = 8;

// The row pass scales coefficients 0 and 4 by 2^11 and keeps three more
// fraction bits than it is given: its results are shifted by 8. The column
// pass scales them by 2^8, rounds its other products to 3 fewer bits, and
// shifts its results by 14. Each adds half of its final shift's unit to
// coefficient 0's term.
constexpr int RowScaleShift = 11;
constexpr int RowResultShift = 8;
constexpr int ColumnScaleShift = 8;
constexpr int ColumnProductShift = 3;
constexpr int ColumnResultShift = 14;
constexpr int32_t RowRounding = 1 << (RowResultShift - 1);
constexpr int32_t ColumnRounding = 1 << (ColumnResultShift - 1);

}  // namespace vorc::dsp::idct

#endif
