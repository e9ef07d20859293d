// What the decoding and transcoding benchmarks share: timing in processor
// time of the thread, the parts of a JPEG a Tesra frame is made of, and the
// pictures they measure on. Photographic pictures are put together from the
// photographs of Debian's python3-skimage data set at their own resolution
// (no scaling, so their detail is that of the camera that took them); a
// stream of one full and several partial frames shows a photograph moving
// over such a picture, as a camera that films a scene with one moving
// object sends it.
#ifndef VORC_BENCH_BENCH_SUPPORT_H
#define VORC_BENCH_BENCH_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "support/libjpeg_helpers.h"
#include "support/stream_builder.h"

namespace vorcbench {

using vorctest::Bytes;
using vorctest::RgbPicture;

// Processor time of this thread: time the thread spends waiting while other
// work on the machine runs does not count.
double threadSeconds();

// Seconds of processor time per call of each piece of work: the best of
// several rounds of at least 0.1 s, the pieces taking turns so that all meet
// the same load from other work on the machine (caches shared with it).
std::vector<double> bestSeconds(const std::vector<std::function<void()>>& works, int rounds = 8);

// The entropy-coded scan of a JPEG (from after SOS to EOI inclusive) and
// its two quantisation tables in zig-zag order.
struct JpegParts {
    Bytes scan;
    std::vector<unsigned char> lumaTable;
    std::vector<unsigned char> chromaTable;
};
JpegParts splitJpeg(const Bytes& jpeg);

// A scan of the given tiles of a JPEG, with their own coefficients, closed
// by EOI.
Bytes partialScan(const vorctest::JpegCoefficients& coefficients, const std::vector<int>& tiles);

// Where the photographs are: $VORC_PHOTOGRAPHS, or python3-skimage's data
// folder.
std::string photographFolder();

// A photographic picture of the given size: the top left of a mosaic of
// 1920x1080 pixels, photographs cropped into cells of 320x240 pixels, and
// beyond it the mosaic mirrored (3840x2160 is four mosaics, mirrored left
// to right and top to bottom). An empty picture (width 0) when a photograph cannot be read; the reason
// is on standard error.
RgbPicture photographicPicture(int width, int height);

// A picture of `width` x `height` with smooth gradients and a few hard
// edges, no grain: large even areas.
RgbPicture flatPicture(int width, int height);

// The rows of a table: a kind of picture at the sizes and qualities shown.
struct PictureRows {
    const char* content;
    std::function<RgbPicture(int, int)> make;
    std::vector<std::pair<int, int>> sizes;
    std::vector<int> qualities;
};
// Calls `row` for every row whose name ("1920x1080 photographic 85")
// starts with `only`, each picture made once.
void forEachRow(const std::vector<PictureRows>& rows, const std::string& only,
                const std::function<void(const RgbPicture& picture, const char* content, int quality)>& row);

// A stream of one full frame and partial ones: frame f shows `background`
// with a photograph (skimage's cat, about a twentieth of the picture) moved
// on by a few pixels per frame, each picture a libjpeg-turbo JPEG. A partial
// frame codes the tiles whose coefficients differ from the picture before,
// with their own coefficients, so that after frame f the transcoder's image
// is picture f.
struct MovingPatchStream {
    int width = 0;
    int height = 0;
    std::vector<Bytes> jpegs;  // every picture, as libjpeg-turbo wrote it
    JpegParts parts;           // of the first picture: its scan and tables
    std::vector<Bytes> scans;  // frame f's scan (f >= 1), closed by EOI; [0] is parts.scan
    std::vector<Bytes> bitmaps;  // frame f's tile bitmap; [0] is empty
    std::vector<int> codedTiles;  // how many tiles frame f codes
    int tiles() const { return ((width + 15) / 16) * ((height + 15) / 16); }
};
MovingPatchStream movingPatchStream(const RgbPicture& background, int quality, int frames);

}  // namespace vorcbench

#endif
