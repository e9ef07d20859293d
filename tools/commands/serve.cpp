// `vorc serve --listen ADDRESS:PORT SOURCE` and `vorc serve --config FILE`:
// live video of one camera, or of several, in any web browser. Each camera
// has a source thread that transcodes the frames of a camera or a looped
// stream file into JPEG images and publishes each, with the motion it
// finds, into the camera's image hub; the web server on this thread fans
// the same bytes out to every client as an MJPEG stream, and answers the
// pages, snapshots, motion, metrics and health requests.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/command_registry.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/status_output.h"
#include "tools/cli/stopping.h"
#include "tools/net/camera_source.h"
#include "tools/net/http_login.h"
#include "tools/net/listen_sockets.h"
#include "tools/serve/image_hub.h"
#include "tools/serve/http_access.h"
#include "tools/serve/mjpeg_server.h"
#include "tools/serve/serve_config.h"
#include "tools/serve/serve_source.h"

namespace {

constexpr const char* CommandName = "serve";
// Listeners, standard streams and, per camera, the source and the wake-up pipe.
constexpr size_t DescriptorsKeptAside = 32;
constexpr size_t DescriptorsPerCamera = 3;

std::atomic<bool> stopRequested{false};
const ImageHub* signalledHub = nullptr;

void requestStop(int) {
    stopRequested = true;
    if (signalledHub != nullptr) signalledHub->wake();
}

// As many connections as the descriptor limit allows, raised to its ceiling.
size_t connectionCeiling(long wanted, size_t cameras) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const size_t descriptors = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(limit.rlim_cur);
    const size_t keptAside = DescriptorsKeptAside + DescriptorsPerCamera * cameras;
    return std::min(static_cast<size_t>(wanted), descriptors > keptAside ? descriptors - keptAside : 1);
}

ValueHandler seconds(double* value) {
    return decimalNumber([](double given) { return given >= 0.0 && given <= 1e6; }, value);
}

// Splits a comma-separated list.
std::vector<std::string> listItems(const std::string& text) {
    std::vector<std::string> items;
    for (size_t start = 0; start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

// A comma-separated list, none of its items empty.
ValueHandler listOf(std::optional<std::vector<std::string>>* items) {
    return [items](const char* value, std::string&) {
        *items = listItems(value);
        return std::none_of((*items)->begin(), (*items)->end(), [](const std::string& item) { return item.empty(); });
    };
}

// The last part of a path: the page names a file, never where it lies.
std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

void printUsage() {
    std::printf(
        "usage: vorc serve --listen ADDRESS:PORT [OPTIONS] SOURCE\n"
        "       vorc serve --config FILE [OPTIONS]\n"
        "\n"
        "Shows a live stream in any web browser. SOURCE is a stream file, played\n"
        "in a loop at --fps, or the HOST:PORT of a camera (a name, an IPv4 address or\n"
        "[IPv6]), which is connected again whenever it drops. Damaged frames are\n"
        "skipped. Every frame becomes a JPEG image, and the same bytes go to every\n"
        "client; a slow client skips to the latest image. Motion is found from the\n"
        "frames' tile bitmaps, as by vorc motion. Stops on Ctrl-C or SIGTERM. PORT 0\n"
        "picks a free port; the addresses are printed on standard error, and so is\n"
        "a line for each camera lost or found and each change of the clients.\n"
        "\n"
        "addresses served (GET and HEAD; the page uses relative addresses, so it\n"
        "also works behind a reverse proxy under any path):\n"
        "  /               a page with the live picture, its size and frame rate\n"
        "  /stream.mjpg    the live picture as an MJPEG stream (multipart/x-mixed-replace)\n"
        "  /snapshot.jpg   the latest image\n"
        "  /events         motion events as Server-Sent Events, one JSON object each,\n"
        "                  as vorc motion --json writes them\n"
        "  /motion.json    the motion in the latest frame, and its changed tiles\n"
        "  /metrics        counters in the Prometheus text format\n"
        "  /health         200 while the source delivers images, 503 while it does not\n"
        "\n"
        "With --config, the cameras of a TOML file, each on its own thread:\n"
        "  listen = \"127.0.0.1:8000\"\n"
        "  auth_file = \"logins\"            # also: open, allow_origin (lists)\n"
        "  [cameras.front]\n"
        "  source = \"192.0.2.10:80\"        # a camera, or a stream file\n"
        "  fps = 10                        # also: timeout, title, user, password\n"
        "  [cameras.front.motion]          # optional, as vorc motion's options:\n"
        "  zones = [\"door=640,200,320x480\"] # min_share, min_tiles, connectivity,\n"
        "                                  # start_frames, end_frames\n"
        "and, at the top, client_timeout and max_clients. Each camera NAME has the\n"
        "addresses above under /cam/NAME/ (its page at /cam/NAME/); / shows a grid\n"
        "of all cameras, /health is 200 while all are up, and /metrics labels every\n"
        "series with camera=\"NAME\".\n"
        "\n"
        "options:\n"
        "  --listen A:P        address and port to serve on: IPv4, [IPv6] or a host name;\n"
        "                      without an address, 127.0.0.1 (before the config's)\n"
        "  --config FILE       the cameras, and settings, of a TOML file\n"
        "  --fps F             file: frames per second (0: as fast as they decode);\n"
        "                      camera: the rate asked for (0: its maximum); default 25\n"
        "  --timeout S         reconnect a camera that sends nothing for S seconds (default 10)\n"
        "  --client-timeout S  drop a client that has not finished its request, or has\n"
        "                      taken no data, for S seconds (default 10)\n"
        "  --max-clients N     connections at once (default 1000)\n"
        "  --name NAME         the name the page shows (default: the file's name, or the\n"
        "                      camera's HOST:PORT)\n"
        "  --auth-file FILE    viewers log in (HTTP Basic) as a user of FILE, whose\n"
        "                      'user:hash' lines 'vorc passwd USER' makes; use TLS in\n"
        "                      front (a reverse proxy), or passwords cross the network\n"
        "                      readable\n"
        "  --open LIST         addresses that need no login: health, metrics or\n"
        "                      health,metrics\n"
        "  --allow-origin LIST pages of these origins may read the answers (CORS): *\n"
        "                      or a comma-separated list such as https://example.org\n"
        "  --exit-after S      stop by itself after S seconds (default: never)\n");
    printCommonOptionsHelp(22, "print only errors (and the addresses listened on)");
    std::printf(
        "\n"
        "A camera that asks for a login is given it as USER:PASSWORD@HOST:PORT.\n"
        "\n"
        "examples:\n"
        "  vorc serve --listen 127.0.0.1:8000 camera.tesra\n"
        "  vorc serve --listen [::1]:8000 192.168.1.20:80\n"
        "  vorc serve --config /etc/vorc/cameras.toml\n"
        "  vorc passwd alice < password.txt > logins; vorc serve --auth-file logins ...\n"
        "then open http://127.0.0.1:8000/ in a browser.\n");
}

int runServe(int argc, char** argv) {
    const char* listenText = nullptr;
    const char* configPath = nullptr;
    const char* sourceText = nullptr;
    ServeSource defaults;
    MjpegServerSettings settings;
    std::optional<double> clientTimeout;
    std::optional<long> maxClients;
    double exitAfter = 0.0;
    const char* name = nullptr;
    const char* authFile = nullptr;
    std::optional<std::vector<std::string>> openAddresses;
    std::optional<std::vector<std::string>> allowedOrigins;
    CommonOptions common;
    const auto optionalSeconds = [](std::optional<double>* value) -> ValueHandler {
        return [value](const char* text, std::string& error) {
            double given = 0.0;
            if (!seconds(&given)(text, error)) return false;
            *value = given;
            return true;
        };
    };
    const ValueHandler clients = [&maxClients](const char* text, std::string&) {
        long number = 0;
        if (!parseWholeNumber(text, 1, INT_MAX, &number)) return false;
        maxClients = number;
        return true;
    };
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv, &common,
            {{{"--listen"}, "--listen needs ADDRESS:PORT", &listenText},
             {{"--config"}, "--config needs a file name", &configPath},
             {{"--fps"}, "%s needs a number of at least 0", seconds(&defaults.fps)},
             {{"--timeout"}, "%s needs a number of seconds", seconds(&defaults.timeoutSeconds)},
             {{"--client-timeout"}, "%s needs a number of seconds", optionalSeconds(&clientTimeout)},
             {{"--max-clients"}, "%s needs a whole number of at least 1", clients},
             {{"--name"}, "--name needs a NAME", &name},
             {{"--auth-file"}, "--auth-file needs a FILE", &authFile},
             {{"--open"}, "--open needs health, metrics or both, separated by a comma", listOf(&openAddresses)},
             {{"--allow-origin"}, "--allow-origin needs * or a list of origins", listOf(&allowedOrigins)},
             {{"--exit-after"}, "%s needs a number of seconds", seconds(&exitAfter)}},
            Operands(&sourceText, "more than one SOURCE", nullptr)))
        return *done;
    if (configPath != nullptr && sourceText != nullptr)
        return usageError(CommandName, std::string("a SOURCE ('") + sourceText + "') or --config, not both");
    if (configPath == nullptr && sourceText == nullptr)
        return usageError(CommandName, "missing SOURCE (a stream file or a camera's HOST:PORT)");
    defaults.verbosity = common.verbosity;

    ServeConfig config;
    std::string problem;
    if (configPath != nullptr) {
        if (name != nullptr) return usageError(CommandName, "--name names a SOURCE; with --config, give a camera a title");
        if (!readServeConfig(configPath, defaults, &config, &problem)) return usageError(CommandName, problem);
    } else {
        ServedCameraConfig& camera = config.cameras.emplace_back();
        camera.source = defaults;
        if (!takeSource(sourceText, &camera, &problem)) return usageError(CommandName, problem);
        // Never a local path or a camera's password.
        camera.title = name != nullptr              ? name
                       : !camera.source.file.empty() ? fileName(sourceText)
                                                     : cameraAddressText(vorc::HostAndPort{
                                                           camera.source.cameraHost, camera.source.cameraPort, {}});
    }
    // The command line before the file.
    if (authFile != nullptr) {
        config.logins = LoginTable::load(authFile, &problem);
        if (!config.logins) return usageError(CommandName, problem);
    }
    settings.access.logins = config.logins;
    for (const std::string& address : openAddresses ? *openAddresses : config.openAddresses.value_or(std::vector<std::string>())) {
        if (!openAddress(address, &settings.access)) {
            return usageError(CommandName, "--open needs health, metrics or both, separated by a comma");
        }
    }
    settings.access.allowedOrigins = allowedOrigins ? *allowedOrigins : config.allowedOrigins.value_or(std::vector<std::string>());
    if (listenText == nullptr && !config.listen.empty()) listenText = config.listen.c_str();
    if (listenText == nullptr) return usageError(CommandName, "missing --listen ADDRESS:PORT");
    HostPort listenAt;
    if (!splitHostPort(listenText, &listenAt)) {
        return usageError(CommandName, std::string("cannot use '") + listenText + "' as ADDRESS:PORT");
    }
    settings.sendSeconds = settings.requestSeconds = clientTimeout.value_or(config.clientTimeout.value_or(settings.sendSeconds));
    settings.maxConnections = connectionCeiling(maxClients.value_or(config.maxClients.value_or(
                                                    static_cast<long>(settings.maxConnections))),
                                                config.cameras.size());
    settings.verbosity = common.verbosity;

    std::vector<std::unique_ptr<ImageHub>> hubs;
    std::vector<ServedCamera> served;
    for (const ServedCameraConfig& camera : config.cameras) {
        hubs.push_back(std::make_unique<ImageHub>());
        served.push_back(ServedCamera{camera.name, camera.title, hubs.back().get()});
    }
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

    routeStatusMessages(common.verbosity, verboseMessageTarget(common, true));
    // Waking one hub wakes the server; the sources look at the flag.
    signalledHub = hubs.front().get();
    stopServerOnSignals(requestStop);

    std::vector<std::thread> sources;
    for (size_t i = 0; i < config.cameras.size(); ++i) {
        sources.emplace_back([&, i] {
            runServeSource(config.cameras[i].source, std::move(config.cameras[i].stream), *hubs[i], stopRequested);
        });
    }
    std::thread timer;
    if (exitAfter > 0.0) {
        timer = std::thread([&] {
            sleepUntil(std::chrono::steady_clock::now() + durationOf(exitAfter), stopRequested);
            stopRequested = true;
            hubs.front()->wake();
        });
    }
    MjpegServer(std::move(listeners), std::move(served), settings).run(stopRequested);
    stopRequested = true;
    for (std::thread& source : sources) source.join();
    if (timer.joinable()) timer.join();
    signalledHub = nullptr;
    if (!common.quiet()) {
        uint64_t frames = 0;
        for (const auto& hub : hubs) frames += hub->counters.framesIn;
        std::fprintf(stderr, "serve: stopped after %llu frames\n", static_cast<unsigned long long>(frames));
    }
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "show a camera or a stream file in a web browser", 65,
                                             runServe});

}  // namespace
