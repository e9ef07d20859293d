// vorc: command-line front end of libvorc_core. Each subcommand lives in its
// own file and registers itself; this file only dispatches, prints help and
// makes sure that what went to standard output was written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/cli/command_registry.h"
#include "tools/cli/exit_status.h"
#include "vorc/vorc.h"

namespace {

void printHelp(std::FILE* out) {
    std::fprintf(out, "%s\n\nusage: vorc COMMAND [OPTIONS] ...\n\ncommands:\n", vorc::getVersionString());
    for (const ToolCommand& command : registeredCommands()) {
        std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    }
    std::fprintf(out, "\n'vorc COMMAND --help' describes a command's options, 'man vorc' all of them.\n");
}

// Output that never arrived is no success, also where the last of it was
// still in the buffer (`vorc info > /dev/full`).
int checkStandardOutput(const char* command, int status) {
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && std::ferror(stdout) == 0) return status;
    std::fprintf(stderr, "vorc %s: cannot write standard output%s%s\n", command, flushed ? "" : ": ",
                 flushed ? "" : std::strerror(error));
    return status == ExitOk ? ExitFailure : status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printHelp(stderr);
        return ExitUsage;
    }
    const char* name = argv[1];
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 || std::strcmp(name, "help") == 0) {
        printHelp(stdout);
        return checkStandardOutput("--help", ExitOk);
    }
    if (std::strcmp(name, "--version") == 0) {
        std::printf("%s\n", vorc::getVersionString());
        return checkStandardOutput("--version", ExitOk);
    }
    for (const ToolCommand& command : registeredCommands()) {
        if (std::strcmp(command.name, name) == 0) return checkStandardOutput(name, command.run(argc - 1, argv + 1));
    }
    std::fprintf(stderr, "vorc: unknown command '%s'\n", name);
    printHelp(stderr);
    return ExitUsage;
}
