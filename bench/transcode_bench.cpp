// Transcoding speed: performScanSweep of the JPEG transcoder, which decodes
// a frame's coded tiles into its coefficient store and writes the whole
// picture as a JPEG image, for full frames (a libjpeg-compressed synthetic
// picture made into a frame) and partial frames (every tenth tile of the
// next picture of the scene, or dense random tiles, coded with the test
// scan writer). Side by side, in the same run, on the
// same picture: libjpeg-turbo's in-memory lossless transcode of the full
// JPEG (jpeg_read_coefficients + jpeg_write_coefficients, standard tables,
// no optimisation), and the transcoder as it was (the tests' reference).
// Reported as frames and megapixels per second, and each speed as a
// multiple of libjpeg-turbo's; beside them, what a plain copy of one image's
// bytes costs.
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "support/libjpeg_helpers.h"
#include "support/reference_transcoder.h"
#include "support/stream_builder.h"
#include "vorc/parse/framewise_decoder.h"
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

// Which tiles the measured frames carry.
enum class Carried {
    AllTiles,
    // Every tenth tile of the next picture of the scene (another seed of the
    // same content, coded by libjpeg at the same quality).
    TenthOfNextPicture,
    // Every tenth tile, each block with 13 random values in -50..50 (mostly
    // codes of 16 bits): a worst case of dense tiles.
    TenthDenseRandom,
};

Bytes withEndMarker(Bytes scan) {
    scan.insert(scan.end(), {0xFF, 0xD9});
    return scan;
}

Bytes partialScan(Carried carried, int width, int height, std::vector<int>* coded) {
    vorctest::ScanWriter writer;
    if (carried == Carried::TenthOfNextPicture) {
        const vorctest::JpegCoefficients next = vorctest::readJpegCoefficients(
            vorctest::compressJpeg(vorctest::syntheticPicture(width, height, false, 2), 85));
        for (size_t k = 0; k < next.tiles.size(); k += 10) {
            coded->push_back(static_cast<int>(k));
            const vorctest::TileBlocks& t = next.tiles[k];
            writer.tile(t[0], t[1], t[2], t[3], t[4], t[5]);
        }
        return withEndMarker(writer.finish());
    }
    std::mt19937 random(1);
    std::uniform_int_distribution<int> value(-50, 50);
    const int tiles = ((width + 15) / 16) * ((height + 15) / 16);
    for (int k = 0; k < tiles; k += 10) {
        coded->push_back(k);
        vorctest::Block blocks[6] = {};
        for (auto& block : blocks) {
            for (int i = 0; i < 64; i += 5)
                block[static_cast<size_t>(i)] = static_cast<int16_t>(value(random));
        }
        writer.tile(blocks[0], blocks[1], blocks[2], blocks[3], blocks[4], blocks[5]);
    }
    return withEndMarker(writer.finish());
}

// libjpeg-turbo's lossless transcode of a JPEG in memory, into an output
// buffer kept from call to call; returns the size of the image written.
class LibjpegTranscoder {
public:
    ~LibjpegTranscoder() { std::free(output_); }
    unsigned long transcode(const Bytes& jpeg) {
        jpeg_decompress_struct in{};
        jpeg_error_mgr inErrors{};
        in.err = jpeg_std_error(&inErrors);
        jpeg_create_decompress(&in);
        jpeg_mem_src(&in, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&in, TRUE);
        jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&in);
        jpeg_compress_struct out{};
        jpeg_error_mgr outErrors{};
        out.err = jpeg_std_error(&outErrors);
        jpeg_create_compress(&out);
        unsigned long size = capacity_;
        jpeg_mem_dest(&out, &output_, &size);
        jpeg_copy_critical_parameters(&in, &out);
        out.optimize_coding = FALSE;
        jpeg_write_coefficients(&out, coefficients);
        jpeg_finish_compress(&out);
        jpeg_destroy_compress(&out);
        jpeg_finish_decompress(&in);
        jpeg_destroy_decompress(&in);
        if (size > capacity_) capacity_ = size;
        return size;
    }

private:
    unsigned char* output_ = nullptr;
    unsigned long capacity_ = 0;
};

// Seconds of processor time this thread has used: the machine is shared,
// so both sides are timed by the work they did, not by the clock on the wall.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Full-frame transcodes per second of libjpeg-turbo, over about 0.5 s.
double libjpegFramesPerSecond(const Bytes& jpeg) {
    LibjpegTranscoder transcoder;
    const double start = threadSeconds();
    unsigned long written = 0;
    int frames = 0;
    for (; threadSeconds() - start < 0.5; ++frames) written += transcoder.transcode(jpeg);
    benchmark::DoNotOptimize(written);
    return frames / (threadSeconds() - start);
}

template <typename Transcoder>
void transcode(benchmark::State& state, Carried carried) {
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(width, height, false), 85);
    Bytes fullScan = scanOfJpeg(jpeg);

    CountingBackEnd backEnd;
    auto* receiver = new DiscardingReceiver;
    Transcoder converter(receiver);
    converter.setBackEnd(&backEnd);
    Descriptor frame;
    frame.reset(width, height);
    frame.scanBytes = fullScan.data();
    frame.scanLength = static_cast<int32_t>(fullScan.size());
    converter.performScanSweep(&frame);  // allocates the store and fills the picture

    const bool partial = carried != Carried::AllTiles;
    std::vector<int> coded;
    Bytes scan = partial ? partialScan(carried, width, height, &coded) : fullScan;
    const Bytes bitmap = vorctest::tileBitmap(frame.tileColumns, frame.tileRows, coded);
    frame.scanBytes = scan.data();
    frame.scanLength = static_cast<int32_t>(scan.size());
    frame.tileBitmap = partial ? const_cast<unsigned char*>(bitmap.data()) : nullptr;
    const long bytesBefore = receiver->bytes;
    for (auto _ : state) {
        converter.performScanSweep(&frame);
        benchmark::DoNotOptimize(receiver->bytes);
    }
    if (backEnd.errors != 0) state.SkipWithError("the transcoder rejected the frame");
    const double frames = static_cast<double>(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["MPix/s"] =
        benchmark::Counter(frames * width * height / 1e6, benchmark::Counter::kIsRate);
    // Measured right after, on the same picture; the transcoder's rates are
    // per second of processor time too (Google Benchmark's default).
    state.counters["image_KiB"] = static_cast<double>(receiver->bytes - bytesBefore) / frames / 1024;
    const double libjpegFps = libjpegFramesPerSecond(jpeg);
    state.counters["libjpeg_MPix/s"] = libjpegFps * width * height / 1e6;
    state.counters["x_libjpeg"] = benchmark::Counter(frames / libjpegFps, benchmark::Counter::kIsRate);
    vorc::setStatusMessageHandler(nullptr);
}

// The memory bound: a plain copy of one transcoded image's bytes (header,
// scan, EOI) from one buffer into another, which is the least a transcoder
// that hands out every image must do.
void BM_CopyOfOneImage(benchmark::State& state) {
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const Bytes jpeg = vorctest::compressJpeg(vorctest::syntheticPicture(width, height, false), 85);
    Bytes copy(jpeg.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), jpeg.data(), jpeg.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    const double frames = static_cast<double>(state.iterations());
    state.counters["MPix/s"] = benchmark::Counter(frames * width * height / 1e6, benchmark::Counter::kIsRate);
    state.counters["image_KiB"] = static_cast<double>(jpeg.size()) / 1024;
    const double libjpegFps = libjpegFramesPerSecond(jpeg);
    state.counters["x_libjpeg"] = benchmark::Counter(frames / libjpegFps, benchmark::Counter::kIsRate);
    vorc::setStatusMessageHandler(nullptr);
}

using Library = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;
using Reference = vorctest::ReferenceTranscoder;
void BM_TranscodeFullFrames(benchmark::State& state) { transcode<Library>(state, Carried::AllTiles); }
void BM_TranscodeTenPercentOfTiles(benchmark::State& state) {
    transcode<Library>(state, Carried::TenthOfNextPicture);
}
void BM_TranscodeTenPercentDenseRandomTiles(benchmark::State& state) {
    transcode<Library>(state, Carried::TenthDenseRandom);
}
// The transcoder as it was, which codes every tile again for every image.
void BM_ReferenceTranscoderFullFrames(benchmark::State& state) { transcode<Reference>(state, Carried::AllTiles); }
void BM_ReferenceTranscoderTenPercentOfTiles(benchmark::State& state) {
    transcode<Reference>(state, Carried::TenthOfNextPicture);
}

BENCHMARK(BM_TranscodeFullFrames)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TranscodeTenPercentOfTiles)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyOfOneImage)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TranscodeTenPercentDenseRandomTiles)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceTranscoderFullFrames)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceTranscoderTenPercentOfTiles)->Args({1920, 1080})->Unit(benchmark::kMillisecond);

}  // namespace
