// The pixel decoder's entropy decoding, dequantisation, colour conversion and
// tile delivery. The parser hands over a whole frame; every coded tile is
// decoded into six blocks on the stack and written straight into the pixel
// target of the back end. Nothing is allocated during a sweep, and the bit
// reader checks the bytes left before every byte it touches, so no read goes
// past the end of the scan the parser found.
#include "vorc/decode/scan_decoder_software.h"

#include <cstdio>

#include "vorc/core/exceptions.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_bit_reader.h"

namespace {

constexpr int CodeLengthCount = 16;
constexpr int BlocksPerTile = 6;
constexpr int TileSize = 16;
constexpr int BytesPerPixel = 3;
constexpr int TileRowBytes = TileSize * BytesPerPixel;

// Fixed-point (x 1024) colour multipliers of the stream's decoder.
constexpr int32_t RedFromV = 1167;
constexpr int32_t GreenFromU = 403;
constexpr int32_t GreenFromV = 595;
constexpr int32_t BlueFromU = 2081;

std::unique_ptr<vorcHuffmanTree> buildTree(const unsigned char* table) {
    auto tree = std::make_unique<vorcHuffmanTree>();
    if (tree->configureFromTable(table, CodeLengthCount) != 0) throw vorcDidntWorkOutException();
    return tree;
}

void reportLeaves(const char* format, vorcHuffmanTree& tree, void* context) {
    char text[80];
    std::snprintf(text, sizeof text, format, tree.countLeaves());
    vorc::sendStatusMsg(text, context);
}

inline int clampInt(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

inline unsigned char colourByte(int32_t fixedPoint) { return static_cast<unsigned char>(clampInt(fixedPoint >> 10, 0, 255)); }

}  // namespace

vorcFramewiseTesraScanDecoderSoftwareOnly::vorcFramewiseTesraScanDecoderSoftwareOnly()
    : yDCTree(buildTree(DefaultHuffmanTable_Y_DC)),
      yACTree(buildTree(DefaultHuffmanTable_Y_AC)),
      uvDCTree(buildTree(DefaultHuffmanTable_UV_DC)),
      uvACTree(buildTree(DefaultHuffmanTable_UV_AC)),
      yQuantTable{},
      uvQuantTable{},
      scanCursor(nullptr),
      scanBitMask(0x80),
      scanBytesLeft(0),
      additionalBitsValue(0) {
    reportLeaves("symbols in Y/DC Huffman table : %d", *yDCTree, this);
    reportLeaves("symbols in Y/AC Huffman table : %d", *yACTree, this);
    reportLeaves("symbols in UV/DC Huffman table : %d", *uvDCTree, this);
    reportLeaves("symbols in UV/AC Huffman table : %d", *uvACTree, this);
}

vorcFramewiseTesraScanDecoderSoftwareOnly::~vorcFramewiseTesraScanDecoderSoftwareOnly() = default;

const char* vorcFramewiseTesraScanDecoderSoftwareOnly::getAccelerationTypeString() { return "none"; }

void vorcFramewiseTesraScanDecoderSoftwareOnly::setYQuantizationTable(unsigned char* table) {
    for (int k = 0; k < 64; ++k) yQuantTable[ZigZagMap[k]] = table[k];
}

void vorcFramewiseTesraScanDecoderSoftwareOnly::setUVQuantizationTable(unsigned char* table) {
    for (int k = 0; k < 64; ++k) uvQuantTable[ZigZagMap[k]] = table[k];
}

int vorcFramewiseTesraScanDecoderSoftwareOnly::consumeScanBit() {
    return vorc::detail::ScanBitReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeScanBit();
}

const vorcHuffmanTree::Node* vorcFramewiseTesraScanDecoderSoftwareOnly::consumeHuffmanCodeword(
    const vorcHuffmanTree::Node* node) {
    return vorc::detail::ScanBitReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeHuffmanCodeword(node);
}

int vorcFramewiseTesraScanDecoderSoftwareOnly::consumeAdditionalBits(int size) {
    return vorc::detail::ScanBitReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeAdditionalBits(size);
}

bool vorcFramewiseTesraScanDecoderSoftwareOnly::decodeBlock(Block& block, const vorcHuffmanTree::Node* dcRoot,
                                                             const vorcHuffmanTree::Node* acRoot,
                                                             const uint16_t* quant, int16_t& predictor) {
    using vorc::detail::BlockOutcome;
    const BlockOutcome outcome = vorc::detail::decodeCoefficients(
        vorc::detail::ScanBitReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue},
        block, predictor, dcRoot, acRoot);
    if (outcome == BlockOutcome::TooManyCoefficients)
        vorc::sendStatusMsg("too many AC coeffs!", nullptr);
    if (outcome != BlockOutcome::Decoded) return false;

    for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(int32_t{block[i]} * quant[i]);
    idct(block);
    for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(clampInt(block[i], -128, 127) + 128);
    return true;
}

void vorcFramewiseTesraScanDecoderSoftwareOnly::deliverTile(int tileColumn, int tileRow, const Block* blocks) {
    unsigned int* target = nullptr;
    int rowPad = 0;
    backEnd->provideVideoTilePixelTarget(tileColumn, tileRow, &target, &rowPad);
    auto* const tileStart = reinterpret_cast<unsigned char*>(target);
    const std::ptrdiff_t rowStep = TileRowBytes + 4 * static_cast<std::ptrdiff_t>(rowPad);
    const Block& u = blocks[4];
    const Block& v = blocks[5];
    for (int y = 0; y < TileSize; ++y) {
        unsigned char* out = tileStart + y * rowStep;
        for (int x = 0; x < TileSize; ++x) {
            const int32_t luma = blocks[2 * (y / 8) + x / 8][8 * (y % 8) + x % 8];
            const int chromaIndex = 8 * (y / 2) + x / 2;
            const int32_t blueDiff = u[chromaIndex] - 128;
            const int32_t redDiff = v[chromaIndex] - 128;
            const int32_t scaledLuma = 1024 * luma;
            out[0] = colourByte(scaledLuma + RedFromV * redDiff);
            out[1] = colourByte(scaledLuma - GreenFromU * blueDiff - GreenFromV * redDiff);
            out[2] = colourByte(scaledLuma + BlueFromU * blueDiff);
            out += BytesPerPixel;
        }
    }
    backEnd->videoTileReceived();
}

void vorcFramewiseTesraScanDecoderSoftwareOnly::performScanSweep(
    vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) {
    if (backEnd == nullptr) return;
    scanCursor = frame->scanBytes;
    scanBitMask = 0x80;
    scanBytesLeft = frame->scanLength;
    // A negative length would make the bit reader's "bytes left" checks pass
    // forever; it is as unusable as an empty scan.
    if (scanCursor == nullptr || scanBytesLeft <= 0) {
        backEnd->errorEncountered();
        return;
    }

    Block blocks[BlocksPerTile];
    int16_t lumaPredictor = 0;
    int16_t blueDiffPredictor = 0;
    int16_t redDiffPredictor = 0;
    const vorcHuffmanTree::Node* const yDC = yDCTree->getRoot();
    const vorcHuffmanTree::Node* const yAC = yACTree->getRoot();
    const vorcHuffmanTree::Node* const uvDC = uvDCTree->getRoot();
    const vorcHuffmanTree::Node* const uvAC = uvACTree->getRoot();
    const unsigned char* const bitmap = frame->tileBitmap;
    const int columns = frame->tileColumns;
    const int64_t tileCount = int64_t{columns} * frame->tileRows;

    for (int64_t k = 0; k < tileCount; ++k) {
        if (bitmap != nullptr && (bitmap[k >> 3] & (0x80u >> (k & 7))) == 0) continue;
        const bool decoded = decodeBlock(blocks[0], yDC, yAC, yQuantTable, lumaPredictor) &&
                             decodeBlock(blocks[1], yDC, yAC, yQuantTable, lumaPredictor) &&
                             decodeBlock(blocks[2], yDC, yAC, yQuantTable, lumaPredictor) &&
                             decodeBlock(blocks[3], yDC, yAC, yQuantTable, lumaPredictor) &&
                             decodeBlock(blocks[4], uvDC, uvAC, uvQuantTable, blueDiffPredictor) &&
                             decodeBlock(blocks[5], uvDC, uvAC, uvQuantTable, redDiffPredictor);
        if (!decoded) {
            backEnd->errorEncountered();
            return;
        }
        deliverTile(static_cast<int>(k % columns), static_cast<int>(k / columns), blocks);
    }
}
