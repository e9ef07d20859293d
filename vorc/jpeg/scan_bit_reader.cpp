// The fast scan bit reader's refill near the end and hand-over position.
#include "vorc/jpeg/scan_bit_reader.h"

#include <cstring>

namespace vorc::jpeg {

void ScanBitReader::refillNearEnd() {
    while (count_ <= 56) {
        if (cursor_ < cleanEnd_) {
            const unsigned char byte = *cursor_++;
            if (byte == 0xFF) ++cursor_;  // the stuffed 0x00, still in the clean part
            bits_ |= uint64_t{byte} << (56 - count_);
        } else {
            paddingBits_ += 8;
        }
        count_ += 8;
    }
}

const unsigned char* ScanBitReader::position(uint8_t& bitMask) const {
    // Step back over the data bytes that still hold unread bits. In the
    // clean part an 0x00 after an 0xFF is always the stuffing of that 0xFF.
    const int cleanBits = count_ - paddingBits_;
    const unsigned char* p = cursor_;
    for (int bytes = (cleanBits + 7) / 8; bytes > 0; --bytes) {
        if (p - scanBegin_ >= 2 && p[-1] == 0x00 && p[-2] == 0xFF)
            p -= 2;
        else
            p -= 1;
    }
    const int partial = cleanBits % 8;
    bitMask = static_cast<uint8_t>(partial == 0 ? 0x80 : 1u << (partial - 1));
    return p;
}

}  // namespace vorc::jpeg
