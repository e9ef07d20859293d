// How a vorc command ends: its exit statuses, the usage error that names the
// command and points to its help, and the system's reason for a failure in
// the words of the message that reports it.
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

// The system's reason for a failure just reported: errno, or EIO when the
// failing call left none.
int failureErrno();

#endif
