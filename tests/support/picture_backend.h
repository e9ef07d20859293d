// Test support: a complete decoding chain over a byte vector (parser,
// software scan decoder and a buffered back end that copies the picture out
// at every frameComplete, top row first, picture width and height only).
#ifndef VORC_TESTS_SUPPORT_PICTURE_BACKEND_H
#define VORC_TESTS_SUPPORT_PICTURE_BACKEND_H

#include <vector>

#include "support/libjpeg_helpers.h"

namespace vorctest {

struct DecodeOutcome {
    std::vector<RgbPicture> frames;  // one per frameComplete
    int errors = 0;
    int tiles = 0;
};

// The whole stream served in the given piece sizes (empty: all at once),
// with decode calls of at most pull bytes. Status messages are dropped.
DecodeOutcome decodeStream(const Bytes& stream, std::vector<size_t> pieces = {}, int pull = 65536);

}  // namespace vorctest

#endif
