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
    if (yuvMode) {
        dumpYCbCr();
    } else {
        dumpRGB();
    }
}

void vorcTesraRawFrameDumper::dumpRGB() {
    // The bytes of the rightmost tiles beyond width belong to no picture row.
    const int rowBytes = width * static_cast<int>(BytesPerPixel);
    for (int y = 0; y < height; ++y) receiver->receiveStreamBytes(pictureRow(y), rowBytes);
}

// Planes Y, Cr, Cb; the size is even, or there is no YCbCr buffer.
void vorcTesraRawFrameDumper::dumpYCbCr() {
    const size_t w = static_cast<size_t>(width);
    const size_t pixels = w * static_cast<size_t>(height);
    unsigned char* const luma = yuvBuffer.get();
    vorc::PlanarPicture planes{luma, w};
    planes.redDifference = luma + pixels;
    planes.blueDifference = luma + pixels + pixels / 4;
    planes.chromaStride = w / 2;
    vorc::convertPictureTo420(*this, planes);
    // One call per frame, unless the frame exceeds what one call can carry.
    const size_t total = pixels + pixels / 2;
    for (size_t sent = 0; sent < total;) {
        const size_t piece = std::min<size_t>(total - sent, INT_MAX);
        receiver->receiveStreamBytes(luma + sent, static_cast<int>(piece));
        sent += piece;
    }
}
