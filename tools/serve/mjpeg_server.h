// The web server of `vorc serve`, which serves the images and motion events
// of one image hub per camera: one thread, non-blocking sockets and poll().
// Every stream client is sent the latest image of its camera whenever it
// has taken the previous one, so a slow client skips images instead of
// holding memory or delaying anyone, and a camera without images delays no
// other camera's clients; idle and half-open connections time out.
#ifndef VORC_TOOLS_SERVE_MJPEG_SERVER_H
#define VORC_TOOLS_SERVE_MJPEG_SERVER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/status_output.h"
#include "tools/serve/http_access.h"
#include "tools/serve/image_hub.h"

struct HttpRequest;

struct MjpegServerSettings {
    // A request must be complete this long after the connection opens.
    double requestSeconds = 10.0;
    // A client that takes no bytes for this long while some wait is dropped.
    double sendSeconds = 10.0;
    size_t maxConnections = 1000;
    // The numbers of clients are logged as they change, unless quiet.
    Verbosity verbosity = Verbosity::Normal;
    // The login, methods and header lines of every address.
    HttpAccessSettings access;
};

// One camera as the server serves it.
struct ServedCamera {
    // In its addresses, /cam/NAME/..., and its metrics' label camera="NAME".
    // Empty for the one source of the command line, served at /stream.mjpg
    // and so on, with metrics unlabelled.
    std::string name;
    std::string title;  // shown on its page
    ImageHub* hub = nullptr;
};

class MjpegServer {
public:
    // Takes the listening sockets, non-blocking, and closes them at the end.
    // Either one camera without a name, or cameras that all have one.
    MjpegServer(std::vector<int> listeners, std::vector<ServedCamera> cameras, MjpegServerSettings settings);
    ~MjpegServer();
    MjpegServer(const MjpegServer&) = delete;
    MjpegServer& operator=(const MjpegServer&) = delete;

    // Serves until stop is set (a hub wake-up makes the loop look at once).
    void run(const std::atomic<bool>& stop);

private:
    struct Connection;
    struct Camera;
    enum class Address;

    void acceptClients(int listener);
    void service(Connection& connection, short events);
    void answerRequest(Connection& connection);
    void answerCamera(Connection& connection, size_t camera, Address address, const HttpRequest& request);
    // The whole answer, or with HEAD its head only.
    void answer(Connection& connection, const HttpRequest& request, int status, const char* type,
                const std::string& body, const std::string& extraHeaders = std::string());
    // The head of an answer whose body follows as it comes (a stream or
    // events), or with HEAD the head only.
    void startOpenEnded(Connection& connection, const HttpRequest& request, const std::string& type,
                        const std::string& extraHeaders);
    void sendPending(Connection& connection);
    void startNextImage(Connection& connection);
    void takeEvents(Connection& connection, std::chrono::steady_clock::time_point now);
    void logClientCounts();
    std::string metricsText(std::optional<size_t> onlyCamera) const;
    bool single() const;

    std::vector<int> listeners_;
    std::vector<Camera> cameras_;
    const MjpegServerSettings settings_;
    const HttpAccess access_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

#endif
