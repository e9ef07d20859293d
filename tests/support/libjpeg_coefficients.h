// Test support: libjpeg-turbo as the independent judge of the JPEG images
// the library writes. Reads an image's quantised coefficients and tables
// exactly as stored, and decodes it with every libjpeg warning (corrupt
// data, premature end, extraneous bytes) turned into a test failure.
#ifndef VORC_TESTS_SUPPORT_LIBJPEG_COEFFICIENTS_H
#define VORC_TESTS_SUPPORT_LIBJPEG_COEFFICIENTS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/libjpeg_helpers.h"
#include "support/stream_builder.h"

namespace vorctest {

// The six blocks of one 16x16 tile in scan order: Y0 Y1 Y2 Y3 Cb Cr.
using TileBlocks = std::array<Block, 6>;

struct JpegCoefficients {
    int width = 0;
    int height = 0;
    int tileColumns = 0;
    int tileRows = 0;
    // Quantisation tables of luminance and chrominance, natural order.
    std::array<std::array<uint16_t, 64>, 2> quant{};
    // Row-major, tileColumns x tileRows tiles.
    std::vector<TileBlocks> tiles;
    // Warnings libjpeg gave while reading; empty for a clean image.
    std::vector<std::string> warnings;

    bool valid() const { return width > 0; }
    const TileBlocks& tile(int column, int row) const {
        return tiles[static_cast<size_t>(row) * tileColumns + column];
    }
};

// Reads a baseline 4:2:0 image with jpeg_read_coefficients. An invalid
// result (width 0) if libjpeg fails or the image is not 2x2/1x1/1x1.
JpegCoefficients readJpegCoefficients(const Bytes& jpeg);

// Decodes to RGB; every libjpeg warning is reported with ADD_FAILURE
// (labelled with what), and an error gives an empty picture.
RgbPicture decodeJpegStrictly(const Bytes& jpeg, const std::string& what);

// Splits a multipart/x-mixed-replace stream into its JPEG parts; expects
// the framing the MJPEG writer produces with the given boundary.
std::vector<Bytes> splitMjpegStream(const Bytes& stream, const std::string& boundary);

}  // namespace vorctest

#endif
