// vorc: command-line front end of libvorc_core. Each subcommand lives in its
// own file and registers itself; this file only dispatches and prints help.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/command_registry.h"
#include "tools/tool_common.h"
#include "vorc/vorc.h"

namespace {

std::vector<ToolCommand>& commandTable() {
    static std::vector<ToolCommand> commands;
    return commands;
}

void printHelp(std::FILE* out) {
    std::fprintf(out, "%s\n\nusage: vorc COMMAND [OPTIONS] ...\n\ncommands:\n", vorc::getVersionString());
    for (const ToolCommand& command : registeredCommands()) {
        std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    }
    std::fprintf(out, "\n'vorc COMMAND --help' describes a command's options, 'man vorc' all of them.\n");
}

}  // namespace

CommandRegistrar::CommandRegistrar(const ToolCommand& command) {
    std::vector<ToolCommand>& commands = commandTable();
    auto position = commands.begin();
    while (position != commands.end() && position->order <= command.order) ++position;
    commands.insert(position, command);
}

const std::vector<ToolCommand>& registeredCommands() { return commandTable(); }

int main(int argc, char** argv) {
    if (argc < 2) {
        printHelp(stderr);
        return ExitUsage;
    }
    const char* name = argv[1];
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 || std::strcmp(name, "help") == 0) {
        printHelp(stdout);
        return ExitOk;
    }
    if (std::strcmp(name, "--version") == 0) {
        std::printf("%s\n", vorc::getVersionString());
        return ExitOk;
    }
    for (const ToolCommand& command : registeredCommands()) {
        if (std::strcmp(command.name, name) == 0) return command.run(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "vorc: unknown command '%s'\n", name);
    printHelp(stderr);
    return ExitUsage;
}
