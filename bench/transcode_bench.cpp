// Transcoding speed: performScanSweep of the JPEG transcoder, which decodes
// a frame's coded tiles into its coefficient store and re-encodes the whole
// picture, for full frames (a libjpeg-compressed synthetic picture made into
// a frame) and partial frames (about 10% of the tiles, coded with the test
// scan writer). Reported as frames and megapixels per second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "support/libjpeg_helpers.h"
#include "support/stream_builder.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using vorctest::Bytes;
using Descriptor = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

class CountingBackEnd : public vorcTesraDecoderBackEnd {
public:
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override { ++errors; }
    void frameComplete() override {}
    void provideVideoTilePixelTarget(int, int, unsigned int**, int*) override {}
    void videoTileReceived() override {}
    int errors = 0;
};

// Swallows the images; only their size is kept, so the work is not optimised away.
class DiscardingReceiver : public vorcJPEGReceiver {
public:
    void beginFrame() override {}
    void endFrame() override {}
    void receiveJPEGBytes(const unsigned char*, int count) override { bytes += count; }
    long bytes = 0;
};

// The entropy-coded scan of a JPEG: from after the SOS segment to EOI inclusive.
Bytes scanOfJpeg(const Bytes& jpeg) {
    for (size_t i = 2; i + 3 < jpeg.size();) {
        const size_t length = static_cast<size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (jpeg[i + 1] == 0xDA)
            return Bytes(jpeg.begin() + static_cast<ptrdiff_t>(i + 2 + length), jpeg.end());
        i += 2 + length;
    }
    return {};
}

// A scan of every tenth tile with modest random coefficients, ending in EOI.
Bytes partialScan(int tiles, std::vector<int>* coded) {
    std::mt19937 random(1);
    std::uniform_int_distribution<int> value(-50, 50);
    vorctest::ScanWriter writer;
    for (int k = 0; k < tiles; k += 10) {
        coded->push_back(k);
        vorctest::Block blocks[6] = {};
        for (auto& block : blocks) {
            for (int i = 0; i < 64; i += 5)
                block[static_cast<size_t>(i)] = static_cast<int16_t>(value(random));
        }
        writer.tile(blocks[0], blocks[1], blocks[2], blocks[3], blocks[4], blocks[5]);
    }
    Bytes scan = writer.finish();
    scan.insert(scan.end(), {0xFF, 0xD9});
    return scan;
}

void transcode(benchmark::State& state, bool partial) {
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    Bytes fullScan =
        scanOfJpeg(vorctest::compressJpeg(vorctest::syntheticPicture(width, height, false), 85));

    CountingBackEnd backEnd;
    auto* receiver = new DiscardingReceiver;
    vorcFramewiseTesraScanToJPEGConverterSoftwareOnly converter(receiver);
    converter.setBackEnd(&backEnd);
    Descriptor frame;
    frame.reset(width, height);
    frame.scanBytes = fullScan.data();
    frame.scanLength = static_cast<int32_t>(fullScan.size());
    converter.performScanSweep(&frame);  // allocates the store and fills the picture

    std::vector<int> coded;
    Bytes scan = partial ? partialScan(frame.tileColumns * frame.tileRows, &coded) : fullScan;
    const Bytes bitmap = vorctest::tileBitmap(frame.tileColumns, frame.tileRows, coded);
    frame.scanBytes = scan.data();
    frame.scanLength = static_cast<int32_t>(scan.size());
    frame.tileBitmap = partial ? const_cast<unsigned char*>(bitmap.data()) : nullptr;
    for (auto _ : state) {
        converter.performScanSweep(&frame);
        benchmark::DoNotOptimize(receiver->bytes);
    }
    if (backEnd.errors != 0) state.SkipWithError("the transcoder rejected the frame");
    const double frames = static_cast<double>(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["MPix/s"] =
        benchmark::Counter(frames * width * height / 1e6, benchmark::Counter::kIsRate);
    vorc::setStatusMessageHandler(nullptr);
}

void BM_TranscodeFullFrames(benchmark::State& state) { transcode(state, false); }
void BM_TranscodeTenPercentOfTiles(benchmark::State& state) { transcode(state, true); }

BENCHMARK(BM_TranscodeFullFrames)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TranscodeTenPercentOfTiles)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond);

}  // namespace
