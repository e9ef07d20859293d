// `vorc camera --listen [ADDRESS:]PORT FILE`: a stand-in network camera for
// trying out and testing the live source. This file reads the options and
// the stream file, opens the listening sockets and runs the stand-in camera
// of tools/camera until a signal or --exit-after stops it.
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/camera/stand_in_camera.h"
#include "tools/cli/command_registry.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/frame_index.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/stopping.h"
#include "tools/net/camera_request.h"
#include "tools/net/http_login.h"
#include "tools/net/listen_sockets.h"

namespace {

constexpr const char* CommandName = "camera";

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested = true; }

void printUsage() {
    std::printf(
        "usage: vorc camera --listen [ADDRESS:]PORT [OPTIONS] FILE\n"
        "\n"
        "Acts as a network camera: answers 'GET %s?fps=F' with an HTTP\n"
        "header and the frames of the stream FILE, F frames per second (0: as fast\n"
        "as possible), starting again at the first frame when the file is done.\n"
        "Serves several clients at once and stops on Ctrl-C or SIGTERM. PORT 0\n"
        "picks a free port; the port chosen is printed on standard error.\n"
        "\n"
        "options:\n"
        "  --listen A:P        address (a name, IPv4 or [IPv6]; default 127.0.0.1) and port;\n"
        "                      a name listens on every address it stands for\n"
        "  --loops N           send the file N times to each client, then close (default: endless)\n"
        "  --auth-file FILE    ask for a login (HTTP Basic) of a user of FILE, whose\n"
        "                      'user:hash' lines 'vorc passwd USER' makes\n"
        "  --exit-after S      stop by itself after S seconds (default: never)\n",
        CameraStreamPath);
    printCommonOptionsHelp(22, "print only errors (and the port chosen for PORT 0)",
                           "also log every connection and the rate it asked for");
    std::printf(
        "\n"
        "example:\n"
        "  vorc camera --listen 127.0.0.1:8080 camera.tesra &\n"
        "  vorc record 127.0.0.1:8080 --fps 5 --frames 50 -o out.mjpg\n");
}

int runCamera(int argc, char** argv) {
    const char* listenText = nullptr;
    const char* path = nullptr;
    CameraSettings settings;
    long exitAfterSeconds = 0;
    const char* authFile = nullptr;
    CommonOptions common;
    if (const auto done =
            parseArguments(CommandName, printUsage, argc, argv, &common,
                           {{{"--listen"}, "--listen needs [ADDRESS:]PORT", &listenText},
                            {{"--loops"},
                             "--loops needs a whole number of at least 0",
                             wholeNumber(0, LONG_MAX, &settings.loops)},
                            {{"--auth-file"}, "--auth-file needs a FILE", &authFile},
                            {{"--exit-after"},
                             "--exit-after needs a whole number of seconds",
                             wholeNumber(0, LONG_MAX, &exitAfterSeconds)}},
                           Operands(&path, "more than one stream FILE", nullptr)))
        return *done;
    settings.verbosity = common.verbosity;
    if (listenText == nullptr) return usageError(CommandName, "missing --listen [ADDRESS:]PORT");
    if (path == nullptr) return usageError(CommandName, "missing stream FILE");
    HostPort listenAt;
    if (!splitHostPort(listenText, &listenAt)) {
        return usageError(CommandName, std::string("cannot use '") + listenText + "' as [ADDRESS:]PORT");
    }

    std::string problem;
    if (authFile != nullptr) {
        settings.logins = LoginTable::load(authFile, &problem);
        if (!settings.logins) return usageError(CommandName, problem);
    }
    std::vector<unsigned char> stream = loadLoopableStream(path, &problem);
    if (stream.empty()) return usageError(CommandName, problem);
    const StandInCamera camera(std::move(stream), settings);

    std::vector<std::string> names;
    const std::vector<int> listeners = openListeners(listenAt, &names, &problem);
    if (listeners.empty()) {
        std::fprintf(stderr, "vorc camera: cannot listen on '%s': %s\n", listenText, problem.c_str());
        return ExitFailure;
    }
    stopServerOnSignals(requestStop);

    // The port is the one thing a caller of PORT 0 must learn, even quietly.
    const bool portChosen = listenAt.port == "0";
    for (const std::string& name : names) {
        logLine(common.verbosity, portChosen ? Verbosity::Quiet : Verbosity::Normal,
                "listening on %s (%zu frames from %s)\n", name.c_str(), camera.frameCount(), path);
    }
    camera.run(listeners, stopRequested, exitAfterSeconds);
    for (const int fd : listeners) ::close(fd);
    logLine(common.verbosity, Verbosity::Normal, "camera: stopped\n");
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "serve a stream file as a live camera on 127.0.0.1",
                                             60, runCamera});

}  // namespace
