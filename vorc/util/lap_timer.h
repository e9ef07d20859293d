// A millisecond lap timer for applications built on the library (frame-rate
// displays, time-outs around the decode loop).
#ifndef VORC_UTIL_LAP_TIMER_H
#define VORC_UTIL_LAP_TIMER_H

#include <sys/time.h>

class vorcTime {
public:
    // Starts timing now.
    vorcTime();

    void setBaseTime();
    // Whole milliseconds since the base time; the base moves to now, so
    // consecutive calls measure consecutive laps.
    int elapsed();

    // Whole milliseconds from one time value to a later one (truncated).
    static int millisecondsBetween(const timeval& from, const timeval& to);

private:
    timeval baseTime;
};

#endif
