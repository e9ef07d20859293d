// The writing end of the JPEG entropy coding, shared by the transcoder (which
// writes every frame as a JPEG image) and the stream encoder: a byte buffer
// that grows as needed, and a bit writer that appends codes to it, most
// significant bit first, with FF 00 byte stuffing for scans. Stored runs of
// bits are copied a 64-bit word at a time, whatever their bit alignment, or
// into a scan by a copy kernel the writer is given, which shifts and stuffs
// a long run in one pass. Internal to the library: vorc/vorc.h leaves it out.
#ifndef VORC_JPEG_BIT_WRITER_H
#define VORC_JPEG_BIT_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vorc::jpeg {

inline uint64_t loadBigEndian64(const unsigned char* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return __builtin_bswap64(word);
}

// Whether a byte of the word is FF: then the inverted word has a zero byte.
inline bool hasByteFF(uint64_t word) {
    const uint64_t inverted = ~word;
    return ((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) != 0;
}

// Bytes written so far into storage that is kept from image to image; it
// grows (keeping its contents) when a writer needs more room and never
// shrinks, so once the pictures are of a stable size nothing is allocated.
class ByteBuffer {
public:
    unsigned char* data() { return bytes_.get(); }
    const unsigned char* data() const { return bytes_.get(); }
    size_t capacity() const { return capacity_; }

    // Makes room for at least `needed` bytes in all, keeping the first `kept`.
    void reserve(size_t needed, size_t kept) {
        if (needed <= capacity_) return;
        size_t grown = capacity_ + capacity_ / 4;
        if (grown < needed) grown = needed;
        std::unique_ptr<unsigned char[]> larger(new unsigned char[grown]);
        if (kept != 0) std::memcpy(larger.get(), bytes_.get(), kept);
        bytes_ = std::move(larger);
        capacity_ = grown;
    }

private:
    std::unique_ptr<unsigned char[]> bytes_;
    size_t capacity_ = 0;
};

// Copies `count` bytes of plain bits into a scan, each byte made of the 8
// bits from bit `shift` (0 to 7, 0 the most significant) of plain[i] on,
// with a 00 after each FF; returns the bytes written, up to 2 * count. It
// reads plain[count] too unless shift is 0. The kernel table's
// copyStuffedBits.
using StuffedBitsCopy = size_t (*)(const unsigned char* plain, unsigned shift, size_t count, unsigned char* scan);

// Appends bits to a ByteBuffer from a given byte offset on. With
// StuffAfterFF (an entropy-coded scan) every FF byte written is followed by
// 00; without it (a store of plain bits) the bytes go out as they are. Bits
// gather in a 64-bit accumulator and go out 64 at a time. A scan writer
// copies long runs with `copyStuffed` when it is given one, else through
// the accumulator.
template <bool StuffAfterFF>
class BitWriter {
public:
    BitWriter(ByteBuffer& buffer, size_t offset, StuffedBitsCopy copyStuffed = nullptr)
        : buffer_(buffer), written_(offset), copyStuffed_(copyStuffed) {}

    // The low `count` bits of `bits` (count 0 to 32; the bits above them 0).
    void put(uint32_t bits, unsigned count) { append(bits, count); }

    // The top `count` bits of `word` (count 1 to 64); the bits below them
    // may be anything.
    void putTop(uint64_t word, unsigned count) { append(word >> (64 - count), count); }

    // `count` bits of plain (unstuffed) storage, from bit `firstBit` (0 to
    // 7, 0 the most significant) of `from` on. It reads whole 8-byte words:
    // the storage must go on for up to 8 bytes after the last byte that
    // holds a bit.
    void copy(const unsigned char* from, unsigned firstBit, size_t count) {
        if (count >= LongCopyBits && (!StuffAfterFF || copyStuffed_ != nullptr)) copyBulk(from, firstBit, count);
        for (; count >= 56; count -= 56, from += 7) putTop(loadBigEndian64(from) << firstBit, 56);
        if (count != 0) putTop(loadBigEndian64(from) << firstBit, static_cast<unsigned>(count));
    }

    // Bits put since the writer was made, padding included.
    uint64_t bitsPut() const { return bitsPut_; }

    // Fills the last byte with `padding` bits (0 or 1), writes out everything
    // pending and returns the offset just behind the last byte.
    size_t alignToByte(uint32_t padding) {
        const unsigned partial = pending_ % 8;
        if (partial != 0) put(padding != 0 ? (1u << (8 - partial)) - 1 : 0, 8 - partial);
        room(16);
        while (pending_ != 0) {
            pending_ -= 8;
            putByte(static_cast<unsigned char>(accumulator_ >> pending_));
        }
        return written_;
    }

private:
    // From this many bits on, copy() goes in bulk.
    static constexpr size_t LongCopyBits = 256;

    // The low `count` bits of `bits` (count 0 to 64; the bits above them 0).
    void append(uint64_t bits, unsigned count) {
        bitsPut_ += count;
        if (pending_ + count < 64) {
            accumulator_ = (accumulator_ << count) | bits;
            pending_ += count;
            return;
        }
        // The bits above those pending are shifted out.
        const unsigned fitting = 64 - pending_;
        const unsigned rest = count - fitting;
        putWord(fitting == 64 ? bits : (accumulator_ << fitting) | (bits >> rest));
        accumulator_ = bits;
        pending_ = rest;
    }
    // Most of a long copy: the bits that complete the pending word, then
    // whole bytes straight into the buffer, leaving `from`, `firstBit` and
    // `count` at the rest. Into a scan the kernel shifts and stuffs them;
    // into plain storage they go as they are where source and buffer are at
    // the same bit of a byte, else as words of 64 source bits, each from
    // two loaded words.
    void copyBulk(const unsigned char*& from, unsigned& firstBit, size_t& count) {
        const unsigned head = 64 - pending_;
        putTop(bitsAt(from, firstBit), head);
        from += (firstBit + head) / 8;
        firstBit = (firstBit + head) % 8;
        count -= head;
        const size_t bytes = (StuffAfterFF || firstBit == 0) ? count / 8 : count / 64 * 8;
        bitsPut_ += 8 * uint64_t{bytes};
        count -= 8 * bytes;
        // Every byte may be an FF that takes a stuffed 00.
        room((StuffAfterFF ? 2 : 1) * bytes + 16);
        unsigned char* const out = buffer_.data() + written_;
        if constexpr (StuffAfterFF) {
            written_ += copyStuffed_(from, firstBit, bytes, out);
        } else if (firstBit == 0) {
            std::memcpy(out, from, bytes);
            written_ += bytes;
        } else {
            uint64_t word = loadBigEndian64(from);
            for (size_t at = 0; at < bytes; at += 8) {
                const uint64_t next = loadBigEndian64(from + at + 8);
                const uint64_t bigEndian = __builtin_bswap64(word << firstBit | next >> (64 - firstBit));
                std::memcpy(out + at, &bigEndian, sizeof bigEndian);
                word = next;
            }
            written_ += bytes;
        }
        from += bytes;
    }
    // The 64 bits from bit `firstBit` (0 to 7) of `from` on.
    static uint64_t bitsAt(const unsigned char* from, unsigned firstBit) {
        return loadBigEndian64(from) << firstBit | ((loadBigEndian64(from + 8) >> 1) >> (63 - firstBit));
    }
    void room(size_t bytes) {
        if (written_ + bytes > buffer_.capacity()) buffer_.reserve(written_ + bytes + 4096, written_);
    }
    void putByte(unsigned char byte) {
        unsigned char* at = buffer_.data() + written_;
        *at = byte;
        ++written_;
        if (StuffAfterFF && byte == 0xFF) {
            at[1] = 0x00;
            ++written_;
        }
    }
    void putWord(uint64_t word) {
        room(16);
        if (StuffAfterFF && hasByteFF(word)) {
            for (int shift = 56; shift >= 0; shift -= 8)
                putByte(static_cast<unsigned char>(word >> shift));
            return;
        }
        const uint64_t bigEndian = __builtin_bswap64(word);
        std::memcpy(buffer_.data() + written_, &bigEndian, sizeof bigEndian);
        written_ += 8;
    }

    ByteBuffer& buffer_;
    size_t written_;
    StuffedBitsCopy copyStuffed_;
    uint64_t bitsPut_ = 0;
    uint64_t accumulator_ = 0;
    unsigned pending_ = 0;  // bits in the accumulator not yet written, < 64 between calls
};

using ScanBitWriter = BitWriter<true>;
using PlainBitWriter = BitWriter<false>;

}  // namespace vorc::jpeg

#endif
