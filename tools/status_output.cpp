// The vorc tool's verbosity and its handler for the library's status messages.
#include "tools/status_output.h"

#include <cstring>

#include "tools/progress_line.h"
#include "vorc/core/status_messages.h"

namespace {

// A fatal stream error or a failed allocation: the library's messages mark
// them with "!!!".
constexpr const char* ErrorMarks[] = {"!!!"};
// A damaged frame or a step that did not work out; decoding goes on.
constexpr const char* WarningMarks[] = {"CORRUPT", "fail", "cannot", "too many", "NULL", "invalid", "error"};

template <size_t N>
bool containsAny(const char* message, const char* const (&marks)[N]) {
    for (const char* mark : marks) {
        if (std::strstr(message, mark) != nullptr) return true;
    }
    return false;
}

// Standard output may share the terminal with the progress line too.
void printMessage(std::FILE* stream, const char* message) {
    ProgressLine::makeRoomForMessage();
    std::fprintf(stream, "vorc : %s\n", message);
    std::fflush(stream);
}

class LevelledStatusHandler : public vorcStatusMessageHandler {
public:
    LevelledStatusHandler(Verbosity verbosity, std::FILE* everyMessageTo)
        : verbosity_(verbosity), everyMessageTo_(everyMessageTo) {}

    void sendStatusMsg(const char* msg, void*) override {
        const MessageWeight weight = weighMessage(msg);
        if (everyMessageTo_ != nullptr) printMessage(everyMessageTo_, msg);
        if (everyMessageTo_ == stderr) return;
        if (weight == MessageWeight::Error ||
            (weight == MessageWeight::Warning && verbosity_ != Verbosity::Quiet))
            printMessage(stderr, msg);
    }

private:
    Verbosity verbosity_;
    std::FILE* everyMessageTo_;
};

}  // namespace

MessageWeight weighMessage(const char* message) {
    if (containsAny(message, ErrorMarks)) return MessageWeight::Error;
    if (containsAny(message, WarningMarks)) return MessageWeight::Warning;
    return MessageWeight::Status;
}

void routeStatusMessages(Verbosity verbosity, std::FILE* everyMessageTo) {
    vorc::setStatusMessageHandler(new LevelledStatusHandler(verbosity, everyMessageTo));
}

std::FILE* verboseMessageTarget(const CommonOptions& options, bool dataOnStandardOutput) {
    if (!options.verbose()) return nullptr;
    return dataOnStandardOutput ? stderr : stdout;
}

void printCommonOptionsHelp(int column, const char* quietMeaning, const char* verboseMeaning) {
    const struct {
        const char* option;
        const char* meaning;
    } lines[] = {{"--quiet", quietMeaning},
                 {"--verbose", verboseMeaning},
                 {"--no-progress", "no progress line (drawn only on a terminal)"},
                 {"--help", "show this help"}};
    for (const auto& line : lines) {
        const int padding = column - 2 - static_cast<int>(std::strlen(line.option));
        std::printf("  %s%*s%s\n", line.option, padding > 0 ? padding : 1, "", line.meaning);
    }
}
