// The transcoder's fast walk over a run of tiles (parser -> transcoder):
// the codes of every block are followed with one table lookup a step and no
// branch on what the codes say, and each step writes the bit position it
// reached into the block's slot. Two slots a block: after its DC code and
// magnitude, and at its end. The DC values are not followed: they are read
// again from the slots afterwards with the true predictors, so that what a
// walk records depends only on where it starts and on which block of a tile
// it takes that for. That lets a second walker start at a guessed tile start
// in the middle of the scan; once the first walker reaches one of the tile
// starts the second recorded, the second walker's records are exactly the
// ones the first would make from there. walkBlock (block_walker.h) is the
// reference these walks give the same results as.
#ifndef VORC_JPEG_SLOT_WALKER_H
#define VORC_JPEG_SLOT_WALKER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/huffman_lookup.h"

namespace vorc::jpeg {

// Slot 2b: block b's position after its DC code and magnitude; slot 2b + 1:
// its end, where the next block's DC code starts.
constexpr int SlotsPerTile = 12;

// What a walk of a run of tiles recorded. Positions are bits from the
// walk's base, whose slots are 32 bits wide: the caller keeps a walk's bits
// and the ScanBitReader::ZeroMargin zero bytes after them below 2^32 bits.
struct TileRunWalk {
    uint64_t first = 0;
    // SlotsPerTile a tile, then room for the step a walker may take beyond
    // its last tile.
    std::vector<uint32_t> slots;
    // By tile: some block ends with ZRL codes that only lead to its end,
    // which an encoder codes otherwise.
    std::vector<uint8_t> nonCanonical;
    // Tiles whose slots are all final. The walk stops in the tile after
    // them at an invalid code, too many coefficients, or once it has passed
    // the end bit, so their last tile may end beyond the end bit.
    size_t walked = 0;

    uint64_t tileStart(size_t tile) const { return tile == 0 ? first : slots[tile * SlotsPerTile - 1]; }
    uint64_t tileEnd(size_t tile) const { return slots[tile * SlotsPerTile + SlotsPerTile - 1]; }
};

// Walks up to `tiles` tiles of `base` from bit `first` on, with one walker.
// The bits from `endBit` on count as past the end; at least
// ScanBitReader::ZeroMargin zero bytes must follow them.
void walkTileRun(const unsigned char* base, uint64_t first, uint64_t endBit, size_t tiles, TileRunWalk& walk);

// The same records as walkTileRun, walked by two walkers in turn: the
// second starts at a byte in the middle of the run's bits as if a tile
// started there, starts again where it fails, and its records are taken
// over from the first tile start both walkers share. `spare` holds the
// second walker's records.
void walkTileRunInTwo(const unsigned char* base, uint64_t first, uint64_t endBit, size_t tiles,
                      TileRunWalk& walk, TileRunWalk& spare);

// The DC difference whose code starts at `bit` of `base`; the code must be
// a valid one of `dc`.
inline int dcDifferenceAt(const unsigned char* base, uint64_t bit, const HuffmanLookup& dc) {
    uint64_t word;
    std::memcpy(&word, base + bit / 8, sizeof word);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    const uint64_t top = word << (bit % 8);
    const uint16_t entry = dc.symbolOf[top >> (64 - HuffmanLookup::LookupBits)];
    return extendedMagnitudeAt(top << (entry >> 8), 63 - (entry & 0x0F));
}

}  // namespace vorc::jpeg

#endif
