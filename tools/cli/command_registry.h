// The vorc tool's subcommands: each file of commands/ registers its own
// here before main() starts, and vorc.cpp looks the command up by name.
#ifndef VORC_TOOLS_CLI_COMMAND_REGISTRY_H
#define VORC_TOOLS_CLI_COMMAND_REGISTRY_H

#include <vector>

struct ToolCommand {
    const char* name;
    const char* summary;  // one line for `vorc --help`
    int order;            // position in `vorc --help`
    int (*run)(int argc, char** argv);  // argv[0] is the subcommand name
};

// A file-scope CommandRegistrar in each subcommand's file adds it to the tool.
struct CommandRegistrar {
    explicit CommandRegistrar(const ToolCommand& command);
};

const std::vector<ToolCommand>& registeredCommands();

#endif
