// Test support: libjpeg-turbo as an independent reference. Makes baseline
// 4:2:0 JPEG pictures with the standard Huffman tables (whose layout is a
// Tesra full frame once the "TSF" comment is added) and decodes JPEG images
// to RGB or to raw, not upsampled Y, Cb, Cr planes.
#ifndef VORC_TESTS_SUPPORT_LIBJPEG_HELPERS_H
#define VORC_TESTS_SUPPORT_LIBJPEG_HELPERS_H

#include <cstdint>
#include <vector>

#include "support/stream_builder.h"

namespace vorctest {

// RGB pixels, 3 bytes each, top row first, no row padding.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;

    const uint8_t* at(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * 3]; }
};

// The three planes of a 4:2:0 picture as the JPEG decoder's inverse DCT
// produced them. The luminance plane covers whole 16x16 tiles; the
// chrominance planes have half its width and height.
struct RawPlanes {
    int width = 0;
    int height = 0;
    int lumaStride = 0;
    int chromaStride = 0;
    std::vector<uint8_t> y;
    std::vector<uint8_t> cb;
    std::vector<uint8_t> cr;

    int lumaAt(int x, int y) const { return this->y[static_cast<size_t>(y) * lumaStride + x]; }
    int cbAt(int x, int y) const { return cb[static_cast<size_t>(y / 2) * chromaStride + x / 2]; }
    int crAt(int x, int y) const { return cr[static_cast<size_t>(y / 2) * chromaStride + x / 2]; }
};

// Baseline, 4:2:0, standard tables, no restart markers, no optimised
// coding, always three components. Empty on failure.
Bytes compressJpeg(const RgbPicture& picture, int quality);

// Inserts the COM "TSF" segment right after APP0. Empty if the image does
// not start with SOI APP0.
Bytes jpegToTesraFrame(const Bytes& jpeg);

// Decoded with libjpeg's default (accurate integer) settings. An empty
// picture (width 0) on failure.
RgbPicture decompressJpeg(const Bytes& jpeg);
RawPlanes decompressJpegRaw(const Bytes& jpeg);

// Deterministic test content: smooth gradients with some edges and texture.
// With grey set, every pixel has R = G = B.
RgbPicture syntheticPicture(int width, int height, bool grey, uint32_t seed = 1);

}  // namespace vorctest

#endif
