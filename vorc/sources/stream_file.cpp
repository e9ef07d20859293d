// File and descriptor input for the parser: plain POSIX reads, with an
// optional poll() wait so that a silent live descriptor does not block the
// caller's decode loop for longer than the chosen limit.
#include "vorc/sources/stream_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int32_t DefaultTimeoutMillis = 1000;

int64_t monotonicMillis() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

vorcStreamFile::vorcStreamFile(const char* path)
    : fd(::open(path, O_RDONLY)),
      up(fd != -1),
      timedBlockMode(false),
      timeoutMillis(DefaultTimeoutMillis),
      ownsDescriptor(fd != -1) {}

vorcStreamFile::vorcStreamFile(int fd)
    : fd(fd), up(true), timedBlockMode(false), timeoutMillis(DefaultTimeoutMillis), ownsDescriptor(false) {}

vorcStreamFile::~vorcStreamFile() {
    if (ownsDescriptor) ::close(fd);
}

void vorcStreamFile::setTimedBlockModeEnabled(bool enabled, long newTimeoutMillis) {
    timedBlockMode = enabled;
    if (enabled) {
        timeoutMillis = static_cast<int32_t>(std::clamp<long>(newTimeoutMillis, INT32_MIN, INT32_MAX));
    }
}

bool vorcStreamFile::waitForData() {
    pollfd watched{};
    watched.fd = fd;
    watched.events = POLLIN;
    // A negative limit waits without end, as a plain blocking read would.
    const int64_t deadline = monotonicMillis() + std::max<int32_t>(timeoutMillis, 0);
    int remaining = timeoutMillis;
    for (;;) {
        const int result = ::poll(&watched, 1, remaining);
        // Errors and hang-ups are left to the read, which ends the source.
        if (result != -1 || errno != EINTR) return result != 0;
        // A signal cut the wait short: wait out the rest of the limit.
        if (timeoutMillis >= 0) remaining = static_cast<int>(std::max<int64_t>(deadline - monotonicMillis(), 0));
    }
}

int vorcStreamFile::fetchBytes(unsigned char* buffer, int maxBytes) {
    if (!up) return 0;
    // A zero-byte read would look like the end of the file.
    if (maxBytes <= 0) return 0;
    if (timedBlockMode && !waitForData()) return 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, static_cast<size_t>(maxBytes));
        if (got > 0) return static_cast<int>(got);
        if (got == -1 && errno == EINTR) continue;
        // Nothing waiting on a non-blocking descriptor is not the end of it.
        if (got == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        up = false;
        return 0;
    }
}

bool vorcStreamFile::stillUp() { return up; }
