// `vorc transcode FILE`: runs a stream through the chain file source ->
// parser -> JPEG transcoder -> default back end, writing every frame as a
// complete JPEG image, either into one MJPEG multipart stream (-o) or into
// numbered JPEG files (--jpeg-prefix). Ends with a summary of the frames and
// bytes written.
#include <cstdio>
#include <string>

#include "tools/cli/command_registry.h"
#include "tools/cli/decoding_chain.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"

namespace {

constexpr const char* CommandName = "transcode";

void printUsage() {
    std::printf(
        "usage: vorc transcode [OPTIONS] FILE -o OUTPUT\n"
        "       vorc transcode [OPTIONS] FILE --jpeg-prefix PREFIX\n"
        "\n"
        "Turns every frame of the Tesra stream in FILE ('-' for standard input)\n"
        "into a complete JPEG image without decoding pixels: either one MJPEG\n"
        "multipart stream (multipart/x-mixed-replace) or numbered JPEG files\n"
        "PREFIX000000.jpg, PREFIX000001.jpg, ... The files count from 0, while\n"
        "'vorc info' and 'vorc snapshot --frame' count frames from 1: frame N is\n"
        "file number N-1.\n"
        "\n"
        "options:\n"
        "  -o, --output OUTPUT   write the MJPEG stream to OUTPUT ('-' for standard\n"
        "                        output; status messages then go to standard error)\n"
        "  --boundary TEXT       multipart boundary of the MJPEG stream (default %s)\n"
        "  --jpeg-prefix PREFIX  write one JPEG file per frame, named PREFIX + number\n"
        "                        (directories in PREFIX that are missing are made)\n",
        OutputRequest().boundary.c_str());
    printStreamOptionsHelp(24);
    printCommonOptionsHelp(24);
    std::printf(
        "\n"
        "examples:\n"
        "  vorc transcode camera.tesra -o camera.mjpg\n"
        "  vorc transcode camera.tesra --jpeg-prefix frames/cam_\n");
}

int runTranscode(int argc, char** argv) {
    CommonOptions common;
    const char* path = nullptr;
    const char* output = nullptr;
    const char* prefix = nullptr;
    const char* boundary = nullptr;
    OutputRequest request;
    if (const auto done =
            parseArguments(CommandName, printUsage, argc, argv, &common,
                           withStreamOptions({{{"-o", "--output"}, "-o needs an OUTPUT file", &output},
                                              {{"--jpeg-prefix"}, "--jpeg-prefix needs a PREFIX", &prefix},
                                              {{"--boundary"}, "--boundary needs a TEXT", &boundary}},
                                             &request),
                           inputFile(&path)))
        return *done;
    if ((output == nullptr) == (prefix == nullptr)) {
        return usageError(CommandName, "give exactly one of -o OUTPUT and --jpeg-prefix PREFIX");
    }
    if (boundary != nullptr && output == nullptr)
        return usageError(CommandName, "--boundary needs -o OUTPUT");
    if (boundary != nullptr) request.boundary = boundary;
    if (request.boundary.empty() || request.boundary.size() > 70 ||
        request.boundary.find_first_of("\r\n\"") != std::string::npos) {
        return usageError(CommandName,
                          "the boundary must be 1 to 70 characters without quotes or line breaks");
    }
    request.kind = output != nullptr ? OutputKind::Mjpeg : OutputKind::JpegFiles;
    request.path = output != nullptr ? output : prefix;
    DecodingChain chain;
    const int status = chain.decodeFile(CommandName, path, request, common,
                                        verboseMessageTarget(common, writesStandardOutput(request)));
    if (status != ExitOk) return status;

    const ChainStats& stats = chain.stats();
    if (!common.quiet()) {
        std::fprintf(stderr, "frames written: %ld, bytes written: %llu, stream bytes read: %llu\n", static_cast<long>(stats.framesWritten),
                     static_cast<unsigned long long>(stats.bytesWritten),
                     static_cast<unsigned long long>(stats.bytesRead));
    }
    return chain.finish(CommandName);
}

const CommandRegistrar registrar(ToolCommand{
    CommandName, "turn a stream into MJPEG or numbered JPEG files", 30, runTranscode});

}  // namespace
