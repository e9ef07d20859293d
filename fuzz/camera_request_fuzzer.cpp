// Fuzz target: arbitrary bytes as the request that `vorc camera` reads from
// a client. Whatever comes, the answer is one of the statuses the camera
// sends, and a stream is only granted at a rate the pacing can handle.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "tools/net/camera_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const CameraRequest request = parseCameraRequest(std::string(reinterpret_cast<const char*>(data), size));
    const int status = request.status;
    if (status != 200 && status != 400 && status != 404 && status != 405 && status != 414 && status != 431 &&
        status != 505)
        vorcfuzz::failCheck("camera request", "unexpected status");
    if (status == 200 && !(request.fps >= 0.0 && request.fps <= MaxRequestFps))
        vorcfuzz::failCheck("camera request", "a rate out of range was granted");
    return 0;
}
