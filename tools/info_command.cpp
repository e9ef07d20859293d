// `vorc info FILE`: reads a stream from end to end through the whole chain
// (file source -> parser -> software scan decoder -> default back end), so
// that a damaged scan shows as a corrupt frame, and prints the library's
// per-frame status messages and a summary. With --parse-only the frames are
// only walked and their coded tiles counted, which checks the stream's
// structure without decoding a pixel.
#include <cstdio>

#include "tools/command_registry.h"
#include "tools/option_parser.h"
#include "tools/pipeline.h"
#include "tools/tool_common.h"

namespace {

constexpr const char* CommandName = "info";

void printUsage() {
    std::printf(
        "usage: vorc info [OPTIONS] FILE\n"
        "\n"
        "Reads a Tesra stream from FILE ('-' for standard input), decodes and\n"
        "reports every frame and ends with a summary of frames, bytes and picture\n"
        "size, and of corrupt frames if there were any.\n"
        "\n"
        "options:\n"
        "  --parse-only  only check the stream's structure and count the coded tiles\n"
        "  --quiet       no per-frame messages, only the summary\n"
        "%s"
        "  --help        show this help\n"
        "\n"
        "example:\n"
        "  vorc info --parse-only camera.tesra\n",
        StreamOptionsHelp);
}

int runInfo(int argc, char** argv) {
    bool quiet = false;
    bool parseOnly = false;
    const char* path = nullptr;
    OutputRequest request;
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv,
            withStreamOptions({{{"--quiet"}, &quiet}, {{"--parse-only"}, &parseOnly}}, &request), inputFile(&path)))
        return *done;

    request.kind = parseOnly ? OutputKind::ParseOnly : OutputKind::Report;
    DecodingChain chain;
    const int status = chain.decodeFile(CommandName, path, request, quiet, false);
    if (status != ExitOk) return status;

    const ChainStats& stats = chain.stats();
    if (stats.frames == 0) {
        std::printf("frames: 0, bytes: %llu, picture: none\n", static_cast<unsigned long long>(stats.bytesRead));
        return ExitOk;
    }
    std::printf("frames: %ld, bytes: %llu, picture: %dx%d\n", stats.frames,
                static_cast<unsigned long long>(stats.bytesRead), stats.width, stats.height);
    std::printf("full frames: %ld, partial frames: %ld, tiles per frame: %.1f\n", stats.fullFrames,
                stats.frames - stats.fullFrames, static_cast<double>(stats.codedTiles) / static_cast<double>(stats.frames));
    if (stats.corruptFrames > 0) std::printf("corrupt frames: %ld\n", stats.corruptFrames);
    if (request.keepGoing) std::printf("%s\n", describeDamage(stats).c_str());
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "report the frames of a stream file", 10, runInfo});

}  // namespace
