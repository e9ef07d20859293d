// Ends the process on a fatal stream error, after reporting its reason.
#include "vorc/core/fatal_error.h"

#include <cstdio>
#include <cstdlib>

#include "vorc/core/status_messages.h"

namespace vorc {

namespace {
[[noreturn]] void endProcess() { std::exit(FatalStreamErrorExitStatus); }
}  // namespace

void failStream(const char* msg, void* context) {
    sendStatusMsg(msg, context);
    endProcess();
}

void failInvalidCodeword() {
    std::puts(" !!! invalid codeword !!!");
    endProcess();
}

}  // namespace vorc
