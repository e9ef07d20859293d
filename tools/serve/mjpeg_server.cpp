// `vorc serve`'s web server: for each camera the page, the MJPEG stream,
// the snapshot, the health answer, the motion events and state; the grid of
// all cameras and the metrics; all from one poll() loop. A connection reads
// its request, then either gets one answer and is closed, or becomes a
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

// A camera's page. Every address in it is relative, so that it works behind
// a reverse proxy under any path; with ?outline (or the box ticked), the
// tiles of the latest frame that changed are outlined over the picture.
const char* const PageTemplate = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>vorc serve: @TITLE@</title>
<style>
body { margin: 0; background: #202020; color: #e0e0e0; font: 14px sans-serif; }
#view { position: relative; display: inline-block; }
#picture { display: block; }
#outline { position: absolute; left: 0; top: 0; pointer-events: none; display: none; }
p { margin: 8px; }
</style>
</head>
<body>
<div id="view"><img id="picture" src="stream.mjpg" alt="live picture"><canvas id="outline"></canvas></div>
<p>@TITLE@: <span id="size">@SIZE@</span>, <span id="fps">-</span> frames/s,
<span id="frames">@FRAMES@</span> frames so far<span id="down"></span>
<label><input type="checkbox" id="motion"> outline motion</label><span id="moving"></span></p>
<script>
let previous = null;
async function refresh() {
  try {
    const text = await (await fetch('metrics', { cache: 'no-store' })).text();
    const value = name => Number((text.match(new RegExp('^' + name + '(?:\\{[^}]*\\})? (\\S+)$', 'm')) || [0, 0])[1]);
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

const picture = document.getElementById('picture');
const outline = document.getElementById('outline');
const motionBox = document.getElementById('motion');
motionBox.checked = new URLSearchParams(location.search).has('outline');
async function drawMotion() {
  if (!motionBox.checked) {
    outline.style.display = 'none';
    document.getElementById('moving').textContent = '';
    return;
  }
  try {
    const state = await (await fetch('motion.json', { cache: 'no-store' })).json();
    outline.width = picture.clientWidth;
    outline.height = picture.clientHeight;
    outline.style.display = 'block';
    const context = outline.getContext('2d');
    context.clearRect(0, 0, outline.width, outline.height);
    const moving = (state.zones || []).filter(zone => zone.in_event).map(zone => zone.name);
    document.getElementById('moving').textContent = moving.length ? ' motion in ' + moving.join(', ') : '';
    if (!state.width || !state.changed_tiles) return;
    const scaleX = outline.width / state.width, scaleY = outline.height / state.height;
    context.strokeStyle = '#ff3030';
    context.lineWidth = 2;
    for (let tile = 0; tile < state.columns * state.rows; ++tile) {
      const byte = parseInt(state.changed_tiles.substr((tile >> 3) * 2, 2), 16);
      if (!(byte & (0x80 >> (tile & 7)))) continue;
      const x = (tile % state.columns) * 16, y = Math.floor(tile / state.columns) * 16;
      context.strokeRect(x * scaleX + 1, y * scaleY + 1, 16 * scaleX - 2, 16 * scaleY - 2);
    }
  } catch (error) {
  }
}
setInterval(drawMotion, 200);
</script>
</body>
</html>
)";

// The grid of every camera: its latest image, renewed about once a second
// (a browser opens only a few connections to one server, fewer than the
// streams of a grid would hold), its state, and a link to its page.
const char* const GridTemplate = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vorc serve: @COUNT@ cameras</title>
<style>
body { margin: 0; background: #202020; color: #e0e0e0; font: 14px sans-serif; }
#grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(100%, 320px), 1fr)); gap: 8px; padding: 8px; }
.camera { color: inherit; text-decoration: none; }
.camera img { display: block; width: 100%; background: #000; }
.camera p { margin: 4px 0; }
.down { color: #ff8080; }
</style>
</head>
<body>
<div id="grid">
@CAMERAS@</div>
<script>
async function refresh() {
  let text = '';
  try {
    text = await (await fetch('metrics', { cache: 'no-store' })).text();
  } catch (error) {
  }
  for (const camera of document.querySelectorAll('.camera')) {
    const name = camera.dataset.name;
    const up = text.match(new RegExp('^vorc_serve_source_up\\{camera="' + name + '"\\} (\\S+)$', 'm'));
    const state = camera.querySelector('.state');
    if (up) {
      state.textContent = up[1] === '1' ? 'up' : 'down';
      state.className = 'state' + (up[1] === '1' ? '' : ' down');
    }
    const next = new Image();
    next.onload = () => { camera.querySelector('img').src = next.src; };
    next.src = 'cam/' + name + '/snapshot.jpg?' + Date.now();
  }
}
setInterval(refresh, 1000);
</script>
</body>
</html>
)";

const char* const GridCameraTemplate = R"(<a class="camera" href="cam/@NAME@/" data-name="@NAME@"><img src="cam/@NAME@/snapshot.jpg" alt="@TITLE@">
<p>@TITLE@: <span class="state@DOWN@">@STATE@</span></p></a>
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

    bool hasPending() const { return pendingSent < pending.size() || (image != nullptr && imageSent < image->part.size()); }
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
    : listeners_(std::move(listeners)), settings_(std::move(settings)) {
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
    if (head.state == HttpHeadState::Bad) return answer(connection, head.status, "text/plain", httpStatusText(head.status));
    const HttpRequest& request = head.request;
    if (request.method != "GET") {
        return answer(connection, 405, "text/plain", httpStatusText(405), "Allow: GET\r\n");
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
        if (!address) return answer(connection, 404, "text/plain", httpStatusText(404));
        return answerCamera(connection, 0, *address, request);
    }
    if (path == "/") return answer(connection, 200, "text/html; charset=utf-8", gridText());
    if (path == "/metrics")
        return answer(connection, 200, "text/plain; version=0.0.4; charset=utf-8", metricsText(std::nullopt));
    if (path == "/health") {
        std::string states;
        bool allUp = true;
        for (const Camera& camera : cameras_) {
            const bool up = camera.served.hub->counters.up;
            allUp = allUp && up;
            states += camera.served.name + (up ? " up\n" : " down\n");
        }
        return answer(connection, allUp ? 200 : 503, "text/plain", states);
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
                return answer(connection, 301, "text/plain", httpStatusText(301), "Location: " + name + "/\r\n");
            }
            if (const std::optional<Address> address = addressOf(std::string_view(path).substr(slash + 1)))
                return answerCamera(connection, static_cast<size_t>(camera - cameras_.begin()), *address, request);
        }
    }
    return answer(connection, 404, "text/plain", httpStatusText(404));
}

void MjpegServer::answerCamera(Connection& connection, size_t index, Address address, const HttpRequest& request) {
    Camera& camera = cameras_[index];
    connection.camera = index;
    switch (address) {
        case Address::Page: return answer(connection, 200, "text/html; charset=utf-8", pageText(camera));
        case Address::Metrics:
            return answer(connection, 200, "text/plain; version=0.0.4; charset=utf-8",
                          metricsText(single() ? std::nullopt : std::optional<size_t>(index)));
        case Address::Health: {
            const bool up = camera.served.hub->counters.up;
            return answer(connection, up ? 200 : 503, "text/plain", up ? "source up\n" : "source down\n");
        }
        case Address::Snapshot:
            if (camera.latest == nullptr) return answer(connection, 503, "text/plain", "no image yet\n");
            return answer(connection, 200, "image/jpeg", std::string(camera.latest->jpeg()));
        case Address::Motion: return answer(connection, 200, "application/json", camera.served.hub->motionState() + "\n");
        case Address::Stream:
            connection.phase = Connection::Phase::Stream;
            ::setsockopt(connection.fd, SOL_SOCKET, SO_SNDBUF, &StreamSendBufferBytes, sizeof StreamSendBufferBytes);
            connection.pending = std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=") +
                                 ImageHub::Boundary + "\r\nCache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n";
            connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
            ++camera.streamClients;
            ++camera.streamClientsTotal;
            return;
        case Address::Events:
            // A client that comes back says which event it saw last; a new
            // one, or one that saw a server before this one, hears of events
            // from now on.
            connection.phase = Connection::Phase::Events;
            connection.lastEvent = std::min(lastEventId(request).value_or(camera.lastEventId), camera.lastEventId);
            connection.pending =
                "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache, no-store\r\n"
                "X-Accel-Buffering: no\r\nConnection: close\r\n\r\n";
            connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
            connection.keepAliveAt = Clock::now() + durationOf(KeepAliveSeconds);
            ++camera.eventClients;
            return;
    }
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
        const std::string& bytes = header ? connection.pending : connection.image->part;
        size_t& sent = header ? connection.pendingSent : connection.imageSent;
        const ssize_t count = ::send(connection.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) connection.closed = true;
            return;
        }
        sent += static_cast<size_t>(count);
        if (connection.camera != NoCamera) cameras_[connection.camera].bytesSent += static_cast<uint64_t>(count);
        connection.deadline = Clock::now() + durationOf(settings_.sendSeconds);
        if (!header && sent == bytes.size()) {
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

std::string MjpegServer::pageText(const Camera& camera) const {
    std::string page = replaced(PageTemplate, "@TITLE@", htmlEscaped(camera.served.title));
    page = replaced(page, "@SIZE@",
                    camera.latest ? std::to_string(camera.latest->width) + "x" + std::to_string(camera.latest->height) : "-");
    return replaced(page, "@FRAMES@", std::to_string(camera.served.hub->counters.framesIn.load()));
}

std::string MjpegServer::gridText() const {
    std::string cameras;
    for (const Camera& camera : cameras_) {
        const bool up = camera.served.hub->counters.up;
        std::string entry = replaced(GridCameraTemplate, "@NAME@", camera.served.name);
        entry = replaced(entry, "@TITLE@", htmlEscaped(camera.served.title));
        entry = replaced(entry, "@DOWN@", up ? "" : " down");
        cameras += replaced(entry, "@STATE@", up ? "up" : "down");
    }
    return replaced(replaced(GridTemplate, "@COUNT@", std::to_string(cameras_.size())), "@CAMERAS@", cameras);
}
