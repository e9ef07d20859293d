// Fixed-point RGB to YCbCr. The shifts round toward minus infinity, with no
// rounding term, so (1, 0, 0) gives Cb 127.
#include "vorc/backends/color_conversion.h"

#include "vorc/core/version.h"

namespace vorc {

namespace {
unsigned char clampToByte(int value) {
    clamp_int(&value, 0, 255);
    return static_cast<unsigned char>(value);
}
}  // namespace

void convert_RGB_to_YCbCr(unsigned char red, unsigned char green, unsigned char blue,
                          unsigned char* luma, unsigned char* blueDifference,
                          unsigned char* redDifference) {
    const int r = red;
    const int g = green;
    const int b = blue;
    *luma = clampToByte((306 * r + 601 * g + 117 * b) >> 10);
    *blueDifference = clampToByte(((-173 * r - 339 * g + 512 * b) >> 10) + 128);
    *redDifference = clampToByte(((512 * r - 429 * g - 83 * b) >> 10) + 128);
}

}  // namespace vorc
