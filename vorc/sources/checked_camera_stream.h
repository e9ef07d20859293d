// A live camera whose HTTP answer is checked. The answer's head is read off the
// connection before any byte is handed on, so that the parser sees only the
// stream, and an answer other than 200, one that is not HTTP, a connection
// closed before the answer's end or a camera silent for the read time-out
// ends the source with the reason instead of passing for an empty or a
// damaged stream. A fetch never blocks for longer than the wait the caller
// chose (none by default), and a signal that cuts the wait short only ends
// that fetch early, so that the caller can look at what the signal meant.
#ifndef VORC_SOURCES_CHECKED_CAMERA_STREAM_H
#define VORC_SOURCES_CHECKED_CAMERA_STREAM_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "vorc/core/stream_interfaces.h"
#include "vorc/sources/camera_live_stream.h"
#include "vorc/sources/http_response_head.h"

namespace vorc {

class CheckedCameraStream : public vorcStreamSource {
public:
    // Connects to host (a name, an IPv4 or an IPv6 address) and asks for
    // the stream at fps, with the login if given, as
    // vorcCameraLiveTesraFastStreamPOSIX does; throws vorc::ConnectionFailure,
    // which says why, when that fails, and vorc::InterruptedError when
    // interrupted says so.
    CheckedCameraStream(const std::string& host, int port, float fps, LiveStreamTimeouts timeouts = {},
                        const ConnectInterruption& interrupted = {},
                        const std::optional<CameraLogin>& login = std::nullopt);
    ~CheckedCameraStream() override;

    // Stream bytes that have arrived, the answer head left out; 0 when none
    // came within the wait (or a signal cut it short) and once the source
    // has ended.
    int fetchBytes(unsigned char* buffer, int maxBytes) override;
    bool stillUp() override;

    // How long a fetch that finds nothing waits for bytes; zero returns at
    // once.
    void setFetchWait(std::chrono::milliseconds wait) { fetchWait_ = wait; }
    // The connection, for a caller that waits with poll() or select().
    int descriptor() const;
    // The camera's HTTP status once the answer head has been read; 0 before.
    int httpStatus() const;
    // Why the source ended, such as "the camera answered 'HTTP/1.0 404 Not
    // Found'" (a 401 also says whether a login was sent); empty while it is up and after the camera closed the
    // connection behind a good answer.
    const std::string& failure() const { return failure_; }

private:
    class Connection;

    // Takes the answer head off the front of the got bytes at buffer;
    // returns how many stream bytes are left there.
    int takeHead(unsigned char* buffer, int got);
    void explainEnd();

    std::unique_ptr<Connection> camera_;
    HttpResponseHead head_;
    std::chrono::milliseconds silence_;
    std::chrono::milliseconds fetchWait_{0};
    std::string failure_;
    bool loginSent_;
};

}  // namespace vorc

#endif
