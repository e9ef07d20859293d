// The fast scan bit reader of the scan decoders (parser -> scan decoder): a
// 64-bit bit buffer over the plain bits of a scan's clean part, with the FF
// 00 stuffing taken out (plain_scan.h), followed by at least ZeroMargin zero
// bytes. It may start at any bit, reads 8 bytes at a time with no check,
// and every step is inline, so that a reader copied into a local stays in
// registers. Past the end of the clean part it reads zero bits and tells
// that it did, so that a block read near the end can be given up and read
// again by the exact bit-serial reader, which it hands its position over to.
// Internal to the library; installed only because the transcoder holds one.
#ifndef VORC_JPEG_SCAN_BIT_READER_H
#define VORC_JPEG_SCAN_BIT_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorc::jpeg {

class ScanBitReader {
public:
    // The longest a block can be: a DC code and magnitude, then 63 AC codes
    // with magnitudes.
    static constexpr int MaxBlockBits = 16 + 11 + 63 * (16 + 15);
    // How far the blocks of a tile may read beyond the end, with a refill's
    // reach: a block that starts before the end reads at most the longest
    // block, and those after it read zero bits, which code at most three
    // bits a coefficient.
    static constexpr size_t ZeroMargin = 2 * ((MaxBlockBits + 7) / 8) + 2 * 8;

    // Reads `base` from bit `first` on (0 the most significant bit of
    // base[0]); the bits from `endBit` on are past the end.
    void start(const unsigned char* base, uint64_t first, uint64_t endBit) {
        base_ = base;
        cursor_ = base + first / 8;
        endBit_ = endBit;
        bits_ = 0;
        count_ = 0;
        refill();
        skip(static_cast<int>(first % 8));
    }

    // Tops the buffer up to 56 bits or more (never 64, so that every shift
    // stays below 64) without a branch: bits below count_ may already hold
    // the next bits, which the next refill puts there again.
    [[gnu::always_inline]] void refill() {
        uint64_t word;
        std::memcpy(&word, cursor_, sizeof word);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        bits_ |= word >> count_;
        cursor_ += (63 - count_) >> 3;
        count_ |= 56;
    }
    uint32_t peek(int bitCount) const { return static_cast<uint32_t>(bits_ >> (64 - bitCount)); }
    // The whole buffer, next bit at the top.
    uint64_t buffered() const { return bits_; }
    void skip(int bitCount) {
        bits_ <<= bitCount;
        count_ -= static_cast<unsigned>(bitCount);
    }
    // Takes back the last `bitCount` bits of a skip of `kept` + `bitCount`
    // bits, given the buffer as it was before that skip.
    void unskip(uint64_t bufferedBefore, int kept, int bitCount) {
        bits_ = bufferedBefore << kept;
        count_ += static_cast<unsigned>(bitCount);
    }
    uint32_t take(int bitCount) {
        const uint32_t value = peek(bitCount);
        skip(bitCount);
        return value;
    }

    // The bit read next, counted from base.
    uint64_t position() const { return static_cast<uint64_t>(cursor_ - base_) * 8 - count_; }
    // Whether bits past the end have been used.
    bool overran() const { return position() > endBit_; }

private:
    const unsigned char* base_ = nullptr;
    const unsigned char* cursor_ = nullptr;  // next byte to take into the buffer
    uint64_t endBit_ = 0;
    uint64_t bits_ = 0;  // next bit at the top; below count_ zero or the next bits
    // Unsigned and as wide as a pointer, so that moving the cursor by it
    // needs no widening.
    uint64_t count_ = 0;
};

}  // namespace vorc::jpeg

#endif
