// The forward DCT's arithmetic, shared by the encoder's reference kernel
// and the accelerated ones (pictures -> encoder -> Tesra stream): the
// accurate fixed-point factorisation of Loeffler, Ligtenberg and Moschytz
// (12 multiplications per 8-point pass), a row pass that keeps two extra
// fraction bits, then a column pass that removes them. Within a pass each
// output is an integer sum of the eight inputs, rounded once at the end, so
// a pass is also a matrix of integer weights; the accelerated kernels use
// that matrix and give the same sums.
#ifndef VORC_DSP_FORWARD_DCT_ARITHMETIC_H
#define VORC_DSP_FORWARD_DCT_ARITHMETIC_H

#include <cstdint>

namespace vorc::dsp::forward_dct {

constexpr int ConstBits = 13;  // fraction bits of the multipliers
constexpr int Pass1Bits = 2;   // extra precision carried between the passes

constexpr int32_t fix(double value) { return static_cast<int32_t>(value * (1 << ConstBits) + 0.5); }

constexpr int32_t Fix_0_298631336 = fix(0.298631336);
constexpr int32_t Fix_0_390180644 = fix(0.390180644);
constexpr int32_t Fix_0_541196100 = fix(0.541196100);
constexpr int32_t Fix_0_765366865 = fix(0.765366865);
constexpr int32_t Fix_0_899976223 = fix(0.899976223);
constexpr int32_t Fix_1_175875602 = fix(1.175875602);
constexpr int32_t Fix_1_501321110 = fix(1.501321110);
constexpr int32_t Fix_1_847759065 = fix(1.847759065);
constexpr int32_t Fix_1_961570560 = fix(1.961570560);
constexpr int32_t Fix_2_053119869 = fix(2.053119869);
constexpr int32_t Fix_2_562915447 = fix(2.562915447);
constexpr int32_t Fix_3_072711026 = fix(3.072711026);

// The sums of one 8-point pass before rounding. Outputs 0 and 4 need no
// multiplication: the row pass scales them to the others' precision.
constexpr void passSums(const int32_t* d, int32_t* sums, bool rowPass) {
    const int32_t tmp0 = d[0] + d[7];
    int32_t tmp7 = d[0] - d[7];
    const int32_t tmp1 = d[1] + d[6];
    int32_t tmp6 = d[1] - d[6];
    const int32_t tmp2 = d[2] + d[5];
    int32_t tmp5 = d[2] - d[5];
    const int32_t tmp3 = d[3] + d[4];
    int32_t tmp4 = d[3] - d[4];

    const int32_t tmp10 = tmp0 + tmp3;
    const int32_t tmp13 = tmp0 - tmp3;
    const int32_t tmp11 = tmp1 + tmp2;
    const int32_t tmp12 = tmp1 - tmp2;
    const int32_t evenScale = rowPass ? (1 << Pass1Bits) : 1;
    sums[0] = (tmp10 + tmp11) * evenScale;
    sums[4] = (tmp10 - tmp11) * evenScale;
    const int32_t rotation = (tmp12 + tmp13) * Fix_0_541196100;
    sums[2] = rotation + tmp13 * Fix_0_765366865;
    sums[6] = rotation - tmp12 * Fix_1_847759065;

    int32_t z1 = tmp4 + tmp7;
    int32_t z2 = tmp5 + tmp6;
    int32_t z3 = tmp4 + tmp6;
    int32_t z4 = tmp5 + tmp7;
    const int32_t z5 = (z3 + z4) * Fix_1_175875602;
    tmp4 *= Fix_0_298631336;
    tmp5 *= Fix_2_053119869;
    tmp6 *= Fix_3_072711026;
    tmp7 *= Fix_1_501321110;
    z1 *= -Fix_0_899976223;
    z2 *= -Fix_2_562915447;
    z3 = z3 * -Fix_1_961570560 + z5;
    z4 = z4 * -Fix_0_390180644 + z5;
    sums[7] = tmp4 + z1 + z3;
    sums[5] = tmp5 + z2 + z4;
    sums[3] = tmp6 + z2 + z3;
    sums[1] = tmp7 + z1 + z4;
}

// The rounding shift of output k: none for the row pass's outputs 0 and 4.
constexpr int passShift(int k, bool rowPass) {
    if (k % 4 == 0) return rowPass ? 0 : Pass1Bits;
    return rowPass ? ConstBits - Pass1Bits : ConstBits + Pass1Bits;
}

// Rounding right shift (floor division after adding half). Shifting a
// negative number is implementation-defined before C++20, so negative
// values go through the complement, which gives the same floor division
// everywhere.
constexpr int32_t descale(int32_t value, int bits) {
    if (bits == 0) return value;
    const int32_t rounded = value + (int32_t{1} << (bits - 1));
    return rounded >= 0 ? (rounded >> bits) : ~(~rounded >> bits);
}

// Weights[pass][k][i]: the weight of input i in the sum of output k (pass 0
// the row pass, 1 the column pass); all fit in 16 bits.
struct PassWeights {
    int16_t weights[2][8][8];
};
constexpr PassWeights makePassWeights() {
    PassWeights result{};
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 8; ++i) {
            int32_t unit[8] = {};
            unit[i] = 1;
            int32_t sums[8] = {};
            passSums(unit, sums, pass == 0);
            for (int k = 0; k < 8; ++k) result.weights[pass][k][i] = static_cast<int16_t>(sums[k]);
        }
    }
    return result;
}
inline constexpr PassWeights Weights = makePassWeights();

}  // namespace vorc::dsp::forward_dct

#endif
