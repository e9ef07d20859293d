// The benchmarks' timing, JPEG parts and pictures: photographs read with
// libpng or libjpeg, put together into mosaics, and the moving-patch stream.
#include "bench_support.h"

#include <png.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

namespace vorcbench {

namespace {

constexpr int MosaicWidth = 1920;
constexpr int MosaicHeight = 1080;
constexpr int CellWidth = 320;
constexpr int CellHeight = 240;
constexpr int MosaicColumns = MosaicWidth / CellWidth;
constexpr int MosaicRows = (MosaicHeight + CellHeight - 1) / CellHeight;

// A crop of a photograph of the data set: the file and the crop's top left.
struct Crop {
    const char* file;
    int x;
    int y;
};

// The mosaic's cells, row by row: no photograph twice in a row, and most
// of them at more than one place.
constexpr Crop MosaicCells[MosaicRows][MosaicColumns] = {
    {{"motorcycle_left.png", 0, 0}, {"coffee.png", 0, 0}, {"astronaut.png", 0, 0},
     {"rocket.jpg", 0, 0}, {"hubble_deep_field.jpg", 0, 0}, {"ihc.png", 0, 0}},
    {{"coffee.png", 280, 160}, {"motorcycle_left.png", 320, 0}, {"rocket.jpg", 320, 187},
     {"astronaut.png", 192, 272}, {"chelsea.png", 0, 30}, {"hubble_deep_field.jpg", 320, 240}},
    {{"hubble_deep_field.jpg", 640, 0}, {"ihc.png", 192, 272}, {"motorcycle_left.png", 0, 260},
     {"retina.jpg", 300, 585}, {"coffee.png", 140, 80}, {"astronaut.png", 192, 0}},
    {{"rocket.jpg", 160, 100}, {"hubble_deep_field.jpg", 0, 480}, {"chelsea.png", 131, 30},
     {"motorcycle_left.png", 421, 260}, {"ihc.png", 0, 272}, {"retina.jpg", 585, 300}},
    {{"astronaut.png", 0, 272}, {"retina.jpg", 700, 700}, {"hubble_deep_field.jpg", 640, 480},
     {"rocket.jpg", 0, 187}, {"coffee.png", 0, 160}, {"motorcycle_left.png", 200, 130}},
};

constexpr char MovingPhotograph[] = "chelsea.png";

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

RgbPicture readPhotograph(const std::string& file) {
    const std::string path = photographFolder() + "/" + file;
    if (endsWith(file, ".jpg")) {
        std::ifstream in(path, std::ios::binary);
        const Bytes jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        RgbPicture picture = jpeg.empty() ? RgbPicture{} : vorctest::decompressJpeg(jpeg);
        if (picture.width == 0) std::fprintf(stderr, "error: cannot read the photograph %s\n", path.c_str());
        return picture;
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    RgbPicture picture;
    if (png_image_begin_read_from_file(&png, path.c_str()) != 0) {
        png.format = PNG_FORMAT_RGB;
        picture.width = static_cast<int>(png.width);
        picture.height = static_cast<int>(png.height);
        picture.pixels.resize(PNG_IMAGE_SIZE(png));
        if (png_image_finish_read(&png, nullptr, picture.pixels.data(), 0, nullptr) == 0) picture = {};
    }
    png_image_free(&png);
    if (picture.width == 0) std::fprintf(stderr, "error: cannot read the photograph %s\n", path.c_str());
    return picture;
}

// Each photograph read once.
const RgbPicture& photograph(const std::string& file) {
    static std::map<std::string, RgbPicture> read;
    auto found = read.find(file);
    if (found == read.end()) found = read.emplace(file, readPhotograph(file)).first;
    return found->second;
}

void setPixel(RgbPicture& picture, int x, int y, const uint8_t* rgb) {
    std::copy_n(rgb, 3, &picture.pixels[(size_t(y) * picture.width + x) * 3]);
}

int roundedToTile(double pixels) { return std::max(16, static_cast<int>(pixels / 16 + 0.5) * 16); }

}  // namespace

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

std::vector<double> bestSeconds(const std::vector<std::function<void()>>& works, int rounds) {
    std::vector<double> best(works.size(), 1e9);
    for (const auto& work : works) work();
    for (int round = 0; round < rounds; ++round) {
        for (size_t w = 0; w < works.size(); ++w) {
            int calls = 0;
            const double start = threadSeconds();
            double elapsed = 0;
            do {
                works[w]();
                ++calls;
                elapsed = threadSeconds() - start;
            } while (elapsed < 0.1);
            best[w] = std::min(best[w], elapsed / calls);
        }
    }
    return best;
}

JpegParts splitJpeg(const Bytes& jpeg) {
    JpegParts parts;
    size_t i = 2;
    while (i + 4 <= jpeg.size()) {
        const int marker = jpeg[i + 1];
        const size_t length = (size_t{jpeg[i + 2]} << 8) | jpeg[i + 3];
        if (marker == 0xDB) {
            std::vector<unsigned char>& table = jpeg[i + 4] == 0 ? parts.lumaTable : parts.chromaTable;
            table.assign(jpeg.begin() + static_cast<long>(i) + 5, jpeg.begin() + static_cast<long>(i) + 69);
        }
        if (marker == 0xDA) {
            parts.scan.assign(jpeg.begin() + static_cast<long>(i + 2 + length), jpeg.end());
            break;
        }
        i += 2 + length;
    }
    return parts;
}

Bytes partialScan(const vorctest::JpegCoefficients& coefficients, const std::vector<int>& tiles) {
    vorctest::ScanWriter writer;
    for (const int k : tiles) {
        const vorctest::TileBlocks& t = coefficients.tiles[static_cast<size_t>(k)];
        writer.tile(t[0], t[1], t[2], t[3], t[4], t[5]);
    }
    Bytes scan = writer.finish();
    scan.insert(scan.end(), {0xFF, 0xD9});
    return scan;
}

std::string photographFolder() {
    const char* folder = std::getenv("VORC_PHOTOGRAPHS");
    return folder != nullptr ? folder : "/usr/lib/python3/dist-packages/skimage/data";
}

RgbPicture photographicPicture(int width, int height) {
    const RgbPicture* cells[MosaicRows][MosaicColumns];
    for (int row = 0; row < MosaicRows; ++row) {
        for (int column = 0; column < MosaicColumns; ++column) {
            cells[row][column] = &photograph(MosaicCells[row][column].file);
            if (cells[row][column]->width == 0) return {};
        }
    }
    RgbPicture picture{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        // Mirrored beyond the mosaic, and again beyond twice its size.
        const int my = (y / MosaicHeight) % 2 == 0 ? y % MosaicHeight : MosaicHeight - 1 - y % MosaicHeight;
        for (int x = 0; x < width; ++x) {
            const int mx = (x / MosaicWidth) % 2 == 0 ? x % MosaicWidth : MosaicWidth - 1 - x % MosaicWidth;
            const Crop& crop = MosaicCells[my / CellHeight][mx / CellWidth];
            const RgbPicture& source = *cells[my / CellHeight][mx / CellWidth];
            const int sx = std::min(crop.x + mx % CellWidth, source.width - 1);
            const int sy = std::min(crop.y + my % CellHeight, source.height - 1);
            setPixel(picture, x, y, source.at(sx, sy));
        }
    }
    return picture;
}

RgbPicture flatPicture(int width, int height) {
    RgbPicture picture{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool inBar = (x / 96) % 4 == 1;
            const uint8_t rgb[3] = {static_cast<uint8_t>(inBar ? 200 : (x * 255) / width),
                                    static_cast<uint8_t>((y * 255) / height), static_cast<uint8_t>(inBar ? 40 : 128)};
            setPixel(picture, x, y, rgb);
        }
    }
    return picture;
}

void forEachRow(const std::vector<PictureRows>& rows, const std::string& only,
                const std::function<void(const RgbPicture& picture, const char* content, int quality)>& row) {
    const auto selected = [&only](const std::string& name) { return name.compare(0, only.size(), only) == 0; };
    for (const PictureRows& kind : rows) {
        for (const auto& [width, height] : kind.sizes) {
            const std::string prefix = std::to_string(width) + "x" + std::to_string(height) + " " + kind.content;
            std::vector<int> qualities;
            for (const int quality : kind.qualities)
                if (selected(prefix + " " + std::to_string(quality))) qualities.push_back(quality);
            if (qualities.empty()) continue;
            const RgbPicture picture = kind.make(width, height);
            if (picture.width == 0) continue;
            for (const int quality : qualities) row(picture, kind.content, quality);
        }
    }
}

MovingPatchStream movingPatchStream(const RgbPicture& background, int quality, int frames) {
    MovingPatchStream stream;
    stream.width = background.width;
    stream.height = background.height;
    const RgbPicture& cat = photograph(MovingPhotograph);
    if (cat.width == 0 || background.width == 0) return {};
    // About a twentieth of the picture; larger than the photograph, it is
    // enlarged by repeating pixels, which keeps its edges hard.
    const int patchWidth = roundedToTile(background.width * 0.217);
    const int patchHeight = roundedToTile(background.height * 0.237);
    const int scale = std::max({1, (patchWidth + cat.width - 1) / cat.width, (patchHeight + cat.height - 1) / cat.height});
    const int cropX = (cat.width - patchWidth / scale) / 2;
    const int cropY = (cat.height - patchHeight / scale) / 2;
    const int stepX = std::max(2, background.width * 6 / MosaicWidth);
    const int stepY = std::max(1, background.height * 2 / MosaicHeight);

    vorctest::JpegCoefficients before;
    for (int f = 0; f < frames; ++f) {
        RgbPicture picture = background;
        const int left = background.width * 35 / 100 + f * stepX;
        const int top = background.height * 30 / 100 + f * stepY;
        for (int y = 0; y < patchHeight && top + y < picture.height; ++y)
            for (int x = 0; x < patchWidth && left + x < picture.width; ++x)
                setPixel(picture, left + x, top + y, cat.at(cropX + x / scale, cropY + y / scale));
        Bytes jpeg = vorctest::compressJpeg(picture, quality);
        vorctest::JpegCoefficients coefficients = vorctest::readJpegCoefficients(jpeg);
        if (f == 0) {
            stream.parts = splitJpeg(jpeg);
            stream.scans.push_back(stream.parts.scan);
            stream.bitmaps.emplace_back();
            stream.codedTiles.push_back(stream.tiles());
        } else {
            std::vector<int> changed;
            for (size_t k = 0; k < coefficients.tiles.size(); ++k)
                if (coefficients.tiles[k] != before.tiles[k]) changed.push_back(static_cast<int>(k));
            stream.scans.push_back(partialScan(coefficients, changed));
            stream.bitmaps.push_back(vorctest::tileBitmap((stream.width + 15) / 16, (stream.height + 15) / 16, changed));
            stream.codedTiles.push_back(static_cast<int>(changed.size()));
        }
        stream.jpegs.push_back(std::move(jpeg));
        before = std::move(coefficients);
    }
    return stream;
}

}  // namespace vorcbench
