// The stand-in camera: a thread per client reads its request, answers it
// and sends the frames, paced by the clock from the client's first frame on.
#include "tools/camera/stand_in_camera.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "tools/cli/frame_index.h"
#include "tools/cli/stopping.h"
#include "tools/net/camera_request.h"
#include "tools/net/http_request.h"
#include "tools/net/listen_sockets.h"

namespace {

constexpr int RequestTimeoutMillis = 5000;
constexpr int PollSliceMillis = 50;
constexpr double MaxPacingSeconds = 365.0 * 24 * 3600;

using Clock = std::chrono::steady_clock;

// Waits for the descriptor in slices so that a stop request is noticed;
// false on stop, deadline or error.
bool waitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>& stop) {
    while (!stop) {
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
bool sendAll(int fd, const uint8_t* bytes, size_t length, const std::atomic<bool>& stop) {
    while (length > 0) {
        if (!waitFor(fd, POLLOUT, Clock::now() + std::chrono::seconds(30), stop)) return false;
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

bool sendText(int fd, const std::string& text, const std::atomic<bool>& stop) {
    return sendAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size(), stop);
}

// Reads until the request head is complete or known to be bad.
HttpHead readRequest(int fd, const std::atomic<bool>& stop) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(RequestTimeoutMillis);
    std::string text;
    char chunk[1024];
    while (true) {
        HttpHead head = parseHttpHead(text);
        if (head.state != HttpHeadState::Incomplete) return head;
        if (!waitFor(fd, POLLIN, deadline, stop)) return head;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0) return head;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return head;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
}

struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

}  // namespace

StandInCamera::StandInCamera(std::vector<unsigned char> stream, CameraSettings settings)
    : stream_(std::move(stream)), settings_(settings) {
    FrameIndex index;
    index.feed(stream_.data(), stream_.size());
    index.finish();
    for (const FrameExtent& extent : index.completed())
        frames_.push_back(Frame{stream_.data() + extent.offset, static_cast<size_t>(extent.bytes)});
}

void StandInCamera::serveClient(int fd, const char* peer, const std::atomic<bool>& stop) const {
    const Verbosity verbosity = settings_.verbosity;
    const HttpHead head = readRequest(fd, stop);
    if (head.state == HttpHeadState::Incomplete) {
        logLine(verbosity, Verbosity::Normal, "camera: %s: no complete request, closing\n", peer);
        return;
    }
    const CameraRequest request = checkCameraRequest(head);
    if (request.status == 200 && settings_.logins) {
        const std::optional<std::string> authorization = head.request.header("authorization");
        if (!authorization || !settings_.logins->accepts(*authorization)) {
            logLine(verbosity, Verbosity::Normal, "camera: %s: answered 401 Unauthorized (%s login)\n", peer,
                    authorization ? "a refused" : "no");
            sendText(fd, "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"vorc camera\"\r\n"
                         "Content-Type: text/plain\r\n\r\nUnauthorized\n", stop);
            return;
        }
    }
    if (request.status != 200) {
        const std::string status = httpStatusText(request.status);
        const std::string reason = status.substr(4);
        logLine(verbosity, Verbosity::Normal, "camera: %s: answered %s\n", peer, status.c_str());
        sendText(fd, "HTTP/1.0 " + status + "\r\nContent-Type: text/plain\r\n\r\n" + reason + "\n", stop);
        return;
    }
    logLine(verbosity, Verbosity::Verbose, "camera: %s: streaming at %s\n", peer,
            request.fps > 0.0 ? (std::to_string(request.fps) + " fps").c_str() : "maximum rate");
    if (!sendText(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n", stop)) return;

    const auto start = Clock::now();
    long sent = 0;
    bool going = true;
    for (long pass = 0; going && (settings_.loops == 0 || pass < settings_.loops); ++pass) {
        for (const Frame& frame : frames_) {
            if (request.fps > 0.0) {
                // A very slow rate puts the next frame beyond what the clock
                // can count; a year is as good as for ever.
                const double seconds = std::min(static_cast<double>(sent) / request.fps, MaxPacingSeconds);
                if (!sleepUntil(start + durationOf(seconds), stop)) going = false;
            }
            if (!going || !sendAll(fd, frame.bytes, frame.length, stop)) {
                going = false;
                break;
            }
            ++sent;
        }
    }
    logLine(verbosity, Verbosity::Normal, "camera: %s: %ld frames sent, %s\n", peer, sent,
            stop ? "stopping" : (going ? "file done" : "client gone"));
}

void StandInCamera::run(const std::vector<int>& listeners, std::atomic<bool>& stop, long exitAfterSeconds) const {
    const auto stopAt = Clock::now() + std::chrono::seconds(exitAfterSeconds);
    std::list<Client> clients;
    while (!stop && (exitAfterSeconds == 0 || Clock::now() < stopAt)) {
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
            logLine(settings_.verbosity, Verbosity::Verbose, "camera: %s: connected\n", peer.c_str());
            auto done = std::make_shared<std::atomic<bool>>(false);
            clients.push_back(Client{std::thread([this, client, peer, done, &stop] {
                                         serveClient(client, peer.c_str(), stop);
                                         ::shutdown(client, SHUT_RDWR);
                                         ::close(client);
                                         *done = true;
                                     }),
                                     done});
        }
    }
    stop = true;
    for (Client& client : clients) client.thread.join();
}
