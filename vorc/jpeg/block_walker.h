// The coefficient-free walk of a block's codes, for the transcoder (parser ->
// transcoder -> JPEG receiver), which keeps a carried tile's bits as they
// stand in the frame's scan and needs of its coefficients only the DC value
// and whether the codes are the ones an encoder writes for them. The walk
// reads the code lengths and zero runs from the fast reader's lookup tables
// and skips the magnitude bits of the AC coefficients without storing
// anything; it reports trouble (an invalid codeword, too many
// coefficients) without saying more, so that the caller can read the same
// bits again with a decoder that reports faults exactly.
#ifndef VORC_JPEG_BLOCK_WALKER_H
#define VORC_JPEG_BLOCK_WALKER_H

#include <cstdint>

#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/walk_reader.h"

namespace vorc::jpeg {

// By the next LookupBits bits of a scan, for each AC code of up to
// LookupBits bits: the bits of the code and its magnitude together, the
// zero run, and whether it is EOB or carries a value; 0 for longer codes.
struct WalkLookup {
    static constexpr uint16_t SkipMask = 0x1F;
    static constexpr int RunShift = 5;
    static constexpr uint16_t ValueFlag = 1u << 9;
    static constexpr uint16_t EndOfBlockFlag = 1u << 10;

    uint16_t entryOf[1 << HuffmanLookup::LookupBits];
};

// The entry of an AC symbol whose code is `codeLength` bits long.
constexpr uint16_t walkEntry(int symbol, int codeLength) {
    const int size = symbol & 0x0F;
    return static_cast<uint16_t>((codeLength + size) | (symbol >> 4) << WalkLookup::RunShift |
                                 (size != 0 ? WalkLookup::ValueFlag : 0) |
                                 (symbol == 0 ? WalkLookup::EndOfBlockFlag : 0));
}

// Those of the standard luminance (0) and chrominance (1) AC tables, built once.
const WalkLookup& standardWalkLookup(int componentClass);

// The bits a block's codes took: its DC code with the magnitude, and the
// rest.
struct BlockBits {
    unsigned dc;
    unsigned ac;
};

// Walks one block and moves the DC predictor on, as decoding it would.
// False on trouble, with the reader and the predictor somewhere inside the
// block. Near the end of the clean part the reader supplies zero bits: a
// walk after which the reader has overran() tells nothing about the scan.
// `canonical` becomes false when ZRL codes only lead to the end of the
// block, which an encoder codes as EOB alone.
[[gnu::always_inline]] inline bool walkBlock(WalkReader& reader, const HuffmanLookup& dc,
                                             const HuffmanLookup& ac, const WalkLookup& walk,
                                             int16_t& predictor, bool& canonical, BlockBits& bits) {
    constexpr int LookupBits = HuffmanLookup::LookupBits;
    reader.refill();
    // The standard DC codes are all short enough for one look.
    const uint16_t dcEntry = dc.symbolOf[reader.peek(LookupBits)];
    if (dcEntry == 0) return false;
    const int dcSize = dcEntry & 0x0F;
    reader.skip(dcEntry >> 8);
    if (dcSize != 0) {
        predictor = static_cast<int16_t>(predictor + extendMagnitude(reader.peek(dcSize), dcSize));
        reader.skip(dcSize);
    }
    bits.dc = (dcEntry >> 8) + static_cast<unsigned>(dcSize);

    unsigned acBits = 0;
    int lastPosition = 0;
    int position = 1;
    while (true) {
        // At least 30 bits are left from the last refill, so the look needs
        // none and does not wait for this one.
        const uint32_t next = reader.peek(LookupBits);
        reader.refill();
        uint16_t entry = walk.entryOf[next];
        if (entry == 0) {
            // A code of more than LookupBits bits, by the largest code of each length.
            int length = LookupBits + 1;
            while (length <= HuffmanLookup::MaxCodeLength &&
                   static_cast<int32_t>(reader.peek(length)) > ac.largestCode[length])
                ++length;
            if (length > HuffmanLookup::MaxCodeLength) return false;
            entry = walkEntry(ac.symbols[ac.symbolOffset[length] + static_cast<int32_t>(reader.peek(length))],
                              length);
        }
        reader.skip(entry & WalkLookup::SkipMask);
        acBits += entry & WalkLookup::SkipMask;
        if (entry & WalkLookup::EndOfBlockFlag) break;
        position += entry >> WalkLookup::RunShift & 0x0F;
        if (position > 63) return false;
        if (entry & WalkLookup::ValueFlag) lastPosition = position;
        if (++position == 64) break;
    }
    bits.ac = acBits;
    if (position != lastPosition + 1) canonical = false;
    return true;
}

}  // namespace vorc::jpeg

#endif
