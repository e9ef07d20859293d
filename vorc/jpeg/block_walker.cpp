// The walk tables of the standard AC tables: for every pattern of
// LookupBits bits, the symbols whose codes it holds.
#include "vorc/jpeg/block_walker.h"

#include <vector>

#include "vorc/jpeg/standard_tables.h"

namespace vorc::jpeg {

namespace {

constexpr int LookupBits = WalkLookup::LookupBits;

WalkLookup buildWalkLookup(const unsigned char* table) {
    struct Code {
        uint32_t bits = 0;
        int length = 0;  // 0: no code starts so
    };
    // By the top LookupBits bits: the symbol whose code they start with.
    std::vector<Code> codeOf(size_t{1} << LookupBits);
    std::vector<unsigned char> symbolOf(size_t{1} << LookupBits);
    forEachCanonicalCode(table, table + 16, [&](unsigned char symbol, uint32_t code, int length) {
        if (length > LookupBits) return;
        const int spare = LookupBits - length;
        for (uint32_t tail = 0; tail < (uint32_t{1} << spare); ++tail) {
            codeOf[(code << spare) | tail] = Code{code, length};
            symbolOf[(code << spare) | tail] = symbol;
        }
    });
    WalkLookup walk{};
    for (uint32_t pattern = 0; pattern < (uint32_t{1} << LookupBits); ++pattern) {
        int used = 0;   // bits of the pattern taken by whole symbols
        int taken = 0;  // with the magnitude of the last one
        int step = 0;
        bool ended = false;
        while (used < LookupBits) {
            // The symbol whose code starts at bit `used`, if it ends within the pattern.
            const uint32_t rest = (pattern << used) & ((uint32_t{1} << LookupBits) - 1);
            const Code code = codeOf[rest];
            const unsigned char symbol = symbolOf[rest];
            if (code.length == 0 || used + code.length > LookupBits || symbol == 0xF0) break;
            taken = used + code.length + (symbol & 0x0F);
            used = taken;
            if (symbol == 0x00) {
                ended = true;
                break;
            }
            step += (symbol >> 4) + 1;
        }
        walk.entryOf[pattern] =
            taken == 0 ? WalkLookup::NoSymbol
                       : static_cast<uint16_t>(taken | step << WalkLookup::StepShift |
                                               (ended ? WalkLookup::EndOfBlockFlag : 0));
    }
    return walk;
}

}  // namespace

const WalkTables& standardWalkTables() {
    static const WalkTables tables{standardLookups(), {buildWalkLookup(standardACTable(0)), buildWalkLookup(standardACTable(1))}};
    return tables;
}

}  // namespace vorc::jpeg
