// Fixed-point RGB to YCbCr, of a pixel and of a picture into 4:2:0 planes.
// The shifts round toward minus infinity, with no rounding term, so
// (1, 0, 0) gives Cb 127.
#include "vorc/backends/color_conversion.h"

#include <algorithm>
#include <vector>

#include "vorc/backends/buffered_backend.h"
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

void convertPictureTo420(const vorcBufferedTesraDecoderBackEnd& picture, const PlanarPicture& planes) {
    const int width = picture.width;
    const int height = picture.height;
    const bool chroma = planes.blueDifference != nullptr;
    // Each pair of rows at once, every pixel converted once: the sums of a
    // chroma row gather as its two picture rows go by.
    std::vector<int> blueSums(chroma ? static_cast<size_t>(width + 1) / 2 : 0);
    std::vector<int> redSums(blueSums.size());
    for (int pairStart = 0; pairStart < height; pairStart += 2) {
        std::fill(blueSums.begin(), blueSums.end(), 0);
        std::fill(redSums.begin(), redSums.end(), 0);
        for (const int y : {pairStart, std::min(pairStart + 1, height - 1)}) {
            const unsigned char* pixel = picture.pictureRow(y);
            uint8_t* const luma = planes.luma + static_cast<size_t>(y) * planes.lumaStride;
            for (int x = 0; x < width; ++x, pixel += 3) {
                unsigned char blue = 0;
                unsigned char red = 0;
                convert_RGB_to_YCbCr(pixel[0], pixel[1], pixel[2], &luma[x], &blue, &red);
                if (!chroma) continue;
                // At most 4 x 63: a sum fits a byte.
                const int copies = x == width - 1 && width % 2 != 0 ? 2 : 1;
                blueSums[static_cast<size_t>(x / 2)] += copies * (blue >> 2);
                redSums[static_cast<size_t>(x / 2)] += copies * (red >> 2);
            }
        }
        if (!chroma) continue;
        uint8_t* const blueRow = planes.blueDifference + static_cast<size_t>(pairStart / 2) * planes.chromaStride;
        uint8_t* const redRow = planes.redDifference + static_cast<size_t>(pairStart / 2) * planes.chromaStride;
        for (size_t x = 0; x < blueSums.size(); ++x) {
            blueRow[x] = static_cast<uint8_t>(blueSums[x]);
            redRow[x] = static_cast<uint8_t>(redSums[x]);
        }
    }
}

}  // namespace vorc
