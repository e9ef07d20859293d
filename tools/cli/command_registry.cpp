// The table of the vorc tool's subcommands, in the order of `vorc --help`.
#include "tools/cli/command_registry.h"

namespace {

// Filled by the registrars' constructors, before main(): a function's
// static is made on first use, whichever file registers first.
std::vector<ToolCommand>& commandTable() {
    static std::vector<ToolCommand> commands;
    return commands;
}

}  // namespace

CommandRegistrar::CommandRegistrar(const ToolCommand& command) {
    std::vector<ToolCommand>& commands = commandTable();
    auto position = commands.begin();
    while (position != commands.end() && position->order <= command.order) ++position;
    commands.insert(position, command);
}

const std::vector<ToolCommand>& registeredCommands() { return commandTable(); }
