// The command-line parser every vorc subcommand shares: a command lists its
// options and the operands it takes; the parser handles --help, the common
// options (--quiet, --verbose, --no-progress), unknown options, missing
// values and surplus or missing operands, with one wording and the usage
// exit code for all commands.
#ifndef VORC_TOOLS_CLI_OPTION_PARSER_H
#define VORC_TOOLS_CLI_OPTION_PARSER_H

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/cli/status_output.h"

// Takes an option's value. On false the parser reports error, or when it is
// left empty the option's needsValue message, so that a bad value and a
// missing one read alike.
using ValueHandler = std::function<bool(const char* value, std::string& error)>;

struct Option {
    Option(std::vector<std::string> names, bool* flag);
    // In needsValue, "%s" stands for the option as the user spelt it.
    Option(std::vector<std::string> names, const char* needsValue, const char** value);
    Option(std::vector<std::string> names, const char* needsValue, ValueHandler handler)
        : names(std::move(names)), needsValue(needsValue), handler(std::move(handler)) {}

    std::vector<std::string> names;
    const char* needsValue;  // null for a flag
    ValueHandler handler;
};

// The arguments that are not options: one, stored in *one, or any number,
// appended to *many. A second one is refused as "MORETHANONE ('X')"; a
// missing one is reported only when missing is given, since some commands
// check other things first.
struct Operands {
    Operands(const char** one, const char* moreThanOne, const char* missing)
        : one(one), moreThanOne(moreThanOne), missing(missing) {}
    explicit Operands(std::vector<std::string>* many) : many(many) {}

    const char** one = nullptr;
    std::vector<std::string>* many = nullptr;
    const char* moreThanOne = nullptr;
    const char* missing = nullptr;
};

// The one stream FILE of the commands that read a stream.
Operands inputFile(const char** path);

// Returns the exit code when the command has nothing more to do (help shown,
// usage error reported), nothing when it should run. The common options go
// into *common.
std::optional<int> parseArguments(const char* command, void (*usage)(), int argc, char** argv,
                                  CommonOptions* common, const std::vector<Option>& commandOptions,
                                  const Operands& operands);

// One line of a command's help: "  OPTION", then meaning from column on
// (counted from 0), or one space further when the option is longer.
void printOptionHelp(int column, const char* option, const char* meaning);

// The help lines of the common options; the meanings say what --quiet
// leaves and what --verbose adds.
void printCommonOptionsHelp(int column, const char* quietMeaning = "print only errors",
                            const char* verboseMeaning = "also print the library's status messages");

// A whole number from lowest to highest and nothing else; *value is only
// changed when it is one.
bool parseWholeNumber(const char* text, long lowest, long highest, long* value);
ValueHandler wholeNumber(long lowest, long highest, long* value);

// A decimal number, as strtod reads one, that accepted takes and nothing
// else; *value is only changed when it is one.
ValueHandler decimalNumber(bool (*accepted)(double number), double* value);

#endif
