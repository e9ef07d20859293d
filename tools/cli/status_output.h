// How much the vorc tool says, shared by every command: the verbosity and
// progress options (--quiet, --verbose, --no-progress), the status handler
// that passes the library's messages on by the level the library gives
// each, and the servers' log lines.
#ifndef VORC_TOOLS_CLI_STATUS_OUTPUT_H
#define VORC_TOOLS_CLI_STATUS_OUTPUT_H

#include <cstdio>
#include <functional>

enum class Verbosity {
    Quiet,    // errors only
    Normal,   // warnings, errors and the command's own summary
    Verbose,  // every status message of the library besides
};

// The options every command takes besides --help.
struct CommonOptions {
    Verbosity verbosity = Verbosity::Normal;
    bool noProgress = false;

    bool quiet() const { return verbosity == Verbosity::Quiet; }
    bool verbose() const { return verbosity == Verbosity::Verbose; }
};

// Whether stream and standard error go to the same file or device, where
// their lines would mix.
bool sharesStandardErrorsDestination(std::FILE* stream);

// Installs the tool's handler for the library's status messages. Errors
// always reach standard error, warnings too unless quiet. With
// everyMessageTo, every message is printed there as well (an error that
// goes to standard output is repeated on standard error, unless both go to
// the same terminal, file or pipe), each line at once
// unless fromFile: then, into a file of its own or a device such as
// /dev/null, the lines go out as the buffer fills.
void routeStatusMessages(Verbosity verbosity, std::FILE* everyMessageTo, bool fromFile = false);

// Whether the messages routed last show warnings (not --quiet).
bool warningsShown();

// While one exists, an exit of the process (the library's, on a corrupt
// stream) first makes sure the library's last status message, the reason,
// has reached standard error, whatever the routing above, and then calls
// afterReason, if given.
class FatalReasonOnExit {
public:
    explicit FatalReasonOnExit(std::function<void()> afterReason = std::function<void()>());
    ~FatalReasonOnExit();
    FatalReasonOnExit(const FatalReasonOnExit&) = delete;
    FatalReasonOnExit& operator=(const FatalReasonOnExit&) = delete;
};

// One line of a server's log on standard error, printed when the verbosity
// chosen is lowest or more.
void logLine(Verbosity chosen, Verbosity lowest, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Where a command other than `info` prints every status message: nowhere
// unless verbose; then on standard output, or on standard error when
// standard output carries data.
std::FILE* verboseMessageTarget(const CommonOptions& options, bool dataOnStandardOutput);

#endif
