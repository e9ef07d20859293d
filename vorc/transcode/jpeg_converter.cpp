// Transcoder set-up: the decoding trees, the quantisation tables the stream
// last sent, the fixed JPEG header segments and the zig-zag tables.
#include "vorc/transcode/jpeg_converter.h"

#include <cstdio>

#include "vorc/core/exceptions.h"
#include "vorc/core/status_messages.h"

namespace {

using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;

constexpr std::array<uint8_t, 18> App0Template = {0xFF, 0xE0, 0x00, 0x10, 'J',  'F',
                                                  'I',  'F',  0x00, 0x01, 0x01, 0x00,
                                                  0x00, 0x01, 0x00, 0x01, 0x00, 0x00};

// Height and width (bytes 5..8) are filled in for every image. Luminance is
// sampled 2x2, so one coding unit is one 16x16 tile.
constexpr std::array<uint8_t, 19> Sof0Template = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x00,
                                                  0x00, 0x00, 0x03, 0x01, 0x22, 0x00, 0x02,
                                                  0x11, 0x01, 0x03, 0x11, 0x01};

constexpr std::array<uint8_t, 14> SosTemplate = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                                                 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};

std::unique_ptr<vorcHuffmanTree> makeTree(const unsigned char* table) {
    auto tree = std::make_unique<vorcHuffmanTree>();
    if (tree->configureFromTable(table, 16) != 0) throw vorcDidntWorkOutException();
    return tree;
}

void storeNatural(uint16_t* quantTable, const unsigned char* zigzagValues) {
    for (int k = 0; k < 64; ++k) quantTable[Converter::ZigZagMap[k]] = zigzagValues[k];
}

}  // namespace

const int32_t Converter::ZigZagMap[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

const uint8_t Converter::ZigZag_StoreMap[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

vorcFramewiseTesraScanToJPEGConverter::vorcFramewiseTesraScanToJPEGConverter(
    vorcJPEGReceiver* receiver)
    : jpegReceiver(receiver) {}

vorcFramewiseTesraScanToJPEGConverter::~vorcFramewiseTesraScanToJPEGConverter() = default;

Converter::vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(vorcJPEGReceiver* receiver)
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

Converter::~vorcFramewiseTesraScanToJPEGConverterSoftwareOnly() = default;

const char* Converter::getAccelerationTypeString() { return "none"; }

void Converter::setYQuantizationTable(unsigned char* table) { storeNatural(yQuantTable, table); }

void Converter::setUVQuantizationTable(unsigned char* table) { storeNatural(uvQuantTable, table); }
