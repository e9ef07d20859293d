// Pixel decoding speed, side by side with libjpeg-turbo in one run: the
// pixel decoder's performScanSweep into a buffered back end against
// tjDecompress2 to RGB on the same pictures. Each picture is compressed by
// libjpeg-turbo itself, and the Tesra frame is that JPEG's own scan, so both
// decode identical coefficients. libjpeg-turbo runs with fast upsampling,
// the same chroma replication the pixel decoder does. Partial frames code
// every tenth tile (the JPEG's own coefficients of those tiles) and are held
// against a tenth of the full frame plus 20 us. The bit-serial reference
// decoder (what VORC_CPU=generic runs) is measured as well. Prints one table.
#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/libjpeg_helpers.h"
#include "support/stream_builder.h"
#include "vorc/backends/buffered_backend.h"
#include "vorc/parse/framewise_decoder.h"
#include "vorc/core/status_messages.h"
#include "vorc/decode/scan_decoder_software.h"
#include "vorc/dsp/kernel_table.h"

namespace {

using vorctest::Bytes;
using Descriptor = vorcFramewiseTesraDecoder::UndecodedFrameDescriptor;

// Processor time of this thread: time the thread spends waiting while other
// work on the machine runs does not count.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

class SilentBackEnd : public vorcBufferedTesraDecoderBackEnd {
public:
    void errorEncountered() override { ++errors; }
    void frameComplete() override {}
    void videoTileReceived() override {}
    int errors = 0;
};

// The entropy-coded scan of a JPEG (from after SOS to EOI inclusive) and
// its two quantisation tables in zig-zag order.
struct JpegParts {
    Bytes scan;
    std::vector<unsigned char> lumaTable;
    std::vector<unsigned char> chromaTable;
};

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

// Smooth gradients and a few hard edges, no grain: large even areas.
vorctest::RgbPicture flatPicture(int width, int height) {
    vorctest::RgbPicture picture{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = &picture.pixels[(size_t(y) * width + x) * 3];
            const bool inBar = (x / 96) % 4 == 1;
            pixel[0] = static_cast<uint8_t>(inBar ? 200 : (x * 255) / width);
            pixel[1] = static_cast<uint8_t>((y * 255) / height);
            pixel[2] = static_cast<uint8_t>(inBar ? 40 : 128);
        }
    }
    return picture;
}

// Seconds of processor time per call of each piece of work: the best of
// several rounds of at least 0.1 s, the pieces taking turns so that all meet
// the same load from other work on the machine (caches shared with it).
std::vector<double> bestSeconds(const std::vector<std::function<void()>>& works) {
    std::vector<double> best(works.size(), 1e9);
    for (const auto& work : works) work();
    for (int round = 0; round < 8; ++round) {
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

struct Measured {
    double fullSeconds;
    double partialSeconds;
    double turboSeconds;
    double referenceSeconds;
    size_t jpegBytes;
};

// A pixel decoder with its back end, ready to sweep one frame again and again.
class SweepRunner {
public:
    SweepRunner(const JpegParts& parts, int width, int height, const Bytes& scan, const Bytes& bitmap,
                const vorc::dsp::KernelTable& kernels = vorc::dsp::selectedKernels())
        : scan_(scan), bitmap_(bitmap), luma_(parts.lumaTable), chroma_(parts.chromaTable), decoder_(kernels) {
        frame_.reset(width, height);
        frame_.tileBitmap = bitmap_.empty() ? nullptr : bitmap_.data();
        frame_.scanBytes = scan_.data();
        frame_.scanLength = static_cast<int32_t>(scan_.size());
        backEnd_.videoResolutionChanged(width, height);
        decoder_.setBackEnd(&backEnd_);
        decoder_.setYQuantizationTable(luma_.data());
        decoder_.setUVQuantizationTable(chroma_.data());
    }
    void operator()() { decoder_.performScanSweep(&frame_); }
    int errors() const { return backEnd_.errors; }

private:
    Bytes scan_;
    Bytes bitmap_;
    std::vector<unsigned char> luma_;
    std::vector<unsigned char> chroma_;
    Descriptor frame_;
    SilentBackEnd backEnd_;
    vorcFramewiseTesraScanDecoderSoftwareOnly decoder_;
};

// Every tenth tile of the JPEG, with its own coefficients, as one scan.
Bytes partialScan(const Bytes& jpeg, std::vector<int>& coded) {
    const vorctest::JpegCoefficients coefficients = vorctest::readJpegCoefficients(jpeg);
    vorctest::ScanWriter writer;
    for (size_t k = 0; k < coefficients.tiles.size(); k += 10) {
        coded.push_back(static_cast<int>(k));
        const vorctest::TileBlocks& t = coefficients.tiles[k];
        writer.tile(t[0], t[1], t[2], t[3], t[4], t[5]);
    }
    Bytes scan = writer.finish();
    scan.push_back(0xFF);
    scan.push_back(0xD9);
    return scan;
}

// Only the pixel decoder on full frames, for about five seconds: what a
// profiler should look at.
void sweepForProfile(const vorctest::RgbPicture& picture, int quality) {
    const JpegParts parts = splitJpeg(vorctest::compressJpeg(picture, quality));
    SweepRunner full(parts, picture.width, picture.height, parts.scan, Bytes());
    const double start = threadSeconds();
    int frames = 0;
    for (; threadSeconds() - start < 5; ++frames) full();
    std::printf("%.0f MP/s\n", frames * 1e-6 * picture.width * picture.height / (threadSeconds() - start));
}

Measured measure(const vorctest::RgbPicture& picture, int quality) {
    const int width = picture.width;
    const int height = picture.height;
    const Bytes jpeg = vorctest::compressJpeg(picture, quality);
    const JpegParts parts = splitJpeg(jpeg);
    SweepRunner full(parts, width, height, parts.scan, Bytes());
    SweepRunner reference(parts, width, height, parts.scan, Bytes(), vorc::dsp::referenceKernels());

    std::vector<int> coded;
    const Bytes scan = partialScan(jpeg, coded);
    Descriptor shape;
    shape.reset(width, height);
    SweepRunner partial(parts, width, height, scan, vorctest::tileBitmap(shape.tileColumns, shape.tileRows, coded));

    tjhandle turbo = tjInitDecompress();
    std::vector<unsigned char> rgb(size_t(width) * height * 3);
    auto turboDecode = [&] {
        tjDecompress2(turbo, jpeg.data(), static_cast<unsigned long>(jpeg.size()), rgb.data(), width, 0, height,
                      TJPF_RGB, TJFLAG_FASTUPSAMPLE);
    };
    const std::vector<double> seconds =
        bestSeconds({std::ref(full), std::ref(partial), turboDecode, std::ref(reference)});
    tjDestroy(turbo);
    if (full.errors() != 0 || partial.errors() != 0 || reference.errors() != 0)
        std::fprintf(stderr, "error: a %dx%d frame did not decode\n", width, height);
    return {seconds[0], seconds[1], seconds[2], seconds[3], jpeg.size()};
}

}  // namespace

int main(int argc, char** argv) {
    // An optional argument such as "1920x1080 textured 85" picks one row;
    // "--profile" after it runs only the pixel decoder on that row.
    const std::string only = argc > 1 ? argv[1] : "";
    const bool profile = argc > 2 && std::string(argv[2]) == "--profile";
    vorc::setStatusMessageHandler(new vorcDevNullStatusMessageHandler);
    std::printf("Pixel decoding, one thread, kernels \"%s\"; MP/s of picture per second of thread time, best of 8 rounds taken in turns\n",
                vorc::dsp::selectedKernels().name);
    std::printf("| picture | content | q | JPEG KB | vorc MP/s | libjpeg-turbo MP/s | ratio | bit-serial MP/s "
                "| 10%% frame us | budget us |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    struct Size {
        int width;
        int height;
    };
    for (const Size size : {Size{640, 480}, Size{1920, 1080}}) {
        for (const bool textured : {true, false}) {
            const vorctest::RgbPicture picture = textured ? vorctest::syntheticPicture(size.width, size.height, false)
                                                          : flatPicture(size.width, size.height);
            for (const int quality : {50, 85, 95}) {
                const std::string row = std::to_string(size.width) + "x" + std::to_string(size.height) +
                                        (textured ? " textured " : " flat ") + std::to_string(quality);
                if (!only.empty() && row != only) continue;
                if (profile) {
                    sweepForProfile(picture, quality);
                    continue;
                }
                const Measured m = measure(picture, quality);
                const double megapixels = size.width * 1e-6 * size.height;
                std::printf("| %dx%d | %s | %d | %.0f | %.0f | %.0f | %.2fx | %.0f | %.0f | %.0f |\n", size.width,
                            size.height, textured ? "textured" : "flat", quality, m.jpegBytes / 1024.0,
                            megapixels / m.fullSeconds, megapixels / m.turboSeconds, m.turboSeconds / m.fullSeconds,
                            megapixels / m.referenceSeconds, m.partialSeconds * 1e6,
                            (m.fullSeconds / 10 + 20e-6) * 1e6);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
