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

namespace vorc::jpeg {

// Walks one block from a reader with room for a block (hasRoomForBlock) and
// moves the DC predictor on, as decoding it would. False on trouble, with
// the reader and the predictor somewhere inside the block. `canonical`
// becomes false when ZRL codes only lead to the end of the block, which an
// encoder codes as EOB alone.
[[gnu::always_inline]] inline bool walkBlock(ScanBitReader& reader, const HuffmanLookup& dc,
                                             const HuffmanLookup& ac, int16_t& predictor,
                                             bool& canonical) {
    constexpr int EndOfBlock = 0x00;
    reader.ensure(ScanBitReader::SymbolBits);
    const int dcSymbol = decodeSymbol(reader, dc);
    if (dcSymbol < 0) return false;
    predictor = static_cast<int16_t>(predictor + decodeMagnitude(reader, dcSymbol & 0x0F));

    int lastPosition = 0;
    int position = 1;
    while (position < 64) {
        reader.ensure(ScanBitReader::SymbolBits);
        // One look resolves every code of up to LookupBits bits.
        const uint16_t entry = ac.symbolOf[reader.peek(HuffmanLookup::LookupBits)];
        int symbol = entry & 0xFF;
        if (entry != 0) {
            reader.skip(entry >> 8);
        } else {
            symbol = decodeSymbol(reader, ac);
            if (symbol < 0) return false;
        }
        const int size = symbol & 0x0F;
        reader.skip(size);
        if (symbol == EndOfBlock) break;
        position += symbol >> 4;
        if (position > 63) return false;
        if (size != 0) lastPosition = position;
        ++position;
    }
    if (position != lastPosition + 1) canonical = false;
    return true;
}

}  // namespace vorc::jpeg

#endif
