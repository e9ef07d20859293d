// Helpers shared by the vorc tool's subcommands.
#include "tools/cli/exit_status.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<int> stopSignal{0};

void noteStopSignal(int number) { stopSignal = number; }

struct sigaction previousInterrupt {}, previousTerminate{};

}  // namespace

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "vorc %s: %s\nTry 'vorc %s --help'.\n", command, message.c_str(), command);
    return ExitUsage;
}

std::string systemError(const char* what, const std::string& name) {
    return std::string("cannot ") + what + " '" + name + "': " + std::strerror(errno);
}

StopOnSignals::StopOnSignals() {
    stopSignal = 0;
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    // Restarted, so that no read or write of the outputs fails half-way.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInterrupt);
    sigaction(SIGTERM, &action, &previousTerminate);
}

StopOnSignals::~StopOnSignals() {
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
}

int StopOnSignals::received() { return stopSignal; }
