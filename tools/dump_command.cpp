// `vorc dump FILE -o OUT`: decodes a stream file through the pixel chain
// (file source -> parser -> software scan decoder -> raw frame dumper) into
// raw, headerless video: RGB rows, or with --yuv planar 4:2:0 in the order
// Y, Cr, Cb. Standard error names the frame size and pixel format that a
// raw-video player needs.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tools/command_registry.h"
#include "tools/pipeline.h"
#include "tools/tool_common.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/sources/stream_file.h"

namespace {

constexpr const char* CommandName = "dump";
constexpr int PullSize = 65536;

void printUsage() {
    std::printf(
        "usage: vorc dump [OPTIONS] FILE -o OUT\n"
        "\n"
        "Decodes the Tesra stream FILE ('-' for standard input) and writes every\n"
        "frame's whole picture to OUT ('-' for standard output) as raw video with\n"
        "no header: RGB rows of 3 bytes per pixel (rgb24), or with --yuv planar\n"
        "4:2:0 with the Y plane, then Cr, then Cb (yvu420p, also called YV12).\n"
        "The frame size and format are printed on standard error at the end.\n"
        "\n"
        "options:\n"
        "  -o OUT     the raw video file to write\n"
        "  --yuv      planar Y, Cr, Cb 4:2:0 instead of RGB (needs even sizes)\n"
        "  --quiet    no library status messages and no progress line\n"
        "  --help     show this help\n"
        "\n"
        "example:\n"
        "  vorc dump --yuv camera.tesra -o camera.yuv\n"
        "  ffplay -f rawvideo -pixel_format yvu420p -video_size 640x480 camera.yuv\n");
}

int runDump(int argc, char** argv) {
    bool quiet = false;
    OutputRequest request;
    request.kind = OutputKind::Dump;
    const char* path = nullptr;
    bool haveOutput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage();
            return ExitOk;
        }
        if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--yuv") {
            request.yuv = true;
        } else if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc) return usageError(CommandName, "-o needs an output file ('-' for standard output)");
            request.path = argv[++i];
            haveOutput = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError(CommandName, "unknown option '" + arg + "'");
        } else if (path != nullptr) {
            return usageError(CommandName, "more than one input file ('" + arg + "')");
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) return usageError(CommandName, "missing input FILE");
    if (!haveOutput) return usageError(CommandName, "missing -o OUT");

    const bool fromStandardInput = std::strcmp(path, "-") == 0;
    struct stat info {};
    if (!fromStandardInput && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        return usageError(CommandName, std::string("'") + path + "' is a directory");
    }
    auto source = std::unique_ptr<vorcStreamFile>(fromStandardInput ? new vorcStreamFile(0) : new vorcStreamFile(path));
    if (!source->stillUp()) {
        return usageError(CommandName, std::string("cannot open '") + path + "': " + std::strerror(errno));
    }
    // Before the scan decoder is built: its constructor already reports.
    routeStatusMessages(true, quiet);
    OutputChain chain;
    std::string error;
    if (!buildOutputChain(request, &chain, &error)) return usageError(CommandName, error);
    {
        vorcFramewiseTesraDecoder decoder(source.release(), chain.backEnd, chain.scanDecoder);
        ProgressLine progress(ProgressLine::wanted(quiet));
        uint64_t bytes = 0;
        for (;;) {
            const int got = decoder.decode(PullSize);
            bytes += static_cast<uint64_t>(got);
            progress.update(chain.stats->frames, bytes);
            if (got == 0 && !decoder.sourceStillUp()) break;
        }
        progress.finish();
        chain.finishBeforeTeardown();
    }
    std::fprintf(stderr, "%s\n", describeDump(request, *chain.stats).c_str());
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "decode a stream file into raw RGB or YUV video", 40, runDump});

}  // namespace
