// Test support: libjpeg-turbo as an independent reference. Makes baseline
// 4:2:0 JPEG pictures with the standard Huffman tables (whose layout is a
// Tesra full frame once the "TSF" comment is added), decodes JPEG images to
// RGB or to their Y, Cb, Cr samples as decoded, and judges the JPEG images
// the library writes: their quantised coefficients and tables exactly as
// stored, and a decoding with every libjpeg warning (corrupt data, premature
// end, extraneous bytes) turned into a test failure.
#ifndef VORC_TESTS_SUPPORT_LIBJPEG_HELPERS_H
#define VORC_TESTS_SUPPORT_LIBJPEG_HELPERS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/stream_builder.h"

namespace vorctest {

// RGB pixels, 3 bytes each, top row first, no row padding.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;

    const uint8_t* at(int x, int y) const { return &pixels[(size_t(y) * width + x) * 3]; }
};

// The six blocks of one 16x16 tile in scan order: Y0 Y1 Y2 Y3 Cb Cr.
using TileBlocks = std::array<Block, 6>;

struct JpegCoefficients {
    int width = 0;
    int height = 0;
    // Quantisation tables of luminance and chrominance, natural order.
    std::array<std::array<uint16_t, 64>, 2> quant{};
    // Row-major tiles.
    std::vector<TileBlocks> tiles;
    // Warnings libjpeg gave while reading; empty for a clean image.
    std::vector<std::string> warnings;
};

// Baseline, 4:2:0, standard tables, no restart markers, no optimised
// coding, always three components. Empty on failure.
Bytes compressJpeg(const RgbPicture& picture, int quality);

// Inserts the COM "TSF" segment right after APP0. Empty if the image does
// not start with SOI APP0.
Bytes jpegToTesraFrame(const Bytes& jpeg);

// Decoded with libjpeg's default (accurate integer) settings. An empty
// picture (width 0) on failure. The raw decoding gives each pixel's Y, Cb
// and Cr samples as the inverse DCT produced them, in place of R, G and B;
// each chrominance sample serves its 2x2 pixels (no interpolation).
RgbPicture decompressJpeg(const Bytes& jpeg, bool raw = false);

// Deterministic test content: smooth gradients with some edges and texture.
// With grey set, every pixel has R = G = B.
RgbPicture syntheticPicture(int width, int height, bool grey, uint32_t seed = 1);

// Reads a baseline 4:2:0 image with jpeg_read_coefficients. An invalid
// result (width 0) if libjpeg fails or the image is not 2x2/1x1/1x1.
JpegCoefficients readJpegCoefficients(const Bytes& jpeg);

// Decodes to RGB; every libjpeg warning is reported with ADD_FAILURE
// (labelled with what), and an error gives an empty picture.
RgbPicture decodeJpegStrictly(const Bytes& jpeg, const std::string& what);

}  // namespace vorctest

#endif
