// AVX2 kernels of the pixel decoder (scan decoder -> kernels -> back end)
// and of the encoder's forward DCT, bit-exact with the reference kernels.
// The inverse DCT runs the pass of x86_inverse_dct_pass.h, all eight 1-D transforms
// in one register of 32-bit lanes, their inputs paired by byte shuffles
// instead of 8x8 transposes; a block with only a first column needs only
// the column pass. The colour conversion takes two chroma rows at a time,
// makes two pixel rows at a time and interleaves R, G and B with byte
// shuffles.
#include "vorc/dsp/x86_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "vorc/dsp/forward_dct_arithmetic.h"
#define VORC_X86_KERNEL_TARGET "avx2"
#include "vorc/dsp/x86_inverse_dct_pass.h"
#include "vorc/dsp/x86_transpose.h"

namespace vorc::dsp {

namespace {

using V = __m256i;
using H = __m128i;

[[gnu::target("avx2")]] inline V madd(V pairs, int16_t ka, int16_t kb) {
    return _mm256_madd_epi16(pairs, _mm256_set_epi16(kb, ka, kb, ka, kb, ka, kb, ka, kb, ka, kb, ka, kb, ka, kb, ka));
}

// The inverse DCT's operations on eight 32-bit lanes.
struct InverseDctOps {
    using V = __m256i;
    [[gnu::target("avx2")]] static V madd(V pairs, int16_t ka, int16_t kb) { return dsp::madd(pairs, ka, kb); }
    [[gnu::target("avx2")]] static V add(V a, V b) { return _mm256_add_epi32(a, b); }
    [[gnu::target("avx2")]] static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
    [[gnu::target("avx2")]] static V shiftRight(V v, int count) { return _mm256_srai_epi32(v, count); }
    [[gnu::target("avx2")]] static V broadcast(int32_t value) { return _mm256_set1_epi32(value); }
    [[gnu::target("avx2")]] static V timesSqrt2Half(V v) {
        return _mm256_mullo_epi32(v, _mm256_set1_epi32(idct::Sqrt2Half));
    }
};
using PassInputs = InverseDctPairs<InverseDctOps>;

// Lanes 0..7 of a and b as eight (a, b) pairs.
[[gnu::target("avx2")]] inline V pairs(H a, H b) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi16(a, b)), _mm_unpackhi_epi16(a, b), 1);
}

[[gnu::target("avx2")]] inline H packSigned(V v) {
    return _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// The row pass's inputs from the dequantised block (rows 2k and 2k + 1 in
// dequantized[k]): each row's
// coefficients shuffled into the pairs, then a transpose of the 32-bit
// pairs of two rows at a time. Its lanes hold the rows in the order
// 0, 2, 4, 6, 1, 3, 5, 7.
[[gnu::target("avx2")]] inline PassInputs rowPassInputs(const V* dequantized) {
    const V pairOrder = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 14, 15, 10, 11, 6, 7, 4, 5, 12, 13,  //
                                         0, 1, 8, 9, 2, 3, 14, 15, 10, 11, 6, 7, 4, 5, 12, 13);
    V rowPairs[4];  // rows 2k and 2k + 1
    for (int k = 0; k < 4; ++k) rowPairs[k] = _mm256_shuffle_epi8(dequantized[k], pairOrder);
    const V low01 = _mm256_unpacklo_epi32(rowPairs[0], rowPairs[1]);
    const V high01 = _mm256_unpackhi_epi32(rowPairs[0], rowPairs[1]);
    const V low23 = _mm256_unpacklo_epi32(rowPairs[2], rowPairs[3]);
    const V high23 = _mm256_unpackhi_epi32(rowPairs[2], rowPairs[3]);
    return {_mm256_unpacklo_epi64(low01, low23), _mm256_unpackhi_epi64(low01, low23),
            _mm256_unpacklo_epi64(high01, high23), _mm256_unpackhi_epi64(high01, high23)};
}

// The column pass's inputs from the row pass's results (column k of the
// block in rowResults[k], lanes in the row order above): bits 8..23 of each
// lane, which are its shift by 8 cut to 16 bits, picked in pairs by one
// byte shuffle per column, then a transpose of the 32-bit pairs.
[[gnu::target("avx2")]] inline PassInputs columnPassInputs(const V* rowResults) {
    // Rows 0, 2, 4, 6 give the pairs (0, 4) and (2, 6); rows 1, 3, 5, 7 the
    // pairs (1, 7) and (5, 3).
    const V pairBytes = _mm256_setr_epi8(1, 2, 9, 10, 5, 6, 13, 14, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                         1, 2, 13, 14, 9, 10, 5, 6, -1, -1, -1, -1, -1, -1, -1, -1);
    V columnPairs[4];  // columns 2k and 2k + 1
    for (int k = 0; k < 4; ++k)
        columnPairs[k] = _mm256_unpacklo_epi32(_mm256_shuffle_epi8(rowResults[2 * k], pairBytes),
                                               _mm256_shuffle_epi8(rowResults[2 * k + 1], pairBytes));
    // Columns 0..3 and 4..7: p04 and p17, then p26 and p53.
    const V first04 = _mm256_unpacklo_epi64(columnPairs[0], columnPairs[1]);
    const V first26 = _mm256_unpackhi_epi64(columnPairs[0], columnPairs[1]);
    const V last04 = _mm256_unpacklo_epi64(columnPairs[2], columnPairs[3]);
    const V last26 = _mm256_unpackhi_epi64(columnPairs[2], columnPairs[3]);
    return {_mm256_permute2x128_si256(first04, last04, 0x20), _mm256_permute2x128_si256(first04, last04, 0x31),
            _mm256_permute2x128_si256(first26, last26, 0x31), _mm256_permute2x128_si256(first26, last26, 0x20)};
}

// The column pass's inputs of a block whose non-zero coefficients all lie
// in its first column: the row pass makes each row d << 3 throughout (cut
// to 16 bits), so every column is alike and each lane gets the first.
[[gnu::target("avx2")]] inline PassInputs firstColumnPassInputs(const V* dequantized) {
    V rowValues[4];
    for (int k = 0; k < 4; ++k) rowValues[k] = _mm256_slli_epi16(dequantized[k], 3);
    // Interleaving two row pairs puts two rows' first values side by side
    // in the first 32 bits of a half: rows (0, 4), (1, 7), (5, 3), (2, 6).
    const V low = _mm256_setzero_si256();
    const V high = _mm256_set1_epi32(4);
    return {_mm256_permutevar8x32_epi32(_mm256_unpacklo_epi16(rowValues[0], rowValues[2]), low),
            _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi16(rowValues[0], rowValues[3]), high),
            _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi16(rowValues[2], rowValues[1]), high),
            _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi16(rowValues[1], rowValues[3]), low)};
}

[[gnu::target("avx2")]] void dequantizeTransformBlock(int16_t* coefficients, const uint16_t* quantizer,
                                                      uint8_t* samples) {
    V dequantized[4];  // rows 2k and 2k + 1
    V any = _mm256_setzero_si256();
    for (int k = 0; k < 4; ++k) {
        const V c = _mm256_loadu_si256(reinterpret_cast<const V*>(coefficients + 16 * k));
        const V q = _mm256_loadu_si256(reinterpret_cast<const V*>(quantizer + 16 * k));
        any = _mm256_or_si256(any, c);
        dequantized[k] = _mm256_mullo_epi16(c, q);
        _mm256_storeu_si256(reinterpret_cast<V*>(coefficients + 16 * k), _mm256_setzero_si256());
    }
    const V otherColumns = _mm256_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1, -1, -1);
    V wide[8];
    if (_mm256_testz_si256(any, otherColumns)) {
        inverseDctPass<InverseDctOps, true>(firstColumnPassInputs(dequantized), wide);
    } else {
        // Row pass: lanes are rows; its results keep their low 16 bits (a
        // truncation, not a saturation).
        inverseDctPass<InverseDctOps, false>(rowPassInputs(dequantized), wide);
        // Column pass: lanes are columns.
        inverseDctPass<InverseDctOps, true>(columnPassInputs(wide), wide);
    }
    // Clip, clamp to -128..127 and level shift form one saturating chain,
    // as saturation keeps the order.
    const V levelShift = _mm256_set1_epi16(128);
    // Packing within 128-bit halves leaves four bytes of each of four rows
    // in each half; a dword permutation puts them back in row order.
    const V rowOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (int k = 0; k < 8; k += 4) {
        const V upper = _mm256_adds_epi16(
            _mm256_packs_epi32(_mm256_srai_epi32(wide[k], 14), _mm256_srai_epi32(wide[k + 1], 14)), levelShift);
        const V lower = _mm256_adds_epi16(
            _mm256_packs_epi32(_mm256_srai_epi32(wide[k + 2], 14), _mm256_srai_epi32(wide[k + 3], 14)), levelShift);
        const V bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(upper, lower), rowOrder);
        _mm256_storeu_si256(reinterpret_cast<V*>(samples + 8 * k), bytes);
    }
}

// Byte shuffles that spread 16 bytes of one colour over the 48 bytes of 16
// RGB pixels: output part p (bytes 16p..16p+15) takes byte Picks[c][p][i] of
// colour c (-1: none).
struct RgbShuffles {
    int8_t picks[3][3][16];
};
constexpr RgbShuffles makeRgbShuffles() {
    RgbShuffles shuffles{};
    for (int colour = 0; colour < 3; ++colour)
        for (int part = 0; part < 3; ++part)
            for (int i = 0; i < 16; ++i) {
                const int byte = 16 * part + i;
                shuffles.picks[colour][part][i] = static_cast<int8_t>(byte % 3 == colour ? byte / 3 : -1);
            }
    return shuffles;
}
constexpr RgbShuffles Shuffles = makeRgbShuffles();

[[gnu::target("avx2")]] inline V loadPick(int colour, int part) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const H*>(Shuffles.picks[colour][part])));
}

// The colour terms of two chroma rows, one per 128-bit lane, already
// divided by 1024 ((1024 Y + d) >> 10 is Y + (d >> 10) for whole Y), each
// doubled for the two pixels it covers: pixels 0..7 in low, 8..15 in high.
struct ChromaTerms {
    V low;
    V high;
};

[[gnu::target("avx2")]] inline ChromaTerms doubled(V terms) {
    return {_mm256_unpacklo_epi16(terms, terms), _mm256_unpackhi_epi16(terms, terms)};
}

// k * d >> 10 as the high half of the product of d * 64 (which fits 16 bits
// for d in -128..127) and k: both the floor of d * k / 1024.
[[gnu::target("avx2")]] inline V scaledDifference(V difference, int16_t factor) {
    return _mm256_mulhi_epi16(_mm256_slli_epi16(difference, 6), _mm256_set1_epi16(factor));
}

[[gnu::target("avx2")]] inline V colourRows(V lumaLow, V lumaHigh, const ChromaTerms& term) {
    return _mm256_packus_epi16(_mm256_add_epi16(lumaLow, term.low), _mm256_add_epi16(lumaHigh, term.high));
}

[[gnu::target("avx2")]] void convertTileToRgb(const TileSamples& samples, unsigned char* target,
                                              ptrdiff_t rowStep) {
    const V offset = _mm256_set1_epi16(128);
    const V picks[3][3] = {{loadPick(0, 0), loadPick(0, 1), loadPick(0, 2)},
                           {loadPick(1, 0), loadPick(1, 1), loadPick(1, 2)},
                           {loadPick(2, 0), loadPick(2, 1), loadPick(2, 2)}};
    for (int chromaRow = 0; chromaRow < 8; chromaRow += 2) {
        // Chroma rows chromaRow and chromaRow + 1, one per 128-bit lane.
        const V blueDiff = _mm256_sub_epi16(
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const H*>(samples[4] + 8 * chromaRow))), offset);
        const V redDiff = _mm256_sub_epi16(
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const H*>(samples[5] + 8 * chromaRow))), offset);
        const V greenTerm = _mm256_packs_epi32(
            _mm256_srai_epi32(madd(_mm256_unpacklo_epi16(blueDiff, redDiff), -403, -595), 10),
            _mm256_srai_epi32(madd(_mm256_unpackhi_epi16(blueDiff, redDiff), -403, -595), 10));
        const ChromaTerms red = doubled(scaledDifference(redDiff, 1167));
        const ChromaTerms green = doubled(greenTerm);
        const ChromaTerms blue = doubled(scaledDifference(blueDiff, 2081));

        for (int rowInPair = 0; rowInPair < 2; ++rowInPair) {
            // Pixel rows y and y + 2, of the two chroma rows, one per lane.
            const int y = 2 * chromaRow + rowInPair;
            const uint8_t* left = samples[2 * (y / 8)] + 8 * (y % 8);
            const uint8_t* right = samples[2 * (y / 8) + 1] + 8 * (y % 8);
            const V lumaLow = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(
                _mm_loadl_epi64(reinterpret_cast<const H*>(left)), _mm_loadl_epi64(reinterpret_cast<const H*>(left + 16))));
            const V lumaHigh = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(
                _mm_loadl_epi64(reinterpret_cast<const H*>(right)), _mm_loadl_epi64(reinterpret_cast<const H*>(right + 16))));
            const V colours[3] = {colourRows(lumaLow, lumaHigh, red), colourRows(lumaLow, lumaHigh, green),
                                  colourRows(lumaLow, lumaHigh, blue)};
            unsigned char* const upperOut = target + y * rowStep;
            unsigned char* const lowerOut = upperOut + 2 * rowStep;
            for (int part = 0; part < 3; ++part) {
                const V bytes = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(colours[0], picks[0][part]),
                                                                _mm256_shuffle_epi8(colours[1], picks[1][part])),
                                                _mm256_shuffle_epi8(colours[2], picks[2][part]));
                _mm_storeu_si128(reinterpret_cast<H*>(upperOut + 16 * part), _mm256_castsi256_si128(bytes));
                _mm_storeu_si128(reinterpret_cast<H*>(lowerOut + 16 * part), _mm256_extracti128_si256(bytes, 1));
            }
        }
    }
}

// One pass of the forward DCT on eight lanes: each output the weighted sum
// of the eight inputs (pairs of inputs by madd), rounded once.
[[gnu::target("avx2")]] inline void forwardPass(const H* in, int pass, V* out) {
    V inputPairs[4];
    for (int j = 0; j < 4; ++j) inputPairs[j] = pairs(in[2 * j], in[2 * j + 1]);
    for (int k = 0; k < 8; ++k) {
        const int16_t* w = forward_dct::Weights.weights[pass][k];
        V sum = madd(inputPairs[0], w[0], w[1]);
        for (int j = 1; j < 4; ++j) sum = _mm256_add_epi32(sum, madd(inputPairs[j], w[2 * j], w[2 * j + 1]));
        const int shift = forward_dct::passShift(k, pass == 0);
        if (shift != 0)
            sum = _mm256_sra_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << (shift - 1))),
                                   _mm_cvtsi32_si128(shift));
        out[k] = sum;
    }
}

[[gnu::target("avx2")]] void forwardTransformBlock(const unsigned char* samples, int32_t* coefficients) {
    const H levelShift = _mm_set1_epi16(128);
    H rows[8];
    for (int r = 0; r < 8; ++r)
        rows[r] = _mm_sub_epi16(_mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const H*>(samples + 8 * r))),
                                levelShift);
    // Row pass: lanes are rows. Its results fit in 16 bits.
    transpose8x8(rows);
    V sums[8];
    forwardPass(rows, 0, sums);
    for (int k = 0; k < 8; ++k) rows[k] = packSigned(sums[k]);
    // Column pass: lanes are columns, output k is row k.
    transpose8x8(rows);
    forwardPass(rows, 1, sums);
    for (int k = 0; k < 8; ++k) _mm256_storeu_si256(reinterpret_cast<V*>(coefficients + 8 * k), sums[k]);
}

}  // namespace

const KernelTable* avx2Kernels() {
    static constexpr KernelTable Table = {"avx2",
                                          dequantizeTransformBlock,
                                          convertTileToRgb,
                                          forwardTransformBlock,
                                          avx2::findScanMarker,
                                          avx2::copyPlainBits,
                                          avx2::copyStuffedBits,
                                          bmi2::decodeTile};
    return &Table;
}

}  // namespace vorc::dsp

#else

namespace vorc::dsp {
const KernelTable* avx2Kernels() { return nullptr; }
}  // namespace vorc::dsp

#endif
