// The pixel decoder's sweep: entropy decoding, the kernels' pixel work and
// tile delivery. The parser hands over a whole frame; every coded tile is
// decoded into six blocks on the stack, then transformed, and written
// straight into the pixel target of the back end. Transforming only after
// all six blocks are decoded gives the coefficients' small stores time to
// reach the cache before the transform reads them whole. Nothing is
// allocated during a sweep. The fast reader reads only the clean part of
// the scan (up to the first marker); the tile with the first block that
// needs more than that is read again from its start, with the rest of the
// frame, by the bit-serial reader, which checks the bytes left before every
// byte it touches. So no read goes past the end of the scan the parser
// found, and every outcome is the bit-serial decoder's.
#include "vorc/decode/scan_decoder_software.h"

#include <cstdio>
#include <cstring>

#include "vorc/core/exceptions.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/bit_serial_reader.h"
#include "vorc/jpeg/tile_decoder.h"

namespace {

constexpr int CodeLengthCount = 16;
constexpr int TileSize = 16;
constexpr int BytesPerPixel = 3;
constexpr int TileRowBytes = TileSize * BytesPerPixel;

// A block whose AC runs go past its end; callers may match the text.
constexpr char TooManyCoefficientsMessage[] = "too many AC coeffs!";

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

}  // namespace

// Where one sweep stands: the fast reader while it is in use, the six
// blocks of the current tile and the DC predictors.
struct vorcFramewiseTesraScanDecoderSoftwareOnly::Sweep {
    vorc::jpeg::ScanBitReader fastReader;
    bool fast = false;
    const vorc::jpeg::StandardLookups* lookups = nullptr;
    Block blocks[vorc::dsp::BlocksPerTile] = {};
    // Of each block: the zig-zag position of its last non-zero AC
    // coefficient, 0 for none (then the block holds only its DC).
    int lastPositions[vorc::dsp::BlocksPerTile] = {};
    vorc::dsp::TileSamples samples;
    int16_t predictors[3] = {};  // luminance, Cb, Cr
    TilePlace lastTile;
};

vorcFramewiseTesraScanDecoderSoftwareOnly::vorcFramewiseTesraScanDecoderSoftwareOnly()
    : vorcFramewiseTesraScanDecoderSoftwareOnly(vorc::dsp::selectedKernels()) {}

vorcFramewiseTesraScanDecoderSoftwareOnly::vorcFramewiseTesraScanDecoderSoftwareOnly(
    const vorc::dsp::KernelTable& kernels)
    : yDCTree(buildTree(DefaultHuffmanTable_Y_DC)),
      yACTree(buildTree(DefaultHuffmanTable_Y_AC)),
      uvDCTree(buildTree(DefaultHuffmanTable_UV_DC)),
      uvACTree(buildTree(DefaultHuffmanTable_UV_AC)),
      yQuantTable{},
      uvQuantTable{},
      scanCursor(nullptr),
      scanBitMask(0x80),
      scanBytesLeft(0),
      additionalBitsValue(0),
      kernels(kernels) {
    reportLeaves("symbols in Y/DC Huffman table : %d", *yDCTree, this);
    reportLeaves("symbols in Y/AC Huffman table : %d", *yACTree, this);
    reportLeaves("symbols in UV/DC Huffman table : %d", *uvDCTree, this);
    reportLeaves("symbols in UV/AC Huffman table : %d", *uvACTree, this);
}

vorcFramewiseTesraScanDecoderSoftwareOnly::~vorcFramewiseTesraScanDecoderSoftwareOnly() = default;

const char* vorcFramewiseTesraScanDecoderSoftwareOnly::getAccelerationTypeString() { return kernels.name; }

void vorcFramewiseTesraScanDecoderSoftwareOnly::setYQuantizationTable(unsigned char* table) {
    for (int k = 0; k < 64; ++k) yQuantTable[ZigZagMap[k]] = table[k];
}

void vorcFramewiseTesraScanDecoderSoftwareOnly::setUVQuantizationTable(unsigned char* table) {
    for (int k = 0; k < 64; ++k) uvQuantTable[ZigZagMap[k]] = table[k];
}

int vorcFramewiseTesraScanDecoderSoftwareOnly::consumeScanBit() {
    return vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeScanBit();
}

const vorcHuffmanTree::Node* vorcFramewiseTesraScanDecoderSoftwareOnly::consumeHuffmanCodeword(
    const vorcHuffmanTree::Node* node) {
    return vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeHuffmanCodeword(node);
}

int vorcFramewiseTesraScanDecoderSoftwareOnly::consumeAdditionalBits(int size) {
    return vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue}
        .consumeAdditionalBits(size);
}

bool vorcFramewiseTesraScanDecoderSoftwareOnly::decodeBlockExactly(Sweep& sweep, int blockIndex) {
    using vorc::jpeg::BlockOutcome;
    const bool luminance = blockIndex < 4;
    vorcHuffmanTree* const dcTree = luminance ? yDCTree.get() : uvDCTree.get();
    vorcHuffmanTree* const acTree = luminance ? yACTree.get() : uvACTree.get();
    const BlockOutcome outcome = vorc::jpeg::decodeCoefficients(
        vorc::jpeg::BitSerialReader{scanCursor, scanBitMask, scanBytesLeft, additionalBitsValue},
        sweep.blocks[blockIndex], sweep.predictors[luminance ? 0 : blockIndex - 3], dcTree->getRoot(),
        acTree->getRoot());
    if (outcome == BlockOutcome::TooManyCoefficients) vorc::sendStatus(vorc::StatusLevel::Warning, TooManyCoefficientsMessage, nullptr);
    sweep.lastPositions[blockIndex] = 63;  // not known: the whole transform
    return outcome == BlockOutcome::Decoded;
}

int vorcFramewiseTesraScanDecoderSoftwareOnly::decodeTileFast(Sweep& sweep) {
    using vorc::jpeg::FastBlockOutcome;
    switch (kernels.decodeTile(sweep.fastReader, *sweep.lookups, sweep.blocks, sweep.predictors,
                               sweep.lastPositions)) {
        case FastBlockOutcome::Decoded:
            return vorc::dsp::BlocksPerTile;
        case FastBlockOutcome::TooManyCoefficients:
            vorc::sendStatus(vorc::StatusLevel::Warning, TooManyCoefficientsMessage, nullptr);
            return -1;
        case FastBlockOutcome::NeedsExactReader:
            break;
    }
    // A block used bits past the end of the clean part. The bit-serial
    // reader reads the whole tile again, and the rest of the frame; until
    // now it stood at the start of the scan.
    std::memset(sweep.blocks, 0, sizeof sweep.blocks);
    unsigned char* const resume = const_cast<unsigned char*>(sweep.fastReader.position(scanBitMask));
    scanBytesLeft -= static_cast<int32_t>(resume - scanCursor);
    scanCursor = resume;
    sweep.fast = false;
    return 0;
}

void vorcFramewiseTesraScanDecoderSoftwareOnly::transformBlock(Sweep& sweep, int blockIndex) {
    const uint16_t* const quant = blockIndex < 4 ? yQuantTable : uvQuantTable;
    int16_t* const block = sweep.blocks[blockIndex];
    uint8_t* const samples = sweep.samples[blockIndex];
    // The fast block decoder needs the block zeroed again.
    if (sweep.lastPositions[blockIndex] == 0) {
        std::memset(samples, vorc::dsp::dcOnlySample(block[0], quant[0]), vorc::dsp::BlockSize);
        block[0] = 0;
    } else {
        kernels.dequantizeTransformBlock(block, quant, samples);
        std::memset(block, 0, sizeof(Block));
    }
}

vorcFramewiseTesraScanDecoderSoftwareOnly::TilePlace vorcFramewiseTesraScanDecoderSoftwareOnly::deliverTile(
    int tileColumn, int tileRow, const vorc::dsp::TileSamples& samples) {
    unsigned int* target = nullptr;
    int rowPad = 0;
    backEnd->provideVideoTilePixelTarget(tileColumn, tileRow, &target, &rowPad);
    const std::ptrdiff_t rowStep = TileRowBytes + 4 * static_cast<std::ptrdiff_t>(rowPad);
    kernels.convertTileToRgb(samples, reinterpret_cast<unsigned char*>(target), rowStep);
    backEnd->videoTileReceived();
    return {tileColumn, tileRow, reinterpret_cast<uintptr_t>(target), rowStep};
}

// The guess is where the tile lies if the back end keeps its tiles in one
// picture of rows rowStep bytes apart, as the buffered back end does; a wrong
// guess costs only the prefetches, which never fault.
void vorcFramewiseTesraScanDecoderSoftwareOnly::TilePlace::prefetchFor(int tileColumn, int tileRow) const {
    if (target == 0) return;
    const uintptr_t predicted = target + static_cast<uintptr_t>((tileColumn - column) * std::ptrdiff_t{TileRowBytes} +
                                                                (tileRow - row) * std::ptrdiff_t{TileSize} * rowStep);
    for (int y = 0; y < TileSize; ++y) {
        const uintptr_t rowStart = predicted + static_cast<uintptr_t>(y * rowStep);
        __builtin_prefetch(reinterpret_cast<const void*>(rowStart), 1);
        __builtin_prefetch(reinterpret_cast<const void*>(rowStart + TileRowBytes - 1), 1);
    }
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

    Sweep sweep;
    sweep.fast = kernels.decodeTile != nullptr;
    if (sweep.fast) {
        const unsigned char* const end = scanCursor + scanBytesLeft;
        sweep.fastReader.start(scanCursor, kernels.findScanMarker(scanCursor, end));
        sweep.lookups = &vorc::jpeg::standardLookups();
    }
    const unsigned char* const bitmap = frame->tileBitmap;
    const int columns = frame->tileColumns;
    const int64_t tileCount = int64_t{columns} * frame->tileRows;

    for (int64_t k = 0; k < tileCount; ++k) {
        if (bitmap != nullptr && (bitmap[k >> 3] & (0x80u >> (k & 7))) == 0) continue;
        // While the tile decodes, the lines its pixels will most likely go to
        // come into the cache: writing them costs least when they are there.
        sweep.lastTile.prefetchFor(static_cast<int>(k % columns), static_cast<int>(k / columns));
        // The blocks that the fast reader leaves are read bit-serially.
        const int decodedFast = sweep.fast ? decodeTileFast(sweep) : 0;
        if (decodedFast < 0) {
            backEnd->errorEncountered();
            return;
        }
        for (int blockIndex = decodedFast; blockIndex < vorc::dsp::BlocksPerTile; ++blockIndex) {
            if (!decodeBlockExactly(sweep, blockIndex)) {
                backEnd->errorEncountered();
                return;
            }
        }
        for (int blockIndex = 0; blockIndex < vorc::dsp::BlocksPerTile; ++blockIndex) transformBlock(sweep, blockIndex);
        sweep.lastTile = deliverTile(static_cast<int>(k % columns), static_cast<int>(k / columns), sweep.samples);
    }
    uint8_t endMask = scanBitMask;
    const unsigned char* const end = sweep.fast ? sweep.fastReader.position(endMask) : scanCursor;
    vorc::jpeg::checkScanEnd(end, endMask, frame->scanBytes, frame->scanLength);
}
