// The tile bit store: tiles' plain bits taken from frames' scans or coded
// afresh, and the whole picture's scan written from them.
#include "vorc/transcode/tile_bit_store.h"

#include <algorithm>
#include <cstring>

#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/block_encoder.h"

namespace {

using vorc::jpeg::ByteBuffer;
using vorc::jpeg::PlainBitWriter;
using vorc::jpeg::ScanBitWriter;

constexpr size_t MinimumWasteBeforeCompaction = size_t{1} << 20;
constexpr size_t LumaBlockSize = 64;
constexpr size_t LastLumaBlock = 3 * LumaBlockSize;
constexpr size_t BlueBlock = 4 * LumaBlockSize;
constexpr size_t RedBlock = 5 * LumaBlockSize;

constexpr size_t bytesFor(size_t bits) { return (bits + 7) / 8; }

// Index of the bit a mask picks, 0 for the most significant.
unsigned bitIndex(uint8_t mask) { return 7u - static_cast<unsigned>(__builtin_ctz(mask)); }

// `count` bits of a stuffed scan from `start` on, without the 00 bytes
// stuffed after each FF: eight bytes at a time where none of them is FF and
// the scan goes on for eight more bytes, byte by byte otherwise.
void copyScanBits(PlainBitWriter& writer, vorcTileBitStore::ScanPosition start, size_t count,
                  const unsigned char* scanEnd) {
    const unsigned char* byte = start.byte;
    unsigned skipped = bitIndex(start.mask);
    while (count != 0) {
        if (scanEnd - byte >= 8) {
            const uint64_t word = vorc::jpeg::loadBigEndian64(byte);
            if (!vorc::jpeg::hasByteFF(word)) {
                const unsigned taken = static_cast<unsigned>(std::min<size_t>(count, 64 - skipped));
                writer.putTop(word << skipped, taken);
                count -= taken;
                byte += 8;
                skipped = 0;
                continue;
            }
        }
        const unsigned taken = static_cast<unsigned>(std::min<size_t>(count, 8 - skipped));
        writer.put((*byte >> (8 - skipped - taken)) & ((1u << taken) - 1u), taken);
        count -= taken;
        byte += *byte == 0xFF ? 2 : 1;
        skipped = 0;
    }
}

unsigned totalBits(const vorcTileBitStore::TileLayout& layout) {
    return unsigned{layout.lumaRun} + layout.blueDC + layout.blueRun + layout.redDC + layout.redRun;
}

// The code books of luminance and chrominance.
struct CodeBooks {
    const vorc::jpeg::EncoderCodeBook& luma = vorc::jpeg::standardCodeBook(vorc::jpeg::Luminance);
    const vorc::jpeg::EncoderCodeBook& chroma = vorc::jpeg::standardCodeBook(vorc::jpeg::Chrominance);
};

// Puts a tile's kept bits (from `from` on) with the given DC differences of
// Y0, Cb and Cr, leaving out the Cb and Cr DC codes among the bits.
void putTile(ScanBitWriter& writer, const CodeBooks& books, const unsigned char* from,
             const vorcTileBitStore::TileLayout& layout, int lumaDifference, int blueDifference,
             int redDifference) {
    vorc::jpeg::putDCDifference(writer, lumaDifference, books.luma);
    writer.copy(from, 0, layout.lumaRun);
    size_t at = size_t{layout.lumaRun} + layout.blueDC;
    vorc::jpeg::putDCDifference(writer, blueDifference, books.chroma);
    writer.copy(from + at / 8, at % 8, layout.blueRun);
    at += size_t{layout.blueRun} + layout.redDC;
    vorc::jpeg::putDCDifference(writer, redDifference, books.chroma);
    writer.copy(from + at / 8, at % 8, layout.redRun);
}

}  // namespace

vorcTileBitStore::ScanPosition vorcTileBitStore::skipBits(ScanPosition at, unsigned bits) {
    unsigned index = bitIndex(at.mask) + bits;
    for (; index >= 8; index -= 8) at.byte += *at.byte == 0xFF ? 2 : 1;
    at.mask = static_cast<uint8_t>(0x80u >> index);
    return at;
}

unsigned vorcTileBitStore::bitsBetween(ScanPosition from, ScanPosition to) {
    unsigned bytes = 0;
    for (const unsigned char* byte = from.byte; byte < to.byte; byte += *byte == 0xFF ? 2 : 1) ++bytes;
    return 8 * bytes + bitIndex(to.mask) - bitIndex(from.mask);
}

bool vorcTileBitStore::resize(size_t tiles) {
    tiles_.reset(static_cast<TileBits*>(std::calloc(tiles, sizeof(TileBits))));
    compactionOrder_.reset(static_cast<uint32_t*>(std::calloc(tiles, sizeof(uint32_t))));
    usedBytes_ = 0;
    liveBytes_ = 0;
    if (tiles_ == nullptr || compactionOrder_ == nullptr || tiles > UINT32_MAX) {
        tiles_.reset();
        compactionOrder_.reset();
        tileCount_ = 0;
        return false;
    }
    tileCount_ = tiles;
    return true;
}

size_t vorcTileBitStore::storedBytes(const TileBits& bits) { return bytesFor(totalBits(bits.layout)); }

void vorcTileBitStore::forget(size_t tile) {
    TileBits& bits = tiles_[tile];
    if (!bits.kept) return;
    liveBytes_ -= storedBytes(bits);
    bits.kept = false;
}

void vorcTileBitStore::keep(TileBits& bits, size_t offset, const TileLayout& layout, const TileDC& dc) {
    bits.offset = offset;
    bits.layout = layout;
    bits.dc = dc;
    bits.kept = true;
    bits.coefficientsOutdated = false;
    usedBytes_ = offset + storedBytes(bits);
    liveBytes_ += storedBytes(bits);
    // The word-wise copies read up to 8 bytes beyond a tile's bits.
    store_.reserve(usedBytes_ + sizeof(uint64_t), usedBytes_);
}

void vorcTileBitStore::keepScanBits(size_t tile, ScanPosition from, const unsigned char* scanEnd,
                                    const TileLayout& layout, const TileDC& dc, bool coefficientsCurrent) {
    forget(tile);
    PlainBitWriter writer(store_, usedBytes_);
    copyScanBits(writer, from, totalBits(layout), scanEnd);
    writer.alignToByte(0);
    keep(tiles_[tile], usedBytes_, layout, dc);
    tiles_[tile].coefficientsOutdated = !coefficientsCurrent;
}

// The tile's bits as a scan of their own, with the predictors at the tile's
// own DC values (so its three outer DC differences are 0), decoded as the
// transcoder decodes a frame's scan; zero bytes behind it give the fast
// reader its margin.
void vorcTileBitStore::restoreCoefficients(size_t tile, int16_t* coefficients) {
    using namespace vorc::jpeg;
    TileBits& bits = tiles_[tile];
    ScanBitWriter writer(restoreScan_, 0);
    putTile(writer, CodeBooks{}, store_.data() + bits.offset, bits.layout, 0, 0, 0);
    const size_t length = writer.alignToByte(0);
    const size_t withMargin = length + ScanBitReader::BlockMargin;
    restoreScan_.reserve(withMargin, length);
    std::memset(restoreScan_.data() + length, 0, ScanBitReader::BlockMargin);

    ScanBitReader reader;
    reader.start(restoreScan_.data(), restoreScan_.data() + withMargin);
    const StandardLookups& lookups = standardLookups();
    int16_t predictors[3] = {bits.dc.firstLuma, bits.dc.blue, bits.dc.red};
    for (size_t block = 0; block < 6; ++block) {
        const size_t componentClass = block < 4 ? 0 : 1;
        int16_t* coded = coefficients + block * LumaBlockSize;
        std::memset(coded, 0, LumaBlockSize * sizeof(int16_t));
        int lastPosition = 0;
        int endPosition = 0;
        decodeBlock<OnInvalidCodeword::UseExactReader>(
            reader, lookups.dc[componentClass], lookups.ac[componentClass], coded,
            predictors[block < 4 ? 0 : block - 3], lastPosition, endPosition);
    }
    bits.coefficientsOutdated = false;
}

// Coded afresh, a tile has no Cb and Cr DC codes among its kept bits.
void vorcTileBitStore::codeTile(size_t tile, const int16_t* coefficients) {
    using namespace vorc::jpeg;
    const EncoderCodeBook& luma = standardCodeBook(Luminance);
    const EncoderCodeBook& chroma = standardCodeBook(Chrominance);
    PlainBitWriter writer(store_, usedBytes_);
    putACCoefficients(writer, coefficients, luma);
    for (size_t block = 1; block < 4; ++block) {
        const int16_t* coded = coefficients + block * LumaBlockSize;
        putDCDifference(writer, static_cast<int16_t>(coded[0] - coded[-64]), luma);
        putACCoefficients(writer, coded, luma);
    }
    const uint64_t lumaRun = writer.bitsPut();
    putACCoefficients(writer, coefficients + BlueBlock, chroma);
    const uint64_t blueRun = writer.bitsPut() - lumaRun;
    putACCoefficients(writer, coefficients + RedBlock, chroma);
    const uint64_t redRun = writer.bitsPut() - lumaRun - blueRun;
    writer.alignToByte(0);
    keep(tiles_[tile], usedBytes_,
         TileLayout{static_cast<uint16_t>(lumaRun), 0, static_cast<uint16_t>(blueRun), 0,
                    static_cast<uint16_t>(redRun)},
         TileDC{coefficients[0], coefficients[LastLumaBlock], coefficients[BlueBlock], coefficients[RedBlock]});
}

size_t vorcTileBitStore::writeScan(ByteBuffer& scan, size_t start, const int16_t* coefficients) {
    ScanBitWriter writer(scan, start);
    const CodeBooks books;
    int16_t lumaPredictor = 0;
    int16_t bluePredictor = 0;
    int16_t redPredictor = 0;
    for (size_t tile = 0; tile < tileCount_; ++tile) {
        const TileBits& bits = tiles_[tile];
        if (!bits.kept) codeTile(tile, coefficients + tile * CoefficientsPerTile);
        putTile(writer, books, store_.data() + bits.offset, bits.layout,
                static_cast<int16_t>(bits.dc.firstLuma - lumaPredictor),
                static_cast<int16_t>(bits.dc.blue - bluePredictor), static_cast<int16_t>(bits.dc.red - redPredictor));
        lumaPredictor = bits.dc.lastLuma;
        bluePredictor = bits.dc.blue;
        redPredictor = bits.dc.red;
    }
    return writer.alignToByte(0);
}

void vorcTileBitStore::compactIfWasteful() {
    const size_t waste = usedBytes_ - liveBytes_;
    if (waste <= std::max(MinimumWasteBeforeCompaction, liveBytes_ / 8)) return;
    // Moving the tiles' bits in the order they lie in the store only ever
    // moves them down, onto waste or onto bytes already moved away.
    uint32_t* order = compactionOrder_.get();
    size_t kept = 0;
    for (size_t tile = 0; tile < tileCount_; ++tile)
        if (tiles_[tile].kept) order[kept++] = static_cast<uint32_t>(tile);
    std::sort(order, order + kept,
              [this](uint32_t a, uint32_t b) { return tiles_[a].offset < tiles_[b].offset; });
    size_t to = 0;
    for (size_t i = 0; i < kept; ++i) {
        TileBits& bits = tiles_[order[i]];
        const size_t bytes = storedBytes(bits);
        std::memmove(store_.data() + to, store_.data() + bits.offset, bytes);
        bits.offset = to;
        to += bytes;
    }
    usedBytes_ = to;
}
