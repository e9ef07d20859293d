// `vorc serve`'s web server: for each camera the page, the MJPEG stream,
// the snapshot, the health answer, the motion events and state; the grid of
// all cameras and the metrics; all from one poll() loop. A connection reads
// its request, meets the access rules that every address shares (methods,
// login, header lines), then either gets one answer and is closed, or becomes a
// stream client that is handed its camera's latest image each time it has
// taken the one before, or an event client that is sent each motion event
// as it comes.
#include "tools/serve/mjpeg_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "tools/cli/stopping.h"
#include "tools/net/http_request.h"
#include "tools/serve/camera_page.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int LongestPollMillis = 250;
constexpr double LingerSeconds = 2.0;
constexpr size_t ReadChunkBytes = 4096;
// The kernel's send buffer of a stream client: a few images, so that a
// client that stops reading is noticed within seconds, not after the
// megabytes of an automatically grown buffer.
constexpr int StreamSendBufferBytes = 256 * 1024;
// An event client that has had no event for this long is sent a comment,
// which keeps proxies from closing the connection and finds clients gone.
constexpr double KeepAliveSeconds = 15.0;
// An event client's unsent events beyond this mean it has stopped reading.
constexpr size_t MaxPendingEventBytes = 64 * 1024;
constexpr size_t NoCamera = SIZE_MAX;

// The number of a Last-Event-ID header, if the request has one.
std::optional<uint64_t> lastEventId(const HttpRequest& request) {
    for (const auto& [name, value] : request.headers) {
        if (name != "last-event-id" || value.empty() || value.size() > 19 ||
            value.find_first_not_of("0123456789") != std::string::npos)
            continue;
        return std::strtoull(value.c_str(), nullptr, 10);
    }
    return std::nullopt;
}

}  // namespace

// What a camera's address asks for: /cam/NAME/ADDRESS, or /ADDRESS for the
// one source of the command line.
enum class MjpegServer::Address { Page, Stream, Snapshot, Health, Metrics, Events, Motion };

struct MjpegServer::Camera {
    explicit Camera(ServedCamera served) : served(std::move(served)) {}

    ServedCamera served;
    std::shared_ptr<const ServedImage> latest;
    uint64_t lastEventId = 0;
    uint64_t imagesOut = 0;
    uint64_t bytesSent = 0;
    uint64_t streamClients = 0;
    uint64_t streamClientsTotal = 0;
    uint64_t eventClients = 0;
    // The numbers last logged.
    uint64_t loggedStreamClients = 0;
    uint64_t loggedEventClients = 0;
};

struct MjpegServer::Connection {
    enum class Phase { Request, Answer, Stream, Events, Linger };

    explicit Connection(int fd, Clock::time_point deadline) : fd(fd), deadline(deadline) {}
    ~Connection() { ::close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool hasPending() const { return pendingSent < pending.size() || (image != nullptr && imageSent < image->partSize()); }
    // A stream or event client with nothing to send waits for its camera,
    // however long that takes.
    bool waitsForCamera() const { return (phase == Phase::Stream || phase == Phase::Events) && !hasPending(); }

    const int fd;
    Phase phase = Phase::Request;
    bool closed = false;
    size_t camera = NoCamera;  // whose clients it counts among
    std::string received;
    std::string pending;  // an answer, the stream's header, or events
    size_t pendingSent = 0;
    std::shared_ptr<const ServedImage> image;  // the part being sent to a stream client
    size_t imageSent = 0;
    uint64_t lastImage = 0;
    uint64_t lastEvent = 0;
    Clock::time_point deadline;
    Clock::time_point keepAliveAt;  // an event client's next comment
};

MjpegServer::MjpegServer(std::vector<int> listeners, std::vector<ServedCamera> cameras, MjpegServerSettings settings)
    : listeners_(std::move(listeners)), settings_(std::move(settings)), access_(settings_.access) {
    for (ServedCamera& camera : cameras) cameras_.emplace_back(std::move(camera));
}

MjpegServer::~MjpegServer() {
    for (const int fd : listeners_) ::close(fd);
}

bool MjpegServer::single() const { return cameras_.size() == 1 && cameras_[0].served.name.empty(); }

void MjpegServer::run(const std::atomic<bool>& stop) {
    std::vector<pollfd> entries;
    const size_t firstListener = cameras_.size();
    const size_t firstConnection = firstListener + listeners_.size();
    while (!stop) {
        entries.clear();
        for (const Camera& camera : cameras_) entries.push_back(pollfd{camera.served.hub->wakeDescriptor(), POLLIN, 0});
        for (const int fd : listeners_) entries.push_back(pollfd{fd, POLLIN, 0});
        auto nearest = Clock::now() + std::chrono::milliseconds(LongestPollMillis);
        for (const auto& connection : connections_) {
            short events = connection->phase == Connection::Phase::Answer ? 0 : POLLIN;
            if (connection->hasPending()) events |= POLLOUT;
            entries.push_back(pollfd{connection->fd, events, 0});
            if (connection->phase == Connection::Phase::Events && !connection->hasPending()) {
                nearest = std::min(nearest, connection->keepAliveAt);
            } else if (!connection->waitsForCamera()) {
                nearest = std::min(nearest, connection->deadline);
            }
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
        if (::poll(entries.data(), entries.size(), static_cast<int>(std::max<long long>(wait, 0) + 1)) < 0 &&
            errno != EINTR) {
            std::perror("serve: poll");
            return;
        }
        for (size_t i = 0; i < cameras_.size(); ++i) {
            Camera& camera = cameras_[i];
            if (entries[i].revents != 0) camera.served.hub->drainWakes();
            camera.latest = camera.served.hub->latest();
            camera.lastEventId = camera.served.hub->lastEventId();
        }
        // Connections accepted now are serviced from the next round on.
        const size_t known = connections_.size();
        for (size_t i = 0; i < listeners_.size(); ++i) {
            if (entries[firstListener + i].revents & POLLIN) acceptClients(listeners_[i]);
        }
        const auto now = Clock::now();
        for (size_t i = 0; i < known; ++i) {
            Connection& connection = *connections_[i];
            service(connection, entries[firstConnection + i].revents);
            if (!connection.closed && !connection.waitsForCamera() && now > connection.deadline) connection.closed = true;
        }
        const auto gone = std::remove_if(connections_.begin(), connections_.end(), [this](const auto& connection) {
            if (connection->closed && connection->phase == Connection::Phase::Stream)
                --cameras_[connection->camera].streamClients;
            if (connection->closed && connection->phase == Connection::Phase::Events)
                --cameras_[connection->camera].eventClients;
            return connection->closed;
        });
        connections_.erase(gone, connections_.end());
        logClientCounts();
    }
    connections_.clear();
    for (Camera& camera : cameras_) camera.streamClients = camera.eventClients = 0;
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
    if (connection.phase == Connection::Phase::Events) takeEvents(connection, Clock::now());
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
    const HttpRequest& request = head.request;
    if (head.state == HttpHeadState::Bad) {
        return answer(connection, request, head.status, "text/plain", httpStatusText(head.status));
    }
    // The same rules for every address, a camera's too.
    if (const std::optional<HttpRefusal> refusal = access_.refusal(request)) {
        return answer(connection, request, refusal->status, "text/plain", httpStatusText(refusal->status),
                      refusal->headers);
    }
    const auto addressOf = [](std::string_view rest) -> std::optional<Address> {
        static const std::pair<const char*, Address> addresses[] = {
            {"", Address::Page},          {"stream.mjpg", Address::Stream}, {"snapshot.jpg", Address::Snapshot},
            {"health", Address::Health},  {"metrics", Address::Metrics},    {"events", Address::Events},
            {"motion.json", Address::Motion}};
        for (const auto& [text, address] : addresses) {
            if (rest == text) return address;
        }
        return std::nullopt;
    };
    const std::string& path = request.path;
    if (single()) {
        const std::optional<Address> address = path[0] == '/' ? addressOf(std::string_view(path).substr(1)) : std::nullopt;
        if (!address) return answer(connection, request, 404, "text/plain", httpStatusText(404));
        return answerCamera(connection, 0, *address, request);
    }
    if (path == "/") {
        std::vector<GridCamera> grid;
        for (const Camera& camera : cameras_)
            grid.push_back(GridCamera{camera.served.name, camera.served.title, camera.served.hub->counters.up});
        return answer(connection, request, 200, "text/html; charset=utf-8", gridPage(grid));
    }
    if (path == "/metrics")
        return answer(connection, request, 200, "text/plain; version=0.0.4; charset=utf-8", metricsText(std::nullopt));
    if (path == "/health") {
        std::string states;
        bool allUp = true;
        for (const Camera& camera : cameras_) {
            const bool up = camera.served.hub->counters.up;
            allUp = allUp && up;
            states += camera.served.name + (up ? " up\n" : " down\n");
        }
        return answer(connection, request, allUp ? 200 : 503, "text/plain", states);
    }
    static const std::string cameraPrefix = "/cam/";
    if (path.compare(0, cameraPrefix.size(), cameraPrefix) == 0) {
        const size_t slash = path.find('/', cameraPrefix.size());
        const std::string name = path.substr(cameraPrefix.size(), slash - cameraPrefix.size());
        const auto camera = std::find_if(cameras_.begin(), cameras_.end(),
                                         [&](const Camera& c) { return c.served.name == name; });
        if (camera != cameras_.end()) {
            // The page's relative addresses need the closing slash.
            if (slash == std::string::npos) {
                return answer(connection, request, 301, "text/plain", httpStatusText(301), "Location: " + name + "/\r\n");
            }
            if (const std::optional<Address> address = addressOf(std::string_view(path).substr(slash + 1)))
                return answerCamera(connection, static_cast<size_t>(camera - cameras_.begin()), *address, request);
        }
    }
    return answer(connection, request, 404, "text/plain", httpStatusText(404));
}

void MjpegServer::answerCamera(Connection& connection, size_t index, Address address, const HttpRequest& request) {
    Camera& camera = cameras_[index];
    connection.camera = index;
    switch (address) {
        case Address::Page: {
            const std::string size =
                camera.latest ? std::to_string(camera.latest->width) + "x" + std::to_string(camera.latest->height) : "-";
            return answer(connection, request, 200, "text/html; charset=utf-8",
                          cameraPage(camera.served.title, "", size, camera.served.hub->counters.framesIn.load()));
        }
        case Address::Metrics:
            return answer(connection, request, 200, "text/plain; version=0.0.4; charset=utf-8",
                          metricsText(single() ? std::nullopt : std::optional<size_t>(index)));
        case Address::Health: {
            const bool up = camera.served.hub->counters.up;
            return answer(connection, request, up ? 200 : 503, "text/plain", up ? "source up\n" : "source down\n");
        }
        case Address::Snapshot:
            if (camera.latest == nullptr) return answer(connection, request, 503, "text/plain", "no image yet\n");
            return answer(connection, request, 200, "image/jpeg", camera.latest->jpeg);
        case Address::Motion: return answer(connection, request, 200, "application/json", camera.served.hub->motionState() + "\n");
        case Address::Stream:
            startOpenEnded(connection, request, std::string("multipart/x-mixed-replace;boundary=") + ImageHub::Boundary,
                           "");
            if (HttpAccess::headOnly(request)) return;
            connection.phase = Connection::Phase::Stream;
            ::setsockopt(connection.fd, SOL_SOCKET, SO_SNDBUF, &StreamSendBufferBytes, sizeof StreamSendBufferBytes);
            ++camera.streamClients;
            ++camera.streamClientsTotal;
            return;
        case Address::Events:
            // A client that comes back says which event it saw last; a new
            // one, or one that saw a server before this one, hears of events
            // from now on.
            // A proxy must pass each event on at once.
            startOpenEnded(connection, request, "text/event-stream", "X-Accel-Buffering: no\r\n");
            if (HttpAccess::headOnly(request)) return;
            connection.phase = Connection::Phase::Events;
            connection.lastEvent = std::min(lastEventId(request).value_or(camera.lastEventId), camera.lastEventId);
            connection.keepAliveAt = Clock::now() + durationOf(KeepAliveSeconds);
            ++camera.eventClients;
            return;
    }
}

void MjpegServer::answer(Connection& connection, const HttpRequest& request, int status, const char* type,
                         const std::string& body, const std::string& extraHeaders) {
    connection.phase = Connection::Phase::Answer;
    // A 204 has neither body nor length.
    const std::string content = status == 204 ? std::string()
                                              : std::string("Content-Type: ") + type + "\r\nContent-Length: " +
                                                    std::to_string(body.size()) + "\r\n";
    connection.pending = std::string("HTTP/1.1 ") + httpStatusText(status) + "\r\n" + content + extraHeaders +
                         access_.answerHeaders(request) + "Connection: close\r\n\r\n";
    if (status != 204 && !HttpAccess::headOnly(request)) connection.pending += body;
    connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
}

void MjpegServer::startOpenEnded(Connection& connection, const HttpRequest& request, const std::string& type,
                                 const std::string& extraHeaders) {
    connection.phase = Connection::Phase::Answer;
    connection.pending = "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\n" + extraHeaders +
                         access_.answerHeaders(request) + "Connection: close\r\n\r\n";
    connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
}

void MjpegServer::startNextImage(Connection& connection) {
    const std::shared_ptr<const ServedImage>& latest = cameras_[connection.camera].latest;
    if (latest == nullptr || latest->number <= connection.lastImage) return;
    connection.image = latest;
    connection.imageSent = 0;
    connection.lastImage = latest->number;
    connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
}

void MjpegServer::takeEvents(Connection& connection, Clock::time_point now) {
    const Camera& camera = cameras_[connection.camera];
    std::string events;
    if (camera.lastEventId > connection.lastEvent) {
        for (const HubEvent& event : camera.served.hub->eventsAfter(connection.lastEvent)) {
            events += "id: " + std::to_string(event.id) + "\ndata: " + event.json + "\n\n";
            connection.lastEvent = event.id;
        }
    } else if (!connection.hasPending() && now >= connection.keepAliveAt) {
        events = ": keep-alive\n\n";
    }
    if (events.empty()) return;
    if (connection.pendingSent == connection.pending.size()) {
        connection.pending.clear();
        connection.pendingSent = 0;
    }
    if (!connection.hasPending()) connection.deadline = now + durationOf(settings_.sendSeconds);
    connection.pending += events;
    connection.keepAliveAt = now + durationOf(KeepAliveSeconds);
    if (connection.pending.size() - connection.pendingSent > MaxPendingEventBytes) connection.closed = true;
}

void MjpegServer::sendPending(Connection& connection) {
    while (connection.hasPending()) {
        const bool header = connection.pendingSent < connection.pending.size();
        size_t& sent = header ? connection.pendingSent : connection.imageSent;
        const ssize_t count = header ? ::send(connection.fd, connection.pending.data() + sent,
                                              connection.pending.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT)
                                     : connection.image->sendPart(connection.fd, sent);
        if (count < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) connection.closed = true;
            return;
        }
        sent += static_cast<size_t>(count);
        if (connection.camera != NoCamera) cameras_[connection.camera].bytesSent += static_cast<uint64_t>(count);
        connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
        if (!header && sent == connection.image->partSize()) {
            ++cameras_[connection.camera].imagesOut;
            connection.image.reset();
            startNextImage(connection);
        }
    }
}

void MjpegServer::logClientCounts() {
    for (Camera& camera : cameras_) {
        if (camera.streamClients == camera.loggedStreamClients && camera.eventClients == camera.loggedEventClients)
            continue;
        camera.loggedStreamClients = camera.streamClients;
        camera.loggedEventClients = camera.eventClients;
        const std::string who = single() ? "" : "camera " + camera.served.name + ": ";
        logLine(settings_.verbosity, Verbosity::Normal, "serve: %s%llu stream client%s, %llu event client%s\n",
                who.c_str(), static_cast<unsigned long long>(camera.streamClients),
                camera.streamClients == 1 ? "" : "s", static_cast<unsigned long long>(camera.eventClients),
                camera.eventClients == 1 ? "" : "s");
    }
}

std::string MjpegServer::metricsText(std::optional<size_t> onlyCamera) const {
    struct Metric {
        const char* name;
        const char* type;
        const char* help;
        uint64_t (*value)(const Camera&);
    };
    static const Metric metrics[] = {
        {"vorc_serve_frames_in_total", "counter", "Frames the source delivered.",
         [](const Camera& c) -> uint64_t { return c.served.hub->counters.framesIn; }},
        {"vorc_serve_damaged_frames_total", "counter", "Frames that could not be transcoded.",
         [](const Camera& c) -> uint64_t { return c.served.hub->counters.damagedFrames; }},
        {"vorc_serve_images_out_total", "counter", "Images sent whole to stream clients.",
         [](const Camera& c) { return c.imagesOut; }},
        {"vorc_serve_clients", "gauge", "Stream clients connected now.", [](const Camera& c) { return c.streamClients; }},
        {"vorc_serve_clients_total", "counter", "Stream clients since the start.",
         [](const Camera& c) { return c.streamClientsTotal; }},
        {"vorc_serve_event_clients", "gauge", "Motion event clients connected now.",
         [](const Camera& c) { return c.eventClients; }},
        {"vorc_serve_sent_bytes_total", "counter", "Bytes sent to the clients of the camera's addresses.",
         [](const Camera& c) { return c.bytesSent; }},
        {"vorc_serve_source_reconnects_total", "counter", "Connections to the source after a loss.",
         [](const Camera& c) -> uint64_t { return c.served.hub->counters.reconnects; }},
        {"vorc_serve_source_up", "gauge", "1 while the source delivers images, else 0.",
         [](const Camera& c) -> uint64_t { return c.served.hub->counters.up ? 1 : 0; }},
        {"vorc_serve_picture_width", "gauge", "Width of the latest image in pixels.",
         [](const Camera& c) -> uint64_t { return c.latest ? static_cast<uint64_t>(c.latest->width) : 0; }},
        {"vorc_serve_picture_height", "gauge", "Height of the latest image in pixels.",
         [](const Camera& c) -> uint64_t { return c.latest ? static_cast<uint64_t>(c.latest->height) : 0; }},
        {"vorc_serve_motion_events_total", "counter", "Motion events started.",
         [](const Camera& c) -> uint64_t { return c.served.hub->counters.motionEvents; }},
        {"vorc_serve_zones_in_motion", "gauge", "Motion zones with an event going on.",
         [](const Camera& c) -> uint64_t { return static_cast<uint64_t>(c.served.hub->counters.zonesInMotion.load()); }},
    };
    std::string text;
    for (const Metric& metric : metrics) {
        text += std::string("# HELP ") + metric.name + " " + metric.help + "\n# TYPE " + metric.name + " " + metric.type +
                "\n";
        for (size_t i = 0; i < cameras_.size(); ++i) {
            if (onlyCamera && *onlyCamera != i) continue;
            const Camera& camera = cameras_[i];
            const std::string label = single() ? "" : "{camera=\"" + camera.served.name + "\"}";
            text += metric.name + label + " " + std::to_string(metric.value(camera)) + "\n";
        }
    }
    return text;
}
