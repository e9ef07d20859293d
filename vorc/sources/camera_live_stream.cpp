// Live camera stream over POSIX sockets.
#include "vorc/sources/camera_live_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "vorc/core/exceptions.h"
#include "vorc/util/base64.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// start + span, with spans beyond a century taken as a century: the clock's
// nanoseconds would overflow long before milliseconds::max().
Clock::time_point deadlineAfter(Clock::time_point start, milliseconds span) {
    constexpr milliseconds Century = std::chrono::hours(24 * 365 * 100);
    return start + (span < Century ? span : Century);
}

// The remaining milliseconds until deadline as a poll time-out.
int millisUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left > 3600000 ? 3600000 : static_cast<int>(left);
}

// The longest a connection is waited for before the caller's interrupted
// check is asked again.
constexpr milliseconds InterruptCheckSlice{100};

// Connects fd, waiting at most timeout (zero: as long as the system does)
// and asking interrupted, if set, between slices of the wait; 0, the errno
// value of the failure, or EINTR when the check said to stop.
int connectWithin(int fd, const sockaddr* address, socklen_t length, milliseconds timeout,
                  const vorc::ConnectInterruption& interrupted) {
    if (timeout.count() <= 0 && !interrupted) {
        if (::connect(fd, address, length) == 0) return 0;
        // Interrupted, the connection goes on being made: wait for it.
        if (errno != EINTR) return errno;
    } else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return errno;
        const int result = ::connect(fd, address, length);
        const int error = errno;
        if (::fcntl(fd, F_SETFL, flags) == -1) return errno;
        if (result == 0) return 0;
        if (error != EINPROGRESS && error != EINTR) return error;
    }
    const Clock::time_point deadline = deadlineAfter(Clock::now(), timeout);
    for (;;) {
        int wait = timeout.count() <= 0 ? -1 : millisUntil(deadline);
        if (interrupted && (wait < 0 || wait > InterruptCheckSlice.count())) {
            wait = static_cast<int>(InterruptCheckSlice.count());
        }
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready < 0 && errno != EINTR) return errno;
        if (ready > 0) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
            return error;
        }
        // A slice or the whole time-out has passed, or a signal came.
        if (interrupted && interrupted()) return EINTR;
        if (timeout.count() > 0 && Clock::now() >= deadline) return ETIMEDOUT;
    }
}

std::string describeAddress(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "?";
    const void* binary = address->sa_family == AF_INET6
                             ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
                             : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    ::inet_ntop(address->sa_family, binary, text, sizeof text);
    return address->sa_family == AF_INET6 ? "[" + std::string(text) + "]" : std::string(text);
}

}  // namespace

vorcCameraLiveTesraFastStream::vorcCameraLiveTesraFastStream(int, int, int, int, int, int) {}

vorcCameraLiveTesraFastStreamPOSIX::vorcCameraLiveTesraFastStreamPOSIX(const vorcIPAddress& address, int port,
                                                                       float fps, bool nonBlocking)
    : vorcCameraLiveTesraFastStream(address.a, address.b, address.c, address.d, port, static_cast<int>(fps)),
      socketFd(-1) {
    constructCommonStuff(address, port, fps, nonBlocking);
}

vorcCameraLiveTesraFastStreamPOSIX::vorcCameraLiveTesraFastStreamPOSIX(int a, int b, int c, int d, int port,
                                                                       int fps, bool nonBlocking)
    : vorcCameraLiveTesraFastStream(a, b, c, d, port, fps), socketFd(-1) {
    constructCommonStuff(vorcIPAddress(a, b, c, d), port, static_cast<float>(fps), nonBlocking);
}

vorcCameraLiveTesraFastStreamPOSIX::vorcCameraLiveTesraFastStreamPOSIX(const std::string& host, int port,
                                                                       float fps, bool nonBlocking,
                                                                       vorc::LiveStreamTimeouts timeouts,
                                                                       const vorc::ConnectInterruption& interrupted,
                                                                       const std::optional<vorc::CameraLogin>& login)
    : vorcCameraLiveTesraFastStream(0, 0, 0, 0, port, static_cast<int>(fps)),
      socketFd(-1),
      readTimeout(timeouts.read) {
    connectTo(host, port, timeouts.connect, interrupted);
    finishSetUp(fps, nonBlocking, login);
}

vorcCameraLiveTesraFastStreamPOSIX::~vorcCameraLiveTesraFastStreamPOSIX() { releaseSocket(); }

void vorcCameraLiveTesraFastStreamPOSIX::constructCommonStuff(const vorcIPAddress& address, int port, float fps,
                                                              bool nonBlocking) {
    sockaddr_in camera{};
    camera.sin_family = AF_INET;
    camera.sin_port = htons(static_cast<uint16_t>(port));
    const uint32_t host = ((static_cast<uint32_t>(address.a) * 256 + static_cast<uint32_t>(address.b)) * 256 +
                           static_cast<uint32_t>(address.c)) * 256 + static_cast<uint32_t>(address.d);
    camera.sin_addr.s_addr = htonl(host);
    connectSocket(AF_INET, &camera, sizeof camera, milliseconds(0), {});
    finishSetUp(fps, nonBlocking);
}

void vorcCameraLiveTesraFastStreamPOSIX::connectTo(const std::string& host, int port, milliseconds timeout,
                                                   const vorc::ConnectInterruption& interrupted) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        throw vorc::ConnectionFailure("cannot resolve " + host + ": " + ::gai_strerror(resolved));
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    std::string failures;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        try {
            connectSocket(entry->ai_family, entry->ai_addr, static_cast<unsigned>(entry->ai_addrlen), timeout,
                          interrupted);
            return;
        } catch (const vorc::ConnectionFailure& failure) {
            failures += (failures.empty() ? "" : "; ") + std::string(failure.what());
        }
    }
    throw vorc::ConnectionFailure(failures.empty() ? "cannot resolve " + host : failures);
}

void vorcCameraLiveTesraFastStreamPOSIX::connectSocket(int family, const void* address, unsigned addressLength,
                                                       milliseconds timeout,
                                                       const vorc::ConnectInterruption& interrupted) {
    const auto* target = static_cast<const sockaddr*>(address);
    const std::string where = describeAddress(target) + " port " +
                              std::to_string(ntohs(reinterpret_cast<const sockaddr_in*>(target)->sin_port));
    socketFd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        socketFd = -1;
        throw vorc::ConnectionFailure("cannot open a socket for " + where + ": " + std::strerror(errno));
    }
    // The constructor fails, so no destructor will run: release on every
    // failure, or a viewer that keeps retrying would run out of descriptors.
    int error = 0;
    try {
        error = connectWithin(socketFd, target, addressLength, timeout, interrupted);
    } catch (...) {
        releaseSocket();  // the interrupted check threw
        throw;
    }
    if (error != 0) releaseSocket();
    if (error == EINTR) throw vorc::InterruptedError("connecting to " + where + ": interrupted");
    if (error != 0) throw vorc::ConnectionFailure("cannot connect to " + where + ": " + std::strerror(error));
}

void vorcCameraLiveTesraFastStreamPOSIX::finishSetUp(float fps, bool nonBlocking,
                                                     const std::optional<vorc::CameraLogin>& login) {
    try {
        if (nonBlocking) {
            const int flags = ::fcntl(socketFd, F_GETFL);
            if (flags == -1 || ::fcntl(socketFd, F_SETFL, flags | O_NONBLOCK) == -1) {
                throw vorc::ConnectionFailure(std::string("cannot set the socket non-blocking: ") +
                                            std::strerror(errno));
            }
        }
        nonBlockingReads = nonBlocking;
        sendRequest(fps, login);
    } catch (...) {
        releaseSocket();
        throw;
    }
    lastData = Clock::now();
}

void vorcCameraLiveTesraFastStreamPOSIX::sendRequest(float fps, const std::optional<vorc::CameraLogin>& login) {
    // NaN fails every comparison, so it falls back to the default rate too.
    if (!(fps >= 0.0f)) fps = 4.0f;
    // Wide enough for the largest float written with six decimals.
    char requestLine[128];
    const int length = std::snprintf(requestLine, sizeof requestLine,
                                     "GET /control/faststream.jpg?noaudio&fps=%f HTTP/1.0\n", static_cast<double>(fps));
    if (length < 0 || static_cast<size_t>(length) >= sizeof requestLine) throw vorcIOFailure();
    std::string request(requestLine, static_cast<size_t>(length));
    if (login) {
        std::string credentials = login->user + ":" + login->password;
        std::string encoded((credentials.size() + 2) / 3 * 4 + 1, '\0');
        vorc::encode_base64(reinterpret_cast<unsigned char*>(&credentials[0]), static_cast<int>(credentials.size()),
                            reinterpret_cast<unsigned char*>(&encoded[0]));
        encoded.pop_back();
        request += "Authorization: Basic " + encoded + "\n";
    }
    request += "\n";

    const char* next = request.data();
    size_t left = request.size();
    while (left > 0) {
        // A camera that has already hung up must not kill the application
        // with SIGPIPE.
        const ssize_t sent = ::send(socketFd, next, left, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            // Also EAGAIN: a non-blocking socket that cannot take a request
            // this small is failing, and retrying could spin.
            throw vorc::ConnectionFailure(std::string("cannot send the request: ") + std::strerror(errno));
        }
        // A write that takes nothing would repeat for ever.
        if (sent == 0) throw vorc::ConnectionFailure("cannot send the request: the camera takes nothing");
        next += sent;
        left -= static_cast<size_t>(sent);
    }
}

void vorcCameraLiveTesraFastStreamPOSIX::releaseSocket() {
    if (socketFd < 0) return;
    ::shutdown(socketFd, SHUT_RDWR);
    ::close(socketFd);
    socketFd = -1;
}

bool vorcCameraLiveTesraFastStreamPOSIX::awaitData() {
    if (readTimeout.count() <= 0) return true;
    const Clock::time_point deadline = deadlineAfter(lastData, readTimeout);
    for (;;) {
        pollfd entry{socketFd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, millisUntil(deadline));
        // Data, an end or an error: the read tells which. A signal that cut
        // the wait short is none of them; the wait goes on for the time left.
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
    }
}

int vorcCameraLiveTesraFastStreamPOSIX::fetchBytes(unsigned char* buffer, int maxBytes) {
    // A read of zero bytes would return 0 and look like the camera hanging up.
    if (maxBytes <= 0) return 0;
    // Non-blocking, a read returns at once; the time-out is checked after it.
    if (!nonBlockingReads && !awaitData()) {
        readTimedOut = true;
        readFinished(-1, ETIMEDOUT);
        return 0;
    }
    const ssize_t got = ::read(socketFd, buffer, static_cast<size_t>(maxBytes));
    const int error = got < 0 ? errno : 0;
    if (got > 0) {
        lastData = Clock::now();
    } else if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK) && readTimeout.count() > 0 &&
               Clock::now() >= deadlineAfter(lastData, readTimeout)) {
        readTimedOut = true;
        readFinished(-1, ETIMEDOUT);
        return 0;
    }
    readFinished(got, error);
    return got < 0 ? 0 : static_cast<int>(got);
}

void vorcCameraLiveTesraFastStreamPOSIX::readFinished(ssize_t, int) {}

bool vorcWatchedCameraLiveTesraFastStreamPOSIX::stillUp() { return up; }

void vorcWatchedCameraLiveTesraFastStreamPOSIX::readFinished(ssize_t result, int error) {
    if (result == 0) {
        up = false;
    } else if (result < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
        up = false;
    }
}
