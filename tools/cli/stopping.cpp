// Stopping on signals, and waits that a stop cuts short.
#include "tools/cli/stopping.h"

#include <algorithm>
#include <csignal>
#include <thread>

namespace {

// How soon a sleeper notices a stop.
constexpr auto SleepSlice = std::chrono::milliseconds(50);

std::atomic<int> stopSignal{0};

void noteStopSignal(int number) { stopSignal = number; }

struct sigaction previousInterrupt {}, previousTerminate{};

}  // namespace

StopOnSignals::StopOnSignals() {
    stopSignal = 0;
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    // Restarted, so that no read or write of the outputs fails half-way.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInterrupt);
    sigaction(SIGTERM, &action, &previousTerminate);
}

StopOnSignals::~StopOnSignals() {
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
}

int StopOnSignals::received() { return stopSignal; }

void stopServerOnSignals(void (*stop)(int)) {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::chrono::steady_clock::duration durationOf(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

bool sleepUntil(std::chrono::steady_clock::time_point when, const std::atomic<bool>& stop) {
    using Clock = std::chrono::steady_clock;
    while (!stop) {
        const auto now = Clock::now();
        if (now >= when) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(when - now, SleepSlice));
    }
    return false;
}
