// Tile bitmaps and NumPy boolean arrays.
#include "python/tile_arrays.h"

#include <algorithm>
#include <string>

namespace py = pybind11;

namespace {

py::ssize_t tilesAcross(int pixels) { return (py::ssize_t(pixels) + 15) / 16; }

}  // namespace

py::array_t<bool> allTiles(int width, int height) {
    py::array_t<bool> tiles({tilesAcross(height), tilesAcross(width)});
    std::fill(tiles.mutable_data(), tiles.mutable_data() + tiles.size(), true);
    return tiles;
}

py::array_t<bool> unpackTileBitmap(const uint8_t* bitmap, int width, int height) {
    py::array_t<bool> tiles({tilesAcross(height), tilesAcross(width)});
    bool* out = tiles.mutable_data();
    for (py::ssize_t tile = 0; tile < tiles.size(); ++tile) {
        out[tile] = (bitmap[tile / 8] >> (7 - tile % 8)) & 1;
    }
    return tiles;
}

std::vector<uint8_t> packTileArray(const py::object& tiles, int width, int height) {
    const auto array = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(tiles);
    const py::ssize_t rows = tilesAcross(height);
    const py::ssize_t columns = tilesAcross(width);
    if (!array || array.ndim() != 2 || array.shape(0) != rows || array.shape(1) != columns) {
        throw py::value_error("changed_tiles must be a boolean array of " + std::to_string(rows) + " x " +
                              std::to_string(columns) + " tiles for a picture of " + std::to_string(width) + "x" +
                              std::to_string(height));
    }
    std::vector<uint8_t> bitmap(size_t(rows * columns + 7) / 8);
    const bool* in = array.data();
    for (py::ssize_t tile = 0; tile < rows * columns; ++tile) {
        if (in[tile]) bitmap[size_t(tile / 8)] |= uint8_t(0x80 >> (tile % 8));
    }
    return bitmap;
}
