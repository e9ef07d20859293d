// `vorc camera`: a stand-in network camera for trying out and testing the
// live source at the head of the chain source -> parser -> scan decoder ->
// back end. It answers the live-stream HTTP request with a short header and
// then the frames of a stream file, paced at the requested rate and looped,
// one thread per client.
#include <arpa/inet.h>
#include <netdb.h>
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

#include "tools/camera_request.h"
#include "tools/command_registry.h"
#include "tools/option_parser.h"
#include "tools/tool_common.h"

namespace {

constexpr const char* CommandName = "camera";
constexpr size_t MaxRequestBytes = 8192;
constexpr int RequestTimeoutMillis = 5000;
constexpr int PollSliceMillis = 50;
constexpr double MaxPacingSeconds = 365.0 * 24 * 3600;

using Clock = std::chrono::steady_clock;

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested = true; }

struct Frame {
    const uint8_t* bytes;
    size_t length;
};

bool isStandaloneMarker(uint8_t code) { return code == 0xD8 || code == 0xD9 || code == 0x01 || (code >= 0xD0 && code <= 0xD7); }

size_t findSoi(const std::vector<uint8_t>& data, size_t from) {
    for (size_t i = from; i + 1 < data.size(); ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xD8) return i;
    }
    return data.size();
}

// Splits the stream at the SOI markers that start frames. The walk follows
// segment lengths and scans, because segment payloads (the tile bitmap, the
// quantisation tables) may contain the bytes FF D8 by chance. Bytes after a
// frame's EOI (e.g. APP13 segments) stay with that frame; bytes before the
// first SOI are dropped so that looping the file keeps the stream valid.
std::vector<Frame> splitFrames(const std::vector<uint8_t>& data) {
    std::vector<size_t> starts;
    const size_t n = data.size();
    size_t p = findSoi(data, 0);
    while (p + 1 < n) {
        if (data[p] != 0xFF) {
            p = findSoi(data, p);
            continue;
        }
        const uint8_t code = data[p + 1];
        if (code == 0xFF) {
            ++p;
            continue;
        }
        if (code == 0xD8) starts.push_back(p);
        if (isStandaloneMarker(code)) {
            p += 2;
            continue;
        }
        if (p + 3 >= n) break;
        const size_t length = static_cast<size_t>(data[p + 2]) << 8 | data[p + 3];
        if (length < 2) {
            p = findSoi(data, p + 2);
            continue;
        }
        p += 2 + length;
        if (code == 0xDA) {
            while (p + 1 < n && !(data[p] == 0xFF && data[p + 1] != 0x00 && !(data[p + 1] >= 0xD0 && data[p + 1] <= 0xD7))) ++p;
        }
    }
    std::vector<Frame> frames;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : n;
        frames.push_back(Frame{data.data() + starts[i], end - starts[i]});
    }
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

// Reads up to the empty line that ends the request (LF LF or CR LF CR LF).
bool readRequest(int fd, std::string* text) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(RequestTimeoutMillis);
    char chunk[1024];
    while (text->size() < MaxRequestBytes) {
        if (text->find("\n\n") != std::string::npos || text->find("\r\n\r\n") != std::string::npos) return true;
        if (!waitFor(fd, POLLIN, deadline)) return false;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        text->append(chunk, static_cast<size_t>(got));
    }
    return false;
}

struct ServerSettings {
    std::vector<Frame> frames;
    long loops = 0;  // passes through the file per client; 0: endless
};

void serveClient(int fd, const std::string& peer, const ServerSettings& settings) {
    std::string text;
    if (!readRequest(fd, &text)) {
        std::fprintf(stderr, "camera: %s: no complete request, closing\n", peer.c_str());
        return;
    }
    const CameraRequest request = parseCameraRequest(text);
    if (request.status != 200) {
        std::fprintf(stderr, "camera: %s: answered %d %s\n", peer.c_str(), request.status, request.reason.c_str());
        sendText(fd, "HTTP/1.0 " + std::to_string(request.status) + " " + request.reason +
                         "\r\nContent-Type: text/plain\r\n\r\n" + request.reason + "\n");
        return;
    }
    std::fprintf(stderr, "camera: %s: streaming at %s\n", peer.c_str(),
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
    std::fprintf(stderr, "camera: %s: %ld frames sent, %s\n", peer.c_str(), sent,
                 stopRequested ? "stopping" : (going ? "file done" : "client gone"));
}

struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

// [HOST:]PORT with HOST a name, an IPv4 address or a bracketed IPv6 address,
// resolved to the first address it names; PORT 0 takes any free port.
bool resolveListenAddress(const std::string& text, sockaddr_storage* address) {
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of(":[]") != std::string::npos) {
        return false;
    }
    char* rest = nullptr;
    const long number = std::strtol(port.c_str(), &rest, 10);
    if (port.empty() || *rest != '\0' || number < 0 || number > 65535) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    std::memcpy(address, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    return true;
}

socklen_t addressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// "127.0.0.1:8080" or "[::1]:8080".
std::string describeAddress(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    const bool v6 = address.ss_family == AF_INET6;
    const auto* v4Address = reinterpret_cast<const sockaddr_in*>(&address);
    const auto* v6Address = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(address.ss_family, v6 ? static_cast<const void*>(&v6Address->sin6_addr) : &v4Address->sin_addr,
                host, sizeof host);
    const int port = ntohs(v6 ? v6Address->sin6_port : v4Address->sin_port);
    return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

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
        "  --listen A:P        address (a name, IPv4 or [IPv6]; default 127.0.0.1) and port\n"
        "  --loops N           send the file N times to each client, then close (default: endless)\n"
        "  --exit-after S      stop by itself after S seconds (default: never)\n"
        "  --help              show this help\n"
        "\n"
        "example:\n"
        "  vorc camera --listen 127.0.0.1:8080 camera.tesra &\n"
        "  vorc record 127.0.0.1:8080 --fps 5 --frames 50 -o out.mjpg\n",
        CameraStreamPath);
}

int runCamera(int argc, char** argv) {
    const char* listenText = nullptr;
    const char* path = nullptr;
    ServerSettings settings;
    long exitAfterSeconds = 0;
    if (const auto done =
            parseArguments(CommandName, printUsage, argc, argv,
                           {{{"--listen"}, "--listen needs [ADDRESS:]PORT", &listenText},
                            {{"--loops"},
                             "--loops needs a whole number of at least 0",
                             wholeNumber(0, LONG_MAX, &settings.loops)},
                            {{"--exit-after"},
                             "--exit-after needs a whole number of seconds",
                             wholeNumber(0, LONG_MAX, &exitAfterSeconds)}},
                           Operands(&path, "more than one stream FILE", nullptr)))
        return *done;
    if (listenText == nullptr) return usageError(CommandName, "missing --listen [ADDRESS:]PORT");
    if (path == nullptr) return usageError(CommandName, "missing stream FILE");
    sockaddr_storage address{};
    if (!resolveListenAddress(listenText, &address)) {
        return usageError(CommandName, std::string("cannot use '") + listenText + "' as [ADDRESS:]PORT");
    }

    std::ifstream file(path, std::ios::binary);
    if (!file) return usageError(CommandName, std::string("cannot open '") + path + "'");
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    settings.frames = splitFrames(data);
    if (settings.frames.empty()) return usageError(CommandName, std::string("no frames in '") + path + "'");

    const int listenFd = ::socket(address.ss_family, SOCK_STREAM, 0);
    const int reuse = 1;
    socklen_t length = sizeof address;
    if (listenFd < 0 || ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(listenFd, reinterpret_cast<const sockaddr*>(&address), addressLength(address)) != 0 ||
        ::listen(listenFd, 16) != 0 || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        if (listenFd >= 0) ::close(listenFd);
        std::fprintf(stderr, "vorc camera: cannot listen on %s: %s\n", listenText, std::strerror(error));
        return ExitFailure;
    }

    // A client that disappears must end its connection, not the camera.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::fprintf(stderr, "listening on %s (%zu frames from %s)\n", describeAddress(address).c_str(),
                 settings.frames.size(), path);
    std::fflush(stderr);

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
        pollfd entry{listenFd, POLLIN, 0};
        if (::poll(&entry, 1, PollSliceMillis) <= 0) continue;
        sockaddr_storage peerAddress{};
        socklen_t peerLength = sizeof peerAddress;
        const int client = ::accept(listenFd, reinterpret_cast<sockaddr*>(&peerAddress), &peerLength);
        if (client < 0) continue;
        const std::string peer = describeAddress(peerAddress);
        std::fprintf(stderr, "camera: %s: connected\n", peer.c_str());
        auto done = std::make_shared<std::atomic<bool>>(false);
        clients.push_back(Client{std::thread([client, peer, done, &settings] {
                                     serveClient(client, peer, settings);
                                     ::shutdown(client, SHUT_RDWR);
                                     ::close(client);
                                     *done = true;
                                 }),
                                 done});
    }
    stopRequested = true;
    for (Client& client : clients) client.thread.join();
    ::close(listenFd);
    std::fprintf(stderr, "camera: stopped\n");
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "serve a stream file as a live camera on 127.0.0.1",
                                             60, runCamera});

}  // namespace
