// Fatal stream errors: report the reason, then end the process or, inside a
// parser that skips damaged frames, unwind to it.
#include "vorc/core/fatal_error.h"

#include <cstdlib>

#include "vorc/core/status_messages.h"

namespace vorc {

namespace {

thread_local bool skippingStreamErrors = false;

[[noreturn]] void endProcess() { std::exit(FatalStreamErrorExitStatus); }

}  // namespace

void failStream(const char* msg, void* context) {
    // Under SkipFrame the parser goes past the damage; otherwise the process ends.
    sendStatus(skippingStreamErrors ? StatusLevel::Warning : StatusLevel::Error, msg, context);
    if (skippingStreamErrors) throw detail::StreamErrorSkipped{msg};
    endProcess();
}

void failStreamWhenSkipping(const char* msg, void* context) {
    if (skippingStreamErrors) failStream(msg, context);
}

void failInvalidCodeword() { failStream(" !!! invalid codeword !!!", nullptr); }

void failInternal(const char* msg, void* context) {
    sendStatus(StatusLevel::Error, msg, context);
    endProcess();
}

namespace detail {

SkipStreamErrors::SkipStreamErrors(bool skip) : outer_(skippingStreamErrors) { skippingStreamErrors = skip; }

SkipStreamErrors::~SkipStreamErrors() { skippingStreamErrors = outer_; }

}  // namespace detail

}  // namespace vorc
