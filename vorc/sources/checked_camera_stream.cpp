// The checked live camera: a non-blocking watched connection, its answer
// head read and judged before the stream is handed on.
#include "vorc/sources/checked_camera_stream.h"

#include <poll.h>

#include <cstdio>
#include <cstring>

namespace vorc {

// The connection, which also lets the stream wait on its descriptor.
class CheckedCameraStream::Connection : public vorcWatchedCameraLiveTesraFastStreamPOSIX {
public:
    using vorcWatchedCameraLiveTesraFastStreamPOSIX::vorcWatchedCameraLiveTesraFastStreamPOSIX;
    int descriptor() const { return socketFd; }
};

CheckedCameraStream::CheckedCameraStream(const std::string& host, int port, float fps,
                                         LiveStreamTimeouts timeouts, const ConnectInterruption& interrupted,
                                         const std::optional<CameraLogin>& login)
    : camera_(std::make_unique<Connection>(host, port, fps, true, timeouts, interrupted, login)),
      silence_(timeouts.read),
      loginSent_(login.has_value()) {}

CheckedCameraStream::~CheckedCameraStream() = default;

int CheckedCameraStream::descriptor() const { return camera_->descriptor(); }

int CheckedCameraStream::httpStatus() const {
    return head_.state() == HttpResponseHead::State::Complete ? head_.statusCode() : 0;
}

bool CheckedCameraStream::stillUp() { return failure_.empty() && camera_->stillUp(); }

int CheckedCameraStream::fetchBytes(unsigned char* buffer, int maxBytes) {
    if (maxBytes <= 0 || !failure_.empty()) return 0;
    bool waited = false;
    for (;;) {
        int got = camera_->fetchBytes(buffer, maxBytes);
        if (got > 0 && head_.state() == HttpResponseHead::State::Reading) {
            got = takeHead(buffer, got);
            if (!failure_.empty()) return 0;
            // All of it was head: more may already be waiting.
            if (got == 0) continue;
        }
        if (got > 0) return got;
        if (!camera_->stillUp()) {
            explainEnd();
            return 0;
        }
        if (waited || fetchWait_.count() <= 0) return 0;
        // One wait, then one more read, which also notices a silence past
        // the read time-out. A signal ends the wait early; the fetch then
        // returns 0 and the caller decides.
        pollfd entry{descriptor(), POLLIN, 0};
        ::poll(&entry, 1, fetchWait_.count() > 3600000 ? 3600000 : static_cast<int>(fetchWait_.count()));
        waited = true;
    }
}

int CheckedCameraStream::takeHead(unsigned char* buffer, int got) {
    const size_t used = head_.feed(buffer, static_cast<size_t>(got));
    if (head_.state() == HttpResponseHead::State::Malformed) {
        failure_ = "the camera's answer is not HTTP";
    } else if (head_.state() == HttpResponseHead::State::Complete && head_.statusCode() != 200) {
        failure_ = "the camera answered '" + head_.statusLine() + "'";
        // Without a login sent, the words are those callers have always seen.
        if (head_.statusCode() == 401) {
            failure_ += loginSent_ ? " (the login was refused)" : " (a login is needed or was refused)";
        }
    }
    if (!failure_.empty()) return 0;
    const size_t left = static_cast<size_t>(got) - used;
    std::memmove(buffer, buffer + used, left);
    return static_cast<int>(left);
}

void CheckedCameraStream::explainEnd() {
    if (camera_->timedOut()) {
        char text[64];
        std::snprintf(text, sizeof text, "the camera sent nothing for %g s",
                      static_cast<double>(silence_.count()) / 1000.0);
        failure_ = text;
    } else if (head_.state() != HttpResponseHead::State::Complete) {
        failure_ = "the camera closed the connection without an HTTP answer";
    }
}

}  // namespace vorc
