// Fuzz target: the fast pixel decoder against the bit-serial reference on
// arbitrary scans (parser -> scan decoder -> back end, with the frame
// record made directly). The input gives the tile grid, the quantisers, an
// optional tile bitmap, whether the scan ends in EOI, the picture's row
// direction, the scan bytes and whether filler follows them. Every kernel table this CPU runs is set
// against the reference table; any difference in pixels, back-end calls and
// their order, status messages or a fatal end is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "vorc/core/fatal_error.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/dsp/kernel_table.h"

namespace {

constexpr int MaxGridSide = 16;
constexpr size_t HeaderBytes = 3 + 2 * 64;
constexpr size_t FillerBytes = 4096;

// Everything a sweep shows to the outside, in order.
struct Outcome {
    std::vector<std::string> events;
    std::vector<unsigned char> pixels;

    bool operator==(const Outcome& other) const { return events == other.events && pixels == other.pixels; }
};

Outcome* recording = nullptr;

class RecordingHandler : public vorcStatusMessageHandler {
public:
    void sendStatusMsg(const char* msg, void*) override {
        if (recording != nullptr) recording->events.emplace_back(std::string("status ") + msg);
    }
};

// A picture of whole tiles, top-down or bottom-up, whose bytes start with
// a fixed pattern so that unwritten and written pixels both show.
class RecordingBackEnd : public vorcTesraDecoderBackEnd {
public:
    RecordingBackEnd(int columns, int rows, bool bottomUp, Outcome& outcome)
        : columns_(columns), rows_(rows), bottomUp_(bottomUp), outcome_(outcome) {
        outcome_.pixels.assign(size_t(columns) * rows * 768, 0x5A);
    }
    void videoResolutionChanged(int, int) override { outcome_.events.emplace_back("resolution"); }
    void errorEncountered() override { outcome_.events.emplace_back("error"); }
    void frameComplete() override { outcome_.events.emplace_back("complete"); }
    void provideVideoTilePixelTarget(int column, int row, unsigned int** target, int* rowPad) override {
        outcome_.events.push_back("tile " + std::to_string(column) + "," + std::to_string(row));
        const size_t rowBytes = size_t(columns_) * 48;
        const size_t topRow = bottomUp_ ? size_t(rows_ - row) * 16 - 1 : size_t(row) * 16;
        *target = reinterpret_cast<unsigned int*>(&outcome_.pixels[topRow * rowBytes + size_t(column) * 48]);
        *rowPad = bottomUp_ ? ~columns_ * 12 : (columns_ - 1) * 12;
    }
    void videoTileReceived() override { outcome_.events.emplace_back("received"); }

private:
    int columns_;
    int rows_;
    bool bottomUp_;
    Outcome& outcome_;
};

struct FrameInput {
    int columns;
    int rows;
    bool bottomUp;
    const unsigned char* yQuant;
    const unsigned char* uvQuant;
    std::vector<unsigned char> bitmap;  // empty: every tile coded
    std::vector<unsigned char> scan;
};

Outcome sweep(const FrameInput& input, const vorc::dsp::KernelTable& kernels) {
    Outcome outcome;
    recording = &outcome;
    RecordingBackEnd backEnd(input.columns, input.rows, input.bottomUp, outcome);
    std::vector<unsigned char> scan = input.scan;
    std::vector<unsigned char> bitmap = input.bitmap;
    std::vector<unsigned char> yQuant(input.yQuant, input.yQuant + 64);
    std::vector<unsigned char> uvQuant(input.uvQuant, input.uvQuant + 64);
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder(kernels);
    decoder.setBackEnd(&backEnd);
    decoder.setYQuantizationTable(yQuant.data());
    decoder.setUVQuantizationTable(uvQuant.data());
    vorcFramewiseTesraDecoder::UndecodedFrameDescriptor frame;
    frame.reset(input.columns * 16, input.rows * 16);
    frame.scanBytes = scan.empty() ? nullptr : scan.data();
    frame.scanLength = static_cast<int32_t>(scan.size());
    frame.tileBitmap = bitmap.empty() ? nullptr : bitmap.data();
    // Stream errors unwind to here instead of ending the process.
    const vorc::detail::SkipStreamErrors skipStreamErrors(true);
    try {
        decoder.performScanSweep(&frame);
    } catch (const vorc::detail::StreamErrorSkipped&) {
        outcome.events.emplace_back("fatal");
    }
    recording = nullptr;
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool installed = [] {
        vorc::setStatusMessageHandler(new RecordingHandler);
        return true;
    }();
    (void)installed;
    if (size < HeaderBytes) return -1;
    FrameInput input;
    input.columns = 1 + data[0] % MaxGridSide;
    input.rows = 1 + data[1] % MaxGridSide;
    const uint8_t flags = data[2];
    input.bottomUp = (flags & 0x04) != 0;
    input.yQuant = data + 3;
    input.uvQuant = data + 3 + 64;
    size_t offset = HeaderBytes;
    if ((flags & 0x01) != 0) {
        const size_t bitmapBytes = (size_t(input.columns) * input.rows + 7) / 8;
        if (size - offset < bitmapBytes) return -1;
        input.bitmap.assign(data + offset, data + offset + bitmapBytes);
        offset += bitmapBytes;
    }
    input.scan.assign(data + offset, data + size);
    // Zero bits decode to whole blocks; behind the input they give the fast
    // reader room to take a tile's blocks without checks.
    if ((flags & 0x08) != 0) input.scan.insert(input.scan.end(), FillerBytes, 0x00);
    if ((flags & 0x02) != 0) input.scan.insert(input.scan.end(), {0xFF, 0xD9});

    const Outcome expected = sweep(input, vorc::dsp::referenceKernels());
    for (const vorc::dsp::KernelTable* kernels : vorc::dsp::supportedKernelTables()) {
        if (kernels == &vorc::dsp::referenceKernels()) continue;
        if (!(sweep(input, *kernels) == expected))
            vorcfuzz::failCheck("decode_differential_fuzzer", kernels->name);
    }
    return 0;
}
