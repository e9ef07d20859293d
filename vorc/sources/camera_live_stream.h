// Live camera stream: the source at the head of the chain source -> parser
// -> scan decoder -> back end when the stream comes from a network camera.
// It connects over TCP, asks the camera over HTTP for its live stream at a
// chosen frame rate and then delivers the answer's bytes as they arrive. The
// HTTP answer header is not interpreted: the parser's search for the first
// SOI marker skips it.
#ifndef VORC_SOURCES_CAMERA_LIVE_STREAM_H
#define VORC_SOURCES_CAMERA_LIVE_STREAM_H

#include <sys/types.h>

#include <cstdint>

#include "vorc/core/stream_interfaces.h"
#include "vorc/sources/ip_address.h"

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
    // Shuts the connection down and releases the socket.
    ~vorcCameraLiveTesraFastStreamPOSIX() override;

    // One read: the byte count, 0 when the camera closed the connection,
    // and 0 too for an error or (non-blocking) no data waiting.
    int fetchBytes(unsigned char* buffer, int maxBytes) override;

protected:
    void constructCommonStuff(const vorcIPAddress& address, int port, float fps, bool nonBlocking);
    // Learns the raw result of each read (and errno when it is negative), so
    // that a subclass can tell a closed connection from a quiet one.
    virtual void readFinished(ssize_t result, int error);

    int32_t socketFd;

private:
    void sendRequest(float fps);
    void releaseSocket();
};

// The live source ready for use: it reports itself ended once the camera
// has closed the connection or a read has failed for good. A non-blocking
// read that finds nothing waiting, or one cut short by a signal, is no end.
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
