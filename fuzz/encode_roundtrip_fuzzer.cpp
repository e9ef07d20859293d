// Fuzz target: the stream encoder (RGB pictures -> encoder -> Tesra stream)
// must never write a stream that the library's own readers reject. Input
// bytes give a small picture size, the encoder settings and the pixels of a
// few frames; the stream is then decoded by source -> parser -> pixel
// decoder -> back end and transcoded by source -> parser -> transcoder.
// Both must complete every frame with exactly the tiles the encoder coded,
// without a corrupt frame and without a fatal stream error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exact_size_parser.h"
#include "fuzz_check.h"
#include "exact_size_source.h"
#include "vorc/backends/default_backend.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/encode/stream_encoder.h"
#include "vorc/sinks/byte_stream_receiver.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

constexpr size_t HeaderBytes = 6;
constexpr int LargestSide = 64;
constexpr size_t LargestFrameCount = 6;

[[noreturn]] void reject(const char* why) { vorcfuzz::failCheck("encoder round trip failed", why); }

class CollectingReceiver : public vorcByteStreamReceiver {
public:
    explicit CollectingReceiver(std::vector<uint8_t>& stream) : stream_(stream) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        stream_.insert(stream_.end(), bytes, bytes + count);
    }

private:
    std::vector<uint8_t>& stream_;
};

class DiscardingReceiver : public vorcJPEGReceiver {
public:
    void beginFrame() override {}
    void endFrame() override {}
    void receiveJPEGBytes(const unsigned char*, int) override {}
};

// What a reader made of the stream, frame by frame.
struct Reading {
    std::vector<size_t> tilesPerFrame;
    size_t tilesSoFar = 0;
    int corruptFrames = 0;
};

class CountingBackEnd : public vorcDefaultTesraDecoderBackEnd {
public:
    explicit CountingBackEnd(Reading& reading) : reading_(reading) {}
    void errorEncountered() override { ++reading_.corruptFrames; }
    void videoTileReceived() override { ++reading_.tilesSoFar; }
    void frameComplete() override {
        reading_.tilesPerFrame.push_back(reading_.tilesSoFar);
        reading_.tilesSoFar = 0;
    }

private:
    Reading& reading_;
};

void requireReadBack(vorcFramewiseTesraScanDecoder* scanDecoder, const std::vector<uint8_t>& stream,
                     const std::vector<size_t>& codedTiles, uint8_t pieceSeed) {
    Reading reading;
    vorcfuzz::ExactSizeParser parser(new vorcfuzz::ExactSizeSource(stream.data(), stream.size(), pieceSeed),
                                     new CountingBackEnd(reading), scanDecoder, stream.size());
    if (!parser.decodeAll()) reject("damaged frame");
    if (reading.corruptFrames != 0) reject("corrupt frame");
    if (reading.tilesPerFrame != codedTiles) reject("frames or tiles differ from what was encoded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorcfuzz::silenceStatusMessages();
    if (size < HeaderBytes) return 0;
    const int width = 1 + data[0] % LargestSide;
    const int height = 1 + data[1] % LargestSide;
    const int quality = 1 + data[2] % 100;
    const uint8_t flags = data[3];
    const int changeThreshold = data[4] % 8 == 0 ? 0 : data[4];
    const uint8_t pieceSeed = data[5];
    const uint8_t* pixels = data + HeaderBytes;
    const size_t pixelBytes = size - HeaderBytes;

    std::vector<uint8_t> stream;
    std::vector<size_t> codedTiles;
    {
        vorc::StreamEncoder encoder(new CollectingReceiver(stream));
        encoder.setQuality(quality);
        encoder.setTablesInPartialFramesEnabled((flags & 1) != 0);
        encoder.setImageTagEnabled((flags & 2) != 0);
        encoder.setKeyFrameInterval(1 + ((flags >> 2) & 3));
        encoder.setChangeThreshold(changeThreshold);

        // The pixels of all frames, one after the other; the last frame's
        // missing bytes repeat the input from its start.
        const size_t frameBytes = size_t(width) * size_t(height) * 3;
        const size_t frames = std::clamp<size_t>(pixelBytes / frameBytes, 1, LargestFrameCount);
        std::vector<unsigned char> picture(frameBytes);
        for (size_t frame = 0; frame < frames; ++frame) {
            for (size_t i = 0; i < frameBytes; ++i) {
                const size_t at = frame * frameBytes + i;
                picture[i] = pixelBytes == 0 ? 0 : pixels[at % pixelBytes];
            }
            // Bit 4 asks for a smaller picture every other frame, bit 5 for
            // a new quality with every frame, bit 6 for an application
            // segment between frames: the changes a stream can carry.
            const bool shrink = (flags & 0x10) != 0 && frame % 2 == 1;
            if ((flags & 0x20) != 0) encoder.setQuality(1 + (quality + 37 * int(frame)) % 100);
            if ((flags & 0x40) != 0) encoder.writeApplicationSegment(data, int(HeaderBytes));
            codedTiles.push_back(
                encoder.encodeFrame(picture.data(), shrink ? (width + 1) / 2 : width, shrink ? (height + 1) / 2 : height));
        }
        encoder.finish();
    }

    requireReadBack(new vorcFramewiseTesraScanDecoderSoftwareOnly(), stream, codedTiles, pieceSeed);
    requireReadBack(new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new DiscardingReceiver()), stream,
                    codedTiles, pieceSeed);
    return 0;
}
