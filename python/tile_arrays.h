// Tile bitmaps of the stream's layout (one bit per 16x16 tile, row-major,
// rows running on without a gap, bit 7 of byte 0 the top left tile) as NumPy
// boolean arrays of tile rows x tile columns, and back.
#ifndef VORC_PYTHON_TILE_ARRAYS_H
#define VORC_PYTHON_TILE_ARRAYS_H

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

// Every tile of a picture of this size set.
pybind11::array_t<bool> allTiles(int width, int height);
// The bitmap of a partial frame of a picture of this size.
pybind11::array_t<bool> unpackTileBitmap(const uint8_t* bitmap, int width, int height);
// A boolean array of the picture's tile rows x tile columns as a bitmap;
// ValueError for another shape.
std::vector<uint8_t> packTileArray(const pybind11::object& tiles, int width, int height);

#endif
