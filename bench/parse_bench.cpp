// Stream walking speed against the machine's read speed, in one run: large
// stream files (hundreds of MB, held in the page cache) are read with plain
// read() calls (the ceiling), walked by the framewise parser from a file
// source with a back end and a scan decoder that do nothing, and walked end
// to end by `vorc info --parse-only FILE > /dev/null`. Processor time of the
// process (user and system: the kernel's copy out of the page cache counts),
// so that other work on a shared machine does not; best of several runs.
// Prints one table in GB/s (10^9 bytes per second).
//
// VORC_PARSE_BENCH_MB sets the size of each stream file (default 256);
// the files go to TMPDIR and are removed at the end.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "vorc/parse/framewise_decoder.h"
#include "vorc/parse/scan_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/encode/stream_encoder.h"
#include "vorc/encode/synthetic_scene.h"
#include "vorc/sources/stream_file.h"

extern char** environ;

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int Runs = 5;
constexpr int SmallPiece = 65536;
constexpr int LargePiece = 1048576;

double processSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double secondsOf(const timeval& time) {
    return static_cast<double>(time.tv_sec) + 1e-6 * static_cast<double>(time.tv_usec);
}

// The shortest of several runs: the machine is shared, and the shortest is
// the one least disturbed. Work returns the seconds it took.
template <typename Work>
double bestSeconds(Work work) {
    double best = 1e30;
    for (int run = 0; run < Runs; ++run) best = std::min(best, work());
    return best;
}

// The processor time of work done in this process.
template <typename Work>
double inProcess(Work work) {
    const double start = processSeconds();
    work();
    return processSeconds() - start;
}

class CollectingReceiver : public vorcByteStreamReceiver {
public:
    explicit CollectingReceiver(Bytes* out) : out_(out) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override { out_->insert(out_->end(), bytes, bytes + count); }

private:
    Bytes* out_;
};

// The encoder's moving test scene: a full frame every keyInterval frames,
// partial frames with the changed tiles in between.
Bytes syntheticStream(int width, int height, int frames, int keyInterval) {
    Bytes stream;
    vorc::StreamEncoder encoder(new CollectingReceiver(&stream));
    encoder.setQuality(85);
    encoder.setKeyFrameInterval(keyInterval);
    vorc::SyntheticScene scene(width, height);
    for (int frame = 0; frame < frames; ++frame) encoder.encodeFrame(scene.renderFrame(static_cast<uint32_t>(frame)), width, height);
    encoder.finish();
    return stream;
}

Bytes readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Does nothing with a frame but count it.
class CountingBackEnd : public vorcTesraDecoderBackEnd {
public:
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override { ++errors; }
    void frameComplete() override { ++frames; }
    void provideVideoTilePixelTarget(int, int, unsigned int**, int*) override {}
    void videoTileReceived() override {}
    long frames = 0;
    long errors = 0;
};

class ScanSkipper : public vorcFramewiseTesraScanDecoder {
public:
    const char* getAccelerationTypeString() override { return "none"; }
    void setYQuantizationTable(unsigned char*) override {}
    void setUVQuantizationTable(unsigned char*) override {}
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor*) override {}
};

struct StreamFile {
    std::string name;
    std::string path;
    uint64_t bytes = 0;
    long frames = 0;
};

// Copies of one stream back to back until the file holds at least `bytes`.
StreamFile writeStreamFile(const std::string& name, const std::string& path, const Bytes& stream, uint64_t bytes) {
    std::ofstream out(path, std::ios::binary);
    StreamFile file{name, path};
    while (file.bytes < bytes) {
        out.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
        file.bytes += stream.size();
    }
    return file;
}

void readAll(const std::string& path, int pieceSize) {
    static std::unique_ptr<unsigned char[]> buffer(new unsigned char[vorcFramewiseTesraDecoder::DefaultPrefetchCapacity]);
    const int fd = ::open(path.c_str(), O_RDONLY);
    while (::read(fd, buffer.get(), static_cast<size_t>(pieceSize)) > 0) {
    }
    ::close(fd);
}

long parseAll(const std::string& path, int pieceSize) {
    auto* backEnd = new CountingBackEnd;
    vorcFramewiseTesraDecoder parser(new vorcStreamFile(path.c_str()), backEnd, new ScanSkipper);
    while (parser.decode(pieceSize) != 0 || parser.sourceStillUp()) {
    }
    if (backEnd->errors != 0) std::fprintf(stderr, "parse_bench: %ld damaged frames\n", backEnd->errors);
    return backEnd->frames;
}

// The tool's processor time, or a negative number when it failed.
double runToolParseOnly(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string tool = VORC_TOOL_PATH;
    std::string command = "info";
    std::string option = "--parse-only";
    std::string file = path;
    char* argv[] = {tool.data(), command.data(), option.data(), file.data(), nullptr};
    pid_t child = 0;
    int status = 0;
    rusage usage{};
    const bool started = posix_spawn(&child, tool.c_str(), &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    const bool ok = started && ::wait4(child, &status, 0, &usage) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ok ? secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime) : -1.0;
}

}  // namespace

int main() {
    vorcDevNullStatusMessageHandler silent;
    const vorc::StatusMessageScope quiet(&silent);
    const char* megabytes = std::getenv("VORC_PARSE_BENCH_MB");
    const uint64_t bytes = static_cast<uint64_t>(megabytes != nullptr ? std::max(1, std::atoi(megabytes)) : 256) << 20;

    const std::string directory =
        ::mkdtemp((std::filesystem::temp_directory_path() / "vorc-parse-bench-XXXXXX").string().data());
    std::vector<StreamFile> files;
    files.push_back(writeStreamFile("data/sample.tesra, 640x480, 3.7 KB per frame", directory + "/sample.tesra",
                                    readWholeFile(VORC_SOURCE_DIR "/data/sample.tesra"), bytes));
    files.push_back(writeStreamFile("synthetic 1920x1080 q85, a full frame in 25", directory + "/hd-key25.tesra",
                                    syntheticStream(1920, 1080, 50, 25), bytes));
    files.push_back(writeStreamFile("synthetic 1920x1080 q85, a full frame in 2", directory + "/hd-key2.tesra",
                                    syntheticStream(1920, 1080, 50, 2), bytes));

    std::printf("Walking a stream held in the page cache, GB/s of processor time (best of %d runs):\n\n", Runs);
    std::printf("| stream | MB | KB per frame | read() 64 KiB | read() 1 MiB | parser 64 KiB | parser 1 MiB | "
                "vorc info --parse-only |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (StreamFile& file : files) {
        readAll(file.path, LargePiece);  // into the page cache
        file.frames = parseAll(file.path, LargePiece);
        const double gb = static_cast<double>(file.bytes) / 1e9;
        const double readSmall = gb / bestSeconds([&] { return inProcess([&] { readAll(file.path, SmallPiece); }); });
        const double readLarge = gb / bestSeconds([&] { return inProcess([&] { readAll(file.path, LargePiece); }); });
        const double parseSmall = gb / bestSeconds([&] { return inProcess([&] { parseAll(file.path, SmallPiece); }); });
        const double parseLarge = gb / bestSeconds([&] { return inProcess([&] { parseAll(file.path, LargePiece); }); });
        bool toolOk = true;
        const double tool = gb / bestSeconds([&] {
            const double seconds = runToolParseOnly(file.path);
            toolOk = toolOk && seconds >= 0.0;
            return seconds;
        });
        std::printf("| %s | %.0f | %.1f | %.2f | %.2f | %.2f | %.2f | %.2f%s |\n", file.name.c_str(), gb * 1e3,
                    static_cast<double>(file.bytes) / 1e3 / static_cast<double>(file.frames), readSmall, readLarge,
                    parseSmall, parseLarge, tool, toolOk ? "" : " (failed)");
    }
    std::filesystem::remove_all(directory);
    return 0;
}
