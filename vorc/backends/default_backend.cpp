// Counting back end: reports frames and resolution changes, keeps no picture.
#include "vorc/backends/default_backend.h"

#include <cstdio>

#include "vorc/core/status_messages.h"

vorcDefaultTesraDecoderBackEnd::vorcDefaultTesraDecoderBackEnd() : decodedFrames(0), tileCount(0), frameCorrupt(0) {}

void vorcDefaultTesraDecoderBackEnd::videoResolutionChanged(int width, int height) {
    char message[96];
    std::snprintf(message, sizeof message, "vorcDefaultTesraDecoderBackEnd : video resolution changed to %dx%d.", width,
                  height);
    vorc::sendStatusMsg(message, nullptr);
}

void vorcDefaultTesraDecoderBackEnd::errorEncountered() { frameCorrupt = 1; }

void vorcDefaultTesraDecoderBackEnd::frameComplete() {
    ++decodedFrames;
    if (frameCorrupt == 0) {
        char message[112];
        std::snprintf(message, sizeof message,
                      "vorcDefaultTesraDecoderBackEnd : ------ video frame #%d with %d tiles OK ------", decodedFrames,
                      tileCount);
        vorc::sendStatusMsg(message, nullptr);
    } else {
        vorc::sendStatusMsg("@@@@@@@@ vorcDefaultTesraDecoderBackEnd : CORRUPT FRAME", nullptr);
    }
    frameCorrupt = 0;
    tileCount = 0;
}

void vorcDefaultTesraDecoderBackEnd::provideVideoTilePixelTarget(int, int, unsigned int** pixelTarget, int* rowPad) {
    *pixelTarget = scratchTile;
    *rowPad = 0;
}

void vorcDefaultTesraDecoderBackEnd::videoTileReceived() { ++tileCount; }

int vorcDefaultTesraDecoderBackEnd::getDecodedFramesNum() { return decodedFrames; }
