// Taking the stuffing out of a scan's clean part, eight bytes at a time
// where none of them is FF.
#include "vorc/jpeg/plain_scan.h"

#include <algorithm>
#include <cstring>

#include "vorc/jpeg/bit_writer.h"

namespace vorc::jpeg {

size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                     std::vector<uint32_t>& ffOffsets) {
    ffOffsets.clear();
    size_t written = 0;
    const unsigned char* in = begin;
    while (in < cleanEnd) {
        if (cleanEnd - in >= 8 && !hasByteFF(loadBigEndian64(in))) {
            std::memcpy(plain + written, in, 8);
            written += 8;
            in += 8;
            continue;
        }
        // In the clean part every FF has its stuffed 00 after it.
        plain[written] = *in;
        if (*in == 0xFF) {
            ffOffsets.push_back(static_cast<uint32_t>(written));
            ++in;
        }
        ++in;
        ++written;
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
