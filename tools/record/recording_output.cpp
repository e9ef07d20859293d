// The containers of a recording, chosen by name, and the two that are
// plain byte streams: the MJPEG stream (the bytes `-o` has always written)
// and JPEG images back to back (the MJPEG writer without its framing).
#include "tools/record/recording_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/cli/decoding_chain.h"
#include "tools/record/matroska_file.h"
#include "vorc/core/exceptions.h"
#include "vorc/sinks/mjpeg_writer.h"

namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class JpegStreamFile final : public RecordingOutput {
public:
    JpegStreamFile(int fd, bool ownsDescriptor, const char* boundary)
        : fd_(ownsDescriptor ? fd : -1), writer_(std::make_unique<vorcMJPEGWriter>(fd, boundary)) {}
    ~JpegStreamFile() override {
        if (writer_ != nullptr) close();
    }
    void addImage(const uint8_t* jpeg, size_t size, const RecordedFrame&) override {
        writer_->beginFrame();
        // The writer takes pieces of at most INT_MAX bytes; an image is far smaller.
        writer_->receiveJPEGBytes(jpeg, static_cast<int>(size));
        writer_->endFrame();
    }
    bool close() override {
        writer_.reset();  // the closing delimiter
        failed_ = failed_ || (fd_ != -1 && ::close(fd_) != 0);
        fd_ = -1;
        return !failed_;
    }
    bool failed() const override { return failed_ || (writer_ != nullptr && writer_->hasFailed()); }

private:
    int fd_;  // closed here when the file was opened here
    std::unique_ptr<vorcMJPEGWriter> writer_;
    bool failed_ = false;
};

}  // namespace

Container containerOfName(const std::string& path) {
    if (endsWith(path, ".mkv")) return Container::Matroska;
    if (endsWith(path, ".jpegs")) return Container::BackToBackJpeg;
    return Container::Mjpeg;
}

bool containerByFormatName(const std::string& name, Container* container) {
    if (name == "mjpeg") *container = Container::Mjpeg;
    else if (name == "mkv") *container = Container::Matroska;
    else if (name == "jpegs") *container = Container::BackToBackJpeg;
    else return false;
    return true;
}

std::unique_ptr<RecordingOutput> openRecordingOutput(const std::string& path, Container container) {
    if (container == Container::Matroska) {
        if (path == "-") throw vorc::Error("a Matroska file cannot go to standard output (it is written with seeks)");
        return std::make_unique<MatroskaFile>(path);
    }
    const bool toStandardOutput = path == "-";
    const int fd = toStandardOutput ? STDOUT_FILENO : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) throw vorc::Error("cannot create '" + path + "': " + std::strerror(errno));
    const std::string boundary = OutputRequest().boundary;
    return std::make_unique<JpegStreamFile>(fd, !toStandardOutput,
                                            container == Container::Mjpeg ? boundary.c_str() : nullptr);
}
