// vorc::SyntheticScene: a deterministic moving test picture to feed the stream
// encoder (scene -> encoder -> Tesra stream) when no camera is at hand. A
// still, textured background, three objects moving at different speeds and
// a frame counter, so that consecutive frames differ in only some tiles.
// Integer arithmetic only: every machine renders the same pixels, and the
// same frames encode to the same bytes.
#ifndef VORC_ENCODE_SYNTHETIC_SCENE_H
#define VORC_ENCODE_SYNTHETIC_SCENE_H

#include <cstdint>
#include <vector>

namespace vorc {

class SyntheticScene {
public:
    // 1 to 65535 pixels each way; other sizes throw vorc::InvalidArgument.
    SyntheticScene(int width, int height);

    // Renders frame number `frame` and returns its RGB pixels (3 bytes each,
    // top row first, no row padding), valid until the next call.
    const unsigned char* renderFrame(uint32_t frame);

private:
    void fillRectangle(int64_t left, int64_t top, int64_t width, int64_t height, const unsigned char* rgb);
    void fillDisc(int64_t centreX, int64_t centreY, int64_t radius, const unsigned char* rgb);
    void drawCounter(uint32_t frame);

    int width_;
    int height_;
    std::vector<unsigned char> background_;
    std::vector<unsigned char> pixels_;
};

}  // namespace vorc

#endif
