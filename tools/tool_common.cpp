// Helpers shared by the vorc tool's subcommands.
#include "tools/tool_common.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "vorc/core/status_messages.h"

namespace {

enum class Destination { StandardOutput, StandardError, Nowhere };

// The library's last message, kept for the exit guard.
char lastMessage[512];
bool lastMessageOnStandardError = false;
std::atomic<bool> exitGuarded{false};

// Writes each message where it was routed, as "vorc : <text>", and keeps it.
class RoutingStatusHandler : public vorcStatusMessageHandler {
public:
    explicit RoutingStatusHandler(Destination destination) : destination_(destination) {}
    void sendStatusMsg(const char* msg, void*) override {
        std::snprintf(lastMessage, sizeof lastMessage, "%s", msg);
        lastMessageOnStandardError = destination_ == Destination::StandardError;
        if (destination_ != Destination::Nowhere)
            std::fprintf(destination_ == Destination::StandardError ? stderr : stdout, "vorc : %s\n", msg);
    }

private:
    Destination destination_;
};

void reportFatalReason() {
    if (!exitGuarded || lastMessage[0] == '\0' || lastMessageOnStandardError) return;
    std::fprintf(stderr, "vorc : %s\n", lastMessage);
}

std::atomic<int> stopSignal{0};

void noteStopSignal(int number) { stopSignal = number; }

}  // namespace

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "vorc %s: %s\nTry 'vorc %s --help'.\n", command, message.c_str(), command);
    return ExitUsage;
}

void routeStatusMessages(bool toStandardError, bool quiet) {
    vorc::setStatusMessageHandler(new RoutingStatusHandler(quiet             ? Destination::Nowhere
                                                           : toStandardError ? Destination::StandardError
                                                                             : Destination::StandardOutput));
}

FatalReasonOnExit::FatalReasonOnExit() {
    static const bool registered = std::atexit(reportFatalReason) == 0;
    (void)registered;
    lastMessage[0] = '\0';
    exitGuarded = true;
}

FatalReasonOnExit::~FatalReasonOnExit() { exitGuarded = false; }

namespace {
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

namespace {
double nowSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
}  // namespace

ProgressLine::ProgressLine(bool enabled) : enabled_(enabled), startSeconds_(nowSeconds()) {}

ProgressLine::~ProgressLine() { finish(); }

bool ProgressLine::wanted(bool quiet) { return !quiet && isatty(STDERR_FILENO) == 1; }

void ProgressLine::update(long frames, uint64_t bytes) {
    if (!enabled_) return;
    const double now = nowSeconds();
    if (lastDrawSeconds_ >= 0.0 && now - lastDrawSeconds_ < 0.1) return;
    lastDrawSeconds_ = now;
    const double elapsed = now - startSeconds_;
    std::fprintf(stderr, "\rframes %ld, %.1f MB, %.1f fps ", frames,
                 static_cast<double>(bytes) / 1e6, elapsed > 0.0 ? static_cast<double>(frames) / elapsed : 0.0);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressLine::finish() {
    if (drawn_) std::fputs("\n", stderr);
    drawn_ = false;
}
