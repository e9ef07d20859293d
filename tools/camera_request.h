// The request line that `vorc camera`, the tool's stand-in network camera,
// accepts: what a live source (the head of the chain source -> parser ->
// scan decoder -> back end) sends to ask for a stream. Apart so that it can
// be fuzzed on its own.
#ifndef VORC_TOOLS_CAMERA_REQUEST_H
#define VORC_TOOLS_CAMERA_REQUEST_H

#include <string>

constexpr const char* CameraStreamPath = "/control/faststream.jpg";
// The fastest rate that can be asked for; 0 asks for the camera's maximum.
constexpr double MaxRequestFps = 1000.0;

struct CameraRequest {
    int status = 200;
    std::string reason;
    double fps = 0.0;  // 0: as fast as possible
};

// Checks the request line: GET of the stream path; the fps query parameter
// (absent means "as fast as possible") must be 0 or a rate in (0, 1000].
CameraRequest parseCameraRequest(const std::string& text);

#endif
