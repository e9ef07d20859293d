// The tile bitmap of a partial frame, as the scan decoders walk it (parser ->
// scan decoder): the coded tiles found a byte of the bitmap at a time, so
// that a frame of few tiles costs little more than its tiles.
#ifndef VORC_JPEG_TILE_BITMAP_H
#define VORC_JPEG_TILE_BITMAP_H

#include <cstddef>

namespace vorc::jpeg {

// The first coded tile from `tile` on, or `count` when there is none: tile
// k is bit 7 - k % 8 of byte k / 8. Without a bitmap every tile is coded.
inline size_t nextCodedTile(const unsigned char* bitmap, size_t tile, size_t count) {
    if (bitmap == nullptr) return tile < count ? tile : count;
    while (tile < count) {
        const unsigned byte = bitmap[tile / 8] & (0xFFu >> (tile % 8));
        if (byte != 0) {
            const size_t found = tile / 8 * 8 + static_cast<size_t>(__builtin_clz(byte)) - 24;
            return found < count ? found : count;
        }
        tile = (tile / 8 + 1) * 8;
    }
    return count;
}

}  // namespace vorc::jpeg

#endif
