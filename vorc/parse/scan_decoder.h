// The scan-decoder interface: the consumer of whole collected frames. The
// pixel decoder turns a frame's coded tiles into RGB pixels in the back
// end's picture; the transcoder turns the frame into a complete JPEG image.
// The four default Huffman tables of the stream format (the only code books
// it is ever decoded with) are named as static members of this base class.
#ifndef VORC_PARSE_SCAN_DECODER_H
#define VORC_PARSE_SCAN_DECODER_H

#include <cstdint>

#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/stream_interfaces.h"

class vorcFramewiseTesraScanDecoder {
public:
    vorcFramewiseTesraScanDecoder() = default;
    virtual ~vorcFramewiseTesraScanDecoder() = default;
    vorcFramewiseTesraScanDecoder(const vorcFramewiseTesraScanDecoder&) = delete;
    vorcFramewiseTesraScanDecoder& operator=(const vorcFramewiseTesraScanDecoder&) = delete;

    // A short constant text naming the acceleration method.
    virtual const char* getAccelerationTypeString() = 0;
    // 64 quantisation values in DQT (zig-zag) order; valid only during the call.
    virtual void setYQuantizationTable(unsigned char* table) = 0;
    virtual void setUVQuantizationTable(unsigned char* table) = 0;
    virtual void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) = 0;

    void setBackEnd(vorcTesraDecoderBackEnd* newBackEnd) { backEnd = newBackEnd; }

    // ITU-T T.81 Annex K tables K.3 to K.6 in DHT payload layout: 16 counts
    // (codes of length 1..16) followed by the symbols.
    static const unsigned char* const DefaultHuffmanTable_Y_DC;
    static const unsigned char* const DefaultHuffmanTable_Y_AC;
    static const unsigned char* const DefaultHuffmanTable_UV_DC;
    static const unsigned char* const DefaultHuffmanTable_UV_AC;
    static constexpr int32_t DefaultHuffmanTable_Y_DC_Size = 16 + 12;
    static constexpr int32_t DefaultHuffmanTable_Y_AC_Size = 16 + 162;
    static constexpr int32_t DefaultHuffmanTable_UV_DC_Size = 16 + 12;
    static constexpr int32_t DefaultHuffmanTable_UV_AC_Size = 16 + 162;

protected:
    vorcTesraDecoderBackEnd* backEnd = nullptr;  // not owned
};

#endif
