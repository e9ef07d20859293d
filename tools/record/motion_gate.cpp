// The fate of a held frame: kept when an event's span covers it, left to
// wait while an open event or one yet to be recognised may still reach it,
// dropped otherwise.
#include "tools/record/motion_gate.h"

#include <algorithm>

MotionGate::MotionGate(double pre, double post, size_t maxHeldBytes)
    : pre_(pre), post_(post), maxHeldBytes_(maxHeldBytes) {}

void MotionGate::note(const vorc::MotionFrame& motion, double time) {
    if (zones_.size() < motion.zones.size()) zones_.resize(motion.zones.size());
    for (const vorc::MotionEvent& event : motion.events) {
        ZoneState& zone = zones_[static_cast<size_t>(event.zone)];
        if (event.kind == vorc::MotionEvent::Kind::Start) {
            zone.open = true;
            zone.eventStart = event.startTime;
            zone.lastMoving = event.endTime;
            zone.streak = false;
        } else {
            endEvent(event);
        }
    }
    if (motion.use != vorc::FrameUse::Measured) return;
    for (size_t z = 0; z < motion.zones.size(); ++z) {
        ZoneState& zone = zones_[z];
        const vorc::ZoneMotion& measured = motion.zones[z];
        if (zone.open) {
            if (measured.moving) zone.lastMoving = std::max(zone.lastMoving, time);
        } else if (measured.moving) {
            if (!zone.streak) zone.streakStart = time;
            zone.streak = true;
        } else {
            zone.streak = false;
        }
    }
}

void MotionGate::endEvent(const vorc::MotionEvent& event) {
    if (zones_.size() <= static_cast<size_t>(event.zone)) zones_.resize(static_cast<size_t>(event.zone) + 1);
    ZoneState& zone = zones_[static_cast<size_t>(event.zone)];
    zone.open = false;
    zone.streak = false;
    spans_.push_back(Span{event.startTime - pre_, event.endTime + post_});
}

MotionGate::Fate MotionGate::fateOf(double time, bool ended) const {
    for (const Span& span : spans_)
        if (time >= span.from && time <= span.to) return Fate::Keep;
    if (ended) return Fate::Drop;
    // A future event begins no earlier than a streak of moving frames that
    // has begun, or than the newest frame.
    double earliestStart = newest_;
    for (const ZoneState& zone : zones_) {
        if (zone.open) {
            if (time >= zone.eventStart - pre_ && time <= zone.lastMoving + post_) return Fate::Keep;
            if (time >= zone.eventStart - pre_) return Fate::Wait;  // a later moving frame may reach it
        }
        if (zone.streak) earliestStart = std::min(earliestStart, zone.streakStart);
    }
    return time >= earliestStart - pre_ ? Fate::Wait : Fate::Drop;
}
