// The page of one camera of `vorc serve`: the live picture, fitted to the
// browser's window on any screen, and a status line kept up to date from
// the metrics. It names its addresses relative to itself, so that it works
// behind a reverse proxy under any path.
#ifndef VORC_TOOLS_SERVE_CAMERA_PAGE_H
#define VORC_TOOLS_SERVE_CAMERA_PAGE_H

#include <cstdint>
#include <string>

// The page of the camera shown as name, whose stream.mjpg and metrics are
// at base relative to the page ("" for the page's own folder, or such as
// "cam/yard/"). size ("WIDTHxHEIGHT" or "-") and frames are the status line
// until the first update.
std::string cameraPage(const std::string& name, const std::string& base, const std::string& size, uint64_t frames);

#endif
