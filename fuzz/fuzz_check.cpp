// A failed check of a fuzz target: reported on standard error, then abort.
#include "fuzz_check.h"

#include <cstdio>
#include <cstdlib>

void vorcfuzz::failCheck(const char* target, const char* why) {
    std::fprintf(stderr, "%s: %s\n", target, why);
    std::abort();
}
