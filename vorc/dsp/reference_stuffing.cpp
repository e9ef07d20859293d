// The reference kernels that take the FF 00 stuffing out of a scan's clean
// part and put it back: one copy from FF to FF.
#include <cstring>

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

size_t copyStuffedBytes(const unsigned char* plain, size_t count, unsigned char* scan) {
    size_t written = 0;
    const unsigned char* const end = plain + count;
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

}  // namespace vorc::dsp::reference
