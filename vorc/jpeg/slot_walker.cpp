// The walkers of slot_walker.h: one flat table that every step looks up,
// the step itself, the way off the fast path for what the table leaves out,
// and the walk with one walker or with a speculative second one.
#include "vorc/jpeg/slot_walker.h"

#include <algorithm>
#include <vector>

#include "vorc/jpeg/block_walker.h"
#include "vorc/jpeg/jpeg_format.h"
#include "vorc/jpeg/scan_bit_reader.h"
#include "vorc/jpeg/standard_tables.h"

namespace vorc::jpeg {

namespace {

// One array for every lookup, so that the next index is chosen by the
// state with no branch: luminance AC (13-bit index) at 0, chrominance AC at
// AcSize, luminance DC (9-bit index) at DcBase, chrominance DC at DcBase +
// ChromaDcOffset. An entry: bits 0-5 the bits taken, bit 6 set when the
// step moves to the next slot (a DC code, an end of block), bit 7 end of
// block, bits 9-15 the positions the block moves on. An entry that names
// nothing the fast path may take moves it on by 64, past any block's end.
constexpr int AcBits = 13;
constexpr int DcBits = 9;
constexpr uint32_t AcSize = 1u << AcBits;
constexpr uint32_t DcSize = 1u << DcBits;
constexpr uint32_t DcBase = 2 * AcSize;
// The class bit of the next block in the walker's class pattern.
constexpr uint32_t ChromaDcOffset = 1u << (AcBits + 1);
constexpr uint32_t FlatSize = DcBase + ChromaDcOffset + DcSize;
// Two steps follow one reload, which leaves at least 57 bits, and the
// index after them needs AcBits more, so an entry may take 22 bits: the
// standard tables' take at most that (a 12-bit code and a magnitude of 10).
constexpr int TakenBits = 6;
constexpr uint16_t NextSlotBit = 1u << 6;
constexpr uint16_t EndOfBlockBit = 1u << 7;
constexpr int StepShift = 9;
constexpr uint16_t OffPath = 64u << StepShift;
constexpr int ZeroRunOfSixteen = 0xF0;

// The AC entries of one table. A ZRL stays in an entry only when what
// follows it is surely no end of block, so that a ZRL leading only to the
// end of the block leaves the fast path; so does a block whose last
// coefficient is at 63, whose entry moves the position to 64.
void buildAcEntries(const unsigned char* table, uint16_t* out) {
    struct Code {
        uint32_t bits = 0;
        int length = 0;  // 0: no code starts so
    };
    std::vector<Code> codeOf(AcSize);
    std::vector<unsigned char> symbolOf(AcSize);
    uint32_t endOfBlockCode = 0;
    int endOfBlockLength = 0;
    forEachCanonicalCode(table, table + 16, [&](unsigned char symbol, uint32_t code, int length) {
        if (symbol == 0) {
            endOfBlockCode = code;
            endOfBlockLength = length;
        }
        if (length > AcBits) return;
        const int spare = AcBits - length;
        for (uint32_t tail = 0; tail < (1u << spare); ++tail) {
            codeOf[(code << spare) | tail] = Code{code, length};
            symbolOf[(code << spare) | tail] = symbol;
        }
    });
    for (uint32_t pattern = 0; pattern < AcSize; ++pattern) {
        int used = 0;   // bits of the pattern taken by whole symbols
        int taken = 0;  // with the magnitude of the last one
        int step = 0;
        bool ended = false;
        bool offPath = false;
        while (used < AcBits) {
            const uint32_t rest = (pattern << used) & (AcSize - 1);
            const Code code = codeOf[rest];
            const unsigned char symbol = symbolOf[rest];
            if (code.length == 0 || used + code.length > AcBits) break;
            if (symbol == ZeroRunOfSixteen) {
                const int after = used + code.length;
                const int left = AcBits - after;
                const uint32_t next = (pattern << after) & (AcSize - 1);
                if (left > 0 && codeOf[next].length != 0 && codeOf[next].length <= left) {
                    if (symbolOf[next] == 0) {
                        offPath = true;
                        break;
                    }
                } else if (left < endOfBlockLength) {
                    // The bits left may start an end of block.
                    const uint32_t tail = pattern & ((1u << left) - 1);
                    if (left == 0 || tail == endOfBlockCode >> (endOfBlockLength - left)) {
                        if (taken == 0) offPath = true;
                        break;
                    }
                }
                taken = used = after;
                step += 16;
                continue;
            }
            taken = used + code.length + (symbol & 0x0F);
            used = taken;
            if (symbol == 0) {
                ended = true;
                break;
            }
            step += (symbol >> 4) + 1;
        }
        out[pattern] = (taken == 0 || offPath)
                           ? OffPath
                           : static_cast<uint16_t>(taken | step << StepShift |
                                                   (ended ? NextSlotBit | EndOfBlockBit : 0));
    }
}

const uint16_t* flatTable() {
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> flat(FlatSize, OffPath);
        for (int c = 0; c < 2; ++c) buildAcEntries(standardACTable(c), flat.data() + c * AcSize);
        for (int c = 0; c < 2; ++c) {
            uint16_t* dc = flat.data() + DcBase + c * ChromaDcOffset;
            const unsigned char* counts = standardDCTable(c);
            forEachCanonicalCode(counts, counts + 16, [&](unsigned char size, uint32_t code, int length) {
                if (length > DcBits) return;
                for (uint32_t tail = 0; tail < (1u << (DcBits - length)); ++tail)
                    dc[(code << (DcBits - length)) | tail] =
                        static_cast<uint16_t>((length + size) | 1u << StepShift | NextSlotBit);
            });
        }
        return flat;
    }();
    return table.data();
}

// `yes` when `condition` is non-zero, else `no`, without a branch: a
// mispredicted end of block is what the walk must not pay.
[[gnu::always_inline]] inline uint32_t select(uint32_t condition, uint32_t yes, uint32_t no) {
#if defined(__x86_64__)
    asm("test %1, %1\n\tcmovnz %2, %0" : "+r"(no) : "r"(condition), "r"(yes) : "cc");
    return no;
#else
    const uint32_t mask = 0u - static_cast<uint32_t>(condition != 0);
    return (yes & mask) | (no & ~mask);
#endif
}

// Where a walker writes: its slots, their end, the tiles' flags.
struct Lane {
    uint32_t* slots;
    uint32_t* slotEnd;
    uint8_t* nonCanonical;
    uint64_t first;
    // Where it failed: the failing block's slots, and a bit after its start
    // where a walker that takes any bit for a tile start may start again.
    bool failed = false;
    uint32_t* failedSlot = nullptr;
    uint64_t failedAt = 0;
};

// Six words of state, so that two walkers stay in registers.
struct Walker {
    uint64_t bits;      // next bit at the top
    uint64_t consumed;  // bit position of the next bit
    // Bit AcBits + k: whether the block k blocks after this one is a
    // chrominance block (period 6); renewed from below at each reload.
    uint64_t classes;
    uint32_t position;  // in the block
    uint32_t index;     // of the next lookup
    uint32_t* slot;     // the next step's

    [[gnu::always_inline]] void reload(const unsigned char* base) {
        uint64_t word;
        std::memcpy(&word, base + consumed / 8, sizeof word);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        bits = word << (consumed % 8);
        classes |= classes << 48;
    }

    // At the start of block `block` of a tile (0 to 5).
    void start(const unsigned char* base, uint64_t first, uint32_t* firstSlot, uint32_t block) {
        consumed = first;
        classes = 0;
        for (int j = 0; j < 64; ++j)
            classes |= uint64_t{(j - AcBits + 60 + static_cast<int>(block)) % 6 >= 4} << j;
        reload(base);
        position = 0;
        slot = firstSlot;
        index = static_cast<uint32_t>(bits >> (64 - DcBits)) + DcBase + (block >= 4 ? ChromaDcOffset : 0);
    }

    // One lookup. Returns the position the block reached; above 63 the step
    // left the fast path, and it counts only as a record of where it began.
    [[gnu::always_inline]] uint32_t step(const uint16_t* flat) {
        const uint32_t entry = flat[index];
        const uint32_t taken = entry & ((1u << TakenBits) - 1);
        bits <<= taken;
        consumed += taken;
        *slot = static_cast<uint32_t>(consumed);
        const uint32_t reached = position + (entry >> StepShift);
        const uint32_t ended = entry >> 7 & 1;
        slot += entry >> 6 & 1;
        const uint32_t acIndex = static_cast<uint32_t>(bits >> (64 - AcBits)) + static_cast<uint32_t>(classes & AcSize);
        const uint32_t dcIndex =
            static_cast<uint32_t>(bits >> (64 - DcBits)) + static_cast<uint32_t>(classes & ChromaDcOffset) + DcBase;
        index = select(ended, dcIndex, acIndex);
        classes >>= ended;
        position = reached & (ended - 1);
        return reached;
    }
};

// Walks again with walkBlock the block whose slots start at `blockSlot` and
// puts the walker after it; on failure the lane fails and the walker stands
// at its end.
[[gnu::noinline]] Walker walkBlockAgain(uint32_t* blockSlot, const unsigned char* base, uint64_t endBit, Lane& lane) {
    Walker walker{};
    const StandardLookups& lookups = standardLookups();
    const WalkTables& tables = standardWalkTables();
    const auto block = static_cast<size_t>(blockSlot - lane.slots) / 2;
    const uint64_t from = block == 0 ? lane.first : lane.slots[2 * block - 1];
    const int componentClass = block % 6 < 4 ? 0 : 1;
    ScanBitReader reader;
    reader.start(base, from, endBit);
    int16_t predictor = 0;
    bool canonical = true;
    uint64_t afterDC = 0;
    if (!walkBlock(reader, lookups.dc[componentClass], lookups.ac[componentClass], tables.ac[componentClass],
                   predictor, canonical, afterDC)) {
        lane.failed = true;
        lane.failedSlot = blockSlot;
        lane.failedAt = std::max(reader.position(), from + 1);
        walker.slot = lane.slotEnd;
        return walker;
    }
    blockSlot[0] = static_cast<uint32_t>(afterDC);
    blockSlot[1] = static_cast<uint32_t>(reader.position());
    if (!canonical) lane.nonCanonical[block / 6] = 1;
    walker.start(base, reader.position(), blockSlot + 2, static_cast<uint32_t>((block + 1) % 6));
    return walker;
}

// A step that left the fast path (a code longer than the lookup, a ZRL
// that needs the symbol after it, a coefficient at 63 inside an entry) is
// walked again symbol by symbol from where it began, and the walk goes on;
// anything else (invalid codes, ZRLs that only lead to the end, long DC
// codes) walks the whole block again. `stepSlot` and `stepIndex` are the
// step's, `reached` what it returned.
[[gnu::noinline]] Walker leaveFastPath(Walker walker, uint32_t stepIndex, uint32_t* stepSlot, uint32_t reached,
                                       const unsigned char* base, uint64_t endBit, Lane& lane) {
    if (stepSlot >= lane.slotEnd) {
        walker.slot = lane.slotEnd;
        return walker;
    }
    // A DC step writes the block's first slot.
    if (stepIndex >= DcBase) return walkBlockAgain(stepSlot, base, endBit, lane);
    const uint16_t entry = flatTable()[stepIndex];
    // The walker as it was before the step; an AC step writes the end slot.
    const uint64_t entryEnd = walker.consumed;
    walker.consumed -= entry & ((1u << TakenBits) - 1);
    if ((entry & EndOfBlockBit) != 0) walker.classes <<= 1;
    uint32_t position = reached - (entry >> StepShift);
    const HuffmanLookup& ac = standardLookups().ac[walker.classes >> AcBits & 1];
    bool ended = false;
    bool zeroRunPending = false;
    for (int symbols = 0;; ++symbols) {
        if (!zeroRunPending && symbols > 0 && walker.consumed >= entryEnd) break;
        walker.reload(base);
        int symbol = 0;
        int length = 0;
        const uint16_t known = ac.symbolOf[walker.bits >> (64 - HuffmanLookup::LookupBits)];
        if (known != 0) {
            symbol = known & 0xFF;
            length = known >> 8;
        } else {
            length = HuffmanLookup::LookupBits + 1;
            while (length <= HuffmanLookup::MaxCodeLength &&
                   static_cast<int32_t>(walker.bits >> (64 - length)) > ac.largestCode[length])
                ++length;
            if (length > HuffmanLookup::MaxCodeLength) return walkBlockAgain(stepSlot - 1, base, endBit, lane);
            symbol = ac.symbols[ac.symbolOffset[length] + static_cast<int32_t>(walker.bits >> (64 - length))];
        }
        walker.consumed += static_cast<uint64_t>(length + (symbol & 0x0F));
        if (symbol == 0) {
            if (zeroRunPending) return walkBlockAgain(stepSlot - 1, base, endBit, lane);
            ended = true;
            break;
        }
        position += static_cast<uint32_t>(symbol >> 4) + 1;
        zeroRunPending = symbol == ZeroRunOfSixteen;
        if (position > 64 || (position == 64 && zeroRunPending)) return walkBlockAgain(stepSlot - 1, base, endBit, lane);
        if (position == 64) {
            ended = true;
            break;
        }
    }
    walker.reload(base);
    *stepSlot = static_cast<uint32_t>(walker.consumed);
    if (ended) {
        walker.slot = stepSlot + 1;
        walker.position = 0;
        walker.index = static_cast<uint32_t>(walker.bits >> (64 - DcBits)) +
                       static_cast<uint32_t>(walker.classes & ChromaDcOffset) + DcBase;
        walker.classes >>= 1;
    } else {
        walker.slot = stepSlot;
        walker.position = position;
        walker.index = static_cast<uint32_t>(walker.bits >> (64 - AcBits)) + static_cast<uint32_t>(walker.classes & AcSize);
    }
    return walker;
}

// Two steps of one walker after one reload, each leaving the fast path
// when it must.
[[gnu::always_inline]] inline void stepTwice(Walker& walker, const uint16_t* flat, const unsigned char* base,
                                             uint64_t endBit, Lane& lane) {
    walker.reload(base);
    for (int i = 0; i < 2; ++i) {
        uint32_t* const stepSlot = walker.slot;
        const uint32_t stepIndex = walker.index;
        const uint32_t reached = walker.step(flat);
        if (__builtin_expect(reached > 63, 0)) {
            walker = leaveFastPath(walker, stepIndex, stepSlot, reached, base, endBit, lane);
            return;
        }
    }
}

void prepare(TileRunWalk& walk, uint64_t first, size_t tiles) {
    walk.first = first;
    // Every slot is written before it is read. A second step may write one
    // slot beyond the last and move on past it.
    if (walk.slots.size() < tiles * SlotsPerTile + 2) walk.slots.resize(tiles * SlotsPerTile + 2);
    walk.nonCanonical.assign(tiles, 0);
    walk.walked = 0;
}

Lane laneOf(TileRunWalk& walk, size_t tiles) {
    return Lane{walk.slots.data(), walk.slots.data() + tiles * SlotsPerTile, walk.nonCanonical.data(), walk.first};
}

// The tiles whose slots are final.
size_t tilesWalked(const Walker& walker, const Lane& lane, size_t tiles) {
    const uint32_t* const reached = lane.failed ? lane.failedSlot : walker.slot;
    return std::min(static_cast<size_t>(reached - lane.slots) / SlotsPerTile, tiles);
}

uint64_t startOf(const Lane& lane, size_t tile) { return tile == 0 ? lane.first : lane.slots[tile * SlotsPerTile - 1]; }

}  // namespace

void walkTileRun(const unsigned char* base, uint64_t first, uint64_t endBit, size_t tiles, TileRunWalk& walk) {
    const uint16_t* const flat = flatTable();
    prepare(walk, first, tiles);
    Lane lane = laneOf(walk, tiles);
    Walker walker{};
    walker.start(base, first, lane.slots, 0);
    while ((walker.slot < lane.slotEnd) & (walker.consumed <= endBit)) stepTwice(walker, flat, base, endBit, lane);
    walk.walked = tilesWalked(walker, lane, tiles);
}

void walkTileRunInTwo(const unsigned char* base, uint64_t first, uint64_t endBit, size_t tiles, TileRunWalk& walk,
                      TileRunWalk& spare) {
    const uint16_t* const flat = flatTable();
    prepare(walk, first, tiles);
    prepare(spare, (first + endBit) / 2 / 8 * 8, tiles);
    Lane lane = laneOf(walk, tiles);
    Lane guess = laneOf(spare, tiles);
    Walker walker{};
    Walker guesser{};
    walker.start(base, first, lane.slots, 0);
    guesser.start(base, guess.first, guess.slots, 0);
    // Both in turn until the first reaches the second's start; the second
    // starts again after a failure, forgetting what it recorded.
    while (true) {
        while ((walker.slot < lane.slotEnd) & (walker.consumed < guess.first) & (guesser.slot < guess.slotEnd) &
               (guesser.consumed <= endBit)) {
            stepTwice(walker, flat, base, endBit, lane);
            stepTwice(guesser, flat, base, endBit, guess);
        }
        if (!guess.failed || guess.failedAt > endBit) break;
        const size_t recorded = static_cast<size_t>(guess.failedSlot - guess.slots) / SlotsPerTile + 1;
        std::fill(guess.nonCanonical, guess.nonCanonical + std::min(recorded, tiles), 0);
        guess.failed = false;
        guess.first = guess.failedAt;
        guesser.start(base, guess.first, guess.slots, 0);
    }
    const size_t guessed = tilesWalked(guesser, guess, tiles);
    while ((walker.slot < lane.slotEnd) & (walker.consumed < guess.first)) stepTwice(walker, flat, base, endBit, lane);
    // Then alone, tile by tile, until one of its tile starts is one the
    // second recorded: from there on the second's records are taken.
    size_t compared = tilesWalked(walker, lane, tiles);
    size_t guessedTile = 0;
    bool meeting = guessed > 0;
    while (meeting && (walker.slot < lane.slotEnd) & (walker.consumed <= endBit)) {
        stepTwice(walker, flat, base, endBit, lane);
        const size_t known = tilesWalked(walker, lane, tiles);
        for (; meeting && compared <= known && compared < tiles; ++compared) {
            const uint64_t start = startOf(lane, compared);
            while (guessedTile < guessed && startOf(guess, guessedTile) < start) ++guessedTile;
            if (guessedTile == guessed) {
                meeting = false;
            } else if (startOf(guess, guessedTile) == start) {
                const size_t taken = std::min(guessed - guessedTile, tiles - compared);
                std::copy(guess.slots + guessedTile * SlotsPerTile,
                          guess.slots + (guessedTile + taken) * SlotsPerTile, lane.slots + compared * SlotsPerTile);
                std::copy(guess.nonCanonical + guessedTile, guess.nonCanonical + guessedTile + taken,
                          lane.nonCanonical + compared);
                walker.start(base, startOf(lane, compared + taken), lane.slots + (compared + taken) * SlotsPerTile, 0);
                meeting = false;
            }
        }
    }
    while ((walker.slot < lane.slotEnd) & (walker.consumed <= endBit)) stepTwice(walker, flat, base, endBit, lane);
    walk.walked = tilesWalked(walker, lane, tiles);
}

}  // namespace vorc::jpeg
