// The transcoder's memory of the image it wrote last: for every tile of the
// picture, the entropy-coded bits of its six blocks, so that writing the
// next image costs a bit-aligned copy per tile instead of coding it again.
// Between parser and JPEG receiver: the sweep fills it from the frame's scan
// (or has a tile coded afresh from its coefficients) and writes the whole
// picture's scan from it.
//
// A tile's bits are kept as one string of plain (unstuffed) bits starting
// on a byte: everything after Y0's DC code. Three DC codes in a tile depend
// on the tile before it in the image (those of Y0, Cb and Cr); writeScan
// codes them afresh from the DC values kept beside the bits, leaving out the
// Cb and Cr codes inside the string.
//
// Strings are appended to one store; replaced ones stay behind as waste
// until it outgrows max(1 MiB, an eighth of the live bits), when the live
// strings are moved down together. So the store holds about one image's
// coded bits.
#ifndef VORC_TRANSCODE_TILE_BIT_STORE_H
#define VORC_TRANSCODE_TILE_BIT_STORE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "vorc/jpeg/bit_writer.h"

class vorcTileBitStore {
public:
    static constexpr int CoefficientsPerTile = 384;

    // A point in a stuffed scan: the byte holding the next bit and that
    // bit's mask, as the scan bit reader keeps them.
    struct ScanPosition {
        const unsigned char* byte;
        uint8_t mask;
    };

    // The position `bits` bits (not counting stuffed bytes) after `at`.
    static ScanPosition skipBits(ScanPosition at, unsigned bits);
    // The bits (not counting stuffed bytes) from `from` up to `to`.
    static unsigned bitsBetween(ScanPosition from, ScanPosition to);

    // How a tile's bits after Y0's DC code divide, in bits.
    struct TileLayout {
        uint16_t lumaRun;  // Y0's AC codes, then Y1..Y3 whole
        uint16_t blueDC;   // Cb's DC code
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

    // Marks a tile as to be coded afresh from its coefficients, which must
    // be current.
    void forget(size_t tile);

    // Keeps a tile's bits as they stand in a frame's scan (which ends before
    // scanEnd) from `from` (the end of Y0's DC code) on, laid out as
    // `layout` says, with the DC values those bits decode to. Without coefficientsCurrent, the tile's
    // coefficients in the coefficient store are older than the bits, and
    // restoreCoefficients must bring them up to date before anything reads
    // them.
    void keepScanBits(size_t tile, ScanPosition from, const unsigned char* scanEnd, const TileLayout& layout,
                      const TileDC& dc, bool coefficientsCurrent);

    // Whether a kept tile's coefficients are older than its bits.
    bool coefficientsOutdated(size_t tile) const { return tiles_[tile].coefficientsOutdated; }
    // Decodes a tile's kept bits into its CoefficientsPerTile coefficients.
    void restoreCoefficients(size_t tile, int16_t* coefficients);

    // Writes the scan of the whole picture into `scan` from offset `start`
    // on and returns the offset behind it: every tile in index order, those
    // forgotten coded afresh from `coefficients` (CoefficientsPerTile values
    // a tile). The last byte is padded with 0 bits. A DC difference or AC
    // value without a code is a fatal stream error, after which the store is
    // as before.
    size_t writeScan(vorc::jpeg::ByteBuffer& scan, size_t start, const int16_t* coefficients);

    // Moves the live strings together when the waste has grown too large.
    void compactIfWasteful();

private:
    struct TileBits {
        size_t offset;  // of the tile's bits in the store
        TileLayout layout;
        TileDC dc;
        bool kept;  // false: code it afresh at the next writeScan
        bool coefficientsOutdated;
    };
    struct FreeDeleter {
        void operator()(void* memory) const { std::free(memory); }
    };

    static size_t storedBytes(const TileBits& bits);
    void codeTile(size_t tile, const int16_t* coefficients);
    // Takes the bits that a writer has just put from `offset` on.
    void keep(TileBits& bits, size_t offset, const TileLayout& layout, const TileDC& dc);

    std::unique_ptr<TileBits[], FreeDeleter> tiles_;
    std::unique_ptr<uint32_t[], FreeDeleter> compactionOrder_;
    size_t tileCount_ = 0;
    vorc::jpeg::ByteBuffer store_;
    vorc::jpeg::ByteBuffer restoreScan_;  // one tile's scan, for restoreCoefficients
    size_t usedBytes_ = 0;  // live bits and waste
    size_t liveBytes_ = 0;
};

#endif
