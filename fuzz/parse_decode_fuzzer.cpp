// Fuzz target: arbitrary bytes as a Tesra stream through the whole decoding
// chain source -> parser -> pixel decoder -> back end, once with the
// buffered RGB back end, once with the default back end and once with the
// raw frame dumper (RGB or YUV, by bit 7 of the first byte). The first byte
// chooses how the source splits the stream into pieces; the rest is the
// stream. Every outcome but a crash, a hang or a sanitizer report is fine:
// decoded frames, corrupt frames, or a fatal stream error.
#include <cstddef>
#include <cstdint>

#include "exact_size_parser.h"
#include "exact_size_source.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/backends/default_backend.h"
#include "vorc/backends/raw_frame_dumper.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/sinks/byte_stream_receiver.h"

namespace {

// 512 x 512 pixels, or as many tiles in any other shape: the back ends
// clear, fill and read the whole picture for every run, and larger ones
// take no other paths.
constexpr int64_t MaxTiles = 1024;

class ReadingBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override {}
    void videoTileReceived() override {}
    // Reads the whole picture, so that a buffer smaller than the picture
    // size it was allocated for is caught at once.
    void frameComplete() override {
        if (frameBuffer == nullptr) return;
        const auto* bytes = reinterpret_cast<const unsigned char*>(frameBuffer);
        const size_t size = size_t(tileColumns) * size_t(tileRows) * WordsPerTile * sizeof(unsigned int);
        unsigned char sum = 0;
        for (size_t i = 0; i < size; ++i) sum = static_cast<unsigned char>(sum + bytes[i]);
        checksum = sum;
    }

private:
    volatile unsigned char checksum = 0;
};

class DiscardingReceiver : public vorcByteStreamReceiver {
public:
    void receiveStreamBytes(const unsigned char*, int) override {}
};

void decodeWith(vorcTesraDecoderBackEnd* backEnd, const vorcfuzz::StreamInput& input) {
    vorcfuzz::ExactSizeParser parser(new vorcfuzz::ExactSizeSource(input.stream, input.size, input.pieceSeed),
                                     backEnd, new vorcFramewiseTesraScanDecoderSoftwareOnly(), input.size);
    parser.decodeAll();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorcfuzz::silenceStatusMessages();
    vorcfuzz::StreamInput input{};
    if (!vorcfuzz::splitStreamInput(data, size, MaxTiles, input)) return -1;
    decodeWith(new ReadingBackEnd(), input);
    decodeWith(new vorcDefaultTesraDecoderBackEnd(), input);
    decodeWith(new vorcTesraRawFrameDumper(new DiscardingReceiver(), (input.pieceSeed & 0x80) != 0), input);
    return 0;
}
