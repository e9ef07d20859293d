// RGB to YCbCr conversion with the full-range BT.601 equations (JFIF), in
// fixed point scaled by 1024: of one pixel, as the stream encoder needs it,
// and of a whole picture into 4:2:0 planes, as the raw frame dumper and the
// Reader write them. Exported for general use.
#ifndef VORC_BACKENDS_COLOR_CONVERSION_H
#define VORC_BACKENDS_COLOR_CONVERSION_H

#include <cstddef>
#include <cstdint>

class vorcBufferedTesraDecoderBackEnd;

namespace vorc {

void convert_RGB_to_YCbCr(unsigned char red, unsigned char green, unsigned char blue,
                          unsigned char* luma, unsigned char* blueDifference,
                          unsigned char* redDifference);

// Where the planes of a 4:2:0 picture go. The chroma planes have
// (width + 1) / 2 samples a row and (height + 1) / 2 rows; without them
// (null) only Y is written.
struct PlanarPicture {
    uint8_t* luma;
    size_t lumaStride;
    uint8_t* blueDifference = nullptr;
    uint8_t* redDifference = nullptr;
    size_t chromaStride = 0;
};

// Y of every pixel of the picture the back end holds, top row first, and
// each Cb and Cr sample the sum of the quarters (each truncated on its own)
// of the values of the 2x2 pixels it covers; at an odd right or bottom edge
// the last column or row stands in for the missing one. The back end must
// hold a picture.
void convertPictureTo420(const vorcBufferedTesraDecoderBackEnd& picture, const PlanarPicture& planes);

}  // namespace vorc

#endif
