// Transcoder set-up: the decoding trees, the quantisation tables the stream
// last sent and the fixed segments of every image.
#include "vorc/transcode/jpeg_converter.h"

#include "vorc/transcode/converter_workspace.h"

#include <cstdio>

#include "vorc/core/exceptions.h"
#include "vorc/core/status_messages.h"

namespace {

using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;

// A whole segment: marker, length (which counts itself) and payload.
template <size_t PayloadSize>
constexpr std::array<uint8_t, PayloadSize + 4> segment(unsigned char marker, const unsigned char (&payload)[PayloadSize]) {
    std::array<uint8_t, PayloadSize + 4> bytes{};
    bytes[0] = vorc::jpeg::MarkerPrefix;
    bytes[1] = marker;
    bytes[2] = static_cast<uint8_t>((PayloadSize + 2) >> 8);
    bytes[3] = static_cast<uint8_t>((PayloadSize + 2) & 0xFF);
    for (size_t i = 0; i < PayloadSize; ++i) bytes[4 + i] = payload[i];
    return bytes;
}

std::unique_ptr<vorcHuffmanTree> makeTree(const unsigned char* table) {
    auto tree = std::make_unique<vorcHuffmanTree>();
    if (tree->configureFromTable(table, 16) != 0) throw vorcDidntWorkOutException();
    return tree;
}

void storeNatural(uint16_t* quantTable, const unsigned char* zigzagValues) {
    for (int k = 0; k < 64; ++k) quantTable[Converter::ZigZagMap[k]] = zigzagValues[k];
}

}  // namespace

vorcFramewiseTesraScanToJPEGConverter::vorcFramewiseTesraScanToJPEGConverter(
    vorcJPEGReceiver* receiver)
    : jpegReceiver(receiver) {}

vorcFramewiseTesraScanToJPEGConverter::~vorcFramewiseTesraScanToJPEGConverter() = default;

Converter::vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(vorcJPEGReceiver* receiver)
    : vorcFramewiseTesraScanToJPEGConverter(receiver),
      yQuantTable{},
      uvQuantTable{},
      coeffTileColumns(0),
      coeffTileRows(0),
      scanCursor(nullptr),
      scanBitMask(0x80),
      scanBytesLeft(0),
      additionalBitsValue(0),
      app0Segment(segment(vorc::jpeg::MarkerAPP0, vorc::jpeg::JfifApp0Payload)),
      sof0Segment(segment(vorc::jpeg::MarkerSOF0, vorc::jpeg::TileFrameHeaderPayload)),
      sosSegment(segment(vorc::jpeg::MarkerSOS, vorc::jpeg::TileScanHeaderPayload)),
      workspace(std::make_unique<Workspace>()) {
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

Converter::~vorcFramewiseTesraScanToJPEGConverterSoftwareOnly() = default;

const char* Converter::getAccelerationTypeString() { return "none"; }

void Converter::setYQuantizationTable(unsigned char* table) { storeNatural(yQuantTable, table); }

void Converter::setUVQuantizationTable(unsigned char* table) { storeNatural(uvQuantTable, table); }
