// Forward transform and quantisation for the stream encoder (the reverse
// direction of the chain: pictures -> encoder -> Tesra stream). An 8x8
// block of samples becomes DCT coefficients with an accurate fixed-point
// algorithm, and those become the quantised values that the scan carries.
// Integer arithmetic only, so the same picture gives the same stream on
// every machine and compiler.
#ifndef VORC_ENCODE_FORWARD_DCT_H
#define VORC_ENCODE_FORWARD_DCT_H

#include <cstdint>

namespace vorc {

// 64 samples (row-major, 0..255) to 64 coefficients in natural order. The
// results are eight times the orthonormal 2-D DCT of the level-shifted
// samples, as the fixed-point algorithm leaves them; quantize_block takes
// that factor out.
void forward_DCT_8x8(const unsigned char* samples, int32_t* coefficients);

// The example tables of ITU-T T.81 Annex K (K.1 luminance, K.2 chrominance)
// scaled for a quality of 1 to 100 (50 keeps them as they are), each value
// clamped to 1..255; 64 values in natural order.
void make_quantization_table(int quality, bool chrominance, unsigned char* table);

// Divides the coefficients of forward_DCT_8x8 by the table (natural order),
// rounding half away from zero, and limits the results to what the default
// Huffman tables can carry (magnitudes up to 1023).
void quantize_block(const int32_t* coefficients, const unsigned char* table, int16_t* quantized);

}  // namespace vorc

#endif
