// Live camera stream: the source of a stream that comes from a network
// camera. It connects over TCP, asks the camera over HTTP for its live stream at a
// chosen frame rate and then delivers the answer's bytes as they arrive. The
// HTTP answer header is not interpreted: the parser's search for the first
// SOI marker skips it (vorc::CheckedCameraStream reads and checks it).
// Connecting by host name (IPv4 or IPv6) and time limits for the connect and
// for a silent camera are optional.
#ifndef VORC_SOURCES_CAMERA_LIVE_STREAM_H
#define VORC_SOURCES_CAMERA_LIVE_STREAM_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "vorc/core/stream_interfaces.h"
#include "vorc/sources/ip_address.h"

namespace vorc {

// Time limits of a live camera connection; zero means none.
struct LiveStreamTimeouts {
    // For each address a host name resolves to.
    std::chrono::milliseconds connect{0};
    // For a camera that sends nothing: a blocking fetch waits no longer, and
    // a non-blocking source that has had no byte for this long has ended.
    std::chrono::milliseconds read{0};
};

// Asked at least every 100 ms while a connection is being made; true gives
// the connection up with vorc::InterruptedError. Without it only the
// connect time-out (or the system's) ends a connection that hangs.
using ConnectInterruption = std::function<bool()>;

}  // namespace vorc

// Any live source; it holds nothing itself.
class vorcCameraLiveTesraFastStream : public vorcStreamSource {
public:
    // Octets, port and frame rate are those of the subclasses; nothing is kept.
    vorcCameraLiveTesraFastStream(int a, int b, int c, int d, int port, int fps);

    int fetchBytes(unsigned char* buffer, int maxBytes) override = 0;
    bool stillUp() override = 0;
};

// The live source on POSIX sockets. stillUp stays for a subclass to decide;
// vorcWatchedCameraLiveTesraFastStreamPOSIX is the ready-made one.
class vorcCameraLiveTesraFastStreamPOSIX : public vorcCameraLiveTesraFastStream {
public:
    // Both throw vorcIOFailure when the socket cannot be created, connected
    // or the request cannot be sent. A negative (or NaN) rate asks for 4 fps,
    // 0 for the camera's maximum.
    vorcCameraLiveTesraFastStreamPOSIX(const vorcIPAddress& address, int port, float fps, bool nonBlocking);
    vorcCameraLiveTesraFastStreamPOSIX(int a, int b, int c, int d, int port, int fps, bool nonBlocking);
    // host is a name, an IPv4 address or an IPv6 address (without brackets);
    // each address it resolves to is tried in turn. Throws
    // vorc::ConnectionFailure, which says why, when none can be connected or
    // the request cannot be sent. With a login the request carries an
    // "Authorization: Basic" line; without one its bytes are those of the
    // address constructors.
    vorcCameraLiveTesraFastStreamPOSIX(const std::string& host, int port, float fps, bool nonBlocking,
                                       vorc::LiveStreamTimeouts timeouts = {},
                                       const vorc::ConnectInterruption& interrupted = {},
                                       const std::optional<vorc::CameraLogin>& login = std::nullopt);
    // Shuts the connection down and releases the socket.
    ~vorcCameraLiveTesraFastStreamPOSIX() override;

    // One read: the byte count, 0 when the camera closed the connection,
    // and 0 too for an error, a read time-out, a read cut short by a signal
    // or (non-blocking) no data waiting.
    int fetchBytes(unsigned char* buffer, int maxBytes) override;

    // Zero (the default of the address constructors) waits for ever.
    // The camera has sent nothing for the read time-out; a read that ended
    // so is passed to readFinished as failed with ETIMEDOUT.
    bool timedOut() const { return readTimedOut; }

protected:
    void constructCommonStuff(const vorcIPAddress& address, int port, float fps, bool nonBlocking);
    // Learns the raw result of each read (and errno when it is negative), so
    // that a subclass can tell a closed connection from a quiet one.
    virtual void readFinished(ssize_t result, int error);

    int32_t socketFd;

private:
    void connectTo(const std::string& host, int port, std::chrono::milliseconds timeout,
                   const vorc::ConnectInterruption& interrupted);
    void connectSocket(int family, const void* address, unsigned addressLength, std::chrono::milliseconds timeout,
                       const vorc::ConnectInterruption& interrupted);
    void finishSetUp(float fps, bool nonBlocking, const std::optional<vorc::CameraLogin>& login = std::nullopt);
    // Waits until data is waiting or the read time-out has passed, also
    // across signals; false when it has passed.
    bool awaitData();
    void sendRequest(float fps, const std::optional<vorc::CameraLogin>& login);
    void releaseSocket();

    std::chrono::milliseconds readTimeout{0};
    std::chrono::steady_clock::time_point lastData;
    bool nonBlockingReads = false;
    bool readTimedOut = false;
};

// The live source ready for use: it reports itself ended once the camera
// has closed the connection, a read has failed for good or timed out. A
// non-blocking read that finds nothing waiting, or one cut short by a
// signal, is no end.
class vorcWatchedCameraLiveTesraFastStreamPOSIX : public vorcCameraLiveTesraFastStreamPOSIX {
public:
    using vorcCameraLiveTesraFastStreamPOSIX::vorcCameraLiveTesraFastStreamPOSIX;

    bool stillUp() override;

protected:
    void readFinished(ssize_t result, int error) override;

private:
    bool up = true;
};

#endif
