// The walk tables of the standard AC tables, from the decoding lookups.
#include "vorc/jpeg/block_walker.h"

namespace vorc::jpeg {

const WalkLookup& standardWalkLookup(int componentClass) {
    static const auto lookups = [] {
        struct Both {
            WalkLookup of[2];
        } built{};
        for (int c = 0; c < 2; ++c) {
            const HuffmanLookup& ac = standardLookups().ac[c];
            for (size_t pattern = 0; pattern < sizeof built.of[c].entryOf / sizeof(uint16_t); ++pattern) {
                const uint16_t known = ac.symbolOf[pattern];
                built.of[c].entryOf[pattern] = known == 0 ? 0 : walkEntry(known & 0xFF, known >> 8);
            }
        }
        return built;
    }();
    return lookups.of[componentClass];
}

}  // namespace vorc::jpeg
