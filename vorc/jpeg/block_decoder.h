// The fast block decoder of the pixel decoder (parser -> scan decoder ->
// kernels): entropy-decodes one 8x8 block from the fast scan bit reader
// with the lookup tables of the standard Huffman tables. It gives what the
// bit-serial decoder gives on the same bits: the same coefficients, the same
// outcome, the same fatal end for an invalid codeword.
#ifndef VORC_JPEG_BLOCK_DECODER_H
#define VORC_JPEG_BLOCK_DECODER_H

#include <cstdint>

#include "vorc/core/fatal_error.h"
#include "vorc/core/jpeg_format.h"
#include "vorc/jpeg/huffman_lookup.h"
#include "vorc/jpeg/scan_bit_reader.h"

namespace vorc::jpeg {

// The lookup tables of the four standard tables, built once.
struct StandardLookups {
    HuffmanLookup dc[2];  // luminance, chrominance
    HuffmanLookup ac[2];
};
const StandardLookups& standardLookups();

// The next symbol, or -1 for an invalid codeword.
inline int decodeSymbol(ScanBitReader& reader, const HuffmanLookup& lookup) {
    const uint16_t entry = lookup.symbolOf[reader.peek(HuffmanLookup::LookupBits)];
    if (entry != 0) {
        reader.skip(entry >> 8);
        return entry & 0xFF;
    }
    for (int length = HuffmanLookup::LookupBits + 1; length <= HuffmanLookup::MaxCodeLength; ++length) {
        const auto code = static_cast<int32_t>(reader.peek(length));
        if (code <= lookup.largestCode[length]) {
            reader.skip(length);
            return lookup.symbols[lookup.symbolOffset[length] + code];
        }
    }
    return -1;
}

inline int32_t decodeMagnitude(ScanBitReader& reader, int size) {
    return size == 0 ? 0 : extendMagnitude(reader.take(size), size);
}

// How decoding a block ended. NeedsExactReader: near the end of the clean
// part, bits past it were used, so nothing about this block is known yet.
enum class FastBlockOutcome { Decoded, TooManyCoefficients, NeedsExactReader };

// What an invalid codeword does: end the stream at once (the pixel decoder),
// or give the block to the exact reader, which meets the same codeword after
// leaving in the block what it decoded so far (the transcoder, whose
// coefficient store outlives a frame that a parser skips as damaged).
enum class OnInvalidCodeword { EndStream, UseExactReader };

// Decodes one block into coefficients (natural order, DC absolute) of a
// block that is all zero on entry, and moves the DC predictor on.
// lastPosition becomes the zig-zag position of the last non-zero AC
// coefficient, 0 for none; endPosition the position at which the block's
// codes ended (that of its EOB, or 64), which is lastPosition + 1 unless ZRL
// codes only led to the end. Unchecked needs a reader with room for a block;
// otherwise every step checks that it used only clean bits. An invalid
// codeword ends the stream as the bit-serial reader's tree walk does, which
// reads one bit past the longest code before it gives up.
//
// Most symbols take one table entry and no branch but the one that checks
// the position, which also finds the end of block and runs of sixteen zeros
// (their steps pass the end). The magnitude is read from the bits before
// the skip, off the chain of shifts that links one symbol to the next.
template <bool Checked, OnInvalidCodeword OnInvalid = OnInvalidCodeword::EndStream>
[[gnu::always_inline]] inline FastBlockOutcome decodeBlockWith(ScanBitReader& reader, const HuffmanLookup& dc,
                                                               const HuffmanLookup& ac, int16_t* block,
                                                               int16_t& predictor, int& lastPosition,
                                                               int& endPosition) {
    constexpr int InvalidCodeBits = HuffmanLookup::MaxCodeLength + 1;
    auto invalidCodeword = [&reader] {
        if (OnInvalid == OnInvalidCodeword::UseExactReader ||
            (Checked && reader.cleanBitsInBuffer() < InvalidCodeBits))
            return FastBlockOutcome::NeedsExactReader;
        vorc::failInvalidCodeword();
        return FastBlockOutcome::NeedsExactReader;
    };
    // Enough bits for any symbol and its magnitude.
    auto fill = [&reader] {
        if (Checked)
            reader.ensure(ScanBitReader::SymbolBits);
        else
            reader.refillWithRoom();
    };
    // The unchecked reader keeps at least 30 bits in the buffer before each
    // AC symbol: a refill leaves at least 56, and a symbol that the entry
    // resolves takes at most 26 (11 + 15). So each symbol is looked up
    // before the refill that the next one needs, which leaves the top bits
    // as they are: the refill runs beside the lookup instead of before it.
    auto fillAfterSlowSymbol = [&reader] {
        if (!Checked) reader.refillWithRoom();
    };
    // The magnitude of size (>= 1) bits that follows a code of codeLength
    // bits at the top of bits, by the EXTEND rule with no branch: the
    // coefficients' signs are as good as random.
    auto magnitudeAfter = [](uint64_t bits, int codeLength, int size) {
        const uint64_t top = bits << codeLength;
        const auto value = static_cast<int32_t>(top >> (64 - size));
        const auto positive = static_cast<int32_t>(static_cast<int64_t>(top) >> 63);
        return value + (~positive & (1 - (int32_t{1} << size)));
    };

    fill();
    int32_t difference = 0;
    const uint32_t dcEntry = dc.fastEntryOf[reader.peek(HuffmanLookup::LookupBits)];
    if (dcEntry != 0) {
        const int size = HuffmanLookup::magnitudeSize(dcEntry);
        if (size != 0) difference = magnitudeAfter(reader.buffered(), HuffmanLookup::codeLength(dcEntry), size);
        reader.skip(HuffmanLookup::takenBits(dcEntry));
    } else {
        const int dcSymbol = decodeSymbol(reader, dc);
        if (dcSymbol < 0) return invalidCodeword();
        difference = decodeMagnitude(reader, dcSymbol & 0x0F);
        fillAfterSlowSymbol();
    }
    if (Checked && reader.overran()) return FastBlockOutcome::NeedsExactReader;
    const auto dcValue = static_cast<int16_t>(predictor + difference);
    predictor = dcValue;
    block[0] = dcValue;

    int last = 0;
    int position = 1;
    while (position < 64) {
        if (Checked) fill();
        const uint64_t bits = reader.buffered();
        const uint32_t entry = ac.fastEntryOf[bits >> (64 - HuffmanLookup::LookupBits)];
        if (!Checked) fill();
        if (entry != 0) {
            reader.skip(HuffmanLookup::takenBits(entry));
            if (Checked && reader.overran()) return FastBlockOutcome::NeedsExactReader;
            const uint32_t step = HuffmanLookup::positionStep(entry);
            position += static_cast<int>(step);
            if (position > 63) {
                if (step == HuffmanLookup::EndOfBlockStep) {
                    position -= HuffmanLookup::EndOfBlockStep;
                    break;
                }
                if (step != HuffmanLookup::ZeroRunStep) return FastBlockOutcome::TooManyCoefficients;
                // Sixteen zeros: the block is zero there already.
                position -= HuffmanLookup::ZeroRunStep - 15;
                if (position > 63) return FastBlockOutcome::TooManyCoefficients;
                ++position;
                continue;
            }
            block[ZigZagNaturalOrder[position]] = static_cast<int16_t>(
                magnitudeAfter(bits, HuffmanLookup::codeLength(entry), HuffmanLookup::magnitudeSize(entry)));
            last = position++;
            continue;
        }
        const int symbol = decodeSymbol(reader, ac);
        if (symbol < 0) return invalidCodeword();
        const int size = symbol & 0x0F;
        const int32_t value = decodeMagnitude(reader, size);
        fillAfterSlowSymbol();
        if (Checked && reader.overran()) return FastBlockOutcome::NeedsExactReader;
        if (symbol == 0) break;
        position += symbol >> 4;
        if (position > 63) return FastBlockOutcome::TooManyCoefficients;
        block[ZigZagNaturalOrder[position]] = static_cast<int16_t>(value);
        if (size != 0) last = position;
        ++position;
    }
    lastPosition = last;
    endPosition = position;
    return FastBlockOutcome::Decoded;
}

// The decoder works on copies of the reader and of the last position, so
// that they stay in registers: nothing written to the block can alias them.
template <bool Checked, OnInvalidCodeword OnInvalid = OnInvalidCodeword::EndStream>
FastBlockOutcome decodeBlock(ScanBitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                             int16_t* block, int16_t& predictor, int& lastPosition, int& endPosition) {
    ScanBitReader local = reader;
    int last = 0;
    int end = 0;
    const FastBlockOutcome outcome =
        decodeBlockWith<Checked, OnInvalid>(local, dc, ac, block, predictor, last, end);
    reader = local;
    lastPosition = last;
    endPosition = end;
    return outcome;
}

template <bool Checked>
FastBlockOutcome decodeBlock(ScanBitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                             int16_t* block, int16_t& predictor, int& lastPosition) {
    int endPosition = 0;
    return decodeBlock<Checked>(reader, dc, ac, block, predictor, lastPosition, endPosition);
}

}  // namespace vorc::jpeg

#endif
