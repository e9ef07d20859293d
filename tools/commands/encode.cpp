// `vorc encode`: the producer end of the tool. Pictures (PNG or PPM files,
// or the built-in synthetic scene) go through the stream encoder into a
// Tesra stream file that the other commands read back.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/command_registry.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/progress_line.h"
#include "tools/imageio/image_reader.h"
#include "vorc/core/exceptions.h"
#include "vorc/encode/stream_encoder.h"
#include "vorc/encode/synthetic_scene.h"
#include "vorc/sinks/binary_file_writer.h"

namespace {

constexpr const char* CommandName = "encode";
constexpr int DefaultWidth = 640;
constexpr int DefaultHeight = 480;
constexpr long DefaultFrames = 75;

// The library's file writer drops bytes silently after a failure; the tool
// wants to tell the user why, so it keeps the system's reason for the first
// failed write.
class CheckedFileWriter : public vorcBinaryFileWriter {
public:
    CheckedFileWriter(int descriptor, int* failureErrno) : vorcBinaryFileWriter(descriptor), failureErrno_(failureErrno) {}
    void receiveStreamBytes(const unsigned char* bytes, int count) override {
        vorcBinaryFileWriter::receiveStreamBytes(bytes, count);
        if (*failureErrno_ == 0 && hasFailed()) *failureErrno_ = failureErrno();
    }

private:
    int* failureErrno_;
};

void printUsage() {
    std::printf(
        "usage: vorc encode -o OUTPUT [OPTIONS] PICTURE...\n"
        "       vorc encode --synthetic [--size WxH] [--frames N] -o OUTPUT [OPTIONS]\n"
        "\n"
        "Encodes PNG or binary PPM (P6) pictures, or a built-in moving test scene,\n"
        "into a Tesra stream: a full frame first and every N frames, in between\n"
        "partial frames that carry only the tiles that changed.\n"
        "\n"
        "options:\n"
        "  -o, --output FILE     the stream file to write ('-' for standard output)\n"
        "  --quality Q           1 (smallest) to 100 (best), default %d\n"
        "  --key-interval N      a full frame at least every N frames, default %d\n"
        "  --threshold T         code a tile only if its coefficients changed by more\n"
        "                        than T in sum (default 0: any change)\n"
        "  --tables-in-partial   repeat the tables in partial frames\n"
        "  --image-tag           add the \"#:K7IMG\" comment to every frame\n"
        "  --synthetic           encode the test scene instead of pictures\n"
        "  --size WxH            size of the test scene, default %dx%d\n"
        "  --frames N            frames of the test scene, default %ld\n",
        vorc::StreamEncoder::DefaultQuality, vorc::StreamEncoder::DefaultKeyFrameInterval, DefaultWidth,
        DefaultHeight, DefaultFrames);
    printCommonOptionsHelp(24);
    std::printf(
        "\n"
        "examples:\n"
        "  vorc encode --synthetic -o sample.tesra\n"
        "  vorc encode --quality 90 -o clip.tesra frame*.png\n");
}

bool parseSize(const char* text, int& width, int& height) {
    const char* x = std::strchr(text, 'x');
    if (x == nullptr) return false;
    long w = 0;
    long h = 0;
    const std::string widthText(text, x);
    if (!parseWholeNumber(widthText.c_str(), 1, 65535, &w) ||
        !parseWholeNumber(x + 1, 1, 65535, &h))
        return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

struct Options {
    const char* output = nullptr;
    long quality = vorc::StreamEncoder::DefaultQuality;
    long keyInterval = vorc::StreamEncoder::DefaultKeyFrameInterval;
    long threshold = 0;
    bool tablesInPartial = false;
    bool imageTag = false;
    bool synthetic = false;
    bool sizeGiven = false;
    bool framesGiven = false;
    int width = DefaultWidth;
    int height = DefaultHeight;
    long frames = DefaultFrames;
    CommonOptions common;
    std::vector<std::string> pictures;
};

std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    const auto size = [&](const char* text, std::string&) {
        options.sizeGiven = true;
        return parseSize(text, options.width, options.height);
    };
    const auto frames = [&](const char* text, std::string&) {
        options.framesGiven = true;
        return parseWholeNumber(text, 1, 100000000, &options.frames);
    };
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv, &options.common,
            {{{"--synthetic"}, &options.synthetic},
             {{"--tables-in-partial"}, &options.tablesInPartial},
             {{"--image-tag"}, &options.imageTag},
             {{"-o", "--output"}, "%s needs a file name", &options.output},
             {{"--quality"},
              "--quality needs a number from 1 to 100",
              wholeNumber(1, 100, &options.quality)},
             {{"--key-interval"},
              "--key-interval needs a number of at least 1",
              wholeNumber(1, 1000000, &options.keyInterval)},
             {{"--threshold"},
              "--threshold needs a number of at least 0",
              wholeNumber(0, 1000000, &options.threshold)},
             {{"--size"}, "--size needs WIDTHxHEIGHT, each 1 to 65535 (e.g. 640x480)", size},
             {{"--frames"}, "--frames needs a number of at least 1", frames}},
            Operands(&options.pictures)))
        return done;
    if (options.output == nullptr) return usageError(CommandName, "missing -o OUTPUT");
    if (options.synthetic && !options.pictures.empty()) {
        return usageError(CommandName, "--synthetic takes no pictures");
    }
    if (!options.synthetic && (options.sizeGiven || options.framesGiven)) {
        return usageError(CommandName, "--size and --frames only apply to --synthetic");
    }
    if (!options.synthetic && options.pictures.empty()) {
        return usageError(CommandName, "no pictures given (or use --synthetic)");
    }
    for (const std::string& picture : options.pictures) {
        if (::access(picture.c_str(), R_OK) != 0) {
            return usageError(CommandName, systemError("open", picture));
        }
    }
    return std::nullopt;
}

int runEncode(int argc, char** argv) {
    Options options;
    if (const auto done = parseOptions(argc, argv, options)) return *done;

    const bool toStandardOutput = std::strcmp(options.output, "-") == 0;
    routeStatusMessages(options.common.verbosity, verboseMessageTarget(options.common, toStandardOutput));
    const int descriptor =
        toStandardOutput ? STDOUT_FILENO : ::open(options.output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (descriptor < 0) return usageError(CommandName, systemError("create", options.output));

    int writeErrno = 0;
    std::string failure;
    uint64_t frames = 0;
    uint64_t fullFrames = 0;
    uint64_t tiles = 0;
    uint64_t bytes = 0;
    {
        vorc::StreamEncoder encoder(new CheckedFileWriter(descriptor, &writeErrno));
        encoder.setQuality(static_cast<int>(options.quality));
        encoder.setKeyFrameInterval(static_cast<int>(options.keyInterval));
        encoder.setChangeThreshold(static_cast<int>(options.threshold));
        encoder.setTablesInPartialFramesEnabled(options.tablesInPartial);
        encoder.setImageTagEnabled(options.imageTag);

        ProgressLine progress(ProgressLine::wanted(options.common), 0,
                              options.synthetic ? options.frames : static_cast<long>(options.pictures.size()));
        if (options.synthetic) {
            vorc::SyntheticScene scene(options.width, options.height);
            for (long frame = 0; frame < options.frames; ++frame) {
                tiles += encoder.encodeFrame(scene.renderFrame(static_cast<uint32_t>(frame)), options.width,
                                             options.height);
                progress.update(frame + 1, encoder.getBytesWritten());
            }
        } else {
            RgbImage image;
            std::string error;
            for (const std::string& picture : options.pictures) {
                if (!readRgbImage(picture, image, error)) {
                    failure = "cannot read '" + picture + "': " + error;
                    break;
                }
                tiles += encoder.encodeFrame(image.pixels.data(), image.width, image.height);
                progress.update(static_cast<long>(encoder.getFramesEncoded()), encoder.getBytesWritten());
            }
        }
        // Ends the stream even after a bad picture, so the frames written
        // so far are all readable.
        encoder.finish();
        progress.finish();
        frames = encoder.getFramesEncoded();
        fullFrames = encoder.getFullFramesEncoded();
        bytes = encoder.getBytesWritten();
    }
    if (!toStandardOutput) ::close(descriptor);

    if (!failure.empty()) {
        std::fprintf(stderr, "vorc %s: %s\n", CommandName, failure.c_str());
        return ExitFailure;
    }
    if (writeErrno != 0) {
        errno = writeErrno;
        std::fprintf(stderr, "vorc %s: %s\n", CommandName,
                     systemError("write", toStandardOutput ? "standard output" : options.output).c_str());
        return ExitFailure;
    }
    if (!options.common.quiet()) {
        std::fprintf(stderr, "frames: %llu (%llu full, %llu partial), tiles per frame: %.1f, bytes: %llu\n",
                     static_cast<unsigned long long>(frames), static_cast<unsigned long long>(fullFrames),
                     static_cast<unsigned long long>(frames - fullFrames),
                     frames > 0 ? static_cast<double>(tiles) / static_cast<double>(frames) : 0.0,
                     static_cast<unsigned long long>(bytes));
    }
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "encode pictures or a test scene into a stream", 50,
                                             runEncode});

}  // namespace
