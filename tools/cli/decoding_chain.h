// The vorc tool's outputs on the library's chain: builds the scan decoder,
// back end and writer for every kind of output, runs the chain's decode loop
// with its progress line, and finishes the output with the command's exit
// status, so that the commands reading a file and `vorc record` reading a
// live camera behave alike. What every frame was is the chain's account.
#ifndef VORC_TOOLS_CLI_DECODING_CHAIN_H
#define VORC_TOOLS_CLI_DECODING_CHAIN_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/cli/option_parser.h"
#include "tools/cli/status_output.h"
#include "vorc/chain/chain.h"
#include "vorc/core/stream_interfaces.h"
#include "vorc/parse/scan_decoder.h"

enum class OutputKind {
    Report,     // decode pixels; the default back end reports every frame
    ParseOnly,  // only walk the frames and count their coded tiles
    Dump,       // raw RGB rows or planar 4:2:0
    Mjpeg,      // transcode into one MJPEG multipart stream
    JpegFiles,  // transcode into numbered JPEG files
    Snapshot,   // decode pixels; one picture as a PNG
};

// The pixel formats of a raw dump, by the names raw-video players use. The
// planar ones carry full-range (JPEG) levels, 0 to 255.
enum class RawFormat {
    Rgb24,    // RGB rows, top row first
    Yvu420p,  // planar 4:2:0: Y, then Cr, then Cb (the dumper's own order, YV12)
    Yuv420p,  // planar 4:2:0: Y, then Cb, then Cr (I420; "yuvj420p" for its full range)
};

const char* rawFormatName(RawFormat format);

// Picks a planar format for --yuv or --i420; false when the other one was
// taken already.
bool chooseRawFormat(RawFormat* format, bool yuv, bool i420);

struct OutputRequest {
    OutputKind kind = OutputKind::Report;
    // Dump, Mjpeg, Snapshot: the file ("-" for standard output); JpegFiles:
    // the file name prefix.
    std::string path;
    RawFormat rawFormat = RawFormat::Rgb24;  // Dump
    std::string boundary = "vorcframe";  // Mjpeg
    long frame = 0;                     // Snapshot: after this frame; 0: after the last one
    // Dump: the last picture also goes into this PNG file (empty: not).
    std::string snapshotToo;
    bool keepGoing = false;             // skip damaged frames instead of ending the process
    uint64_t maxPixels = 0;             // largest picture to allocate for; 0: the library's default
};

// --keep-going and --max-pixels, which every command reading a stream takes,
// and their lines for the help (meanings from column on); a command that
// always keeps going leaves the line of --keep-going out.
std::vector<Option> withStreamOptions(std::vector<Option> options, OutputRequest* request);
void printStreamOptionsHelp(int column, bool keepGoingLine = true);

// The chain's account, and what reached the output.
struct ChainStats : vorc::ChainStats {
    uint64_t framesWritten = 0;  // frames that put bytes into the output
    uint64_t bytesWritten = 0;
};

// Called with every completed frame (its bitmap valid during the call), and
// with every piece of input on its way from the source to the parser.
using FrameWatcher = vorc::Chain::FrameObserver;
using InputWatcher = vorc::Chain::InputObserver;

// Bytes pulled per decode call unless a live source asks for fewer.
constexpr int DefaultPieceSize = 65536;
// Bytes pulled per decode call from a regular file: reads this large cost
// hardly more than 1 MiB reads, and the parser's buffer is first touched,
// page by page, only as far as one piece and a frame reach (each first touch
// of a page costs some microseconds).
constexpr int FilePieceSize = 262144;

// How a live source is driven; files need none of it.
struct LoopControl {
    int pieceSize = DefaultPieceSize;
    // Asked before each piece; a reason ends the loop.
    std::function<const char*()> stopReason;
    // Called when the source had nothing yet but has not ended.
    std::function<void()> waitForData;
};

class OutputFile;
class vorcJPEGReceiver;
class vorcBufferedTesraDecoderBackEnd;
class SnapshotBackEnd;
class CountingSink;
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

    // Set before run or decodeFile.
    void watchFrames(FrameWatcher watcher) { frameWatcher_ = std::move(watcher); }
    void watchInput(InputWatcher watcher) { inputWatcher_ = std::move(watcher); }
    // Every frame is also transcoded, and each JPEG image goes to receiver
    // (not taken over; it must outlive run()), whatever the output.
    void transcodeInto(vorcJPEGReceiver* receiver) { images_ = receiver; }

    // Opens the output and builds the objects; on failure returns false with
    // a message in *error. Route the status messages first: building
    // already reports.
    bool open(const OutputRequest& request, std::string* error);
    // Feeds the chain from source (taken over) until the source ends, the
    // output needs no more frames or control names a stop reason (returned;
    // null otherwise), with a progress line when showProgress. totalBytes
    // is the size of the input, 0 when unknown. Tearing the parser down
    // completes every output.
    const char* run(vorcStreamSource* source, bool showProgress, uint64_t totalBytes = 0,
                    const LoopControl& control = LoopControl());
    // The above for a command reading FILE ("-": standard input), with the
    // library's status messages routed first (every one of them to
    // everyMessageTo, if set): ExitOk, or ExitUsage after printing why the
    // input or the output cannot be opened.
    int decodeFile(const char* command, const char* path, const OutputRequest& request,
                   const CommonOptions& options, std::FILE* everyMessageTo);
    // Closes the output and gives the command's exit status, printing any
    // problem as "vorc COMMAND: ...": first an output that could not be
    // written (1; a failed snapshot leaves no file), then 128 + the signal
    // when SIGINT or SIGTERM stopped the run (under a StopOnSignals guard),
    // then sourceFailure, the reason a live source ended (1), then a source
    // without a single frame (1, "no Tesra frame found in N bytes").
    // Damaged frames and skipped bytes are counted on standard error.
    int finish(const char* command, const std::string& sourceFailure = std::string());

    const ChainStats& stats() const { return stats_; }
    // The command's own summary has counted the damage: finish() need not.
    void damageShownByCommand() { damageShown_ = true; }

private:
    bool openOutput(const OutputRequest& request, std::string* error);
    // The snapshot keeps the picture of pictures, which becomes the back end.
    bool openSnapshot(const std::string& path, std::unique_ptr<vorcBufferedTesraDecoderBackEnd> pictures,
                      std::string* error);
    int finishSnapshot(std::string* problem);
    // The library is ending the process at a damaged frame: completes the
    // MJPEG stream, leaves no unwritten snapshot behind and names
    // --keep-going.
    void finishAfterFatalError();

    OutputRequest request_;
    FrameWatcher frameWatcher_;
    InputWatcher inputWatcher_;
    vorcJPEGReceiver* images_ = nullptr;
    ChainStats stats_;
    uint64_t bytesAtLastFrame_ = 0;  // bytesWritten when the last frame was counted
    std::unique_ptr<vorcTesraDecoderBackEnd> backEnd_;             // until the parser takes it
    std::unique_ptr<vorcFramewiseTesraScanDecoder> scanDecoder_;  // likewise
    SnapshotBackEnd* snapshotBackEnd_ = nullptr;                  // while the parser lives
    const vorcMJPEGWriter* writer_ = nullptr;                     // likewise
    const vorcJPEGSequenceWriter* sequenceWriter_ = nullptr;      // likewise
    CountingSink* mjpegSink_ = nullptr;                           // likewise: the MJPEG output's
    const char* command_ = "";  // for messages at an exit from inside the run
    std::string writeFailure_;  // the sequence writer's first failure
    int writeErrno_ = 0;        // the system's reason for the first failed write of the output
    SnapshotState snapshot_ = SnapshotState::Waiting;
    std::unique_ptr<OutputFile> snapshotFile_;
    std::string snapshotPath_;
    int outputFd_ = -1;  // a file the chain opened and closes
    int stopSignal_ = 0;  // SIGINT or SIGTERM ended decodeFile
    bool writeFailed_ = false;
    bool damageShown_ = false;
};

// The directory part of a file name prefix is created if it is missing
// and must take new files; false with *problem otherwise.
bool prefixUsable(const std::string& prefix, std::string* problem);

// Standard output carries data, so status messages must go elsewhere.
bool writesStandardOutput(const OutputRequest& request);

// "damaged frames: N, skipped bytes: M".
std::string describeDamage(const ChainStats& stats);

// One line for standard error about a finished raw dump: size, pixel
// format, frame count, and how to view it.
std::string describeDump(const OutputRequest& request, const ChainStats& stats);

#endif
