// Finding the end of an entropy-coded scan for the parser, 16 bytes at a
// time where SSE2 is part of the target (every x86-64): an FF with a 00
// after it is stuffing, any other FF is the marker searched for.
#include "vorc/core/scan_marker_search.h"

#include <cstddef>
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

const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end) {
    constexpr ptrdiff_t Lanes = 16;
    const __m128i prefix = _mm_set1_epi8(static_cast<char>(MarkerPrefix));
    const __m128i stuffing = _mm_setzero_si128();
    // Each step looks at 16 bytes and at the byte after each of them, so it
    // needs one byte more than it passes.
    while (end - from > Lanes) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m128i nextBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 1));
        const unsigned prefixes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, prefix)));
        const unsigned stuffed = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(nextBytes, stuffing)));
        const unsigned markers = prefixes & ~stuffed;
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
