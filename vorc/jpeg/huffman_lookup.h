// Lookup tables for decoding one Huffman table of a scan (used by the scan
// decoders between parser and back end): most codes resolve with one look
// at the next LookupBits bits, giving in one entry everything the block
// decoder needs (the bits the code and its magnitude take, the step of the
// zig-zag position, the magnitude's size); longer codes are found by
// comparing against the largest code of each length.
#ifndef VORC_JPEG_HUFFMAN_LOOKUP_H
#define VORC_JPEG_HUFFMAN_LOOKUP_H

#include <cstdint>

namespace vorc::jpeg {

struct HuffmanLookup {
    static constexpr int LookupBits = 11;
    static constexpr int MaxCodeLength = 16;
    // The position steps of an end of block and of a run of sixteen zeros:
    // both take the position past the end of any block, so that the one
    // check for that per coefficient also finds them.
    static constexpr uint32_t EndOfBlockStep = 0x40;
    static constexpr uint32_t ZeroRunStep = 0x80 + 15;

    // By the next LookupBits bits, for codes of at most LookupBits bits:
    //   bits 0-7    the code's length plus its magnitude's size: all it takes
    //   bits 8-15   the zero run, or EndOfBlockStep (symbol 0x00) or
    //               ZeroRunStep (0xF0)
    //   bits 16-19  the magnitude's size
    //   bits 20-23  the code's length
    // 0 for longer codes and for other symbols without magnitude bits.
    uint32_t fastEntryOf[1 << LookupBits];
    // By the next LookupBits bits: code length << 8 | symbol; 0 when the
    // code is longer.
    uint16_t symbolOf[1 << LookupBits];
    // By code length: the largest code (-1 for none), and what to add to a
    // code to find its symbol's index.
    int32_t largestCode[MaxCodeLength + 1];
    int32_t symbolOffset[MaxCodeLength + 1];
    uint8_t symbols[256];

    static int takenBits(uint32_t entry) { return static_cast<int>(entry & 0xFF); }
    static uint32_t positionStep(uint32_t entry) { return (entry >> 8) & 0xFF; }
    static int magnitudeSize(uint32_t entry) { return static_cast<int>((entry >> 16) & 0x0F); }
    static int codeLength(uint32_t entry) { return static_cast<int>((entry >> 20) & 0x0F); }
};

// Builds the tables of a table in DHT payload layout (16 counts, then the
// symbols).
void buildHuffmanLookup(const unsigned char* table, HuffmanLookup& lookup);

// The EXTEND rule: size bits read as v give v when the first bit is 1 and
// v - (2^size - 1) when it is 0.
constexpr int32_t extendMagnitude(uint32_t bits, int size) {
    return bits >= (uint32_t{1} << (size - 1)) ? static_cast<int32_t>(bits)
                                              : static_cast<int32_t>(bits) - ((int32_t{1} << size) - 1);
}

}  // namespace vorc::jpeg

#endif
