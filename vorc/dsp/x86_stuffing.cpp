// The SSE2 and AVX2 kernels that take the FF 00 stuffing out of a scan's
// clean part and put it back, 16 or 32 bytes a step (64 where bytes go back
// as they are): each step copies its bytes whole (putting back, shifted by
// the same bits in every byte where the bits start inside one), and one
// that holds an FF ends just behind the first, leaving out or adding the
// 00. The last bytes go as the reference takes them.
#include "vorc/dsp/x86_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp {

namespace {

// The steps of both, over a vector of Lanes bytes with the given load,
// store and FF test (a bit set for each FF byte).
template <size_t Lanes, typename Step>
[[gnu::always_inline]] inline size_t copyPlainBitsBy(const unsigned char*& in, const unsigned char* cleanEnd,
                                                     unsigned char* plain, std::vector<uint32_t>& ffOffsets,
                                                     Step step) {
    size_t written = 0;
    while (static_cast<size_t>(cleanEnd - in) >= Lanes) {
        const unsigned ffs = step(in, plain + written);
        if (ffs == 0) {
            in += Lanes;
            written += Lanes;
            continue;
        }
        // The bytes up to the FF are in place; its stuffed 00 is left out.
        const unsigned at = static_cast<unsigned>(__builtin_ctz(ffs));
        ffOffsets.push_back(static_cast<uint32_t>(written + at));
        in += at + 2;
        written += at + 1;
    }
    return written;
}

template <size_t Lanes, typename Step, typename... StepArguments>
[[gnu::always_inline]] inline size_t copyStuffedBytesBy(const unsigned char*& plain, const unsigned char* end,
                                                        unsigned char* scan, Step step,
                                                        const StepArguments&... stepArguments) {
    size_t written = 0;
    while (static_cast<size_t>(end - plain) >= Lanes) {
        const auto ffs = step(plain, scan + written, stepArguments...);
        if (ffs == 0) {
            plain += Lanes;
            written += Lanes;
            continue;
        }
        // The bytes up to the FF are in place; the 00 goes after it.
        const unsigned at = static_cast<unsigned>(__builtin_ctzll(ffs));
        scan[written + at + 1] = 0x00;
        plain += at + 1;
        written += at + 2;
    }
    return written;
}

[[gnu::target("sse2")]] unsigned copySse2(const unsigned char* from, unsigned char* to) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), bytes);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(-1))));
}

[[gnu::target("avx2")]] unsigned copyAvx2(const unsigned char* from, unsigned char* to) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), bytes);
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(-1))));
}

// 64 bytes a step where the bytes go as they are: fewer tests, where FFs
// are rare, bring the copy near memcpy speed.
[[gnu::target("sse2")]] uint64_t copyFourTimesSse2(const unsigned char* from, unsigned char* to) {
    return copySse2(from, to) | uint64_t{copySse2(from + 16, to + 16)} << 16 |
           uint64_t{copySse2(from + 32, to + 32)} << 32 | uint64_t{copySse2(from + 48, to + 48)} << 48;
}

[[gnu::target("avx2")]] uint64_t copyTwiceAvx2(const unsigned char* from, unsigned char* to) {
    return copyAvx2(from, to) | uint64_t{copyAvx2(from + 32, to + 32)} << 32;
}

// Bits from bit `shift` (1 to 7) of a byte on, as whole bytes: each byte
// shifted up, with the top bits of the byte after it shifted in. The
// vectors shift 16-bit lanes; the masks keep each byte's own bits.
struct ShiftedBytes {
    __m128i up;
    __m128i down;
    char keepUp;
    char keepDown;
};

ShiftedBytes shiftedBytes(unsigned shift) {
    return {_mm_cvtsi32_si128(static_cast<int>(shift)), _mm_cvtsi32_si128(static_cast<int>(8 - shift)),
            static_cast<char>(0xFF << shift), static_cast<char>(0xFF >> (8 - shift))};
}

[[gnu::target("sse2")]] unsigned copyShiftedSse2(const unsigned char* from, unsigned char* to, const ShiftedBytes& shift) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 1));
    const __m128i shifted = _mm_or_si128(_mm_and_si128(_mm_sll_epi16(bytes, shift.up), _mm_set1_epi8(shift.keepUp)),
                                         _mm_and_si128(_mm_srl_epi16(after, shift.down), _mm_set1_epi8(shift.keepDown)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), shifted);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(shifted, _mm_set1_epi8(-1))));
}

[[gnu::target("avx2")]] unsigned copyShiftedAvx2(const unsigned char* from, unsigned char* to, const ShiftedBytes& shift) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 1));
    const __m256i shifted =
        _mm256_or_si256(_mm256_and_si256(_mm256_sll_epi16(bytes, shift.up), _mm256_set1_epi8(shift.keepUp)),
                        _mm256_and_si256(_mm256_srl_epi16(after, shift.down), _mm256_set1_epi8(shift.keepDown)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), shifted);
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(shifted, _mm256_set1_epi8(-1))));
}

// The last bytes, one by one.
size_t finishPlainBits(const unsigned char* in, const unsigned char* cleanEnd, unsigned char* plain, size_t written,
                       std::vector<uint32_t>& ffOffsets) {
    for (; in < cleanEnd; ++written) {
        plain[written] = *in;
        if (*in == 0xFF) {
            ffOffsets.push_back(static_cast<uint32_t>(written));
            ++in;
        }
        ++in;
    }
    return written;
}

}  // namespace

namespace sse2 {

[[gnu::target("sse2")]] size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd,
                                             unsigned char* plain, std::vector<uint32_t>& ffOffsets) {
    ffOffsets.clear();
    const unsigned char* in = begin;
    const size_t written = copyPlainBitsBy<16>(in, cleanEnd, plain, ffOffsets, copySse2);
    return finishPlainBits(in, cleanEnd, plain, written, ffOffsets);
}

[[gnu::target("sse2")]] size_t copyStuffedBits(const unsigned char* plain, unsigned shift, size_t count,
                                               unsigned char* scan) {
    const unsigned char* const end = plain + count;
    size_t written;
    if (shift == 0) {
        written = copyStuffedBytesBy<64>(plain, end, scan, copyFourTimesSse2);
        written += copyStuffedBytesBy<16>(plain, end, scan + written, copySse2);
    } else {
        written = copyStuffedBytesBy<16>(plain, end, scan, copyShiftedSse2, shiftedBytes(shift));
    }
    return written + reference::copyStuffedBits(plain, shift, static_cast<size_t>(end - plain), scan + written);
}

}  // namespace sse2

namespace avx2 {

[[gnu::target("avx2")]] size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd,
                                             unsigned char* plain, std::vector<uint32_t>& ffOffsets) {
    ffOffsets.clear();
    const unsigned char* in = begin;
    const size_t written = copyPlainBitsBy<32>(in, cleanEnd, plain, ffOffsets, copyAvx2);
    return finishPlainBits(in, cleanEnd, plain, written, ffOffsets);
}

[[gnu::target("avx2")]] size_t copyStuffedBits(const unsigned char* plain, unsigned shift, size_t count,
                                               unsigned char* scan) {
    const unsigned char* const end = plain + count;
    size_t written;
    if (shift == 0) {
        written = copyStuffedBytesBy<64>(plain, end, scan, copyTwiceAvx2);
        written += copyStuffedBytesBy<32>(plain, end, scan + written, copyAvx2);
    } else {
        written = copyStuffedBytesBy<32>(plain, end, scan, copyShiftedAvx2, shiftedBytes(shift));
    }
    return written + reference::copyStuffedBits(plain, shift, static_cast<size_t>(end - plain), scan + written);
}

}  // namespace avx2

}  // namespace vorc::dsp

#endif
