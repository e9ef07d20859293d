// Buffer replacement, the decode loop and the picture-size check of the
// fuzz targets' parser.
#include "exact_size_parser.h"

#include <algorithm>

#include "vorc/core/status_messages.h"

namespace vorcfuzz {

namespace {

// Odd, so that pieces end at every offset relative to the frames.
constexpr int BytesPerDecodeCall = 4093;

int64_t tilesFor(int64_t pixels) { return (pixels + 15) / 16; }

}  // namespace

ExactSizeParser::ExactSizeParser(vorcStreamSource* source, vorcTesraDecoderBackEnd* backEnd,
                                 vorcFramewiseTesraScanDecoder* scanDecoder, size_t streamSize)
    // The stream never needs more room than its own size: a completed frame
    // is removed from the buffer before more bytes are added.
    : vorcFramewiseTesraDecoder(source, backEnd, scanDecoder,
                                static_cast<int32_t>(std::clamp<size_t>(streamSize, 1, DefaultPrefetchCapacity))) {
    setStreamErrorPolicy(vorc::StreamErrorPolicy::SkipFrame);
}

bool ExactSizeParser::decodeAll() {
    // The last call finds the source ended and hands on a last frame.
    while (decode(BytesPerDecodeCall) != 0 || sourceStillUp()) {
    }
    return damagedFrames() == 0;
}

bool ExactSizeParser::picturesFit(const uint8_t* stream, size_t size, int64_t maxTiles) {
    // Every FF C0 counts, also one inside another segment: a false alarm
    // only skips an input. Layout: FF C0, length (2), precision, height, width.
    for (size_t i = 0; i + 8 < size; ++i) {
        if (stream[i] != 0xFF || stream[i + 1] != 0xC0) continue;
        const int64_t height = stream[i + 5] * 256 + stream[i + 6];
        const int64_t width = stream[i + 7] * 256 + stream[i + 8];
        if (tilesFor(width) * tilesFor(height) > maxTiles) return false;
    }
    return true;
}

bool splitStreamInput(const uint8_t* data, size_t size, int64_t maxTiles, StreamInput& input) {
    if (size < 1) return false;
    input = StreamInput{data + 1, size - 1, data[0]};
    return ExactSizeParser::picturesFit(input.stream, input.size, maxTiles);
}

void silenceStatusMessages() {
    static const bool silenced = (vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler()), true);
    (void)silenced;
}

}  // namespace vorcfuzz
