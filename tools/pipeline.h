// The one wiring of the vorc tool's decoding chain (source -> parser -> scan
// decoder -> back end -> sink): builds the scan decoder, back end and writer
// for every kind of output, runs the decode loop with its progress line, and
// counts what every frame carried, so that the commands reading a file and
// `vorc record` reading a live camera behave alike.
#ifndef VORC_TOOLS_PIPELINE_H
#define VORC_TOOLS_PIPELINE_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/option_parser.h"
#include "vorc/core/scan_decoder.h"
#include "vorc/core/stream_interfaces.h"

enum class OutputKind {
    Report,     // decode pixels; the default back end reports every frame
    ParseOnly,  // only walk the frames and count their coded tiles
    Dump,       // raw RGB rows or planar Y, Cr, Cb
    Mjpeg,      // transcode into one MJPEG multipart stream
    JpegFiles,  // transcode into numbered JPEG files
    Snapshot,   // decode pixels; one picture as a PNG
};

struct OutputRequest {
    OutputKind kind = OutputKind::Report;
    // Dump, Mjpeg, Snapshot: the file ("-" for standard output); JpegFiles:
    // the file name prefix.
    std::string path;
    bool yuv = false;                   // Dump
    std::string boundary = "vorcframe";  // Mjpeg
    long frame = 0;                     // Snapshot: after this frame; 0: after the last one
    bool keepGoing = false;             // skip damaged frames instead of ending the process
    uint64_t maxPixels = 0;             // largest picture to allocate for; 0: the library's default
};

// --keep-going and --max-pixels, which every command reading a stream takes,
// and their lines for the help.
std::vector<Option> withStreamOptions(std::vector<Option> options, OutputRequest* request);
constexpr const char* StreamOptionsHelp =
    "  --keep-going       skip damaged frames instead of stopping at the first\n"
    "  --max-pixels N     refuse pictures of more than N pixels (default 64000000)\n";

struct ChainStats {
    long frames = 0;  // completed, corrupt ones included
    long fullFrames = 0;
    long corruptFrames = 0;
    long damagedFrames = 0;  // skipped stream errors (keepGoing)
    uint64_t skippedBytes = 0;
    int64_t codedTiles = 0;
    int width = 0;
    int height = 0;
    bool sizeChanged = false;  // more than one picture size: a raw dump is not one video
    uint64_t bytesRead = 0;
    long framesWritten = 0;  // frames that put bytes into the output
    uint64_t bytesWritten = 0;
};

// Bytes pulled per decode call unless a live source asks for fewer.
constexpr int DefaultPieceSize = 65536;

// How a live source is driven; files need none of it.
struct LoopControl {
    int pieceSize = DefaultPieceSize;
    // Asked before each piece; a reason ends the loop.
    std::function<const char*()> stopReason;
    // Called when the source had nothing yet but has not ended.
    std::function<void()> waitForData;
};

class SnapshotBackEnd;
class vorcMJPEGWriter;
class vorcJPEGSequenceWriter;

// How far the snapshot got.
enum class SnapshotState { Waiting, NoPicture, WriteFailed, Written };

class DecodingChain {
public:
    DecodingChain();
    ~DecodingChain();
    DecodingChain(const DecodingChain&) = delete;
    DecodingChain& operator=(const DecodingChain&) = delete;

    // Opens the output and builds the objects; on failure returns false with
    // a message in *error. Route the status messages first: building
    // already reports.
    bool open(const OutputRequest& request, std::string* error);
    // Feeds the chain from source (taken over) until the source ends, the
    // output needs no more frames or control names a stop reason (returned;
    // null otherwise). Tearing the parser down completes every output.
    const char* run(vorcStreamSource* source, bool quiet, const LoopControl& control = LoopControl());
    // The above for a command reading FILE ("-": standard input), with its
    // status messages routed first: ExitOk, or ExitUsage after printing why
    // the input or the output cannot be opened.
    int decodeFile(const char* command, const char* path, const OutputRequest& request, bool quiet,
                   bool statusToStandardError);
    // Closes the output: ExitOk, or an exit status after printing the
    // problem as "vorc COMMAND: ..." (a failed snapshot leaves no file); 128
    // + the signal when SIGINT or SIGTERM stopped decodeFile. Damaged frames
    // and skipped bytes are counted on standard error.
    int finish(const char* command);

    const ChainStats& stats() const { return stats_; }

private:
    int finishSnapshot(std::string* problem);

    OutputRequest request_;
    ChainStats stats_;
    std::unique_ptr<vorcTesraDecoderBackEnd> backEnd_;             // until the parser takes it
    std::unique_ptr<vorcFramewiseTesraScanDecoder> scanDecoder_;  // likewise
    SnapshotBackEnd* snapshotBackEnd_ = nullptr;                  // while the parser lives
    const vorcMJPEGWriter* writer_ = nullptr;                     // likewise
    const vorcJPEGSequenceWriter* sequenceWriter_ = nullptr;      // likewise
    std::string writeFailure_;  // the sequence writer's first failure
    SnapshotState snapshot_ = SnapshotState::Waiting;
    std::FILE* snapshotFile_ = nullptr;
    int outputFd_ = -1;  // a file the chain opened and closes
    int stopSignal_ = 0;  // SIGINT or SIGTERM ended decodeFile
    bool writeFailed_ = false;
};

// Standard output carries data, so status messages must go elsewhere.
bool writesStandardOutput(const OutputRequest& request);

// "damaged frames: N, skipped bytes: M".
std::string describeDamage(const ChainStats& stats);

// One line for standard error about a finished raw dump: size, pixel
// format, frame count, and how to view it.
std::string describeDump(const OutputRequest& request, const ChainStats& stats);

#endif
