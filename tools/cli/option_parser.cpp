// The command-line parser every vorc subcommand shares.
#include "tools/cli/option_parser.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "tools/cli/exit_status.h"

Option::Option(std::vector<std::string> names, bool* flag)
    : names(std::move(names)), needsValue(nullptr), handler([flag](const char*, std::string&) {
          *flag = true;
          return true;
      }) {}

Option::Option(std::vector<std::string> names, const char* needsValue, const char** value)
    : names(std::move(names)),
      needsValue(needsValue),
      handler([value](const char* text, std::string&) {
          *value = text;
          return true;
      }) {}

Operands inputFile(const char** path) {
    return Operands(path, "more than one input file", "missing input FILE");
}

std::optional<int> parseArguments(const char* command, void (*usage)(), int argc, char** argv,
                                  CommonOptions* common, const std::vector<Option>& commandOptions,
                                  const Operands& operands) {
    bool quiet = false;
    bool verbose = false;
    std::vector<Option> options = {{{"--quiet"}, &quiet}, {{"--verbose"}, &verbose}, {{"--no-progress"}, &common->noProgress}};
    options.insert(options.end(), commandOptions.begin(), commandOptions.end());
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            return ExitOk;
        }
        const auto option =
            std::find_if(options.begin(), options.end(), [&](const Option& candidate) {
                return std::find(candidate.names.begin(), candidate.names.end(), arg) !=
                       candidate.names.end();
            });
        if (option == options.end()) {
            // A lone '-' is an operand: standard input or output.
            if (arg.size() > 1 && arg[0] == '-')
                return usageError(command, "unknown option '" + arg + "'");
            if (operands.many != nullptr) {
                operands.many->push_back(arg);
            } else if (*operands.one != nullptr) {
                return usageError(command, std::string(operands.moreThanOne) + " ('" + arg + "')");
            } else {
                *operands.one = argv[i];
            }
            continue;
        }
        std::string needsValue = option->needsValue != nullptr ? option->needsValue : "";
        const size_t spelling = needsValue.find("%s");
        if (spelling != std::string::npos) needsValue.replace(spelling, 2, arg);
        const char* value = nullptr;
        if (option->needsValue != nullptr) {
            if (i + 1 == argc) return usageError(command, needsValue);
            value = argv[++i];
        }
        std::string error;
        if (!option->handler(value, error))
            return usageError(command, error.empty() ? needsValue : error);
    }
    if (quiet && verbose) return usageError(command, "--quiet and --verbose exclude each other");
    common->verbosity = quiet ? Verbosity::Quiet : (verbose ? Verbosity::Verbose : Verbosity::Normal);
    if (operands.missing != nullptr && *operands.one == nullptr)
        return usageError(command, operands.missing);
    return std::nullopt;
}

void printOptionHelp(int column, const char* option, const char* meaning) {
    const int padding = column - 2 - static_cast<int>(std::strlen(option));
    std::printf("  %s%*s%s\n", option, padding > 0 ? padding : 1, "", meaning);
}

void printCommonOptionsHelp(int column, const char* quietMeaning, const char* verboseMeaning) {
    printOptionHelp(column, "--quiet", quietMeaning);
    printOptionHelp(column, "--verbose", verboseMeaning);
    printOptionHelp(column, "--no-progress", "no progress line (drawn only on a terminal)");
    printOptionHelp(column, "--help", "show this help");
}

bool parseWholeNumber(const char* text, long lowest, long highest, long* value) {
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < lowest || number > highest)
        return false;
    *value = number;
    return true;
}

ValueHandler wholeNumber(long lowest, long highest, long* value) {
    return [=](const char* text, std::string&) {
        return parseWholeNumber(text, lowest, highest, value);
    };
}

ValueHandler decimalNumber(bool (*accepted)(double number), double* value) {
    return [=](const char* text, std::string&) {
        char* end = nullptr;
        const double number = std::strtod(text, &end);
        if (end == text || *end != '\0' || !accepted(number)) return false;
        *value = number;
        return true;
    };
}
