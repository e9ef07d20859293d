// The scan-decoder interface: the consumer of whole collected frames. The
// pixel decoder turns a frame's coded tiles into RGB pixels in the back
// end's picture; the transcoder turns the frame into a complete JPEG image.
// The four default Huffman tables of the stream format (the only code books
// it is ever decoded with) are named as static members of this base class.
#ifndef VORC_CORE_SCAN_DECODER_H
#define VORC_CORE_SCAN_DECODER_H

#include <cstdint>

#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/stream_interfaces.h"
#include "vorc/jpeg/standard_tables.h"

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
    static constexpr const unsigned char* DefaultHuffmanTable_Y_DC = vorc::jpeg::standardDCTable(0);
    static constexpr const unsigned char* DefaultHuffmanTable_Y_AC = vorc::jpeg::standardACTable(0);
    static constexpr const unsigned char* DefaultHuffmanTable_UV_DC = vorc::jpeg::standardDCTable(1);
    static constexpr const unsigned char* DefaultHuffmanTable_UV_AC = vorc::jpeg::standardACTable(1);
    static constexpr int32_t DefaultHuffmanTable_Y_DC_Size = vorc::jpeg::DCTableBytes;
    static constexpr int32_t DefaultHuffmanTable_Y_AC_Size = vorc::jpeg::ACTableBytes;
    static constexpr int32_t DefaultHuffmanTable_UV_DC_Size = vorc::jpeg::DCTableBytes;
    static constexpr int32_t DefaultHuffmanTable_UV_AC_Size = vorc::jpeg::ACTableBytes;

protected:
    vorcTesraDecoderBackEnd* backEnd = nullptr;  // not owned
};

#endif
