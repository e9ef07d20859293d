// The bit-serial scan bit reader and per-block coefficient decoding, one
// tree step per bit: the reference that defines every outcome of a scan
// (parser -> scan decoder -> back end). The transcoder reads its scans with
// it; the pixel decoder runs it with the reference kernels, and otherwise
// hands over to it from the fast reader (scan_bit_reader.h) near the end of a scan.
// Each decoder keeps the reader state in its own fields; a reader here is
// only a view of those fields, so the decoders decode alike and none reads a
// byte past the scan it was given.
// An internal header: the umbrella header vorc/vorc.h leaves it out.
#ifndef VORC_DECODE_BIT_SERIAL_READER_H
#define VORC_DECODE_BIT_SERIAL_READER_H

#include <cstdint>

#include "vorc/core/fatal_error.h"
#include "vorc/jpeg/jpeg_format.h"
#include "vorc/decode/huffman_tree.h"

namespace vorc::jpeg {

// Cursor is the type of the owner's scanCursor field.
template <typename Cursor>
struct BitSerialReader {
    Cursor& cursor;
    uint8_t& bitMask;
    int32_t& bytesLeft;
    int32_t& additionalBitsValue;

    // The caller makes sure a byte is left.
    int consumeScanBit() {
        const unsigned char byte = *cursor;
        const int bit = (byte & bitMask) != 0 ? 1 : 0;
        bitMask = static_cast<uint8_t>(bitMask >> 1);
        if (bitMask != 0) return bit;

        ++cursor;
        --bytesLeft;
        if (byte == 0xFF) {
            // An 0xFF data byte is always followed by a stuffed 0x00; anything
            // else is a marker inside the scan, i.e. a corrupt stream.
            if (bytesLeft <= 0) vorc::failStream("not more scan bytes!", nullptr);
            if (*cursor != 0x00) vorc::failStream("unexpected marker encountered!", nullptr);
            ++cursor;
            --bytesLeft;
        }
        bitMask = 0x80;
        return bit;
    }

    // The leaf reached from node, or null when the scan has run out.
    const vorcHuffmanTree::Node* consumeHuffmanCodeword(const vorcHuffmanTree::Node* node) {
        for (;;) {
            if (bytesLeft <= 0) return nullptr;
            const vorcHuffmanTree::Node* next = consumeScanBit() != 0 ? node->child1 : node->child0;
            // Only the ground node links to itself: the bits left the code space.
            if (next == node) vorc::failInvalidCodeword();
            if (next->isLeaf != 0) return next;
            node = next;
        }
    }

    // 0 with the value in additionalBitsValue, 1 when the scan has run out.
    int consumeAdditionalBits(int size) {
        if (bytesLeft <= 0) return 1;
        const int first = consumeScanBit();
        if (size == 1) {
            additionalBitsValue = first != 0 ? 1 : -1;
            return 0;
        }
        // EXTEND: a leading 0 bit marks a negative value, offset by 2^size - 1.
        const int32_t base = MagnitudeBases[size];
        const int32_t offset = first != 0 ? base : 1 - 2 * base;
        additionalBitsValue = 0;
        for (int i = 1; i < size; ++i) {
            if (bytesLeft <= 0) return 1;
            additionalBitsValue = 2 * additionalBitsValue + consumeScanBit();
        }
        additionalBitsValue += offset;
        return 0;
    }
};

template <typename Cursor>
BitSerialReader(Cursor&, uint8_t&, int32_t&, int32_t&) -> BitSerialReader<Cursor>;

// A scan ends in the byte that holds its last bit, padded with 1 bits, then
// the EOI. Whole bytes of data between that byte and the EOI are what only a
// damaged scan shows (a damaged scan header or bitmap, or another frame's
// scan); under a parser that skips damaged frames, the frame is damaged.
// cursor and bitMask are where a reader stands after the frame's last tile,
// as the bit-serial reader keeps them.
inline void checkScanEnd(const unsigned char* cursor, uint8_t bitMask, const unsigned char* scanBytes,
                         int32_t scanLength) {
    const unsigned char* end = scanBytes + scanLength;
    if (scanLength >= 2 && end[-2] == MarkerPrefix && end[-1] == MarkerEOI) end -= 2;
    const unsigned char* used = cursor;
    if (bitMask != 0x80) used += used + 1 < end && used[0] == MarkerPrefix && used[1] == 0x00 ? 2 : 1;
    if (used < end)
        vorc::failStreamWhenSkipping("!!! Tesra decoder failure (scan data after the last tile) !!!", nullptr);
}

// Where decoding a block stopped; the decoders word their reports
// differently, so each says its own.
enum class BlockOutcome {
    Decoded,
    DCCodewordMissing,
    DCBitsMissing,
    ACCodewordMissing,
    ACBitsMissing,
    TooManyCoefficients,
};

// What a caller may watch while a block decodes: each AC symbol (EOB
// included) once its bits are read.
struct UnwatchedBlock {
    void acSymbolDecoded(int) {}
};

// Entropy-decodes one block into 64 quantised coefficients in natural order,
// DC absolute, and moves the component's DC predictor on. A failed block
// keeps what was written up to the failure: the transcoder's store shows it
// in later images.
template <typename Cursor, typename Watcher = UnwatchedBlock>
BlockOutcome decodeCoefficients(BitSerialReader<Cursor> reader, int16_t* block, int16_t& predictor,
                                const vorcHuffmanTree::Node* dcRoot,
                                const vorcHuffmanTree::Node* acRoot, Watcher watcher = Watcher{}) {
    const vorcHuffmanTree::Node* leaf = reader.consumeHuffmanCodeword(dcRoot);
    if (leaf == nullptr) return BlockOutcome::DCCodewordMissing;
    int32_t difference = 0;
    const int dcSize = leaf->symbol & 0x0F;
    if (dcSize != 0) {
        if (reader.consumeAdditionalBits(dcSize) != 0) return BlockOutcome::DCBitsMissing;
        difference = reader.additionalBitsValue;
    }
    predictor = static_cast<int16_t>(predictor + difference);
    block[0] = predictor;

    int position = 1;
    while (position < 64) {
        leaf = reader.consumeHuffmanCodeword(acRoot);
        if (leaf == nullptr) return BlockOutcome::ACCodewordMissing;
        const int symbol = leaf->symbol;
        if (symbol == 0) {
            watcher.acSymbolDecoded(symbol);
            for (; position < 64; ++position) block[ZigZagNaturalOrder[position]] = 0;
            break;
        }
        const int size = symbol & 0x0F;
        const int run = symbol >> 4;
        if (size != 0) {
            if (reader.consumeAdditionalBits(size) != 0) return BlockOutcome::ACBitsMissing;
        } else {
            reader.additionalBitsValue = 0;
        }
        if (position + run > 63) return BlockOutcome::TooManyCoefficients;
        watcher.acSymbolDecoded(symbol);
        for (const int end = position + run; position < end; ++position)
            block[ZigZagNaturalOrder[position]] = 0;
        block[ZigZagNaturalOrder[position++]] =
            static_cast<int16_t>(reader.additionalBitsValue);
    }
    return BlockOutcome::Decoded;
}

}  // namespace vorc::jpeg

#endif
