// The tool's outputs: one back end, scan decoder and writer per kind of
// output, on the library's chain, which keeps the account of every frame.
#include "tools/cli/decoding_chain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

#include "tools/cli/exit_status.h"
#include "tools/cli/output_file.h"
#include "tools/cli/progress_line.h"
#include "tools/cli/stopping.h"
#include "tools/imageio/png_writer.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/backends/default_backend.h"
#include "vorc/backends/raw_frame_dumper.h"
#include "vorc/chain/tile_walker.h"
#include "vorc/core/picture_limits.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/sinks/jpeg_sequence_writer.h"
#include "vorc/sinks/mjpeg_writer.h"
#include "vorc/sources/stream_file.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {
// How often a silent input lets the decode loop look for a stop signal.
constexpr long SignalCheckMillis = 100;
}  // namespace

// Keeps the picture of the back end it wraps (one that only keeps it, or
// the raw dumper when a dump goes alongside) and writes it as a PNG when the
// wanted frame completes, or, without one, when asked before the parser
// goes away.
class SnapshotBackEnd : public vorcTesraDecoderBackEnd {
public:
    SnapshotBackEnd(std::unique_ptr<vorcBufferedTesraDecoderBackEnd> pictures, long wantedFrame, std::FILE* out,
                    SnapshotState* state, int* writeErrno)
        : pictures_(std::move(pictures)), wantedFrame_(wantedFrame), out_(out), state_(state), writeErrno_(writeErrno) {}
    void videoResolutionChanged(int width, int height) override { pictures_->videoResolutionChanged(width, height); }
    void errorEncountered() override { pictures_->errorEncountered(); }
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget, int* rowPad) override {
        pictures_->provideVideoTilePixelTarget(tileColumn, tileRow, pixelTarget, rowPad);
    }
    void videoTileReceived() override { pictures_->videoTileReceived(); }
    void frameComplete() override {
        pictures_->frameComplete();
        if (++completedFrames_ == wantedFrame_) writePicture();
    }
    void writeLastPicture() {
        if (wantedFrame_ == 0 && completedFrames_ > 0) writePicture();
    }

private:
    void writePicture() {
        const vorcBufferedTesraDecoderBackEnd& picture = *pictures_;
        if (picture.frameBuffer == nullptr) {
            *state_ = SnapshotState::NoPicture;
            return;
        }
        std::vector<const unsigned char*> rows(static_cast<size_t>(picture.height));
        for (int y = 0; y < picture.height; ++y) rows[static_cast<size_t>(y)] = picture.pictureRow(y);
        if (writeRgbPng(out_, picture.width, picture.height, rows)) {
            *state_ = SnapshotState::Written;
        } else {
            *state_ = SnapshotState::WriteFailed;
            *writeErrno_ = errno;
        }
    }

    std::unique_ptr<vorcBufferedTesraDecoderBackEnd> pictures_;
    long wantedFrame_;
    long completedFrames_ = 0;
    std::FILE* out_;
    SnapshotState* state_;
    int* writeErrno_;
};

namespace {

// Passes on whole bytes of any size in pieces a receiver takes.
void sendBytes(vorcByteStreamReceiver* receiver, const unsigned char* bytes, size_t count) {
    for (size_t sent = 0; sent < count;) {
        const size_t piece = std::min<size_t>(count - sent, INT_MAX);
        receiver->receiveStreamBytes(bytes + sent, static_cast<int>(piece));
        sent += piece;
    }
}

// Turns the dumper's planar frames (Y, Cr, Cb) into I420 (Y, Cb, Cr). A
// frame arrives whole before the picture size can change again, so the
// size in stats is the size of the frame being collected.
class ChromaSwappingReceiver : public vorcByteStreamReceiver {
public:
    ChromaSwappingReceiver(vorcByteStreamReceiver* next, const ChainStats* stats) : next_(next), stats_(stats) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        frame_.insert(frame_.end(), bytes, bytes + count);
        const size_t pixels = static_cast<size_t>(stats_->width) * static_cast<size_t>(stats_->height);
        const size_t chroma = pixels / 4;
        if (frame_.size() < pixels + 2 * chroma) return;
        const unsigned char* y = frame_.data();
        sendBytes(next_.get(), y, pixels);
        sendBytes(next_.get(), y + pixels + chroma, chroma);  // Cb
        sendBytes(next_.get(), y + pixels, chroma);           // Cr
        frame_.clear();
    }

private:
    std::unique_ptr<vorcByteStreamReceiver> next_;
    const ChainStats* stats_;
    std::vector<unsigned char> frame_;
};

// Only keeps the picture.
class PictureKeeper : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override {}
    void videoTileReceived() override {}
    void frameComplete() override {}
};

// Takes the transcoder's reports, which the pixel decoder beside it has
// given the chain already.
class SilentBackEnd : public vorcTesraDecoderBackEnd {
public:
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override {}
    void frameComplete() override {}
    void provideVideoTilePixelTarget(int, int, unsigned int** pixelTarget, int* rowPad) override {
        *pixelTarget = nullptr;
        *rowPad = 0;
    }
    void videoTileReceived() override {}
};

// Hands each frame to the command's own scan decoder, which reports to the
// chain, and to the transcoder, so that one pass over the stream gives both
// pixels and JPEG images.
class ScanDecoderPair : public vorcFramewiseTesraScanDecoder {
public:
    ScanDecoderPair(std::unique_ptr<vorcFramewiseTesraScanDecoder> reporting,
                    std::unique_ptr<vorcFramewiseTesraScanDecoder> transcoder)
        : reporting_(std::move(reporting)), transcoder_(std::move(transcoder)) {
        transcoder_->setBackEnd(&silent_);
    }
    const char* getAccelerationTypeString() override { return reporting_->getAccelerationTypeString(); }
    void setYQuantizationTable(unsigned char* table) override {
        reporting_->setYQuantizationTable(table);
        transcoder_->setYQuantizationTable(table);
    }
    void setUVQuantizationTable(unsigned char* table) override {
        reporting_->setUVQuantizationTable(table);
        transcoder_->setUVQuantizationTable(table);
    }
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override {
        reporting_->setBackEnd(backEnd);
        reporting_->performScanSweep(frame);
        transcoder_->performScanSweep(frame);
    }

private:
    SilentBackEnd silent_;
    std::unique_ptr<vorcFramewiseTesraScanDecoder> reporting_;
    std::unique_ptr<vorcFramewiseTesraScanDecoder> transcoder_;
};

// Passes images on to a receiver the transcoder must not destroy.
class LentReceiver : public vorcJPEGReceiver {
public:
    explicit LentReceiver(vorcJPEGReceiver* receiver) : receiver_(receiver) {}
    void beginFrame() override { receiver_->beginFrame(); }
    void endFrame() override { receiver_->endFrame(); }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override { receiver_->receiveJPEGBytes(bytes, count); }

private:
    vorcJPEGReceiver* receiver_;
};

}  // namespace

// Counts the bytes that reached the output on their way there; takes JPEG
// images from the transcoder and raw frames from the dumper alike. An
// image is counted once it is whole, raw bytes as they pass, and either
// only while the output has lost nothing: a summary must not report bytes
// that were not written. A binary writer reports only that it failed; the
// system's reason is kept here right after the failing call, while errno
// still holds it.
class CountingSink : public vorcJPEGReceiver, public vorcByteStreamReceiver {
public:
    // Numbered JPEG files: outputFailed says whether one was lost.
    CountingSink(vorcJPEGReceiver* sink, ChainStats* stats, std::function<bool()> outputFailed)
        : sink_(sink), stats_(stats), outputFailed_(std::move(outputFailed)) {}
    // One output file, whose first failure's errno goes to *failureErrno.
    CountingSink(vorcMJPEGWriter* writer, ChainStats* stats, int* failureErrno)
        : sink_(writer), stats_(stats), writer_(writer), failureErrno_(failureErrno) {}
    void beginFrame() override {
        sink_->beginFrame();
        imageBytes_ = 0;
        noteFailure();
    }
    void endFrame() override {
        sink_->endFrame();
        noteFailure();
        if (!outputFailed()) stats_->bytesWritten += imageBytes_;
    }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        sink_->receiveJPEGBytes(bytes, count);
        imageBytes_ += static_cast<uint64_t>(count);
        noteFailure();
    }
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        sink_->receiveJPEGBytes(bytes, count);
        noteFailure();
        if (!outputFailed()) stats_->bytesWritten += static_cast<uint64_t>(count);
    }
    // Completes the output now, as tearing the chain down would (the MJPEG
    // closing delimiter): for an exit that never tears it down.
    void closeOutput() { sink_.reset(); }

private:
    bool outputFailed() const { return writer_ != nullptr ? writer_->hasFailed() : outputFailed_(); }
    void noteFailure() {
        if (writer_ != nullptr && *failureErrno_ == 0 && writer_->hasFailed()) *failureErrno_ = failureErrno();
    }

    std::unique_ptr<vorcJPEGReceiver> sink_;
    ChainStats* stats_;
    std::function<bool()> outputFailed_;
    const vorcBinaryFileWriter* writer_ = nullptr;
    int* failureErrno_ = nullptr;
    uint64_t imageBytes_ = 0;
};

bool prefixUsable(const std::string& prefix, std::string* problem) {
    const size_t slash = prefix.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        *problem = "cannot create directory '" + directory + "': " + error.message();
        return false;
    }
    if (::access(directory.c_str(), W_OK) != 0) {
        *problem = systemError("write into", directory);
        return false;
    }
    return true;
}

namespace {

// Opens FILE ("-": standard input); *size is its size when it is a
// regular file (*regular), 0 otherwise.
std::unique_ptr<vorcStreamFile> openInput(const char* command, const char* path, uint64_t* size, bool* regular) {
    const bool fromStandardInput = std::strcmp(path, "-") == 0;
    struct stat info {};
    if (!fromStandardInput && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        usageError(command, std::string("'") + path + "' is a directory");
        return nullptr;
    }
    auto source = fromStandardInput ? std::make_unique<vorcStreamFile>(STDIN_FILENO) : std::make_unique<vorcStreamFile>(path);
    if (!source->stillUp()) {
        usageError(command, systemError("open", path));
        return nullptr;
    }
    *regular = fromStandardInput ? ::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)
                                 : ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
    *size = *regular ? static_cast<uint64_t>(info.st_size) : 0;
    return source;
}

}  // namespace

DecodingChain::DecodingChain() = default;

DecodingChain::~DecodingChain() {
    if (outputFd_ != -1) ::close(outputFd_);
}

const char* rawFormatName(RawFormat format) {
    switch (format) {
        case RawFormat::Yvu420p: return "yvu420p";
        case RawFormat::Yuv420p: return "yuvj420p";
        case RawFormat::Rgb24: break;
    }
    return "rgb24";
}

bool chooseRawFormat(RawFormat* format, bool yuv, bool i420) {
    if (yuv && i420) return false;
    if (yuv) *format = RawFormat::Yvu420p;
    if (i420) *format = RawFormat::Yuv420p;
    return true;
}

bool writesStandardOutput(const OutputRequest& request) {
    return (request.kind == OutputKind::Dump || request.kind == OutputKind::Mjpeg ||
            request.kind == OutputKind::Snapshot) &&
           request.path == "-";
}

std::vector<Option> withStreamOptions(std::vector<Option> options, OutputRequest* request) {
    options.emplace_back(std::vector<std::string>{"--keep-going"}, &request->keepGoing);
    options.emplace_back(std::vector<std::string>{"--max-pixels"}, "%s needs a number of pixels",
                         [request](const char* text, std::string&) {
                             long pixels = 0;
                             if (!parseWholeNumber(text, 1, LONG_MAX, &pixels)) return false;
                             request->maxPixels = static_cast<uint64_t>(pixels);
                             return true;
                         });
    return options;
}

void printStreamOptionsHelp(int column, bool keepGoingLine) {
    if (keepGoingLine) printOptionHelp(column, "--keep-going", "skip damaged frames instead of stopping at the first");
    printOptionHelp(column, "--max-pixels N", "refuse pictures of more than N pixels (default 64000000)");
}

std::string describeDamage(const ChainStats& stats) {
    return "damaged frames: " + std::to_string(stats.damagedFrames) +
           ", skipped bytes: " + std::to_string(stats.skippedBytes);
}

bool DecodingChain::open(const OutputRequest& request, std::string* error) {
    if (!openOutput(request, error)) return false;
    if (images_ != nullptr) {
        std::unique_ptr<vorcFramewiseTesraScanDecoder> transcoder(
            new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new LentReceiver(images_)));
        // A report needs no pixels.
        if (request.kind == OutputKind::Report) scanDecoder_ = std::move(transcoder);
        else scanDecoder_ = std::make_unique<ScanDecoderPair>(std::move(scanDecoder_), std::move(transcoder));
    }
    return true;
}

bool DecodingChain::openSnapshot(const std::string& path, std::unique_ptr<vorcBufferedTesraDecoderBackEnd> pictures,
                                 std::string* error) {
    snapshotPath_ = path;
    snapshotFile_ = std::make_unique<OutputFile>(path);
    if (snapshotFile_->file() == nullptr) {
        *error = systemError("create", path);
        return false;
    }
    auto* snapshot = new SnapshotBackEnd(std::move(pictures), request_.frame, snapshotFile_->file(), &snapshot_, &writeErrno_);
    snapshotBackEnd_ = snapshot;
    backEnd_.reset(snapshot);
    return true;
}

bool DecodingChain::openOutput(const OutputRequest& request, std::string* error) {
    request_ = request;
    vorc::setMaxPicturePixels(request.maxPixels);
    const OutputKind kind = request.kind;
    if (kind == OutputKind::ParseOnly) {
        auto* tiles = new vorc::TileCountingBackEnd;
        backEnd_.reset(tiles);
        scanDecoder_.reset(new vorc::TileWalker(tiles));
        return true;
    }
    if (kind == OutputKind::Report) {
        backEnd_.reset(new vorcDefaultTesraDecoderBackEnd);
        scanDecoder_.reset(new vorcFramewiseTesraScanDecoderSoftwareOnly);
        return true;
    }
    if (kind == OutputKind::JpegFiles) {
        if (!prefixUsable(request.path, error)) return false;
        backEnd_.reset(new vorcDefaultTesraDecoderBackEnd);
        auto* writer = new vorcJPEGSequenceWriter(request.path.c_str());
        sequenceWriter_ = writer;
        scanDecoder_.reset(new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(
            new CountingSink(writer, &stats_, [writer] { return writer->hasFailed(); })));
        return true;
    }
    // Opened now, so that an output that cannot be written is reported
    // before any input is read.
    const bool toStandardOutput = request.path == "-";
    if (kind == OutputKind::Snapshot) {
        scanDecoder_.reset(new vorcFramewiseTesraScanDecoderSoftwareOnly);
        return openSnapshot(request.path, std::make_unique<PictureKeeper>(), error);
    }
    if (!toStandardOutput) {
        outputFd_ = ::open(request.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (outputFd_ == -1) {
            *error = systemError("create", request.path);
            return false;
        }
    }
    const int fd = toStandardOutput ? STDOUT_FILENO : outputFd_;
    if (kind == OutputKind::Dump) {
        // Without a boundary the writer puts out plain bytes, as the dump needs.
        auto* writer = new vorcMJPEGWriter(fd, nullptr);
        writer_ = writer;
        vorcByteStreamReceiver* sink =
            new CountingSink(writer, &stats_, &writeErrno_);
        if (request.rawFormat == RawFormat::Yuv420p) sink = new ChromaSwappingReceiver(sink, &stats_);
        auto dumper = std::make_unique<vorcTesraRawFrameDumper>(sink, request.rawFormat != RawFormat::Rgb24);
        scanDecoder_.reset(new vorcFramewiseTesraScanDecoderSoftwareOnly);
        if (!request.snapshotToo.empty()) return openSnapshot(request.snapshotToo, std::move(dumper), error);
        backEnd_ = std::move(dumper);
    } else {
        auto* writer = new vorcMJPEGWriter(fd, request.boundary.c_str());
        writer_ = writer;
        // The stream header goes out at once.
        if (writer->hasFailed()) writeErrno_ = failureErrno();
        backEnd_.reset(new vorcDefaultTesraDecoderBackEnd);
        mjpegSink_ = new CountingSink(writer, &stats_, &writeErrno_);
        scanDecoder_.reset(new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(mjpegSink_));
    }
    return true;
}

const char* DecodingChain::run(vorcStreamSource* source, bool showProgress, uint64_t totalBytes,
                               const LoopControl& control) {
    const char* stopReason = nullptr;
    vorc::Chain chain(std::unique_ptr<vorcStreamSource>(source), std::move(scanDecoder_), std::move(backEnd_),
                      vorc::ChainOptions{request_.keepGoing ? vorc::StreamErrorPolicy::SkipFrame
                                                            : vorc::StreamErrorPolicy::ExitProcess});
    chain.observeInput(inputWatcher_);
    chain.observeFrames([this, &chain](const vorc::FrameInfo& frame, const uint8_t* tileBitmap) {
        static_cast<vorc::ChainStats&>(stats_) = chain.stats();
        if (frameWatcher_) frameWatcher_(frame, tileBitmap);
        // The transcoder writes during the sweep; the dumper writes when the
        // back end completes the frame, and is counted with the next one.
        if (stats_.bytesWritten != bytesAtLastFrame_) ++stats_.framesWritten;
        bytesAtLastFrame_ = stats_.bytesWritten;
    });
    ProgressLine progress(showProgress, totalBytes, 0);
    // Without --keep-going the library ends the process at a damaged frame.
    const FatalReasonOnExit fatalReason(request_.keepGoing ? std::function<void()>() : [this] { finishAfterFatalError(); });
    while (snapshot_ == SnapshotState::Waiting) {
        if (control.stopReason && (stopReason = control.stopReason()) != nullptr) break;
        const int got = chain.decode(control.pieceSize);
        static_cast<vorc::ChainStats&>(stats_) = chain.stats();
        progress.update(static_cast<long>(stats_.frames), stats_.bytesRead);
        if (got > 0) continue;
        if (!chain.sourceStillUp()) break;
        if (control.waitForData) control.waitForData();
    }
    progress.finish();
    if (stats_.bytesWritten != bytesAtLastFrame_) ++stats_.framesWritten;
    if (snapshotBackEnd_ != nullptr) snapshotBackEnd_->writeLastPicture();
    if (writer_ != nullptr) writeFailed_ = writer_->hasFailed();
    if (sequenceWriter_ != nullptr && sequenceWriter_->hasFailed()) {
        writeFailed_ = true;
        writeFailure_ = sequenceWriter_->failure();
    }
    snapshotBackEnd_ = nullptr;
    writer_ = nullptr;
    sequenceWriter_ = nullptr;
    mjpegSink_ = nullptr;
    stopSignal_ = StopOnSignals::received();
    return stopReason;
}

int DecodingChain::decodeFile(const char* command, const char* path, const OutputRequest& request,
                              const CommonOptions& options, std::FILE* everyMessageTo) {
    uint64_t size = 0;
    bool regularFile = false;
    std::unique_ptr<vorcStreamFile> source = openInput(command, path, &size, &regularFile);
    if (source == nullptr) return ExitUsage;
    command_ = command;
    routeStatusMessages(options.verbosity, everyMessageTo, regularFile);
    std::string error;
    if (!open(request, &error)) return usageError(command, error);
    // A pipe that stays silent must not keep a signal from being seen; a
    // read from a regular file never waits for long.
    if (!regularFile) source->setTimedBlockModeEnabled(true, SignalCheckMillis);
    const StopOnSignals signals;
    LoopControl control;
    // Fewer, larger reads from a file; a snapshot stops reading at its frame.
    if (regularFile && request.kind != OutputKind::Snapshot) control.pieceSize = FilePieceSize;
    control.stopReason = []() -> const char* { return StopOnSignals::received() != 0 ? "interrupted" : nullptr; };
    run(source.release(), ProgressLine::wanted(options), size, control);
    return ExitOk;
}

int DecodingChain::finish(const char* command, const std::string& sourceFailure) {
    if (outputFd_ != -1 && ::close(outputFd_) != 0) writeFailed_ = true;
    outputFd_ = -1;
    const std::string output = request_.path == "-" ? std::string("standard output") : request_.path;
    std::string problem = !writeFailure_.empty() ? writeFailure_
                          : writeErrno_ != 0     ? "cannot write '" + output + "': " + std::strerror(writeErrno_)
                          : request_.path == "-" ? std::string("writing the output failed")
                                                 : "writing '" + request_.path + "' failed";
    int status = writeFailed_ ? ExitFailure : ExitOk;
    if (snapshotFile_ != nullptr) {
        std::string snapshotProblem = problem;
        const int snapshotStatus = finishSnapshot(&snapshotProblem);
        if (status == ExitOk) {
            status = snapshotStatus;
            problem = snapshotProblem;
        }
    }
    if (status != ExitOk) std::fprintf(stderr, "vorc %s: %s\n", command, problem.c_str());
    if (!damageShown_ && (stats_.damagedFrames > 0 || stats_.skippedBytes > 0))
        std::fprintf(stderr, "vorc %s: %s\n", command, describeDamage(stats_).c_str());
    if (stats_.unfinishedFrameOffset && warningsShown()) {
        std::fprintf(stderr, "vorc %s: warning: the stream ends inside a frame that began at offset %llu\n", command,
                     static_cast<unsigned long long>(*stats_.unfinishedFrameOffset));
    }
    if (status != ExitOk) return status;
    if (stopSignal_ != 0) {
        std::fprintf(stderr, "vorc %s: interrupted after %ld frames; the output is complete up to there\n",
                     command, static_cast<long>(stats_.frames));
        return 128 + stopSignal_;
    }
    if (!sourceFailure.empty()) {
        std::fprintf(stderr, "vorc %s: %s\n", command, sourceFailure.c_str());
        return ExitFailure;
    }
    if (stats_.frames == 0) {
        std::fprintf(stderr, "vorc %s: no Tesra frame found in %llu bytes\n", command,
                     static_cast<unsigned long long>(stats_.bytesRead));
        return ExitFailure;
    }
    return ExitOk;
}

void DecodingChain::finishAfterFatalError() {
    if (mjpegSink_ != nullptr) mjpegSink_->closeOutput();
    if (snapshotFile_ != nullptr && snapshot_ != SnapshotState::Written) snapshotFile_->discard();
    std::fprintf(stderr, "vorc %s: hint: --keep-going skips damaged frames instead of stopping at the first\n",
                 command_);
}

int DecodingChain::finishSnapshot(std::string* problem) {
    const bool toFile = !snapshotFile_->toStandardOutput();
    const bool closed = snapshotFile_->close();
    if (!closed && writeErrno_ == 0) writeErrno_ = errno;
    if (snapshot_ == SnapshotState::Written && closed) {
        snapshotFile_->keep();
        return ExitOk;
    }
    snapshotFile_->discard();
    if (snapshot_ == SnapshotState::Waiting) {
        // A signal, or a stream without a frame, is what finish() reports.
        if (stopSignal_ != 0 || stats_.frames == 0) return ExitOk;
        *problem = "frame " + std::to_string(request_.frame) + " never arrived (the stream holds " +
                   std::to_string(stats_.frames) + " complete frames)";
        return ExitUsage;
    }
    const std::string output = toFile ? "'" + snapshotPath_ + "'" : std::string("standard output");
    *problem = snapshot_ == SnapshotState::NoPicture ? "no picture after that frame (its size could not be allocated)"
               : writeErrno_ != 0 ? "cannot write " + output + ": " + std::strerror(writeErrno_)
                                  : "writing " + output + " failed";
    return ExitFailure;
}

std::string describeDump(const OutputRequest& request, const ChainStats& stats) {
    char size[32];
    std::snprintf(size, sizeof size, "%dx%d", stats.width, stats.height);
    const char* format = rawFormatName(request.rawFormat);
    // The dumper's levels are JPEG's: 0 to 255 for Y, Cb and Cr alike.
    const char* planes = request.rawFormat == RawFormat::Yvu420p   ? " (planes Y, Cr, Cb; YV12, full range 0-255)"
                         : request.rawFormat == RawFormat::Yuv420p ? " (planes Y, Cb, Cr; I420, full range 0-255)"
                                                                   : "";
    // "yuvj420p" names the full range itself; the YV12 order has no such name.
    const char* range = request.rawFormat == RawFormat::Yvu420p ? " with full range" : "";
    std::string text = std::string(size) + " " + format + planes + ", " +
                       std::to_string(stats.framesWritten) + " frames";
    if (stats.framesWritten > 0 && !stats.sizeChanged && request.path != "-") {
        text += std::string("; a raw-video player shows ") + request.path + " as pixel format " + format + range +
                ", size " + size;
    }
    if (stats.sizeChanged) text += "; warning: the picture size changed, so the frames are not all of this size";
    return text;
}
