// Helpers shared by the vorc tool's subcommands: exit codes, usage errors,
// system error texts, and stopping cleanly on a signal.
#ifndef VORC_TOOLS_CLI_EXIT_STATUS_H
#define VORC_TOOLS_CLI_EXIT_STATUS_H

#include <string>

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// Prints "vorc COMMAND: MESSAGE" and a hint to standard error; returns ExitUsage.
int usageError(const char* command, const std::string& message);

// "cannot WHAT 'NAME': the system's reason", from errno.
std::string systemError(const char* what, const std::string& name);

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

#endif
