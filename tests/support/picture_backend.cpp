// Test support: reading the buffered back end's bottom-up picture, and a
// complete decoding chain over a byte vector.
#include "support/picture_backend.h"

#include <cstring>

#include "support/piece_source.h"
#include "support/recorders.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/decode/scan_decoder_software.h"

namespace vorctest {

RgbPicture pictureOf(const vorcBufferedTesraDecoderBackEnd& backEnd) {
    RgbPicture picture;
    if (backEnd.frameBuffer == nullptr) return picture;
    picture.width = backEnd.width;
    picture.height = backEnd.height;
    picture.pixels.resize(static_cast<size_t>(picture.width) * picture.height * 3);
    const auto* bytes = reinterpret_cast<const uint8_t*>(backEnd.frameBuffer);
    const size_t memoryRowBytes = static_cast<size_t>(backEnd.tileColumns) * 48;
    const size_t memoryRows = static_cast<size_t>(backEnd.tileRows) * 16;
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* row = bytes + (memoryRows - 1 - static_cast<size_t>(y)) * memoryRowBytes;
        std::memcpy(&picture.pixels[static_cast<size_t>(y) * picture.width * 3], row,
                    static_cast<size_t>(picture.width) * 3);
    }
    return picture;
}

DecodeOutcome decodeStream(const Bytes& stream, std::vector<size_t> pieces) {
    StatusCapture quiet;
    auto outcome = std::make_shared<DecodeOutcome>();
    {
        vorcFramewiseTesraDecoder decoder(new PieceSource(stream, std::move(pieces)), new PictureBackEnd(outcome),
                                          new vorcFramewiseTesraScanDecoderSoftwareOnly());
        while (decoder.decode(65536) != 0 || decoder.sourceStillUp()) {
        }
    }
    return *outcome;
}

}  // namespace vorctest
