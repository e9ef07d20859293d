// The bit reader of the transcoder's block walk (parser -> transcoder ->
// JPEG receiver).
// Internal to the library; installed only because the transcoder holds one.
#ifndef VORC_JPEG_WALK_READER_H
#define VORC_JPEG_WALK_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorc::jpeg {

// The walk's own bit buffer over plain bits: a frame's scan with the FF 00
// stuffing taken out, as the transcoder's tile bit store keeps it, followed
// by at least ZeroMargin zero bytes. It may start at any bit, reads 8 bytes
// at a time without checking for anything, and every step is inline, so
// that a walk keeps its state in registers. Past the end it was given it
// reads the zero bytes and tells that it did.
class WalkReader {
public:
    // The longest a block can be (a DC code and magnitude, then 63 AC codes
    // with magnitudes) and a refill's reach: how far a walk of one block
    // that starts before the end may read beyond it.
    static constexpr size_t ZeroMargin = (16 + 11 + 63 * (16 + 15) + 7) / 8 + 2 * 8;

    // Reads `base` from bit `first` on (0 the most significant of base[0]);
    // the bits from `endBit` on are past the end.
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
    // stays below 64), enough for any code with its magnitude, without a
    // branch: bits below count_ may already hold the next bits, which the
    // next refill puts there again.
    [[gnu::always_inline]] void refill() {
        uint64_t word;
        std::memcpy(&word, cursor_, sizeof word);
        bits_ |= __builtin_bswap64(word) >> count_;
        cursor_ += (63 - count_) >> 3;
        count_ |= 56;
    }
    uint32_t peek(int bitCount) const { return static_cast<uint32_t>(bits_ >> (64 - bitCount)); }
    // The whole buffer, next bit at the top.
    uint64_t buffered() const { return bits_; }
    void skip(int bitCount) {
        bits_ <<= bitCount;
        count_ -= bitCount;
    }
    // The bit read next, counted from base.
    uint64_t position() const { return static_cast<uint64_t>(cursor_ - base_) * 8 - static_cast<unsigned>(count_); }
    // Whether bits past the end have been used.
    bool overran() const { return position() > endBit_; }

private:
    const unsigned char* base_ = nullptr;
    const unsigned char* cursor_ = nullptr;  // next byte to take into the buffer
    uint64_t endBit_ = 0;
    uint64_t bits_ = 0;  // next bit at the top; below count_ zero or the next bits
    int count_ = 0;
};

}  // namespace vorc::jpeg

#endif
