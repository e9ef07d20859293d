// Lookup tables for decoding one Huffman table of a scan (used by the scan
// decoders between parser and back end): most codes resolve with one look
// at the next LookupBits bits, giving the code length and the symbol and,
// for short AC codes with short magnitudes, the coefficient value as well;
// longer codes are found by comparing against the largest code of each
// length.
#ifndef VORC_JPEG_HUFFMAN_LOOKUP_H
#define VORC_JPEG_HUFFMAN_LOOKUP_H

#include <cstdint>

namespace vorc::jpeg {

struct HuffmanLookup {
    static constexpr int LookupBits = 11;
    static constexpr int MaxCodeLength = 16;

    // By the next LookupBits bits: code length << 8 | symbol; 0 when the
    // code is longer.
    uint16_t symbolOf[1 << LookupBits];
    // By the next LookupBits bits, for AC codes whose length plus magnitude
    // bits fit: value << 16 | run << 8 | bits used; 0 otherwise.
    int32_t coefficientOf[1 << LookupBits];
    // By code length: the largest code (-1 for none), and what to add to a
    // code to find its symbol's index.
    int32_t largestCode[MaxCodeLength + 1];
    int32_t symbolOffset[MaxCodeLength + 1];
    uint8_t symbols[256];
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
