// The output side of the vorc tool's decoding chain (source -> parser ->
// scan decoder -> back end): builds the back end, the scan decoder and the
// writer for one kind of output, so that the commands reading a file and
// `vorc record` reading a live camera wire their outputs the same way.
#ifndef VORC_TOOLS_PIPELINE_H
#define VORC_TOOLS_PIPELINE_H

#include <functional>
#include <memory>
#include <string>

#include "vorc/core/scan_decoder.h"
#include "vorc/core/stream_interfaces.h"

enum class OutputKind {
    Report,     // decode pixels; the default back end reports every frame
    Dump,       // raw RGB rows or planar Y, Cr, Cb
    Mjpeg,      // transcode into one MJPEG multipart stream
    JpegFiles,  // transcode into numbered JPEG files
    Snapshot,   // decode pixels; the last complete picture as a PNG
};

struct OutputRequest {
    OutputKind kind = OutputKind::Report;
    // Dump, Mjpeg, Snapshot: the file ("-" for standard output, except for
    // Snapshot); JpegFiles: the file name prefix.
    std::string path;
    bool yuv = false;  // Dump only
};

// What the back end has seen; it outlives the back end, which the parser owns.
struct OutputStats {
    long frames = 0;
    int width = 0;
    int height = 0;
    bool sizeChanged = false;  // more than one picture size: a raw dump is not one video
};

struct OutputChain {
    vorcTesraDecoderBackEnd* backEnd = nullptr;                // for the parser, which owns it
    vorcFramewiseTesraScanDecoder* scanDecoder = nullptr;      // likewise
    std::shared_ptr<OutputStats> stats;
    // Call while the parser still lives, before destroying it: writes what
    // is only written at the end (the snapshot). False if that failed.
    std::function<bool()> finishBeforeTeardown;
};

// True when the output writes to standard output, so that status messages
// must go to standard error.
bool outputUsesStandardOutput(const OutputRequest& request);

// Opens the output and builds the objects; on failure returns false with a
// message in *error and builds nothing.
bool buildOutputChain(const OutputRequest& request, OutputChain* chain, std::string* error);

// One line for standard error about a finished raw dump: size, pixel
// format, frame count, and how to view it.
std::string describeDump(const OutputRequest& request, const OutputStats& stats);

#endif
