// The scan-decoder interface's default tables: the standard ones, which
// every scan decoder and the transcoder's images use.
#include "vorc/parse/scan_decoder.h"

#include "vorc/jpeg/standard_tables.h"

static_assert(vorcFramewiseTesraScanDecoder::DefaultHuffmanTable_Y_DC_Size == vorc::jpeg::DCTableBytes &&
                  vorcFramewiseTesraScanDecoder::DefaultHuffmanTable_Y_AC_Size == vorc::jpeg::ACTableBytes,
              "the default tables' sizes are the standard tables'");

const unsigned char* const vorcFramewiseTesraScanDecoder::DefaultHuffmanTable_Y_DC = vorc::jpeg::standardDCTable(0);
const unsigned char* const vorcFramewiseTesraScanDecoder::DefaultHuffmanTable_Y_AC = vorc::jpeg::standardACTable(0);
const unsigned char* const vorcFramewiseTesraScanDecoder::DefaultHuffmanTable_UV_DC = vorc::jpeg::standardDCTable(1);
const unsigned char* const vorcFramewiseTesraScanDecoder::DefaultHuffmanTable_UV_AC = vorc::jpeg::standardACTable(1);
