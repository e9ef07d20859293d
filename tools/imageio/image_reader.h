// Picture input of the vorc tool's encode command: PNG files (through
// libpng) and binary PPM (P6) files become the RGB pictures that the stream
// encoder takes.
#ifndef VORC_TOOLS_IMAGEIO_IMAGE_READER_H
#define VORC_TOOLS_IMAGEIO_IMAGE_READER_H

#include <string>
#include <vector>

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;  // 3 bytes per pixel, top row first
};

// Reads a PNG or P6 PPM file, told apart by their first bytes. On failure
// returns false and puts a short reason into `error`.
bool readRgbImage(const std::string& path, RgbImage& image, std::string& error);

#endif
