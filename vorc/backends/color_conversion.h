// RGB to YCbCr conversion of one pixel with the full-range BT.601 equations
// (JFIF), in fixed point scaled by 1024. Used by the raw frame dumper and the
// stream encoder, and exported for general use.
#ifndef VORC_BACKENDS_COLOR_CONVERSION_H
#define VORC_BACKENDS_COLOR_CONVERSION_H

namespace vorc {

void convert_RGB_to_YCbCr(unsigned char red, unsigned char green, unsigned char blue,
                          unsigned char* luma, unsigned char* blueDifference,
                          unsigned char* redDifference);

}  // namespace vorc

#endif
