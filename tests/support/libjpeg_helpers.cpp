// libjpeg-turbo wrappers for the tests: in-memory compression and the two
// kinds of decompression, with errors turned into empty results.
#include "support/libjpeg_helpers.h"

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
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void onError(j_common_ptr info) {
    char text[JMSG_LENGTH_MAX];
    info->err->format_message(info, text);
    std::fprintf(stderr, "libjpeg: %s\n", text);
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

bool compressInto(const RgbPicture& picture, int quality, unsigned char** out, unsigned long* size) {
    jpeg_compress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, size);
    info.image_width = static_cast<JDIMENSION>(picture.width);
    info.image_height = static_cast<JDIMENSION>(picture.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    // The defaults already are 2x2/1x1/1x1 sampling and fixed tables; being
    // explicit protects the stream layout against a changed default.
    info.comp_info[0].h_samp_factor = 2;
    info.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
    }
    info.optimize_coding = FALSE;
    info.restart_interval = 0;
    info.restart_in_rows = 0;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(picture.at(0, static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

Bytes compressJpeg(const RgbPicture& picture, int quality) {
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    Bytes result;
    if (compressInto(picture, quality, &buffer, &size)) result.assign(buffer, buffer + size);
    std::free(buffer);
    return result;
}

Bytes jpegToTesraFrame(const Bytes& jpeg) {
    if (jpeg.size() < 6 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[2] != 0xFF || jpeg[3] != 0xE0) {
        return {};
    }
    const size_t app0End = 4 + ((static_cast<size_t>(jpeg[4]) << 8) | jpeg[5]);
    if (app0End > jpeg.size()) return {};
    Bytes frame(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(app0End));
    const Bytes comment = {0xFF, 0xFE, 0x00, 0x05, 'T', 'S', 'F'};
    frame.insert(frame.end(), comment.begin(), comment.end());
    frame.insert(frame.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(app0End), jpeg.end());
    return frame;
}

RgbPicture decompressJpeg(const Bytes& jpeg) {
    RgbPicture picture;
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return RgbPicture{};
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    picture.width = static_cast<int>(info.output_width);
    picture.height = static_cast<int>(info.output_height);
    picture.pixels.resize(static_cast<size_t>(picture.width) * picture.height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &picture.pixels[static_cast<size_t>(info.output_scanline) * picture.width * 3];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return picture;
}

RawPlanes decompressJpegRaw(const Bytes& jpeg) {
    RawPlanes planes;
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return RawPlanes{};
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.raw_data_out = TRUE;
    jpeg_start_decompress(&info);
    planes.width = static_cast<int>(info.output_width);
    planes.height = static_cast<int>(info.output_height);
    const int lumaRows = (planes.height + 15) / 16 * 16;
    planes.lumaStride = (planes.width + 15) / 16 * 16;
    planes.chromaStride = planes.lumaStride / 2;
    planes.y.assign(static_cast<size_t>(planes.lumaStride) * lumaRows, 0);
    planes.cb.assign(static_cast<size_t>(planes.chromaStride) * lumaRows / 2, 0);
    planes.cr.assign(planes.cb.size(), 0);
    while (info.output_scanline < info.output_height) {
        const int top = static_cast<int>(info.output_scanline);
        JSAMPROW lumaRowPointers[16];
        JSAMPROW cbRowPointers[8];
        JSAMPROW crRowPointers[8];
        for (int r = 0; r < 16; ++r) {
            lumaRowPointers[r] = &planes.y[static_cast<size_t>(top + r) * planes.lumaStride];
        }
        for (int r = 0; r < 8; ++r) {
            const size_t offset = static_cast<size_t>(top / 2 + r) * planes.chromaStride;
            cbRowPointers[r] = &planes.cb[offset];
            crRowPointers[r] = &planes.cr[offset];
        }
        JSAMPARRAY components[3] = {lumaRowPointers, cbRowPointers, crRowPointers};
        if (jpeg_read_raw_data(&info, components, 16) == 0) break;
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return planes;
}

RgbPicture syntheticPicture(int width, int height, bool grey, uint32_t seed) {
    RgbPicture picture;
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(static_cast<size_t>(width) * height * 3);
    uint32_t noise = seed * 2654435761u + 1u;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = static_cast<int>((noise >> 24) % 17) - 8;
            // A few hard edges (a disc and a bar) give the blocks real AC content.
            const int dx = x - width / 2;
            const int dy = y - height / 2;
            const bool inDisc = dx * dx + dy * dy < (width * width + height * height) / 16;
            const bool inBar = (x / 24) % 5 == 2;
            int r = (x * 255) / (width > 1 ? width - 1 : 1);
            int g = (y * 255) / (height > 1 ? height - 1 : 1);
            int b = inDisc ? 230 : 40;
            if (inBar) r = 255 - r;
            if (grey) r = g = b = (r + 2 * g + b) / 4;
            uint8_t* pixel = &picture.pixels[(static_cast<size_t>(y) * width + x) * 3];
            pixel[0] = static_cast<uint8_t>(std::min(255, std::max(0, r + grain)));
            pixel[1] = static_cast<uint8_t>(std::min(255, std::max(0, g + grain)));
            pixel[2] = static_cast<uint8_t>(std::min(255, std::max(0, b + grain)));
        }
    }
    return picture;
}

}  // namespace vorctest
