// The largest picture the library will allocate for. A stream announces its
// picture size in a frame header, and a 258-byte stream can announce 65535 x
// 65535 pixels (12.9 GB as RGB); the back ends and the transcoder check the
// size here before they allocate anything, and a larger picture takes their
// out-of-memory path (reported, decoding goes on without the buffer).
// Process-wide, like the status handler.
#ifndef VORC_CORE_PICTURE_LIMITS_H
#define VORC_CORE_PICTURE_LIMITS_H

#include <cstdint>

namespace vorc {

constexpr uint64_t DefaultMaxPicturePixels = 64u * 1000 * 1000;

// 0 restores the default.
void setMaxPicturePixels(uint64_t pixels);
uint64_t maxPicturePixels();

// width x height is positive and within the limit.
bool picturePixelsAllowed(int width, int height);

}  // namespace vorc

#endif
