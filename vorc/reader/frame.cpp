// The memory layout of the Reader's frames: packed rows for the RGB and grey
// formats, three planes one after the other for I420.
#include "vorc/reader.h"

namespace vorc {

namespace {

size_t bytesPerPixel(PixelFormat format) {
    switch (format) {
        case PixelFormat::RGB24:
        case PixelFormat::BGR24:
            return 3;
        case PixelFormat::RGBA:
            return 4;
        case PixelFormat::GRAY8:
        case PixelFormat::I420:
            break;
    }
    return 1;
}

size_t halfRoundedUp(int pixels) { return (size_t(pixels) + 1) / 2; }

}  // namespace

Frame::Frame(PixelFormat format, int frameWidth, int frameHeight) : format_(format) {
    width = frameWidth;
    height = frameHeight;
    pixels_.resize(planeOffset(format == PixelFormat::I420 ? 3 : 1));
}

size_t Frame::planeStride(int n) const {
    if (n == 0) return size_t(width) * bytesPerPixel(format_);
    return halfRoundedUp(width);
}

size_t Frame::planeHeight(int n) const { return n == 0 ? size_t(height) : halfRoundedUp(height); }

size_t Frame::planeOffset(int n) const {
    size_t offset = 0;
    for (int k = 0; k < n; ++k) offset += planeStride(k) * planeHeight(k);
    return offset;
}

}  // namespace vorc
