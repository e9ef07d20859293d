// Fuzz target: the parser under SkipFrame must give the same result however
// the stream is cut. Arbitrary bytes go through source -> parser -> pixel
// decoder -> back end twice: once in one piece with large decode calls, and
// once in pieces and decode calls of the sizes that the first two input
// bytes choose. The back end's calls (with a checksum of every tile's
// pixels), the damaged frames, the skipped bytes and the last error must
// all agree. The parser's search for the end of a scan must also agree with
// its serial reference on the input, from each of its first 16 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "exact_size_parser.h"
#include "exact_size_source.h"
#include "fuzz_check.h"
#include "vorc/dsp/kernel_table.h"
#include "vorc/decode/scan_decoder_software.h"

namespace {

// 512 x 512 pixels, or as many tiles in any other shape.
constexpr int64_t MaxTiles = 1024;

class LoggingBackEnd : public vorcTesraDecoderBackEnd {
public:
    explicit LoggingBackEnd(std::string& log) : log_(log) {}
    void videoResolutionChanged(int width, int height) override {
        log_ += "R" + std::to_string(width) + "x" + std::to_string(height) + " ";
    }
    void errorEncountered() override { log_ += "E "; }
    void frameComplete() override { log_ += "C "; }
    void provideVideoTilePixelTarget(int column, int row, unsigned int** target, int* rowPad) override {
        log_ += "T" + std::to_string(column) + "," + std::to_string(row);
        *target = tile_;
        *rowPad = 0;
    }
    void videoTileReceived() override {
        uint32_t sum = 0;
        for (unsigned int word : tile_) sum = sum * 31u + word;
        log_ += ":" + std::to_string(sum) + " ";
    }

private:
    std::string& log_;
    unsigned int tile_[192] = {};
};

std::string decode(const vorcfuzz::StreamInput& input, uint8_t pieceSeed, uint8_t decodeSeed) {
    std::string log;
    vorcfuzz::ExactSizeParser parser(new vorcfuzz::ExactSizeSource(input.stream, input.size, pieceSeed),
                                     new LoggingBackEnd(log), new vorcFramewiseTesraScanDecoderSoftwareOnly(),
                                     input.size);
    // Decode sizes from 1 to 64 in a fixed sequence, or 65536 for seed 0.
    uint32_t sequence = decodeSeed;
    const auto nextSize = [&]() -> int {
        if (decodeSeed == 0) return 65536;
        sequence = sequence * 1103515245u + 12345u;
        return 1 + static_cast<int>((sequence >> 16) % 64);
    };
    while (parser.decode(nextSize()) != 0 || parser.sourceStillUp()) {
    }
    log += "| damaged " + std::to_string(parser.damagedFrames()) + " skipped " +
           std::to_string(parser.skippedBytes());
    if (const auto& error = parser.lastStreamError()) {
        log += " last " + error->message + " @" + std::to_string(error->frameNumber) + "/" +
               std::to_string(error->streamOffset);
    }
    return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorcfuzz::silenceStatusMessages();
    for (size_t start = 0; start < std::min<size_t>(size, 16); ++start) {
        if (vorc::dsp::selectedKernels().findScanMarker(data + start, data + size) !=
            vorc::dsp::referenceKernels().findScanMarker(data + start, data + size))
            vorcfuzz::failCheck("scan end search", "the fast search and the serial one disagree");
    }
    vorcfuzz::StreamInput input{};
    if (size < 2 || !vorcfuzz::splitStreamInput(data + 1, size - 1, MaxTiles, input)) return -1;
    // Bit 6 of a piece seed serves everything at once.
    if (decode(input, 0x40, 0) != decode(input, input.pieceSeed & 0x3F, data[0]))
        vorcfuzz::failCheck("piece sizes", "the result depends on where the stream is cut");
    return 0;
}
