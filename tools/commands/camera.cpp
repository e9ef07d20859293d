// `vorc camera`: a stand-in network camera for trying out and testing the
// live source at the head of the chain source -> parser -> scan decoder ->
// back end. It answers the live-stream HTTP request with a short header and
// then the frames of a stream file, paced at the requested rate and looped,
// one thread per client.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/net/camera_request.h"
#include "tools/cli/command_registry.h"
#include "tools/cli/frame_index.h"
#include "tools/net/listen_sockets.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/exit_status.h"

namespace {

constexpr const char* CommandName = "camera";
constexpr int RequestTimeoutMillis = 5000;
constexpr int PollSliceMillis = 50;
constexpr double MaxPacingSeconds = 365.0 * 24 * 3600;

using Clock = std::chrono::steady_clock;

std::atomic<bool> stopRequested{false};
Verbosity verbosity = Verbosity::Normal;

// One line of the camera's log on standard error, shown at the given
// verbosity and above.
template <typename... Values>
void logLine(Verbosity lowest, const char* format, Values... values) {
    if (static_cast<int>(verbosity) < static_cast<int>(lowest)) return;
    std::fprintf(stderr, format, values...);
    std::fflush(stderr);
}

void requestStop(int) { stopRequested = true; }

struct Frame {
    const uint8_t* bytes;
    size_t length;
};

// Splits the stream into frames with the tool's marker walk: bytes after a
// frame's EOI (e.g. APP13 segments) stay with that frame; bytes before the
// first SOI are dropped so that looping the file keeps the stream valid.
std::vector<Frame> splitFrames(const std::vector<uint8_t>& data) {
    FrameIndex index;
    index.feed(data.data(), data.size());
    index.finish();
    std::vector<Frame> frames;
    for (const FrameExtent& extent : index.completed())
        frames.push_back(Frame{data.data() + extent.offset, static_cast<size_t>(extent.bytes)});
    return frames;
}

// Waits for the descriptor in slices so that a stop request is noticed;
// false on stop, deadline or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    while (!stopRequested) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, PollSliceMillis)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

// False once the client is gone or a stop was requested.
bool sendAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        if (!waitFor(fd, POLLOUT, Clock::now() + std::chrono::seconds(30))) return false;
        const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendText(int fd, const std::string& text) {
    return sendAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Sleeps until the time point, in slices; false on stop.
bool sleepUntil(Clock::time_point when) {
    while (!stopRequested) {
        const auto now = Clock::now();
        if (now >= when) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(when - now, std::chrono::milliseconds(PollSliceMillis)));
    }
    return false;
}

// Reads until the request head is complete or known to be bad.
HttpHead readRequest(int fd) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(RequestTimeoutMillis);
    std::string text;
    char chunk[1024];
    while (true) {
        HttpHead head = parseHttpHead(text);
        if (head.state != HttpHeadState::Incomplete) return head;
        if (!waitFor(fd, POLLIN, deadline)) return head;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0) return head;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return head;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
}

struct ServerSettings {
    std::vector<Frame> frames;
    long loops = 0;  // passes through the file per client; 0: endless
};

void serveClient(int fd, const std::string& peer, const ServerSettings& settings) {
    const HttpHead head = readRequest(fd);
    if (head.state == HttpHeadState::Incomplete) {
        logLine(Verbosity::Normal, "camera: %s: no complete request, closing\n", peer.c_str());
        return;
    }
    const CameraRequest request = checkCameraRequest(head);
    if (request.status != 200) {
        const std::string status = httpStatusText(request.status);
        const std::string reason = status.substr(4);
        logLine(Verbosity::Normal, "camera: %s: answered %s\n", peer.c_str(), status.c_str());
        sendText(fd, "HTTP/1.0 " + status + "\r\nContent-Type: text/plain\r\n\r\n" + reason + "\n");
        return;
    }
    logLine(Verbosity::Verbose, "camera: %s: streaming at %s\n", peer.c_str(),
            request.fps > 0.0 ? (std::to_string(request.fps) + " fps").c_str() : "maximum rate");
    if (!sendText(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")) return;

    const auto start = Clock::now();
    long sent = 0;
    bool going = true;
    for (long pass = 0; going && (settings.loops == 0 || pass < settings.loops); ++pass) {
        for (const Frame& frame : settings.frames) {
            if (request.fps > 0.0) {
                // A very slow rate puts the next frame beyond what the clock
                // can count; a year is as good as for ever.
                const double seconds = std::min(static_cast<double>(sent) / request.fps, MaxPacingSeconds);
                const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
                if (!sleepUntil(due)) going = false;
            }
            if (!going || !sendAll(fd, frame.bytes, frame.length)) {
                going = false;
                break;
            }
            ++sent;
        }
    }
    logLine(Verbosity::Normal, "camera: %s: %ld frames sent, %s\n", peer.c_str(), sent,
            stopRequested ? "stopping" : (going ? "file done" : "client gone"));
}

struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

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
    ServerSettings settings;
    long exitAfterSeconds = 0;
    CommonOptions common;
    if (const auto done =
            parseArguments(CommandName, printUsage, argc, argv, &common,
                           {{{"--listen"}, "--listen needs [ADDRESS:]PORT", &listenText},
                            {{"--loops"},
                             "--loops needs a whole number of at least 0",
                             wholeNumber(0, LONG_MAX, &settings.loops)},
                            {{"--exit-after"},
                             "--exit-after needs a whole number of seconds",
                             wholeNumber(0, LONG_MAX, &exitAfterSeconds)}},
                           Operands(&path, "more than one stream FILE", nullptr)))
        return *done;
    verbosity = common.verbosity;
    if (listenText == nullptr) return usageError(CommandName, "missing --listen [ADDRESS:]PORT");
    if (path == nullptr) return usageError(CommandName, "missing stream FILE");
    HostPort listenAt;
    if (!splitHostPort(listenText, &listenAt)) {
        return usageError(CommandName, std::string("cannot use '") + listenText + "' as [ADDRESS:]PORT");
    }

    std::ifstream file(path, std::ios::binary);
    if (!file) return usageError(CommandName, systemError("open", path));
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    settings.frames = splitFrames(data);
    if (settings.frames.empty()) return usageError(CommandName, std::string("no frames in '") + path + "'");

    std::vector<std::string> names;
    std::string problem;
    const std::vector<int> listeners = openListeners(listenAt, &names, &problem);
    if (listeners.empty()) {
        std::fprintf(stderr, "vorc camera: cannot listen on '%s': %s\n", listenText, problem.c_str());
        return ExitFailure;
    }

    // A client that disappears must end its connection, not the camera.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The port is the one thing a caller of PORT 0 must learn, even quietly.
    const bool portChosen = listenAt.port == "0";
    for (const std::string& name : names) {
        logLine(portChosen ? Verbosity::Quiet : Verbosity::Normal, "listening on %s (%zu frames from %s)\n",
                name.c_str(), settings.frames.size(), path);
    }

    const auto stopAt = Clock::now() + std::chrono::seconds(exitAfterSeconds);
    std::list<Client> clients;
    while (!stopRequested && (exitAfterSeconds == 0 || Clock::now() < stopAt)) {
        for (auto it = clients.begin(); it != clients.end();) {
            if (*it->done) {
                it->thread.join();
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<pollfd> entries;
        for (const int fd : listeners) entries.push_back(pollfd{fd, POLLIN, 0});
        if (::poll(entries.data(), entries.size(), PollSliceMillis) <= 0) continue;
        for (const pollfd& entry : entries) {
            if ((entry.revents & POLLIN) == 0) continue;
            sockaddr_storage peerAddress{};
            socklen_t peerLength = sizeof peerAddress;
            // The listeners do not block; the clients they give do.
            const int client = ::accept(entry.fd, reinterpret_cast<sockaddr*>(&peerAddress), &peerLength);
            if (client < 0) continue;
            const std::string peer = describeAddress(reinterpret_cast<const sockaddr*>(&peerAddress), peerLength);
            logLine(Verbosity::Verbose, "camera: %s: connected\n", peer.c_str());
            auto done = std::make_shared<std::atomic<bool>>(false);
            clients.push_back(Client{std::thread([client, peer, done, &settings] {
                                         serveClient(client, peer, settings);
                                         ::shutdown(client, SHUT_RDWR);
                                         ::close(client);
                                         *done = true;
                                     }),
                                     done});
        }
    }
    stopRequested = true;
    for (Client& client : clients) client.thread.join();
    for (const int fd : listeners) ::close(fd);
    logLine(Verbosity::Normal, "camera: stopped\n");
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "serve a stream file as a live camera on 127.0.0.1",
                                             60, runCamera});

}  // namespace
