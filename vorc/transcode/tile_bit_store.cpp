// The tile bit store: frames' scans as plain bits, the tiles' strings in
// them or coded afresh, and the whole picture's scan written from them.
#include "vorc/transcode/tile_bit_store.h"

#include <algorithm>
#include <cstring>

#include "vorc/dsp/kernel_table.h"
#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/block_encoder.h"
#include "vorc/jpeg/plain_scan.h"
#include "vorc/jpeg/scan_bit_reader.h"

namespace vorc {

namespace {

using vorc::jpeg::ByteBuffer;
using vorc::jpeg::PlainBitWriter;
using vorc::jpeg::ScanBitWriter;

constexpr size_t MinimumWasteBeforeCompaction = size_t{1} << 20;
constexpr size_t LumaBlockSize = 64;
constexpr size_t LastLumaBlock = 3 * LumaBlockSize;
constexpr size_t BlueBlock = 4 * LumaBlockSize;
constexpr size_t RedBlock = 5 * LumaBlockSize;
// Behind the last string: the copies read up to 8 bytes beyond a string's
// last byte, the fast reader its zero margin beyond a scan.
constexpr size_t StoreMargin = vorc::jpeg::ScanBitReader::ZeroMargin;

constexpr size_t bytesFor(uint64_t bits) { return static_cast<size_t>((bits + 7) / 8); }

// Index of the bit a mask picks, 0 for the most significant.
unsigned bitIndex(uint8_t mask) { return 7u - static_cast<unsigned>(__builtin_ctz(mask)); }

unsigned totalBits(const TileBitStore::TileLayout& layout) {
    return unsigned{layout.lumaDC} + layout.lumaRun + layout.blueDC + layout.blueRun + layout.redDC + layout.redRun;
}

// The code books of luminance and chrominance.
struct CodeBooks {
    const vorc::jpeg::EncoderCodeBook& luma = vorc::jpeg::standardCodeBook(vorc::jpeg::Luminance);
    const vorc::jpeg::EncoderCodeBook& chroma = vorc::jpeg::standardCodeBook(vorc::jpeg::Chrominance);
};

// Copies `count` bits of the store from bit `first` on.
template <typename Writer>
void copyBits(Writer& writer, const unsigned char* store, uint64_t first, uint64_t count) {
    writer.copy(store + first / 8, static_cast<unsigned>(first % 8), static_cast<size_t>(count));
}

// Puts a tile's string (at bit `first` of the store) with its three outer
// DC codes coded afresh for the given differences, leaving out those the
// string holds, and `more` bits of the store that follow the string.
template <typename Writer>
void putTile(Writer& writer, const CodeBooks& books, const unsigned char* store, uint64_t first,
             const TileBitStore::TileLayout& layout, int lumaDifference, int blueDifference, int redDifference,
             uint64_t more) {
    uint64_t at = first + layout.lumaDC;
    vorc::jpeg::putDCDifference(writer, lumaDifference, books.luma);
    copyBits(writer, store, at, layout.lumaRun);
    at += uint64_t{layout.lumaRun} + layout.blueDC;
    vorc::jpeg::putDCDifference(writer, blueDifference, books.chroma);
    copyBits(writer, store, at, layout.blueRun);
    at += uint64_t{layout.blueRun} + layout.redDC;
    vorc::jpeg::putDCDifference(writer, redDifference, books.chroma);
    copyBits(writer, store, at, layout.redRun + more);
}

}  // namespace

bool TileBitStore::TileSet::resize(size_t tiles) {
    wordCount_ = (tiles + 63) / 64;
    words_.reset(static_cast<uint64_t*>(std::calloc(wordCount_, sizeof(uint64_t))));
    return words_ != nullptr || wordCount_ == 0;
}

size_t TileBitStore::TileSet::nextMissing(size_t from, size_t end) const {
    size_t word = from / 64;
    if (word >= wordCount_) return end;
    uint64_t missing = ~words_[word] & (~uint64_t{0} << (from % 64));
    while (missing == 0) {
        if (++word == wordCount_) return end;
        missing = ~words_[word];
    }
    return std::min(end, word * 64 + static_cast<size_t>(__builtin_ctzll(missing)));
}

bool TileBitStore::resize(size_t tiles) {
    tiles_.reset(static_cast<TileBits*>(std::calloc(tiles, sizeof(TileBits))));
    compactionOrder_.reset(static_cast<uint32_t*>(std::calloc(tiles, sizeof(uint32_t))));
    const bool setsMade = kept_.resize(tiles) && joined_.resize(tiles);
    usedBytes_ = 0;
    liveBits_ = 0;
    scanStart_ = 0;
    scanCleanBytes_ = 0;
    scanFFs_.clear();
    anyKeptFromScan_ = false;
    if (tiles_ == nullptr || compactionOrder_ == nullptr || !setsMade || tiles > UINT32_MAX) {
        tiles_.reset();
        compactionOrder_.reset();
        kept_.resize(0);
        joined_.resize(0);
        tileCount_ = 0;
        return false;
    }
    tileCount_ = tiles;
    return true;
}

void TileBitStore::takeScan(const unsigned char* begin, const unsigned char* cleanEnd) {
    compactIfWasteful();
    const size_t cleanBytes = static_cast<size_t>(cleanEnd - begin);
    store_.reserve(usedBytes_ + cleanBytes + StoreMargin, usedBytes_);
    unsigned char* const out = store_.data() + usedBytes_;
    const size_t taken = vorc::dsp::selectedKernels().copyPlainBits(begin, cleanEnd, out, scanFFs_);
    std::memset(out + taken, 0, StoreMargin);
    scanStart_ = usedBytes_;
    scanCleanBytes_ = taken;
    scanBegin_ = begin;
    usedBytes_ += taken;
    anyKeptFromScan_ = false;
}

uint64_t TileBitStore::bitOf(ScanPosition at) const {
    const size_t plain = vorc::jpeg::plainOffsetOf(static_cast<size_t>(at.byte - scanBegin_), scanFFs_);
    return uint64_t{scanStart_ + plain} * 8 + bitIndex(at.mask);
}

TileBitStore::ScanPosition TileBitStore::scanPositionOf(uint64_t bit) const {
    const size_t plain = static_cast<size_t>(bit / 8) - scanStart_;
    return {scanBegin_ + vorc::jpeg::scanOffsetOf(plain, scanFFs_), static_cast<uint8_t>(0x80u >> (bit % 8))};
}

void TileBitStore::forget(size_t tile) {
    if (tile + 1 < tileCount_) joined_.remove(tile + 1);
    if (!kept_.has(tile)) return;
    liveBits_ -= totalBits(tiles_[tile].layout);
    kept_.remove(tile);
    joined_.remove(tile);
}

void TileBitStore::keep(size_t tile, uint64_t offset, const TileLayout& layout, const TileDC& dc) {
    forget(tile);
    TileBits& bits = tiles_[tile];
    bits.offset = offset;
    bits.layout = layout;
    bits.dc = dc;
    bits.coefficientsOutdated = false;
    kept_.add(tile);
    liveBits_ += totalBits(layout);
}

void TileBitStore::keepScanBits(size_t tile, uint64_t first, const TileLayout& layout, const TileDC& dc,
                                    bool dcCodesWritable, bool coefficientsCurrent) {
    keep(tile, first, layout, dc);
    TileBits& bits = tiles_[tile];
    bits.coefficientsOutdated = !coefficientsCurrent;
    const bool followsTileBefore = tile == 0 || (anyKeptFromScan_ && lastKeptTile_ + 1 == tile && lastKeptEnd_ == first);
    if (dcCodesWritable && followsTileBefore) joined_.add(tile);
    anyKeptFromScan_ = true;
    lastKeptTile_ = tile;
    lastKeptEnd_ = first + totalBits(layout);
}

// The tile's bits as plain bits of their own, with the predictors at the
// tile's own DC values (so its three outer DC differences are 0), decoded as
// the transcoder decodes a frame's scan; zero bytes behind them give the
// fast reader its margin.
void TileBitStore::restoreCoefficients(size_t tile, int16_t* coefficients) {
    using namespace vorc::jpeg;
    TileBits& bits = tiles_[tile];
    PlainBitWriter writer(restoreScan_, 0);
    putTile(writer, CodeBooks{}, store_.data(), bits.offset, bits.layout, 0, 0, 0, 0);
    const uint64_t length = writer.bitsPut();
    const size_t bytes = writer.alignToByte(0);
    restoreScan_.reserve(bytes + ScanBitReader::ZeroMargin, bytes);
    std::memset(restoreScan_.data() + bytes, 0, ScanBitReader::ZeroMargin);

    ScanBitReader reader;
    reader.start(restoreScan_.data(), 0, length);
    const StandardLookups& lookups = standardLookups();
    int16_t predictors[3] = {bits.dc.firstLuma, bits.dc.blue, bits.dc.red};
    for (size_t block = 0; block < 6; ++block) {
        const size_t componentClass = block < 4 ? 0 : 1;
        int16_t* coded = coefficients + block * LumaBlockSize;
        std::memset(coded, 0, LumaBlockSize * sizeof(int16_t));
        int lastPosition = 0;
        int endPosition = 0;
        decodeBlock(
            reader, lookups.dc[componentClass], lookups.ac[componentClass], coded,
            predictors[block < 4 ? 0 : block - 3], lastPosition, endPosition);
    }
    bits.coefficientsOutdated = false;
}

// Coded afresh, a tile has no DC codes of Y0, Cb and Cr among its kept bits.
void TileBitStore::codeTile(size_t tile, const int16_t* coefficients) {
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
    const size_t end = writer.alignToByte(0);
    keep(tile, uint64_t{usedBytes_} * 8,
         TileLayout{0, static_cast<uint16_t>(lumaRun), 0, static_cast<uint16_t>(blueRun), 0,
                    static_cast<uint16_t>(redRun)},
         TileDC{coefficients[0], coefficients[LastLumaBlock], coefficients[BlueBlock], coefficients[RedBlock]});
    usedBytes_ = end;
    store_.reserve(usedBytes_ + StoreMargin, usedBytes_);
}

// The scan goes straight into the image: long runs of kept bits are
// shifted and stuffed in one pass by the copy kernel.
size_t TileBitStore::writeScan(ByteBuffer& scan, size_t start, const int16_t* coefficients) {
    for (size_t tile = kept_.nextMissing(0, tileCount_); tile < tileCount_; tile = kept_.nextMissing(tile + 1, tileCount_))
        codeTile(tile, coefficients + tile * CoefficientsPerTile);
    ScanBitWriter writer(scan, start, vorc::dsp::selectedKernels().copyStuffedBits);
    const CodeBooks books;
    const unsigned char* const store = store_.data();
    TileDC before{0, 0, 0, 0};
    for (size_t tile = 0; tile < tileCount_;) {
        // A run of tiles joined one to the next: their strings lie one after
        // the other, and only the first one's outer DC codes may need coding.
        const size_t end = joined_.nextMissing(tile + 1, tileCount_);
        const TileBits& first = tiles_[tile];
        const TileBits& last = tiles_[end - 1];
        const uint64_t runEnd = last.offset + totalBits(last.layout);
        if (joined_.has(tile)) {
            copyBits(writer, store, first.offset, runEnd - first.offset);
        } else {
            putTile(writer, books, store, first.offset, first.layout,
                    static_cast<int16_t>(first.dc.firstLuma - before.lastLuma),
                    static_cast<int16_t>(first.dc.blue - before.blue), static_cast<int16_t>(first.dc.red - before.red),
                    runEnd - first.offset - totalBits(first.layout));
        }
        before = last.dc;
        tile = end;
    }
    return writer.alignToByte(0);
}

void TileBitStore::compactIfWasteful() {
    const size_t liveBytes = bytesFor(liveBits_);
    const size_t waste = usedBytes_ > liveBytes ? usedBytes_ - liveBytes : 0;
    if (waste <= std::max(MinimumWasteBeforeCompaction, liveBytes / 8)) return;
    // Moving the strings in the order they lie in the store only ever moves
    // them down, onto waste or onto bytes already moved away. Strings that
    // touch the same byte, joined ones among them, move together.
    uint32_t* order = compactionOrder_.get();
    size_t kept = 0;
    bool sorted = true;
    for (size_t tile = 0; tile < tileCount_; ++tile) {
        if (!kept_.has(tile)) continue;
        if (kept != 0 && tiles_[order[kept - 1]].offset > tiles_[tile].offset) sorted = false;
        order[kept++] = static_cast<uint32_t>(tile);
    }
    if (!sorted)
        std::sort(order, order + kept, [this](uint32_t a, uint32_t b) { return tiles_[a].offset < tiles_[b].offset; });
    size_t to = 0;
    for (size_t i = 0; i < kept;) {
        const size_t firstByte = static_cast<size_t>(tiles_[order[i]].offset / 8);
        size_t endByte = 0;
        size_t next = i;
        do {
            const TileBits& bits = tiles_[order[next]];
            endByte = std::max(endByte, bytesFor(bits.offset + totalBits(bits.layout)));
            ++next;
        } while (next < kept && tiles_[order[next]].offset / 8 < endByte);
        std::memmove(store_.data() + to, store_.data() + firstByte, endByte - firstByte);
        const uint64_t down = uint64_t{firstByte - to} * 8;
        for (; i < next; ++i) tiles_[order[i]].offset -= down;
        to += endByte - firstByte;
    }
    usedBytes_ = to;
}

}  // namespace vorc
