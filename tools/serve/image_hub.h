// The meeting point of a camera's source thread and `vorc serve`'s web
// server thread: the source publishes every JPEG image here, and the server
// takes the latest one for each client. An image is published once, framed
// as a multipart part, and shared by every client, so a client costs one
// reference however far behind it is. The motion events found on the way
// meet here too, numbered, with the latest ones kept for clients that
// come back, and the motion state after the latest frame.
#ifndef VORC_TOOLS_SERVE_IMAGE_HUB_H
#define VORC_TOOLS_SERVE_IMAGE_HUB_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// One published image as a part of a multipart/x-mixed-replace stream: its
// head (boundary line, Content-Type and Content-Length, empty line), the
// JPEG, CR LF. The JPEG is the source's own buffer, taken over, and goes out
// with the head in one system call, never copied into a part.
struct ServedImage {
    uint64_t number = 0;  // 1 for the first image published, and so on
    int width = 0;
    int height = 0;
    std::string head;
    std::string jpeg;

    size_t partSize() const { return head.size() + jpeg.size() + 2; }
    // Sends the part from offset on to a non-blocking socket; returns what
    // send() would.
    ssize_t sendPart(int socket, size_t offset) const;
};

// What the source reports about itself, read by /metrics and /health.
struct SourceCounters {
    std::atomic<uint64_t> framesIn{0};
    std::atomic<uint64_t> damagedFrames{0};
    std::atomic<uint64_t> reconnects{0};
    std::atomic<bool> up{false};
    std::atomic<uint64_t> motionEvents{0};  // started
    std::atomic<int> zonesInMotion{0};      // with an event open now
};

// A motion event as JSON, numbered from 1 in the order of publishing.
struct HubEvent {
    uint64_t id = 0;
    std::string json;
};

class ImageHub {
public:
    static constexpr const char* Boundary = "vorcframe";
    static constexpr size_t KeptEvents = 100;

    // Throws std::system_error when the wake-up pipe cannot be made.
    ImageHub();
    ~ImageHub();
    ImageHub(const ImageHub&) = delete;
    ImageHub& operator=(const ImageHub&) = delete;

    // Called by the source thread for each complete image, which the hub
    // takes over; wakes the server.
    void publish(std::string&& jpeg, int width, int height);
    // Null until the first image.
    std::shared_ptr<const ServedImage> latest() const;

    // Called by the source thread after each measured frame with its
    // events, if any; wakes the server for events only.
    void publishMotion(const std::vector<std::string>& events, std::string state);
    // The kept events after the one numbered id, oldest first.
    std::vector<HubEvent> eventsAfter(uint64_t id) const;
    uint64_t lastEventId() const;
    // A JSON object; "{}" before the first frame.
    std::string motionState() const;

    // Readable after a publish or wake(); the server polls it.
    int wakeDescriptor() const { return wakePipe_[0]; }
    // Safe in a signal handler.
    void wake() const;
    void drainWakes() const;

    SourceCounters counters;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const ServedImage> latest_;
    uint64_t published_ = 0;
    std::deque<HubEvent> events_;  // the latest, at most KeptEvents
    uint64_t lastEventId_ = 0;
    std::string motionState_ = "{}";
    int wakePipe_[2];
};

#endif
