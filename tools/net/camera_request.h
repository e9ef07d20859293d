// The request that `vorc camera`, the tool's stand-in network camera,
// accepts: what the library's live source sends to ask for a stream. The
// request head is read by the tool's HTTP parser; this adds the camera's own
// rules. Apart so that it can be fuzzed on its own.
#ifndef VORC_TOOLS_NET_CAMERA_REQUEST_H
#define VORC_TOOLS_NET_CAMERA_REQUEST_H

#include <string>

#include "tools/net/http_request.h"

constexpr const char* CameraStreamPath = "/control/faststream.jpg";
// The fastest rate that can be asked for; 0 asks for the camera's maximum.
constexpr double MaxRequestFps = 1000.0;

struct CameraRequest {
    int status = 200;
    double fps = 0.0;  // 0: as fast as possible
};

// Checks a complete request head (another one keeps the parser's status, or
// gets 400): GET of the stream path; the fps query parameter (absent means
// "as fast as possible") must be 0 or a rate in (0, 1000].
CameraRequest checkCameraRequest(const HttpHead& head);
// The same for the text of a whole request.
CameraRequest parseCameraRequest(const std::string& text);

#endif
