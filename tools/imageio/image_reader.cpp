// PNG and PPM reading for the encode command. PNG goes through libpng's
// simplified interface, which converts every colour type and bit depth to
// 8-bit RGB; PPM is parsed here (it has no library worth a dependency).
#include "tools/imageio/image_reader.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int LargestSide = 65535;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool readPng(const std::string& path, RgbImage& image, std::string& error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
        error = png.message;
        return false;
    }
    if (png.width > LargestSide || png.height > LargestSide) {
        png_image_free(&png);
        error = "larger than 65535 pixels";
        return false;
    }
    png.format = PNG_FORMAT_RGB;
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    if (png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr) == 0) {
        error = png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}

// A header number of a PPM file, after white space and # comments.
bool readPpmNumber(std::FILE* file, long& value) {
    int c = std::fgetc(file);
    for (;;) {
        while (c != EOF && std::isspace(c)) c = std::fgetc(file);
        if (c != '#') break;
        while (c != EOF && c != '\n') c = std::fgetc(file);
    }
    if (c == EOF || !std::isdigit(c)) return false;
    value = 0;
    while (c != EOF && std::isdigit(c)) {
        value = value * 10 + (c - '0');
        if (value > 1000000) return false;
        c = std::fgetc(file);
    }
    // Exactly one white-space byte ends the last header number.
    return c != EOF && std::isspace(c);
}

bool readPpm(std::FILE* file, RgbImage& image, std::string& error) {
    long width = 0;
    long height = 0;
    long maxValue = 0;
    if (!readPpmNumber(file, width) || !readPpmNumber(file, height) || !readPpmNumber(file, maxValue)) {
        error = "damaged PPM header";
        return false;
    }
    if (width < 1 || height < 1 || width > LargestSide || height > LargestSide || maxValue < 1 || maxValue > 65535) {
        error = "unsupported PPM size or depth";
        return false;
    }
    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    const size_t bytesPerSample = maxValue > 255 ? 2 : 1;
    std::vector<unsigned char> raw(samples * bytesPerSample);
    if (std::fread(raw.data(), 1, raw.size(), file) != raw.size()) {
        error = "PPM file ends early";
        return false;
    }
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.pixels.resize(samples);
    for (size_t i = 0; i < samples; ++i) {
        const long sample = bytesPerSample == 2 ? raw[2 * i] * 256L + raw[2 * i + 1] : raw[i];
        image.pixels[i] = static_cast<unsigned char>((std::min(sample, maxValue) * 255 + maxValue / 2) / maxValue);
    }
    return true;
}

}  // namespace

bool readRgbImage(const std::string& path, RgbImage& image, std::string& error) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    unsigned char signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof signature, file.get());
    if (got == sizeof signature && png_sig_cmp(signature, 0, sizeof signature) == 0) {
        file.reset();
        return readPng(path, image, error);
    }
    if (got >= 3 && signature[0] == 'P' && signature[1] == '6' && std::isspace(signature[2])) {
        std::fseek(file.get(), 2, SEEK_SET);
        return readPpm(file.get(), image, error);
    }
    error = "not a PNG or binary PPM (P6) picture";
    return false;
}
