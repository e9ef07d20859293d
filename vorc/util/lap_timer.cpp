// Lap timer on the wall clock of gettimeofday.
#include "vorc/util/lap_timer.h"

#include <cstdint>

vorcTime::vorcTime() : baseTime{} { setBaseTime(); }

void vorcTime::setBaseTime() { gettimeofday(&baseTime, nullptr); }

int vorcTime::elapsed() {
    timeval now{};
    gettimeofday(&now, nullptr);
    const int lap = millisecondsBetween(baseTime, now);
    baseTime = now;
    return lap;
}

int vorcTime::millisecondsBetween(const timeval& from, const timeval& to) {
    // 64-bit sums: a base set long ago must not overflow the seconds product.
    int64_t seconds = static_cast<int64_t>(to.tv_sec) - from.tv_sec;
    int64_t micros = static_cast<int64_t>(to.tv_usec) - from.tv_usec;
    if (micros < 0) {
        seconds -= 1;
        micros += 1000000;
    }
    return static_cast<int>(seconds * 1000 + micros / 1000);
}
