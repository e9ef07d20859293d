// Opening the Reader's source. Files are opened here rather than by the file
// source itself, so that a failure can say why.
#include "vorc/reader/source_opening.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string describeError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

std::unique_ptr<vorcStreamFile> openFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) throw SourceError(describeError("cannot open " + path, errno));
    auto source = std::make_unique<OpenedStreamFile>(fd);
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        throw SourceError("cannot read " + path + ": is a directory");
    }
    return source;
}

OpenedSource openCamera(const HostAndPort& camera, const ReaderOptions& options, std::chrono::milliseconds slice) {
    try {
        // The Reader keeps count of the silence itself.
        auto source = std::make_unique<CheckedCameraStream>(camera.host, camera.port, options.cameraFps,
                                                            LiveStreamTimeouts{options.timeout, {}});
        source->setFetchWait(slice);
        OpenedSource opened;
        opened.camera = source.get();
        opened.source = std::move(source);
        return opened;
    } catch (const vorc::ConnectionFailure& failure) {
        throw SourceError(failure.what());
    }
}

}  // namespace

OpenedSource openSource(const std::string& name, const ReaderOptions& options, std::chrono::milliseconds slice) {
    struct stat status {};
    const bool fileExists = ::stat(name.c_str(), &status) == 0;
    if (!fileExists && name != "-") {
        if (const std::optional<HostAndPort> camera = parseHostAndPort(name)) return openCamera(*camera, options, slice);
    }
    std::unique_ptr<vorcStreamFile> file =
        name == "-" ? std::make_unique<vorcStreamFile>(STDIN_FILENO) : openFile(name);
    file->setTimedBlockModeEnabled(true, long(slice.count()));
    OpenedSource opened;
    opened.source = std::move(file);
    return opened;
}

}  // namespace vorc
