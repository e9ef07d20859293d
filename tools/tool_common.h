// Helpers shared by the vorc tool's subcommands: exit codes, usage errors and
// where the library's status messages go.
#ifndef VORC_TOOLS_TOOL_COMMON_H
#define VORC_TOOLS_TOOL_COMMON_H

#include <string>

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// Prints "vorc COMMAND: MESSAGE" and a hint to standard error; returns ExitUsage.
int usageError(const char* command, const std::string& message);

// Routes the library's status messages: to standard error (so that standard
// output can carry data), or nowhere with quiet.
void routeStatusMessages(bool toStandardError, bool quiet);

#endif
