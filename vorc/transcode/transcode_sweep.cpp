// The transcoder's per-frame sweep: walk the coded tiles of the frame's
// scan, keeping each tile's bits where a baseline encoder would have written
// them just so, and decode the others into the whole-picture coefficient
// store; then write the whole picture as one JPEG image to the receiver from
// the kept bits. Also the bit-serial scan reader, which never reads a byte
// beyond the scan it was given.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/core/picture_limits.h"
#include "vorc/core/status_messages.h"
#include "vorc/dsp/kernel_table.h"
#include "vorc/decode/bit_serial_reader.h"
#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/block_encoder.h"
#include "vorc/jpeg/block_walker.h"
#include "vorc/jpeg/header_writer.h"
#include "vorc/jpeg/slot_walker.h"
#include "vorc/jpeg/standard_tables.h"
#include "vorc/jpeg/tile_bitmap.h"
#include "vorc/parse/coded_tiles.h"
#include "vorc/transcode/converter_workspace.h"

namespace {

using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;
using Node = vorcHuffmanTree::Node;

constexpr int BlocksPerTile = 6;
constexpr int LumaBlocks = 4;
constexpr int ZeroRunOfSixteen = 0xF0;
constexpr int EndOfBlock = 0x00;
constexpr size_t StartOfImageBytes = 2;
constexpr size_t EndOfImageBytes = 2;
// Marker, length and table number or class: what goes before a table's values.
constexpr size_t DQTHeadBytes = 5;
constexpr size_t DHTHeadBytes = 5;

// Runs of fewer coded tiles are walked by one walker: a second one would
// spend most of them finding a tile start.
constexpr size_t TilesForTwoWalkers = 64;

// Which DC predictor (luminance, first or second chrominance) a block uses.
constexpr int predictorOf(int block) { return block < LumaBlocks ? 0 : block - LumaBlocks + 1; }

void reportFailure(vorcTesraDecoderBackEnd* backEnd, const char* msg) {
    vorc::sendStatus(vorc::StatusLevel::Warning, msg, nullptr);
    backEnd->errorEncountered();
}

// Watches a bit-serial block decode for what an encoder would have written
// otherwise: a ZRL that only leads to the end of the block.
struct CodingWatcher {
    bool& zeroRunPending;
    bool& canonical;

    void acSymbolDecoded(int symbol) {
        if (symbol == EndOfBlock && zeroRunPending) canonical = false;
        zeroRunPending = symbol == ZeroRunOfSixteen;
    }
};

// Whether a DC difference has a code an encoder writes (within
// +-MaxDCDifference).
bool dcDifferenceWritable(int difference) {
    return difference <= vorc::jpeg::MaxDCDifference && difference >= -vorc::jpeg::MaxDCDifference;
}

// Whether a block's DC code depends on the tile before: those of Y0, Cb and Cr.
constexpr bool outerDCCode(int block) { return block == 0 || block >= LumaBlocks; }

// Whether a DC step may stay as the scan codes it. Those of Y1..Y3 follow
// the luminance block before them inside the tile and are kept, so they must
// have a baseline code; those of Y0, Cb and Cr are coded afresh where a tile
// does not follow the tile before it as it is, so any value will do there.
bool dcStepEncodable(int block, int difference) { return outerDCCode(block) || dcDifferenceWritable(difference); }

// Bits of the code and magnitude of a DC difference.
unsigned dcCodeBits(int componentClass, int difference) {
    const unsigned category =
        vorc::jpeg::magnitudeCategory(static_cast<uint32_t>(difference < 0 ? -difference : difference));
    return vorc::jpeg::standardCodeBook(static_cast<vorc::jpeg::ComponentClass>(componentClass))
               .dc[category]
               .length +
           category;
}

}  // namespace

void Converter::performScanSweep(Frame* frame) {
    Workspace& work = *workspace;
    if (backEnd == nullptr) return;
    if (!prepareCoefficientBuffer(*frame)) {
        reportFailure(backEnd, "JPG converter : CoeffBuffer == NULL!");
        return;
    }
    // A negative length would turn the bit reader's end checks off.
    if (frame->scanBytes == nullptr || frame->scanLength <= 0) {
        backEnd->errorEncountered();
        return;
    }
    scanCursor = frame->scanBytes;
    scanBitMask = 0x80;
    scanBytesLeft = frame->scanLength;
    // The walk and the fast reader take the clean part of the scan, up to
    // the first marker; the bit-serial reader the rest.
    work.sweptScanCleanEnd = vorc::dsp::selectedKernels().findScanMarker(scanCursor, scanCursor + scanBytesLeft);
    work.fastReading = false;
    work.tileBits.takeScan(scanCursor, work.sweptScanCleanEnd);
    walkFrom(work.tileBits.scanFirstBit());

    const Node* const roots[4] = {yDCTree->getRoot(), yACTree->getRoot(), uvDCTree->getRoot(),
                                  uvACTree->getRoot()};
    // The slots of the walk ahead hold bits of the scan in 32 bits; the
    // reference kernels keep the walk that goes tile by tile.
    const uint64_t walkedBits = work.tileBits.scanCleanEndBit() - work.tileBits.scanFirstBit() +
                                uint64_t{vorc::jpeg::ScanBitReader::ZeroMargin} * 8;
    const bool walkAhead = &vorc::dsp::selectedKernels() != &vorc::dsp::referenceKernels() &&
                           walkedBits < (uint64_t{1} << 32);
    if (!(walkAhead ? sweepWalkingAhead(*frame, roots) : sweepWalkingEachTile(*frame, roots))) return;
    const vorc::jpeg::ScanPosition end =
        work.walking ? work.tileBits.scanPositionOf(work.walkReader.position()) : readerPosition();
    vorc::jpeg::checkScanEnd(end.byte, end.mask, frame->scanBytes, frame->scanLength);
    if (jpegReceiver != nullptr) writeImage(*frame);
}

// Each tile walked on its own with walkBlock, as the reference of the walk ahead.
bool Converter::sweepWalkingEachTile(const Frame& frame, const Node* const* roots) {
    Workspace& work = *workspace;
    int16_t predictors[3] = {0, 0, 0};
    const vorc::jpeg::WalkTables& walkTables = vorc::jpeg::standardWalkTables();
    const size_t tiles = static_cast<size_t>(coeffTileColumns) * static_cast<size_t>(coeffTileRows);
    for (size_t tile = vorc::jpeg::nextCodedTile(frame.tileBitmap, 0, tiles); tile < tiles;
         tile = vorc::jpeg::nextCodedTile(frame.tileBitmap, tile + 1, tiles)) {
        if (!work.walking || !walkTile(tile, predictors, walkTables)) {
            if (work.walking) readExactlyFrom(work.tileBits.scanPositionOf(work.walkReader.position()));
            if (decodeTile(tile, predictors, roots) != 0) return false;
            const vorc::jpeg::ScanPosition decodedUpTo = readerPosition();
            if (decodedUpTo.byte < work.sweptScanCleanEnd) walkFrom(work.tileBits.bitOf(decodedUpTo));
        }
        backEnd->videoTileReceived();
    }
    return true;
}

// The coded tiles left are walked ahead all at once (slot_walker.h), and
// then taken in scan order: with the DC values read from the walk's slots,
// a tile is kept as walkTile keeps it, and any tile walkTile would not keep
// is decoded exactly. After such a tile the walk goes on as recorded when
// it finished the tile, and is walked again from the tile's end otherwise.
bool Converter::sweepWalkingAhead(const Frame& frame, const Node* const* roots) {
    Workspace& work = *workspace;
    int16_t predictors[3] = {0, 0, 0};
    const size_t tiles = static_cast<size_t>(coeffTileColumns) * static_cast<size_t>(coeffTileRows);
    const uint64_t origin = work.tileBits.scanFirstBit();
    const unsigned char* const base = work.tileBits.bits() + origin / 8;
    const uint64_t endBit = work.tileBits.scanCleanEndBit() - origin;
    size_t tilesLeft = static_cast<size_t>(vorc::codedTiles(frame));
    const vorc::jpeg::TileRunWalk& walk = work.tileWalk;
    bool walkGoesOn = false;  // the walk's tile `index` is the walk reader's next
    size_t index = 0;
    for (size_t tile = vorc::jpeg::nextCodedTile(frame.tileBitmap, 0, tiles); tile < tiles;
         tile = vorc::jpeg::nextCodedTile(frame.tileBitmap, tile + 1, tiles), --tilesLeft) {
        if (work.walking && !walkGoesOn) {
            const uint64_t first = work.walkReader.position() - origin;
            if (tilesLeft < TilesForTwoWalkers)
                vorc::jpeg::walkTileRun(base, first, endBit, tilesLeft, work.tileWalk);
            else
                vorc::jpeg::walkTileRunInTwo(base, first, endBit, tilesLeft, work.tileWalk, work.spareWalk);
            walkGoesOn = true;
            index = 0;
        }
        if (work.walking && keepWalkedTile(tile, index, base, endBit, predictors)) {
            ++index;
        } else {
            const bool wasWalking = work.walking;
            if (wasWalking) readExactlyFrom(work.tileBits.scanPositionOf(origin + walk.tileStart(index)));
            if (decodeTile(tile, predictors, roots) != 0) return false;
            const vorc::jpeg::ScanPosition decodedUpTo = readerPosition();
            if (decodedUpTo.byte < work.sweptScanCleanEnd) {
                const uint64_t at = work.tileBits.bitOf(decodedUpTo);
                walkFrom(at);
                // Decoded within the clean part, a tile the walk finished
                // ends where the walk saw it end: both read the same bits.
                walkGoesOn = wasWalking && index < walk.walked;
                ++index;
            }
        }
        backEnd->videoTileReceived();
    }
    if (work.walking && walkGoesOn)
        work.walkReader.start(work.tileBits.bits(), origin + walk.tileStart(index), work.tileBits.scanCleanEndBit());
    return true;
}

// Keeps the walk's tile `index` as walkTile would keep it, or says that it
// must be decoded exactly.
bool Converter::keepWalkedTile(size_t tile, size_t index, const unsigned char* base, uint64_t endBit,
                               int16_t* predictors) {
    Workspace& work = *workspace;
    const vorc::jpeg::TileRunWalk& walk = work.tileWalk;
    // Tiles that reach past the clean part, which the walk read as zero bits.
    if (index >= walk.walked || walk.tileEnd(index) > endBit || walk.nonCanonical[index] != 0) return false;
    const uint32_t* const slots = walk.slots.data() + index * vorc::jpeg::SlotsPerTile;
    const uint64_t start = walk.tileStart(index);
    // A block's DC code starts where the block before it ends.
    const uint64_t dcCodeStarts[BlocksPerTile] = {start, slots[1], slots[3], slots[5], slots[7], slots[9]};
    const vorc::jpeg::StandardLookups& lookups = vorc::jpeg::standardLookups();
    int16_t walked[3] = {predictors[0], predictors[1], predictors[2]};
    int16_t dc[BlocksPerTile];
    bool dcCodesWritable = true;
    for (int block = 0; block < BlocksPerTile; ++block) {
        int16_t& predictor = walked[predictorOf(block)];
        const int16_t before = predictor;
        predictor = static_cast<int16_t>(
            predictor + vorc::jpeg::dcDifferenceAt(base, dcCodeStarts[block], lookups.dc[block < LumaBlocks ? 0 : 1]));
        dc[block] = predictor;
        const bool writable = dcDifferenceWritable(static_cast<int16_t>(predictor - before));
        if (outerDCCode(block))
            dcCodesWritable = dcCodesWritable && writable;
        else if (!writable)
            return false;
    }
    const auto bitCount = [](uint64_t count) { return static_cast<uint16_t>(count); };
    const vorc::TileBitStore::TileLayout layout{
        bitCount(slots[0] - start),    bitCount(slots[7] - slots[0]),  bitCount(slots[8] - slots[7]),
        bitCount(slots[9] - slots[8]), bitCount(slots[10] - slots[9]), bitCount(slots[11] - slots[10])};
    work.tileBits.keepScanBits(tile, work.tileBits.scanFirstBit() + start, layout,
                               vorc::TileBitStore::TileDC{dc[0], dc[3], dc[4], dc[5]}, dcCodesWritable, false);
    std::copy(walked, walked + 3, predictors);
    return true;
}

void Converter::walkFrom(uint64_t bit) {
    Workspace& work = *workspace;
    work.walking = true;
    work.walkReader.start(work.tileBits.bits(), bit, work.tileBits.scanCleanEndBit());
}

// The bit-serial reader takes over at `at`, helped by the fast reader in
// the clean part.
void Converter::readExactlyFrom(vorc::jpeg::ScanPosition at) {
    Workspace& work = *workspace;
    work.walking = false;
    scanBytesLeft -= static_cast<int32_t>(at.byte - scanCursor);
    scanCursor = at.byte;
    scanBitMask = at.mask;
    work.fastReading = at.byte < work.sweptScanCleanEnd;
    if (work.fastReading)
        work.fastReader.start(work.tileBits.bits(), work.tileBits.bitOf(at), work.tileBits.scanCleanEndBit());
}

bool Converter::prepareCoefficientBuffer(const Frame& frame) {
    if (frame.tileColumns != coeffTileColumns || frame.tileRows != coeffTileRows) {
        CoeffBuffer.reset();
        coeffTileColumns = 0;
        coeffTileRows = 0;
        const size_t tiles =
            static_cast<size_t>(frame.tileColumns) * static_cast<size_t>(frame.tileRows);
        // Zeroed: tiles not yet received show mid-grey. calloc also checks
        // the size product for overflow. A picture beyond the size limit
        // takes the path of a failed allocation.
        if (vorc::picturePixelsAllowed(frame.width, frame.height)) {
            CoeffBuffer.reset(
                static_cast<int16_t*>(std::calloc(tiles, CoefficientsPerTile * sizeof(int16_t))));
        }
        if (CoeffBuffer != nullptr && !workspace->tileBits.resize(tiles)) CoeffBuffer.reset();
        if (CoeffBuffer != nullptr) {
            coeffTileColumns = frame.tileColumns;
            coeffTileRows = frame.tileRows;
            vorc::sendStatusMsg("JPG converter : reallocated coeff buffer", nullptr);
        } else {
            vorc::sendStatus(vorc::StatusLevel::Warning, "JPG converter : reallocation of coeff buffer failed!", nullptr);
        }
    }
    return CoeffBuffer != nullptr;
}

// Most tiles are only walked: when all six blocks lie in the clean part of
// the scan (before any marker), have valid codes and are coded as an
// encoder codes them, their bits are kept and their coefficients are left
// to be decoded from those bits should anything need them. Any other tile
// is read again from its start by decodeTile, which reports faults exactly.
bool Converter::walkTile(size_t tile, int16_t* predictors, const vorc::jpeg::WalkTables& tables) {
    Workspace& work = *workspace;
    const vorc::jpeg::StandardLookups& lookups = tables.lookups;
    const vorc::jpeg::WalkLookup& lumaWalk = tables.ac[0];
    const vorc::jpeg::WalkLookup& chromaWalk = tables.ac[1];
    // A local reader and predictors stay in registers: nothing stored aliases them.
    vorc::jpeg::ScanBitReader reader = work.walkReader;
    int16_t luma = predictors[0];
    int16_t blue = predictors[1];
    int16_t red = predictors[2];
    // Where the tile starts, where the outer DC codes end and where the
    // blocks before them end.
    const uint64_t start = reader.position();
    uint64_t afterDC[3];
    uint64_t lumaEnd = 0;
    uint64_t blueEnd = 0;
    bool canonical = true;
    bool dcCodesWritable = true;
    int16_t lastLuma = 0;
    // Each block of the tile, written out so that its tables and predictor
    // are known where it is walked.
    const auto walk = [&](const vorc::jpeg::WalkLookup& walkLookup, int componentClass, int16_t& predictor,
                          uint64_t* dcEnd) __attribute__((always_inline)) {
        const int16_t before = predictor;
        uint64_t afterBlockDC = 0;
        if (!vorc::jpeg::walkBlock(reader, lookups.dc[componentClass], lookups.ac[componentClass], walkLookup,
                                   predictor, canonical, afterBlockDC))
            return false;
        const int difference = static_cast<int16_t>(predictor - before);
        // The outer DC codes are coded afresh where they do not stay; the
        // others must be ones an encoder writes.
        if (dcEnd != nullptr) {
            *dcEnd = afterBlockDC;
            dcCodesWritable = dcCodesWritable && dcDifferenceWritable(difference);
        } else if (!dcDifferenceWritable(difference)) {
            canonical = false;
        }
        return true;
    };
    if (!walk(lumaWalk, 0, luma, &afterDC[0])) return false;
    const int16_t firstLuma = luma;
    if (!walk(lumaWalk, 0, luma, nullptr) || !walk(lumaWalk, 0, luma, nullptr) || !walk(lumaWalk, 0, luma, nullptr))
        return false;
    lastLuma = luma;
    lumaEnd = reader.position();
    if (!walk(chromaWalk, 1, blue, &afterDC[1])) return false;
    blueEnd = reader.position();
    if (!walk(chromaWalk, 1, red, &afterDC[2])) return false;
    // Near the end of the clean part the reader supplies zero bits; a tile
    // that used any is read again exactly.
    if (!canonical || reader.overran()) return false;
    const auto bitCount = [](uint64_t count) { return static_cast<uint16_t>(count); };
    const vorc::TileBitStore::TileLayout layout{
        bitCount(afterDC[0] - start),   bitCount(lumaEnd - afterDC[0]), bitCount(afterDC[1] - lumaEnd),
        bitCount(blueEnd - afterDC[1]), bitCount(afterDC[2] - blueEnd), bitCount(reader.position() - afterDC[2])};
    work.tileBits.keepScanBits(tile, start, layout, vorc::TileBitStore::TileDC{firstLuma, lastLuma, blue, red},
                          dcCodesWritable, false);
    work.walkReader = reader;
    predictors[0] = luma;
    predictors[1] = blue;
    predictors[2] = red;
    return true;
}

// A tile's bits are kept as they stand in the scan when decoding them again
// and coding the coefficients with the standard tables gives the same bits:
// no ZRL may lead only to the end of a block, and the DC differences inside
// the tile (Y1..Y3 against the block before) must be ones the encoder
// writes. The other DC codes are coded afresh when they do not follow the
// tile before as they are. Otherwise the tile is coded afresh when the
// image is written.
int Converter::decodeTile(size_t tile, int16_t* predictors, const Node* const* roots) {
    Workspace& work = *workspace;
    // Forgotten first, with its coefficients brought up to date: a tile
    // that fails half-way keeps what it decoded and what it held before.
    int16_t* coefficients = CoeffBuffer.get() + tile * CoefficientsPerTile;
    if (work.tileBits.coefficientsOutdated(tile)) work.tileBits.restoreCoefficients(tile, coefficients);
    work.tileBits.forget(tile);
    // Where the tile starts and where the blocks before each outer DC code end.
    vorc::jpeg::ScanPosition runEnds[4];
    runEnds[0] = readerPosition();
    int outerDifferences[3] = {0, 0, 0};
    bool canonical = true;
    for (int block = 0; block < BlocksPerTile; ++block) {
        const int componentClass = block < LumaBlocks ? 0 : 1;
        int16_t* coded = coefficients + block * 64;
        int16_t& predictor = predictors[predictorOf(block)];
        const int16_t before = predictor;
        if (decodeBlockOnEitherReader(coded, predictor, componentClass, roots, canonical) != 0)
            return 1;
        const int difference = static_cast<int16_t>(coded[0] - before);
        if (!dcStepEncodable(block, difference)) canonical = false;
        if (outerDCCode(block)) outerDifferences[predictorOf(block)] = difference;
        if (block >= LumaBlocks - 1) runEnds[block - LumaBlocks + 2] = readerPosition();
    }
    // A tile may end inside the marker's FF; its bits are then not all
    // among the store's bits of the scan.
    const bool inCleanPart = runEnds[3].byte < work.sweptScanCleanEnd || (runEnds[3].byte == work.sweptScanCleanEnd && runEnds[3].mask == 0x80);
    if (canonical && inCleanPart) {
        // The runs start after the outer DC codes.
        uint64_t ends[4];
        for (int run = 0; run < 4; ++run) ends[run] = work.tileBits.bitOf(runEnds[run]);
        uint64_t starts[3];
        for (int run = 0; run < 3; ++run)
            starts[run] = ends[run] + dcCodeBits(run == 0 ? 0 : 1, outerDifferences[run]);
        const auto bitCount = [](uint64_t count) { return static_cast<uint16_t>(count); };
        const vorc::TileBitStore::TileLayout layout{
            bitCount(starts[0] - ends[0]), bitCount(ends[1] - starts[0]), bitCount(starts[1] - ends[1]),
            bitCount(ends[2] - starts[1]), bitCount(starts[2] - ends[2]), bitCount(ends[3] - starts[2])};
        const vorc::TileBitStore::TileDC dc{coefficients[0], coefficients[3 * 64], coefficients[4 * 64],
                                          coefficients[5 * 64]};
        bool dcCodesWritable = true;
        for (const int difference : outerDifferences)
            dcCodesWritable = dcCodesWritable && dcDifferenceWritable(difference);
        work.tileBits.keepScanBits(tile, ends[0], layout, dc, dcCodesWritable, true);
    }
    return 0;
}

vorc::jpeg::ScanPosition Converter::readerPosition() const {
    const Workspace& work = *workspace;
    if (!work.fastReading) return {scanCursor, scanBitMask};
    return work.tileBits.scanPositionOf(work.fastReader.position());
}

void Converter::continueBitSerially(const vorc::jpeg::ScanBitReader& from) {
    // Until now the bit-serial reader stood where the fast reader started.
    const vorc::jpeg::ScanPosition resume = workspace->tileBits.scanPositionOf(from.position());
    scanBytesLeft -= static_cast<int32_t>(resume.byte - scanCursor);
    scanCursor = resume.byte;
    scanBitMask = resume.mask;
    workspace->fastReading = false;
}

// The fast reader decodes into a zeroed block that only a success copies
// into the store; a block it cannot finish, an invalid codeword or bits
// past the clean part included, is decoded again bit-serially, so that a
// failure leaves the store, the reports and the reader as the bit-serial
// decoder leaves them.
int Converter::decodeBlockOnEitherReader(int16_t* block, int16_t& predictor, int componentClass,
                                         const Node* const* roots, bool& canonical) {
    Workspace& work = *workspace;
    if (work.fastReading) {
        const vorc::jpeg::ScanBitReader blockStart = work.fastReader;
        const int16_t predictorBefore = predictor;
        const vorc::jpeg::StandardLookups& lookups = vorc::jpeg::standardLookups();
        int16_t decoded[64] = {};
        int lastPosition = 0;
        int endPosition = 0;
        if (vorc::jpeg::decodeBlock(
                work.fastReader, lookups.dc[componentClass], lookups.ac[componentClass], decoded,
                predictor, lastPosition, endPosition) == vorc::jpeg::FastBlockOutcome::Decoded) {
            std::memcpy(block, decoded, sizeof decoded);
            if (endPosition != lastPosition + 1) canonical = false;
            return 0;
        }
        predictor = predictorBefore;
        continueBitSerially(blockStart);
    }
    bool zeroRunPending = false;
    const int rootPair = 2 * componentClass;
    if (decodeBlock(block, &predictor, roots[rootPair], roots[rootPair + 1],
                    CodingWatcher{zeroRunPending, canonical}) != 0) {
        return 1;
    }
    if (zeroRunPending) canonical = false;
    return 0;
}

template <typename Watcher>
int Converter::decodeBlock(int16_t* block, int16_t* predictor, const Node* dcRoot,
                           const Node* acRoot, Watcher watcher) {
    using vorc::jpeg::BlockOutcome;
    const BlockOutcome outcome = vorc::jpeg::decodeCoefficients(
        vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue},
        block, *predictor, dcRoot, acRoot, watcher);
    switch (outcome) {
        case BlockOutcome::Decoded:
            return 0;
        case BlockOutcome::DCCodewordMissing:
            // The one report that follows the back end's error.
            backEnd->errorEncountered();
            vorc::sendStatus(vorc::StatusLevel::Warning, "JPG converter : 1) huffman_leaf_node DC == NULL", nullptr);
            return 1;
        case BlockOutcome::DCBitsMissing:
            reportFailure(backEnd, "JPG converter : Return val consumeAdditionalBits() == NULL");
            return 1;
        case BlockOutcome::ACCodewordMissing:
            reportFailure(backEnd, "JPG converter : 2)huffman_leaf_node AC == NULL");
            return 1;
        case BlockOutcome::ACBitsMissing:
            reportFailure(backEnd, "JPG converter : return val consumeAdditionalBits() == NULL");
            return 1;
        case BlockOutcome::TooManyCoefficients:
            reportFailure(backEnd, "too many AC coeffs!");
            return 1;
    }
    return 1;
}

// The image is put together in one buffer (header, scan, EOI) and handed
// on from there.
void Converter::writeImage(const Frame& frame) {
    Workspace& work = *workspace;
    sof0Segment[5] = static_cast<uint8_t>(frame.height / 256);
    sof0Segment[6] = static_cast<uint8_t>(frame.height % 256);
    sof0Segment[7] = static_cast<uint8_t>(frame.width / 256);
    sof0Segment[8] = static_cast<uint8_t>(frame.width % 256);
    work.imageHeader.clear();
    vorc::jpeg::appendMarker(work.imageHeader, vorc::jpeg::MarkerSOI);
    work.imageHeader.insert(work.imageHeader.end(), app0Segment.begin(), app0Segment.end());
    vorc::jpeg::appendQuantisationTables(work.imageHeader, yQuantTable, uvQuantTable);
    work.imageHeader.insert(work.imageHeader.end(), sof0Segment.begin(), sof0Segment.end());
    vorc::jpeg::appendHuffmanTables(work.imageHeader);
    work.imageHeader.insert(work.imageHeader.end(), sosSegment.begin(), sosSegment.end());
    work.imageBuffer.reserve(work.imageHeader.size(), 0);
    std::memcpy(work.imageBuffer.data(), work.imageHeader.data(), work.imageHeader.size());
    // The scan is coded before anything is sent: a coefficient that no
    // baseline code can carry ends the frame as a stream error before any
    // byte of the image reaches the receiver.
    const size_t imageLength =
        work.tileBits.writeScan(work.imageBuffer, work.imageHeader.size(), CoeffBuffer.get()) + 2;
    work.imageBuffer.reserve(imageLength, imageLength - 2);
    work.imageBuffer.data()[imageLength - 2] = vorc::jpeg::MarkerPrefix;
    work.imageBuffer.data()[imageLength - 1] = vorc::jpeg::MarkerEOI;
    jpegReceiver->beginFrame();
    // Segment by segment, as receivers have always been given an image; the
    // scan in one call, unless it is longer than a call can say.
    const size_t headerPieces[] = {StartOfImageBytes, app0Segment.size(), DQTHeadBytes, 64, DQTHeadBytes, 64,
                                   sof0Segment.size(), DHTHeadBytes, vorc::jpeg::DCTableBytes, DHTHeadBytes,
                                   vorc::jpeg::ACTableBytes, DHTHeadBytes, vorc::jpeg::DCTableBytes, DHTHeadBytes,
                                   vorc::jpeg::ACTableBytes, sosSegment.size()};
    const unsigned char* piece = work.imageBuffer.data();
    for (const size_t length : headerPieces) {
        jpegReceiver->receiveJPEGBytes(piece, static_cast<int>(length));
        piece += length;
    }
    const unsigned char* const endOfImage = work.imageBuffer.data() + imageLength - EndOfImageBytes;
    do {
        const size_t length = std::min<size_t>(static_cast<size_t>(endOfImage - piece), INT_MAX);
        jpegReceiver->receiveJPEGBytes(piece, static_cast<int>(length));
        piece += length;
    } while (piece < endOfImage);
    jpegReceiver->receiveJPEGBytes(endOfImage, EndOfImageBytes);
    jpegReceiver->endFrame();
}

int Converter::consumeScanBit() {
    return vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeScanBit();
}

const Node* Converter::consumeHuffmanCodeword(const Node* node) {
    return vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeHuffmanCodeword(node);
}

int Converter::consumeAdditionalBits(int size) {
    return vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeAdditionalBits(size);
}
