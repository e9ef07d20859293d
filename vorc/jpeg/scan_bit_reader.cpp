// The fast scan bit reader's refill, marker search and hand-over position.
#include "vorc/jpeg/scan_bit_reader.h"

#include <cstring>

namespace vorc::jpeg {

namespace {

constexpr uint64_t LowBytes = 0x0101010101010101u;
constexpr uint64_t HighBits = 0x8080808080808080u;

inline bool hasByteFF(uint64_t word) { return ((~word - LowBytes) & word & HighBits) != 0; }

inline uint64_t loadBigEndian(const unsigned char* bytes) {
    uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word = (word << 8) | bytes[i];
    return word;
}

}  // namespace

const unsigned char* findScanMarker(const unsigned char* begin, const unsigned char* end) {
    const unsigned char* p = begin;
    while (p < end) {
        p = static_cast<const unsigned char*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
        if (p == nullptr) return end;
        if (end - p < 2 || p[1] != 0x00) return p;
        p += 2;
    }
    return end;
}

void ScanBitReader::refill() {
    const uint64_t word = loadBigEndian(cursor_);
    if (!hasByteFF(word)) {
        const int byteCount = (63 - count_) >> 3;
        const int unused = 64 - 8 * byteCount;
        bits_ |= (word >> unused) << (unused - count_);
        cursor_ += byteCount;
        count_ += 8 * byteCount;
        return;
    }
    while (count_ <= 56) {
        const unsigned char byte = *cursor_++;
        if (byte == 0xFF) ++cursor_;  // the stuffed 0x00
        bits_ |= uint64_t{byte} << (56 - count_);
        count_ += 8;
    }
}

const unsigned char* ScanBitReader::position(uint8_t& bitMask) const {
    // Step back over the data bytes that still hold unread bits. In the
    // clean part an 0x00 after an 0xFF is always the stuffing of that 0xFF.
    const unsigned char* p = cursor_;
    for (int bytes = (count_ + 7) / 8; bytes > 0; --bytes) {
        if (p - scanBegin_ >= 2 && p[-1] == 0x00 && p[-2] == 0xFF)
            p -= 2;
        else
            p -= 1;
    }
    const int partial = count_ % 8;
    bitMask = static_cast<uint8_t>(partial == 0 ? 0x80 : 1u << (partial - 1));
    return p;
}

}  // namespace vorc::jpeg
