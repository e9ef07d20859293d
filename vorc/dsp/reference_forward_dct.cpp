// The reference forward DCT of the stream encoder (pictures -> encoder ->
// Tesra stream): the accurate fixed-point factorisation of Loeffler,
// Ligtenberg and Moschytz (12 multiplications per 8-point pass), a row pass
// that keeps two extra fraction bits, then a column pass that removes them.
// Integer arithmetic only, so the same picture gives the same stream on
// every machine.
#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp::reference {

namespace {

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

// Rounding right shift. Shifting a negative number is implementation-defined
// before C++20, so negative values go through the complement, which gives
// the same floor division everywhere.
constexpr int32_t descale(int32_t value, int bits) {
    const int32_t rounded = value + (int32_t{1} << (bits - 1));
    return rounded >= 0 ? (rounded >> bits) : ~(~rounded >> bits);
}

// One 8-point transform over data[0], data[step], ... data[7 * step]. The
// even outputs 0 and 4 need no multiplication; evenShift scales them to the
// same precision as the others, oddShift descales the multiplied ones.
void transform8(int32_t* data, int step, bool firstPass) {
    int32_t d[8];
    for (int i = 0; i < 8; ++i) d[i] = data[i * step];

    const int32_t tmp0 = d[0] + d[7];
    int32_t tmp7 = d[0] - d[7];
    const int32_t tmp1 = d[1] + d[6];
    int32_t tmp6 = d[1] - d[6];
    const int32_t tmp2 = d[2] + d[5];
    int32_t tmp5 = d[2] - d[5];
    const int32_t tmp3 = d[3] + d[4];
    int32_t tmp4 = d[3] - d[4];

    const int shift = firstPass ? ConstBits - Pass1Bits : ConstBits + Pass1Bits;

    const int32_t tmp10 = tmp0 + tmp3;
    const int32_t tmp13 = tmp0 - tmp3;
    const int32_t tmp11 = tmp1 + tmp2;
    const int32_t tmp12 = tmp1 - tmp2;
    if (firstPass) {
        data[0] = (tmp10 + tmp11) * (1 << Pass1Bits);
        data[4 * step] = (tmp10 - tmp11) * (1 << Pass1Bits);
    } else {
        data[0] = descale(tmp10 + tmp11, Pass1Bits);
        data[4 * step] = descale(tmp10 - tmp11, Pass1Bits);
    }
    const int32_t rotation = (tmp12 + tmp13) * Fix_0_541196100;
    data[2 * step] = descale(rotation + tmp13 * Fix_0_765366865, shift);
    data[6 * step] = descale(rotation - tmp12 * Fix_1_847759065, shift);

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
    data[7 * step] = descale(tmp4 + z1 + z3, shift);
    data[5 * step] = descale(tmp5 + z2 + z4, shift);
    data[3 * step] = descale(tmp6 + z2 + z3, shift);
    data[1 * step] = descale(tmp7 + z1 + z4, shift);
}

}  // namespace

void forwardTransformBlock(const unsigned char* samples, int32_t* coefficients) {
    for (int i = 0; i < 64; ++i) coefficients[i] = static_cast<int32_t>(samples[i]) - 128;
    for (int row = 0; row < 8; ++row) transform8(coefficients + row * 8, 1, true);
    for (int column = 0; column < 8; ++column) transform8(coefficients + column, 8, false);
}

}  // namespace vorc::dsp::reference
