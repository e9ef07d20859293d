// Which frames a recording --on-motion keeps: those received from --pre
// seconds before an event's first moving frame to --post seconds after its
// last, for the events vorc::MotionDetector finds in the frames' tile
// bitmaps. The detector recognises an event some frames after it began and
// ends it some frames after it stopped, so frames wait in a bounded ring
// until their fate is known: the pre-roll, the frames an event may yet
// reach, and nothing else. Frames come out in order.
#ifndef VORC_TOOLS_RECORD_MOTION_GATE_H
#define VORC_TOOLS_RECORD_MOTION_GATE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "vorc/motion/motion_detector.h"

template <typename Payload>
struct GatedFrame {
    double time = 0.0;  // on the clock the detector was given
    size_t bytes = 0;   // what the payload holds, for the ring's bound
    Payload payload;
    // Frames before this one were left out (a new event's recording begins).
    bool afterGap = false;
};

class MotionGate {
public:
    // pre and post in seconds; the ring holds at most maxHeldBytes of frames
    // (the oldest go first, and are counted in framesLostToBound).
    MotionGate(double pre, double post, size_t maxHeldBytes);

    // Takes one frame and what the detector made of it; the frames now known
    // to be kept go to *kept, those now known to be left out are dropped.
    template <typename Payload>
    void add(GatedFrame<Payload> frame, const vorc::MotionFrame& motion, std::deque<GatedFrame<Payload>>* held,
             std::vector<GatedFrame<Payload>>* kept);
    // The stream has ended (after the detector's finish(), whose events are
    // given): every frame still held is decided.
    template <typename Payload>
    void finish(const std::vector<vorc::MotionEvent>& endedEvents, std::deque<GatedFrame<Payload>>* held,
                std::vector<GatedFrame<Payload>>* kept);

    uint64_t framesLostToBound() const { return lostToBound_; }

private:
    enum class Fate { Keep, Drop, Wait };
    struct Span {  // what one event keeps
        double from;
        double to;
    };
    struct ZoneState {
        bool open = false;        // an event is open
        double eventStart = 0.0;  // its first moving frame
        double lastMoving = 0.0;  // its last moving frame so far
        bool streak = false;      // moving frames not (yet) in an event
        double streakStart = 0.0;
    };

    void note(const vorc::MotionFrame& motion, double time);
    void endEvent(const vorc::MotionEvent& event);
    Fate fateOf(double time, bool ended) const;
    template <typename Payload>
    void release(std::deque<GatedFrame<Payload>>* held, std::vector<GatedFrame<Payload>>* kept, bool ended);

    const double pre_;
    const double post_;
    const size_t maxHeldBytes_;
    size_t heldBytes_ = 0;
    double newest_ = 0.0;
    bool droppedSinceKept_ = false;
    uint64_t lostToBound_ = 0;
    std::vector<ZoneState> zones_;
    std::vector<Span> spans_;  // of ended events not yet passed
};

template <typename Payload>
void MotionGate::add(GatedFrame<Payload> frame, const vorc::MotionFrame& motion,
                     std::deque<GatedFrame<Payload>>* held, std::vector<GatedFrame<Payload>>* kept) {
    newest_ = frame.time;
    note(motion, frame.time);
    heldBytes_ += frame.bytes;
    held->push_back(std::move(frame));
    release(held, kept, false);
    while (heldBytes_ > maxHeldBytes_ && !held->empty()) {
        heldBytes_ -= held->front().bytes;
        held->pop_front();
        droppedSinceKept_ = true;
        ++lostToBound_;
    }
}

template <typename Payload>
void MotionGate::finish(const std::vector<vorc::MotionEvent>& endedEvents, std::deque<GatedFrame<Payload>>* held,
                        std::vector<GatedFrame<Payload>>* kept) {
    for (const vorc::MotionEvent& event : endedEvents) endEvent(event);
    release(held, kept, true);
}

template <typename Payload>
void MotionGate::release(std::deque<GatedFrame<Payload>>* held, std::vector<GatedFrame<Payload>>* kept,
                         bool ended) {
    while (!held->empty()) {
        const Fate fate = fateOf(held->front().time, ended);
        if (fate == Fate::Wait) break;
        heldBytes_ -= held->front().bytes;
        if (fate == Fate::Keep) {
            held->front().afterGap = droppedSinceKept_;
            droppedSinceKept_ = false;
            kept->push_back(std::move(held->front()));
        } else {
            droppedSinceKept_ = true;
        }
        held->pop_front();
    }
    // Spans that end before every frame still held keep nothing more.
    const double oldest = held->empty() ? newest_ : held->front().time;
    spans_.erase(std::remove_if(spans_.begin(), spans_.end(), [oldest](const Span& span) { return span.to < oldest; }),
                 spans_.end());
}

#endif
