// `vorc serve --listen ADDRESS:PORT SOURCE`: live video in any web browser.
// A source thread transcodes the frames of a camera or a looped stream file
// into JPEG images and publishes each into the image hub; the web server on
// this thread fans the same bytes out to every client as an MJPEG stream,
// and answers the page, snapshot, metrics and health requests.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/command_registry.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/frame_index.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/status_output.h"
#include "tools/cli/stopping.h"
#include "tools/net/camera_source.h"
#include "tools/net/listen_sockets.h"
#include "tools/serve/image_hub.h"
#include "tools/serve/mjpeg_server.h"
#include "tools/serve/serve_source.h"
#include "vorc/sources/ip_address.h"

namespace {

constexpr const char* CommandName = "serve";
constexpr size_t DescriptorsKeptAside = 32;  // listeners, the source, the wake-up pipe, standard streams

std::atomic<bool> stopRequested{false};
const ImageHub* signalledHub = nullptr;

void requestStop(int) {
    stopRequested = true;
    if (signalledHub != nullptr) signalledHub->wake();
}

// As many connections as the descriptor limit allows, raised to its ceiling.
size_t connectionCeiling(long wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const size_t descriptors = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(limit.rlim_cur);
    return std::min(static_cast<size_t>(wanted), descriptors > DescriptorsKeptAside ? descriptors - DescriptorsKeptAside : 1);
}

ValueHandler seconds(double* value) {
    return decimalNumber([](double given) { return given >= 0.0 && given <= 1e6; }, value);
}

void printUsage() {
    std::printf(
        "usage: vorc serve --listen ADDRESS:PORT [OPTIONS] SOURCE\n"
        "\n"
        "Shows a live stream in any web browser. SOURCE is a stream file, played\n"
        "in a loop at --fps, or the HOST:PORT of a camera (a name, an IPv4 address or\n"
        "[IPv6]), which is connected again whenever it drops. Damaged frames are\n"
        "skipped. Every frame becomes a JPEG image, and the same bytes go to every\n"
        "client; a slow client skips to the latest image. Stops on Ctrl-C or\n"
        "SIGTERM. PORT 0 picks a free port; the addresses are printed on standard\n"
        "error.\n"
        "\n"
        "addresses served:\n"
        "  /               a page with the live picture, its size and frame rate\n"
        "  /stream.mjpg    the live picture as an MJPEG stream (multipart/x-mixed-replace)\n"
        "  /snapshot.jpg   the latest image\n"
        "  /metrics        counters in the Prometheus text format\n"
        "  /health         200 while the source delivers images, 503 while it does not\n"
        "\n"
        "options:\n"
        "  --listen A:P        address and port to serve on: IPv4, [IPv6] or a host name;\n"
        "                      without an address, 127.0.0.1\n"
        "  --fps F             file: frames per second (0: as fast as they decode);\n"
        "                      camera: the rate asked for (0: its maximum); default 25\n"
        "  --timeout S         reconnect a camera that sends nothing for S seconds (default 10)\n"
        "  --client-timeout S  drop a client that has not finished its request, or has\n"
        "                      taken no data, for S seconds (default 10)\n"
        "  --max-clients N     connections at once (default 1000)\n"
        "  --exit-after S      stop by itself after S seconds (default: never)\n");
    printCommonOptionsHelp(22, "print only errors (and the addresses listened on)");
    std::printf(
        "\n"
        "examples:\n"
        "  vorc serve --listen 127.0.0.1:8000 camera.tesra\n"
        "  vorc serve --listen [::1]:8000 192.168.1.20:80\n"
        "then open http://127.0.0.1:8000/ in a browser.\n");
}

int runServe(int argc, char** argv) {
    const char* listenText = nullptr;
    const char* sourceText = nullptr;
    ServeSource source;
    MjpegServerSettings settings;
    long maxClients = static_cast<long>(settings.maxConnections);
    double exitAfter = 0.0;
    CommonOptions common;
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv, &common,
            {{{"--listen"}, "--listen needs ADDRESS:PORT", &listenText},
             {{"--fps"}, "%s needs a number of at least 0", seconds(&source.fps)},
             {{"--timeout"}, "%s needs a number of seconds", seconds(&source.timeoutSeconds)},
             {{"--client-timeout"}, "%s needs a number of seconds", seconds(&settings.sendSeconds)},
             {{"--max-clients"}, "%s needs a whole number of at least 1", wholeNumber(1, INT_MAX, &maxClients)},
             {{"--exit-after"}, "%s needs a number of seconds", seconds(&exitAfter)}},
            Operands(&sourceText, "more than one SOURCE", "missing SOURCE (a stream file or a camera's HOST:PORT)")))
        return *done;
    if (listenText == nullptr) return usageError(CommandName, "missing --listen ADDRESS:PORT");
    HostPort listenAt;
    if (!splitHostPort(listenText, &listenAt)) {
        return usageError(CommandName, std::string("cannot use '") + listenText + "' as ADDRESS:PORT");
    }

    std::optional<vorc::HostAndPort> camera;
    std::string problem;
    if (!parseSourceOperand(sourceText, &camera, &problem)) return usageError(CommandName, problem);
    std::vector<unsigned char> stream;
    if (camera) {
        source.cameraHost = camera->host;
        source.cameraPort = camera->port;
    } else {
        source.file = sourceText;
        stream = loadLoopableStream(source.file, &problem);
        if (stream.empty()) return usageError(CommandName, problem);
    }
    settings.requestSeconds = settings.sendSeconds;
    settings.sourceName = sourceText;
    settings.maxConnections = connectionCeiling(maxClients);

    ImageHub hub;
    std::vector<std::string> names;
    std::vector<int> listeners = openListeners(listenAt, &names, &problem);
    if (listeners.empty()) {
        std::fprintf(stderr, "vorc serve: cannot listen on %s: %s\n", listenText, problem.c_str());
        return ExitFailure;
    }
    // The addresses are the one thing a caller of port 0 must learn, even quietly.
    for (const std::string& name : names) std::fprintf(stderr, "listening on %s\n", name.c_str());
    if (!common.quiet()) std::fprintf(stderr, "open http://%s/ in a browser\n", names.front().c_str());
    std::fflush(stderr);

    source.verbosity = common.verbosity;
    routeStatusMessages(common.verbosity, verboseMessageTarget(common, true));
    signalledHub = &hub;
    stopServerOnSignals(requestStop);

    std::thread sourceThread([&] { runServeSource(source, std::move(stream), hub, stopRequested); });
    std::thread timer;
    if (exitAfter > 0.0) {
        timer = std::thread([&] {
            sleepUntil(std::chrono::steady_clock::now() + durationOf(exitAfter), stopRequested);
            stopRequested = true;
            hub.wake();
        });
    }
    MjpegServer(std::move(listeners), hub, settings).run(stopRequested);
    stopRequested = true;
    sourceThread.join();
    if (timer.joinable()) timer.join();
    signalledHub = nullptr;
    if (!common.quiet()) {
        std::fprintf(stderr, "serve: stopped after %llu frames\n",
                     static_cast<unsigned long long>(hub.counters.framesIn.load()));
    }
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "show a camera or a stream file in a web browser", 65,
                                             runServe});

}  // namespace
