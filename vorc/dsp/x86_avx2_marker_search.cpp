// The AVX2 search for the end of an entropy-coded scan, the kernel that the
// parser runs over every scan byte: 128 bytes per test in the middle of a
// scan, 32 at a time after that, and the SSE2 search for the last bytes.
// Stuffed FF 00 pairs are passed over without stopping.
#include "vorc/dsp/x86_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "vorc/jpeg/jpeg_format.h"

namespace vorc::dsp::avx2 {

namespace {

// 0xFF in each byte of the 32 at `at` that is an FF not followed by 00.
[[gnu::target("avx2")]] __m256i markersAt(const unsigned char* at) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i nextBytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
    const __m256i prefixes = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(static_cast<char>(vorc::jpeg::MarkerPrefix)));
    return _mm256_andnot_si256(_mm256_cmpeq_epi8(nextBytes, _mm256_setzero_si256()), prefixes);
}

[[gnu::target("avx2")]] uint64_t maskOf(__m256i bytes) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(bytes));
}

}  // namespace

[[gnu::target("avx2")]] const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end) {
    constexpr ptrdiff_t Lanes = 32;
    // Each step looks at its bytes and at the byte after each of them, so it
    // needs one byte more than it passes.
    while (end - from > 4 * Lanes) {
        const __m256i first = markersAt(from), second = markersAt(from + Lanes);
        const __m256i third = markersAt(from + 2 * Lanes), fourth = markersAt(from + 3 * Lanes);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(first, second), _mm256_or_si256(third, fourth));
        if (_mm256_testz_si256(any, any) == 0) {
            const uint64_t firstHalf = maskOf(first) | maskOf(second) << 32;
            if (firstHalf != 0) return from + __builtin_ctzll(firstHalf);
            return from + 2 * Lanes + __builtin_ctzll(maskOf(third) | maskOf(fourth) << 32);
        }
        from += 4 * Lanes;
    }
    while (end - from > Lanes) {
        const uint64_t markers = maskOf(markersAt(from));
        if (markers != 0) return from + __builtin_ctzll(markers);
        from += Lanes;
    }
    return sse2::findScanMarker(from, end);
}

}  // namespace vorc::dsp::avx2

#endif
