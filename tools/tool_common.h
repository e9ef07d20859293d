// Helpers shared by the vorc tool's subcommands: exit codes and usage errors.
#ifndef VORC_TOOLS_TOOL_COMMON_H
#define VORC_TOOLS_TOOL_COMMON_H

#include <string>

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// Prints "vorc COMMAND: MESSAGE" and a hint to standard error; returns ExitUsage.
int usageError(const char* command, const std::string& message);

// "cannot WHAT 'NAME': the system's reason", from errno.
std::string systemError(const char* what, const std::string& name);

#endif
