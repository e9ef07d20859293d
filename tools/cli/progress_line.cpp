// The vorc tool's progress line on standard error.
#include "tools/cli/progress_line.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "tools/cli/status_output.h"

namespace {

constexpr double RedrawSeconds = 0.1;
// Back to the start of the line and clear it.
constexpr const char* ClearLine = "\r\033[K";

// The line on screen, if any: messages clear it first.
bool lineDrawn = false;

double nowSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double percent(double done, double total) { return done >= total ? 100.0 : 100.0 * done / total; }

}  // namespace

ProgressLine::ProgressLine(bool enabled, uint64_t totalBytes, long totalFrames)
    : enabled_(enabled), totalBytes_(totalBytes), totalFrames_(totalFrames), startSeconds_(nowSeconds()) {}

ProgressLine::~ProgressLine() { finish(); }

bool ProgressLine::wanted(const CommonOptions& options) {
    return !options.noProgress && isatty(STDERR_FILENO) == 1;
}

void ProgressLine::makeRoomForMessage() {
    if (!lineDrawn) return;
    std::fputs(ClearLine, stderr);
    lineDrawn = false;
}

void ProgressLine::update(long frames, uint64_t bytes) {
    frames_ = frames;
    bytes_ = bytes;
    if (!enabled_) return;
    const double now = nowSeconds();
    if (lastDrawSeconds_ >= 0.0 && now - lastDrawSeconds_ < RedrawSeconds) return;
    draw(now);
}

void ProgressLine::finish() {
    if (!enabled_) return;
    draw(nowSeconds());
    std::fputs("\n", stderr);
    lineDrawn = false;
    enabled_ = false;
}

void ProgressLine::draw(double now) {
    lastDrawSeconds_ = now;
    const double elapsed = now - startSeconds_;
    const double megabytes = static_cast<double>(bytes_) / 1e6;
    char text[160];
    if (totalFrames_ > 0) {
        std::snprintf(text, sizeof text, "frames %ld/%ld (%.0f%%), %.1f MB", frames_, totalFrames_,
                      percent(static_cast<double>(frames_), static_cast<double>(totalFrames_)), megabytes);
    } else if (totalBytes_ > 0) {
        std::snprintf(text, sizeof text, "frames %ld, %.1f/%.1f MB (%.0f%%)", frames_, megabytes,
                      static_cast<double>(totalBytes_) / 1e6,
                      percent(static_cast<double>(bytes_), static_cast<double>(totalBytes_)));
    } else {
        std::snprintf(text, sizeof text, "frames %ld, %.1f MB", frames_, megabytes);
    }
    std::fprintf(stderr, "%s%s, %.1f fps", ClearLine, text,
                 elapsed > 0.0 ? static_cast<double>(frames_) / elapsed : 0.0);
    std::fflush(stderr);
    lineDrawn = true;
}
