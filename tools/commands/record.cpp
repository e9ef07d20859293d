// `vorc record HOST:PORT`: the tool's outputs fed from a live camera
// instead of a file, all that are asked for at once: recordings (MJPEG,
// Matroska, back-to-back JPEG; cut into files by duration and deleted by
// age or total size), numbered JPEG files, a snapshot and a raw dump; with
// --on-motion only the frames of motion events and around them. The chain
// is live source -> parser -> scan decoder -> back end, with the source
// non-blocking and waited on with poll(), so that Ctrl-C and --seconds are
// honoured while the camera is silent, and with a time-out for a camera
// that stops sending. The library's checked camera reads the HTTP answer
// head first: anything but 200 ends the recording. However recording ends,
// every output is completed (the MJPEG closing delimiter, the Matroska
// index).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command_registry.h"
#include "tools/cli/decoding_chain.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/progress_line.h"
#include "tools/cli/stopping.h"
#include "tools/net/camera_source.h"
#include "tools/record/recorder.h"
#include "vorc/core/exceptions.h"
#include "vorc/sinks/jpeg_receiver.h"
#include "vorc/sources/camera_live_stream.h"

namespace {

constexpr const char* CommandName = "record";
constexpr int PollSliceMillis = 100;
constexpr double DefaultTimeoutSeconds = 10.0;
// At a slow rate a camera may be silent for this many frame intervals.
constexpr double FramesOfSilence = 3.0;

using Clock = std::chrono::steady_clock;

void printUsage() {
    std::printf(
        "usage: vorc record HOST:PORT [OPTIONS]\n"
        "\n"
        "Asks the camera at HOST:PORT (a name, an IPv4 address or [IPv6]; one\n"
        "that asks for a login as USER:PASSWORD@HOST:PORT) for its live stream\n"
        "and handles it like a stream file: by default every frame is decoded\n"
        "and reported; the options below write outputs instead, all that are\n"
        "given. Recording ends after --frames or --seconds, when the camera\n"
        "closes or stays silent for --timeout, or on Ctrl-C; the outputs are\n"
        "always completed. Damaged frames are skipped.\n"
        "\n"
        "options:\n"
        "  --fps F             frame rate to ask for (default 0: the camera's maximum)\n"
        "  --frames N          stop after N frames\n"
        "  --seconds S         stop after S seconds\n"
        "  --timeout S         give up connecting, or on a silent camera, after S seconds\n"
        "                      (default 10, at least 3 frame intervals; 0: wait for ever)\n"
        "  -o OUT              transcode into a recording ('-' for standard output); may\n"
        "                      be given more than once. The name picks the container:\n"
        "                      .mkv Matroska (MJPEG video, seekable), .jpegs JPEG images\n"
        "                      back to back, anything else an MJPEG stream. With a\n"
        "                      strftime pattern (rec/%%Y%%m%%d-%%H%%M%%S.mkv) each file is\n"
        "                      named by the local time of its first frame\n"
        "  --format F          the container of every -o: mjpeg, mkv or jpegs\n"
        "  --segment D         with a pattern: a new file every D (5s, 10m, 1h, 1d)\n"
        "  --keep D            with a pattern: delete its files older than D\n"
        "  --max-bytes N       with a pattern: delete its oldest files while they hold\n"
        "                      more than N bytes (K, M, G, T: times 1024 each)\n"
        "  --jpeg-prefix P     transcode into numbered JPEG files P000000.jpg, ...\n"
        "  --snapshot OUT.png  save the last complete picture\n"
        "  --dump OUT          raw RGB video ('-' for standard output)\n"
        "  --yuv               with --dump: planar Y, Cr, Cb 4:2:0 instead of RGB\n"
        "  --i420              with --dump: planar Y, Cb, Cr 4:2:0 instead of RGB\n"
        "  --on-motion         write -o and --jpeg-prefix only during motion events\n"
        "                      (found in the tile bitmaps, as vorc motion does)\n"
        "  --pre S             with --on-motion: also the S seconds before each event\n"
        "                      (default 2)\n"
        "  --post S            with --on-motion: also the S seconds after each event\n"
        "                      (default 5)\n");
    // Damaged frames are always skipped.
    printStreamOptionsHelp(22, false);
    printCommonOptionsHelp(22);
    std::printf(
        "\n"
        "examples:\n"
        "  vorc record 127.0.0.1:8080 --fps 5 --seconds 60 -o out.mjpg\n"
        "  vorc record 127.0.0.1:8080 -o 'rec/%%Y%%m%%d-%%H%%M%%S.mkv' --segment 10m --keep 7d\n");
}

ValueHandler number(double* value) {
    return decimalNumber([](double given) { return given >= 0.0 && given < 1e9; }, value);
}

// A number with an optional unit (ms, s, m, h, d; seconds without one), as
// a count of milliseconds above 0.
ValueHandler duration(std::chrono::milliseconds* value) {
    return [value](const char* text, std::string&) {
        char* end = nullptr;
        const double amount = std::strtod(text, &end);
        if (end == text || !std::isfinite(amount) || amount <= 0.0) return false;
        const std::string unit(end);
        double millis = 0.0;
        if (unit.empty() || unit == "s") millis = amount * 1e3;
        else if (unit == "ms") millis = amount;
        else if (unit == "m") millis = amount * 60e3;
        else if (unit == "h") millis = amount * 3600e3;
        else if (unit == "d") millis = amount * 86400e3;
        else return false;
        if (millis < 1.0 || millis > 1e15) return false;
        *value = std::chrono::milliseconds(static_cast<int64_t>(millis));
        return true;
    };
}

ValueHandler byteCount(uint64_t* value) {
    return [value](const char* text, std::string&) {
        char* end = nullptr;
        const double amount = std::strtod(text, &end);
        if (end == text || !std::isfinite(amount) || amount < 1.0) return false;
        static const std::string units = "KMGT";
        double bytes = amount;
        if (*end != '\0') {
            const size_t power = units.find(*end);
            if (power == std::string::npos || end[1] != '\0') return false;
            bytes = std::ldexp(amount, 10 * static_cast<int>(power + 1));
        }
        if (bytes > 9e18) return false;
        *value = static_cast<uint64_t>(bytes);
        return true;
    };
}

// Keeps the transcoder's latest image until the chain says what its frame was.
class LatestImage : public vorcJPEGReceiver {
public:
    void beginFrame() override {
        bytes_.clear();
        complete_ = false;
    }
    void endFrame() override { complete_ = true; }
    void receiveJPEGBytes(const unsigned char* bytes, int count) override { bytes_.insert(bytes_.end(), bytes, bytes + count); }
    // The image of the frame being handed on, or null; taken once.
    const std::vector<uint8_t>* take() {
        const bool complete = complete_;
        complete_ = false;
        return complete ? &bytes_ : nullptr;
    }

private:
    std::vector<uint8_t> bytes_;
    bool complete_ = false;
};

int runRecord(int argc, char** argv) {
    const char* cameraText = nullptr;
    OutputRequest request;
    RecorderSettings recording;
    CommonOptions common;
    bool yuv = false;
    bool i420 = false;
    double fps = 0.0;
    double frameLimit = 0.0;
    double secondsLimit = 0.0;
    double timeoutSeconds = DefaultTimeoutSeconds;
    const char* format = nullptr;
    std::vector<std::string> recordingNames;
    std::string snapshotPath;
    std::string dumpPath;
    recording.preSeconds = 2.0;
    recording.postSeconds = 5.0;
    const auto once = [](std::string* path) -> ValueHandler {
        return [path](const char* given, std::string& error) {
            if (!path->empty()) {
                error = "give each output once";
                return false;
            }
            *path = given;
            return !path->empty();
        };
    };
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv, &common,
            withStreamOptions(
                {{{"--yuv"}, &yuv},
                 {{"--i420"}, &i420},
                 {{"--on-motion"}, &recording.onMotion},
                 {{"--fps"}, "%s needs a number of at least 0", number(&fps)},
                 {{"--frames"}, "%s needs a number of at least 0", number(&frameLimit)},
                 {{"--seconds"}, "%s needs a number of at least 0", number(&secondsLimit)},
                 {{"--timeout"}, "%s needs a number of at least 0", number(&timeoutSeconds)},
                 {{"--pre"}, "%s needs a number of seconds of at least 0", number(&recording.preSeconds)},
                 {{"--post"}, "%s needs a number of seconds of at least 0", number(&recording.postSeconds)},
                 {{"-o"}, "%s needs a file name",
                  [&recordingNames](const char* path, std::string&) {
                      recordingNames.emplace_back(path);
                      return !recordingNames.back().empty();
                  }},
                 {{"--format"}, "%s needs mjpeg, mkv or jpegs", &format},
                 {{"--segment"}, "%s needs a duration such as 5s, 10m or 1h",
                  duration(&recording.rules.segmentLength)},
                 {{"--keep"}, "%s needs a duration such as 12h or 7d", duration(&recording.rules.keepFor)},
                 {{"--max-bytes"}, "%s needs a number of bytes such as 500M", byteCount(&recording.rules.maxBytes)},
                 {{"--jpeg-prefix"}, "%s needs a file name", once(&recording.jpegPrefix)},
                 {{"--snapshot"}, "%s needs a file name", once(&snapshotPath)},
                 {{"--dump"}, "%s needs a file name", once(&dumpPath)}},
                &request),
            Operands(&cameraText, "more than one camera", "missing HOST:PORT of the camera")))
        return *done;
    if ((yuv || i420) && dumpPath.empty()) return usageError(CommandName, "--yuv and --i420 go with --dump");
    if (!chooseRawFormat(&request.rawFormat, yuv, i420))
        return usageError(CommandName, "give at most one of --yuv and --i420");
    if (snapshotPath == "-") return usageError(CommandName, "--snapshot needs a file name");
    Container forced = Container::Mjpeg;
    if (format != nullptr && !containerByFormatName(format, &forced))
        return usageError(CommandName, std::string("--format needs mjpeg, mkv or jpegs, not '") + format + "'");
    for (const std::string& name : recordingNames)
        recording.files.push_back(RecordingTarget{name, format != nullptr ? forced : containerOfName(name)});
    if (std::count(recordingNames.begin(), recordingNames.end(), "-") + (dumpPath == "-") > 1)
        return usageError(CommandName, "only one output can go to standard output");
    const bool patterned = std::any_of(recordingNames.begin(), recordingNames.end(), hasTimeConversion);
    if ((recording.rules.segmentLength.count() > 0 || recording.rules.keepFor.count() > 0 || recording.rules.maxBytes > 0) &&
        !patterned)
        return usageError(CommandName, "--segment, --keep and --max-bytes need -o with a time pattern in the name, "
                                       "such as -o 'rec/%Y%m%d-%H%M%S.mkv'");
    const bool recordsImages = !recording.files.empty() || !recording.jpegPrefix.empty();
    if (recording.onMotion && !recordsImages)
        return usageError(CommandName, "--on-motion needs -o or --jpeg-prefix");
    if (!dumpPath.empty()) {
        request.kind = OutputKind::Dump;
        request.path = dumpPath;
        request.snapshotToo = snapshotPath;
    } else if (!snapshotPath.empty()) {
        request.kind = OutputKind::Snapshot;
        request.path = snapshotPath;
    }
    request.keepGoing = true;
    const std::optional<vorc::HostAndPort> endpoint = vorc::parseHostAndPort(cameraText);
    if (!endpoint) return usageError(CommandName, "cannot use '" + withoutPassword(cameraText) + "' as HOST:PORT");
    const std::string cameraName = cameraAddressText(*endpoint);  // without the password

    // The outputs are checked before the camera is asked.
    std::unique_ptr<Recorder> recorder;
    if (recordsImages) {
        try {
            recorder = std::make_unique<Recorder>(recording);
        } catch (const vorc::Error& error) {
            return usageError(CommandName, error.what());
        }
    }
    const bool toStandardOutput = writesStandardOutput(request) ||
                                  std::find(recordingNames.begin(), recordingNames.end(), "-") != recordingNames.end();
    // A slow rate asked for leaves gaps between frames that are no silence.
    const double silenceSeconds =
        timeoutSeconds > 0.0 && fps > 0.0 ? std::max(timeoutSeconds, FramesOfSilence / fps) : timeoutSeconds;
    std::unique_ptr<vorc::CheckedCameraStream> camera = openCamera(
        CommandName, cameraName.c_str(), *endpoint, fps, vorc::LiveStreamTimeouts{timeoutOf(timeoutSeconds), timeoutOf(silenceSeconds)});
    if (camera == nullptr) return ExitFailure;
    routeStatusMessages(common.verbosity, verboseMessageTarget(common, toStandardOutput));
    DecodingChain chain;
    LatestImage latest;
    std::string recordingFailure;
    if (recorder != nullptr) {
        chain.transcodeInto(&latest);
        chain.watchFrames([&](const vorc::FrameInfo& frame, const uint8_t* tileBitmap) {
            const std::vector<uint8_t>* image = latest.take();
            if (!recordingFailure.empty()) return;
            try {
                recorder->addFrame(image != nullptr ? image->data() : nullptr, image != nullptr ? image->size() : 0,
                                   frame, tileBitmap, WallClock::now());
            } catch (const vorc::Error& error) {
                recordingFailure = error.what();
            }
        });
    }
    std::string error;
    if (!chain.open(request, &error)) return usageError(CommandName, error);

    const StopOnSignals signals;
    std::string failure;
    auto* source = new ReadAheadSource(std::move(camera), &failure);
    const long frames = static_cast<long>(frameLimit);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secondsLimit));
    LoopControl control;
    // With a frame limit the parser is fed byte by byte, see ReadAheadSource.
    control.pieceSize = frames > 0 ? 1 : DefaultPieceSize;
    control.stopReason = [&]() -> const char* {
        if (StopOnSignals::received() != 0) return "interrupted";
        if (!recordingFailure.empty()) return "the recording failed";
        if (frames > 0 && chain.stats().frames >= static_cast<uint64_t>(frames)) return "frame limit reached";
        if (secondsLimit > 0.0 && Clock::now() >= deadline) return "time limit reached";
        return nullptr;
    };
    control.waitForData = [&] {
        int waitMillis = PollSliceMillis;
        if (secondsLimit > 0.0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMillis = static_cast<int>(std::max<long long>(0, std::min<long long>(waitMillis, left + 1)));
        }
        source->waitForData(waitMillis);
    };
    const char* reason = chain.run(source, ProgressLine::wanted(common), 0, control);
    if (recorder != nullptr && !recorder->finish(&recordingFailure) && recordingFailure.empty())
        recordingFailure = "writing the recording failed";
    const ChainStats& stats = chain.stats();
    if (!common.quiet()) {
        std::string damage;
        if (stats.damagedFrames > 0 || stats.skippedBytes > 0) {
            damage = " (" + std::to_string(stats.damagedFrames) + " damaged, " + std::to_string(stats.skippedBytes) +
                     " bytes skipped)";
            chain.damageShownByCommand();
        }
        std::fprintf(stderr, "vorc record: %s after %ld frames%s, %llu bytes from %s\n",
                     reason != nullptr ? reason : failure.empty() ? "the camera closed the stream" : "the stream ended",
                     static_cast<long>(stats.frames), damage.c_str(),
                     static_cast<unsigned long long>(stats.bytesRead), cameraName.c_str());
        if (recording.onMotion && recorder != nullptr)
            std::fprintf(stderr, "vorc record: %llu frames recorded on motion\n",
                         static_cast<unsigned long long>(recorder->framesWritten()));
        if (request.kind == OutputKind::Dump) std::fprintf(stderr, "%s\n", describeDump(request, stats).c_str());
    }
    if (recorder != nullptr && recorder->framesLostToBound() > 0)
        std::fprintf(stderr, "vorc record: warning: %llu frames waiting for a motion decision were dropped (the ring was full)\n",
                     static_cast<unsigned long long>(recorder->framesLostToBound()));
    const int status = chain.finish(CommandName, failure);
    if (!recordingFailure.empty()) {
        std::fprintf(stderr, "vorc record: %s\n", recordingFailure.c_str());
        return ExitFailure;
    }
    return status;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "record or convert a live camera stream", 70, runRecord});

}  // namespace
