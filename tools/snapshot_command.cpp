// `vorc snapshot FILE -o OUT.png [--frame N]`: decodes a stream through the
// whole pixel chain (file source -> parser -> software scan decoder ->
// buffered back end -> PNG file) and writes the picture as it stands after
// frame N (or after the last complete frame).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/command_registry.h"
#include "tools/pipeline.h"
#include "tools/tool_common.h"

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
    OutputRequest request;
    request.kind = OutputKind::Snapshot;
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
            request.path = argv[i];
        } else if (std::strcmp(arg, "--frame") == 0) {
            if (++i == argc) return usageError(CommandName, "--frame needs a number");
            if (!parseFrameNumber(argv[i], &request.frame)) {
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
    if (request.path.empty()) return usageError(CommandName, "missing output file (-o OUT.png)");

    DecodingChain chain;
    const int status = chain.decodeFile(CommandName, path, request, quiet, writesStandardOutput(request));
    return status != ExitOk ? status : chain.finish(CommandName);
}

const CommandRegistrar registrar({CommandName, "write the decoded picture after one frame as a PNG", 20,
                                  runSnapshot});

}  // namespace
