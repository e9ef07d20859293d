// The transcoder's walks ahead (slot_walker.h), with one walker and with a
// speculative second one, against walkBlock's walk tile by tile: on
// libjpeg-turbo's scans at several qualities, on copies of them with
// flipped bits and random tails, and on synthetic scans with what the fast
// path leaves to others (long codes, ZRL runs, ZRL then EOB, ZRLs up to
// position 64, coefficients at 63, 11-bit DC codes, invalid codes). Every
// tile a walk reports must have walkBlock's slots, flag and DC values, and
// the walk must stop where walkBlock fails or passes the end.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "support/libjpeg_helpers.h"
#include "vorc/jpeg/block_encoder.h"
#include "vorc/jpeg/block_walker.h"
#include "vorc/jpeg/scan_bit_reader.h"
#include "vorc/jpeg/slot_walker.h"

using namespace vorctest;
using namespace vorc::jpeg;

namespace {

// The plain bits of a scan's clean part, followed by the zero bytes the
// walks read past the end.
struct PlainScan {
    Bytes bytes;
    uint64_t endBit = 0;
};

PlainScan plainOf(const Bytes& scan) {
    PlainScan plain;
    for (size_t i = 0; i < scan.size(); ++i) {
        if (scan[i] == 0xFF && (i + 1 == scan.size() || scan[i + 1] != 0)) break;
        plain.bytes.push_back(scan[i]);
        if (scan[i] == 0xFF) ++i;
    }
    plain.endBit = plain.bytes.size() * 8;
    plain.bytes.resize(plain.bytes.size() + ScanBitReader::ZeroMargin, 0);
    return plain;
}

// The entropy-coded data of a JPEG file: what follows its SOS segment.
Bytes entropyCodedOf(const Bytes& jpeg) {
    size_t at = 2;
    while (jpeg.at(at + 1) != 0xDA) at += 2 + size_t(jpeg.at(at + 2) << 8 | jpeg.at(at + 3));
    return Bytes(jpeg.begin() + long(at + 2 + size_t(jpeg[at + 2] << 8 | jpeg[at + 3])), jpeg.end());
}

// walkBlock's walk from `first`, tile by tile: every tile it walked whole,
// and how many of them end by the end bit before the first that fails or
// ends past it.
struct ReferenceWalk {
    std::vector<uint32_t> slots;
    std::vector<uint8_t> nonCanonical;
    std::vector<std::array<int16_t, 3>> predictors;  // after each tile
    size_t withinEnd = 0;
};

ReferenceWalk referenceWalk(const PlainScan& scan, uint64_t first, size_t tiles) {
    const WalkTables& tables = standardWalkTables();
    ReferenceWalk walk;
    ScanBitReader reader;
    reader.start(scan.bytes.data(), first, scan.endBit);
    std::array<int16_t, 3> predictors{0, 0, 0};
    bool withinEnd = true;
    for (size_t tile = 0; tile < tiles; ++tile) {
        bool canonical = true;
        for (int block = 0; block < 6; ++block) {
            const int componentClass = block < 4 ? 0 : 1;
            uint64_t afterDC = 0;
            if (!walkBlock(reader, tables.lookups.dc[componentClass], tables.lookups.ac[componentClass],
                           tables.ac[componentClass], predictors[size_t(block < 4 ? 0 : block - 3)], canonical,
                           afterDC))
                return walk;
            walk.slots.push_back(uint32_t(afterDC));
            walk.slots.push_back(uint32_t(reader.position()));
        }
        walk.nonCanonical.push_back(!canonical);
        walk.predictors.push_back(predictors);
        withinEnd = withinEnd && !reader.overran();
        if (!withinEnd) return walk;
        walk.withinEnd = tile + 1;
    }
    return walk;
}

// Both walks against walkBlock's.
void expectWalkBlocksWalk(const PlainScan& scan, uint64_t first, size_t tiles, const std::string& what) {
    const ReferenceWalk expected = referenceWalk(scan, first, tiles);
    TileRunWalk one;
    TileRunWalk two;
    TileRunWalk spare;
    walkTileRun(scan.bytes.data(), first, scan.endBit, tiles, one);
    walkTileRunInTwo(scan.bytes.data(), first, scan.endBit, tiles, two, spare);
    const StandardLookups& lookups = standardLookups();
    for (const TileRunWalk* walk : {&one, &two}) {
        const std::string which = what + (walk == &one ? " (one walker)" : " (two walkers)");
        // It may finish the tile that passes the end, never one walkBlock failed in.
        ASSERT_GE(walk->walked, expected.withinEnd) << which;
        ASSERT_LE(walk->walked, expected.nonCanonical.size()) << which;
        ASSERT_LE(walk->walked, expected.withinEnd + 1) << which;
        std::array<int16_t, 3> predictors{0, 0, 0};
        for (size_t tile = 0; tile < walk->walked; ++tile) {
            for (int slot = 0; slot < SlotsPerTile; ++slot)
                ASSERT_EQ(walk->slots[tile * SlotsPerTile + size_t(slot)],
                          expected.slots[tile * SlotsPerTile + size_t(slot)])
                    << which << ", tile " << tile << " slot " << slot;
            ASSERT_EQ(walk->nonCanonical[tile], expected.nonCanonical[tile]) << which << ", tile " << tile;
            for (int block = 0; block < 6; ++block) {
                const uint64_t dcCode = block == 0 ? walk->tileStart(tile) : walk->slots[tile * SlotsPerTile + size_t(2 * block - 1)];
                int16_t& predictor = predictors[size_t(block < 4 ? 0 : block - 3)];
                predictor = int16_t(predictor + dcDifferenceAt(scan.bytes.data(), dcCode, lookups.dc[block < 4 ? 0 : 1]));
            }
            ASSERT_EQ(predictors, expected.predictors[tile]) << which << ", tile " << tile;
        }
    }
}

// Codes symbols with the standard tables, most significant bit first.
class SymbolWriter {
public:
    void bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            accu_ = accu_ << 1 | (value >> i & 1);
            if (++pending_ == 8) {
                bytes_.push_back(uint8_t(accu_));
                accu_ = 0;
                pending_ = 0;
            }
        }
    }
    void dc(int componentClass, int size, uint32_t magnitude) {
        const HuffmanCode code = book(componentClass).dc[size];
        bits(code.bits, code.length);
        bits(magnitude, size);
    }
    void ac(int componentClass, int symbol, uint32_t magnitude) {
        const HuffmanCode code = book(componentClass).ac[symbol];
        bits(code.bits, code.length);
        bits(magnitude, symbol & 0x0F);
    }
    // Pads with 1 bits and stuffs each FF with 00.
    Bytes finish() {
        while (pending_ != 0) bits(1, 1);
        Bytes scan;
        for (const uint8_t byte : bytes_) {
            scan.push_back(byte);
            if (byte == 0xFF) scan.push_back(0);
        }
        return scan;
    }

private:
    static const EncoderCodeBook& book(int componentClass) {
        return standardCodeBook(static_cast<ComponentClass>(componentClass));
    }
    Bytes bytes_;
    uint32_t accu_ = 0;
    int pending_ = 0;
};

// Random blocks with every kind of ending: a coefficient at 63, ZRL then
// EOB, ZRLs up to 64, long runs and large magnitudes (long codes), DC
// differences of every size (11-bit chrominance DC codes, 2047 itself).
Bytes syntheticScan(size_t tiles, uint32_t seed) {
    std::mt19937 random(seed);
    SymbolWriter out;
    const auto size = [&](int largest) {
        int s = 1;
        while (s < largest && random() % 3 == 0) ++s;
        return s;
    };
    const int zeroRun = 0xF0;
    for (size_t tile = 0; tile < tiles; ++tile)
        for (int block = 0; block < 6; ++block) {
            const int c = block < 4 ? 0 : 1;
            const int dcSize = random() % 8 == 0 ? int(random() % 12) : int(random() % 4);
            out.dc(c, dcSize, dcSize == 11 && random() % 4 == 0 ? 0x7FF : random() & ((1u << dcSize) - 1));
            int position = 1;
            const int style = int(random() % 8);  // 0: up to 63; 1: may end with ZRL then EOB; 2: ZRLs up to 64
            while (true) {
                if (style != 0 && random() % 6 == 0) {
                    if (style == 1 && position + 16 <= 63) out.ac(c, zeroRun, 0);
                    if (style == 2 && position <= 47) {
                        while (position + 16 <= 47) {
                            out.ac(c, zeroRun, 0);
                            position += 16;
                        }
                        const int run = 47 - position;
                        const int s = size(10);
                        out.ac(c, run << 4 | s, random());
                        out.ac(c, zeroRun, 0);
                        break;
                    }
                    out.ac(c, 0, 0);
                    break;
                }
                if (random() % 10 == 0 && position + 16 <= 63) {
                    out.ac(c, zeroRun, 0);
                    position += 16;
                    continue;
                }
                int run = random() % 4 == 0 ? int(random() % 16) : int(random() % 3);
                if (position + run > 63) run = 63 - position;
                const int s = size(10);
                out.ac(c, run << 4 | s, random() & ((1u << s) - 1));
                position += run + 1;
                if (position == 64) break;
            }
        }
    return out.finish();
}

// Flips a few bits, and now and then replaces everything from a byte on.
PlainScan corrupted(PlainScan scan, std::mt19937& random) {
    const int flips = 1 + int(random() % 4);
    for (int i = 0; i < flips; ++i) {
        const uint64_t bit = random() % scan.endBit;
        scan.bytes[bit / 8] ^= uint8_t(0x80 >> bit % 8);
    }
    if (random() % 4 == 0)
        for (size_t i = random() % (scan.endBit / 8); i < scan.endBit / 8; ++i) scan.bytes[i] = uint8_t(random());
    return scan;
}

TEST(SlotWalker, LibjpegScansAndCorruptedCopies) {
    const RgbPicture picture = syntheticPicture(320, 240, false, 7);
    const size_t tiles = 20 * 15;
    std::mt19937 random(11);
    for (const int quality : {50, 75, 90, 98}) {
        const PlainScan scan = plainOf(entropyCodedOf(compressJpeg(picture, quality)));
        const std::string what = "quality " + std::to_string(quality);
        expectWalkBlocksWalk(scan, 0, tiles, what);
        // From a tile start inside, as after a tile decoded exactly.
        const ReferenceWalk whole = referenceWalk(scan, 0, tiles);
        ASSERT_EQ(whole.withinEnd, tiles) << what;
        expectWalkBlocksWalk(scan, whole.slots[100 * SlotsPerTile - 1], tiles - 100, what + " from tile 100");
        // A run longer than the scan: the walks stop past its end.
        expectWalkBlocksWalk(scan, 0, tiles + 50, what + " with tiles beyond the end");
        for (int copy = 0; copy < 40; ++copy)
            expectWalkBlocksWalk(corrupted(scan, random), 0, tiles, what + ", copy " + std::to_string(copy));
    }
}

TEST(SlotWalker, SyntheticScansWithEveryEnding) {
    std::mt19937 random(13);
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const size_t tiles = 64 + 40 * seed;
        const PlainScan scan = plainOf(syntheticScan(tiles, seed));
        const std::string what = "seed " + std::to_string(seed);
        const ReferenceWalk whole = referenceWalk(scan, 0, tiles);
        ASSERT_EQ(whole.predictors.size(), tiles) << what;
        size_t nonCanonical = 0;
        for (const uint8_t flag : whole.nonCanonical) nonCanonical += flag;
        EXPECT_GT(nonCanonical, 0u) << what;
        expectWalkBlocksWalk(scan, 0, tiles, what);
        // Other starts put the second walker elsewhere.
        for (size_t from = 1; from < tiles / 2; from += 3)
            expectWalkBlocksWalk(scan, whole.slots[from * SlotsPerTile - 1], tiles - from,
                                 what + " from tile " + std::to_string(from));
        for (int copy = 0; copy < 10; ++copy)
            expectWalkBlocksWalk(corrupted(scan, random), 0, tiles, what + ", copy " + std::to_string(copy));
    }
}

// The second walker starts in the middle: an invalid code just after it,
// so that it fails and starts again and the first fails there too; a scan
// whose second half is noise, where the walkers may never meet; a first
// walker that fails before the middle; and starts at every bit of a tile.
TEST(SlotWalker, SecondWalkerInBadPlaces) {
    const PlainScan clean = plainOf(entropyCodedOf(compressJpeg(syntheticPicture(320, 240, false, 3), 85)));
    const size_t tiles = 300;
    std::mt19937 random(17);
    for (const uint64_t at : {clean.endBit / 2 + 3, clean.endBit / 2 + 40, clean.endBit / 2 + 400, clean.endBit / 3}) {
        PlainScan broken = clean;
        for (uint64_t bit = at; bit < at + 32; ++bit) broken.bytes[bit / 8] |= uint8_t(0x80 >> bit % 8);
        expectWalkBlocksWalk(broken, 0, tiles, "all ones from bit " + std::to_string(at));
        PlainScan noisy = clean;
        for (uint64_t byte = at / 8; byte < clean.endBit / 8; ++byte) noisy.bytes[byte] = uint8_t(random());
        expectWalkBlocksWalk(noisy, 0, tiles, "noise from bit " + std::to_string(at));
    }
    for (uint64_t first = 0; first < 64; ++first) expectWalkBlocksWalk(clean, first, tiles, "from bit " + std::to_string(first));
}

}  // namespace
