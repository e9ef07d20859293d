// Differential fuzz target: recovery never changes a valid stream. The input
// builds a valid stream (valid_stream.h) and it is read twice through the
// pixel decoder and through the transcoder, once under the default policy
// and once under SkipFrame, each in pieces and decode calls of sizes the
// input picks. Every callback, status message, picture and image must be the
// same, every frame must come out, and SkipFrame must find no damage. A
// fatal stream error under the default policy ends the process, which
// libFuzzer reports: the stream the encoder wrote was not valid.
#include <cstddef>
#include <cstdint>

#include "exact_size_parser.h"
#include "fuzz_check.h"
#include "valid_stream.h"

namespace {
constexpr int MaxFrames = 12;
constexpr int MaxTiles = 40;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return -1;
    vorcfuzz::silenceStatusMessages();
    vorcfuzz::InputBytes input(data + 2, size - 2);
    const vorcfuzz::ValidStream stream = vorcfuzz::buildValidStream(input, MaxFrames, MaxTiles);
    const vorcfuzz::ChainTrace exiting = vorcfuzz::traceChains(stream.bytes, false, data[0], MaxTiles);
    const vorcfuzz::ChainTrace skipping = vorcfuzz::traceChains(stream.bytes, true, data[1], MaxTiles);
    if (exiting.pixels != skipping.pixels)
        vorcfuzz::failCheck("valid stream", "the pixel chain differs between the policies");
    if (exiting.images != skipping.images)
        vorcfuzz::failCheck("valid stream", "the JPEG chain differs between the policies");
    if (skipping.framesHandedOn != stream.frameStarts.size() || skipping.damaged.size() != stream.frameStarts.size())
        vorcfuzz::failCheck("valid stream", "not every frame came out");
    if (skipping.damagedFrames != 0 || skipping.skippedBytes != 0 || skipping.streamError)
        vorcfuzz::failCheck("valid stream", "SkipFrame found damage in a valid stream");
    for (const bool stale : skipping.stale)
        if (stale) vorcfuzz::failCheck("valid stream", "a picture of a valid stream is called stale");
    return 0;
}
