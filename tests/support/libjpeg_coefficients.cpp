// libjpeg-turbo checks of written JPEG images: coefficients, strict decoding,
// and splitting an MJPEG stream into its images.
#include "support/libjpeg_coefficients.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace vorctest {

namespace {

struct StrictErrorManager {
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
    std::longjmp(reinterpret_cast<StrictErrorManager*>(info->err)->jump, 1);
}

// Level -1 is a warning about the data; higher levels are trace output.
void onMessage(j_common_ptr info, int level) {
    if (level < 0)
        reinterpret_cast<StrictErrorManager*>(info->err)->warnings->push_back(messageOf(info));
}

void installStrictErrors(jpeg_decompress_struct& info, StrictErrorManager& errors,
                         std::vector<std::string>* warnings) {
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    errors.base.emit_message = onMessage;
    errors.warnings = warnings;
}

bool isBaseline420(const jpeg_decompress_struct& info) {
    return info.num_components == 3 && info.comp_info[0].h_samp_factor == 2 &&
           info.comp_info[0].v_samp_factor == 2 && info.comp_info[1].h_samp_factor == 1 &&
           info.comp_info[1].v_samp_factor == 1 && info.comp_info[2].h_samp_factor == 1 &&
           info.comp_info[2].v_samp_factor == 1;
}

void copyBlock(const JCOEF* from, Block& to) {
    for (int i = 0; i < 64; ++i) to[i] = from[i];
}

}  // namespace

JpegCoefficients readJpegCoefficients(const Bytes& jpeg) {
    JpegCoefficients result;
    jpeg_decompress_struct info{};
    StrictErrorManager errors{};
    installStrictErrors(info, errors, &result.warnings);
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return JpegCoefficients{};
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    if (!isBaseline420(info)) {
        jpeg_destroy_decompress(&info);
        return JpegCoefficients{};
    }
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
    result.width = static_cast<int>(info.image_width);
    result.height = static_cast<int>(info.image_height);
    result.tileColumns = (result.width + 15) / 16;
    result.tileRows = (result.height + 15) / 16;
    for (int table = 0; table < 2; ++table) {
        const JQUANT_TBL* quant = info.comp_info[table].quant_table;
        for (int i = 0; i < 64; ++i) result.quant[table][i] = quant->quantval[i];
    }
    result.tiles.resize(static_cast<size_t>(result.tileColumns) * result.tileRows);
    for (int row = 0; row < result.tileRows; ++row) {
        // Two luminance block rows and one chrominance block row per tile row.
        JBLOCKARRAY luma =
            info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info), arrays[0],
                                         static_cast<JDIMENSION>(row * 2), 2, FALSE);
        for (int column = 0; column < result.tileColumns; ++column) {
            TileBlocks& tile = result.tiles[static_cast<size_t>(row) * result.tileColumns + column];
            for (int y = 0; y < 4; ++y) copyBlock(luma[y / 2][column * 2 + y % 2], tile[y]);
        }
        for (int c = 1; c < 3; ++c) {
            JBLOCKARRAY chroma =
                info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info), arrays[c],
                                             static_cast<JDIMENSION>(row), 1, FALSE);
            for (int column = 0; column < result.tileColumns; ++column) {
                copyBlock(
                    chroma[0][column],
                    result.tiles[static_cast<size_t>(row) * result.tileColumns + column][3 + c]);
            }
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return result;
}

RgbPicture decodeJpegStrictly(const Bytes& jpeg, const std::string& what) {
    std::vector<std::string> warnings;
    RgbPicture picture;
    jpeg_decompress_struct info{};
    StrictErrorManager errors{};
    installStrictErrors(info, errors, &warnings);
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        ADD_FAILURE() << what << ": libjpeg could not decode the image";
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
        JSAMPROW row =
            &picture.pixels[static_cast<size_t>(info.output_scanline) * picture.width * 3];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    for (const std::string& warning : warnings)
        ADD_FAILURE() << what << ": libjpeg warning: " << warning;
    return picture;
}

std::vector<Bytes> splitMjpegStream(const Bytes& stream, const std::string& boundary) {
    const std::string text(stream.begin(), stream.end());
    const std::string header =
        "Content-type: multipart/x-mixed-replace;boundary=\"" + boundary + "\"\r\n";
    const std::string partHeader = "\r\n--" + boundary + "\r\nContent-type: image/jpeg\r\n\r\n";
    const std::string closing = "\r\n--" + boundary + "--\r\n";
    std::vector<Bytes> parts;
    if (text.compare(0, header.size(), header) != 0) {
        ADD_FAILURE() << "MJPEG stream header missing";
        return parts;
    }
    if (text.size() < header.size() + closing.size() ||
        text.compare(text.size() - closing.size(), closing.size(), closing) != 0) {
        ADD_FAILURE() << "MJPEG closing delimiter missing";
        return parts;
    }
    const size_t end = text.size() - closing.size();
    size_t position = header.size();
    while (position < end) {
        if (text.compare(position, partHeader.size(), partHeader) != 0) {
            ADD_FAILURE() << "MJPEG part header expected at byte " << position;
            return parts;
        }
        const size_t start = position + partHeader.size();
        // A JPEG image can contain the delimiter text only by chance; each
        // part runs to the next part header or to the closing delimiter.
        size_t next = text.find(partHeader, start);
        if (next == std::string::npos || next > end) next = end;
        parts.emplace_back(stream.begin() + static_cast<ptrdiff_t>(start),
                           stream.begin() + static_cast<ptrdiff_t>(next));
        position = next;
    }
    return parts;
}

}  // namespace vorctest
