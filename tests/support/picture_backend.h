// Test support: a complete decoding chain over a byte vector (parser,
// software scan decoder and a buffered back end that copies the picture out
// at every frameComplete, top row first, picture width and height only).
#ifndef VORC_TESTS_SUPPORT_PICTURE_BACKEND_H
#define VORC_TESTS_SUPPORT_PICTURE_BACKEND_H

#include <vector>

#include "support/libjpeg_helpers.h"
#include "vorc/parse/framewise_decoder.h"

namespace vorctest {

struct DecodeOutcome {
    std::vector<RgbPicture> frames;  // one per frameComplete
    std::vector<bool> damaged;       // per frame: errorEncountered came first
    std::vector<bool> stale;         // per frame: the parser's pictureIsStale()
    std::vector<uint64_t> offsets;   // per frame: the parser's frameStreamOffset()
    int errors = 0;
    int tiles = 0;
    uint64_t damagedFrames = 0;  // as the parser counts them
    uint64_t skippedBytes = 0;
    std::optional<vorc::StreamError> lastError;
    std::optional<uint64_t> unfinishedFrameOffset;
    std::vector<std::string> messages;
};

// The whole stream served in the given piece sizes (empty: all at once),
// with decode calls of at most pull bytes. Status messages are dropped.
DecodeOutcome decodeStream(const Bytes& stream, std::vector<size_t> pieces = {}, int pull = 65536,
                           vorc::StreamErrorPolicy policy = vorc::StreamErrorPolicy::ExitProcess);

}  // namespace vorctest

#endif
