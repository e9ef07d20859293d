// PNG output through libpng. libpng reports errors by longjmp, so this
// function keeps no C++ objects with destructors alive across setjmp.
#include "tools/imageio/png_writer.h"

#include <png.h>

#include <csetjmp>

namespace {

// libpng's own handlers print to standard error; the caller reports the
// failure itself, with the system's reason, which errno still holds.
[[noreturn]] void stopOnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignoreWarning(png_structp, png_const_charp) {}

}  // namespace

bool writeRgbPng(std::FILE* out, int width, int height, const std::vector<const unsigned char*>& rows) {
    if (width <= 0 || height <= 0 || rows.size() != static_cast<size_t>(height)) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, stopOnError, ignoreWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (const unsigned char* row : rows) png_write_row(png, row);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fflush(out) == 0 && std::ferror(out) == 0;
}
