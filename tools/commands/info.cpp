// `vorc info FILE`: reads a stream from end to end through the whole chain
// (file source -> parser -> software scan decoder -> default back end), so
// that a damaged scan shows as a corrupt frame, and prints the library's
// per-frame status messages and a summary, or with --json one JSON object
// per frame and a summary object. With --parse-only the frames are only
// walked and their coded tiles counted, which checks the stream's structure
// without decoding a pixel.
#include <cstdio>

#include "tools/cli/command_registry.h"
#include "tools/cli/decoding_chain.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/json_frame_report.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/status_output.h"

namespace {

constexpr const char* CommandName = "info";

void printUsage() {
    std::printf(
        "usage: vorc info [OPTIONS] FILE\n"
        "\n"
        "Reads a Tesra stream from FILE ('-' for standard input), decodes and\n"
        "reports every frame and ends with a summary of frames, bytes and picture\n"
        "size, and of corrupt frames if there were any. Frames are counted from 1.\n"
        "\n"
        "With --json, standard output carries JSON Lines instead: for every frame\n"
        "{\"type\":\"frame\", \"index\", \"offset\" and \"bytes\" in the stream, \"width\",\n"
        "\"height\", \"full\" (false: a partial frame), \"coded_tiles\", \"tables\",\n"
        "\"tag\", \"app13\" (segments present; null after damage when unknown),\n"
        "\"damaged\"}, then one object\n"
        "{\"type\":\"summary\", \"frames\", \"full_frames\", \"partial_frames\",\n"
        "\"damaged_frames\", \"skipped_bytes\", \"coded_tiles\", \"bytes\", \"width\",\n"
        "\"height\"}.\n"
        "\n"
        "options:\n"
        "  --parse-only      only check the stream's structure and count the coded tiles\n"
        "  --json            JSON Lines on standard output instead of text\n");
    printStreamOptionsHelp(20);
    printCommonOptionsHelp(20, "no frame lines, only the summary and errors");
    std::printf(
        "\n"
        "examples:\n"
        "  vorc info --parse-only camera.tesra\n"
        "  vorc info --json camera.tesra > frames.jsonl\n");
}

int runInfo(int argc, char** argv) {
    CommonOptions common;
    bool parseOnly = false;
    bool json = false;
    const char* path = nullptr;
    OutputRequest request;
    if (const auto done = parseArguments(CommandName, printUsage, argc, argv, &common,
                                         withStreamOptions({{{"--parse-only"}, &parseOnly}, {{"--json"}, &json}}, &request),
                                         inputFile(&path)))
        return *done;

    // JSON lines are written as the buffer fills; a warning on standard
    // error must not land in the middle of one.
    if (json && sharesStandardErrorsDestination(stdout)) std::setvbuf(stdout, nullptr, _IOLBF, 0);
    request.kind = parseOnly ? OutputKind::ParseOnly : OutputKind::Report;
    DecodingChain chain;
    JsonFrameReport report(stdout);
    if (json) report.watch(&chain);
    // The frame lines are what this command is for, unless JSON takes
    // standard output.
    std::FILE* frameLines = json ? verboseMessageTarget(common, true) : (common.quiet() ? nullptr : stdout);
    const int status = chain.decodeFile(CommandName, path, request, common, frameLines);
    if (status != ExitOk) return status;

    const ChainStats& stats = chain.stats();
    if (json) {
        report.finish(stats);
        chain.damageShownByCommand();
    } else if (stats.frames == 0) {
        std::printf("frames: 0, bytes: %llu, picture: none\n", static_cast<unsigned long long>(stats.bytesRead));
    } else {
        std::printf("frames: %llu, bytes: %llu, picture: %dx%d\n", static_cast<unsigned long long>(stats.frames),
                    static_cast<unsigned long long>(stats.bytesRead), stats.width, stats.height);
        std::printf("full frames: %llu, partial frames: %llu, tiles per frame: %.1f\n",
                    static_cast<unsigned long long>(stats.fullFrames),
                    static_cast<unsigned long long>(stats.frames - stats.fullFrames),
                    static_cast<double>(stats.codedTiles) / static_cast<double>(stats.frames));
        if (stats.damagedFrames > 0)
            std::printf("corrupt frames: %llu\n", static_cast<unsigned long long>(stats.damagedFrames));
        if (request.keepGoing) {
            std::printf("%s\n", describeDamage(stats).c_str());
            chain.damageShownByCommand();
        }
    }
    // A signal, or a source without a frame, is no success; a report that
    // could not be written neither (see main).
    return chain.finish(CommandName);
}

const CommandRegistrar registrar(ToolCommand{CommandName, "report the frames of a stream file", 10, runInfo});

}  // namespace
