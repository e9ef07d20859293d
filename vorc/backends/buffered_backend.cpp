// Buffered RGB back end: frame-buffer allocation at a change of picture size
// and the bottom-up address of each tile. Sizes and addresses are computed
// in 64-bit/size_t arithmetic: the largest picture a stream can announce
// (65535 x 65535) needs about 12.9 GB and word offsets beyond the int range.
#include "vorc/backends/buffered_backend.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <new>

#include "vorc/core/picture_limits.h"
#include "vorc/core/status_messages.h"

namespace {

constexpr int TileSize = 16;
// A new picture shows mid-grey until its tiles arrive.
constexpr unsigned char BlankLevel = 128;

int tilesFor(int pixels) { return (pixels >> 4) + ((pixels & 15) != 0 ? 1 : 0); }

// The buffer geometry of one picture size, or ok == false when it cannot be
// represented: non-positive sizes, a word count beyond what the address
// space can hold, or a picture offset that does not fit its int field (the
// row pad always fits: tileColumns <= 2^27).
struct Geometry {
    bool ok = false;
    int32_t tileColumns = 0;
    int32_t tileRows = 0;
    size_t words = 0;
    int32_t pictureOffset = 0;
};

Geometry geometryFor(int width, int height) {
    Geometry g;
    if (width <= 0 || height <= 0) return g;
    g.tileColumns = tilesFor(width);
    g.tileRows = tilesFor(height);
    constexpr uint64_t wordsPerTile = vorcBufferedTesraDecoderBackEnd::WordsPerTile;
    constexpr uint64_t lineWords = vorcBufferedTesraDecoderBackEnd::WordsPerTileRowLine;
    const uint64_t tiles = uint64_t(g.tileColumns) * uint64_t(g.tileRows);  // < 2^54
    constexpr uint64_t maxWords = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(unsigned int);
    if (tiles > maxWords / wordsPerTile) return g;
    const uint64_t offset = uint64_t(g.tileRows * int64_t{TileSize} - height) * g.tileColumns * lineWords;
    if (offset > uint64_t(std::numeric_limits<int32_t>::max())) return g;
    g.words = static_cast<size_t>(tiles * wordsPerTile);
    g.pictureOffset = static_cast<int32_t>(offset);
    g.ok = true;
    return g;
}

}  // namespace

vorcBufferedTesraDecoderBackEnd::vorcBufferedTesraDecoderBackEnd()
    : width(0), height(0), tileColumns(0), tileRows(0), frameBuffer(nullptr), pictureOffset(0) {}

vorcBufferedTesraDecoderBackEnd::~vorcBufferedTesraDecoderBackEnd() { delete[] frameBuffer; }

void vorcBufferedTesraDecoderBackEnd::videoResolutionChanged(int newWidth, int newHeight) {
    // The old picture goes first, so that a switch needs no more memory
    // than the new picture itself.
    delete[] frameBuffer;
    frameBuffer = nullptr;

    const Geometry g = geometryFor(newWidth, newHeight);
    unsigned int* buffer = nullptr;
    if (g.ok && vorc::picturePixelsAllowed(newWidth, newHeight)) {
        try {
            buffer = new unsigned int[g.words];
            // Never what the memory held before: that would show other data
            // and differ from run to run.
            std::fill_n(reinterpret_cast<unsigned char*>(buffer), g.words * sizeof(unsigned int), BlankLevel);
        } catch (const std::bad_alloc&) {
            buffer = nullptr;
        }
    }

    char text[128];
    if (buffer == nullptr) {
        width = height = tileColumns = tileRows = pictureOffset = 0;
        std::snprintf(text, sizeof text,
                      "vorcBufferedTesraDecoderBackEnd : !!! failed to switch video reolution to %dx%d !!!",
                      newWidth, newHeight);
        vorc::sendStatus(vorc::StatusLevel::Warning, text, nullptr);
        errorEncountered();
        return;
    }
    frameBuffer = buffer;
    pictureOffset = g.pictureOffset;
    tileColumns = g.tileColumns;
    tileRows = g.tileRows;
    width = newWidth;
    height = newHeight;
    std::snprintf(text, sizeof text, "vorcBufferedTesraDecoderBackEnd : switched video resolution to %dx%d",
                  newWidth, newHeight);
    vorc::sendStatusMsg(text, nullptr);
}

void vorcBufferedTesraDecoderBackEnd::provideVideoTilePixelTarget(int tileColumn, int tileRow,
                                                                  unsigned int** pixelTarget, int* rowPad) {
    // A tile outside the picture (a scan decoder fed a frame of another size)
    // must not be written outside the buffer; it is lost like any tile
    // decoded while there is no buffer.
    const bool inside = tileColumn >= 0 && tileColumn < tileColumns && tileRow >= 0 && tileRow < tileRows;
    if (frameBuffer == nullptr || !inside) {
        *pixelTarget = scratchTile;
        *rowPad = 0;
        return;
    }
    // The tile's top row is the highest of its 16 memory rows.
    const size_t memoryRow = size_t(tileRows - tileRow) * TileSize - 1;
    const size_t word = (memoryRow * size_t(tileColumns) + size_t(tileColumn)) * WordsPerTileRowLine;
    *pixelTarget = frameBuffer + word;
    *rowPad = -(tileColumns + 1) * WordsPerTileRowLine;
}
