// The transcoder's memory of the image it wrote last: for every tile of the
// picture, the entropy-coded bits of its six blocks, so that writing the
// next image costs bit-aligned copies instead of coding it again. Between
// parser and JPEG receiver: the sweep takes each frame's scan into it and
// marks the tiles whose bits lie there (or has a tile coded afresh from its
// coefficients), and it writes the whole picture's scan.
//
// The store keeps plain (unstuffed) bits. Each frame's scan goes in whole,
// up to its first marker, and a tile the frame carries is kept as the
// string of its bits there, DC codes included. Three DC codes of a tile
// depend on the tile before it in the image (those of Y0, Cb and Cr). A
// tile is joined to the tile before it when its string follows that tile's
// directly and its DC codes are the ones the image needs, as with tiles one
// frame's scan carries one after the other: a run of joined tiles is
// copied into the image as one piece, and only the DC codes at a run's
// start are coded afresh, from the DC values kept beside the bits. So an
// image costs about one copy of its bits, with a few codes where the tiles
// of different frames meet.
//
// Tiles coded afresh are appended as strings without their three outer DC
// codes. Replaced strings stay behind as waste until it outgrows max(1 MiB,
// an eighth of the live bits), when the live strings are moved down
// together. So the store holds about one image's coded bits, and a frame's
// scan beside them.
#ifndef VORC_TRANSCODE_TILE_BIT_STORE_H
#define VORC_TRANSCODE_TILE_BIT_STORE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "vorc/jpeg/bit_writer.h"
#include "vorc/jpeg/jpeg_format.h"
#include "vorc/jpeg/plain_scan.h"

namespace vorc {

class TileBitStore {
public:
    static constexpr int CoefficientsPerTile = vorc::jpeg::CoefficientsPerTile;
    using ScanPosition = vorc::jpeg::ScanPosition;

    // How a tile's string of bits divides, in bits.
    struct TileLayout {
        uint16_t lumaDC;   // Y0's DC code with its magnitude; 0 when the string leaves it out
        uint16_t lumaRun;  // Y0's AC codes, then Y1..Y3 whole
        uint16_t blueDC;   // Cb's DC code, or 0
        uint16_t blueRun;  // Cb's AC codes
        uint16_t redDC;
        uint16_t redRun;
    };

    // The DC values of a tile's Y0, Y3, Cb and Cr blocks.
    struct TileDC {
        int16_t firstLuma;
        int16_t lastLuma;
        int16_t blue;
        int16_t red;
    };

    // Forgets everything and makes room for the tiles of a new grid; false
    // (and no tiles) when memory runs out.
    bool resize(size_t tiles);

    // Takes the plain bits of the clean part of a frame's scan, from `begin`
    // up to `cleanEnd`, the first byte that is an FF without a stuffed 00
    // after it (or the scan's end). Moves kept strings together first if
    // the waste has grown too large. A tile of that frame is kept from these
    // bits; one that reaches beyond them is coded afresh.
    void takeScan(const unsigned char* begin, const unsigned char* cleanEnd);
    // The store's bits, and the bit range of the scan taken last; at least
    // ScanBitReader::ZeroMargin zero bytes follow them. Valid until the next
    // takeScan or writeScan.
    const unsigned char* bits() const { return store_.data(); }
    uint64_t scanFirstBit() const { return uint64_t{scanStart_} * 8; }
    uint64_t scanCleanEndBit() const { return uint64_t{scanStart_ + scanCleanBytes_} * 8; }
    // A point of that scan's clean part (or its end) as a bit of the store,
    // and back.
    uint64_t bitOf(ScanPosition at) const;
    ScanPosition scanPositionOf(uint64_t bit) const;

    // Marks a tile as to be coded afresh from its coefficients, which must
    // be current.
    void forget(size_t tile);

    // Keeps a tile whose bits stand in the scan taken last from store bit
    // `first` on, laid out as `layout` says, with the DC values those bits
    // decode to. The tile is joined to the tile before it when that was the
    // last tile kept from the scan and ends where this one starts (or it is
    // the first tile), and dcCodesWritable says that its three outer DC
    // differences are ones an encoder writes. Without coefficientsCurrent,
    // the tile's coefficients in the coefficient store are older than the
    // bits, and restoreCoefficients must bring them up to date before
    // anything reads them.
    void keepScanBits(size_t tile, uint64_t first, const TileLayout& layout, const TileDC& dc,
                      bool dcCodesWritable, bool coefficientsCurrent);

    // Whether a kept tile's coefficients are older than its bits.
    bool coefficientsOutdated(size_t tile) const { return tiles_[tile].coefficientsOutdated; }
    // Decodes a tile's kept bits into its CoefficientsPerTile coefficients.
    void restoreCoefficients(size_t tile, int16_t* coefficients);

    // Writes the scan of the whole picture into `scan` from offset `start`
    // on and returns the offset behind it: every tile in index order, those
    // forgotten coded afresh from `coefficients` (CoefficientsPerTile values
    // a tile). The last byte is padded with 0 bits. A DC difference or AC
    // value without a code is a fatal stream error, after which the tiles
    // are kept as before.
    size_t writeScan(vorc::jpeg::ByteBuffer& scan, size_t start, const int16_t* coefficients);

private:
    struct FreeDeleter {
        void operator()(void* memory) const { std::free(memory); }
    };
    struct TileBits {
        uint64_t offset;  // of the tile's string in the store, in bits
        TileLayout layout;
        TileDC dc;
        bool coefficientsOutdated;
    };
    // One bit a tile, so that finding runs reads little.
    class TileSet {
    public:
        bool resize(size_t tiles);
        bool has(size_t tile) const { return (words_[tile / 64] >> (tile % 64) & 1) != 0; }
        void add(size_t tile) { words_[tile / 64] |= uint64_t{1} << (tile % 64); }
        void remove(size_t tile) { words_[tile / 64] &= ~(uint64_t{1} << (tile % 64)); }
        // The first tile from `from` on that is not in the set, or `end`.
        size_t nextMissing(size_t from, size_t end) const;

    private:
        std::unique_ptr<uint64_t[], FreeDeleter> words_;
        size_t wordCount_ = 0;
    };
    void codeTile(size_t tile, const int16_t* coefficients);
    void keep(size_t tile, uint64_t offset, const TileLayout& layout, const TileDC& dc);
    void compactIfWasteful();

    std::unique_ptr<TileBits[], FreeDeleter> tiles_;
    // Kept tiles, whose strings are in the store; the others are coded
    // afresh at the next writeScan. Joined tiles, kept and copied on from
    // the tile before them as they stand.
    TileSet kept_;
    TileSet joined_;
    std::unique_ptr<uint32_t[], FreeDeleter> compactionOrder_;
    size_t tileCount_ = 0;
    vorc::jpeg::ByteBuffer store_;
    vorc::jpeg::ByteBuffer restoreScan_;  // one tile's bits, for restoreCoefficients
    size_t usedBytes_ = 0;  // live bits, waste and the scan taken last
    uint64_t liveBits_ = 0;
    // The scan taken last: where its plain bits start in the store, how
    // many plain bytes it has, where it starts as a stuffed scan, and the
    // plain offset of each FF byte (each stuffed with 00).
    size_t scanStart_ = 0;
    size_t scanCleanBytes_ = 0;
    const unsigned char* scanBegin_ = nullptr;
    std::vector<uint32_t> scanFFs_;
    // The last tile kept from that scan and where its string ends.
    size_t lastKeptTile_ = 0;
    uint64_t lastKeptEnd_ = 0;
    bool anyKeptFromScan_ = false;
};

}  // namespace vorc

#endif
