// Opening the Reader's source. Files are opened here rather than by the file
// source itself, so that a failure can say why.
#include "vorc/reader/source_opening.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vorc/sources/stream_file.h"

namespace vorc {

namespace {

// A file source over a descriptor opened here, closed with the source.
class OpenedStreamFile : public vorcStreamFile {
public:
    explicit OpenedStreamFile(int openedFd) : vorcStreamFile(openedFd) { ownsDescriptor = true; }
};

std::string describeError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

std::unique_ptr<vorcStreamSource> openFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) throw SourceError(describeError("cannot open " + path, errno));
    auto source = std::make_unique<OpenedStreamFile>(fd);
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) throw SourceError("cannot read " + path + ": is a directory");
    return source;
}

void limitWaits(vorcStreamFile* source, const ReaderOptions& options) {
    if (options.timeout.count() > 0) source->setTimedBlockModeEnabled(true, long(options.timeout.count()));
}

}  // namespace

std::unique_ptr<vorcStreamSource> openSource(const std::string& name, const ReaderOptions& options) {
    std::unique_ptr<vorcStreamSource> source;
    if (name == "-") {
        source = std::make_unique<vorcStreamFile>(STDIN_FILENO);
    } else {
        source = openFile(name);
    }
    limitWaits(static_cast<vorcStreamFile*>(source.get()), options);
    return source;
}

}  // namespace vorc
