// Helpers shared by the vorc tool's subcommands: exit codes, usage errors,
// where the library's status messages go, and the progress line.
#ifndef VORC_TOOLS_TOOL_COMMON_H
#define VORC_TOOLS_TOOL_COMMON_H

#include <cstdint>
#include <string>

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// Prints "vorc COMMAND: MESSAGE" and a hint to standard error; returns ExitUsage.
int usageError(const char* command, const std::string& message);

// Routes the library's status messages: to standard error (so that standard
// output can carry data), or nowhere with quiet.
void routeStatusMessages(bool toStandardError, bool quiet);

// While one exists, an exit of the process (the library's, on a corrupt
// stream) first makes sure the library's last status message, the reason,
// has reached standard error, whatever the routing above.
class FatalReasonOnExit {
public:
    FatalReasonOnExit();
    ~FatalReasonOnExit();
    FatalReasonOnExit(const FatalReasonOnExit&) = delete;
    FatalReasonOnExit& operator=(const FatalReasonOnExit&) = delete;
};

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

// A progress line on standard error ("frames N, X.X MB, Y.Y fps"), redrawn
// in place; only drawn when enabled (standard error is a terminal and the
// user did not ask for quiet).
class ProgressLine {
public:
    explicit ProgressLine(bool enabled);
    ~ProgressLine();
    void update(long frames, uint64_t bytes);
    void finish();
    static bool wanted(bool quiet);

private:
    bool enabled_;
    bool drawn_ = false;
    double startSeconds_;
    double lastDrawSeconds_ = -1.0;
};
#endif
