// The web server of `vorc serve`, which serves the images of the image hub:
// one thread, non-blocking sockets and poll().
// Every stream client is sent the latest image whenever it has taken the
// previous one, so a slow client skips images instead of holding memory or
// delaying anyone; idle and half-open connections time out.
#ifndef VORC_TOOLS_SERVE_MJPEG_SERVER_H
#define VORC_TOOLS_SERVE_MJPEG_SERVER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/serve/image_hub.h"

struct MjpegServerSettings {
    // A request must be complete this long after the connection opens.
    double requestSeconds = 10.0;
    // A client that takes no bytes for this long while some wait is dropped.
    double sendSeconds = 10.0;
    size_t maxConnections = 1000;
    std::string sourceName;  // shown on the page
};

class MjpegServer {
public:
    // Takes the listening sockets, non-blocking, and closes them at the end.
    MjpegServer(std::vector<int> listeners, ImageHub& hub, MjpegServerSettings settings);
    ~MjpegServer();
    MjpegServer(const MjpegServer&) = delete;
    MjpegServer& operator=(const MjpegServer&) = delete;

    // Serves until stop is set (a hub wake-up makes the loop look at once).
    void run(const std::atomic<bool>& stop);

private:
    struct Connection;

    void acceptClients(int listener);
    void service(Connection& connection, short events);
    void answerRequest(Connection& connection);
    void answer(Connection& connection, int status, const char* type, const std::string& body,
                const std::string& extraHeaders = std::string());
    void sendPending(Connection& connection);
    void startNextImage(Connection& connection);
    std::string metricsText() const;
    std::string pageText() const;

    std::vector<int> listeners_;
    ImageHub& hub_;
    const MjpegServerSettings settings_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::shared_ptr<const ServedImage> latest_;
    uint64_t imagesOut_ = 0;
    uint64_t bytesSent_ = 0;
    uint64_t streamClients_ = 0;
    uint64_t streamClientsTotal_ = 0;
};

#endif
