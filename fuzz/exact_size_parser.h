// The parser of the fuzz targets: the library's framewise parser (source ->
// parser -> scan decoder -> back end) with a prefetch buffer exactly as large
// as the input instead of 4 MiB, so that a read past the bytes received runs
// off the end of a heap block, where AddressSanitizer sees it.
#ifndef VORC_FUZZ_EXACT_SIZE_PARSER_H
#define VORC_FUZZ_EXACT_SIZE_PARSER_H

#include <cstddef>
#include <cstdint>

#include "vorc/parse/framewise_decoder.h"

namespace vorcfuzz {

class ExactSizeParser : public vorcFramewiseTesraDecoder {
public:
    // Takes ownership of all three objects, like the parser; streamSize is
    // the number of bytes the source will deliver in all. Damaged frames are
    // skipped (StreamErrorPolicy::SkipFrame).
    ExactSizeParser(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd,
                    vorcFramewiseTesraScanDecoder* scanDecoder, size_t streamSize);

    // Calls decode until the source has ended. False when a frame was
    // handed on as damaged.
    bool decodeAll();

    // False when a frame header in the stream announces a picture of more
    // than maxTiles tiles. Such a picture is legal, but its buffers (up to
    // 13 GB) would only measure the machine, not the code.
    static bool picturesFit(const uint8_t* stream, size_t size, int64_t maxTiles);
};

// The input of the stream fuzz targets: one byte for the source's piece
// sizes, then the stream.
struct StreamInput {
    const uint8_t* stream;
    size_t size;
    uint8_t pieceSeed;
};

// Splits data into a StreamInput; false for an empty input or one whose
// pictures do not fit into maxTiles.
bool splitStreamInput(const uint8_t* data, size_t size, int64_t maxTiles, StreamInput& input);

// Installs the library's silent status handler (once per process): status
// lines would only flood the fuzzer's log.
void silenceStatusMessages();

}  // namespace vorcfuzz

#endif
