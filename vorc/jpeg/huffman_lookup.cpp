// Builds the decoding lookup tables of one Huffman table from its DHT
// layout, by the canonical code assignment every JPEG table follows, and
// those of the four standard tables once per process.
#include "vorc/jpeg/huffman_lookup.h"

#include <cstring>

#include "vorc/core/jpeg_format.h"
#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/standard_tables.h"

namespace vorc::jpeg {

void buildHuffmanLookup(const unsigned char* table, HuffmanLookup& lookup) {
    constexpr int LookupBits = HuffmanLookup::LookupBits;
    std::memset(&lookup, 0, sizeof lookup);
    for (int32_t& code : lookup.largestCode) code = -1;

    int index = 0;
    forEachCanonicalCode(table, table + 16, [&](unsigned char symbol, uint32_t code, int length) {
        lookup.symbols[index] = symbol;
        if (lookup.largestCode[length] < 0) lookup.symbolOffset[length] = index - static_cast<int32_t>(code);
        lookup.largestCode[length] = static_cast<int32_t>(code);
        ++index;
        if (length > LookupBits) return;

        // Every LookupBits-bit pattern that starts with this code.
        const int spare = LookupBits - length;
        const uint32_t size = symbol & 0x0F;
        uint32_t step = symbol >> 4;
        if (symbol == 0x00) step = HuffmanLookup::EndOfBlockStep;
        if (symbol == 0xF0) step = HuffmanLookup::ZeroRunStep;
        const bool fast = size != 0 || symbol == 0x00 || symbol == 0xF0;
        const uint32_t entry = (uint32_t(length) << 20) | (size << 16) | (step << 8) | (length + size);
        for (uint32_t tail = 0; tail < (uint32_t{1} << spare); ++tail) {
            const uint32_t pattern = (code << spare) | tail;
            lookup.symbolOf[pattern] = static_cast<uint16_t>((length << 8) | symbol);
            if (fast) lookup.fastEntryOf[pattern] = entry;
        }
    });
}

const StandardLookups& standardLookups() {
    static const StandardLookups lookups = [] {
        StandardLookups built;
        for (int componentClass = 0; componentClass < 2; ++componentClass) {
            buildHuffmanLookup(standardDCTable(componentClass), built.dc[componentClass]);
            buildHuffmanLookup(standardACTable(componentClass), built.ac[componentClass]);
        }
        return built;
    }();
    return lookups;
}

}  // namespace vorc::jpeg
