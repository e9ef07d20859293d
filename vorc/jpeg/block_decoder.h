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

// The next symbol; an invalid codeword ends the stream as the tree walk's does.
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
    vorc::failInvalidCodeword();
    return 0;
}

inline int32_t decodeMagnitude(ScanBitReader& reader, int size) {
    return size == 0 ? 0 : extendMagnitude(reader.take(size), size);
}

// Whether the block was decoded, or its run of AC coefficients went past
// the end of the block.
enum class FastBlockOutcome { Decoded, TooManyCoefficients };

// Decodes one block into coefficients (natural order, DC absolute) of a
// block that is all zero on entry, and moves the DC predictor on.
// lastPosition becomes the zig-zag position of the last non-zero AC
// coefficient, 0 for none; endPosition the position at which the block's
// codes ended (that of its EOB, or 64), which is lastPosition + 1 unless
// ZRL codes only led to the end. The reader must have room for a block.
inline FastBlockOutcome decodeBlock(ScanBitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                                    int16_t* block, int16_t& predictor, int& lastPosition, int& endPosition) {
    reader.ensure(ScanBitReader::SymbolBits);
    const int dcSize = decodeSymbol(reader, dc) & 0x0F;
    predictor = static_cast<int16_t>(predictor + decodeMagnitude(reader, dcSize));
    block[0] = predictor;

    lastPosition = 0;
    int position = 1;
    while (position < 64) {
        reader.ensure(ScanBitReader::SymbolBits);
        const int32_t known = ac.coefficientOf[reader.peek(HuffmanLookup::LookupBits)];
        if (known != 0) {
            reader.skip(known & 0xFF);
            position += (known >> 8) & 0x0F;
            if (position > 63) return FastBlockOutcome::TooManyCoefficients;
            block[ZigZagNaturalOrder[position]] = static_cast<int16_t>(known >> 16);
            lastPosition = position++;
            continue;
        }
        const int symbol = decodeSymbol(reader, ac);
        if (symbol == 0) break;
        const int size = symbol & 0x0F;
        const int32_t value = decodeMagnitude(reader, size);
        position += symbol >> 4;
        if (position > 63) return FastBlockOutcome::TooManyCoefficients;
        block[ZigZagNaturalOrder[position]] = static_cast<int16_t>(value);
        if (size != 0) lastPosition = position;
        ++position;
    }
    endPosition = position;
    return FastBlockOutcome::Decoded;
}

inline FastBlockOutcome decodeBlock(ScanBitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                                    int16_t* block, int16_t& predictor, int& lastPosition) {
    int endPosition = 0;
    return decodeBlock(reader, dc, ac, block, predictor, lastPosition, endPosition);
}

}  // namespace vorc::jpeg

#endif
