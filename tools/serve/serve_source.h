// The source side of `vorc serve`, one per camera: on its own thread, a
// chain that transcodes every frame into a JPEG image and publishes it into
// the camera's image hub, with the motion that the frame's tile bitmap
// shows. The source is either a stream file, looped and paced, or a live
// camera, reconnected with growing pauses whenever it drops, falls silent or
// answers anything but 200.
#ifndef VORC_TOOLS_SERVE_SERVE_SOURCE_H
#define VORC_TOOLS_SERVE_SERVE_SOURCE_H

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/status_output.h"
#include "tools/serve/image_hub.h"
#include "vorc/motion/motion_detector.h"
#include "vorc/sources/ip_address.h"

struct ServeSource {
    // Exactly one of the two: a stream file, or a camera's host and port.
    std::string file;
    std::string cameraHost;
    int cameraPort = 0;
    std::optional<vorc::CameraLogin> cameraLogin;  // sent only when given
    // File: frames per second it is paced at (0: as fast as it decodes);
    // camera: the rate asked for (0: the camera's maximum).
    double fps = 25.0;
    // A camera that sends nothing for this long is dropped and reconnected.
    double timeoutSeconds = 10.0;
    // Connections and losses of the camera are logged on standard error
    // unless quiet, under this name (empty: HOST:PORT).
    Verbosity verbosity = Verbosity::Normal;
    std::string logName;
    vorc::MotionSettings motion;
};

// Publishes images until stop is set. stream is the file's stream from
// loadLoopableStream (unused for a camera).
void runServeSource(const ServeSource& source, std::vector<unsigned char> stream, ImageHub& hub,
                    const std::atomic<bool>& stop);

#endif
