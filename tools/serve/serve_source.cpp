// The source thread of `vorc serve`. One chain at a time, with the JPEG
// transcoder, a back end that only paces a file and a JPEG receiver that
// publishes each image into the hub; the chain counts the frames and hands
// each one's tile bitmap to the motion feed. A camera gets a fresh chain per
// connection, since its stream starts again; its motion events are ended
// when it drops, and its frames numbered on.
#include "tools/serve/serve_source.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/cli/stopping.h"
#include "tools/motion/motion_feed.h"
#include "tools/net/camera_source.h"
#include "vorc/chain/chain.h"
#include "vorc/core/exceptions.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PieceSize = 16384;
constexpr int PollSliceMillis = 50;
constexpr double FirstRetrySeconds = 0.5;
constexpr double LongestRetrySeconds = 8.0;

struct PictureSize {
    int width = 0;
    int height = 0;
};

// Notes the picture size; with a rate, holds each frame back until its
// time, counted from the first one.
class Pacer : public vorcTesraDecoderBackEnd {
public:
    Pacer(PictureSize& size, double fps, const std::atomic<bool>& stop) : size_(size), fps_(fps), stop_(stop) {}

    void videoResolutionChanged(int width, int height) override {
        size_.width = width;
        size_.height = height;
    }
    void errorEncountered() override {}
    void frameComplete() override {
        if (fps_ <= 0.0) return;
        const auto now = Clock::now();
        if (paced_ == 0 || now > start_ + durationOf(static_cast<double>(paced_) / fps_ + 1.0)) {
            // First frame, or far behind (a stopped debugger, a busy machine):
            // start counting again rather than rush to catch up.
            start_ = now;
            paced_ = 0;
        }
        sleepUntil(start_ + durationOf(static_cast<double>(++paced_) / fps_), stop_);
    }
    // The transcoder never asks for pixels.
    void provideVideoTilePixelTarget(int, int, unsigned int** pixelTarget, int* rowPad) override {
        *pixelTarget = nullptr;
        *rowPad = 0;
    }
    void videoTileReceived() override {}

private:
    PictureSize& size_;
    const double fps_;
    const std::atomic<bool>& stop_;
    Clock::time_point start_;
    long paced_ = 0;
};

// Collects each image the transcoder writes and hands it to the hub whole.
// The next image's buffer is made a little larger than the last image at
// once, so that it is not copied as it grows.
class PublishingReceiver : public vorcJPEGReceiver {
public:
    PublishingReceiver(ImageHub& hub, const PictureSize& size) : hub_(hub), size_(size) {}
    void beginFrame() override {
        bytes_.clear();
        bytes_.reserve(lastSize_ + lastSize_ / 8);
    }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        bytes_.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(std::max(count, 0)));
    }
    void endFrame() override {
        lastSize_ = bytes_.size();
        hub_.publish(std::move(bytes_), size_.width, size_.height);
        bytes_ = std::string();
        hub_.counters.up = true;
    }

private:
    ImageHub& hub_;
    const PictureSize& size_;
    std::string bytes_;
    size_t lastSize_ = 0;
};

// The file's stream again and again.
class LoopingSource : public vorcStreamSource {
public:
    explicit LoopingSource(std::vector<unsigned char> stream) : stream_(std::move(stream)) {}
    int fetchBytes(unsigned char* buffer, int maxBytes) override {
        if (next_ == stream_.size()) next_ = 0;
        const size_t count = std::min(stream_.size() - next_, static_cast<size_t>(std::max(maxBytes, 0)));
        std::memcpy(buffer, stream_.data() + next_, count);
        next_ += count;
        return static_cast<int>(count);
    }
    bool stillUp() override { return true; }

private:
    const std::vector<unsigned char> stream_;
    size_t next_ = 0;
};

std::string boxJson(const vorc::PixelRect& box) {
    char text[96];
    std::snprintf(text, sizeof text, "{\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d}", box.x, box.y, box.width,
                  box.height);
    return text;
}

// /motion.json: the frame, how it was used, each zone's motion in it and,
// for a measured frame, its tile bitmap in hexadecimal as the stream has it.
std::string motionStateJson(const MotionFeed& feed, const vorc::MotionFrame& frame, const uint8_t* tileBitmap) {
    static const char* const uses[] = {"measured", "full", "damaged"};
    const int columns = (feed.width() + vorc::MotionTileSize - 1) / vorc::MotionTileSize;
    const int rows = (feed.height() + vorc::MotionTileSize - 1) / vorc::MotionTileSize;
    char head[256];
    std::snprintf(head, sizeof head,
                  "{\"frame\":%lld,\"time\":%.3f,\"use\":\"%s\",\"width\":%d,\"height\":%d,\"columns\":%d,\"rows\":%d,"
                  "\"zones\":[",
                  static_cast<long long>(frame.index), frame.time, uses[static_cast<int>(frame.use)], feed.width(),
                  feed.height(), columns, rows);
    std::string json = head;
    const std::vector<vorc::Zone>& zones = feed.detector().settings().zones;
    for (size_t i = 0; i < frame.zones.size(); ++i) {
        const vorc::ZoneMotion& zone = frame.zones[i];
        char numbers[192];
        std::snprintf(numbers, sizeof numbers,
                      "\",\"share\":%.4f,\"changed_tiles\":%d,\"moving_tiles\":%d,\"moving\":%s,\"in_event\":%s,\"box\":",
                      zone.share, zone.changedTiles, zone.movingTiles, zone.moving ? "true" : "false",
                      zone.inEvent ? "true" : "false");
        json += std::string(i == 0 ? "" : ",") + "{\"name\":\"" + jsonEscaped(zones[i].name) + numbers +
                boxJson(vorc::pixelsOfTiles(zone.box, feed.width(), feed.height())) + "}";
    }
    json += "],\"changed_tiles\":\"";
    if (frame.use == vorc::FrameUse::Measured && tileBitmap != nullptr) {
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < (columns * rows + 7) / 8; ++i) {
            json += digits[tileBitmap[i] >> 4];
            json += digits[tileBitmap[i] & 15];
        }
    }
    return json + "\"}";
}

// Publishes the events and the state of every measured frame, and counts.
void publishMotion(ImageHub& hub, const MotionFeed& feed, const std::vector<vorc::MotionEvent>& events,
                   std::string state) {
    std::vector<std::string> texts;
    for (const vorc::MotionEvent& event : events) {
        texts.push_back(feed.eventJson(event));
        if (event.kind == vorc::MotionEvent::Kind::Start) ++hub.counters.motionEvents;
        hub.counters.zonesInMotion += event.kind == vorc::MotionEvent::Kind::Start ? 1 : -1;
    }
    hub.publishMotion(texts, std::move(state));
}

// A damaged frame is counted and skipped: the server must outlive it.
std::unique_ptr<vorc::Chain> buildChain(std::unique_ptr<vorcStreamSource> source, ImageHub& hub, MotionFeed& motion,
                                        PictureSize& size, double pace, const std::atomic<bool>& stop) {
    auto chain = std::make_unique<vorc::Chain>(
        std::move(source),
        std::make_unique<vorcFramewiseTesraScanToJPEGConverterSoftwareOnly>(new PublishingReceiver(hub, size)),
        std::make_unique<Pacer>(size, pace, stop), vorc::ChainOptions{vorc::StreamErrorPolicy::SkipFrame});
    chain->observeFrames([&hub, &motion](const vorc::FrameInfo& frame, const uint8_t* tileBitmap) {
        ++hub.counters.framesIn;
        if (frame.damaged) ++hub.counters.damagedFrames;
        if (const vorc::MotionFrame* measured = motion.measure(frame, tileBitmap))
            publishMotion(hub, motion, measured->events, motionStateJson(motion, *measured, tileBitmap));
    });
    return chain;
}

void runFile(const ServeSource& settings, std::vector<unsigned char> stream, ImageHub& hub, MotionFeed& motion,
             const std::atomic<bool>& stop) {
    PictureSize size;
    const std::unique_ptr<vorc::Chain> chain =
        buildChain(std::make_unique<LoopingSource>(std::move(stream)), hub, motion, size, settings.fps, stop);
    while (!stop) chain->decode(PieceSize);
}

// Runs one connection's chain until the camera closes, falls silent, fails
// its answer or stop is set; true when it delivered at least one image. The
// first image says that the camera is up again, which is logged once.
bool runCameraConnection(std::unique_ptr<vorc::CheckedCameraStream> camera, const ServeSource& settings,
                         const std::string& name, ImageHub& hub, MotionFeed& motion, const std::atomic<bool>& stop,
                         bool* seenBefore, std::string* ending) {
    PictureSize size;
    const uint64_t imagesBefore = hub.latest() ? hub.latest()->number : 0;
    std::string failure;
    bool delivered = false;
    {
        auto source = std::make_unique<ReadAheadSource>(std::move(camera), &failure);
        const ReadAheadSource& reader = *source;
        const std::unique_ptr<vorc::Chain> chain = buildChain(std::move(source), hub, motion, size, 0.0, stop);
        while (!stop) {
            if (!delivered && hub.latest() && hub.latest()->number > imagesBefore) {
                delivered = true;
                if (*seenBefore) ++hub.counters.reconnects;
                *seenBefore = true;
                logLine(settings.verbosity, Verbosity::Normal, "serve: camera %s: connected\n", name.c_str());
            }
            if (chain->decode(PieceSize) > 0) continue;
            if (!chain->sourceStillUp()) break;
            reader.waitForData(PollSliceMillis);
        }
    }
    // Whether the motion went on while the camera was away is unknown.
    publishMotion(hub, motion, motion.finish(), hub.motionState());
    *ending = stop ? "stopping" : failure.empty() ? "the camera closed the connection" : failure;
    return delivered;
}

// Reconnects with pauses that grow while the camera cannot be reached or
// delivers no image, whatever the reason; an outage is logged once, when it
// begins, and ends with the next image.
void runCamera(const ServeSource& settings, ImageHub& hub, MotionFeed& motion, const std::atomic<bool>& stop) {
    const std::string name = !settings.logName.empty()
                                 ? settings.logName
                                 : cameraAddressText(vorc::HostAndPort{settings.cameraHost, settings.cameraPort, {}});
    const auto timeout = timeoutOf(settings.timeoutSeconds);
    double retrySeconds = FirstRetrySeconds;
    bool seenBefore = false;
    bool inOutage = false;
    const auto retryLater = [&](const std::string& problem) {
        hub.counters.up = false;
        if (!inOutage) logLine(settings.verbosity, Verbosity::Normal, "serve: camera %s: %s, retrying\n", name.c_str(), problem.c_str());
        inOutage = true;
        sleepUntil(Clock::now() + durationOf(retrySeconds), stop);
        retrySeconds = std::min(retrySeconds * 2.0, LongestRetrySeconds);
    };
    while (!stop) {
        std::unique_ptr<vorc::CheckedCameraStream> camera;
        try {
            camera = std::make_unique<vorc::CheckedCameraStream>(settings.cameraHost, settings.cameraPort,
                                                                 static_cast<float>(settings.fps),
                                                                 vorc::LiveStreamTimeouts{timeout, timeout}, vorc::ConnectInterruption(),
                                                                 settings.cameraLogin);
        } catch (const vorcException& failure) {
            retryLater(failure.what());
            continue;
        }
        std::string ending;
        if (runCameraConnection(std::move(camera), settings, name, hub, motion, stop, &seenBefore, &ending)) {
            // The camera was up: a new outage begins, retried soon.
            inOutage = false;
            retrySeconds = FirstRetrySeconds;
        }
        if (!stop) retryLater(ending);
    }
}

}  // namespace

void runServeSource(const ServeSource& source, std::vector<unsigned char> stream, ImageHub& hub,
                    const std::atomic<bool>& stop) {
    const bool paced = !source.file.empty() && source.fps > 0.0;
    MotionFeed motion(source.motion, paced ? source.fps : 0.0);
    if (source.file.empty()) {
        runCamera(source, hub, motion, stop);
    } else {
        runFile(source, std::move(stream), hub, motion, stop);
    }
}
