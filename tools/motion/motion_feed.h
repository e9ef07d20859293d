// The motion of a stream as the tool reports it, by `vorc motion --json`
// and by `vorc serve`'s /events: vorc::MotionDetector fed with the frames
// the chain hands on (their facts and tile bitmaps, no pixels), each frame
// timed by the stream's rate or by the clock, and each event written as one
// JSON object, its box in pixels of the picture it lay in.
#ifndef VORC_TOOLS_MOTION_MOTION_FEED_H
#define VORC_TOOLS_MOTION_MOTION_FEED_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vorc/chain/chain.h"
#include "vorc/motion/motion_detector.h"

// The text as the inside of a JSON string: quotes and backslashes escaped,
// control characters left out (names come from command lines and files).
std::string jsonEscaped(const std::string& text);

class MotionFeed {
public:
    // With fileFps above 0, frame N lies at (N - 1) / fileFps seconds; with
    // 0 (a camera), at the clock's time since the feed was made. Throws
    // vorc::InvalidArgument for settings out of range.
    MotionFeed(vorc::MotionSettings settings, double fileFps);

    // Measures one frame; null before the first picture size, when there is
    // nothing to measure. The result lives until the next call.
    const vorc::MotionFrame* measure(const vorc::FrameInfo& frame, const uint8_t* tileBitmap);
    // Ends the open events, as at the end of a stream. The frames of a
    // stream that follows (a camera connected again) are numbered on from
    // the last one.
    const std::vector<vorc::MotionEvent>& finish();

    // {"type":"start", "zone", "frame", "time", "share", "box"} or
    // {"type":"end", "zone", "start_frame", "start_time", "end_frame",
    // "end_time", "peak_share", "box"}, "box" as {"x", "y", "width",
    // "height"}: one line, without its end. Only for the events of the
    // latest measure() or finish().
    std::string eventJson(const vorc::MotionEvent& event) const;
    // The event's box in pixels of the picture it lay in.
    vorc::PixelRect eventBox(const vorc::MotionEvent& event) const;

    const vorc::MotionDetector& detector() const { return detector_; }
    int width() const { return width_; }
    int height() const { return height_; }
    long measuredFrames() const { return measured_; }
    long fullFrames() const { return fullFrames_; }
    long damagedFrames() const { return damaged_; }

private:
    vorc::MotionDetector detector_;
    const double fileFps_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    int64_t firstIndex_ = 0;  // added to the chain's frame numbers
    int64_t lastIndex_ = 0;
    // The picture of the latest frame, and the one before it, in which the
    // events that a change of size ended lay.
    int width_ = 0;
    int height_ = 0;
    int previousWidth_ = 0;
    int previousHeight_ = 0;
    long measured_ = 0;
    long fullFrames_ = 0;
    long damaged_ = 0;
};

#endif
