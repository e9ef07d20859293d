// The transcoder as it was before it kept the coded bits of its tiles (see
// reference_transcoder.h), unchanged but for its name.
#include "support/reference_transcoder.h"

#include <cstddef>
#include <cstdio>
#include <mutex>

#include "vorc/core/exceptions.h"
#include "vorc/core/fatal_error.h"
#include "vorc/core/picture_limits.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/bit_serial_reader.h"

namespace {

using Converter = vorctest::ReferenceTranscoder;

// A whole segment: marker, length (which counts itself) and payload.
template <size_t PayloadSize>
constexpr std::array<uint8_t, PayloadSize + 4> segment(
    unsigned char marker, const unsigned char (&payload)[PayloadSize]) {
    std::array<uint8_t, PayloadSize + 4> bytes{};
    bytes[0] = vorc::jpeg::MarkerPrefix;
    bytes[1] = marker;
    bytes[2] = static_cast<uint8_t>((PayloadSize + 2) >> 8);
    bytes[3] = static_cast<uint8_t>((PayloadSize + 2) & 0xFF);
    for (size_t i = 0; i < PayloadSize; ++i) bytes[4 + i] = payload[i];
    return bytes;
}

constexpr auto App0Template = segment(vorc::jpeg::MarkerAPP0, vorc::jpeg::JfifApp0Payload);
// Height and width (bytes 5..8) are filled in for every image.
constexpr auto Sof0Template = segment(vorc::jpeg::MarkerSOF0, vorc::jpeg::TileFrameHeaderPayload);
constexpr auto SosTemplate = segment(vorc::jpeg::MarkerSOS, vorc::jpeg::TileScanHeaderPayload);

std::unique_ptr<vorcHuffmanTree> makeTree(const unsigned char* table) {
    auto tree = std::make_unique<vorcHuffmanTree>();
    if (tree->configureFromTable(table, 16) != 0) throw vorcDidntWorkOutException();
    return tree;
}

void storeNatural(uint16_t* quantTable, const unsigned char* zigzagValues) {
    for (int k = 0; k < 64; ++k) quantTable[Converter::ZigZagMap[k]] = zigzagValues[k];
}

}  // namespace

Converter::ReferenceTranscoder(vorcJPEGReceiver* receiver)
    : vorcFramewiseTesraScanToJPEGConverter(receiver),
      huffmanOutputBuffer(new unsigned char[HuffmanOutputBufferSize]),
      yQuantTable{},
      uvQuantTable{},
      coeffTileColumns(0),
      coeffTileRows(0),
      scanCursor(nullptr),
      scanBitMask(0x80),
      scanBytesLeft(0),
      additionalBitsValue(0),
      app0Segment(App0Template),
      sof0Segment(Sof0Template),
      sosSegment(SosTemplate),
      HuffmanBufferState{} {
    initHuffmanEncoderBufferState();
    calcFoldedHuffTables();
    yDCTree = makeTree(DefaultHuffmanTable_Y_DC);
    yACTree = makeTree(DefaultHuffmanTable_Y_AC);
    uvDCTree = makeTree(DefaultHuffmanTable_UV_DC);
    uvACTree = makeTree(DefaultHuffmanTable_UV_AC);

    const struct {
        const char* format;
        vorcHuffmanTree* tree;
    } counts[] = {{"symbols in Y/DC Huffman table : %d", yDCTree.get()},
                  {"symbols in Y/AC Huffman table : %d", yACTree.get()},
                  {"symbols in UV/DC Huffman table : %d", uvDCTree.get()},
                  {"symbols in UV/AC Huffman table : %d", uvACTree.get()}};
    for (const auto& count : counts) {
        char msg[64];
        std::snprintf(msg, sizeof msg, count.format, count.tree->countLeaves());
        vorc::sendStatusMsg(msg, this);
    }
}

Converter::~ReferenceTranscoder() = default;

const char* Converter::getAccelerationTypeString() { return "none"; }

void Converter::setYQuantizationTable(unsigned char* table) { storeNatural(yQuantTable, table); }

void Converter::setUVQuantizationTable(unsigned char* table) { storeNatural(uvQuantTable, table); }


namespace {

using Converter = vorctest::ReferenceTranscoder;

// Largest DC difference the luminance and chrominance DC codes can carry
// together with the predictor arithmetic, and the largest AC magnitude the
// standard AC tables have a code for.
constexpr int MaxDCDifference = 2046;
constexpr int MaxACMagnitude = 1023;
// A full accumulator word with every byte stuffed.
constexpr ptrdiff_t MaxBytesPerWord = 8;

constexpr std::array<uint8_t, 2048> makeCategories() {
    std::array<uint8_t, 2048> categories{};
    for (int value = 1; value < 2048; ++value) {
        uint8_t bits = 0;
        for (int rest = value; rest != 0; rest >>= 1) ++bits;
        categories[value] = bits;
    }
    return categories;
}

// Number of significant bits of a magnitude (0 for 0).
constexpr std::array<uint8_t, 2048> Categories = makeCategories();

// The magnitude bits of a nonzero value of the given category: the value
// itself when positive, the low bits of value - 1 when negative.
constexpr uint32_t magnitudeBits(int value, int category) {
    return value >= 0 ? static_cast<uint32_t>(value)
                      : static_cast<uint32_t>(value - 1) & ((1u << category) - 1u);
}

void putStuffedByte(unsigned char*& writePos, uint32_t byte) {
    *writePos++ = static_cast<unsigned char>(byte);
    if (byte == 0xFF) *writePos++ = 0x00;
}

void requireRoomForWord(const Converter::HuffmanBufferStateStructure* state) {
    if (state->bufferLimit - state->writePos < MaxBytesPerWord)
        vorc::failStream("Huffman Buffer Overflow!", nullptr);
}

}  // namespace

Converter::FoldedHuffTbl_DC_AC Converter::Huff_Y_UV[2];

void Converter::initHuffmanEncoderBufferState() {
    HuffmanBufferState.bufferLimit = huffmanOutputBuffer.get() + HuffmanOutputBufferSize;
    resetHuffmanEncoderBufferState();
}

void Converter::resetHuffmanEncoderBufferState() {
    HuffmanBufferState.bufferStart = huffmanOutputBuffer.get();
    HuffmanBufferState.writePos = huffmanOutputBuffer.get();
    HuffmanBufferState.accu = 0;
    HuffmanBufferState.accuBitCount = 0;
}

void Converter::generateHuffTables1(const unsigned char* counts, const unsigned char* symbols,
                                    int isAC, HuffCodeTblEntry* entries) {
    vorc::jpeg::forEachCanonicalCode(
        counts, symbols, [&](unsigned symbol, uint32_t code, unsigned length) {
            const unsigned size = symbol & 0x0F;
            const unsigned index = isAC != 0 ? size * 16 + (symbol >> 4) : symbol;
            entries[index].word = (((code << size) & 0x3FFFFFFu) << 6) | (length + size);
        });
}

void Converter::calcFoldedHuffTables() {
    // Computed once per process, whichever thread builds the first transcoder.
    static std::once_flag firstcall;
    std::call_once(firstcall, [] {
        constexpr int DCTableSize = 28;
        constexpr int ACTableSize = 178;
        for (int componentClass = 0; componentClass < 2; ++componentClass) {
            const unsigned char* dc = HuffTbl_Y_UV_DC + componentClass * DCTableSize;
            const unsigned char* ac = HuffTbl_Y_UV_AC + componentClass * ACTableSize;
            HuffCodeTblEntry* folded = Huff_Y_UV[componentClass].entries;
            generateHuffTables1(dc, dc + 16, 0, folded + 1);
            generateHuffTables1(ac, ac + 16, 1, folded);
        }
    });
}

void Converter::encodeSubMCUTiles(short* block, short* lastDC,
                                  const FoldedHuffTbl_DC_AC* foldedTable,
                                  HuffmanBufferStateStructure* bufferState) {
    uint32_t accu = bufferState->accu;
    int32_t accuBitCount = bufferState->accuBitCount;
    const auto emit = [&](const HuffCodeTblEntry& entry, uint32_t bits) {
        const uint32_t length = entry.bitLength();
        const uint32_t word = (entry.huffCode() | bits) << (32 - length);
        accu |= word >> accuBitCount;
        accuBitCount += static_cast<int32_t>(length);
        if (accuBitCount > 31) {
            accuBitCount -= 32;
            copyAccuToGlobalHuffBuffer(accu, bufferState);
            accu = word << (length - static_cast<uint32_t>(accuBitCount));
        }
    };

    const int difference = static_cast<int16_t>(block[0] - *lastDC);
    *lastDC = block[0];
    if (difference < -MaxDCDifference || difference > MaxDCDifference)
        vorc::failStream("Out of Range", nullptr);
    const int dcCategory = Categories[difference < 0 ? -difference : difference];
    emit(foldedTable->entries[1 + dcCategory],
         difference == 0 ? 0 : magnitudeBits(difference, dcCategory));

    int run = 0;
    for (int k = 1; k < 64; ++k) {
        const int coefficient = block[ZigZagMap[k]];
        if (coefficient == 0) {
            ++run;
            continue;
        }
        for (; run > 15; run -= 16) emit(foldedTable->entries[15], 0);
        const int magnitude = coefficient < 0 ? -coefficient : coefficient;
        // No baseline code exists for it; writing it would corrupt the scan.
        if (magnitude > MaxACMagnitude) vorc::failStream("Out of Range", nullptr);
        const int category = Categories[magnitude];
        emit(foldedTable->entries[category * 16 + run], magnitudeBits(coefficient, category));
        run = 0;
    }
    if (run != 0) emit(foldedTable->entries[0], 0);

    bufferState->accu = accu;
    bufferState->accuBitCount = accuBitCount;
}

void Converter::copyAccuToGlobalHuffBuffer(unsigned int accu,
                                           HuffmanBufferStateStructure* bufferState) {
    requireRoomForWord(bufferState);
    unsigned char* writePos = bufferState->writePos;
    for (int shift = 24; shift >= 0; shift -= 8) putStuffedByte(writePos, (accu >> shift) & 0xFF);
    bufferState->writePos = writePos;
}

void Converter::shutDownHuffAccu() {
    HuffmanBufferStateStructure* state = &HuffmanBufferState;
    requireRoomForWord(state);
    unsigned char* writePos = state->writePos;
    const int pendingBytes = (state->accuBitCount + 7) / 8;
    for (int i = 0; i < pendingBytes; ++i)
        putStuffedByte(writePos, (state->accu >> (24 - 8 * i)) & 0xFF);
    state->writePos = writePos;
    state->accu = 0;
    state->accuBitCount = 0;
}


namespace {

using Converter = vorctest::ReferenceTranscoder;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;
using Node = vorcHuffmanTree::Node;

constexpr int BlocksPerTile = 6;
constexpr int LumaBlocks = 4;
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

    const Node* const roots[4] = {yDCTree->getRoot(), yACTree->getRoot(), uvDCTree->getRoot(),
                                  uvACTree->getRoot()};
    int16_t predictors[3] = {0, 0, 0};
    const size_t tiles = static_cast<size_t>(coeffTileColumns) * static_cast<size_t>(coeffTileRows);
    for (size_t tile = 0; tile < tiles; ++tile) {
        if (!tileCoded(frame->tileBitmap, tile)) continue;
        if (decodeTile(CoeffBuffer.get() + tile * CoefficientsPerTile, predictors, roots) != 0)
            return;
        backEnd->videoTileReceived();
    }
    vorc::jpeg::checkScanEnd(scanCursor, scanBitMask, frame->scanBytes, frame->scanLength);
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

int Converter::decodeTile(int16_t* tile, int16_t* predictors, const Node* const* roots) {
    for (int block = 0; block < BlocksPerTile; ++block) {
        const int rootPair = block < LumaBlocks ? 0 : 2;
        if (decodeBlock(tile + block * 64, &predictors[predictorOf(block)], roots[rootPair],
                        roots[rootPair + 1]) != 0) {
            return 1;
        }
    }
    return 0;
}

int Converter::decodeBlock(int16_t* block, int16_t* predictor, const Node* dcRoot,
                           const Node* acRoot) {
    using vorc::jpeg::BlockOutcome;
    const BlockOutcome outcome = vorc::jpeg::decodeCoefficients(
        vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue},
        block, *predictor, dcRoot, acRoot);
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
    // The scan is coded first, as the library's transcoder does: a stream
    // error while coding leaves the receiver without any byte of the image.
    resetHuffmanEncoderBufferState();
    encodePicture();
    shutDownHuffAccu();
    writeHeader(frame);
    const ptrdiff_t scanLength = HuffmanBufferState.writePos - HuffmanBufferState.bufferStart;
    jpegReceiver->receiveJPEGBytes(HuffmanBufferState.bufferStart, static_cast<int>(scanLength));
    resetHuffmanEncoderBufferState();
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

void Converter::encodePicture() {
    int16_t predictors[3] = {0, 0, 0};
    const size_t tiles = static_cast<size_t>(coeffTileColumns) * static_cast<size_t>(coeffTileRows);
    int16_t* tile = CoeffBuffer.get();
    for (size_t index = 0; index < tiles; ++index, tile += CoefficientsPerTile) {
        for (int block = 0; block < BlocksPerTile; ++block) {
            encodeSubMCUTiles(tile + block * 64, &predictors[predictorOf(block)],
                              &Huff_Y_UV[block < LumaBlocks ? 0 : 1], &HuffmanBufferState);
        }
    }
}
