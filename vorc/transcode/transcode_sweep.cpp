// The transcoder's per-frame sweep: decode the coded tiles of the frame's
// scan into the whole-picture coefficient store, keeping each tile's bits
// where a baseline encoder would have written them just so, then write the
// whole picture as one JPEG image to the receiver from the kept bits. Also
// the scan bit reader, which never reads a byte beyond the scan it was given.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "vorc/core/jpeg_format.h"
#include "vorc/core/picture_limits.h"
#include "vorc/core/status_messages.h"
#include "vorc/jpeg/bit_serial_reader.h"
#include "vorc/jpeg/block_decoder.h"
#include "vorc/jpeg/block_encoder.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;
using Node = vorcHuffmanTree::Node;

constexpr int BlocksPerTile = 6;
constexpr int LumaBlocks = 4;
constexpr int ZeroRunOfSixteen = 0xF0;
constexpr int EndOfBlock = 0x00;
constexpr unsigned char StartOfImage[2] = {vorc::jpeg::MarkerPrefix, vorc::jpeg::MarkerSOI};
constexpr unsigned char EndOfImage[2] = {vorc::jpeg::MarkerPrefix, vorc::jpeg::MarkerEOI};

bool tileCoded(const unsigned char* bitmap, size_t tile) {
    return bitmap == nullptr || ((bitmap[tile / 8] >> (7 - tile % 8)) & 1) != 0;
}

// Which DC predictor (luminance, first or second chrominance) a block uses.
constexpr int predictorOf(int block) { return block < LumaBlocks ? 0 : block - LumaBlocks + 1; }

void reportFailure(vorcTesraDecoderBackEnd* backEnd, const char* msg) {
    vorc::sendStatusMsg(msg, nullptr);
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
    // The fast reader takes the clean part of the scan, up to the first
    // marker; the bit-serial reader the rest, from where it stopped.
    fastReading = true;
    fastReader.start(scanCursor, vorc::jpeg::findScanMarker(scanCursor, scanCursor + scanBytesLeft));

    tileBits.compactIfWasteful();

    const Node* const roots[4] = {yDCTree->getRoot(), yACTree->getRoot(), uvDCTree->getRoot(),
                                  uvACTree->getRoot()};
    int16_t predictors[3] = {0, 0, 0};
    const size_t tiles = static_cast<size_t>(coeffTileColumns) * static_cast<size_t>(coeffTileRows);
    for (size_t tile = 0; tile < tiles; ++tile) {
        if (!tileCoded(frame->tileBitmap, tile)) continue;
        if (decodeTile(tile, predictors, roots) != 0) return;
        backEnd->videoTileReceived();
    }
    if (jpegReceiver != nullptr) writeImage(*frame);
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
            vorc::sendStatusMsg("JPG converter : reallocation of coeff buffer failed!", nullptr);
        }
    }
    return CoeffBuffer != nullptr;
}

// A tile's bits are kept as they stand in the scan when decoding them again
// and coding the coefficients with the standard tables gives the same bits:
// no ZRL may lead only to the end of a block, and the DC differences inside
// the tile (Y1..Y3 against the block before) must be ones the encoder
// writes. The other DC codes are not kept, so their predictors do not
// matter. Otherwise the tile is coded afresh when the image is written.
int Converter::decodeTile(size_t tile, int16_t* predictors, const Node* const* roots) {
    // Forgotten first: a tile that fails half-way keeps what it decoded.
    tileBits.forget(tile);
    int16_t* coefficients = CoeffBuffer.get() + tile * CoefficientsPerTile;
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
        if (block > 0 && block < LumaBlocks &&
            (difference > vorc::jpeg::MaxDCDifference || difference < -vorc::jpeg::MaxDCDifference))
            canonical = false;
        // Runs start after the DC codes of Y0, Cb and Cr and end after Y3, Cb and Cr.
        const int run = block < LumaBlocks ? 0 : block - LumaBlocks + 1;
        if (block == 0 || block >= LumaBlocks)
            runStarts[run] = vorcTileBitStore::skipBits(blockStart, dcCodeBits(componentClass, difference));
        if (block >= LumaBlocks - 1) {
            runEnds[run] = readerPosition();
            blockStart = runEnds[run];
        }
    }
    if (canonical) tileBits.keepScanBits(tile, runStarts, runEnds, coefficients);
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
        if (vorc::jpeg::decodeBlock<false, OnInvalidCodeword::UseExactReader>(
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
            vorc::sendStatusMsg("JPG converter : 1) huffman_leaf_node DC == NULL", nullptr);
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

void Converter::writeImage(const Frame& frame) {
    // The scan is coded first: a coefficient that no baseline code can
    // carry ends the frame as a stream error before any byte of the image
    // reaches the receiver.
    const size_t scanLength = tileBits.writeScan(scanBuffer, CoeffBuffer.get());
    writeHeader(frame);
    // In one call, unless it is longer than a call can say.
    size_t done = 0;
    do {
        const size_t piece = std::min<size_t>(scanLength - done, INT_MAX);
        jpegReceiver->receiveJPEGBytes(scanBuffer.data() + done, static_cast<int>(piece));
        done += piece;
    } while (done < scanLength);
    jpegReceiver->receiveJPEGBytes(EndOfImage, sizeof EndOfImage);
    jpegReceiver->endFrame();
}

void Converter::writeHeader(const Frame& frame) {
    jpegReceiver->beginFrame();
    jpegReceiver->receiveJPEGBytes(StartOfImage, sizeof StartOfImage);
    jpegReceiver->receiveJPEGBytes(app0Segment.data(), static_cast<int>(app0Segment.size()));

    const uint16_t* quantTables[2] = {yQuantTable, uvQuantTable};
    for (int table = 0; table < 2; ++table) {
        const unsigned char head[5] = {vorc::jpeg::MarkerPrefix, vorc::jpeg::MarkerDQT, 0x00, 0x43,
                                       static_cast<unsigned char>(table)};
        unsigned char values[64];
        for (int n = 0; n < 64; ++n)
            values[ZigZag_StoreMap[n]] = static_cast<unsigned char>(quantTables[table][n]);
        jpegReceiver->receiveJPEGBytes(head, sizeof head);
        jpegReceiver->receiveJPEGBytes(values, sizeof values);
    }

    sof0Segment[5] = static_cast<uint8_t>(frame.height / 256);
    sof0Segment[6] = static_cast<uint8_t>(frame.height % 256);
    sof0Segment[7] = static_cast<uint8_t>(frame.width / 256);
    sof0Segment[8] = static_cast<uint8_t>(frame.width % 256);
    jpegReceiver->receiveJPEGBytes(sof0Segment.data(), static_cast<int>(sof0Segment.size()));

    const struct {
        const unsigned char* table;
        int32_t size;
        unsigned char classAndId;
    } huffmanTables[4] = {{DefaultHuffmanTable_Y_DC, DefaultHuffmanTable_Y_DC_Size, 0x00},
                          {DefaultHuffmanTable_Y_AC, DefaultHuffmanTable_Y_AC_Size, 0x10},
                          {DefaultHuffmanTable_UV_DC, DefaultHuffmanTable_UV_DC_Size, 0x01},
                          {DefaultHuffmanTable_UV_AC, DefaultHuffmanTable_UV_AC_Size, 0x11}};
    for (const auto& huffman : huffmanTables) {
        const int32_t segmentLength = huffman.size + 3;
        const unsigned char head[5] = {vorc::jpeg::MarkerPrefix, vorc::jpeg::MarkerDHT,
                                       static_cast<unsigned char>(segmentLength >> 8),
                                       static_cast<unsigned char>(segmentLength & 0xFF),
                                       huffman.classAndId};
        jpegReceiver->receiveJPEGBytes(head, sizeof head);
        jpegReceiver->receiveJPEGBytes(huffman.table, huffman.size);
    }
    jpegReceiver->receiveJPEGBytes(sosSegment.data(), static_cast<int>(sosSegment.size()));
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
