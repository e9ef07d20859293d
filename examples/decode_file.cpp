// A complete decoding chain in a few lines: a file source, the framewise
// parser, the software pixel decoder and a back end of our own that keeps
// the picture (derived from the library's buffered back end). Prints what
// it decoded and, if asked, writes the last picture as a PPM file.
//
//   decode_file STREAM.tesra [LAST.ppm]
#include <cstdio>

#include "vorc/vorc.h"

namespace {

// The buffered back end keeps the picture; we only count frames and errors.
class CountingBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override { ++errors; }
    void frameComplete() override { ++frames; }
    void videoTileReceived() override { ++tiles; }

    // Rows are stored bottom-up: the top picture row is the last memory row.
    bool writePpm(const char* path) const {
        if (frameBuffer == nullptr) return false;
        std::FILE* out = std::fopen(path, "wb");
        if (out == nullptr) return false;
        std::fprintf(out, "P6\n%d %d\n255\n", width, height);
        const auto* picture = reinterpret_cast<const unsigned char*>(frameBuffer + pictureOffset);
        const long rowBytes = static_cast<long>(tileColumns) * WordsPerTileRowLine * 4;
        for (long y = height - 1; y >= 0; --y) std::fwrite(picture + y * rowBytes, 3, static_cast<size_t>(width), out);
        return std::fclose(out) == 0;
    }

    long frames = 0;
    long tiles = 0;
    long errors = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s STREAM.tesra [LAST.ppm]\n", argv[0]);
        return 2;
    }
    auto* source = new vorcStreamFile(argv[1]);
    if (!source->stillUp()) {
        std::fprintf(stderr, "%s: cannot open '%s'\n", argv[0], argv[1]);
        delete source;
        return 2;
    }
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);

    // The parser owns source, back end and scan decoder from here on.
    auto* backEnd = new CountingBackEnd;
    vorcFramewiseTesraDecoder decoder(source, backEnd, new vorcFramewiseTesraScanDecoderSoftwareOnly);
    for (;;) {
        if (decoder.decode(65536) == 0 && !decoder.sourceStillUp()) break;
    }

    std::printf("%ld frames of %dx%d pixels, %ld tiles, %ld errors\n", backEnd->frames, backEnd->width,
                backEnd->height, backEnd->tiles, backEnd->errors);
    if (argc == 3 && !backEnd->writePpm(argv[2])) {
        std::fprintf(stderr, "%s: cannot write '%s'\n", argv[0], argv[2]);
        return 1;
    }
    return backEnd->frames > 0 && backEnd->errors == 0 ? 0 : 1;
}
