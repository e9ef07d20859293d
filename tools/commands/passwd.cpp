// `vorc passwd USER`: a line of a login file for `vorc serve --auth-file`
// (or `vorc camera --auth-file`), "USER:HASH", the password read from
// standard input and hashed with a fresh salt. Never on the command line,
// where other users of the machine could read it.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tools/cli/command_registry.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"
#include "tools/net/http_login.h"

namespace {

constexpr const char* CommandName = "passwd";

void printUsage() {
    std::printf(
        "usage: vorc passwd USER < PASSWORD-FILE >> LOGIN-FILE\n"
        "\n"
        "Reads a password, the first line of standard input, and prints the line\n"
        "'USER:HASH' of a login file for 'vorc serve --auth-file': a salted hash by\n"
        "the system's strong default method (yescrypt), never the password. At a\n"
        "terminal it asks for the password without showing it.\n");
    printCommonOptionsHelp(20);
    std::printf(
        "\n"
        "example:\n"
        "  vorc passwd alice >> logins\n"
        "  vorc serve --listen 127.0.0.1:8000 --auth-file logins camera.tesra\n");
}

// The first line of standard input, without its line end; asked for at a
// terminal, which does not show it.
std::string readPassword() {
    termios before{};
    const bool terminal = ::isatty(STDIN_FILENO) != 0 && ::tcgetattr(STDIN_FILENO, &before) == 0;
    if (terminal) {
        std::fprintf(stderr, "password: ");
        termios hidden = before;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    std::string password;
    std::getline(std::cin, password);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
        std::fprintf(stderr, "\n");
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

int runPasswd(int argc, char** argv) {
    CommonOptions common;
    const char* user = nullptr;
    if (const auto done = parseArguments(CommandName, printUsage, argc, argv, &common, {},
                                         Operands(&user, "more than one USER", "missing USER")))
        return *done;
    const std::string name = user;
    if (name.empty() || name.find_first_of(":\r\n") != std::string::npos || name.front() == '#')
        return usageError(CommandName, "a USER holds no ':' or line end and does not start with '#'");
    const std::string password = readPassword();
    if (password.empty()) return usageError(CommandName, "no password on standard input");
    std::string problem;
    const std::string hash = hashPassword(password, &problem);
    if (hash.empty()) {
        std::fprintf(stderr, "vorc passwd: %s\n", problem.c_str());
        return ExitFailure;
    }
    std::printf("%s:%s\n", name.c_str(), hash.c_str());
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "make a line of a login file for vorc serve", 67, runPasswd});

}  // namespace
