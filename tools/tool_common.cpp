// Helpers shared by the vorc tool's subcommands.
#include "tools/tool_common.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "vorc/core/status_messages.h"

namespace {
class StandardErrorStatusHandler : public vorcStatusMessageHandler {
public:
    void sendStatusMsg(const char* msg, void*) override { std::fprintf(stderr, "vorc : %s\n", msg); }
};
}  // namespace

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "vorc %s: %s\nTry 'vorc %s --help'.\n", command, message.c_str(), command);
    return ExitUsage;
}

void routeStatusMessages(bool toStandardError, bool quiet) {
    if (quiet) {
        vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    } else if (toStandardError) {
        vorc::setStatusMessageHandler(new StandardErrorStatusHandler);
    } else {
        vorc::setStatusMessageHandler(nullptr);
    }
}

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
