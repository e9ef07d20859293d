// The pages of `vorc serve`: one camera's live picture, fitted to the
// browser's window on any screen, with a status line kept up to date from
// the metrics and an outline of the tiles that changed; and the grid of all
// cameras with their state. They name their addresses relative to
// themselves, so that they work behind a reverse proxy under any path.
#ifndef VORC_TOOLS_SERVE_CAMERA_PAGE_H
#define VORC_TOOLS_SERVE_CAMERA_PAGE_H

#include <cstdint>
#include <string>
#include <vector>

// The page of the camera shown as name, whose stream.mjpg, metrics and
// motion.json are at base relative to the page ("" for the page's own
// folder, or such as "cam/yard/"). size ("WIDTHxHEIGHT" or "-") and frames
// are the status line until the first update. With ?outline in its address
// (or the box ticked), the tiles of the latest frame that changed are
// outlined over the picture.
std::string cameraPage(const std::string& name, const std::string& base, const std::string& size, uint64_t frames);

// A camera of the grid: its NAME in /cam/NAME/ and in the metrics' labels,
// the name it is shown as, and whether its source is up.
struct GridCamera {
    std::string name;
    std::string title;
    bool up = false;
};

// The grid of the cameras, each with its latest image renewed about once a
// second, its state and a link to its page at cam/NAME/.
std::string gridPage(const std::vector<GridCamera>& cameras);

#endif
