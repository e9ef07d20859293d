// The buffered RGB back end: keeps the whole current picture, bottom-up, as
// 24-bit RGB in one frame buffer that lives from frame to frame, so tiles a
// frame does not code keep their earlier pixels. The scan decoder writes
// decoded tiles straight into it.
// Abstract: a derived class decides what to do with each finished picture
// (errorEncountered, frameComplete, videoTileReceived) and reads the fields.
#ifndef VORC_BACKENDS_BUFFERED_BACKEND_H
#define VORC_BACKENDS_BUFFERED_BACKEND_H

#include <cstddef>
#include <cstdint>

#include "vorc/core/stream_interfaces.h"

class vorcBufferedTesraDecoderBackEnd : public vorcTesraDecoderBackEnd {
public:
    vorcBufferedTesraDecoderBackEnd();
    ~vorcBufferedTesraDecoderBackEnd() override;

    // Replaces the picture by an (uncleared) one of the new size. If that
    // size cannot be allocated, reports it, calls errorEncountered() and
    // leaves the object without a buffer.
    void videoResolutionChanged(int width, int height) override;
    void provideVideoTilePixelTarget(int tileColumn, int tileRow, unsigned int** pixelTarget,
                                     int* rowPad) override;

    // The first pixel (3 bytes: red, green, blue) of picture row y, 0 the
    // top row; valid while the buffer is. Each row holds width pixels.
    const unsigned char* pictureRow(int y) const {
        const size_t memoryRowBytes = static_cast<size_t>(tileColumns) * WordsPerTileRowLine * sizeof(unsigned int);
        return reinterpret_cast<const unsigned char*>(frameBuffer + pictureOffset) +
               static_cast<size_t>(height - 1 - y) * memoryRowBytes;
    }

    // The picture's memory rows are tileColumns * 12 words long; the bottom
    // picture row starts at word pictureOffset, the top one is the last row.
    int32_t width;
    int32_t height;
    int32_t tileColumns;
    int32_t tileRows;
    unsigned int* frameBuffer;  // owned; tileColumns * tileRows * 192 words
    int32_t pictureOffset;
    unsigned int scratchTile[192];  // target of every tile while there is no buffer

    static constexpr int32_t WordsPerTile = 192;
    static constexpr int32_t WordsPerTileRowLine = 12;  // one 16-pixel row of a tile
};

#endif
