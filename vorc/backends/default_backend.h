// The default back end, for callers that want the frames checked and counted
// but not the pixels. Every tile is written over one private scratch tile;
// each finished frame and each change of resolution is announced as a
// status message.
#ifndef VORC_BACKENDS_DEFAULT_BACKEND_H
#define VORC_BACKENDS_DEFAULT_BACKEND_H

#include <cstdint>

#include "vorc/core/stream_interfaces.h"

class vorcDefaultTesraDecoderBackEnd : public vorcTesraDecoderBackEnd {
public:
    vorcDefaultTesraDecoderBackEnd();

    void videoResolutionChanged(int width, int height) override;
    void errorEncountered() override;
    void frameComplete() override;
    // Always the same scratch tile with a row pad of 0.
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget,
                                     int* rowPad) override;
    void videoTileReceived() override;

    // Frames completed so far, corrupt ones included.
    int getDecodedFramesNum();

protected:
    int32_t decodedFrames;
    int32_t tileCount;
    int32_t frameCorrupt;
    // One 16x16 tile of 3-byte pixels; written to, never read.
    uint32_t scratchTile[192];
};

#endif
