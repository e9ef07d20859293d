// Taking the stuffing out of a scan's clean part and putting it back, one
// copy from FF to FF.
#include "vorc/jpeg/plain_scan.h"

#include <algorithm>
#include <cstring>


namespace vorc::jpeg {

size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                     std::vector<uint32_t>& ffOffsets) {
    ffOffsets.clear();
    size_t written = 0;
    const unsigned char* in = begin;
    while (in < cleanEnd) {
        // Up to the next FF in one copy; in the clean part every FF has its
        // stuffed 00 after it, which is left out.
        const auto* ff = static_cast<const unsigned char*>(std::memchr(in, 0xFF, static_cast<size_t>(cleanEnd - in)));
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
        const auto* ff = static_cast<const unsigned char*>(std::memchr(plain, 0xFF, static_cast<size_t>(end - plain)));
        const unsigned char* const stretchEnd = ff != nullptr ? ff + 1 : end;
        std::memcpy(scan + written, plain, static_cast<size_t>(stretchEnd - plain));
        written += static_cast<size_t>(stretchEnd - plain);
        if (ff == nullptr) break;
        scan[written++] = 0x00;
        plain = ff + 1;
    }
    return written;
}

size_t plainOffsetOf(size_t scanOffset, const std::vector<uint32_t>& ffOffsets) {
    // The k-th FF (from 0) stands at scan offset ffOffsets[k] + k; those
    // before the byte each had a 00 after them.
    size_t low = 0;
    size_t high = ffOffsets.size();
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (ffOffsets[middle] + middle < scanOffset)
            low = middle + 1;
        else
            high = middle;
    }
    return scanOffset - low;
}

size_t scanOffsetOf(size_t plainOffset, const std::vector<uint32_t>& ffOffsets) {
    return plainOffset + static_cast<size_t>(std::lower_bound(ffOffsets.begin(), ffOffsets.end(),
                                                              static_cast<uint32_t>(plainOffset)) -
                                             ffOffsets.begin());
}

}  // namespace vorc::jpeg
