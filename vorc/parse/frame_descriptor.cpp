// The frame record that travels from the parser to the scan decoder.
#include "vorc/parse/framewise_decoder.h"

using Descriptor = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

namespace {
int tilesFor(int pixels) { return (pixels >> 4) + ((pixels & 15) != 0 ? 1 : 0); }
}  // namespace

Descriptor::UndecodedFrameDescriptor() { reset(640, 480); }

void Descriptor::setResolution(int newWidth, int newHeight) {
    if (newWidth <= 0) newWidth = 640;
    if (newHeight <= 0) newHeight = 480;
    width = newWidth;
    height = newHeight;
    tileColumns = tilesFor(newWidth);
    tileRows = tilesFor(newHeight);
}

void Descriptor::reset(int newWidth, int newHeight) {
    setResolution(newWidth, newHeight);
    scanBytes = nullptr;
    scanLength = 0;
    tileBitmap = nullptr;
}
