// The fast block decoder of the scan decoders (parser -> scan decoder ->
// kernels): entropy-decodes one 8x8 block from the fast scan bit reader
// with the lookup tables of the standard Huffman tables. What it decodes
// is what the bit-serial decoder decodes from the same bits; where that one
// would fail on an invalid codeword, it leaves the block to it.
#ifndef VORC_JPEG_BLOCK_DECODER_H
#define VORC_JPEG_BLOCK_DECODER_H

#include <cstdint>

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
// part, bits past it were used, or a codeword was invalid, so nothing about
// this block is known yet; the predictor and the block are as the decoder
// left them. The exact reader then reads the block again, which meets an
// invalid codeword with everything before it decoded as it reports it.
enum class FastBlockOutcome { Decoded, TooManyCoefficients, NeedsExactReader };

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

// The magnitude of 63 - `shift` bits at the top of `top`, by the EXTEND rule
// with no branch (signs are as good as random): its top bit is the sign of
// the word, and a magnitude whose top bit is 0 loses 2^size - 1. A shift of
// 63 takes no bits and gives 0.
inline int32_t extendedMagnitudeAt(uint64_t top, unsigned shift) {
    const uint64_t magnitude = (top >> 1) >> shift;
    const uint64_t sizeMask = (~uint64_t{0} >> 1) >> shift;
    const uint64_t negative = ~static_cast<uint64_t>(static_cast<int64_t>(top) >> 63);
    return static_cast<int32_t>(magnitude - (negative & sizeMask));
}

// The value of an entry's first symbol, read from bits that start with its
// code: known from the entry, or a magnitude beyond the lookup's bits.
inline int32_t firstValueAfter(uint64_t bits, uint64_t entry) {
    return extendedMagnitudeAt(bits << HuffmanLookup::codeLengthShift(entry), HuffmanLookup::magnitudeShift(entry)) +
           HuffmanLookup::firstValue(entry);
}

// Decodes one block into coefficients (natural order, DC absolute) of a
// block that is all zero on entry, and moves the DC predictor on.
// lastPosition becomes the zig-zag position of the last non-zero AC
// coefficient, 0 for none; endPosition the position at which the block's
// codes ended (that of its EOB, or 64), which is lastPosition + 1 unless ZRL
// codes only led to the end.
//
// Most lookups resolve one or two symbols with no branch but the one that
// checks the position, which also finds the end of block and runs of
// sixteen zeros (their steps pass the end). One refill serves two lookups:
// it leaves at least 56 bits, and a lookup takes at most 26 (11 + 15); a
// longer code refills before and after itself. Past the end of the clean
// part the reader supplies zero bits; a block decoded with any of them
// tells nothing, and the exact reader must read it. Whether it used any is
// asked only where decoding failed: the caller asks once it is done with
// the block, or with several (zero bits never make a block fail, so the
// blocks after such a one decode all the same, within the zero margin).
[[gnu::always_inline]] inline FastBlockOutcome decodeBlockWith(ScanBitReader& reader, const HuffmanLookup& dc,
                                                               const HuffmanLookup& ac, int16_t* block,
                                                               int16_t& predictor, int& lastPosition,
                                                               int& endPosition) {
    enum class Flow { Next, End, TooManyCoefficients, InvalidCodeword };
    auto outcomeOf = [&reader](Flow flow) {
        if (flow == Flow::End) return FastBlockOutcome::Decoded;
        if (flow == Flow::InvalidCodeword || reader.overran()) return FastBlockOutcome::NeedsExactReader;
        return FastBlockOutcome::TooManyCoefficients;
    };
    auto store = [block](int position, int32_t value) __attribute__((always_inline)) {
        block[NaturalIndexOf.beforePosition[position]] = static_cast<int16_t>(value);
    };
    Flow flow = Flow::Next;

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
        // which it overwrites when there is none or it ends the block.
        position += static_cast<int>(HuffmanLookup::secondStep(dcEntry));
        store(position, HuffmanLookup::secondValue(dcEntry));
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
    // A lookup whose symbols reach or pass the end of the block, a run of
    // sixteen zeros among them. An end of block alone reaches it when it
    // stands at the last position. Otherwise, the second symbol, if any, is
    // a coefficient; if the first fills the last position, the second was
    // none of this block's.
    auto endingSymbols = [&](uint64_t bits, uint64_t entry, int first, int second,
                             int32_t value) __attribute__((always_inline)) -> Flow {
        if (entry & HuffmanLookup::EndOfBlockFirstFlag) return Flow::End;
        if (first < 64) {
            store(first, value);
            if (second > 64) return Flow::TooManyCoefficients;
            store(64, HuffmanLookup::secondValue(entry));
            position = 64;
            return Flow::End;
        }
        const int secondBits = HuffmanLookup::secondTakenBits(entry);
        if (secondBits != 0) reader.unskip(bits, HuffmanLookup::takenBits(entry) - secondBits, secondBits);
        position = first;
        if (position == 64) {
            store(64, value);
            return Flow::End;
        }
        if (HuffmanLookup::positionStep(entry) != HuffmanLookup::ZeroRunStep) return Flow::TooManyCoefficients;
        // Sixteen zeros: the block is zero there already.
        position -= HuffmanLookup::ZeroRunStep - 16;
        if (position > 64) return Flow::TooManyCoefficients;
        zeroRun(position - 16);
        return position == 64 ? Flow::End : Flow::Next;
    };
    // A lookup that does not give the first value: a code longer than the
    // lookup, or a magnitude that reaches past it or does not fit the entry.
    auto slowSymbol = [&](uint64_t bits, uint64_t entry) __attribute__((always_inline)) -> Flow {
        if (HuffmanLookup::isLongCode(entry)) return longSymbol();
        reader.skip(HuffmanLookup::takenBits(entry));
        const int first = position + static_cast<int>(HuffmanLookup::positionStep(entry));
        const int32_t value = firstValueAfter(bits, entry);
        if (first < 64) {
            store(first, value);
            position = first;
            return Flow::Next;
        }
        return endingSymbols(bits, entry, first, first, value);
    };
    // The common lookup has two branches: one that the last position, runs
    // of sixteen zeros and the slow entries (whose second step passes the
    // end) take, and one for the end of block.
    auto lookup = [&]() __attribute__((always_inline)) -> bool {
        const uint64_t bits = reader.buffered();
        const uint64_t entry = ac.fastEntryOf[bits >> (64 - HuffmanLookup::LookupBits)];
        const int first = position + static_cast<int>(HuffmanLookup::positionStep(entry));
        const int second = first + static_cast<int>(HuffmanLookup::secondStep(entry));
        if (__builtin_expect(second >= 64, 0)) {
            if (entry & HuffmanLookup::SlowFlag) {
                flow = slowSymbol(bits, entry);
            } else {
                reader.skip(HuffmanLookup::takenBits(entry));
                flow = endingSymbols(bits, entry, first, second, HuffmanLookup::firstValue(entry));
            }
            return flow == Flow::Next;
        }
        reader.skip(HuffmanLookup::takenBits(entry));
        // Without a second symbol (or with an end of block), second is
        // first, and the first's value is written last.
        store(second, HuffmanLookup::secondValue(entry));
        store(first, HuffmanLookup::firstValue(entry));
        position = second;
        if (entry & HuffmanLookup::EndOfBlockFlag) {
            position -= static_cast<int>(entry >> HuffmanLookup::EndOfBlockFirstShift & 1);
            flow = Flow::End;
            return false;
        }
        return true;
    };

    if (dcEntry & HuffmanLookup::EndOfBlockFlag) {
        flow = Flow::End;
    } else if (lookup()) {
        do reader.refill();
        while (lookup() && lookup());
    }
    const FastBlockOutcome outcome = outcomeOf(flow);
    if (outcome != FastBlockOutcome::Decoded) return outcome;
    lastPosition = (position == afterRun ? runStart : position) - 1;
    endPosition = position;
    return outcome;
}

// The decoder works on copies of the reader and of the last position, so
// that they stay in registers: nothing written to the block can alias them.
inline FastBlockOutcome decodeBlock(ScanBitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                             int16_t* block, int16_t& predictor, int& lastPosition, int& endPosition) {
    ScanBitReader local = reader;
    int last = 0;
    int end = 0;
    FastBlockOutcome outcome = decodeBlockWith(local, dc, ac, block, predictor, last, end);
    if (local.overran()) outcome = FastBlockOutcome::NeedsExactReader;
    reader = local;
    lastPosition = last;
    endPosition = end;
    return outcome;
}

}  // namespace vorc::jpeg

#endif
