// The SSE2 search for the end of an entropy-coded scan, 16 bytes at a time
// (64 per test in the middle of a scan); stuffed FF 00 pairs are passed over
// without stopping. The SSE2 table runs it; the AVX2 search ends with it.
#include "vorc/dsp/x86_kernels.h"

#if defined(__x86_64__)

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp::sse2 {

namespace {

// 0xFF in each byte of the 16 at `at` that is an FF not followed by 00.
[[gnu::target("sse2")]] __m128i markersAt(const unsigned char* at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i nextBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
    const __m128i prefixes = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(vorc::jpeg::MarkerPrefix)));
    return _mm_andnot_si128(_mm_cmpeq_epi8(nextBytes, _mm_setzero_si128()), prefixes);
}

[[gnu::target("sse2")]] unsigned maskOf(__m128i bytes) { return static_cast<unsigned>(_mm_movemask_epi8(bytes)); }

}  // namespace

[[gnu::target("sse2")]] const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end) {
    constexpr ptrdiff_t Lanes = 16;
    // Each step looks at its bytes and at the byte after each of them, so it
    // needs one byte more than it passes. Most of a scan goes 64 bytes at a
    // time, with one test for all four groups of 16.
    while (end - from > 4 * Lanes) {
        const __m128i first = markersAt(from), second = markersAt(from + Lanes);
        const __m128i third = markersAt(from + 2 * Lanes), fourth = markersAt(from + 3 * Lanes);
        const unsigned any = maskOf(_mm_or_si128(_mm_or_si128(first, second), _mm_or_si128(third, fourth)));
        if (any != 0) {
            const uint64_t markers = maskOf(first) | uint64_t{maskOf(second)} << 16 |
                                     uint64_t{maskOf(third)} << 32 | uint64_t{maskOf(fourth)} << 48;
            return from + __builtin_ctzll(markers);
        }
        from += 4 * Lanes;
    }
    while (end - from > Lanes) {
        const unsigned markers = maskOf(markersAt(from));
        if (markers != 0) return from + __builtin_ctz(markers);
        from += Lanes;
    }
    return reference::findScanMarker(from, end);
}

}  // namespace vorc::dsp::sse2

#endif
