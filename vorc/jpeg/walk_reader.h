// The bit reader of the transcoder's block walk (parser -> transcoder ->
// JPEG receiver).
// Internal to the library; installed only because the transcoder holds one.
#ifndef VORC_JPEG_WALK_READER_H
#define VORC_JPEG_WALK_READER_H

#include <cstdint>
#include <cstring>

namespace vorc::jpeg {

// The walk's own bit buffer over the clean part of a scan (the bytes before
// the first 0xFF that is not stuffing), with FF 00 stuffing removed. Unlike
// the fast scan bit reader it may start at any bit, and every step of it is
// inline, so that a walk keeps its state in registers. Past the clean part
// it supplies zero bits and tells that it did.
class WalkReader {
public:
    // Reads from the bit that `mask` picks in `at` on; nothing at or after
    // cleanEnd is ever read.
    void start(const unsigned char* at, uint8_t mask, const unsigned char* cleanEnd) {
        cursor_ = at;
        cleanEnd_ = cleanEnd;
        bits_ = 0;
        count_ = 0;
        paddingBits_ = 0;
        refill();
        skip(7 - __builtin_ctz(mask));
    }

    // Tops the buffer up to 56 bits or more (never 64, so that every shift
    // stays below 64), enough for any code with its magnitude, without a
    // branch on how many it holds: bits below count_
    // may then already hold the next bits of the scan, which the next
    // refill puts there again.
    void refill() {
        if (cleanEnd_ - cursor_ >= 8) {
            uint64_t word;
            std::memcpy(&word, cursor_, sizeof word);
            word = __builtin_bswap64(word);
            const uint64_t inverted = ~word;
            if (((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) == 0) {
                bits_ |= word >> count_;
                cursor_ += (63 - count_) >> 3;
                count_ |= 56;
                return;
            }
        }
        if (count_ < 56) refillByteByByte();
    }
    uint32_t peek(int bitCount) const { return static_cast<uint32_t>(bits_ >> (64 - bitCount)); }
    void skip(int bitCount) {
        bits_ <<= bitCount;
        count_ -= bitCount;
    }
    // Whether bits past the clean part have been used.
    bool overran() const { return count_ < paddingBits_; }

    // The byte that holds the next unread bit and the mask of that bit;
    // `scanBegin` is where the scan starts. In the clean part an 0x00 after
    // an 0xFF is always the stuffing of that 0xFF.
    const unsigned char* position(const unsigned char* scanBegin, uint8_t& mask) const {
        const int unread = count_ - paddingBits_;
        const unsigned char* byte = cursor_;
        for (int held = (unread + 7) / 8; held > 0; --held)
            byte -= byte - scanBegin >= 2 && byte[-1] == 0x00 && byte[-2] == 0xFF ? 2 : 1;
        mask = static_cast<uint8_t>(unread % 8 == 0 ? 0x80 : 1u << (unread % 8 - 1));
        return byte;
    }

private:
    // Byte by byte, with stuffing, up to the end of the clean part and
    // zero bits after it; leaves 56 to 63 bits in the buffer.
    void refillByteByByte() {
        for (; count_ < 56; count_ += 8) {
            if (cursor_ >= cleanEnd_) {
                paddingBits_ += 8;
                continue;
            }
            const uint64_t byte = *cursor_;
            cursor_ += byte == 0xFF ? 2 : 1;
            bits_ |= byte << (56 - count_);
        }
    }

    const unsigned char* cursor_ = nullptr;  // next byte to take into the buffer
    const unsigned char* cleanEnd_ = nullptr;
    uint64_t bits_ = 0;  // next bit at the top; below count_ zero or the scan's next bits
    int count_ = 0;
    int paddingBits_ = 0;  // zero bits at the bottom of the buffer that lie past the clean part
};

}  // namespace vorc::jpeg

#endif
