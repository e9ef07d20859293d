// Live camera stream over POSIX sockets.
#include "vorc/sources/camera_live_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <new>

#include "vorc/core/exceptions.h"

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

vorcCameraLiveTesraFastStreamPOSIX::~vorcCameraLiveTesraFastStreamPOSIX() { releaseSocket(); }

void vorcCameraLiveTesraFastStreamPOSIX::constructCommonStuff(const vorcIPAddress& address, int port, float fps,
                                                              bool nonBlocking) {
    socketFd = -1;
    socketFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socketFd < 0) {
        socketFd = -1;
        throw vorcIOFailure();
    }
    try {
        sockaddr_in camera{};
        camera.sin_family = AF_INET;
        camera.sin_port = htons(static_cast<uint16_t>(port));
        const uint32_t host = ((static_cast<uint32_t>(address.a) * 256 + static_cast<uint32_t>(address.b)) * 256 +
                               static_cast<uint32_t>(address.c)) * 256 + static_cast<uint32_t>(address.d);
        camera.sin_addr.s_addr = htonl(host);
        if (::connect(socketFd, reinterpret_cast<const sockaddr*>(&camera), sizeof camera) != 0) {
            throw vorcIOFailure();
        }
        if (nonBlocking) {
            const int flags = ::fcntl(socketFd, F_GETFL);
            if (flags == -1 || ::fcntl(socketFd, F_SETFL, flags | O_NONBLOCK) == -1) throw vorcIOFailure();
        }
        sendRequest(fps);
    } catch (...) {
        // The constructor fails, so no destructor will run: release here, or
        // a viewer that keeps retrying would run out of descriptors.
        releaseSocket();
        throw;
    }
}

void vorcCameraLiveTesraFastStreamPOSIX::sendRequest(float fps) {
    // NaN fails every comparison, so it falls back to the default rate too.
    if (!(fps >= 0.0f)) fps = 4.0f;
    // Wide enough for the largest float written with six decimals.
    char request[128];
    const int length =
        std::snprintf(request, sizeof request, "GET /control/faststream.jpg?noaudio&fps=%f HTTP/1.0\n\n",
                      static_cast<double>(fps));
    if (length < 0 || static_cast<size_t>(length) >= sizeof request) throw vorcIOFailure();

    const char* next = request;
    size_t left = static_cast<size_t>(length);
    while (left > 0) {
        // A camera that has already hung up must not kill the application
        // with SIGPIPE.
        const ssize_t sent = ::send(socketFd, next, left, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            // Also EAGAIN: a non-blocking socket that cannot take a request
            // this small is failing, and retrying could spin.
            throw vorcIOFailure();
        }
        // A write that takes nothing would repeat for ever.
        if (sent == 0) throw vorcIOFailure();
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

int vorcCameraLiveTesraFastStreamPOSIX::fetchBytes(unsigned char* buffer, int maxBytes) {
    // A read of zero bytes would return 0 and look like the camera hanging up.
    if (maxBytes <= 0) return 0;
    const ssize_t got = ::read(socketFd, buffer, static_cast<size_t>(maxBytes));
    readFinished(got, got < 0 ? errno : 0);
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
