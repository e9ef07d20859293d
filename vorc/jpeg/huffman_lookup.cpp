// Builds the decoding lookup tables of a component's Huffman tables from
// their DHT layout, by the canonical code assignment every JPEG table
// follows, and those of the four standard tables once per process.
#include "vorc/jpeg/huffman_lookup.h"

#include <cstring>
#include <optional>
#include <vector>

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/standard_tables.h"

namespace vorc::jpeg {

namespace {

constexpr int LookupBits = HuffmanLookup::LookupBits;

struct Code {
    uint32_t bits;
    int length;
    unsigned char symbol;
};

// The codes of a table that the lookup resolves.
std::vector<Code> shortCodes(const unsigned char* table) {
    std::vector<Code> codes;
    forEachCanonicalCode(table, table + 16, [&](unsigned char symbol, uint32_t code, int length) {
        if (length <= LookupBits) codes.push_back({code, length, symbol});
    });
    return codes;
}

// The symbol whose code starts `count` bits of `pattern` (taken from the
// top), with its magnitude inside those bits too.
struct Symbol {
    Code code;
    int size;
    int32_t value;  // of the magnitude: 0 for none
    int takenBits() const { return code.length + size; }
};
std::optional<Symbol> symbolAtStart(const std::vector<Code>& codes, uint32_t pattern, int count) {
    for (const Code& code : codes) {
        if (code.length > count || pattern >> (count - code.length) != code.bits) continue;
        const int size = code.symbol & 0x0F;
        if (code.length + size > count) return std::nullopt;
        const uint32_t magnitude = (pattern >> (count - code.length - size)) & ((uint32_t{1} << size) - 1);
        return Symbol{code, size, size == 0 ? 0 : extendMagnitude(magnitude, size)};
    }
    return std::nullopt;
}

bool fitsInByte(int32_t value) { return value >= -128 && value <= 127; }

// The position step of an AC symbol; an end of block ends an entry, and
// steps by one only when it comes first.
uint64_t acStep(unsigned char symbol, bool first) {
    if (symbol == 0x00) return first ? 1 : 0;
    if (symbol == 0xF0) return HuffmanLookup::ZeroRunStep;
    return (symbol >> 4) + 1u;
}

uint64_t endOfBlockFlags(unsigned char symbol, bool first) {
    if (symbol != 0x00) return 0;
    return HuffmanLookup::EndOfBlockFlag | (first ? HuffmanLookup::EndOfBlockFirstFlag : 0);
}

// The fast entries of one table; `firstIsAC` tells whose symbols start the
// patterns, while second symbols always come from the AC codes.
void buildFastEntries(const std::vector<Code>& firstCodes, bool firstIsAC, const std::vector<Code>& acCodes,
                      HuffmanLookup& lookup) {
    for (uint32_t pattern = 0; pattern < (uint32_t{1} << LookupBits); ++pattern) {
        const Code* first = nullptr;
        for (const Code& code : firstCodes)
            if (pattern >> (LookupBits - code.length) == code.bits) first = &code;
        if (first == nullptr) {
            if (firstIsAC) lookup.fastEntryOf[pattern] = HuffmanLookup::SlowFlag | HuffmanLookup::SlowSecondStep;
            continue;
        }
        const int size = first->symbol & 0x0F;
        const bool coefficient = size != 0;
        if (firstIsAC && !coefficient && first->symbol != 0x00 && first->symbol != 0xF0) continue;

        // The first value is read from the bits unless the entry gives it.
        uint64_t entry = uint64_t(first->length + size) | (firstIsAC ? acStep(first->symbol, true) : 0) << 8 |
                         uint64_t(first->length) << 16 | (firstIsAC ? endOfBlockFlags(first->symbol, true) : 0) |
                         uint64_t(63 - size) << 24;
        const std::optional<Symbol> whole = symbolAtStart(firstCodes, pattern, LookupBits);
        if (whole && fitsInByte(whole->value)) {
            entry = (entry & 0xFFFFFF) | uint64_t{63} << 24 | uint64_t(static_cast<uint8_t>(whole->value)) << 56;
            // A second symbol may follow a value within the lookup's bits.
            const int left = LookupBits - whole->takenBits();
            const uint32_t rest = pattern & ((uint32_t{1} << left) - 1);
            const std::optional<Symbol> second = symbolAtStart(acCodes, rest, left);
            if ((coefficient || !firstIsAC) && second && (second->size != 0 || second->code.symbol == 0x00) &&
                fitsInByte(second->value)) {
                entry = uint64_t(whole->takenBits() + second->takenBits()) | (entry & 0xFF000000FFFFFF00) |
                        endOfBlockFlags(second->code.symbol, false) | acStep(second->code.symbol, false) << 32 |
                        uint64_t(second->takenBits()) << 40 | uint64_t(static_cast<uint8_t>(second->value)) << 48;
            }
        } else if (firstIsAC) {
            entry |= HuffmanLookup::SlowFlag | HuffmanLookup::SlowSecondStep;
        }
        lookup.fastEntryOf[pattern] = entry;
    }
}

// The tables of the slow path, for every code.
void buildCodeTables(const unsigned char* table, HuffmanLookup& lookup) {
    for (int32_t& code : lookup.largestCode) code = -1;
    int index = 0;
    forEachCanonicalCode(table, table + 16, [&](unsigned char symbol, uint32_t code, int length) {
        lookup.symbols[index] = symbol;
        if (lookup.largestCode[length] < 0) lookup.symbolOffset[length] = index - static_cast<int32_t>(code);
        lookup.largestCode[length] = static_cast<int32_t>(code);
        ++index;
        if (length > LookupBits) return;
        const int spare = LookupBits - length;
        for (uint32_t tail = 0; tail < (uint32_t{1} << spare); ++tail)
            lookup.symbolOf[(code << spare) | tail] = static_cast<uint16_t>((length << 8) | symbol);
    });
}

}  // namespace

void buildHuffmanLookups(const unsigned char* dcTable, const unsigned char* acTable, HuffmanLookup& dc,
                         HuffmanLookup& ac) {
    std::memset(&dc, 0, sizeof dc);
    std::memset(&ac, 0, sizeof ac);
    buildCodeTables(dcTable, dc);
    buildCodeTables(acTable, ac);
    const std::vector<Code> acCodes = shortCodes(acTable);
    buildFastEntries(shortCodes(dcTable), false, acCodes, dc);
    buildFastEntries(acCodes, true, acCodes, ac);
}

const StandardLookups& standardLookups() {
    static const StandardLookups lookups = [] {
        StandardLookups built;
        for (int componentClass = 0; componentClass < 2; ++componentClass)
            buildHuffmanLookups(standardDCTable(componentClass), standardACTable(componentClass),
                                built.dc[componentClass], built.ac[componentClass]);
        return built;
    }();
    return lookups;
}

}  // namespace vorc::jpeg
