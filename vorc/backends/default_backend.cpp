// Counting back end: reports frames and resolution changes, keeps no picture.
#include "vorc/backends/default_backend.h"

#include <charconv>
#include <cstdio>
#include <cstring>

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
        // Put together by hand: a stream of small frames is walked at a few
        // gigabytes a second, and this line is most of a frame's cost.
        static constexpr char Start[] = "vorcDefaultTesraDecoderBackEnd : ------ video frame #";
        static constexpr char Middle[] = " with ";
        static constexpr char End[] = " tiles OK ------";
        char message[112];
        char* at = message;
        const auto append = [&at](const char* text, size_t length) {
            std::memcpy(at, text, length);
            at += length;
        };
        const auto appendNumber = [&append](int32_t value) {
            char digits[12];  // a sign and ten digits
            append(digits, static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits));
        };
        append(Start, sizeof Start - 1);
        appendNumber(decodedFrames);
        append(Middle, sizeof Middle - 1);
        appendNumber(tileCount);
        append(End, sizeof End);  // with its terminating zero
        vorc::sendStatusMsg(message, nullptr);
    } else {
        vorc::sendStatus(vorc::StatusLevel::Warning, "@@@@@@@@ vorcDefaultTesraDecoderBackEnd : CORRUPT FRAME", nullptr);
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
