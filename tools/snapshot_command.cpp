// `vorc snapshot FILE -o OUT.png [--frame N]`: decodes a stream through the
// whole pixel chain (file source -> parser -> software scan decoder ->
// buffered back end) and writes the picture as it stands after frame N (or
// after the last complete frame) as a PNG.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/command_registry.h"
#include "tools/png_writer.h"
#include "tools/tool_common.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/sources/stream_file.h"

namespace {

constexpr const char* CommandName = "snapshot";
constexpr int PullSize = 65536;

// What the back end saw; it outlives the back end, which the parser owns.
struct SnapshotState {
    long wantedFrame = 0;  // 0: the last complete frame
    long completedFrames = 0;
    bool taken = false;  // the wanted frame has been copied
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;  // top row first
};

// Copies the picture (top row first, picture width only) out of the
// bottom-up frame buffer, when the wanted frame completes.
class SnapshotBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    explicit SnapshotBackEnd(std::shared_ptr<SnapshotState> state) : state_(std::move(state)) {}
    void errorEncountered() override {}
    void videoTileReceived() override {}
    void frameComplete() override {
        ++state_->completedFrames;
        if (state_->completedFrames == state_->wantedFrame) copyPicture();
    }

    // False without a picture (no frame yet, or its size could not be allocated).
    bool copyPicture() {
        state_->taken = true;
        if (frameBuffer == nullptr) return false;
        state_->width = width;
        state_->height = height;
        const size_t rowBytes = static_cast<size_t>(width) * 3;
        const size_t memoryRowBytes = static_cast<size_t>(tileColumns) * 48;
        const size_t memoryRows = static_cast<size_t>(tileRows) * 16;
        const auto* buffer = reinterpret_cast<const unsigned char*>(frameBuffer);
        state_->pixels.resize(rowBytes * static_cast<size_t>(height));
        for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
            std::memcpy(&state_->pixels[y * rowBytes], buffer + (memoryRows - 1 - y) * memoryRowBytes, rowBytes);
        }
        return true;
    }

private:
    std::shared_ptr<SnapshotState> state_;
};

void printUsage() {
    std::printf(
        "usage: vorc snapshot [OPTIONS] FILE -o OUT.png\n"
        "\n"
        "Decodes the Tesra stream in FILE ('-' for standard input) and writes the\n"
        "picture as it stands after one frame as a PNG image.\n"
        "\n"
        "options:\n"
        "  -o, --output OUT  the PNG file to write ('-' for standard output)\n"
        "  --frame N         the picture after frame N (counted from 1);\n"
        "                    default: after the last complete frame\n"
        "  --quiet           no status messages\n"
        "  --help            show this help\n"
        "\n"
        "example:\n"
        "  vorc snapshot camera.tesra --frame 25 -o frame25.png\n");
}

bool parseFrameNumber(const char* text, long* value) {
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < 1) return false;
    *value = number;
    return true;
}

int runSnapshot(int argc, char** argv) {
    bool quiet = false;
    const char* path = nullptr;
    const char* outputPath = nullptr;
    auto state = std::make_shared<SnapshotState>();
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            printUsage();
            return ExitOk;
        }
        if (std::strcmp(arg, "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            if (++i == argc) return usageError(CommandName, std::string(arg) + " needs a file name");
            outputPath = argv[i];
        } else if (std::strcmp(arg, "--frame") == 0) {
            if (++i == argc) return usageError(CommandName, "--frame needs a number");
            if (!parseFrameNumber(argv[i], &state->wantedFrame)) {
                return usageError(CommandName, std::string("--frame wants a frame number from 1 on, not '") +
                                                   argv[i] + "'");
            }
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usageError(CommandName, std::string("unknown option '") + arg + "'");
        } else if (path != nullptr) {
            return usageError(CommandName, std::string("more than one input file ('") + arg + "')");
        } else {
            path = arg;
        }
    }
    if (path == nullptr) return usageError(CommandName, "missing input FILE");
    if (outputPath == nullptr) return usageError(CommandName, "missing output file (-o OUT.png)");

    const bool fromStandardInput = std::strcmp(path, "-") == 0;
    const bool toStandardOutput = std::strcmp(outputPath, "-") == 0;
    struct stat info {};
    if (!fromStandardInput && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        return usageError(CommandName, std::string("'") + path + "' is a directory");
    }
    std::unique_ptr<vorcStreamFile> source(fromStandardInput ? new vorcStreamFile(0) : new vorcStreamFile(path));
    if (!source->stillUp()) {
        return usageError(CommandName, std::string("cannot open '") + path + "': " + std::strerror(errno));
    }
    std::FILE* out = toStandardOutput ? stdout : std::fopen(outputPath, "wb");
    if (out == nullptr) {
        return usageError(CommandName, std::string("cannot create '") + outputPath + "': " + std::strerror(errno));
    }
    // A failed snapshot leaves no half-written or empty file behind.
    auto fail = [&](int status) {
        if (!toStandardOutput) {
            std::fclose(out);
            std::remove(outputPath);
        }
        return status;
    };

    routeStatusMessages(toStandardOutput, quiet);
    auto* backEnd = new SnapshotBackEnd(state);
    vorcFramewiseTesraDecoder decoder(source.release(), backEnd, new vorcFramewiseTesraScanDecoderSoftwareOnly);
    ProgressLine progress(ProgressLine::wanted(quiet));
    uint64_t bytes = 0;
    while (!state->taken) {
        const int got = decoder.decode(PullSize);
        bytes += static_cast<uint64_t>(got);
        progress.update(state->completedFrames, bytes);
        if (got == 0 && !decoder.sourceStillUp()) break;
    }
    progress.finish();

    if (state->wantedFrame == 0 && state->completedFrames > 0) backEnd->copyPicture();
    if (!state->taken) {
        if (state->wantedFrame == 0) {
            std::fprintf(stderr, "vorc snapshot: the stream holds no complete frame\n");
        } else {
            std::fprintf(stderr, "vorc snapshot: frame %ld never arrived (the stream holds %ld complete frames)\n",
                         state->wantedFrame, state->completedFrames);
        }
        return fail(ExitUsage);
    }
    if (state->pixels.empty()) {
        std::fprintf(stderr, "vorc snapshot: no picture after that frame (its size could not be allocated)\n");
        return fail(ExitFailure);
    }
    std::vector<const unsigned char*> rows(static_cast<size_t>(state->height));
    for (size_t y = 0; y < rows.size(); ++y) rows[y] = &state->pixels[y * static_cast<size_t>(state->width) * 3];
    if (!writeRgbPng(out, state->width, state->height, rows)) {
        std::fprintf(stderr, "vorc snapshot: writing '%s' failed\n", outputPath);
        return fail(ExitFailure);
    }
    if (!toStandardOutput && std::fclose(out) != 0) {
        std::fprintf(stderr, "vorc snapshot: writing '%s' failed\n", outputPath);
        std::remove(outputPath);
        return ExitFailure;
    }
    return ExitOk;
}

const CommandRegistrar registrar({CommandName, "write the decoded picture after one frame as a PNG", 20,
                                  runSnapshot});

}  // namespace
