// The live camera as the tool's commands read it (`vorc record`, `vorc
// serve`): the library's live source, pollable, behind a read-ahead link
// that takes the camera's HTTP answer head off the stream before any byte
// reaches the parser (source -> parser -> scan decoder -> back end), so that
// an answer other than 200 ends the stream with the camera's status instead
// of being taken for an empty or a damaged stream.
#ifndef VORC_TOOLS_CAMERA_SOURCE_H
#define VORC_TOOLS_CAMERA_SOURCE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tools/http_response.h"
#include "vorc/sources/camera_live_stream.h"

class PollableCameraStream : public vorcWatchedCameraLiveTesraFastStreamPOSIX {
public:
    using vorcWatchedCameraLiveTesraFastStreamPOSIX::vorcWatchedCameraLiveTesraFastStreamPOSIX;
    int descriptor() const { return socketFd; }
};

// What became of the camera's answer; outlives the source, which the
// parser destroys.
struct CameraAnswer {
    HttpResponseHead head;
    bool timedOut = false;
    // Why the stream failed; empty while all is well.
    std::string failure;

    // After the source has ended by itself: names a silence of the time-out
    // or a connection closed before the answer head as the failure.
    void explainEnd(double timeoutSeconds);
};

// Reads the camera in large pieces but hands them out in any size, so that
// with a frame limit the parser can be fed byte by byte (a frame completes
// on the byte after it, and no frame beyond the limit reaches the output)
// without a system call per byte. The HTTP answer head is kept back.
class ReadAheadSource : public vorcStreamSource {
public:
    ReadAheadSource(PollableCameraStream* camera, CameraAnswer* answer);

    int fetchBytes(unsigned char* buffer, int maxBytes) override;
    bool stillUp() override;
    int descriptor() const { return camera_->descriptor(); }

private:
    void readHead();

    std::unique_ptr<PollableCameraStream> camera_;
    CameraAnswer* answer_;
    std::vector<unsigned char> buffer_;
    size_t next_ = 0;
    size_t filled_ = 0;
};

#endif
