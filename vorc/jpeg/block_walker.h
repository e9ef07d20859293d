// The coefficient-free walk of a block's codes, for the transcoder (parser ->
// transcoder -> JPEG receiver), which keeps a carried tile's bits as they
// stand in the frame's scan and needs of its coefficients only the DC value
// and whether the codes are the ones an encoder writes for them. The walk
// reads the code lengths and zero runs of several codes at a time from its
// own lookup tables and skips the magnitude bits of the AC coefficients
// without storing anything; it reports trouble (an invalid codeword, too
// many coefficients) without saying more, so that the caller can read the
// same bits again with a decoder that reports faults exactly.
#ifndef VORC_JPEG_BLOCK_WALKER_H
#define VORC_JPEG_BLOCK_WALKER_H

#include <cstdint>

#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/scan_bit_reader.h"

namespace vorc::jpeg {

// By the next LookupBits bits of a block's AC codes: as many whole AC
// symbols as those bits name, up to and including an end of block, the
// last one's magnitude perhaps reaching beyond them. Its entry gives the
// bits they take with their magnitudes, the positions they move the block
// on (each coefficient its zero run plus one, an end of block nothing) and
// whether they end the block. An entry that names no symbol (a longer
// code, or a run of sixteen zeros first) moves the block on so far that it
// passes the end, which sends the walk to its symbol-by-symbol path.
struct WalkLookup {
    static constexpr int LookupBits = 13;
    // Bits 0-5 the bits taken (at most 23): all that a 64-bit shift looks
    // at, so that the buffer shifts by the entry itself, with no masking
    // on the chain of look-ups.
    static constexpr uint32_t TakenMask = 0x3F;
    static constexpr int StepShift = 6;
    static constexpr uint32_t StepMask = 0x3F;
    static constexpr uint16_t EndOfBlockFlag = 1u << 12;
    static constexpr uint16_t NoSymbol = StepMask << StepShift;

    uint16_t entryOf[1 << LookupBits];
};

// What a walk reads: the decoding lookups and the walk lookups of the
// standard luminance and chrominance tables, built once.
struct WalkTables {
    const StandardLookups& lookups;
    WalkLookup ac[2];
};
const WalkTables& standardWalkTables();

// Walks one block and moves the DC predictor on, as decoding it would.
// False on trouble, with the reader and the predictor somewhere inside the
// block. Past the end the reader supplies zero bits: a walk after which the
// reader has overran() tells nothing about the scan. `canonical` becomes
// false when ZRL codes only lead to the end of the block, which an encoder
// codes as EOB alone. `afterDC` becomes the reader's position after the DC
// code and its magnitude.
[[gnu::always_inline]] inline bool walkBlock(ScanBitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                                             const WalkLookup& walk, int16_t& predictor, bool& canonical,
                                             uint64_t& afterDC) {
    constexpr int DCLookupBits = HuffmanLookup::LookupBits;
    reader.refill();
    // The standard DC codes are all short enough for one look.
    const uint16_t dcEntry = dc.symbolOf[reader.peek(DCLookupBits)];
    if (dcEntry == 0) return false;
    // Code and magnitude go in one skip, and the magnitude is taken from the
    // bits before it with no branch on its size, so that the next code's
    // look-up waits for one shift only.
    const unsigned dcSize = dcEntry & 0x0F;
    const unsigned dcCodeLength = dcEntry >> 8;
    predictor = static_cast<int16_t>(predictor + extendedMagnitudeAt(reader.buffered() << dcCodeLength, 63 - dcSize));
    reader.skip(static_cast<int>(dcCodeLength + dcSize));
    afterDC = reader.position();

    // The next position to fill. A run of sixteen zeros waits for the
    // symbol after it, which decides whether the block was coded as an
    // encoder codes it; while it waits, the position counts Waiting more,
    // which sends every lookup to the symbol-by-symbol path, as do a longer
    // code and a lookup that might reach the end of the block.
    constexpr int Waiting = 64;
    int position = 1;
    enum class Step { Next, End, OneSymbol };
    // A lookup takes at most 23 bits (a code within the lookup and a magnitude
    // of 10): two follow one refill, which leaves 56.
    auto lookup = [&]() __attribute__((always_inline)) {
        const uint32_t entry = walk.entryOf[reader.peek(WalkLookup::LookupBits)];
        const int next = position + static_cast<int>(entry >> WalkLookup::StepShift & WalkLookup::StepMask);
        if (next >= 64) return Step::OneSymbol;
        reader.skip(static_cast<int>(entry & WalkLookup::TakenMask));
        position = next;
        return entry & WalkLookup::EndOfBlockFlag ? Step::End : Step::Next;
    };
    while (true) {
        reader.refill();
        Step step = lookup();
        if (step == Step::Next) step = lookup();
        if (step == Step::Next) continue;
        if (step == Step::End) return true;
        // One symbol, whatever its code.
        reader.refill();
        int symbol = 0;
        const uint16_t known = ac.symbolOf[reader.peek(HuffmanLookup::LookupBits)];
        if (known != 0) {
            symbol = known & 0xFF;
            reader.skip(known >> 8);
        } else {
            // A code of more than LookupBits bits, by the largest code of each length.
            int length = HuffmanLookup::LookupBits + 1;
            while (length <= HuffmanLookup::MaxCodeLength &&
                   static_cast<int32_t>(reader.peek(length)) > ac.largestCode[length])
                ++length;
            if (length > HuffmanLookup::MaxCodeLength) return false;
            symbol = ac.symbols[ac.symbolOffset[length] + static_cast<int32_t>(reader.peek(length))];
            reader.skip(length);
        }
        const bool waited = position >= Waiting;
        if (symbol == 0) {
            if (waited) canonical = false;
            return true;
        }
        reader.skip(symbol & 0x0F);
        position = (position & (Waiting - 1)) + (symbol >> 4);
        if (position > 63) return false;
        const bool zeroRun = (symbol & 0x0F) == 0;
        if (++position == 64) {
            if (zeroRun) canonical = false;
            return true;
        }
        if (zeroRun) position += Waiting;
    }
}

}  // namespace vorc::jpeg

#endif
