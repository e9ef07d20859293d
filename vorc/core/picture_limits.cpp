// The process-wide picture size limit.
#include "vorc/core/picture_limits.h"

#include <atomic>

namespace vorc {

namespace {
std::atomic<uint64_t> limit{DefaultMaxPicturePixels};
}  // namespace

void setMaxPicturePixels(uint64_t pixels) { limit = pixels == 0 ? DefaultMaxPicturePixels : pixels; }

uint64_t maxPicturePixels() { return limit; }

bool picturePixelsAllowed(int width, int height) {
    return width > 0 && height > 0 && static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= limit;
}

}  // namespace vorc
