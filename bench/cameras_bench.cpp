// Cameras per core for `vorc serve`, as deployed: one server process per
// camera, each playing a looped 1920x1080 stream file at 25 frames/s to ten
// readers of /stream.mjpg on loopback. Two kinds of stream, both a
// photograph moving over a photographic picture (q85): full motion, every
// frame a full frame (a loop of two seconds); and typical, a full frame
// every five seconds and partial frames carrying the tiles that changed
// (about 6%) between them.
// For each kind, N servers run side by side for a while; their CPU time
// (user and system, as the scheduler counts it: transcoding, the parser, the server and
// the kernel's work on their sockets) divided by the wall time and by N is
// the share of a core one camera takes, and one over it the cameras per
// core. The readers check that every client gets its 25 images a second.
// A last row runs processes that only send the same number of images of
// the same size: on loopback the kernel charges the sender for much of the
// readers' TCP, and that row is the floor no server can go under.
//
// VORC_CAMERAS sets N (default 4), VORC_CAMERA_SECONDS the measured time
// (default 10); the stream files go to TMPDIR and are removed at the end.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "sending_floor.h"
#include "serve_clients.h"
#include "support/libjpeg_helpers.h"
#include "support/stream_builder.h"

namespace {

using vorcbench::Bytes;

constexpr int Width = 1920;
constexpr int Height = 1080;
constexpr int Quality = 85;
constexpr int FullMotionFrames = 50;  // two seconds at 25 frames/s
constexpr int TypicalFrames = 125;
constexpr int ClientsPerCamera = 10;
constexpr int Fps = 25;

int environmentNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

// The stream file of one kind, and the share of tiles its frames carry.
struct StreamFile {
    std::string path;
    double codedShare;
    double bytesPerFrame;
};

StreamFile writeStream(const vorcbench::MovingPatchStream& stream, bool fullMotion, const std::string& path) {
    vorctest::StreamBuilder builder;
    double coded = 0;
    const int frames = fullMotion ? FullMotionFrames : TypicalFrames;
    for (int f = 0; f < frames; ++f) {
        if (fullMotion || f == 0) {
            builder.raw(vorctest::jpegToTesraFrame(stream.jpegs[static_cast<size_t>(f)]));
            coded += stream.tiles();
        } else {
            // The scan without its EOI, which the builder adds.
            const Bytes& scan = stream.scans[static_cast<size_t>(f)];
            builder.partialFrame(stream.bitmaps[static_cast<size_t>(f)], Bytes(scan.begin(), scan.end() - 2));
            coded += stream.codedTiles[static_cast<size_t>(f)];
        }
    }
    if (!builder.writeFile(path)) std::fprintf(stderr, "error: cannot write %s\n", path.c_str());
    return {path, coded / frames / stream.tiles(), static_cast<double>(builder.bytes().size()) / frames};
}

// Runs `cameras` processes made by `start`, ten readers each, for
// `seconds`, and prints their row (tiles per frame "-" for a negative share).
template <typename Process>
bool printRow(const char* label, double codedShare, double bytesPerFrame, int cameras, int seconds,
              const std::function<std::unique_ptr<Process>()>& start) {
    std::vector<std::unique_ptr<Process>> servers;
    std::vector<std::unique_ptr<vorcbench::StreamReader>> owned;
    std::vector<vorcbench::StreamReader*> readers;
    for (int c = 0; c < cameras; ++c) {
        servers.push_back(start());
        if (servers.back()->port() == 0) return false;
        for (int k = 0; k < ClientsPerCamera; ++k) {
            owned.push_back(std::make_unique<vorcbench::StreamReader>(servers.back()->port()));
            readers.push_back(owned.back().get());
        }
    }
    vorcbench::pumpFor(readers, 2.0);  // all connected and receiving
    std::vector<long> before;
    for (vorcbench::StreamReader* reader : readers) before.push_back(reader->images());
    double cpuBefore = 0;
    for (const auto& server : servers) cpuBefore += vorcbench::cpuSeconds(server->pid());
    const auto begin = std::chrono::steady_clock::now();
    vorcbench::pumpFor(readers, seconds);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    double cpu = -cpuBefore;
    for (const auto& server : servers) cpu += vorcbench::cpuSeconds(server->pid());
    long slowest = -1;
    for (size_t k = 0; k < readers.size(); ++k) {
        const long got = readers[k]->images() - before[k];
        slowest = slowest < 0 ? got : std::min(slowest, got);
    }
    const double share = cpu / elapsed / cameras;
    char tiles[16] = "-";
    if (codedShare >= 0) std::snprintf(tiles, sizeof tiles, "%.1f%%", 100.0 * codedShare);
    std::printf("| %s | %s | %.0f | %.1f | %.2f%% | %.0f |\n", label, tiles, bytesPerFrame / 1024,
                static_cast<double>(slowest) / elapsed, 100.0 * share, 1.0 / share);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main() {
    const int cameras = environmentNumber("VORC_CAMERAS", 4);
    const int seconds = environmentNumber("VORC_CAMERA_SECONDS", 10);
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp != nullptr ? tmp : "/tmp";
    const vorcbench::MovingPatchStream stream =
        vorcbench::movingPatchStream(vorcbench::photographicPicture(Width, Height), Quality, TypicalFrames);
    if (stream.jpegs.empty()) return 1;

    std::printf("vorc serve, %d processes side by side, each a looped %dx%d q%d stream at %d frames/s to %d "
                "readers on loopback, %d s\n",
                cameras, Width, Height, Quality, Fps, ClientsPerCamera, seconds);
    std::printf("| stream | tiles per frame | KB per frame | images/s per reader, slowest | server CPU per camera "
                "| cameras per core |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const bool fullMotion : {true, false}) {
        const std::string path = folder + "/vorc_cameras_" + std::to_string(::getpid()) +
                                 (fullMotion ? "_full.tesra" : "_typical.tesra");
        const StreamFile file = writeStream(stream, fullMotion, path);
        const std::string fps = std::to_string(Fps);
        const bool ran = printRow<vorcbench::ServeProcess>(
            fullMotion ? "full motion" : "typical", file.codedShare, file.bytesPerFrame, cameras, seconds,
            [&] { return std::make_unique<vorcbench::ServeProcess>(VORC_TOOL_PATH, file.path, fps); });
        ::unlink(path.c_str());
        if (!ran) return 1;
    }
    // The floor: the same number of images of the same size sent, nothing
    // else done. The image is the full frame's JPEG, which the transcoder
    // writes with the same bits.
    const Bytes& image = stream.jpegs[0];
    const std::string jpeg(image.begin(), image.end());
    if (!printRow<vorcbench::SendingFloorProcess>(
            "sending alone (no source, no transcoding)", -1.0, static_cast<double>(jpeg.size()), cameras, seconds,
            [&] { return std::make_unique<vorcbench::SendingFloorProcess>(jpeg, Fps); }))
        return 1;
    return 0;
}
