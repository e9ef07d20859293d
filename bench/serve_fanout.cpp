// Fan-out of `vorc serve`, the web server at the end of the chain source ->
// parser -> JPEG transcoder: starts the server on a stream file, connects
// each number of readers of /stream.mjpg in turn, counts the whole parts
// every reader receives for a while, and prints images per second (in total
// and for the slowest reader) with the server's CPU time from /proc, as a
// Markdown table. Loopback only.
//
// usage: serve_fanout VORC STREAM FPS SECONDS CLIENTS...
// example: build-bench/bench/serve_fanout build-bench/tools/vorc data/sample.tesra 25 10 1 50 200 400
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "serve_clients.h"

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: serve_fanout VORC STREAM FPS SECONDS CLIENTS...\n");
        return 2;
    }
    const vorcbench::ServeProcess server(argv[1], argv[2], argv[3]);
    if (server.port() == 0) return 1;
    const double seconds = std::atof(argv[4]);
    std::printf("vorc serve, %s at --fps %s, %.0f s per row\n", argv[2], argv[3], seconds);
    std::printf("| clients | images/s in total | images/s, slowest reader | server CPU |\n|---:|---:|---:|---:|\n");
    for (int i = 5; i < argc; ++i) {
        std::vector<std::unique_ptr<vorcbench::StreamReader>> owned;
        std::vector<vorcbench::StreamReader*> readers;
        for (int k = std::atoi(argv[i]); k > 0; --k) {
            owned.push_back(std::make_unique<vorcbench::StreamReader>(server.port()));
            readers.push_back(owned.back().get());
        }
        vorcbench::pumpFor(readers, 1.0);  // all connected and receiving
        std::vector<long> before;
        for (vorcbench::StreamReader* reader : readers) before.push_back(reader->images());
        const double cpuBefore = vorcbench::cpuSeconds(server.pid());
        const auto start = std::chrono::steady_clock::now();
        vorcbench::pumpFor(readers, seconds);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = (vorcbench::cpuSeconds(server.pid()) - cpuBefore) / elapsed;
        long total = 0;
        long slowest = -1;
        for (size_t k = 0; k < readers.size(); ++k) {
            const long got = readers[k]->images() - before[k];
            total += got;
            slowest = slowest < 0 ? got : std::min(slowest, got);
        }
        std::printf("| %zu | %.0f | %.1f | %.0f %% |\n", readers.size(), static_cast<double>(total) / elapsed,
                    static_cast<double>(slowest) / elapsed, cpu * 100.0);
        std::fflush(stdout);
    }
    return 0;
}
