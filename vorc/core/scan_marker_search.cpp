// Finding the end of an entropy-coded scan for the parser, 16 bytes at a
// time where SSE2 is part of the target (every x86-64): an FF with a 00
// after it is stuffing, any other FF is the marker searched for.
#include "vorc/core/scan_marker_search.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorc::detail {

namespace {
constexpr unsigned char MarkerPrefix = 0xFF;
constexpr unsigned char Stuffing = 0x00;
}  // namespace

const unsigned char* findScanMarkerSerially(const unsigned char* from, const unsigned char* end) {
    while (from < end) {
        const void* const found = std::memchr(from, MarkerPrefix, static_cast<size_t>(end - from));
        if (found == nullptr) return end;
        const auto* const ff = static_cast<const unsigned char*>(found);
        if (ff + 1 == end || ff[1] != Stuffing) return ff;
        from = ff + 2;
    }
    return end;
}

#if defined(__SSE2__)

namespace {

// 0xFF in each byte of the 16 at `at` that is an FF not followed by 00.
__m128i markersAt(const unsigned char* at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i nextBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
    const __m128i prefixes = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(MarkerPrefix)));
    return _mm_andnot_si128(_mm_cmpeq_epi8(nextBytes, _mm_setzero_si128()), prefixes);
}

unsigned maskOf(__m128i bytes) { return static_cast<unsigned>(_mm_movemask_epi8(bytes)); }

}  // namespace

const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end) {
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
    return findScanMarkerSerially(from, end);
}

#else

const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end) {
    return findScanMarkerSerially(from, end);
}

#endif

}  // namespace vorc::detail
