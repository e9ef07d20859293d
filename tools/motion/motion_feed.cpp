// The detector on the chain's frames, and its events as JSON.
#include "tools/motion/motion_feed.h"

#include <cstdio>

std::string jsonEscaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '"' || c == '\\') escaped += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) escaped += c;
    }
    return escaped;
}

MotionFeed::MotionFeed(vorc::MotionSettings settings, double fileFps)
    : detector_(std::move(settings)), fileFps_(fileFps) {}

const vorc::MotionFrame* MotionFeed::measure(const vorc::FrameInfo& facts, const uint8_t* tileBitmap) {
    if (facts.width == 0) return nullptr;
    vorc::FrameTiles tiles;
    tiles.index = firstIndex_ + static_cast<int64_t>(facts.index);
    tiles.time = fileFps_ > 0.0 ? static_cast<double>(tiles.index - 1) / fileFps_
                                : std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    tiles.width = facts.width;
    tiles.height = facts.height;
    tiles.full = facts.fullFrame;
    tiles.damaged = facts.damaged;
    tiles.bitmap = tileBitmap;
    const vorc::MotionFrame& frame = detector_.update(tiles);
    lastIndex_ = tiles.index;
    previousWidth_ = width_ != 0 ? width_ : facts.width;
    previousHeight_ = height_ != 0 ? height_ : facts.height;
    width_ = facts.width;
    height_ = facts.height;
    measured_ += frame.use == vorc::FrameUse::Measured;
    fullFrames_ += frame.use == vorc::FrameUse::FullFrame;
    damaged_ += frame.use == vorc::FrameUse::Damaged;
    return &frame;
}

const std::vector<vorc::MotionEvent>& MotionFeed::finish() {
    firstIndex_ = lastIndex_;
    previousWidth_ = width_;
    previousHeight_ = height_;
    return detector_.finish();
}

vorc::PixelRect MotionFeed::eventBox(const vorc::MotionEvent& event) const {
    // Only an end can be one that a new picture size brought about.
    const bool start = event.kind == vorc::MotionEvent::Kind::Start;
    return vorc::pixelsOfTiles(event.box, start ? width_ : previousWidth_, start ? height_ : previousHeight_);
}

std::string MotionFeed::eventJson(const vorc::MotionEvent& event) const {
    const bool start = event.kind == vorc::MotionEvent::Kind::Start;
    const vorc::PixelRect box = eventBox(event);
    char numbers[256];
    if (start) {
        std::snprintf(numbers, sizeof numbers, ",\"frame\":%lld,\"time\":%.3f,\"share\":%.4f",
                      static_cast<long long>(event.startFrame), event.startTime, event.peakShare);
    } else {
        std::snprintf(numbers, sizeof numbers,
                      ",\"start_frame\":%lld,\"start_time\":%.3f,\"end_frame\":%lld,\"end_time\":%.3f,\"peak_share\":%.4f",
                      static_cast<long long>(event.startFrame), event.startTime, static_cast<long long>(event.endFrame),
                      event.endTime, event.peakShare);
    }
    char boxText[128];
    std::snprintf(boxText, sizeof boxText, ",\"box\":{\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d}}", box.x, box.y,
                  box.width, box.height);
    return std::string("{\"type\":\"") + (start ? "start" : "end") + "\",\"zone\":\"" +
           jsonEscaped(detector_.settings().zones[static_cast<size_t>(event.zone)].name) + "\"" +
           numbers + boxText;
}
