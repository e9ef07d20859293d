// libjpeg-turbo wrappers for the tests: in-memory compression, decompression
// to RGB, to Y, Cb, Cr samples or to coefficients with errors turned into
// empty results.
#include "support/libjpeg_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace vorctest {

namespace {

// libjpeg reports errors through a callback that must not return; jumping
// back to the caller keeps the library's default exit() out of the tests.
// Warnings (message level -1; higher levels are trace output) are collected
// when there is a list for them.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    std::vector<std::string>* warnings;
};

std::string messageOf(j_common_ptr info) {
    char text[JMSG_LENGTH_MAX];
    info->err->format_message(info, text);
    return text;
}

void onError(j_common_ptr info) {
    std::fprintf(stderr, "libjpeg: %s\n", messageOf(info).c_str());
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void onMessage(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    if (level < 0 && errors->warnings != nullptr) errors->warnings->push_back(messageOf(info));
}

// Runs body (which creates the compressor or decompressor info and returns
// whether it succeeded) with libjpeg errors turned into false; info is
// destroyed either way.
template <class Info, class Body>
bool guarded(Info& info, std::vector<std::string>* warnings, Body body) {
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    errors.base.emit_message = onMessage;
    errors.warnings = warnings;
    bool succeeded = false;
    if (setjmp(errors.jump) == 0) succeeded = body();
    jpeg_destroy(reinterpret_cast<j_common_ptr>(&info));
    return succeeded;
}

// The one decompression set-up: reads the header of an in-memory image,
// hands the decompressor to body and finishes if body succeeded.
template <class Body>
bool decompress(const Bytes& jpeg, std::vector<std::string>* warnings, Body body) {
    jpeg_decompress_struct info{};
    return guarded(info, warnings, [&] {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&info, TRUE);
        if (!body(info)) return false;
        jpeg_finish_decompress(&info);
        return true;
    });
}

// Raw: Y, Cb, Cr in place of R, G, B, without interpolated chrominance.
RgbPicture decodePixels(const Bytes& jpeg, std::vector<std::string>* warnings, bool raw) {
    RgbPicture picture;
    const bool decoded = decompress(jpeg, warnings, [&picture, raw](jpeg_decompress_struct& info) {
        info.out_color_space = raw ? JCS_YCbCr : JCS_RGB;
        info.do_fancy_upsampling = raw ? FALSE : TRUE;
        jpeg_start_decompress(&info);
        picture = {int(info.output_width), int(info.output_height), {}};
        picture.pixels.resize(size_t(picture.width) * picture.height * 3);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = &picture.pixels[size_t(info.output_scanline) * picture.width * 3];
            jpeg_read_scanlines(&info, &row, 1);
        }
        return true;
    });
    return decoded ? picture : RgbPicture{};
}

}  // namespace

Bytes compressJpeg(const RgbPicture& picture, int quality) {
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_compress_struct info{};
    const bool compressed = guarded(info, nullptr, [&] {
        jpeg_create_compress(&info);
        jpeg_mem_dest(&info, &buffer, &size);
        info.image_width = static_cast<JDIMENSION>(picture.width);
        info.image_height = static_cast<JDIMENSION>(picture.height);
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, quality, TRUE);
        // The defaults already are 2x2/1x1/1x1 sampling, fixed tables and no
        // restart markers; being explicit protects the stream layout against
        // a changed default.
        for (int c = 0; c < 3; ++c)
            info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = c == 0 ? 2 : 1;
        info.optimize_coding = FALSE;
        info.restart_interval = info.restart_in_rows = 0;
        jpeg_start_compress(&info, TRUE);
        while (info.next_scanline < info.image_height) {
            JSAMPROW row =
                const_cast<JSAMPROW>(picture.at(0, static_cast<int>(info.next_scanline)));
            jpeg_write_scanlines(&info, &row, 1);
        }
        jpeg_finish_compress(&info);
        return true;
    });
    Bytes result;
    if (compressed) result.assign(buffer, buffer + size);
    std::free(buffer);
    return result;
}

Bytes jpegToTesraFrame(const Bytes& jpeg) {
    if (jpeg.size() < 6 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[2] != 0xFF || jpeg[3] != 0xE0)
        return {};
    const size_t app0End = 4 + ((size_t(jpeg[4]) << 8) | jpeg[5]);
    if (app0End > jpeg.size()) return {};
    Bytes frame(jpeg.begin(), jpeg.begin() + app0End);
    frame.insert(frame.end(), {0xFF, 0xFE, 0x00, 0x05, 'T', 'S', 'F'});
    frame.insert(frame.end(), jpeg.begin() + app0End, jpeg.end());
    return frame;
}

RgbPicture decompressJpeg(const Bytes& jpeg, bool raw) { return decodePixels(jpeg, nullptr, raw); }

RgbPicture decodeJpegStrictly(const Bytes& jpeg, const std::string& what) {
    std::vector<std::string> warnings;
    RgbPicture picture = decodePixels(jpeg, &warnings, false);
    if (picture.width == 0) ADD_FAILURE() << what << ": libjpeg could not decode the image";
    for (const std::string& warning : warnings)
        ADD_FAILURE() << what << ": libjpeg warning: " << warning;
    return picture;
}

JpegCoefficients readJpegCoefficients(const Bytes& jpeg) {
    JpegCoefficients result;
    const bool read = decompress(jpeg, &result.warnings, [&result](jpeg_decompress_struct& info) {
        const jpeg_component_info* comp = info.comp_info;
        if (info.num_components != 3 || comp[0].h_samp_factor != 2 || comp[0].v_samp_factor != 2 ||
            comp[1].h_samp_factor * comp[1].v_samp_factor * comp[2].h_samp_factor *
                    comp[2].v_samp_factor !=
                1)
            return false;
        jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
        result.width = static_cast<int>(info.image_width);
        result.height = static_cast<int>(info.image_height);
        const int columns = (result.width + 15) / 16;
        for (int table = 0; table < 2; ++table)
            std::copy_n(comp[table].quant_table->quantval, 64, result.quant[table].begin());
        result.tiles.resize(size_t(columns) * ((result.height + 15) / 16));
        // Blocks Y0 Y1 Y2 Y3 Cb Cr of tile k: two luminance block rows and
        // columns, one of each chrominance.
        for (size_t k = 0; k < result.tiles.size(); ++k) {
            const int row = int(k) / columns, column = int(k) % columns;
            for (int b = 0; b < 6; ++b) {
                const int c = b < 4 ? 0 : b - 3;
                const JBLOCKARRAY blocks = info.mem->access_virt_barray(
                    reinterpret_cast<j_common_ptr>(&info), arrays[c],
                    JDIMENSION(c == 0 ? row * 2 + b / 2 : row), 1, FALSE);
                std::copy_n(blocks[0][c == 0 ? column * 2 + b % 2 : column], 64,
                            result.tiles[k][b].begin());
            }
        }
        return true;
    });
    return read ? result : JpegCoefficients{};
}

RgbPicture syntheticPicture(int width, int height, bool grey, uint32_t seed) {
    RgbPicture picture{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
    uint32_t noise = seed * 2654435761u + 1u;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = static_cast<int>((noise >> 24) % 17) - 8;
            // A few hard edges (a disc and a bar) give the blocks real AC content.
            const int dx = x - width / 2, dy = y - height / 2;
            int r = (x * 255) / (width > 1 ? width - 1 : 1);
            int g = (y * 255) / (height > 1 ? height - 1 : 1);
            int b = dx * dx + dy * dy < (width * width + height * height) / 16 ? 230 : 40;
            if ((x / 24) % 5 == 2) r = 255 - r;
            if (grey) r = g = b = (r + 2 * g + b) / 4;
            uint8_t* pixel = &picture.pixels[(size_t(y) * width + x) * 3];
            for (const int value : {r, g, b})
                *pixel++ = static_cast<uint8_t>(std::clamp(value + grain, 0, 255));
        }
    }
    return picture;
}

}  // namespace vorctest
