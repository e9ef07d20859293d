// The fuzz builds' stand-in for the fatal-stream-error policy. The library
// proper ends the process on a corrupt stream; a fuzz target has to carry on
// with the next input, so its copy of the library is linked with
// fatal_error_for_fuzzing.cpp instead, which throws this type. Every target
// catches it around one whole run of the chain (source -> parser -> scan
// decoder -> back end) and then destroys the chain as usual.
#ifndef VORC_FUZZ_FATAL_ERROR_FOR_FUZZING_H
#define VORC_FUZZ_FATAL_ERROR_FOR_FUZZING_H

namespace vorcfuzz {

// Thrown where the library would end the process; deliberately not derived
// from std::exception or vorcException, so that no library catch takes it.
class FatalStreamError {};

// A fuzz target's own check failed: prints why and aborts, which libFuzzer
// (and the corpus replay) reports as a crash with the input kept.
[[noreturn]] void failCheck(const char* target, const char* why);

}  // namespace vorcfuzz

#endif
