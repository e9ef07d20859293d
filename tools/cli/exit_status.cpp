// Usage errors and the system's reasons for failures.
#include "tools/cli/exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "vorc %s: %s\nTry 'vorc %s --help'.\n", command, message.c_str(), command);
    return ExitUsage;
}

std::string systemError(const char* what, const std::string& name) {
    return std::string("cannot ") + what + " '" + name + "': " + std::strerror(errno);
}

int failureErrno() { return errno != 0 ? errno : EIO; }
