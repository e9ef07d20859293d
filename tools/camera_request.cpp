// Parsing the camera's request line.
#include "tools/camera_request.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

CameraRequest parseCameraRequest(const std::string& text) {
    CameraRequest request;
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    const size_t firstSpace = line.find(' ');
    const size_t secondSpace = firstSpace == std::string::npos ? std::string::npos : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos || line.compare(secondSpace + 1, 5, "HTTP/") != 0) {
        return CameraRequest{400, "Bad Request", 0.0};
    }
    if (line.compare(0, firstSpace, "GET") != 0) return CameraRequest{405, "Method Not Allowed", 0.0};
    const std::string target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const size_t question = target.find('?');
    if (target.substr(0, question) != CameraStreamPath) return CameraRequest{404, "Not Found", 0.0};
    const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    size_t start = 0;
    while (start <= query.size()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string parameter = query.substr(start, end - start);
        if (parameter.compare(0, 4, "fps=") == 0) {
            const std::string value = parameter.substr(4);
            char* rest = nullptr;
            const double fps = std::strtod(value.c_str(), &rest);
            // NaN fails both comparisons and is refused too.
            if (value.empty() || *rest != '\0' || !(fps >= 0.0 && fps <= MaxRequestFps)) {
                return CameraRequest{400, "Bad Request", 0.0};
            }
            request.fps = fps;
        }
        start = end + 1;
    }
    return request;
}
