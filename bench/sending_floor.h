// The least a server of MJPEG streams can spend on loopback: a process
// that does nothing but send one JPEG image, over and over at a frame rate,
// to every reader of its stream, in the way `vorc serve` sends (one poll()
// loop, non-blocking sockets, the same send buffer, each image one sendmsg
// of part head, image and CRLF per reader as far as the socket takes it).
// Its processor time is what the kernel charges a sender for the readers'
// TCP on the same machine, which no work in the server itself can lower.
#ifndef VORC_BENCH_SENDING_FLOOR_H
#define VORC_BENCH_SENDING_FLOOR_H

#include <sys/types.h>

#include <string>

namespace vorcbench {

// Listens on 127.0.0.1 and a port of its choosing; every connection that
// sends a request head is answered as /stream.mjpg is and sent `jpeg` at
// `fps`, skipping an image while the one before is not yet taken. Stopped
// (SIGTERM) when destroyed.
class SendingFloorProcess {
public:
    SendingFloorProcess(const std::string& jpeg, int fps);
    ~SendingFloorProcess();
    SendingFloorProcess(const SendingFloorProcess&) = delete;
    SendingFloorProcess& operator=(const SendingFloorProcess&) = delete;
    // 0 when it did not start.
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace vorcbench

#endif
