// SSE2 kernels of the pixel decoder (scan decoder -> kernels -> back end)
// and of the encoder's forward DCT, bit-exact with the reference kernels. The inverse DCT runs both passes as
// eight 1-D transforms side by side in 32-bit lanes: products of two 16-bit
// inputs by madd, x181 by shifts and adds so that it wraps like the
// reference, and a truncating (not saturating) narrowing between the passes.
#include "vorc/dsp/x86_kernels.h"

#if defined(__x86_64__)

#include <emmintrin.h>

#include <cstring>

#include "vorc/dsp/forward_dct_arithmetic.h"
#define VORC_X86_KERNEL_TARGET "sse2"
#include "vorc/dsp/x86_inverse_dct_pass.h"
#include "vorc/dsp/x86_transpose.h"
#include "vorc/jpeg/tile_decoder.h"

namespace vorc::dsp {

namespace {

using V = __m128i;

// Pairs (a, b) of 16-bit lanes times (ka, kb), summed into 32 bits.
[[gnu::target("sse2")]] inline V madd(V pairs, int16_t ka, int16_t kb) {
    return _mm_madd_epi16(pairs, _mm_set_epi16(kb, ka, kb, ka, kb, ka, kb, ka));
}

// The inverse DCT's operations on four 32-bit lanes.
struct InverseDctOps {
    using V = __m128i;
    [[gnu::target("sse2")]] static V madd(V pairs, int16_t ka, int16_t kb) { return dsp::madd(pairs, ka, kb); }
    [[gnu::target("sse2")]] static V add(V a, V b) { return _mm_add_epi32(a, b); }
    [[gnu::target("sse2")]] static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
    [[gnu::target("sse2")]] static V shiftRight(V v, int count) { return _mm_srai_epi32(v, count); }
    [[gnu::target("sse2")]] static V broadcast(int32_t value) { return _mm_set1_epi32(value); }
    // SSE2 has no 32-bit product: shifts and adds, which wrap alike.
    [[gnu::target("sse2")]] static V timesSqrt2Half(V v) {
        static_assert(idct::Sqrt2Half == 128 + 32 + 16 + 4 + 1);
        const V v4 = _mm_slli_epi32(v, 2);
        const V v16 = _mm_slli_epi32(v, 4);
        const V v32 = _mm_slli_epi32(v, 5);
        const V v128 = _mm_slli_epi32(v, 7);
        return _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(v128, v32), _mm_add_epi32(v16, v4)), v);
    }
};

// One pass on four of the eight lanes (high selects lanes 4..7).
template <bool Column>
[[gnu::target("sse2")]] inline void passHalf(const V* in, bool high, V* out) {
    auto pairs = [high](V a, V b) { return high ? _mm_unpackhi_epi16(a, b) : _mm_unpacklo_epi16(a, b); };
    inverseDctPass<InverseDctOps, Column>({pairs(in[0], in[4]), pairs(in[1], in[7]), pairs(in[5], in[3]),
                                           pairs(in[2], in[6])},
                                          out);
}

// The low 16 bits of each 32-bit lane, two's complement.
[[gnu::target("sse2")]] inline V truncateTo16(V low, V high) {
    return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(low, 16), 16),
                           _mm_srai_epi32(_mm_slli_epi32(high, 16), 16));
}

[[gnu::target("sse2")]] void dequantizeTransformBlock(int16_t* coefficients, const uint16_t* quantizer,
                                                      uint8_t* samples) {
    V rows[8];
    for (int r = 0; r < 8; ++r) {
        const V c = _mm_loadu_si128(reinterpret_cast<const V*>(coefficients + 8 * r));
        const V q = _mm_loadu_si128(reinterpret_cast<const V*>(quantizer + 8 * r));
        rows[r] = _mm_mullo_epi16(c, q);
        _mm_storeu_si128(reinterpret_cast<V*>(coefficients + 8 * r), _mm_setzero_si128());
    }
    // Row pass: lanes are rows, so the block goes in transposed.
    transpose8x8(rows);
    V low[8];
    V high[8];
    passHalf<false>(rows, false, low);
    passHalf<false>(rows, true, high);
    for (int k = 0; k < 8; ++k)
        rows[k] = truncateTo16(_mm_srai_epi32(low[k], 8), _mm_srai_epi32(high[k], 8));
    // Column pass: lanes are columns.
    transpose8x8(rows);
    passHalf<true>(rows, false, low);
    passHalf<true>(rows, true, high);
    // Clip to -256..255, clamp to -128..127 and add 128: one saturating
    // chain, since saturation keeps the order of values.
    const V levelShift = _mm_set1_epi16(128);
    for (int k = 0; k < 8; k += 2) {
        const V first = _mm_adds_epi16(
            _mm_packs_epi32(_mm_srai_epi32(low[k], 14), _mm_srai_epi32(high[k], 14)), levelShift);
        const V second = _mm_adds_epi16(
            _mm_packs_epi32(_mm_srai_epi32(low[k + 1], 14), _mm_srai_epi32(high[k + 1], 14)), levelShift);
        _mm_storeu_si128(reinterpret_cast<V*>(samples + 8 * k), _mm_packus_epi16(first, second));
    }
}

// The three colour differences of eight chroma samples, already divided
// by 1024: (1024 Y + d) >> 10 is Y + (d >> 10) for whole Y.
struct ChromaTerms {
    V red;
    V green;
    V blue;
};

[[gnu::target("sse2")]] inline ChromaTerms chromaTerms(const uint8_t* u, const uint8_t* v) {
    const V zero = _mm_setzero_si128();
    const V offset = _mm_set1_epi16(128);
    const V blueDiff = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const V*>(u)), zero), offset);
    const V redDiff = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const V*>(v)), zero), offset);
    const V lowPairs = _mm_unpacklo_epi16(blueDiff, redDiff);
    const V highPairs = _mm_unpackhi_epi16(blueDiff, redDiff);
    auto term = [&](int16_t fromBlue, int16_t fromRed) {
        return _mm_packs_epi32(_mm_srai_epi32(madd(lowPairs, fromBlue, fromRed), 10),
                               _mm_srai_epi32(madd(highPairs, fromBlue, fromRed), 10));
    };
    return {term(0, 1167), term(-403, -595), term(2081, 0)};
}

// Sixteen luminance samples of one pixel row plus the chroma term of each
// pixel (each chroma term covers two pixels), clamped to bytes.
[[gnu::target("sse2")]] inline V colourRow(V lumaLow, V lumaHigh, V term) {
    return _mm_packus_epi16(_mm_add_epi16(lumaLow, _mm_unpacklo_epi16(term, term)),
                            _mm_add_epi16(lumaHigh, _mm_unpackhi_epi16(term, term)));
}

// Writes 16 pixels from their red, green and blue bytes as 48 bytes R G B.
[[gnu::target("sse2")]] inline void storeRgb(V red, V green, V blue, unsigned char* out) {
    const V zero = _mm_setzero_si128();
    const V redGreenLow = _mm_unpacklo_epi8(red, green);
    const V redGreenHigh = _mm_unpackhi_epi8(red, green);
    const V blueLow = _mm_unpacklo_epi8(blue, zero);
    const V blueHigh = _mm_unpackhi_epi8(blue, zero);
    // Sixteen pixels of four bytes (R G B 0), two per 64-bit word.
    const V quads[4] = {_mm_unpacklo_epi16(redGreenLow, blueLow), _mm_unpackhi_epi16(redGreenLow, blueLow),
                        _mm_unpacklo_epi16(redGreenHigh, blueHigh), _mm_unpackhi_epi16(redGreenHigh, blueHigh)};
    uint64_t pairs[8];  // six bytes each: two pixels
    for (int i = 0; i < 4; ++i) {
        const auto first = static_cast<uint64_t>(_mm_cvtsi128_si64(quads[i]));
        const auto second = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(quads[i], quads[i])));
        pairs[2 * i] = (first & 0xFFFFFFu) | ((first >> 8) & 0xFFFFFF000000u);
        pairs[2 * i + 1] = (second & 0xFFFFFFu) | ((second >> 8) & 0xFFFFFF000000u);
    }
    const uint64_t words[6] = {pairs[0] | (pairs[1] << 48), (pairs[1] >> 16) | (pairs[2] << 32),
                               (pairs[2] >> 32) | (pairs[3] << 16), pairs[4] | (pairs[5] << 48),
                               (pairs[5] >> 16) | (pairs[6] << 32), (pairs[6] >> 32) | (pairs[7] << 16)};
    std::memcpy(out, words, sizeof words);
}

[[gnu::target("sse2")]] void convertTileToRgb(const TileSamples& samples, unsigned char* target,
                                              ptrdiff_t rowStep) {
    const V zero = _mm_setzero_si128();
    for (int chromaRow = 0; chromaRow < 8; ++chromaRow) {
        const ChromaTerms terms = chromaTerms(samples[4] + 8 * chromaRow, samples[5] + 8 * chromaRow);
        for (int y = 2 * chromaRow; y < 2 * chromaRow + 2; ++y) {
            const uint8_t* left = samples[2 * (y / 8)] + 8 * (y % 8);
            const uint8_t* right = samples[2 * (y / 8) + 1] + 8 * (y % 8);
            const V lumaLow = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const V*>(left)), zero);
            const V lumaHigh = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const V*>(right)), zero);
            storeRgb(colourRow(lumaLow, lumaHigh, terms.red), colourRow(lumaLow, lumaHigh, terms.green),
                     colourRow(lumaLow, lumaHigh, terms.blue), target + y * rowStep);
        }
    }
}

// One pass of the forward DCT on eight lanes: each output the weighted sum
// of the eight inputs (pairs of inputs by madd), rounded once; lanes 0..3
// in low, 4..7 in high.
[[gnu::target("sse2")]] inline void forwardPass(const V* in, int pass, V* low, V* high) {
    V pairsLow[4];
    V pairsHigh[4];
    for (int j = 0; j < 4; ++j) {
        pairsLow[j] = _mm_unpacklo_epi16(in[2 * j], in[2 * j + 1]);
        pairsHigh[j] = _mm_unpackhi_epi16(in[2 * j], in[2 * j + 1]);
    }
    for (int k = 0; k < 8; ++k) {
        const int16_t* w = forward_dct::Weights.weights[pass][k];
        V sumLow = madd(pairsLow[0], w[0], w[1]);
        V sumHigh = madd(pairsHigh[0], w[0], w[1]);
        for (int j = 1; j < 4; ++j) {
            sumLow = _mm_add_epi32(sumLow, madd(pairsLow[j], w[2 * j], w[2 * j + 1]));
            sumHigh = _mm_add_epi32(sumHigh, madd(pairsHigh[j], w[2 * j], w[2 * j + 1]));
        }
        const int shift = forward_dct::passShift(k, pass == 0);
        if (shift != 0) {
            const V half = _mm_set1_epi32(1 << (shift - 1));
            const V count = _mm_cvtsi32_si128(shift);
            sumLow = _mm_sra_epi32(_mm_add_epi32(sumLow, half), count);
            sumHigh = _mm_sra_epi32(_mm_add_epi32(sumHigh, half), count);
        }
        low[k] = sumLow;
        high[k] = sumHigh;
    }
}

[[gnu::target("sse2")]] void forwardTransformBlock(const unsigned char* samples, int32_t* coefficients) {
    const V zero = _mm_setzero_si128();
    const V levelShift = _mm_set1_epi16(128);
    V rows[8];
    for (int r = 0; r < 8; ++r)
        rows[r] = _mm_sub_epi16(
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const V*>(samples + 8 * r)), zero), levelShift);
    // Row pass: lanes are rows. Its results fit in 16 bits.
    transpose8x8(rows);
    V low[8];
    V high[8];
    forwardPass(rows, 0, low, high);
    for (int k = 0; k < 8; ++k) rows[k] = _mm_packs_epi32(low[k], high[k]);
    // Column pass: lanes are columns, output k is row k.
    transpose8x8(rows);
    forwardPass(rows, 1, low, high);
    for (int k = 0; k < 8; ++k) {
        _mm_storeu_si128(reinterpret_cast<V*>(coefficients + 8 * k), low[k]);
        _mm_storeu_si128(reinterpret_cast<V*>(coefficients + 8 * k + 4), high[k]);
    }
}

}  // namespace

const KernelTable* sse2Kernels() {
    static constexpr KernelTable Table = {"sse2",
                                          dequantizeTransformBlock,
                                          convertTileToRgb,
                                          forwardTransformBlock,
                                          sse2::findScanMarker,
                                          sse2::copyPlainBits,
                                          sse2::copyStuffedBits,
                                          jpeg::decodeTile};
    return &Table;
}

}  // namespace vorc::dsp

#else

namespace vorc::dsp {
const KernelTable* sse2Kernels() { return nullptr; }
}  // namespace vorc::dsp

#endif
