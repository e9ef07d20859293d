// The vorc tool's verbosity, its handler for the library's status messages
// and the servers' log lines.
#include "tools/cli/status_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "tools/cli/progress_line.h"
#include "vorc/core/status_messages.h"

namespace {

// The library's last message, kept for the exit guard.
char lastMessage[512];
bool lastMessageOnStandardError = false;
std::atomic<bool> exitGuarded{false};
std::function<void()> afterFatalReason;

void reportFatalReason() {
    if (!exitGuarded) return;
    if (lastMessage[0] != '\0' && !lastMessageOnStandardError) std::fprintf(stderr, "vorc : %s\n", lastMessage);
    if (afterFatalReason) afterFatalReason();
}

// A reader may wait for each line (a terminal, a pipe, a socket), or
// standard error may go to the same place, where the order of the two
// streams' lines shows. Elsewhere a stream read from a file need not write
// each line at once: one write per frame would cost more than walking it.
bool wantsEachLineAtOnce(std::FILE* stream) {
    const int fd = fileno(stream);
    struct stat target {};
    if (::fstat(fd, &target) != 0) return true;
    const bool quietDestination = S_ISREG(target.st_mode) || (S_ISCHR(target.st_mode) && ::isatty(fd) == 0);
    return !quietDestination || sharesStandardErrorsDestination(stream);
}

// Standard output may share the terminal with the progress line too. The
// line goes out in one piece: a stream of small frames brings hundreds of
// thousands of them a second.
void printMessage(std::FILE* stream, const char* message, size_t length, bool flush) {
    static constexpr char Prefix[] = "vorc : ";
    constexpr size_t PrefixLength = sizeof Prefix - 1;
    ProgressLine::makeRoomForMessage();
    char line[512];
    if (PrefixLength + length + 1 <= sizeof line) {
        std::memcpy(line, Prefix, PrefixLength);
        std::memcpy(line + PrefixLength, message, length);
        line[PrefixLength + length] = '\n';
        std::fwrite(line, 1, PrefixLength + length + 1, stream);
    } else {
        std::fputs(Prefix, stream);
        std::fwrite(message, 1, length, stream);
        std::fputc('\n', stream);
    }
    if (flush) std::fflush(stream);
}

// Standard output's buffer when its lines need not go out one by one: the
// default of one block sends every few dozen frame lines with a write of
// their own.
char standardOutputBuffer[65536];

class LevelledStatusHandler : public vorc::LeveledStatusMessageHandler {
public:
    LevelledStatusHandler(Verbosity verbosity, std::FILE* everyMessageTo, bool fromFile)
        : verbosity_(verbosity),
          everyMessageTo_(everyMessageTo),
          flushEveryMessage_(everyMessageTo != nullptr && (!fromFile || wantsEachLineAtOnce(everyMessageTo))),
          // A terminal, or a file or pipe that both streams go to: a copy
          // on standard error would show every problem twice.
          reachesStandardError_(everyMessageTo == stderr ||
                                (everyMessageTo != nullptr && sharesStandardErrorsDestination(everyMessageTo))) {
        if (everyMessageTo == stdout && !flushEveryMessage_)
            std::setvbuf(stdout, standardOutputBuffer, _IOFBF, sizeof standardOutputBuffer);
    }

    void statusMessage(vorc::StatusLevel level, const char* msg, void*) override {
        const size_t length = std::strlen(msg);
        const size_t kept = std::min(length, sizeof lastMessage - 1);
        std::memcpy(lastMessage, msg, kept);
        lastMessage[kept] = '\0';
        if (everyMessageTo_ != nullptr) printMessage(everyMessageTo_, msg, length, flushEveryMessage_);
        lastMessageOnStandardError = reachesStandardError_;
        if (reachesStandardError_) return;
        if (level == vorc::StatusLevel::Error || (level == vorc::StatusLevel::Warning && verbosity_ != Verbosity::Quiet)) {
            printMessage(stderr, msg, length, true);
            lastMessageOnStandardError = true;
        }
    }

private:
    Verbosity verbosity_;
    std::FILE* everyMessageTo_;
    bool flushEveryMessage_;
    bool reachesStandardError_;
};

}  // namespace

bool sharesStandardErrorsDestination(std::FILE* stream) {
    struct stat target {};
    struct stat errors {};
    if (::fstat(fileno(stream), &target) != 0 || ::fstat(STDERR_FILENO, &errors) != 0) return false;
    return errors.st_dev == target.st_dev && errors.st_ino == target.st_ino;
}

namespace {
Verbosity routedVerbosity = Verbosity::Normal;
}  // namespace

bool warningsShown() { return routedVerbosity != Verbosity::Quiet; }

void routeStatusMessages(Verbosity verbosity, std::FILE* everyMessageTo, bool fromFile) {
    routedVerbosity = verbosity;
    vorc::setStatusMessageHandler(new LevelledStatusHandler(verbosity, everyMessageTo, fromFile));
}

FatalReasonOnExit::FatalReasonOnExit(std::function<void()> afterReason) {
    static const bool registered = std::atexit(reportFatalReason) == 0;
    (void)registered;
    lastMessage[0] = '\0';
    afterFatalReason = std::move(afterReason);
    exitGuarded = true;
}

FatalReasonOnExit::~FatalReasonOnExit() {
    exitGuarded = false;
    afterFatalReason = nullptr;
}

std::FILE* verboseMessageTarget(const CommonOptions& options, bool dataOnStandardOutput) {
    if (!options.verbose()) return nullptr;
    return dataOnStandardOutput ? stderr : stdout;
}

void logLine(Verbosity chosen, Verbosity lowest, const char* format, ...) {
    if (static_cast<int>(chosen) < static_cast<int>(lowest)) return;
    std::va_list values;
    va_start(values, format);
    std::vfprintf(stderr, format, values);
    va_end(values);
    std::fflush(stderr);
}
