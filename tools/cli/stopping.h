// How a vorc command stops: on SIGINT and SIGTERM, between frames for the
// commands that complete their outputs, at once for the servers; and waits
// that a stop cuts short.
#ifndef VORC_TOOLS_CLI_STOPPING_H
#define VORC_TOOLS_CLI_STOPPING_H

#include <atomic>
#include <chrono>

// Until the returned guard dies, SIGINT and SIGTERM only set the flag, so
// that a command can stop between frames and complete its outputs.
class StopOnSignals {
public:
    StopOnSignals();
    ~StopOnSignals();
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;
    // The signal that arrived, or 0.
    static int received();
};

// For the servers, which run until a signal: SIGINT and SIGTERM call stop
// from then on, and a client that disappears ends only its own connection
// (SIGPIPE is ignored).
void stopServerOnSignals(void (*stop)(int));

// A number of seconds as a steady-clock duration.
std::chrono::steady_clock::duration durationOf(double seconds);

// Sleeps until the time point in short slices; false as soon as stop is set.
bool sleepUntil(std::chrono::steady_clock::time_point when, const std::atomic<bool>& stop);

#endif
