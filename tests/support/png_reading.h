// Test support: a PNG file read back with libpng as RGB, as the tool's
// snapshots and heat maps are checked.
#ifndef VORC_TESTS_SUPPORT_PNG_READING_H
#define VORC_TESTS_SUPPORT_PNG_READING_H

#include <png.h>

#include <string>

#include "support/libjpeg_helpers.h"

namespace vorctest {

// Empty (width 0) if it cannot be read.
inline RgbPicture readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
    image.format = PNG_FORMAT_RGB;
    RgbPicture picture{static_cast<int>(image.width), static_cast<int>(image.height),
                       std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
    return png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr) != 0 ? picture : RgbPicture{};
}

}  // namespace vorctest

#endif
