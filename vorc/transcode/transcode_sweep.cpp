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
#include "vorc/jpeg/standard_tables.h"
#include "vorc/transcode/jpeg_converter.h"

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

bool tileCoded(const unsigned char* bitmap, size_t tile) {
    return bitmap == nullptr || ((bitmap[tile / 8] >> (7 - tile % 8)) & 1) != 0;
}

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

// Whether a DC step may stay as the scan codes it. Those of Y1..Y3 follow
// the luminance block before them inside the tile and are kept, so they must
// have a baseline code (within +-MaxDCDifference); those of Y0, Cb and Cr
// are coded afresh in every image, so any value will do there.
bool dcStepEncodable(int block, int difference) {
    return block == 0 || block >= LumaBlocks ||
           (difference <= vorc::jpeg::MaxDCDifference && difference >= -vorc::jpeg::MaxDCDifference);
}

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
    sweptScan = scanCursor;
    sweptScanEnd = scanCursor + scanBytesLeft;
    sweptScanCleanEnd = vorc::dsp::selectedKernels().findScanMarker(scanCursor, scanCursor + scanBytesLeft);
    fastReading = false;
    walkFrom({scanCursor, scanBitMask});

    tileBits.compactIfWasteful();

    const Node* const roots[4] = {yDCTree->getRoot(), yACTree->getRoot(), uvDCTree->getRoot(),
                                  uvACTree->getRoot()};
    int16_t predictors[3] = {0, 0, 0};
    const size_t tiles = static_cast<size_t>(coeffTileColumns) * static_cast<size_t>(coeffTileRows);
    for (size_t tile = 0; tile < tiles; ++tile) {
        if (!tileCoded(frame->tileBitmap, tile)) continue;
        if (!walking || !walkTile(tile, predictors)) {
            if (walking) readExactlyFrom(walkPosition);
            if (decodeTile(tile, predictors, roots) != 0) return;
            const vorcTileBitStore::ScanPosition decodedUpTo = readerPosition();
            if (decodedUpTo.byte < sweptScanCleanEnd) walkFrom(decodedUpTo);
        }
        backEnd->videoTileReceived();
    }
    const vorcTileBitStore::ScanPosition end = walking ? walkPosition : readerPosition();
    vorc::jpeg::checkScanEnd(end.byte, end.mask, frame->scanBytes, frame->scanLength);
    if (jpegReceiver != nullptr) writeImage(*frame);
}

void Converter::walkFrom(vorcTileBitStore::ScanPosition at) {
    walking = true;
    walkPosition = at;
    walkReader.start(at.byte, at.mask, sweptScanCleanEnd);
}

// The bit-serial reader takes over at `at`, helped by the fast reader while
// the clean part has room for the longest block.
void Converter::readExactlyFrom(vorcTileBitStore::ScanPosition at) {
    walking = false;
    scanBytesLeft -= static_cast<int32_t>(at.byte - scanCursor);
    scanCursor = at.byte;
    scanBitMask = at.mask;
    fastReading = sweptScanCleanEnd - at.byte >= vorc::jpeg::ScanBitReader::BlockMargin;
    if (fastReading) {
        fastReader.start(at.byte, sweptScanCleanEnd);
        fastReader.ensure(8);
        fastReader.skip(7 - __builtin_ctz(at.mask));
    }
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
        if (CoeffBuffer != nullptr && !tileBits.resize(tiles)) CoeffBuffer.reset();
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
bool Converter::walkTile(size_t tile, int16_t* predictors) {
    const vorc::jpeg::StandardLookups& lookups = vorc::jpeg::standardLookups();
    const vorc::jpeg::WalkLookup* const walkLookups[2] = {&vorc::jpeg::standardWalkLookup(0),
                                                          &vorc::jpeg::standardWalkLookup(1)};
    // A local reader and predictors stay in registers: nothing stored aliases them.
    vorc::jpeg::WalkReader reader = walkReader;
    int16_t walked[3] = {predictors[0], predictors[1], predictors[2]};
    int16_t dcValues[BlocksPerTile];
    vorc::jpeg::BlockBits bits[BlocksPerTile];
    bool canonical = true;
    for (int block = 0; block < BlocksPerTile; ++block) {
        const int componentClass = block < LumaBlocks ? 0 : 1;
        int16_t& predictor = walked[predictorOf(block)];
        const int16_t before = predictor;
        // Near the end of the clean part the reader supplies zero bits; a
        // block that used any is read again exactly.
        if (!vorc::jpeg::walkBlock(reader, lookups.dc[componentClass], lookups.ac[componentClass],
                                   *walkLookups[componentClass], predictor, canonical, bits[block]) ||
            reader.overran())
            return false;
        dcValues[block] = predictor;
        if (!dcStepEncodable(block, static_cast<int16_t>(predictor - before))) canonical = false;
        if (!canonical) return false;
    }
    const auto bitCount = [](unsigned count) { return static_cast<uint16_t>(count); };
    const vorcTileBitStore::TileLayout layout{
        bitCount(bits[0].ac + bits[1].dc + bits[1].ac + bits[2].dc + bits[2].ac + bits[3].dc + bits[3].ac),
        bitCount(bits[4].dc), bitCount(bits[4].ac), bitCount(bits[5].dc), bitCount(bits[5].ac)};
    tileBits.keepScanBits(tile, vorcTileBitStore::skipBits(walkPosition, bits[0].dc), sweptScanEnd, layout,
                          vorcTileBitStore::TileDC{dcValues[0], dcValues[3], dcValues[4], dcValues[5]}, false);
    walkReader = reader;
    walkPosition.byte = reader.position(sweptScan, walkPosition.mask);
    for (int p = 0; p < 3; ++p) predictors[p] = walked[p];
    return true;
}

// A tile's bits are kept as they stand in the scan when decoding them again
// and coding the coefficients with the standard tables gives the same bits:
// no ZRL may lead only to the end of a block, and the DC differences inside
// the tile (Y1..Y3 against the block before) must be ones the encoder
// writes. The other DC codes are not kept, so their predictors do not
// matter. Otherwise the tile is coded afresh when the image is written.
int Converter::decodeTile(size_t tile, int16_t* predictors, const Node* const* roots) {
    // Forgotten first, with its coefficients brought up to date: a tile
    // that fails half-way keeps what it decoded and what it held before.
    int16_t* coefficients = CoeffBuffer.get() + tile * CoefficientsPerTile;
    if (tileBits.coefficientsOutdated(tile)) tileBits.restoreCoefficients(tile, coefficients);
    tileBits.forget(tile);
    vorcTileBitStore::ScanPosition runStarts[3];
    vorcTileBitStore::ScanPosition runEnds[3];
    vorcTileBitStore::ScanPosition blockStart = readerPosition();
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
        // Runs start after the DC codes of Y0, Cb and Cr and end after Y3, Cb and Cr.
        const int run = block < LumaBlocks ? 0 : block - LumaBlocks + 1;
        if (block == 0 || block >= LumaBlocks)
            runStarts[run] = vorcTileBitStore::skipBits(blockStart, dcCodeBits(componentClass, difference));
        if (block >= LumaBlocks - 1) {
            runEnds[run] = readerPosition();
            blockStart = runEnds[run];
        }
    }
    if (canonical) {
        const auto bitsBetween = [](vorcTileBitStore::ScanPosition from, vorcTileBitStore::ScanPosition to) {
            return static_cast<uint16_t>(vorcTileBitStore::bitsBetween(from, to));
        };
        const vorcTileBitStore::TileLayout layout{
            bitsBetween(runStarts[0], runEnds[0]), bitsBetween(runEnds[0], runStarts[1]),
            bitsBetween(runStarts[1], runEnds[1]), bitsBetween(runEnds[1], runStarts[2]),
            bitsBetween(runStarts[2], runEnds[2])};
        const vorcTileBitStore::TileDC dc{coefficients[0], coefficients[3 * 64], coefficients[4 * 64],
                                          coefficients[5 * 64]};
        tileBits.keepScanBits(tile, runStarts[0], sweptScanEnd, layout, dc, true);
    }
    return 0;
}

vorcTileBitStore::ScanPosition Converter::readerPosition() const {
    if (!fastReading) return {scanCursor, scanBitMask};
    vorcTileBitStore::ScanPosition at{};
    at.byte = fastReader.position(at.mask);
    return at;
}

void Converter::continueBitSerially(const vorc::jpeg::ScanBitReader& from) {
    // Until now the bit-serial reader stood at the start of the scan.
    const unsigned char* resume = from.position(scanBitMask);
    scanBytesLeft -= static_cast<int32_t>(resume - scanCursor);
    scanCursor = resume;
    fastReading = false;
}

// The fast reader decodes into a zeroed block that only a success copies
// into the store; a block it cannot finish, an invalid codeword included, is
// decoded again bit-serially, so that a failure leaves the store, the
// reports and the reader as the bit-serial decoder leaves them.
int Converter::decodeBlockOnEitherReader(int16_t* block, int16_t& predictor, int componentClass,
                                         const Node* const* roots, bool& canonical) {
    if (fastReading && fastReader.hasRoomForBlock()) {
        const vorc::jpeg::ScanBitReader blockStart = fastReader;
        const int16_t predictorBefore = predictor;
        const vorc::jpeg::StandardLookups& lookups = vorc::jpeg::standardLookups();
        int16_t decoded[64] = {};
        int lastPosition = 0;
        int endPosition = 0;
        using vorc::jpeg::OnInvalidCodeword;
        if (vorc::jpeg::decodeBlock<OnInvalidCodeword::UseExactReader>(
                fastReader, lookups.dc[componentClass], lookups.ac[componentClass], decoded,
                predictor, lastPosition, endPosition) == vorc::jpeg::FastBlockOutcome::Decoded) {
            std::memcpy(block, decoded, sizeof decoded);
            if (endPosition != lastPosition + 1) canonical = false;
            return 0;
        }
        predictor = predictorBefore;
        continueBitSerially(blockStart);
    } else if (fastReading) {
        continueBitSerially(fastReader);
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
    sof0Segment[5] = static_cast<uint8_t>(frame.height / 256);
    sof0Segment[6] = static_cast<uint8_t>(frame.height % 256);
    sof0Segment[7] = static_cast<uint8_t>(frame.width / 256);
    sof0Segment[8] = static_cast<uint8_t>(frame.width % 256);
    imageHeader.clear();
    vorc::jpeg::appendMarker(imageHeader, vorc::jpeg::MarkerSOI);
    imageHeader.insert(imageHeader.end(), app0Segment.begin(), app0Segment.end());
    vorc::jpeg::appendQuantisationTables(imageHeader, yQuantTable, uvQuantTable);
    imageHeader.insert(imageHeader.end(), sof0Segment.begin(), sof0Segment.end());
    vorc::jpeg::appendHuffmanTables(imageHeader);
    imageHeader.insert(imageHeader.end(), sosSegment.begin(), sosSegment.end());
    imageBuffer.reserve(imageHeader.size(), 0);
    std::memcpy(imageBuffer.data(), imageHeader.data(), imageHeader.size());
    // The scan is coded before anything is sent: a coefficient that no
    // baseline code can carry ends the frame as a stream error before any
    // byte of the image reaches the receiver.
    const size_t imageLength = tileBits.writeScan(imageBuffer, imageHeader.size(), CoeffBuffer.get()) + 2;
    imageBuffer.reserve(imageLength, imageLength - 2);
    imageBuffer.data()[imageLength - 2] = vorc::jpeg::MarkerPrefix;
    imageBuffer.data()[imageLength - 1] = vorc::jpeg::MarkerEOI;
    jpegReceiver->beginFrame();
    // Segment by segment, as receivers have always been given an image; the
    // scan in one call, unless it is longer than a call can say.
    const size_t headerPieces[] = {StartOfImageBytes, app0Segment.size(), DQTHeadBytes, 64, DQTHeadBytes, 64,
                                   sof0Segment.size(), DHTHeadBytes, vorc::jpeg::DCTableBytes, DHTHeadBytes,
                                   vorc::jpeg::ACTableBytes, DHTHeadBytes, vorc::jpeg::DCTableBytes, DHTHeadBytes,
                                   vorc::jpeg::ACTableBytes, sosSegment.size()};
    const unsigned char* piece = imageBuffer.data();
    for (const size_t length : headerPieces) {
        jpegReceiver->receiveJPEGBytes(piece, static_cast<int>(length));
        piece += length;
    }
    const unsigned char* const endOfImage = imageBuffer.data() + imageLength - EndOfImageBytes;
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
