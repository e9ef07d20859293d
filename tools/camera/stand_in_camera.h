// The stand-in network camera of `vorc camera`: it answers the live-stream
// request (net/camera_request.h) with an HTTP head and the frames of a
// stream, paced at the rate asked for and looped, one thread per client,
// optionally only with a login, and logs each client on standard error by
// the verbosity chosen.
#ifndef VORC_TOOLS_CAMERA_STAND_IN_CAMERA_H
#define VORC_TOOLS_CAMERA_STAND_IN_CAMERA_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/cli/status_output.h"
#include "tools/net/http_login.h"

struct CameraSettings {
    long loops = 0;  // passes through the stream per client; 0: endless
    Verbosity verbosity = Verbosity::Normal;
    // When set, a request without a login of the table gets 401.
    std::optional<LoginTable> logins;
};

class StandInCamera {
public:
    // stream starts at its first SOI (loadLoopableStream), so that looping
    // it keeps it valid; it is split into frames by the marker walk, bytes
    // after a frame's EOI (APP13 segments) staying with that frame.
    StandInCamera(std::vector<unsigned char> stream, CameraSettings settings);

    size_t frameCount() const { return frames_.size(); }

    // Serves the clients of the non-blocking listening sockets until stop
    // is set or, with exitAfterSeconds, that time has passed; then sets
    // stop, which ends every client, and waits for their threads.
    void run(const std::vector<int>& listeners, std::atomic<bool>& stop, long exitAfterSeconds) const;

private:
    struct Frame {
        const uint8_t* bytes;
        size_t length;
    };

    void serveClient(int fd, const char* peer, const std::atomic<bool>& stop) const;

    const std::vector<unsigned char> stream_;
    const CameraSettings settings_;
    std::vector<Frame> frames_;
};

#endif
