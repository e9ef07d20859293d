// Replaces vorc/core/fatal_error.cpp in the fuzz-only copy of the library:
// a fatal stream error still reports its reason, then unwinds to the fuzz
// target instead of ending the process.
#include "fatal_error_for_fuzzing.h"

#include <cstdio>
#include <cstdlib>

#include "vorc/core/fatal_error.h"
#include "vorc/core/status_messages.h"

void vorcfuzz::failCheck(const char* target, const char* why) {
    std::fprintf(stderr, "%s: %s\n", target, why);
    std::abort();
}

namespace vorc {

void failStream(const char* msg, void* context) {
    sendStatusMsg(msg, context);
    throw vorcfuzz::FatalStreamError();
}

// The invalid-codeword line is left out: on standard output it would only
// flood the fuzzer's log.
void failInvalidCodeword() { throw vorcfuzz::FatalStreamError(); }

}  // namespace vorc
