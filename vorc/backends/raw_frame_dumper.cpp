// Raw frame dumper: RGB rows straight out of the frame buffer, or YCbCr
// 4:2:0 assembled in a buffer that lives until the next size change. All
// sizes are size_t: 65535 x 65535 pixels are 4.3 G samples, beyond 32 bits.
#include "vorc/backends/raw_frame_dumper.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "vorc/backends/color_conversion.h"
#include "vorc/core/status_messages.h"

namespace {

constexpr size_t BytesPerPixel = 3;
constexpr size_t BytesPerTileColumnRow = 48;

void sendMessage(vorc::StatusLevel level, const char* format, int width, int height) {
    char text[128];
    std::snprintf(text, sizeof text, format, width, height);
    vorc::sendStatus(level, text, nullptr);
}

}  // namespace

vorcTesraRawFrameDumper::vorcTesraRawFrameDumper(vorcByteStreamReceiver* receiver, bool yuvMode)
    : receiver(receiver), yuvMode(yuvMode), yuvBuffer(nullptr), explicitDumpMode(false) {}

vorcTesraRawFrameDumper::~vorcTesraRawFrameDumper() {
    // The receiver goes first, so that a file writer closes its file before
    // the pictures are released.
    receiver.reset();
    yuvBuffer.reset();
}

void vorcTesraRawFrameDumper::videoResolutionChanged(int newWidth, int newHeight) {
    vorcBufferedTesraDecoderBackEnd::videoResolutionChanged(newWidth, newHeight);
    yuvBuffer.reset();
    // RGB rows need no second buffer, and any size suits them.
    if (frameBuffer == nullptr || !yuvMode) return;
    if (newWidth % 2 != 0 || newHeight % 2 != 0) {
        vorc::sendStatus(vorc::StatusLevel::Warning, "TesraRawFrameDumper : cannot allocate YUV buffer for odd image dimensions!!!", nullptr);
        errorEncountered();
        return;
    }
    const size_t pixels = static_cast<size_t>(newWidth) * static_cast<size_t>(newHeight);
    try {
        yuvBuffer.reset(new unsigned char[pixels + pixels / 2]);
    } catch (const std::bad_alloc&) {
        sendMessage(vorc::StatusLevel::Warning, "TesraRawFrameDumper : failed to resize YUV buffer to  %dx%d !!!", newWidth, newHeight);
        errorEncountered();
        return;
    }
    sendMessage(vorc::StatusLevel::Info, "TesraRawFrameDumper : resized YUV buffer to %dx%d", newWidth, newHeight);
}

void vorcTesraRawFrameDumper::errorEncountered() {}

void vorcTesraRawFrameDumper::frameComplete() {
    if (!explicitDumpMode) dumpFrame();
}

void vorcTesraRawFrameDumper::videoTileReceived() {}

void vorcTesraRawFrameDumper::setExplicitDumpModeEnabled(bool enabled) { explicitDumpMode = enabled; }

void vorcTesraRawFrameDumper::dumpFrame() {
    if (frameBuffer == nullptr || receiver == nullptr) return;
    if (yuvMode && yuvBuffer == nullptr) return;
    // Rows are stored bottom-up: the top picture row is height - 1 rows
    // above the bottom one, which starts at pictureOffset.
    const size_t rowStride = static_cast<size_t>(tileColumns) * BytesPerTileColumnRow;
    const unsigned char* topRow = reinterpret_cast<const unsigned char*>(frameBuffer) +
                                  static_cast<size_t>(pictureOffset) * sizeof(unsigned int) +
                                  static_cast<size_t>(height - 1) * rowStride;
    if (yuvMode) {
        dumpYCbCr(topRow, rowStride);
    } else {
        dumpRGB(topRow, rowStride);
    }
}

void vorcTesraRawFrameDumper::dumpRGB(const unsigned char* topRow, size_t rowStride) {
    // The bytes of the rightmost tiles beyond width belong to no picture row.
    const int rowBytes = width * static_cast<int>(BytesPerPixel);
    const unsigned char* row = topRow;
    for (int y = 0; y < height; ++y, row -= rowStride) receiver->receiveStreamBytes(row, rowBytes);
}

void vorcTesraRawFrameDumper::dumpYCbCr(const unsigned char* topRow, size_t rowStride) {
    const size_t w = static_cast<size_t>(width);
    const size_t pixels = w * static_cast<size_t>(height);
    const size_t chromaWidth = w / 2;
    unsigned char* const luma = yuvBuffer.get();
    unsigned char* const redPlane = luma + pixels;
    unsigned char* const bluePlane = redPlane + pixels / 4;
    std::memset(redPlane, 0, pixels / 2);

    const unsigned char* row = topRow;
    for (size_t y = 0; y < static_cast<size_t>(height); ++y, row -= rowStride) {
        unsigned char* lumaRow = luma + y * w;
        unsigned char* redRow = redPlane + (y / 2) * chromaWidth;
        unsigned char* blueRow = bluePlane + (y / 2) * chromaWidth;
        const unsigned char* pixel = row;
        for (size_t x = 0; x < w; ++x, pixel += BytesPerPixel) {
            unsigned char cb = 0;
            unsigned char cr = 0;
            vorc::convert_RGB_to_YCbCr(pixel[0], pixel[1], pixel[2], &lumaRow[x], &cb, &cr);
            // Each chroma sample sums the quarters of its 2x2 pixels, at
            // most 4 x 63, so the byte cannot overflow.
            redRow[x / 2] = static_cast<unsigned char>(redRow[x / 2] + (cr >> 2));
            blueRow[x / 2] = static_cast<unsigned char>(blueRow[x / 2] + (cb >> 2));
        }
    }
    // One call per frame, unless the frame exceeds what one call can carry.
    const size_t total = pixels + pixels / 2;
    for (size_t sent = 0; sent < total;) {
        const size_t piece = std::min<size_t>(total - sent, INT_MAX);
        receiver->receiveStreamBytes(luma + sent, static_cast<int>(piece));
        sent += piece;
    }
}
