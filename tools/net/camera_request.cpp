// Checking the camera's request.
#include "tools/net/camera_request.h"

#include <cstdlib>
#include <optional>

CameraRequest checkCameraRequest(const HttpHead& head) {
    if (head.state != HttpHeadState::Complete) return CameraRequest{head.state == HttpHeadState::Bad ? head.status : 400, 0.0};
    const HttpRequest& request = head.request;
    if (request.method != "GET") return CameraRequest{405, 0.0};
    if (request.path != CameraStreamPath) return CameraRequest{404, 0.0};
    CameraRequest checked;
    if (const std::optional<std::string> value = request.queryParameter("fps")) {
        char* rest = nullptr;
        checked.fps = std::strtod(value->c_str(), &rest);
        // NaN fails both comparisons and is refused too.
        if (value->empty() || *rest != '\0' || !(checked.fps >= 0.0 && checked.fps <= MaxRequestFps)) {
            return CameraRequest{400, 0.0};
        }
    }
    return checked;
}

CameraRequest parseCameraRequest(const std::string& text) { return checkCameraRequest(parseHttpHead(text)); }
