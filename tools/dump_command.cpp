// `vorc dump FILE -o OUT`: decodes a stream file through the pixel chain
// (file source -> parser -> software scan decoder -> raw frame dumper ->
// file writer) into raw, headerless video: RGB rows, or with --yuv planar
// 4:2:0 in the order Y, Cr, Cb. Standard error names the frame size and
// pixel format that a raw-video player needs.
#include <cstdio>
#include <string>

#include "tools/command_registry.h"
#include "tools/option_parser.h"
#include "tools/pipeline.h"
#include "tools/tool_common.h"

namespace {

constexpr const char* CommandName = "dump";

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
        "%s"
        "  --help     show this help\n"
        "\n"
        "example:\n"
        "  vorc dump --yuv camera.tesra -o camera.yuv\n"
        "  (a raw-video player shows it as pixel format yvu420p, size 640x480)\n",
        StreamOptionsHelp);
}

int runDump(int argc, char** argv) {
    bool quiet = false;
    OutputRequest request;
    request.kind = OutputKind::Dump;
    const char* path = nullptr;
    const char* output = nullptr;
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv,
            withStreamOptions({{{"--quiet"}, &quiet},
                               {{"--yuv"}, &request.yuv},
                               {{"-o", "--output"}, "-o needs an output file ('-' for standard output)", &output}},
                              &request),
            inputFile(&path)))
        return *done;
    if (output == nullptr) return usageError(CommandName, "missing -o OUT");
    request.path = output;

    DecodingChain chain;
    const int status = chain.decodeFile(CommandName, path, request, quiet, true);
    if (status != ExitOk) return status;
    std::fprintf(stderr, "%s\n", describeDump(request, chain.stats()).c_str());
    return chain.finish(CommandName);
}

const CommandRegistrar registrar(ToolCommand{CommandName, "decode a stream file into raw RGB or YUV video", 40, runDump});

}  // namespace
