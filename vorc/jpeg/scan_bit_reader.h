// The fast scan bit reader of the scan decoders (parser -> scan decoder):
// a 64-bit bit buffer refilled several bytes at a time, with FF 00 stuffing
// removed. It only reads the clean part of a scan, the bytes before the
// first 0xFF that is not stuffing; past its end it supplies zero bits and
// tells that it did, so that a block decoded near the end can be given up
// and read again by the exact bit-serial reader, which it hands its
// position over to.
#ifndef VORC_JPEG_SCAN_BIT_READER_H
#define VORC_JPEG_SCAN_BIT_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorc::jpeg {

class ScanBitReader {
public:
    // The longest a block can be: a DC code and magnitude, then 63 AC codes
    // with magnitudes, every data byte stuffed; plus the bytes a refill reads
    // ahead.
    static constexpr ptrdiff_t MaxBlockBits = 16 + 11 + 63 * (16 + 15);
    static constexpr ptrdiff_t BlockMargin = 2 * ((MaxBlockBits + 7) / 8) + 2 * 8 + 8;
    // Bits a symbol can need: the longest code plus the largest magnitude.
    static constexpr int SymbolBits = 16 + 15;

    // Reads from begin; nothing at or after cleanEnd is ever read.
    void start(const unsigned char* begin, const unsigned char* cleanEnd) {
        scanBegin_ = begin;
        cursor_ = begin;
        cleanEnd_ = cleanEnd;
        bits_ = 0;
        count_ = 0;
        paddingBits_ = 0;
    }

    // Whether even the longest block stays clean, so that overran() need not
    // be asked.
    bool hasRoomForBlock() const { return cleanEnd_ - cursor_ >= BlockMargin; }
    // Whether bits past the clean part have been used.
    bool overran() const { return count_ < paddingBits_; }
    // Unread bits of the clean part in the buffer (after ensure(), all that
    // are left when there are fewer).
    int cleanBitsInBuffer() const { return count_ - paddingBits_; }

    void ensure(int bitCount) {
        if (count_ < bitCount) refill();
    }
    // Leaves at least 56 bits in the buffer: with no branch unless an 0xFF
    // or the end of the clean part is near, and there byte by byte, each
    // byte checked. All of it inline, so that a reader copied into a local
    // stays in registers.
    [[gnu::always_inline]] void refill() {
        if (cleanEnd_ - cursor_ >= NearEnd) {
            const uint64_t word = loadBigEndian(cursor_);
            if (!hasByteFF(word)) {
                // Whole bytes go in below the buffered bits; the part of a
                // byte that does not fit is read again by the next refill,
                // into the same place.
                bits_ |= word >> count_;
                cursor_ += (63 - count_) >> 3;
                count_ |= 56;
                return;
            }
        }
        refillByteByByte();
    }
    uint32_t peek(int bitCount) const { return static_cast<uint32_t>(bits_ >> (64 - bitCount)); }
    // The whole buffer, next bit at the top.
    uint64_t buffered() const { return bits_; }
    void skip(int bitCount) {
        bits_ <<= bitCount;
        count_ -= bitCount;
    }
    // Takes back the last `bitCount` bits of a skip of `kept` + `bitCount`
    // bits, given the buffer as it was before that skip.
    void unskip(uint64_t bufferedBefore, int kept, int bitCount) {
        bits_ = bufferedBefore << kept;
        count_ += bitCount;
    }
    uint32_t take(int bitCount) {
        const uint32_t value = peek(bitCount);
        skip(bitCount);
        return value;
    }

    // Where the bit-serial reader goes on: the byte that holds the next
    // unread bit and the mask of that bit.
    const unsigned char* position(uint8_t& bitMask) const;

private:
    // Refills byte by byte this near the end of the clean part, as the
    // word-wise refill reads 8 bytes at the cursor.
    static constexpr ptrdiff_t NearEnd = 8;

    // Byte by byte up to the end of the clean part, zero bits after it.
    // Leaves 56 to 63 bits, never 64: the word-wise refill shifts by the
    // count.
    [[gnu::always_inline]] void refillByteByByte() {
        while (count_ < 56) {
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

    static uint64_t loadBigEndian(const unsigned char* bytes) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, sizeof word);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        return word;
    }
    static bool hasByteFF(uint64_t word) {
        constexpr uint64_t LowBytes = 0x0101010101010101u;
        constexpr uint64_t HighBits = 0x8080808080808080u;
        return ((~word - LowBytes) & word & HighBits) != 0;
    }

    const unsigned char* scanBegin_ = nullptr;
    const unsigned char* cursor_ = nullptr;  // next byte to take into the buffer
    const unsigned char* cleanEnd_ = nullptr;
    // The next bit at the top. Below count_ lie zeros or the scan's next
    // bits, never anything else, so a refill may OR the same bits in again.
    uint64_t bits_ = 0;
    int count_ = 0;
    int paddingBits_ = 0;  // zero bits at the bottom of the buffer that lie past the clean part
};

}  // namespace vorc::jpeg

#endif
