// Pixel decoding speed: performScanSweep of the software scan decoder into a
// buffered back end, for full frames (a libjpeg-compressed synthetic picture
// made into a frame) and partial frames (about 10% of the tiles, coded with
// the test scan writer). Reported as megapixels of picture and megabytes of
// stream per second: the baseline for later speed work.
#include <benchmark/benchmark.h>

#include <vector>

#include "support/libjpeg_helpers.h"
#include "support/stream_builder.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_decoder_software.h"

namespace {

using vorctest::Bytes;
using Descriptor = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

class SilentBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override { ++errors; }
    void frameComplete() override {}
    void videoTileReceived() override {}
    int errors = 0;
};

// The entropy-coded scan of a JPEG (from after SOS to EOI inclusive) and
// its two quantisation tables in zig-zag order.
struct JpegParts {
    Bytes scan;
    std::vector<unsigned char> lumaTable;
    std::vector<unsigned char> chromaTable;
};

JpegParts splitJpeg(const Bytes& jpeg) {
    JpegParts parts;
    size_t i = 2;
    while (i + 4 <= jpeg.size()) {
        const int marker = jpeg[i + 1];
        const size_t length = (size_t{jpeg[i + 2]} << 8) | jpeg[i + 3];
        if (marker == 0xDB) {
            std::vector<unsigned char>& table = jpeg[i + 4] == 0 ? parts.lumaTable : parts.chromaTable;
            table.assign(jpeg.begin() + static_cast<long>(i) + 5, jpeg.begin() + static_cast<long>(i) + 69);
        }
        if (marker == 0xDA) {
            parts.scan.assign(jpeg.begin() + static_cast<long>(i + 2 + length), jpeg.end());
            break;
        }
        i += 2 + length;
    }
    return parts;
}

// A block with realistic content: a few low-frequency coefficients.
vorctest::Block texturedBlock(int seed) {
    vorctest::Block block{};
    block[0] = static_cast<int16_t>((seed * 37) % 120 - 60);
    block[1] = static_cast<int16_t>(seed % 7 - 3);
    block[8] = static_cast<int16_t>(seed % 5 - 2);
    block[9] = static_cast<int16_t>(seed % 3 - 1);
    return block;
}

void runSweeps(benchmark::State& state, int width, int height, bool partial) {
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(width, height, false), 75);
    JpegParts parts = splitJpeg(jpeg);

    Descriptor frame;
    frame.reset(width, height);
    Bytes bitmap;
    if (partial) {
        // Every tenth tile, coded with its own scan.
        std::vector<int> coded;
        vorctest::ScanWriter writer;
        for (int k = 0; k < frame.tileColumns * frame.tileRows; k += 10) {
            coded.push_back(k);
            writer.tile(texturedBlock(k), texturedBlock(k + 1), texturedBlock(k + 2), texturedBlock(k + 3),
                        texturedBlock(k + 4), texturedBlock(k + 5));
        }
        bitmap = vorctest::tileBitmap(frame.tileColumns, frame.tileRows, coded);
        parts.scan = writer.finish();
        parts.scan.push_back(0xFF);
        parts.scan.push_back(0xD9);
        frame.tileBitmap = bitmap.data();
    }
    frame.scanBytes = parts.scan.data();
    frame.scanLength = static_cast<int32_t>(parts.scan.size());

    SilentBackEnd backEnd;
    backEnd.videoResolutionChanged(width, height);
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder;
    decoder.setBackEnd(&backEnd);
    decoder.setYQuantizationTable(parts.lumaTable.data());
    decoder.setUVQuantizationTable(parts.chromaTable.data());
    for (auto _ : state) {
        decoder.performScanSweep(&frame);
        benchmark::ClobberMemory();
    }
    if (backEnd.errors != 0) state.SkipWithError("the frame did not decode");
    state.counters["picture_Mpixel"] = benchmark::Counter(static_cast<double>(width) * height * 1e-6,
                                                    benchmark::Counter::kIsIterationInvariantRate);
    state.counters["stream_MB"] = benchmark::Counter(static_cast<double>(parts.scan.size()) * 1e-6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Full640x480(benchmark::State& state) { runSweeps(state, 640, 480, false); }
void BM_Full1920x1080(benchmark::State& state) { runSweeps(state, 1920, 1080, false); }
void BM_Partial640x480(benchmark::State& state) { runSweeps(state, 640, 480, true); }
void BM_Partial1920x1080(benchmark::State& state) { runSweeps(state, 1920, 1080, true); }

BENCHMARK(BM_Full640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Full1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Partial640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Partial1920x1080)->Unit(benchmark::kMillisecond);

}  // namespace
