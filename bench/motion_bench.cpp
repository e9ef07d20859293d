// Motion detection speed on the parse-only path, as frames per second of
// processor time and as cameras of 1920x1080 at 25 frames/s per core (the
// target is 500). The stream is the tests' motion scene at 1920x1080: a
// still photograph-like picture with sensor noise, three objects crossing
// it at different times, a full frame in 25, held in a file in the page
// cache. Three measurements, each a row:
//  - Detector: MotionDetector::update alone, on the stream's bitmaps;
//  - ParseOnlyPath: the file read 256 KiB at a time, walked by the parser,
//    each frame's bitmap handed to the detector (what `vorc motion` does);
//  - Tool: `vorc motion FILE` run whole, its own summary line read back,
//    which must agree with the row above.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/motion_scene.h"
#include "vorc/backends/default_backend.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/sources/stream_file.h"

namespace {

constexpr double CameraFps = 25.0;
constexpr int FilePieceSize = 262144;  // as the tool reads a file
constexpr int Copies = 32;             // of the scene's frames in the file

// Keeps every frame's bitmap.
class BitmapCollector : public vorcFramewiseTesraScanDecoder {
public:
    const char* getAccelerationTypeString() override { return "none"; }
    void setYQuantizationTable(unsigned char*) override {}
    void setUVQuantizationTable(unsigned char*) override {}
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override {
        const size_t bytes = (static_cast<size_t>(frame->tileColumns) * frame->tileRows + 7) / 8;
        bitmaps.emplace_back();
        if (frame->tileBitmap != nullptr) bitmaps.back().assign(frame->tileBitmap, frame->tileBitmap + bytes);
    }
    std::vector<std::vector<uint8_t>> bitmaps;  // empty: a full frame
};

struct BenchStream {
    ~BenchStream() { std::filesystem::remove_all(directory); }
    std::string directory;
    std::string path;
    long frames = 0;
    std::vector<std::vector<uint8_t>> bitmaps;
};

// The scene, made once: 60 frames of 1920x1080 with objects of 96 pixels
// crossing at different speeds, written Copies times over into a file.
const BenchStream& benchStream() {
    static BenchStream stream;
    if (stream.frames > 0) return stream;
    vorctest::MotionScript script;
    script.width = 1920;
    script.height = 1080;
    script.frames = 60;
    script.objects = {{5, 40, 100, 200, 900, 700, 96}, {20, 58, 1800, 100, 1200, 900, 96}, {30, 50, 600, 900, 640, 400, 128}};
    const std::vector<uint8_t> one = vorctest::encodeMotionScene(script);
    stream.directory = ::mkdtemp((std::filesystem::temp_directory_path() / "vorc-motion-bench-XXXXXX").string().data());
    stream.path = stream.directory + "/scene.tesra";
    std::ofstream out(stream.path, std::ios::binary);
    for (int copy = 0; copy < Copies; ++copy)
        out.write(reinterpret_cast<const char*>(one.data()), static_cast<std::streamsize>(one.size()));
    out.close();
    auto* collector = new BitmapCollector;
    vorcDevNullStatusMessageHandler silent;
    const vorc::StatusMessageScope quiet(&silent);
    vorcFramewiseTesraDecoder parser(new vorcStreamFile(stream.path.c_str()), new vorctest::SilentBackEnd, collector);
    while (parser.decode(FilePieceSize) != 0 || parser.sourceStillUp()) {
    }
    stream.bitmaps = std::move(collector->bitmaps);
    stream.frames = static_cast<long>(stream.bitmaps.size());
    return stream;
}

void reportRate(benchmark::State& state, long framesPerIteration) {
    const double frames = static_cast<double>(framesPerIteration) * static_cast<double>(state.iterations());
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["1080p25 cameras/core"] = benchmark::Counter(frames / CameraFps, benchmark::Counter::kIsRate);
}

void Detector(benchmark::State& state) {
    const BenchStream& stream = benchStream();
    vorc::MotionDetector detector;
    vorc::FrameTiles tiles;
    tiles.width = 1920;
    tiles.height = 1080;
    long moving = 0;
    for (auto _ : state) {
        for (const std::vector<uint8_t>& bitmap : stream.bitmaps) {
            ++tiles.index;
            tiles.full = bitmap.empty();
            tiles.bitmap = bitmap.empty() ? nullptr : bitmap.data();
            moving += detector.update(tiles).zones[0].moving;
        }
    }
    benchmark::DoNotOptimize(moving);
    reportRate(state, stream.frames);
}

void ParseOnlyPath(benchmark::State& state) {
    const BenchStream& stream = benchStream();
    vorcDevNullStatusMessageHandler silent;
    const vorc::StatusMessageScope quiet(&silent);
    for (auto _ : state) {
        vorc::MotionDetector detector;
        vorcFramewiseTesraDecoder parser(new vorcStreamFile(stream.path.c_str()), new vorcDefaultTesraDecoderBackEnd,
                                         new vorctest::MotionFeeder(&detector, CameraFps));
        while (parser.decode(FilePieceSize) != 0 || parser.sourceStillUp()) {
        }
    }
    reportRate(state, stream.frames);
}

// `vorc motion FILE`, as its summary line reports its own speed.
void Tool(benchmark::State& state) {
    const BenchStream& stream = benchStream();
    double framesPerSecond = 0.0;
    for (auto _ : state) {
        const std::string command = "'" VORC_TOOL_PATH "' motion '" + stream.path + "' 2>&1 >/dev/null";
        std::unique_ptr<FILE, int (*)(FILE*)> tool(::popen(command.c_str(), "r"), ::pclose);
        char line[512] = {};
        double rate = 0.0;
        if (tool == nullptr || std::fgets(line, sizeof line, tool.get()) == nullptr ||
            std::sscanf(std::strstr(line, "processor time: ") != nullptr ? std::strstr(line, "processor time: ") : "",
                        "processor time: %lf frames/s", &rate) != 1) {
            state.SkipWithError("vorc motion gave no summary line");
            return;
        }
        framesPerSecond += rate;
    }
    framesPerSecond /= static_cast<double>(state.iterations());
    state.counters["frames/s"] = framesPerSecond;
    state.counters["1080p25 cameras/core"] = framesPerSecond / CameraFps;
}

}  // namespace

BENCHMARK(Detector)->Unit(benchmark::kMillisecond);
BENCHMARK(ParseOnlyPath)->Unit(benchmark::kMillisecond);
BENCHMARK(Tool)->Unit(benchmark::kMillisecond)->Iterations(5);
