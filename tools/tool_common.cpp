// Helpers shared by the vorc tool's subcommands.
#include "tools/tool_common.h"

#include <cstdio>

#include "vorc/core/status_messages.h"

namespace {
class StandardErrorStatusHandler : public vorcStatusMessageHandler {
public:
    void sendStatusMsg(const char* msg, void*) override { std::fprintf(stderr, "vorc : %s\n", msg); }
};
}  // namespace

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "vorc %s: %s\nTry 'vorc %s --help'.\n", command, message.c_str(), command);
    return ExitUsage;
}

void routeStatusMessages(bool toStandardError, bool quiet) {
    if (quiet) {
        vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    } else if (toStandardError) {
        vorc::setStatusMessageHandler(new StandardErrorStatusHandler);
    } else {
        vorc::setStatusMessageHandler(nullptr);
    }
}
