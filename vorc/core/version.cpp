// Version banner and clamping helpers.
#include "vorc/core/version.h"

namespace vorc {

// VORC_VERSION_NUMBER comes from the build, which has the one version number.
const char* getVersionString() { return "Tesra SDK - vorc core library v" VORC_VERSION_NUMBER; }

void clamp_s16(short* value, short min, short max) {
    if (*value < min) *value = min;
    if (*value > max) *value = max;
}

void clamp_int(int* value, int min, int max) {
    if (*value < min) *value = min;
    if (*value > max) *value = max;
}

}  // namespace vorc
