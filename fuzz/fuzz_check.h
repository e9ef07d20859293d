// The fuzz targets' own checks. The targets run the library itself under
// the SkipFrame policy, so a corrupt stream never ends the process; what does
// end it is a check of a target failing, which libFuzzer (and the corpus
// replay) reports as a crash with the input kept.
#ifndef VORC_FUZZ_FUZZ_CHECK_H
#define VORC_FUZZ_FUZZ_CHECK_H

namespace vorcfuzz {

// Prints why and aborts.
[[noreturn]] void failCheck(const char* target, const char* why);

}  // namespace vorcfuzz

#endif
