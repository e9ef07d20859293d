// Copies the bottom-up RGB picture into the Reader's pixel formats. Each
// chroma sample of I420 is the sum of the quarter values (each truncated) of
// the 2x2 pixels it covers, as in the raw frame dumper; at an odd right or
// bottom edge the last column or row stands in for the missing one.
#include "vorc/reader/picture_conversion.h"

#include <algorithm>
#include <cstring>

#include "vorc/backends/color_conversion.h"

namespace vorc {

namespace {

constexpr size_t BytesPerBufferRow = 48;  // per tile column

// Rows of the picture top-down over the bottom-up buffer.
class PictureRows {
public:
    explicit PictureRows(const vorcBufferedTesraDecoderBackEnd& picture)
        : rowBytes_(size_t(picture.tileColumns) * BytesPerBufferRow),
          bottomRow_(reinterpret_cast<const uint8_t*>(picture.frameBuffer) +
                     size_t(picture.pictureOffset) * sizeof(unsigned int)),
          height_(picture.height) {}

    const uint8_t* row(int y) const { return bottomRow_ + size_t(height_ - 1 - y) * rowBytes_; }

private:
    size_t rowBytes_;
    const uint8_t* bottomRow_;
    int height_;
};

struct YCbCr {
    unsigned char y, cb, cr;
};

YCbCr toYCbCr(const uint8_t* rgb) {
    YCbCr value{};
    vorc::convert_RGB_to_YCbCr(rgb[0], rgb[1], rgb[2], &value.y, &value.cb, &value.cr);
    return value;
}

void convertPacked(const PictureRows& rows, Frame* frame) {
    const int width = frame->width;
    for (int y = 0; y < frame->height; ++y) {
        const uint8_t* in = rows.row(y);
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
                for (int x = 0; x < width; ++x, in += 3) *out++ = toYCbCr(in).y;
                break;
        }
    }
}

void convertChroma(const PictureRows& rows, Frame* frame) {
    const int lastX = frame->width - 1;
    const int lastY = frame->height - 1;
    for (size_t cy = 0; cy < frame->planeHeight(1); ++cy) {
        uint8_t* cbRow = frame->plane(1) + cy * frame->planeStride(1);
        uint8_t* crRow = frame->plane(2) + cy * frame->planeStride(2);
        for (size_t cx = 0; cx < frame->planeStride(1); ++cx) {
            int cb = 0;
            int cr = 0;
            for (int dy = 0; dy < 2; ++dy) {
                const uint8_t* row = rows.row(std::min(int(cy) * 2 + dy, lastY));
                for (int dx = 0; dx < 2; ++dx) {
                    const YCbCr value = toYCbCr(row + size_t(std::min(int(cx) * 2 + dx, lastX)) * 3);
                    cb += value.cb >> 2;
                    cr += value.cr >> 2;
                }
            }
            cbRow[cx] = static_cast<uint8_t>(cb);
            crRow[cx] = static_cast<uint8_t>(cr);
        }
    }
}

}  // namespace

void convertPicture(const vorcBufferedTesraDecoderBackEnd& picture, Frame* frame) {
    const PictureRows rows(picture);
    convertPacked(rows, frame);
    if (frame->format() == PixelFormat::I420) convertChroma(rows, frame);
}

}  // namespace vorc
