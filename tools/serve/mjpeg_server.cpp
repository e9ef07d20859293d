// `vorc serve`'s web server: the page, the MJPEG stream, the snapshot, the
// metrics and the health answer, all from one poll() loop. A connection
// reads its request, then either gets one answer and is closed, or becomes a
// stream client that is handed the latest image each time it has taken the
// one before.
#include "tools/serve/mjpeg_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "tools/cli/stopping.h"
#include "tools/net/http_request.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int LongestPollMillis = 250;
constexpr double LingerSeconds = 2.0;
constexpr size_t ReadChunkBytes = 4096;
// The kernel's send buffer of a stream client: a few images, so that a
// client that stops reading is noticed within seconds, not after the
// megabytes of an automatically grown buffer.
constexpr int StreamSendBufferBytes = 256 * 1024;

const char* const PageTemplate = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>vorc serve: @SOURCE@</title>
<style>
body { margin: 0; background: #202020; color: #e0e0e0; font: 14px sans-serif; }
#picture { display: block; }
p { margin: 8px; }
</style>
</head>
<body>
<img id="picture" src="/stream.mjpg" alt="live picture">
<p>@SOURCE@: <span id="size">@SIZE@</span>, <span id="fps">-</span> frames/s,
<span id="frames">@FRAMES@</span> frames so far<span id="down"></span></p>
<script>
let previous = null;
async function refresh() {
  try {
    const text = await (await fetch('/metrics', { cache: 'no-store' })).text();
    const value = name => Number((text.match(new RegExp('^' + name + ' (\\S+)$', 'm')) || [0, 0])[1]);
    const frames = value('vorc_serve_frames_in_total');
    const now = performance.now();
    document.getElementById('size').textContent =
      value('vorc_serve_picture_width') + 'x' + value('vorc_serve_picture_height');
    document.getElementById('frames').textContent = frames;
    document.getElementById('down').textContent = value('vorc_serve_source_up') ? '' : ' (source down)';
    if (previous) {
      document.getElementById('fps').textContent =
        ((frames - previous.frames) * 1000 / (now - previous.now)).toFixed(1);
    }
    previous = { frames, now };
  } catch (error) {
  }
}
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)";

std::string replaced(std::string text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

std::string htmlEscaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '&': escaped += "&amp;"; break;
            case '"': escaped += "&quot;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

void metric(std::string* text, const char* name, const char* type, const char* help, uint64_t value) {
    *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
             std::to_string(value) + "\n";
}

}  // namespace

struct MjpegServer::Connection {
    enum class Phase { Request, Answer, Stream, Linger };

    explicit Connection(int fd, Clock::time_point deadline) : fd(fd), deadline(deadline) {}
    ~Connection() { ::close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool hasPending() const { return pendingSent < pending.size() || (image != nullptr && imageSent < image->part.size()); }

    const int fd;
    Phase phase = Phase::Request;
    bool closed = false;
    std::string received;
    std::string pending;  // an answer, or the stream's header
    size_t pendingSent = 0;
    std::shared_ptr<const ServedImage> image;  // the part being sent to a stream client
    size_t imageSent = 0;
    uint64_t lastImage = 0;
    Clock::time_point deadline;
};

MjpegServer::MjpegServer(std::vector<int> listeners, ImageHub& hub, MjpegServerSettings settings)
    : listeners_(std::move(listeners)), hub_(hub), settings_(std::move(settings)) {}

MjpegServer::~MjpegServer() {
    for (const int fd : listeners_) ::close(fd);
}

void MjpegServer::run(const std::atomic<bool>& stop) {
    std::vector<pollfd> entries;
    while (!stop) {
        entries.clear();
        entries.push_back(pollfd{hub_.wakeDescriptor(), POLLIN, 0});
        for (const int fd : listeners_) entries.push_back(pollfd{fd, POLLIN, 0});
        auto nearest = Clock::now() + std::chrono::milliseconds(LongestPollMillis);
        for (const auto& connection : connections_) {
            short events = connection->phase == Connection::Phase::Answer ? 0 : POLLIN;
            if (connection->hasPending()) events |= POLLOUT;
            entries.push_back(pollfd{connection->fd, events, 0});
            if (connection->phase != Connection::Phase::Stream || connection->hasPending())
                nearest = std::min(nearest, connection->deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
        if (::poll(entries.data(), entries.size(), static_cast<int>(std::max<long long>(wait, 0) + 1)) < 0 &&
            errno != EINTR) {
            std::perror("serve: poll");
            return;
        }
        if (entries[0].revents != 0) hub_.drainWakes();
        latest_ = hub_.latest();
        // Connections accepted now are serviced from the next round on.
        const size_t known = connections_.size();
        for (size_t i = 0; i < listeners_.size(); ++i) {
            if (entries[1 + i].revents & POLLIN) acceptClients(listeners_[i]);
        }
        const auto now = Clock::now();
        for (size_t i = 0; i < known; ++i) {
            Connection& connection = *connections_[i];
            service(connection, entries[1 + listeners_.size() + i].revents);
            const bool waitsForImage = connection.phase == Connection::Phase::Stream && !connection.hasPending();
            if (!connection.closed && !waitsForImage && now > connection.deadline) connection.closed = true;
        }
        const auto gone = std::remove_if(connections_.begin(), connections_.end(), [this](const auto& connection) {
            if (connection->closed && connection->phase == Connection::Phase::Stream) --streamClients_;
            return connection->closed;
        });
        connections_.erase(gone, connections_.end());
    }
    connections_.clear();
    streamClients_ = 0;
}

void MjpegServer::acceptClients(int listener) {
    while (true) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (connections_.size() >= settings_.maxConnections) {
            static const char busy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            [[maybe_unused]] const ssize_t sent = ::send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        connections_.push_back(std::make_unique<Connection>(fd, Clock::now() + durationOf(settings_.requestSeconds)));
    }
}

void MjpegServer::service(Connection& connection, short events) {
    if (connection.closed) return;
    // A connection that was already waiting to send is tried again only
    // when it can take bytes: with many blocked clients, trying them all at
    // every turn would cost a system call each.
    const bool blocked = connection.hasPending() && !(events & POLLOUT);
    if (events & (POLLERR | POLLNVAL)) {
        connection.closed = true;
        return;
    }
    if (events & (POLLIN | POLLHUP)) {
        // A request is read up to its limit; whatever a client sends after
        // it is read and dropped, so that its end (or its hang-up) shows.
        char chunk[ReadChunkBytes];
        const ssize_t got = ::recv(connection.fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            connection.closed = true;
            return;
        }
        if (got > 0 && connection.phase == Connection::Phase::Request) {
            connection.received.append(chunk, static_cast<size_t>(got));
            answerRequest(connection);
        }
    }
    if (connection.phase == Connection::Phase::Stream && !connection.hasPending()) startNextImage(connection);
    if (connection.hasPending() && !blocked) sendPending(connection);
    if (connection.phase == Connection::Phase::Answer && !connection.hasPending()) {
        // Closing with unread bytes would reset the connection and could
        // cut the answer short: end our side and wait for the client's.
        ::shutdown(connection.fd, SHUT_WR);
        connection.phase = Connection::Phase::Linger;
        connection.deadline = Clock::now() + durationOf(LingerSeconds);
    }
}

void MjpegServer::answerRequest(Connection& connection) {
    const HttpHead head = parseHttpHead(connection.received);
    if (head.state == HttpHeadState::Incomplete) return;
    connection.received.clear();
    connection.received.shrink_to_fit();
    if (head.state == HttpHeadState::Bad) return answer(connection, head.status, "text/plain", httpStatusText(head.status));
    const HttpRequest& request = head.request;
    if (request.method != "GET") {
        return answer(connection, 405, "text/plain", httpStatusText(405), "Allow: GET\r\n");
    }
    const std::string& path = request.path;
    if (path == "/") return answer(connection, 200, "text/html; charset=utf-8", pageText());
    if (path == "/metrics") return answer(connection, 200, "text/plain; version=0.0.4; charset=utf-8", metricsText());
    if (path == "/health") {
        const bool up = hub_.counters.up;
        return answer(connection, up ? 200 : 503, "text/plain", up ? "source up\n" : "source down\n");
    }
    if (path == "/snapshot.jpg") {
        if (latest_ == nullptr) return answer(connection, 503, "text/plain", "no image yet\n");
        return answer(connection, 200, "image/jpeg", std::string(latest_->jpeg()));
    }
    if (path != "/stream.mjpg") return answer(connection, 404, "text/plain", httpStatusText(404));
    connection.phase = Connection::Phase::Stream;
    ::setsockopt(connection.fd, SOL_SOCKET, SO_SNDBUF, &StreamSendBufferBytes, sizeof StreamSendBufferBytes);
    connection.pending = std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=") +
                         ImageHub::Boundary + "\r\nCache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n";
    connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
    ++streamClients_;
    ++streamClientsTotal_;
}

void MjpegServer::answer(Connection& connection, int status, const char* type, const std::string& body,
                         const std::string& extraHeaders) {
    connection.phase = Connection::Phase::Answer;
    connection.pending = std::string("HTTP/1.1 ") + httpStatusText(status) + "\r\nContent-Type: " + type +
                         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
                         "Cache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n" + body;
    connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
}

void MjpegServer::startNextImage(Connection& connection) {
    if (latest_ == nullptr || latest_->number <= connection.lastImage) return;
    connection.image = latest_;
    connection.imageSent = 0;
    connection.lastImage = latest_->number;
    connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
}

void MjpegServer::sendPending(Connection& connection) {
    while (connection.hasPending()) {
        const bool header = connection.pendingSent < connection.pending.size();
        const std::string& bytes = header ? connection.pending : connection.image->part;
        size_t& sent = header ? connection.pendingSent : connection.imageSent;
        const ssize_t count = ::send(connection.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) connection.closed = true;
            return;
        }
        sent += static_cast<size_t>(count);
        bytesSent_ += static_cast<uint64_t>(count);
        connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
        if (!header && sent == bytes.size()) {
            ++imagesOut_;
            connection.image.reset();
            startNextImage(connection);
        }
    }
}

std::string MjpegServer::metricsText() const {
    const SourceCounters& source = hub_.counters;
    std::string text;
    metric(&text, "vorc_serve_frames_in_total", "counter", "Frames the source delivered.", source.framesIn);
    metric(&text, "vorc_serve_damaged_frames_total", "counter", "Frames that could not be transcoded.",
           source.damagedFrames);
    metric(&text, "vorc_serve_images_out_total", "counter", "Images sent whole to stream clients.", imagesOut_);
    metric(&text, "vorc_serve_clients", "gauge", "Stream clients connected now.", streamClients_);
    metric(&text, "vorc_serve_clients_total", "counter", "Stream clients since the start.", streamClientsTotal_);
    metric(&text, "vorc_serve_sent_bytes_total", "counter", "Bytes sent to all clients.", bytesSent_);
    metric(&text, "vorc_serve_source_reconnects_total", "counter", "Connections to the source after a loss.",
           source.reconnects);
    metric(&text, "vorc_serve_source_up", "gauge", "1 while the source delivers images, else 0.", source.up ? 1 : 0);
    metric(&text, "vorc_serve_picture_width", "gauge", "Width of the latest image in pixels.",
           latest_ ? static_cast<uint64_t>(latest_->width) : 0);
    metric(&text, "vorc_serve_picture_height", "gauge", "Height of the latest image in pixels.",
           latest_ ? static_cast<uint64_t>(latest_->height) : 0);
    return text;
}

std::string MjpegServer::pageText() const {
    std::string page = replaced(PageTemplate, "@SOURCE@", htmlEscaped(settings_.sourceName));
    page = replaced(page, "@SIZE@", latest_ ? std::to_string(latest_->width) + "x" + std::to_string(latest_->height) : "-");
    return replaced(page, "@FRAMES@", std::to_string(hub_.counters.framesIn.load()));
}
