// `vorc dump FILE -o OUT`: decodes a stream file through the pixel chain
// (file source -> parser -> software scan decoder -> raw frame dumper ->
// file writer) into raw, headerless video: RGB rows, or planar 4:2:0 in the
// order Y, Cr, Cb (--yuv) or Y, Cb, Cr (--i420). Standard error names the
// frame size and pixel format that a raw-video player needs.
#include <cstdio>
#include <string>

#include "tools/cli/command_registry.h"
#include "tools/cli/decoding_chain.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"

namespace {

constexpr const char* CommandName = "dump";

void printUsage() {
    std::printf(
        "usage: vorc dump [OPTIONS] FILE -o OUT\n"
        "\n"
        "Decodes the Tesra stream FILE ('-' for standard input) and writes every\n"
        "frame's whole picture to OUT ('-' for standard output) as raw video with\n"
        "no header: RGB rows of 3 bytes per pixel (rgb24), or planar 4:2:0 with\n"
        "the Y plane, then Cr, then Cb (--yuv: yvu420p, also called YV12), or\n"
        "the Y plane, then Cb, then Cr (--i420: I420, the order most tools expect).\n"
        "Planar samples have full-range (JPEG) levels, 0 to 255, not the video\n"
        "range 16 to 235: I420 is pixel format yuvj420p, not yuv420p.\n"
        "The frame size and format are printed on standard error at the end.\n"
        "\n"
        "options:\n"
        "  -o, --output OUT  the raw video file to write\n"
        "  --yuv             planar Y, Cr, Cb 4:2:0 instead of RGB (needs even sizes)\n"
        "  --i420            planar Y, Cb, Cr 4:2:0 instead of RGB (needs even sizes)\n");
    printStreamOptionsHelp(20);
    printCommonOptionsHelp(20);
    std::printf(
        "\n"
        "example:\n"
        "  vorc dump --i420 camera.tesra -o camera.yuv\n"
        "  (a raw-video player shows it as pixel format yuvj420p, size 640x480)\n");
}

int runDump(int argc, char** argv) {
    CommonOptions common;
    OutputRequest request;
    request.kind = OutputKind::Dump;
    const char* path = nullptr;
    const char* output = nullptr;
    bool yuv = false;
    bool i420 = false;
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv, &common,
            withStreamOptions({{{"--yuv"}, &yuv},
                               {{"--i420"}, &i420},
                               {{"-o", "--output"}, "-o needs an output file ('-' for standard output)", &output}},
                              &request),
            inputFile(&path)))
        return *done;
    if (output == nullptr) return usageError(CommandName, "missing -o OUT");
    if (!chooseRawFormat(&request.rawFormat, yuv, i420))
        return usageError(CommandName, "give at most one of --yuv and --i420");
    request.path = output;

    DecodingChain chain;
    const int status = chain.decodeFile(CommandName, path, request, common,
                                        verboseMessageTarget(common, writesStandardOutput(request)));
    if (status != ExitOk) return status;
    if (!common.quiet()) std::fprintf(stderr, "%s\n", describeDump(request, chain.stats()).c_str());
    return chain.finish(CommandName);
}

const CommandRegistrar registrar(ToolCommand{CommandName, "decode a stream file into raw RGB or YUV video", 40, runDump});

}  // namespace
