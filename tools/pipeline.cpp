// Output-side wiring shared by the tool's commands.
#include "tools/pipeline.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/png_writer.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/backends/default_backend.h"
#include "vorc/backends/raw_frame_dumper.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/sinks/binary_file_writer.h"
#include "vorc/sinks/jpeg_sequence_writer.h"
#include "vorc/sinks/mjpeg_writer.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

constexpr const char* MjpegSeparator = "vorcframe";

void noteSize(OutputStats* stats, int width, int height) {
    if (stats->frames > 0 && (width != stats->width || height != stats->height)) stats->sizeChanged = true;
    stats->width = width;
    stats->height = height;
}

class CountingDefaultBackEnd : public vorcDefaultTesraDecoderBackEnd {
public:
    explicit CountingDefaultBackEnd(std::shared_ptr<OutputStats> stats) : stats_(std::move(stats)) {}
    void videoResolutionChanged(int width, int height) override {
        vorcDefaultTesraDecoderBackEnd::videoResolutionChanged(width, height);
        noteSize(stats_.get(), width, height);
    }
    void frameComplete() override {
        vorcDefaultTesraDecoderBackEnd::frameComplete();
        ++stats_->frames;
    }

private:
    std::shared_ptr<OutputStats> stats_;
};

class CountingDumper : public vorcTesraRawFrameDumper {
public:
    CountingDumper(vorcByteStreamReceiver* receiver, bool yuv, std::shared_ptr<OutputStats> stats)
        : vorcTesraRawFrameDumper(receiver, yuv), stats_(std::move(stats)) {}
    void videoResolutionChanged(int width, int height) override {
        vorcTesraRawFrameDumper::videoResolutionChanged(width, height);
        noteSize(stats_.get(), width, height);
    }
    void frameComplete() override {
        vorcTesraRawFrameDumper::frameComplete();
        // Only frames that reached the file count (none while the size is
        // odd in YCbCr mode, or could not be allocated).
        if (frameBuffer != nullptr && (!yuvMode || yuvBuffer != nullptr)) ++stats_->frames;
    }

private:
    std::shared_ptr<OutputStats> stats_;
};

// Keeps the latest picture in the buffered back end and writes it as a PNG
// when asked, before the parser (and with it this back end) goes away.
class SnapshotBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    explicit SnapshotBackEnd(std::shared_ptr<OutputStats> stats) : stats_(std::move(stats)) {}
    void videoResolutionChanged(int width, int height) override {
        vorcBufferedTesraDecoderBackEnd::videoResolutionChanged(width, height);
        noteSize(stats_.get(), width, height);
    }
    void errorEncountered() override {}
    void frameComplete() override { ++stats_->frames; }
    void videoTileReceived() override {}

    bool writePng(std::FILE* out) const {
        if (frameBuffer == nullptr || stats_->frames == 0) return false;
        const size_t memoryRowBytes = static_cast<size_t>(tileColumns) * 48;
        const unsigned char* bottom = reinterpret_cast<const unsigned char*>(frameBuffer) +
                                      static_cast<size_t>(pictureOffset) * sizeof(unsigned int);
        std::vector<const unsigned char*> rows(static_cast<size_t>(height));
        for (int y = 0; y < height; ++y) rows[static_cast<size_t>(y)] = bottom + static_cast<size_t>(height - 1 - y) * memoryRowBytes;
        return writeRgbPng(out, width, height, rows);
    }

private:
    std::shared_ptr<OutputStats> stats_;
};

class CheckedFileWriter : public vorcBinaryFileWriter {
public:
    using vorcBinaryFileWriter::vorcBinaryFileWriter;
    bool usable() const { return failed == 0; }
};

class CheckedMjpegWriter : public vorcMJPEGWriter {
public:
    using vorcMJPEGWriter::vorcMJPEGWriter;
    bool usable() const { return failed == 0; }
};

std::string cannotCreate(const std::string& path) { return "cannot create '" + path + "': " + std::strerror(errno); }

// The directory part of a file name prefix ("out/frame_" -> "out").
std::string directoryOf(const std::string& prefix) {
    const size_t slash = prefix.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : prefix.substr(0, slash);
}

}  // namespace

bool outputUsesStandardOutput(const OutputRequest& request) {
    return (request.kind == OutputKind::Dump || request.kind == OutputKind::Mjpeg) && request.path == "-";
}

bool buildOutputChain(const OutputRequest& request, OutputChain* chain, std::string* error) {
    auto stats = std::make_shared<OutputStats>();
    chain->stats = stats;
    chain->finishBeforeTeardown = [] { return true; };
    const bool toStandardOutput = request.path == "-";
    switch (request.kind) {
        case OutputKind::Report:
            chain->backEnd = new CountingDefaultBackEnd(stats);
            chain->scanDecoder = new vorcFramewiseTesraScanDecoderSoftwareOnly;
            return true;
        case OutputKind::Dump: {
            auto writer = toStandardOutput ? std::make_unique<CheckedFileWriter>(STDOUT_FILENO)
                                           : std::make_unique<CheckedFileWriter>(request.path.c_str());
            if (!writer->usable()) {
                *error = cannotCreate(request.path);
                return false;
            }
            chain->backEnd = new CountingDumper(writer.release(), request.yuv, stats);
            chain->scanDecoder = new vorcFramewiseTesraScanDecoderSoftwareOnly;
            return true;
        }
        case OutputKind::Mjpeg: {
            auto writer = toStandardOutput ? std::make_unique<CheckedMjpegWriter>(STDOUT_FILENO, MjpegSeparator)
                                           : std::make_unique<CheckedMjpegWriter>(request.path.c_str(), MjpegSeparator);
            if (!writer->usable()) {
                *error = cannotCreate(request.path);
                return false;
            }
            chain->backEnd = new CountingDefaultBackEnd(stats);
            chain->scanDecoder = new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(writer.release());
            return true;
        }
        case OutputKind::JpegFiles: {
            const std::string directory = directoryOf(request.path);
            if (::access(directory.c_str(), W_OK) != 0) {
                *error = "cannot write files into '" + directory + "': " + std::strerror(errno);
                return false;
            }
            chain->backEnd = new CountingDefaultBackEnd(stats);
            chain->scanDecoder =
                new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(new vorcJPEGSequenceWriter(request.path.c_str()));
            return true;
        }
        case OutputKind::Snapshot: {
            // Created now, so that a path that cannot be written is reported
            // before the camera or file is read.
            std::FILE* out = std::fopen(request.path.c_str(), "wb");
            if (out == nullptr) {
                *error = cannotCreate(request.path);
                return false;
            }
            auto* backEnd = new SnapshotBackEnd(stats);
            chain->backEnd = backEnd;
            chain->scanDecoder = new vorcFramewiseTesraScanDecoderSoftwareOnly;
            chain->finishBeforeTeardown = [backEnd, out] {
                const bool written = backEnd->writePng(out);
                return std::fclose(out) == 0 && written;
            };
            return true;
        }
    }
    return false;
}

std::string describeDump(const OutputRequest& request, const OutputStats& stats) {
    char size[32];
    std::snprintf(size, sizeof size, "%dx%d", stats.width, stats.height);
    // Our planes come as Y, Cr, Cb: the "yvu420p" (YV12) order, not I420.
    const char* format = request.yuv ? "yvu420p" : "rgb24";
    std::string text = std::string(size) + " " + format + (request.yuv ? " (planes Y, Cr, Cb)" : "") + ", " +
                       std::to_string(stats.frames) + " frames";
    if (stats.frames > 0 && !stats.sizeChanged && request.path != "-") {
        text += std::string("; view with: ffplay -f rawvideo -pixel_format ") + format + " -video_size " + size + " " +
                request.path;
    }
    if (stats.sizeChanged) text += "; warning: the picture size changed, so the frames are not all of this size";
    return text;
}
