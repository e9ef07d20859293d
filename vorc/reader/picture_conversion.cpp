// Copies the bottom-up RGB picture into the Reader's pixel formats. Grey and
// I420 come from the one 4:2:0 conversion of the library, the raw frame
// dumper's (with U and V in I420 order, and the last column or row standing
// in at an odd edge).
#include "vorc/reader/picture_conversion.h"

#include <cstring>

#include "vorc/backends/color_conversion.h"

namespace vorc {

void convertPicture(const vorcBufferedTesraDecoderBackEnd& picture, Frame* frame) {
    const int width = frame->width;
    switch (frame->format()) {
        case PixelFormat::GRAY8:
        case PixelFormat::I420: {
            PlanarPicture planes{frame->plane(0), frame->planeStride(0)};
            if (frame->format() == PixelFormat::I420) {
                planes.blueDifference = frame->plane(1);
                planes.redDifference = frame->plane(2);
                planes.chromaStride = frame->planeStride(1);
            }
            convertPictureTo420(picture, planes);
            return;
        }
        default:
            break;
    }
    for (int y = 0; y < frame->height; ++y) {
        const uint8_t* in = picture.pictureRow(y);
        uint8_t* out = frame->data() + size_t(y) * frame->stride();
        switch (frame->format()) {
            case PixelFormat::RGB24:
                std::memcpy(out, in, size_t(width) * 3);
                break;
            case PixelFormat::BGR24:
                for (int x = 0; x < width; ++x, in += 3, out += 3) {
                    out[0] = in[2];
                    out[1] = in[1];
                    out[2] = in[0];
                }
                break;
            case PixelFormat::RGBA:
                for (int x = 0; x < width; ++x, in += 3, out += 4) {
                    std::memcpy(out, in, 3);
                    out[3] = 255;
                }
                break;
            case PixelFormat::GRAY8:
            case PixelFormat::I420:
                break;
        }
    }
}

}  // namespace vorc
