// Pixel decoding speed, side by side with libjpeg-turbo in one run: the
// pixel decoder's performScanSweep into a buffered back end against
// tjDecompress2 to RGB on the same pictures. Each picture is compressed by
// libjpeg-turbo itself, and the Tesra frame is that JPEG's own scan, so both
// decode identical coefficients. libjpeg-turbo runs with fast upsampling,
// the same chroma replication the pixel decoder does. Partial frames code
// every tenth tile (the JPEG's own coefficients of those tiles) and are held
// against a tenth of the full frame plus 20 us. The bit-serial reference
// decoder (what VORC_CPU=generic runs) is measured as well. Photographic
// pictures come first, then synthetic ones; a second table decodes the
// stream of one full and fifteen partial frames of a moving photograph,
// against libjpeg-turbo decoding the sixteen pictures.
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/dsp/kernel_table.h"

namespace {

using vorcbench::Bytes;
using vorcbench::JpegParts;
using vorcbench::RgbPicture;
using Descriptor = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

class SilentBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override { ++errors; }
    void frameComplete() override {}
    void videoTileReceived() override {}
    int errors = 0;
};

// A pixel decoder with its back end, ready to sweep frames of one picture
// size again and again.
class SweepRunner {
public:
    SweepRunner(const JpegParts& parts, int width, int height,
                const vorc::dsp::KernelTable& kernels = vorc::dsp::selectedKernels())
        : luma_(parts.lumaTable), chroma_(parts.chromaTable), decoder_(kernels) {
        frame_.reset(width, height);
        backEnd_.videoResolutionChanged(width, height);
        decoder_.setBackEnd(&backEnd_);
        decoder_.setYQuantizationTable(luma_.data());
        decoder_.setUVQuantizationTable(chroma_.data());
    }
    void sweep(const Bytes& scan, const Bytes& bitmap) {
        frame_.tileBitmap = bitmap.empty() ? nullptr : const_cast<unsigned char*>(bitmap.data());
        frame_.scanBytes = const_cast<unsigned char*>(scan.data());
        frame_.scanLength = static_cast<int32_t>(scan.size());
        decoder_.performScanSweep(&frame_);
    }
    int errors() const { return backEnd_.errors; }

private:
    std::vector<unsigned char> luma_;
    std::vector<unsigned char> chroma_;
    Descriptor frame_;
    SilentBackEnd backEnd_;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder_;
};

// libjpeg-turbo's decoder into an RGB picture of its own.
class TurboDecoder {
public:
    TurboDecoder(int width, int height) : width_(width), height_(height), rgb_(size_t(width) * height * 3) {}
    ~TurboDecoder() { tjDestroy(handle_); }
    TurboDecoder(const TurboDecoder&) = delete;
    TurboDecoder& operator=(const TurboDecoder&) = delete;
    void decode(const Bytes& jpeg) {
        tjDecompress2(handle_, jpeg.data(), static_cast<unsigned long>(jpeg.size()), rgb_.data(), width_, 0,
                      height_, TJPF_RGB, TJFLAG_FASTUPSAMPLE);
    }

private:
    tjhandle handle_ = tjInitDecompress();
    int width_;
    int height_;
    std::vector<unsigned char> rgb_;
};

// Only the pixel decoder on full frames, for about five seconds or for a
// given number of frames: what a profiler should look at.
void sweepForProfile(const RgbPicture& picture, int quality, int frameCount) {
    const JpegParts parts = vorcbench::splitJpeg(vorctest::compressJpeg(picture, quality));
    SweepRunner full(parts, picture.width, picture.height);
    const double start = vorcbench::threadSeconds();
    int frames = 0;
    for (; frameCount > 0 ? frames < frameCount : vorcbench::threadSeconds() - start < 5; ++frames)
        full.sweep(parts.scan, Bytes());
    std::printf("%.0f MP/s\n", frames * 1e-6 * picture.width * picture.height / (vorcbench::threadSeconds() - start));
}

void printRow(const RgbPicture& picture, const char* content, int quality) {
    const int width = picture.width;
    const int height = picture.height;
    const Bytes jpeg = vorctest::compressJpeg(picture, quality);
    const JpegParts parts = vorcbench::splitJpeg(jpeg);
    SweepRunner full(parts, width, height);
    SweepRunner reference(parts, width, height, vorc::dsp::referenceKernels());
    SweepRunner partial(parts, width, height);

    const vorctest::JpegCoefficients coefficients = vorctest::readJpegCoefficients(jpeg);
    std::vector<int> coded;
    for (int k = 0; k < static_cast<int>(coefficients.tiles.size()); k += 10) coded.push_back(k);
    const Bytes partialScan = vorcbench::partialScan(coefficients, coded);
    const Bytes bitmap = vorctest::tileBitmap((width + 15) / 16, (height + 15) / 16, coded);

    TurboDecoder turbo(width, height);
    const std::vector<double> seconds = vorcbench::bestSeconds({
        [&] { full.sweep(parts.scan, Bytes()); },
        [&] { partial.sweep(partialScan, bitmap); },
        [&] { turbo.decode(jpeg); },
        [&] { reference.sweep(parts.scan, Bytes()); },
    });
    if (full.errors() != 0 || partial.errors() != 0 || reference.errors() != 0)
        std::fprintf(stderr, "error: a %dx%d frame did not decode\n", width, height);
    const double megapixels = width * 1e-6 * height;
    std::printf("| %dx%d | %s | %d | %.2f | %.0f | %.0f | %.2fx | %.0f | %.0f | %.0f |\n", width, height, content,
                quality, 8.0 * jpeg.size() / (double(width) * height), megapixels / seconds[0],
                megapixels / seconds[2], seconds[2] / seconds[0], megapixels / seconds[3], seconds[1] * 1e6,
                (seconds[0] / 10 + 20e-6) * 1e6);
    std::fflush(stdout);
}

// The moving-patch stream: sixteen frames through one pixel decoder against
// libjpeg-turbo decoding the sixteen pictures.
void printStreamRow(const RgbPicture& background, int quality) {
    constexpr int Frames = 16;
    const vorcbench::MovingPatchStream stream = vorcbench::movingPatchStream(background, quality, Frames);
    SweepRunner decoder(stream.parts, stream.width, stream.height);
    TurboDecoder turbo(stream.width, stream.height);
    const std::vector<double> seconds = vorcbench::bestSeconds({
        [&] {
            for (int f = 0; f < Frames; ++f) decoder.sweep(stream.scans[f], stream.bitmaps[f]);
        },
        [&] {
            for (const Bytes& jpeg : stream.jpegs) turbo.decode(jpeg);
        },
    });
    if (decoder.errors() != 0) std::fprintf(stderr, "error: the moving-patch stream did not decode\n");
    double coded = 0;
    for (int f = 1; f < Frames; ++f) coded += stream.codedTiles[f];
    const double megapixels = Frames * (stream.width * 1e-6 * stream.height);
    std::printf("| %dx%d | %d | %.1f%% | %.2f | %.2f | %.1fx | %.0f |\n", stream.width, stream.height, quality,
                100.0 * coded / (Frames - 1) / stream.tiles(), seconds[0] * 1e3, seconds[1] * 1e3,
                seconds[1] / seconds[0], megapixels / seconds[0]);
    std::fflush(stdout);
}

struct Size {
    int width;
    int height;
};

}  // namespace

int main(int argc, char** argv) {
    // An optional argument such as "1920x1080 photographic 85" picks the rows
    // whose names start with it;
    // "--profile" after it runs only the pixel decoder on that row, for five
    // seconds or for the number of frames after it.
    const std::string only = argc > 1 ? argv[1] : "";
    const bool profile = argc > 2 && std::string(argv[2]) == "--profile";
    const int profileFrames = argc > 3 ? std::atoi(argv[3]) : 0;
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    std::printf("Pixel decoding, one thread, kernels \"%s\"; MP/s of picture per second of thread time, best of 8 rounds taken in turns\n",
                vorc::dsp::selectedKernels().name);
    std::printf("| picture | content | q | bits/pixel | vorc MP/s | libjpeg-turbo MP/s | ratio | bit-serial MP/s "
                "| 10%% frame us | budget us |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    vorcbench::forEachRow(
        {
            {"photographic", vorcbench::photographicPicture, {{640, 480}, {1920, 1080}, {3840, 2160}}, {75, 85, 95}},
            {"textured", [](int w, int h) { return vorctest::syntheticPicture(w, h, false); },
             {{640, 480}, {1920, 1080}}, {50, 85, 95}},
            {"flat", vorcbench::flatPicture, {{640, 480}, {1920, 1080}}, {50, 85, 95}},
        },
        only,
        [&](const RgbPicture& picture, const char* content, int quality) {
            if (profile)
                sweepForProfile(picture, quality, profileFrames);
            else
                printRow(picture, content, quality);
        });
    if (profile || (!only.empty() && only != "stream")) return 0;
    std::printf("\nA photograph moving over a photographic picture: one full frame, then fifteen partial frames "
                "carrying the tiles that changed; libjpeg-turbo decodes the sixteen pictures\n");
    std::printf("| picture | q | tiles per partial frame | vorc ms | libjpeg-turbo ms | ratio | vorc MP/s effective |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Size size : {Size{640, 480}, Size{1920, 1080}, Size{3840, 2160}}) {
        const RgbPicture background = vorcbench::photographicPicture(size.width, size.height);
        if (background.width != 0) printStreamRow(background, 85);
    }
    return 0;
}
