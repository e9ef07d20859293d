// The reference kernels that take the FF 00 stuffing out of a scan's clean
// part and put it back: one copy from FF to FF, or, putting back bits that
// start inside a byte, a 64-bit word at a time.
#include <cstring>

#include "vorc/jpeg/bit_writer.h"
#include "vorc/jpeg/jpeg_format.h"
#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp::reference {

size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                     std::vector<uint32_t>& ffOffsets) {
    ffOffsets.clear();
    size_t written = 0;
    const unsigned char* in = begin;
    while (in < cleanEnd) {
        // Up to the next FF in one copy; in the clean part every FF has its
        // stuffed 00 after it, which is left out.
        const auto* ff = static_cast<const unsigned char*>(
            std::memchr(in, vorc::jpeg::MarkerPrefix, static_cast<size_t>(cleanEnd - in)));
        const unsigned char* const stretchEnd = ff != nullptr ? ff + 1 : cleanEnd;
        std::memcpy(plain + written, in, static_cast<size_t>(stretchEnd - in));
        written += static_cast<size_t>(stretchEnd - in);
        if (ff == nullptr) break;
        ffOffsets.push_back(static_cast<uint32_t>(written - 1));
        in = ff + 2;
    }
    return written;
}

size_t copyStuffedBits(const unsigned char* plain, unsigned shift, size_t count, unsigned char* scan) {
    size_t written = 0;
    const unsigned char* const end = plain + count;
    if (shift == 0) {
        while (plain < end) {
            const auto* ff = static_cast<const unsigned char*>(
                std::memchr(plain, vorc::jpeg::MarkerPrefix, static_cast<size_t>(end - plain)));
            const unsigned char* const stretchEnd = ff != nullptr ? ff + 1 : end;
            std::memcpy(scan + written, plain, static_cast<size_t>(stretchEnd - plain));
            written += static_cast<size_t>(stretchEnd - plain);
            if (ff == nullptr) break;
            scan[written++] = 0x00;
            plain = ff + 1;
        }
        return written;
    }
    const auto put = [&](unsigned bits) {
        const auto byte = static_cast<unsigned char>(bits);
        scan[written++] = byte;
        if (byte == 0xFF) scan[written++] = 0x00;
    };
    // Shifted, 8 bytes a step from two loaded words; a step whose bytes
    // hold an FF goes byte by byte, and so do the last bytes.
    for (; end - plain >= 16; plain += 8) {
        const uint64_t bits =
            vorc::jpeg::loadBigEndian64(plain) << shift | vorc::jpeg::loadBigEndian64(plain + 8) >> (64 - shift);
        if (vorc::jpeg::hasByteFF(bits)) {
            for (int byteShift = 56; byteShift >= 0; byteShift -= 8) put(static_cast<unsigned>(bits >> byteShift));
            continue;
        }
        const uint64_t bigEndian = __builtin_bswap64(bits);
        std::memcpy(scan + written, &bigEndian, sizeof bigEndian);
        written += 8;
    }
    for (; plain < end; ++plain) put(unsigned{plain[0]} << shift | unsigned{plain[1]} >> (8 - shift));
    return written;
}

}  // namespace vorc::dsp::reference
