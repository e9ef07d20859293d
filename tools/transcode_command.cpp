// `vorc transcode FILE`: runs a stream through the chain file source ->
// parser -> JPEG transcoder -> default back end and writes every frame as a
// complete JPEG image, either into one MJPEG multipart stream (-o) or into
// numbered JPEG files (--jpeg-prefix). Ends with a summary of the frames and
// bytes written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "tools/command_registry.h"
#include "tools/tool_common.h"
#include "vorc/backends/default_backend.h"
#include "vorc/core/framewise_decoder.h"
#include "vorc/sinks/jpeg_sequence_writer.h"
#include "vorc/sinks/mjpeg_writer.h"
#include "vorc/sources/stream_file.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

constexpr const char* CommandName = "transcode";
constexpr const char* DefaultBoundary = "vorcframe";
constexpr int PullSize = 65536;

struct WrittenTotals {
    long frames = 0;
    uint64_t bytes = 0;
    bool failed = false;
};

// Lets the tool see whether the writer gave up, which it does silently.
class CheckedMJPEGWriter : public vorcMJPEGWriter {
public:
    using vorcMJPEGWriter::vorcMJPEGWriter;
    bool hasFailed() const { return failed != 0; }
};

// Sits between the transcoder and the real receiver and counts what passes.
class CountingJPEGReceiver : public vorcJPEGReceiver {
public:
    CountingJPEGReceiver(vorcJPEGReceiver* receiver, std::shared_ptr<WrittenTotals> totals,
                         std::function<bool()> writerFailed)
        : receiver_(receiver), totals_(std::move(totals)), writerFailed_(std::move(writerFailed)) {}

    void beginFrame() override { receiver_->beginFrame(); }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override {
        receiver_->receiveJPEGBytes(bytes, count);
        totals_->bytes += static_cast<uint64_t>(count);
    }
    void endFrame() override {
        receiver_->endFrame();
        ++totals_->frames;
        if (writerFailed_) totals_->failed = totals_->failed || writerFailed_();
    }

private:
    std::unique_ptr<vorcJPEGReceiver> receiver_;
    std::shared_ptr<WrittenTotals> totals_;
    std::function<bool()> writerFailed_;
};

void printUsage() {
    std::printf(
        "usage: vorc transcode [OPTIONS] FILE -o OUTPUT\n"
        "       vorc transcode [OPTIONS] FILE --jpeg-prefix PREFIX\n"
        "\n"
        "Turns every frame of the Tesra stream in FILE ('-' for standard input)\n"
        "into a complete JPEG image without decoding pixels: either one MJPEG\n"
        "multipart stream (multipart/x-mixed-replace) or numbered JPEG files\n"
        "PREFIX000000.jpg, PREFIX000001.jpg, ...\n"
        "\n"
        "options:\n"
        "  -o OUTPUT             write the MJPEG stream to OUTPUT ('-' for standard\n"
        "                        output; status messages then go to standard error)\n"
        "  --boundary TEXT       multipart boundary of the MJPEG stream (default %s)\n"
        "  --jpeg-prefix PREFIX  write one JPEG file per frame, named PREFIX + number\n"
        "  --quiet               no status messages, only the summary\n"
        "  --help                show this help\n"
        "\n"
        "examples:\n"
        "  vorc transcode camera.tesra -o camera.mjpg\n"
        "  vorc transcode camera.tesra --jpeg-prefix frames/cam_\n",
        DefaultBoundary);
}

// The directory part of a file-name prefix must exist and take new files.
bool prefixUsable(const std::string& prefix, std::string* problem) {
    const size_t slash = prefix.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *problem = "directory '" + directory + "' does not exist";
        return false;
    }
    if (::access(directory.c_str(), W_OK) != 0) {
        *problem = "cannot write into '" + directory + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

int runTranscode(int argc, char** argv) {
    bool quiet = false;
    const char* path = nullptr;
    const char* output = nullptr;
    const char* prefix = nullptr;
    const char* boundary = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            printUsage();
            return ExitOk;
        }
        if (std::strcmp(arg, "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            if ((output = value()) == nullptr)
                return usageError(CommandName, "-o needs an OUTPUT file");
        } else if (std::strcmp(arg, "--jpeg-prefix") == 0) {
            if ((prefix = value()) == nullptr)
                return usageError(CommandName, "--jpeg-prefix needs a PREFIX");
        } else if (std::strcmp(arg, "--boundary") == 0) {
            if ((boundary = value()) == nullptr)
                return usageError(CommandName, "--boundary needs a TEXT");
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usageError(CommandName, std::string("unknown option '") + arg + "'");
        } else if (path != nullptr) {
            return usageError(CommandName, std::string("more than one input file ('") + arg + "')");
        } else {
            path = arg;
        }
    }
    if (path == nullptr) return usageError(CommandName, "missing input FILE");
    if ((output == nullptr) == (prefix == nullptr)) {
        return usageError(CommandName, "give exactly one of -o OUTPUT and --jpeg-prefix PREFIX");
    }
    if (boundary != nullptr && output == nullptr)
        return usageError(CommandName, "--boundary needs -o OUTPUT");
    if (boundary == nullptr) boundary = DefaultBoundary;
    if (*boundary == '\0' || std::strlen(boundary) > 70 ||
        std::strpbrk(boundary, "\r\n\"") != nullptr) {
        return usageError(CommandName,
                          "the boundary must be 1 to 70 characters without quotes or line breaks");
    }
    std::string problem;
    if (prefix != nullptr && !prefixUsable(prefix, &problem))
        return usageError(CommandName, problem);

    const bool fromStandardInput = std::strcmp(path, "-") == 0;
    struct stat info {};
    if (!fromStandardInput && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        return usageError(CommandName, std::string("'") + path + "' is a directory");
    }
    auto source = fromStandardInput ? std::make_unique<vorcStreamFile>(STDIN_FILENO)
                                    : std::make_unique<vorcStreamFile>(path);
    if (!source->stillUp()) {
        return usageError(CommandName,
                          std::string("cannot open '") + path + "': " + std::strerror(errno));
    }

    // The tool opens the MJPEG file itself, so that a file that cannot be
    // created is reported instead of silently writing nothing.
    const bool toStandardOutput = output != nullptr && std::strcmp(output, "-") == 0;
    int outputFd = -1;
    if (output != nullptr && !toStandardOutput) {
        outputFd = ::open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (outputFd == -1) {
            return usageError(CommandName, std::string("cannot create '") + output +
                                               "': " + std::strerror(errno));
        }
    }

    routeStatusMessages(toStandardOutput, quiet);
    auto totals = std::make_shared<WrittenTotals>();
    vorcJPEGReceiver* receiver = nullptr;
    if (output != nullptr) {
        auto* writer =
            new CheckedMJPEGWriter(toStandardOutput ? STDOUT_FILENO : outputFd, boundary);
        receiver =
            new CountingJPEGReceiver(writer, totals, [writer] { return writer->hasFailed(); });
    } else {
        receiver = new CountingJPEGReceiver(new vorcJPEGSequenceWriter(prefix), totals, nullptr);
    }
    auto* backEnd = new vorcDefaultTesraDecoderBackEnd;
    uint64_t bytesRead = 0;
    {
        vorcFramewiseTesraDecoder decoder(
            source.release(), backEnd,
            new vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(receiver));
        ProgressLine progress(ProgressLine::wanted(quiet));
        for (;;) {
            const int got = decoder.decode(PullSize);
            bytesRead += static_cast<uint64_t>(got);
            progress.update(totals->frames, bytesRead);
            if (got == 0 && !decoder.sourceStillUp()) break;
        }
        progress.finish();
    }  // the MJPEG writer writes its closing delimiter here
    if (outputFd != -1 && ::close(outputFd) != 0) totals->failed = true;

    std::FILE* summary = toStandardOutput ? stderr : stdout;
    std::fprintf(summary, "frames written: %ld, bytes written: %llu, stream bytes read: %llu\n",
                 totals->frames, static_cast<unsigned long long>(totals->bytes),
                 static_cast<unsigned long long>(bytesRead));
    if (totals->failed) {
        std::fprintf(stderr, "vorc %s: writing the output failed\n", CommandName);
        return ExitFailure;
    }
    return ExitOk;
}

const CommandRegistrar registrar(ToolCommand{
    CommandName, "turn a stream into MJPEG or numbered JPEG files", 30, runTranscode});

}  // namespace
