// The fast scan bit reader's hand-over position.
#include "vorc/jpeg/scan_bit_reader.h"

#include <cstring>

namespace vorc::jpeg {

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
