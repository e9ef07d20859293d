// Library version banner and the small clamping helpers of the pixel code.
#ifndef VORC_CORE_VERSION_H
#define VORC_CORE_VERSION_H

namespace vorc {

// A constant one-line banner naming the SDK, the library prefix and version.
const char* getVersionString();

// Raise *value to min if below, then lower it to max if above (so with
// min > max the result is max).
void clamp_s16(short* value, short min, short max);
void clamp_int(int* value, int min, int max);

}  // namespace vorc

#endif
