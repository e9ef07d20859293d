// The fast block decoder of the pixel decoder (parser -> scan decoder ->
// kernels): entropy-decodes one 8x8 block from the fast scan bit reader
// with the lookup tables of the standard Huffman tables. It gives what the
// bit-serial decoder gives on the same bits: the same coefficients, the same
// outcome, the same fatal end for an invalid codeword.
#ifndef VORC_JPEG_BLOCK_DECODER_H
#define VORC_JPEG_BLOCK_DECODER_H

#include <cstdint>

#include "vorc/core/fatal_error.h"
#include "vorc/jpeg/jpeg_format.h"
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
// part, bits past it were used, so nothing about this block is known yet;
// the predictor and the block are as the decoder left them.
enum class FastBlockOutcome { Decoded, TooManyCoefficients, NeedsExactReader };

// What an invalid codeword does: end the stream at once (the pixel decoder),
// or give the block to the exact reader, which meets the same codeword after
// leaving in the block what it decoded so far (the transcoder, whose
// coefficient store outlives a frame that a parser skips as damaged).
enum class OnInvalidCodeword { EndStream, UseExactReader };

// The natural index of the coefficient that a position step ends after:
// the zig-zag order shifted by one, as the decoder's position is always the
// next one to fill.
struct NaturalIndices {
    uint8_t beforePosition[65];
};
constexpr NaturalIndices naturalIndicesBeforePositions() {
    NaturalIndices indices{};
    for (int position = 1; position <= 64; ++position)
        indices.beforePosition[position] = static_cast<uint8_t>(ZigZagNaturalOrder[position - 1]);
    return indices;
}
inline constexpr NaturalIndices NaturalIndexOf = naturalIndicesBeforePositions();

// The value of an entry's first symbol, read from bits that start with its
// code: known from the entry, or a magnitude beyond the lookup's bits read
// by the EXTEND rule with no branch (the coefficients' signs are as good as
// random): the magnitude's top bit is the sign of the word shifted past the
// code, and a magnitude whose top bit is 0 loses 2^size - 1.
inline int32_t firstValueAfter(uint64_t bits, uint64_t entry) {
    const uint64_t top = bits << HuffmanLookup::codeLengthShift(entry);
    const unsigned shift = HuffmanLookup::magnitudeShift(entry);
    const uint64_t magnitude = (top >> 1) >> shift;
    const uint64_t sizeMask = (~uint64_t{0} >> 1) >> shift;
    const uint64_t negative = ~static_cast<uint64_t>(static_cast<int64_t>(top) >> 63);
    return static_cast<int32_t>(magnitude - (negative & sizeMask)) + HuffmanLookup::firstValue(entry);
}

// Decodes one block into coefficients (natural order, DC absolute) of a
// block that is all zero on entry, and moves the DC predictor on.
// lastPosition becomes the zig-zag position of the last non-zero AC
// coefficient, 0 for none; endPosition the position at which the block's
// codes ended (that of its EOB, or 64), which is lastPosition + 1 unless ZRL
// codes only led to the end. An invalid codeword ends the stream as the
// bit-serial reader's tree walk does, which reads one bit past the longest
// code before it gives up.
//
// Most lookups resolve one or two symbols with no branch but the one that
// checks the position, which also finds the end of block and runs of
// sixteen zeros (their steps pass the end). One refill serves two lookups:
// it leaves at least 56 bits, and a lookup takes at most 26 (11 + 15); a
// longer code refills before and after itself. Past the end of the clean
// part the reader supplies zero bits, and whether the block used any is
// asked only once it ended, as using them is for good: then nothing about
// the block is known, and the exact reader must read it.
template <OnInvalidCodeword OnInvalid = OnInvalidCodeword::EndStream>
[[gnu::always_inline]] inline FastBlockOutcome decodeBlockWith(ScanBitReader& reader, const HuffmanLookup& dc,
                                                               const HuffmanLookup& ac, int16_t* block,
                                                               int16_t& predictor, int& lastPosition,
                                                               int& endPosition) {
    constexpr int InvalidCodeBits = HuffmanLookup::MaxCodeLength + 1;
    enum class Flow { Next, End, TooManyCoefficients, InvalidCodeword };
    auto outcomeOf = [&reader](Flow flow) {
        if (flow == Flow::InvalidCodeword) {
            // Too near the end, the exact reader may run out of data first.
            if (OnInvalid == OnInvalidCodeword::UseExactReader || reader.cleanBitsInBuffer() < InvalidCodeBits)
                return FastBlockOutcome::NeedsExactReader;
            vorc::failInvalidCodeword();
        }
        if (reader.overran()) return FastBlockOutcome::NeedsExactReader;
        return flow == Flow::End ? FastBlockOutcome::Decoded : FastBlockOutcome::TooManyCoefficients;
    };
    auto store = [block](int position, int32_t value) __attribute__((always_inline)) {
        block[NaturalIndexOf.beforePosition[position]] = static_cast<int16_t>(value);
    };

    reader.refill();
    // The next position to fill.
    int position = 1;
    int32_t difference = 0;
    const uint64_t dcBits = reader.buffered();
    const uint64_t dcEntry = dc.fastEntryOf[dcBits >> (64 - HuffmanLookup::LookupBits)];
    if (dcEntry != 0) {
        reader.skip(HuffmanLookup::takenBits(dcEntry));
        difference = firstValueAfter(dcBits, dcEntry);
        // With the first AC symbol, if it came along: written before the DC,
        // which it overwrites when there is none.
        position += static_cast<int>(HuffmanLookup::secondStep(dcEntry));
        if (position < 64) store(position, HuffmanLookup::secondValue(dcEntry));
    } else {
        const int dcSymbol = decodeSymbol(reader, dc);
        if (dcSymbol < 0) return outcomeOf(Flow::InvalidCodeword);
        difference = decodeMagnitude(reader, dcSymbol & 0x0F);
        reader.refill();
    }
    const auto dcValue = static_cast<int16_t>(predictor + difference);
    predictor = dcValue;
    block[0] = dcValue;

    // Symbols without magnitude bits (runs of sixteen zeros) leave the last
    // non-zero coefficient where it was: the trailing ones are told by where
    // the latest of them ended.
    int afterRun = 0;
    int runStart = 0;
    auto zeroRun = [&](int before) __attribute__((always_inline)) {
        if (before != afterRun) runStart = before;
        afterRun = position;
    };
    // A symbol whose code is longer than the lookup, or invalid.
    auto longSymbol = [&]() __attribute__((always_inline)) -> Flow {
        reader.refill();
        const int symbol = decodeSymbol(reader, ac);
        if (symbol < 0) return Flow::InvalidCodeword;
        const int size = symbol & 0x0F;
        const int32_t value = decodeMagnitude(reader, size);
        reader.refill();
        if (symbol == 0) return Flow::End;
        const int before = position;
        position += (symbol >> 4) + 1;
        if (position > 64) return Flow::TooManyCoefficients;
        store(position, value);
        if (size == 0) zeroRun(before);
        return position == 64 ? Flow::End : Flow::Next;
    };
    // A lookup whose symbols reach or pass the end of the block. The second
    // symbol, if any, is a coefficient or an end of block; if the first
    // fills the last position, the second was none of this block's.
    auto endingSymbols = [&](uint64_t bits, uint64_t entry, int first, int second,
                             int32_t value) __attribute__((always_inline)) -> Flow {
        if (first < 64) {
            store(first, value);
            if (HuffmanLookup::secondStep(entry) == HuffmanLookup::EndOfBlockStep) {
                position = first;
                return Flow::End;
            }
            if (second > 64) return Flow::TooManyCoefficients;
            store(64, HuffmanLookup::secondValue(entry));
            position = 64;
            return Flow::End;
        }
        if (HuffmanLookup::secondStep(entry) != 0) {
            const int secondBits = HuffmanLookup::secondTakenBits(entry);
            reader.unskip(bits, HuffmanLookup::takenBits(entry) - secondBits, secondBits);
        }
        position = first;
        if (position == 64) {
            store(64, value);
            return Flow::End;
        }
        const uint32_t step = HuffmanLookup::positionStep(entry);
        if (step == HuffmanLookup::EndOfBlockStep) {
            position -= HuffmanLookup::EndOfBlockStep;
            return Flow::End;
        }
        if (step != HuffmanLookup::ZeroRunStep) return Flow::TooManyCoefficients;
        // Sixteen zeros: the block is zero there already.
        position -= HuffmanLookup::ZeroRunStep - 16;
        if (position > 64) return Flow::TooManyCoefficients;
        zeroRun(position - 16);
        return position == 64 ? Flow::End : Flow::Next;
    };
    auto lookup = [&]() __attribute__((always_inline)) -> Flow {
        const uint64_t bits = reader.buffered();
        const uint64_t entry = ac.fastEntryOf[bits >> (64 - HuffmanLookup::LookupBits)];
        if (entry == 0) return longSymbol();
        reader.skip(HuffmanLookup::takenBits(entry));
        const int first = position + static_cast<int>(HuffmanLookup::positionStep(entry));
        const int second = first + static_cast<int>(HuffmanLookup::secondStep(entry));
        const int32_t value = firstValueAfter(bits, entry);
        if (second < 64) {
            // Without a second symbol, second is first, and the first's value
            // is written last.
            store(second, HuffmanLookup::secondValue(entry));
            store(first, value);
            position = second;
            return Flow::Next;
        }
        return endingSymbols(bits, entry, first, second, value);
    };

    Flow flow = Flow::Next;
    if (position > 64) {
        position -= HuffmanLookup::EndOfBlockStep;
        flow = Flow::End;
    } else {
        flow = lookup();
    }
    while (flow == Flow::Next) {
        reader.refill();
        flow = lookup();
        if (flow == Flow::Next) flow = lookup();
    }
    const FastBlockOutcome outcome = outcomeOf(flow);
    if (outcome != FastBlockOutcome::Decoded) return outcome;
    lastPosition = (position == afterRun ? runStart : position) - 1;
    endPosition = position;
    return outcome;
}

// The decoder works on copies of the reader and of the last position, so
// that they stay in registers: nothing written to the block can alias them.
template <OnInvalidCodeword OnInvalid = OnInvalidCodeword::EndStream>
FastBlockOutcome decodeBlock(ScanBitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                             int16_t* block, int16_t& predictor, int& lastPosition, int& endPosition) {
    ScanBitReader local = reader;
    int last = 0;
    int end = 0;
    const FastBlockOutcome outcome = decodeBlockWith<OnInvalid>(local, dc, ac, block, predictor, last, end);
    reader = local;
    lastPosition = last;
    endPosition = end;
    return outcome;
}

}  // namespace vorc::jpeg

#endif
