// The meeting point of `vorc serve`'s two threads: the source thread
// publishes every JPEG image here, and the web server thread takes the
// latest one for each client. An image is published once, framed as a
// multipart part, and shared by every client, so a client costs one
// reference however far behind it is.
#ifndef VORC_TOOLS_SERVE_IMAGE_HUB_H
#define VORC_TOOLS_SERVE_IMAGE_HUB_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct ServedImage {
    uint64_t number = 0;  // 1 for the first image published, and so on
    int width = 0;
    int height = 0;
    // The image as one part of a multipart/x-mixed-replace stream: boundary
    // line, Content-Type and Content-Length, empty line, JPEG, CR LF.
    std::string part;
    size_t jpegOffset = 0;

    std::string_view jpeg() const { return std::string_view(part).substr(jpegOffset, part.size() - jpegOffset - 2); }
};

// What the source reports about itself, read by /metrics and /health.
struct SourceCounters {
    std::atomic<uint64_t> framesIn{0};
    std::atomic<uint64_t> damagedFrames{0};
    std::atomic<uint64_t> reconnects{0};
    std::atomic<bool> up{false};
};

class ImageHub {
public:
    static constexpr const char* Boundary = "vorcframe";

    // Throws std::system_error when the wake-up pipe cannot be made.
    ImageHub();
    ~ImageHub();
    ImageHub(const ImageHub&) = delete;
    ImageHub& operator=(const ImageHub&) = delete;

    // Called by the source thread for each complete image; wakes the server.
    void publish(std::string_view jpeg, int width, int height);
    // Null until the first image.
    std::shared_ptr<const ServedImage> latest() const;

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
    int wakePipe_[2];
};

#endif
