// `vorc info FILE`: reads a stream from end to end through the whole chain
// (file source -> parser -> scan decoder -> default back end), prints the
// library's per-frame status messages and a one-line summary. With
// --parse-only the frames are only walked and their coded tiles counted,
// which checks the stream's structure without decoding a pixel.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/command_registry.h"
#include "tools/tool_common.h"
#include "vorc/backends/default_backend.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/core/scan_decoder.h"
#include "vorc/sources/stream_file.h"

namespace {

constexpr const char* CommandName = "info";
constexpr int PullSize = 65536;

// Decodes nothing: reports one handled tile per coded tile of each frame, so
// the back end's counts show what every frame carries.
class TileCountingScanDecoder : public vorcFramewiseTesraScanDecoder {
public:
    const char* getAccelerationTypeString() override { return "none"; }
    void setYQuantizationTable(unsigned char*) override {}
    void setUVQuantizationTable(unsigned char*) override {}

    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override {
        width_ = frame->width;
        height_ = frame->height;
        if (frame->tileBitmap == nullptr) ++fullFrames_;
        const int64_t tiles = static_cast<int64_t>(frame->tileColumns) * frame->tileRows;
        for (int64_t k = 0; k < tiles; ++k) {
            const bool coded = frame->tileBitmap == nullptr || ((frame->tileBitmap[k / 8] >> (7 - k % 8)) & 1) != 0;
            if (coded) {
                ++codedTiles_;
                backEnd->videoTileReceived();
            }
        }
    }

    int width() const { return width_; }
    int height() const { return height_; }
    int64_t fullFrames() const { return fullFrames_; }
    int64_t codedTiles() const { return codedTiles_; }

private:
    int width_ = 0;
    int height_ = 0;
    int64_t fullFrames_ = 0;
    int64_t codedTiles_ = 0;
};

void printUsage() {
    std::printf(
        "usage: vorc info [OPTIONS] FILE\n"
        "\n"
        "Reads a Tesra stream from FILE ('-' for standard input), reports every\n"
        "frame and ends with a summary of frames, bytes and picture size.\n"
        "\n"
        "options:\n"
        "  --parse-only  only check the stream's structure and count the coded tiles\n"
        "  --quiet       no per-frame messages, only the summary\n"
        "  --help        show this help\n"
        "\n"
        "example:\n"
        "  vorc info --parse-only camera.tesra\n");
}

int runInfo(int argc, char** argv) {
    bool quiet = false;
    bool parseOnly = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            printUsage();
            return ExitOk;
        }
        if (std::strcmp(arg, "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(arg, "--parse-only") == 0) {
            parseOnly = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usageError(CommandName, std::string("unknown option '") + arg + "'");
        } else if (path != nullptr) {
            return usageError(CommandName, std::string("more than one input file ('") + arg + "')");
        } else {
            path = arg;
        }
    }
    if (path == nullptr) return usageError(CommandName, "missing input FILE");

    const bool fromStandardInput = std::strcmp(path, "-") == 0;
    struct stat info {};
    if (!fromStandardInput && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        return usageError(CommandName, std::string("'") + path + "' is a directory");
    }
    auto* source = fromStandardInput ? new vorcStreamFile(0) : new vorcStreamFile(path);
    if (!source->stillUp()) {
        const int openError = errno;
        delete source;
        return usageError(CommandName, std::string("cannot open '") + path + "': " + std::strerror(openError));
    }

    routeStatusMessages(false, quiet);
    // Pixel decoding is not wired in yet, so both modes walk the frames with
    // the counting scan decoder.
    static_cast<void>(parseOnly);
    auto* backEnd = new vorcDefaultTesraDecoderBackEnd;
    auto* scanDecoder = new TileCountingScanDecoder;
    vorcFramewiseTesraDecoder decoder(source, backEnd, scanDecoder);

    ProgressLine progress(ProgressLine::wanted(quiet));
    uint64_t bytes = 0;
    for (;;) {
        const int got = decoder.decode(PullSize);
        bytes += static_cast<uint64_t>(got);
        progress.update(backEnd->getDecodedFramesNum(), bytes);
        if (got == 0 && !decoder.sourceStillUp()) break;
    }
    progress.finish();

    const int frames = backEnd->getDecodedFramesNum();
    if (frames > 0) {
        std::printf("frames: %d, bytes: %llu, picture: %dx%d\n", frames, static_cast<unsigned long long>(bytes),
                    scanDecoder->width(), scanDecoder->height());
        std::printf("full frames: %lld, partial frames: %lld, tiles per frame: %.1f\n",
                    static_cast<long long>(scanDecoder->fullFrames()),
                    static_cast<long long>(frames - scanDecoder->fullFrames()),
                    static_cast<double>(scanDecoder->codedTiles()) / frames);
    } else {
        std::printf("frames: 0, bytes: %llu, picture: none\n", static_cast<unsigned long long>(bytes));
    }
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "report the frames of a stream file", 10, runInfo});

}  // namespace
