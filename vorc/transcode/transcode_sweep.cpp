// The transcoder's per-frame sweep: decode the coded tiles of the frame's
// scan into the whole-picture coefficient store, then write the whole
// picture as one JPEG image to the receiver. Also the scan bit reader, which
// never reads a byte beyond the scan it was given.
#include <cstddef>
#include <cstdio>

#include "vorc/core/fatal_error.h"
#include "vorc/core/status_messages.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Frame = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;
using Node = vorcHuffmanTree::Node;

constexpr int BlocksPerTile = 6;
constexpr int LumaBlocks = 4;
constexpr unsigned char StartOfImage[2] = {0xFF, 0xD8};
constexpr unsigned char EndOfImage[2] = {0xFF, 0xD9};

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

const int32_t Converter::bases[16] = {0,   1,   2,   4,    8,    16,   32,   64,
                                      128, 256, 512, 1024, 2048, 4096, 8192, 16384};

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
        // the size product for overflow.
        CoeffBuffer.reset(
            static_cast<int16_t*>(std::calloc(tiles, CoefficientsPerTile * sizeof(int16_t))));
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
    const Node* leaf = consumeHuffmanCodeword(dcRoot);
    if (leaf == nullptr) {
        backEnd->errorEncountered();
        vorc::sendStatusMsg("JPG converter : 1) huffman_leaf_node DC == NULL", nullptr);
        return 1;
    }
    const int dcSize = leaf->symbol & 0x0F;
    int dcValue = 0;
    if (dcSize != 0) {
        if (consumeAdditionalBits(dcSize) != 0) {
            reportFailure(backEnd, "JPG converter : Return val consumeAdditionalBits() == NULL");
            return 1;
        }
        dcValue = additionalBitsValue;
    }
    block[0] = static_cast<int16_t>(dcValue + *predictor);
    *predictor = block[0];

    int k = 1;
    int remaining = 63;
    while (remaining > 0) {
        leaf = consumeHuffmanCodeword(acRoot);
        if (leaf == nullptr) {
            reportFailure(backEnd, "JPG converter : 2)huffman_leaf_node AC == NULL");
            return 1;
        }
        const int symbol = leaf->symbol;
        if (symbol == 0) {
            for (; k < 64; ++k) block[ZigZagMap[k]] = 0;
            return 0;
        }
        const int size = symbol & 0x0F;
        const int run = symbol >> 4;
        int value = 0;
        if (size != 0) {
            if (consumeAdditionalBits(size) != 0) {
                reportFailure(backEnd,
                              "JPG converter : return val consumeAdditionalBits() == NULL");
                return 1;
            }
            value = additionalBitsValue;
        }
        if (run + 1 > remaining) {
            reportFailure(backEnd, "too many AC coeffs!");
            return 1;
        }
        for (int zeros = 0; zeros < run; ++zeros) block[ZigZagMap[k++]] = 0;
        block[ZigZagMap[k++]] = static_cast<int16_t>(value);
        remaining -= run + 1;
    }
    return 0;
}

void Converter::writeImage(const Frame& frame) {
    writeHeader(frame);
    encodePicture();
    shutDownHuffAccu();
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
        const unsigned char head[5] = {0xFF, 0xDB, 0x00, 0x43, static_cast<unsigned char>(table)};
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
        const unsigned char head[5] = {0xFF, 0xC4, static_cast<unsigned char>(segmentLength >> 8),
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

int Converter::consumeScanBit() {
    const unsigned char byte = *scanCursor;
    const int bit = (byte & scanBitMask) != 0 ? 1 : 0;
    scanBitMask = static_cast<uint8_t>(scanBitMask >> 1);
    if (scanBitMask != 0) return bit;

    ++scanCursor;
    --scanBytesLeft;
    if (byte == 0xFF) {
        if (scanBytesLeft <= 0) vorc::failStream("not more scan bytes!", nullptr);
        if (*scanCursor != 0x00) vorc::failStream("unexpected marker encountered!", nullptr);
        ++scanCursor;
        --scanBytesLeft;
    }
    scanBitMask = 0x80;
    return bit;
}

const Node* Converter::consumeHuffmanCodeword(const Node* node) {
    for (;;) {
        if (scanBytesLeft <= 0) return nullptr;
        const Node* next = consumeScanBit() != 0 ? node->child1 : node->child0;
        if (next == node) vorc::failInvalidCodeword();
        if (next->isLeaf != 0) return next;
        node = next;
    }
}

int Converter::consumeAdditionalBits(int size) {
    if (scanBytesLeft <= 0) return 1;
    const int first = consumeScanBit();
    if (size == 1) {
        additionalBitsValue = first != 0 ? 1 : -1;
        return 0;
    }
    const int base = first != 0 ? bases[size] : 1 - 2 * bases[size];
    additionalBitsValue = 0;
    for (int i = 1; i < size; ++i) {
        if (scanBytesLeft <= 0) return 1;
        additionalBitsValue = additionalBitsValue * 2 + consumeScanBit();
    }
    additionalBitsValue += base;
    return 0;
}
