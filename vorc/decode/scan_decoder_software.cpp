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
#include <vector>

#include "vorc/core/exceptions.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/bit_serial_reader.h"
#include "vorc/dsp/kernel_table.h"
#include "vorc/dsp/reference_kernels.h"
#include "vorc/jpeg/plain_scan.h"
#include "vorc/jpeg/tile_bitmap.h"
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

struct vorcFramewiseTesraScanDecoderSoftwareOnly::Workspace {
    const vorc::dsp::KernelTable& kernels;
    // The clean part of the scan being swept as plain bits, with the fast
    // reader's zero margin behind them, and the plain offset of each FF in
    // them; kept from sweep to sweep.
    std::vector<unsigned char> plainScan;
    std::vector<uint32_t> plainScanFFs;
};

const std::array<int16_t, 1024>& vorcFramewiseTesraScanDecoderSoftwareOnly::iclip =
    vorc::dsp::reference::InverseDctClipTable;
const int16_t* const vorcFramewiseTesraScanDecoderSoftwareOnly::iclp =
    vorc::dsp::reference::InverseDctClipTable.data() + vorc::dsp::reference::ClipTableCentre;

void vorcFramewiseTesraScanDecoderSoftwareOnly::idct(short* block) { vorc::dsp::reference::inverseDct(block); }
void vorcFramewiseTesraScanDecoderSoftwareOnly::idctrow(short* row) { vorc::dsp::reference::inverseDctRow(row); }
void vorcFramewiseTesraScanDecoderSoftwareOnly::idctcol(short* column) {
    vorc::dsp::reference::inverseDctColumn(column);
}

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
      workspace(new Workspace{kernels, {}, {}}) {
    reportLeaves("symbols in Y/DC Huffman table : %d", *yDCTree, this);
    reportLeaves("symbols in Y/AC Huffman table : %d", *yACTree, this);
    reportLeaves("symbols in UV/DC Huffman table : %d", *uvDCTree, this);
    reportLeaves("symbols in UV/AC Huffman table : %d", *uvACTree, this);
}

vorcFramewiseTesraScanDecoderSoftwareOnly::~vorcFramewiseTesraScanDecoderSoftwareOnly() = default;

const char* vorcFramewiseTesraScanDecoderSoftwareOnly::getAccelerationTypeString() { return workspace->kernels.name; }

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
    switch (workspace->kernels.decodeTile(sweep.fastReader, *sweep.lookups, sweep.blocks, sweep.predictors,
                               sweep.lastPositions)) {
        case FastBlockOutcome::Decoded:
            return vorc::dsp::BlocksPerTile;
        case FastBlockOutcome::TooManyCoefficients:
            vorc::sendStatus(vorc::StatusLevel::Warning, TooManyCoefficientsMessage, nullptr);
            return -1;
        case FastBlockOutcome::NeedsExactReader:
            break;
    }
    // A block used bits past the end of the clean part, or met an invalid
    // codeword. The bit-serial reader reads the whole tile again, and the
    // rest of the frame.
    std::memset(sweep.blocks, 0, sizeof sweep.blocks);
    handOverToExactReader(sweep);
    return 0;
}

void vorcFramewiseTesraScanDecoderSoftwareOnly::handOverToExactReader(Sweep& sweep) {
    // Until now the bit-serial reader stood at the start of the scan.
    const uint64_t bit = sweep.fastReader.position();
    const size_t resume = vorc::jpeg::scanOffsetOf(static_cast<size_t>(bit / 8), workspace->plainScanFFs);
    scanBitMask = static_cast<uint8_t>(0x80u >> (bit % 8));
    scanBytesLeft -= static_cast<int32_t>(resume);
    scanCursor += resume;
    sweep.fast = false;
}

void vorcFramewiseTesraScanDecoderSoftwareOnly::transformBlock(Sweep& sweep, int blockIndex) {
    const uint16_t* const quant = blockIndex < 4 ? yQuantTable : uvQuantTable;
    int16_t* const block = sweep.blocks[blockIndex];
    uint8_t* const samples = sweep.samples[blockIndex];
    // The fast block decoder needs the block zeroed again, which the
    // transform does.
    if (sweep.lastPositions[blockIndex] == 0) {
        std::memset(samples, vorc::dsp::dcOnlySample(block[0], quant[0]), vorc::dsp::BlockSize);
        block[0] = 0;
    } else {
        workspace->kernels.dequantizeTransformBlock(block, quant, samples);
    }
}

vorcFramewiseTesraScanDecoderSoftwareOnly::TilePlace vorcFramewiseTesraScanDecoderSoftwareOnly::deliverTile(
    int tileColumn, int tileRow, const Sweep& sweep) {
    unsigned int* target = nullptr;
    int rowPad = 0;
    backEnd->provideVideoTilePixelTarget(tileColumn, tileRow, &target, &rowPad);
    const std::ptrdiff_t rowStep = TileRowBytes + 4 * static_cast<std::ptrdiff_t>(rowPad);
    workspace->kernels.convertTileToRgb(sweep.samples, reinterpret_cast<unsigned char*>(target), rowStep);
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

    const vorc::dsp::KernelTable& kernels = workspace->kernels;
    std::vector<unsigned char>& plainScan = workspace->plainScan;
    Sweep sweep;
    sweep.fast = kernels.decodeTile != nullptr;
    if (sweep.fast) {
        const unsigned char* const cleanEnd = kernels.findScanMarker(scanCursor, scanCursor + scanBytesLeft);
        const size_t room = static_cast<size_t>(cleanEnd - scanCursor) + vorc::jpeg::ScanBitReader::ZeroMargin;
        if (plainScan.size() < room) plainScan.resize(room);
        const size_t plainBytes = kernels.copyPlainBits(scanCursor, cleanEnd, plainScan.data(), workspace->plainScanFFs);
        std::memset(plainScan.data() + plainBytes, 0, vorc::jpeg::ScanBitReader::ZeroMargin);
        sweep.fastReader.start(plainScan.data(), 0, uint64_t{plainBytes} * 8);
        sweep.lookups = &vorc::jpeg::standardLookups();
    }
    const unsigned char* const bitmap = frame->tileBitmap;
    const size_t columns = frame->tileColumns > 0 ? static_cast<size_t>(frame->tileColumns) : 0;
    const size_t tileCount = frame->tileRows > 0 ? columns * static_cast<size_t>(frame->tileRows) : 0;

    for (size_t k = vorc::jpeg::nextCodedTile(bitmap, 0, tileCount); k < tileCount;
         k = vorc::jpeg::nextCodedTile(bitmap, k + 1, tileCount)) {
        const int column = static_cast<int>(k % columns);
        const int row = static_cast<int>(k / columns);
        // While the tile decodes, the lines its pixels will most likely go to
        // come into the cache: writing them costs least when they are there.
        sweep.lastTile.prefetchFor(column, row);
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
        sweep.lastTile = deliverTile(column, row, sweep);
    }
    if (sweep.fast) handOverToExactReader(sweep);
    vorc::jpeg::checkScanEnd(scanCursor, scanBitMask, frame->scanBytes, frame->scanLength);
}
