// `vorc snapshot FILE -o OUT.png [--frame N]`: decodes a stream through the
// whole pixel chain (file source -> parser -> software scan decoder ->
// buffered back end -> PNG file) and writes the picture as it stands after
// frame N (or after the last complete frame).
#include <climits>
#include <cstdio>
#include <string>

#include "tools/cli/command_registry.h"
#include "tools/cli/decoding_chain.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"

namespace {

constexpr const char* CommandName = "snapshot";

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
        "                    default: after the last complete frame\n");
    printStreamOptionsHelp(20);
    printCommonOptionsHelp(20);
    std::printf(
        "\n"
        "example:\n"
        "  vorc snapshot camera.tesra --frame 25 -o frame25.png\n");
}

int runSnapshot(int argc, char** argv) {
    CommonOptions common;
    const char* path = nullptr;
    const char* output = nullptr;
    OutputRequest request;
    request.kind = OutputKind::Snapshot;
    const auto frame = [&](const char* value, std::string& error) {
        if (!parseWholeNumber(value, 1, LONG_MAX, &request.frame))
            error = std::string("--frame wants a frame number from 1 on, not '") + value + "'";
        return error.empty();
    };
    if (const auto done = parseArguments(CommandName, printUsage, argc, argv, &common,
                                         withStreamOptions({{{"-o", "--output"}, "%s needs a file name", &output},
                                                            {{"--frame"}, "--frame needs a number", frame}},
                                                           &request),
                                         inputFile(&path)))
        return *done;
    if (output == nullptr || *output == '\0')
        return usageError(CommandName, "missing output file (-o OUT.png)");
    request.path = output;

    DecodingChain chain;
    int status = chain.decodeFile(CommandName, path, request, common,
                                  verboseMessageTarget(common, writesStandardOutput(request)));
    if (status == ExitOk) status = chain.finish(CommandName);
    if (status == ExitOk && !common.quiet()) {
        const ChainStats& stats = chain.stats();
        std::fprintf(stderr, "picture after frame %ld (%dx%d) written to %s\n",
                     request.frame != 0 ? request.frame : static_cast<long>(stats.frames), stats.width, stats.height,
                     request.path == "-" ? "standard output" : request.path.c_str());
    }
    return status;
}

const CommandRegistrar registrar({CommandName, "write the decoded picture after one frame as a PNG", 20,
                                  runSnapshot});

}  // namespace
