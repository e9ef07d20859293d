// Binary file writer: unbuffered writes that continue after short writes.
#include "vorc/sinks/binary_file_writer.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
bool waitUntilWritable(int fd) {
    pollfd request{fd, POLLOUT, 0};
    for (;;) {
        const int ready = ::poll(&request, 1, -1);
        if (ready > 0) return (request.revents & POLLOUT) != 0;
        if (ready == -1 && errno != EINTR) return false;
    }
}
}  // namespace

vorcBinaryFileWriter::vorcBinaryFileWriter(const char* path)
    : fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644)), ownsDescriptor(0), failed(0) {
    if (fd == -1) {
        failed = 1;
    } else {
        ownsDescriptor = 1;
    }
}

vorcBinaryFileWriter::vorcBinaryFileWriter(int fd) : fd(fd), ownsDescriptor(0), failed(0) {}

vorcBinaryFileWriter::~vorcBinaryFileWriter() {
    if (ownsDescriptor == 1) ::close(fd);
}

void vorcBinaryFileWriter::receiveStreamBytes(const unsigned char* bytes, int count) {
    if (failed != 0 || fd < 0) return;
    while (count > 0) {
        ssize_t written = ::write(fd, bytes, static_cast<size_t>(count));
        if (written == -1) {
            // A signal is not a write failure: dropping the rest of the
            // output for it would lose data without a word.
            if (errno == EINTR) continue;
            // A full non-blocking descriptor is not broken either: wait
            // until it takes bytes again instead of losing the rest.
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitUntilWritable(fd)) continue;
            failed = 1;
            return;
        }
        bytes += written;
        count -= static_cast<int>(written);
    }
}
