// Opening the Reader's source. Files are opened here rather than by the file
// source itself, so that a failure can say why.
#include "vorc/reader/source_opening.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vorc/core/exceptions.h"
#include "vorc/sources/ip_address.h"
#include "vorc/sources/stream_file.h"

namespace vorc {

namespace {

// A file source over a descriptor opened here, closed with the source.
class OpenedStreamFile : public vorcStreamFile {
public:
    explicit OpenedStreamFile(int openedFd) : vorcStreamFile(openedFd) { ownsDescriptor = true; }
};

// Bytes the caller holds in memory, handed out in place of a read.
class MemorySource : public vorcStreamSource {
public:
    MemorySource(const uint8_t* bytes, size_t size) : next_(bytes), left_(size) {}
    int fetchBytes(unsigned char* buffer, int maxBytes) override {
        const size_t count = std::min(left_, size_t(std::max(maxBytes, 0)));
        if (count > 0) std::memcpy(buffer, next_, count);
        next_ += count;
        left_ -= count;
        return int(count);
    }
    bool stillUp() override { return left_ > 0; }

private:
    const uint8_t* next_;
    size_t left_;
};

OpenedSource timedFile(std::unique_ptr<vorcStreamFile> file, std::chrono::milliseconds slice) {
    file->setTimedBlockModeEnabled(true, long(slice.count()));
    OpenedSource opened;
    opened.source = std::move(file);
    return opened;
}

}  // namespace

OpenedSource openFileSource(const std::string& path, std::chrono::milliseconds slice) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        const int error = errno;
        throw SourceError("cannot open " + path + ": " + std::strerror(error), error);
    }
    auto file = std::make_unique<OpenedStreamFile>(fd);
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        throw SourceError("cannot read " + path + ": is a directory", EISDIR);
    }
    return timedFile(std::move(file), slice);
}

OpenedSource openDescriptorSource(int fd, std::chrono::milliseconds slice) {
    if (::fcntl(fd, F_GETFD) == -1) {
        const int error = errno;
        throw SourceError("cannot read descriptor " + std::to_string(fd) + ": " + std::strerror(error), error);
    }
    return timedFile(std::make_unique<vorcStreamFile>(fd), slice);
}

OpenedSource openMemorySource(const uint8_t* bytes, size_t size) {
    OpenedSource opened;
    opened.source = std::make_unique<MemorySource>(bytes, bytes != nullptr ? size : 0);
    return opened;
}

OpenedSource openCameraSource(const std::string& host, int port, const ReaderOptions& options,
                              std::chrono::milliseconds slice, const std::optional<CameraLogin>& login) {
    try {
        // The Reader keeps count of the silence itself.
        auto source = std::make_unique<CheckedCameraStream>(host, port, options.cameraFps,
                                                            LiveStreamTimeouts{options.timeout, {}}, options.interrupted, login);
        source->setFetchWait(slice);
        OpenedSource opened;
        opened.camera = source.get();
        opened.source = std::move(source);
        return opened;
    } catch (const vorc::ConnectionFailure& failure) {
        throw SourceError(failure.what());
    }
}

OpenedSource openSource(const std::string& name, const ReaderOptions& options, std::chrono::milliseconds slice) {
    struct stat status {};
    const bool fileExists = ::stat(name.c_str(), &status) == 0;
    if (!fileExists && name != "-") {
        if (const std::optional<HostAndPort> camera = parseHostAndPort(name)) {
            return openCameraSource(camera->host, camera->port, options, slice, camera->login);
        }
    }
    if (name == "-") return timedFile(std::make_unique<vorcStreamFile>(STDIN_FILENO), slice);
    return openFileSource(name, slice);
}

}  // namespace vorc
