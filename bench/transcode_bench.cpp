// Transcoding speed, side by side with libjpeg-turbo in one run:
// performScanSweep of the JPEG transcoder, which takes a frame's coded
// tiles and writes the whole picture as a JPEG image, against
// libjpeg-turbo's in-memory lossless transcode of the same picture's JPEG
// (jpeg_read_coefficients + jpeg_write_coefficients, standard tables, no
// optimisation), and the transcoder as it was (the tests' reference). Each
// picture is compressed by libjpeg-turbo, and the Tesra frame is that JPEG's
// own scan. A "10% frame" carries every tenth tile of the picture; its
// budget is a tenth of the full frame's transcode plus a plain copy of the
// image's bytes (memcpy, measured in the same rounds). A second table
// transcodes the stream of one full and fifteen partial frames of a moving
// photograph, against libjpeg-turbo transcoding the sixteen pictures; a
// partial frame's budget is its share of the tiles times the full frame's
// transcode plus the copy of its image, and a frame that carries no tile
// shows what writing the image from the kept bits alone costs. Processor time of the thread, best
// of several rounds taken in turns.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "support/reference_transcoder.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using vorcbench::Bytes;
using vorcbench::JpegParts;
using vorcbench::RgbPicture;
using Descriptor = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

class CountingBackEnd : public vorcTesraDecoderBackEnd {
public:
    void videoResolutionChanged(int, int) override {}
    void errorEncountered() override { ++errors; }
    void frameComplete() override {}
    void provideVideoTilePixelTarget(int, int, unsigned int**, int*) override {}
    void videoTileReceived() override {}
    int errors = 0;
};

// Swallows the images; only the size of the last one is kept.
class DiscardingReceiver : public vorcJPEGReceiver {
public:
    void beginFrame() override { bytes = 0; }
    void endFrame() override {}
    void receiveJPEGBytes(const unsigned char*, int count) override { bytes += count; }
    long bytes = 0;
};

// A transcoder with its back end, ready to sweep frames of one picture size
// again and again.
template <typename Transcoder>
class SweepRunner {
public:
    SweepRunner(const JpegParts& parts, int width, int height)
        : luma_(parts.lumaTable), chroma_(parts.chromaTable), receiver_(new DiscardingReceiver),
          transcoder_(receiver_) {
        frame_.reset(width, height);
        transcoder_.setBackEnd(&backEnd_);
        transcoder_.setYQuantizationTable(luma_.data());
        transcoder_.setUVQuantizationTable(chroma_.data());
    }
    void sweep(const Bytes& scan, const Bytes& bitmap) {
        frame_.tileBitmap = bitmap.empty() ? nullptr : const_cast<unsigned char*>(bitmap.data());
        frame_.scanBytes = const_cast<unsigned char*>(scan.data());
        frame_.scanLength = static_cast<int32_t>(scan.size());
        transcoder_.performScanSweep(&frame_);
    }
    int errors() const { return backEnd_.errors; }
    long imageBytes() const { return receiver_->bytes; }

private:
    std::vector<unsigned char> luma_;
    std::vector<unsigned char> chroma_;
    Descriptor frame_;
    CountingBackEnd backEnd_;
    DiscardingReceiver* receiver_;  // owned by the transcoder
    Transcoder transcoder_;
};

using Library = SweepRunner<vorcFramewiseTesraScanToJPEGConverterSoftwareOnly>;
using Reference = SweepRunner<vorctest::ReferenceTranscoder>;

// libjpeg-turbo's lossless transcode of a JPEG in memory, into an output
// buffer kept from call to call.
class LibjpegTranscoder {
public:
    LibjpegTranscoder() = default;
    LibjpegTranscoder(const LibjpegTranscoder&) = delete;
    LibjpegTranscoder& operator=(const LibjpegTranscoder&) = delete;
    ~LibjpegTranscoder() { std::free(output_); }
    void transcode(const Bytes& jpeg) {
        jpeg_decompress_struct in{};
        jpeg_error_mgr inErrors{};
        in.err = jpeg_std_error(&inErrors);
        jpeg_create_decompress(&in);
        jpeg_mem_src(&in, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&in, TRUE);
        jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&in);
        jpeg_compress_struct out{};
        jpeg_error_mgr outErrors{};
        out.err = jpeg_std_error(&outErrors);
        jpeg_create_compress(&out);
        unsigned long size = capacity_;
        jpeg_mem_dest(&out, &output_, &size);
        jpeg_copy_critical_parameters(&in, &out);
        out.optimize_coding = FALSE;
        jpeg_write_coefficients(&out, coefficients);
        jpeg_finish_compress(&out);
        jpeg_destroy_compress(&out);
        jpeg_finish_decompress(&in);
        jpeg_destroy_decompress(&in);
        if (size > capacity_) capacity_ = size;
    }

private:
    unsigned char* output_ = nullptr;
    unsigned long capacity_ = 0;
};

// A plain copy of an image's bytes, one buffer into another (both in the
// cache as far as they fit): the least a transcoder that hands out every
// image must do.
class ImageCopy {
public:
    explicit ImageCopy(size_t bytes) : from_(bytes, 0x5A), to_(bytes) {}
    void operator()() {
        std::memcpy(to_.data(), from_.data(), from_.size());
        asm volatile("" : : "r"(to_.data()) : "memory");
    }

private:
    std::vector<unsigned char> from_;
    std::vector<unsigned char> to_;
};

// A 10% frame of 1920x1080 with dense random tiles: 13 random values in
// -50..50 in each block, mostly codes of 16 bits; a worst case.
Bytes denseRandomScan(int tiles, std::vector<int>& coded) {
    vorctest::ScanWriter writer;
    std::mt19937 random(1);
    std::uniform_int_distribution<int> value(-50, 50);
    for (int k = 0; k < tiles; k += 10) {
        coded.push_back(k);
        vorctest::Block blocks[6] = {};
        for (auto& block : blocks)
            for (int i = 0; i < 64; i += 5) block[static_cast<size_t>(i)] = static_cast<int16_t>(value(random));
        writer.tile(blocks[0], blocks[1], blocks[2], blocks[3], blocks[4], blocks[5]);
    }
    Bytes scan = writer.finish();
    scan.insert(scan.end(), {0xFF, 0xD9});
    return scan;
}

// Only the transcoder, on full frames of a picture or on the moving-patch
// stream, for about five seconds or a given number of rounds: what a
// profiler should look at.
void transcodeForProfile(const RgbPicture& picture, int quality, bool stream, int rounds) {
    constexpr int Frames = 16;
    const vorcbench::MovingPatchStream frames = vorcbench::movingPatchStream(picture, quality, stream ? Frames : 1);
    Library transcoder(frames.parts, picture.width, picture.height);
    const double start = vorcbench::threadSeconds();
    int pictures = 0;
    for (int round = 0; rounds > 0 ? round < rounds : vorcbench::threadSeconds() - start < 5; ++round) {
        for (size_t f = 0; f < frames.scans.size(); ++f, ++pictures)
            transcoder.sweep(frames.scans[f], frames.bitmaps[f]);
    }
    std::printf("%.0f MP/s\n", pictures * 1e-6 * picture.width * picture.height / (vorcbench::threadSeconds() - start));
}

void printRow(const RgbPicture& picture, const char* content, int quality, bool denseRandom = false) {
    const int width = picture.width;
    const int height = picture.height;
    const Bytes jpeg = vorctest::compressJpeg(picture, quality);
    const JpegParts parts = vorcbench::splitJpeg(jpeg);
    const int tiles = ((width + 15) / 16) * ((height + 15) / 16);
    std::vector<int> coded;
    Bytes partialScan;
    if (denseRandom) {
        partialScan = denseRandomScan(tiles, coded);
    } else {
        for (int k = 0; k < tiles; k += 10) coded.push_back(k);
        partialScan = vorcbench::partialScan(vorctest::readJpegCoefficients(jpeg), coded);
    }
    const Bytes bitmap = vorctest::tileBitmap((width + 15) / 16, (height + 15) / 16, coded);

    Library full(parts, width, height);
    Library partial(parts, width, height);
    partial.sweep(parts.scan, Bytes());
    // The reference writes into a buffer of 1 MiB, and ends the process
    // when an image does not fit.
    const bool referenceFits = jpeg.size() + 4096 < vorctest::ReferenceTranscoder::HuffmanOutputBufferSize;
    Reference reference(parts, width, height);
    LibjpegTranscoder turbo;
    ImageCopy copy(static_cast<size_t>(partial.imageBytes()));
    const std::vector<double> seconds = vorcbench::bestSeconds({
        [&] { full.sweep(parts.scan, Bytes()); },
        [&] { partial.sweep(partialScan, bitmap); },
        [&] { turbo.transcode(jpeg); },
        [&] {
            if (referenceFits) reference.sweep(parts.scan, Bytes());
        },
        copy,
    });
    if (full.errors() != 0 || partial.errors() != 0 || reference.errors() != 0)
        std::fprintf(stderr, "error: a %dx%d frame did not transcode\n", width, height);
    const double megapixels = width * 1e-6 * height;
    const double budget = seconds[0] * static_cast<double>(coded.size()) / tiles + seconds[4];
    const std::string referenceSpeed = referenceFits ? std::to_string(std::lround(megapixels / seconds[3])) : "-";
    std::printf("| %dx%d | %s | %d | %.2f | %.0f | %.0f | %.2fx | %s | %.0f | %.0f | %.0f |\n", width, height,
                content, quality, 8.0 * jpeg.size() / (double(width) * height), megapixels / seconds[0],
                megapixels / seconds[2], seconds[2] / seconds[0], referenceSpeed.c_str(), seconds[1] * 1e6,
                budget * 1e6, partial.imageBytes() / seconds[4] / 1e9);
    std::fflush(stdout);
}

// The moving-patch stream: sixteen frames through one transcoder against
// libjpeg-turbo transcoding the sixteen pictures; the full frame alone
// gives the partial frames' share.
void printStreamRow(const RgbPicture& background, int quality) {
    constexpr int Frames = 16;
    const vorcbench::MovingPatchStream stream = vorcbench::movingPatchStream(background, quality, Frames);
    Library transcoder(stream.parts, stream.width, stream.height);
    Library fullOnly(stream.parts, stream.width, stream.height);
    // A frame that carries no tile: its image is written from the kept bits alone.
    Library empty(stream.parts, stream.width, stream.height);
    empty.sweep(stream.scans[0], Bytes());
    const Bytes noTiles((static_cast<size_t>(stream.tiles()) + 7) / 8, 0);
    const Bytes endOfImage{0xFF, 0xD9};
    LibjpegTranscoder turbo;
    transcoder.sweep(stream.scans[0], Bytes());
    ImageCopy copy(static_cast<size_t>(transcoder.imageBytes()));
    const std::vector<double> seconds = vorcbench::bestSeconds({
        [&] {
            for (int f = 0; f < Frames; ++f) transcoder.sweep(stream.scans[f], stream.bitmaps[f]);
        },
        [&] {
            for (const Bytes& jpeg : stream.jpegs) turbo.transcode(jpeg);
        },
        [&] { fullOnly.sweep(stream.scans[0], Bytes()); },
        copy,
        [&] { empty.sweep(endOfImage, noTiles); },
    });
    if (transcoder.errors() != 0 || empty.errors() != 0)
        std::fprintf(stderr, "error: the moving-patch stream did not transcode\n");
    double coded = 0;
    for (int f = 1; f < Frames; ++f) coded += stream.codedTiles[f];
    const double share = coded / (Frames - 1) / stream.tiles();
    const double partialSeconds = (seconds[0] - seconds[2]) / (Frames - 1);
    const double budget = share * seconds[2] + seconds[3];
    const double imageBytes = static_cast<double>(transcoder.imageBytes());
    std::printf("| %dx%d | %d | %.1f%% | %.2f | %.2f | %.1fx | %.0f | %.0f | %.0f | %.1f | %.0f | %.1f |\n",
                stream.width, stream.height, quality, 100.0 * share, seconds[0] * 1e3, seconds[1] * 1e3,
                seconds[1] / seconds[0], seconds[2] * 1e6, partialSeconds * 1e6, budget * 1e6,
                imageBytes / seconds[3] / 1e9, seconds[4] * 1e6, imageBytes / seconds[4] / 1e9);
    std::fflush(stdout);
}

struct Size {
    int width;
    int height;
};

}  // namespace

int main(int argc, char** argv) {
    // An optional argument such as "1920x1080 photographic 85" picks the
    // rows whose names start with it, "stream" the second table. "--profile"
    // after a row runs only the transcoder on that row's full frames, after
    // "stream" on the 1920x1080 stream, for five seconds or the number of
    // rounds after it.
    const std::string only = argc > 1 ? argv[1] : "";
    const auto selected = [&only](const std::string& row) { return row.compare(0, only.size(), only) == 0; };
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    if (argc > 2 && std::string(argv[2]) == "--profile") {
        const bool stream = only == "stream";
        int width = 1920, height = 1080, quality = 85;
        if (!stream) std::sscanf(only.c_str(), "%dx%d photographic %d", &width, &height, &quality);
        transcodeForProfile(vorcbench::photographicPicture(width, height), quality, stream, argc > 3 ? std::atoi(argv[3]) : 0);
        return 0;
    }
    std::printf("JPEG transcoding, one thread; MP/s of picture per second of thread time, best of 8 rounds taken in "
                "turns\n");
    std::printf("| picture | content | q | bits/pixel | vorc MP/s | libjpeg-turbo MP/s | ratio | reference MP/s "
                "| 10%% frame us | budget us | copy GB/s |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    vorcbench::forEachRow(
        {
            {"photographic", vorcbench::photographicPicture, {{640, 480}, {1920, 1080}, {3840, 2160}}, {75, 85, 95}},
            {"textured", [](int w, int h) { return vorctest::syntheticPicture(w, h, false); },
             {{640, 480}, {1920, 1080}}, {85}},
        },
        only, [](const RgbPicture& picture, const char* content, int quality) { printRow(picture, content, quality); });
    if (selected("1920x1080 dense random 85"))
        printRow(vorctest::syntheticPicture(1920, 1080, false), "dense random", 85, true);
    if (!only.empty() && only != "stream") return 0;
    std::printf("\nA photograph moving over a photographic picture: one full frame, then fifteen partial frames "
                "carrying the tiles that changed; libjpeg-turbo transcodes the sixteen pictures\n");
    std::printf("| picture | q | tiles per partial frame | vorc ms | libjpeg-turbo ms | ratio | full frame us "
                "| partial frame us | budget us | copy GB/s | empty frame us | empty frame GB/s |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Size size : {Size{640, 480}, Size{1920, 1080}, Size{3840, 2160}}) {
        const RgbPicture background = vorcbench::photographicPicture(size.width, size.height);
        if (background.width != 0) printStreamRow(background, 85);
    }
    return 0;
}
