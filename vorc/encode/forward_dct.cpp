// Forward DCT and quantisation of the stream encoder. The transform itself
// is a kernel of the kernel table; the quantiser tables and the rounding
// division are here.
#include "vorc/encode/forward_dct.h"

#include <algorithm>

#include "vorc/dsp/kernel_table.h"

namespace vorc {

namespace {

constexpr unsigned char LuminanceBase[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99};

constexpr unsigned char ChrominanceBase[64] = {
    17, 18, 24, 47, 99, 99, 99, 99,  //
    18, 21, 26, 66, 99, 99, 99, 99,  //
    24, 26, 56, 99, 99, 99, 99, 99,  //
    47, 66, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99};

// The largest quantised magnitude whose size category (10 bits) the default
// AC tables have a code for; DC values stay within it as well, so that a DC
// difference never needs more than the 11 bits of the DC tables.
constexpr int32_t LargestQuantizedMagnitude = 1023;

}  // namespace

void forward_DCT_8x8(const unsigned char* samples, int32_t* coefficients) {
    dsp::selectedKernels().forwardTransformBlock(samples, coefficients);
}

void make_quantization_table(int quality, bool chrominance, unsigned char* table) {
    const int clampedQuality = std::clamp(quality, 1, 100);
    const int32_t scale = clampedQuality < 50 ? 5000 / clampedQuality : 200 - 2 * clampedQuality;
    const unsigned char* base = chrominance ? ChrominanceBase : LuminanceBase;
    for (int i = 0; i < 64; ++i) {
        const int32_t value = (base[i] * scale + 50) / 100;
        table[i] = static_cast<unsigned char>(std::clamp<int32_t>(value, 1, 255));
    }
}

void quantize_block(const int32_t* coefficients, const unsigned char* table, int16_t* quantized) {
    for (int i = 0; i < 64; ++i) {
        // The transform leaves a factor of 8 in every coefficient.
        const int32_t divisor = static_cast<int32_t>(table[i]) * 8;
        const int32_t value = coefficients[i];
        const int32_t magnitude = ((value < 0 ? -value : value) + divisor / 2) / divisor;
        const int32_t limited = std::min(magnitude, LargestQuantizedMagnitude);
        quantized[i] = static_cast<int16_t>(value < 0 ? -limited : limited);
    }
}

}  // namespace vorc
