// Offsets in a scan's plain bits and in the scan itself, by binary search
// of the FF bytes.
#include "vorc/jpeg/plain_scan.h"

#include <algorithm>


namespace vorc::jpeg {

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
