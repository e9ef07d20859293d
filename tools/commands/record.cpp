// `vorc record HOST:PORT`: the tool's outputs (frame report, MJPEG, JPEG
// files, snapshot, raw dump) fed from a live camera instead of a file. The
// chain is live source -> parser -> scan decoder -> back end, with the
// source non-blocking and waited on with poll(), so that Ctrl-C and
// --seconds are honoured while the camera is silent, and with a time-out
// for a camera that stops sending. The library's checked camera reads the
// HTTP answer head first: anything but 200 ends the recording. However
// recording ends, the parser is destroyed, which completes every output (the
// MJPEG closing delimiter included).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tools/cli/command_registry.h"
#include "tools/cli/decoding_chain.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/progress_line.h"
#include "tools/cli/stopping.h"
#include "tools/net/camera_source.h"
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
        "Asks the camera at HOST:PORT (a name, an IPv4 address or [IPv6]) for\n"
        "its live stream and\n"
        "handles it like a stream file: by default every frame is decoded and\n"
        "reported; the options below write an output instead. Recording ends\n"
        "after --frames or --seconds, when the camera closes or stays silent for\n"
        "--timeout, or on Ctrl-C; the outputs are always completed. Damaged frames\n"
        "are skipped.\n"
        "\n"
        "options:\n"
        "  --fps F             frame rate to ask for (default 0: the camera's maximum)\n"
        "  --frames N          stop after N frames\n"
        "  --seconds S         stop after S seconds\n"
        "  --timeout S         give up connecting, or on a silent camera, after S seconds\n"
        "                      (default 10, at least 3 frame intervals; 0: wait for ever)\n"
        "  -o OUT.mjpg         transcode into an MJPEG stream ('-' for standard output)\n"
        "  --jpeg-prefix P     transcode into numbered JPEG files P000000.jpg, ...\n"
        "  --snapshot OUT.png  save the last complete picture\n"
        "  --dump OUT          raw RGB video ('-' for standard output)\n"
        "  --yuv               with --dump: planar Y, Cr, Cb 4:2:0 instead of RGB\n"
        "  --i420              with --dump: planar Y, Cb, Cr 4:2:0 instead of RGB\n");
    // Damaged frames are always skipped.
    printStreamOptionsHelp(22, false);
    printCommonOptionsHelp(22);
    std::printf(
        "\n"
        "example:\n"
        "  vorc record 127.0.0.1:8080 --fps 5 --seconds 60 -o out.mjpg\n");
}

ValueHandler number(double* value) {
    return decimalNumber([](double given) { return given >= 0.0 && given < 1e9; }, value);
}

int runRecord(int argc, char** argv) {
    const char* cameraText = nullptr;
    OutputRequest request;
    CommonOptions common;
    bool yuv = false;
    bool i420 = false;
    double fps = 0.0;
    double frameLimit = 0.0;
    double secondsLimit = 0.0;
    double timeoutSeconds = DefaultTimeoutSeconds;
    const auto output = [&request](OutputKind kind) -> ValueHandler {
        return [&request, kind](const char* path, std::string& error) {
            if (request.kind != OutputKind::Report) {
                error = "only one output at a time";
                return false;
            }
            request.kind = kind;
            request.path = path;
            return true;
        };
    };
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv, &common,
            withStreamOptions({{{"--yuv"}, &yuv},
             {{"--i420"}, &i420},
             {{"--fps"}, "%s needs a number of at least 0", number(&fps)},
             {{"--frames"}, "%s needs a number of at least 0", number(&frameLimit)},
             {{"--seconds"}, "%s needs a number of at least 0", number(&secondsLimit)},
             {{"--timeout"}, "%s needs a number of at least 0", number(&timeoutSeconds)},
             {{"-o"}, "%s needs a file name", output(OutputKind::Mjpeg)},
             {{"--jpeg-prefix"}, "%s needs a file name", output(OutputKind::JpegFiles)},
             {{"--snapshot"}, "%s needs a file name", output(OutputKind::Snapshot)},
             {{"--dump"}, "%s needs a file name", output(OutputKind::Dump)}}, &request),
            Operands(&cameraText, "more than one camera", "missing HOST:PORT of the camera")))
        return *done;
    if ((yuv || i420) && request.kind != OutputKind::Dump)
        return usageError(CommandName, "--yuv and --i420 go with --dump");
    if (!chooseRawFormat(&request.rawFormat, yuv, i420))
        return usageError(CommandName, "give at most one of --yuv and --i420");
    if (request.kind == OutputKind::Snapshot && request.path == "-") {
        return usageError(CommandName, "--snapshot needs a file name");
    }
    request.keepGoing = true;
    const std::optional<vorc::HostAndPort> endpoint = vorc::parseHostAndPort(cameraText);
    if (!endpoint) return usageError(CommandName, std::string("cannot use '") + cameraText + "' as HOST:PORT");

    // A slow rate asked for leaves gaps between frames that are no silence.
    const double silenceSeconds =
        timeoutSeconds > 0.0 && fps > 0.0 ? std::max(timeoutSeconds, FramesOfSilence / fps) : timeoutSeconds;
    std::unique_ptr<vorc::CheckedCameraStream> camera = openCamera(
        CommandName, cameraText, *endpoint, fps, vorc::LiveStreamTimeouts{timeoutOf(timeoutSeconds), timeoutOf(silenceSeconds)});
    if (camera == nullptr) return ExitFailure;
    routeStatusMessages(common.verbosity, verboseMessageTarget(common, writesStandardOutput(request)));
    DecodingChain chain;
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
                     static_cast<unsigned long long>(stats.bytesRead), cameraText);
        if (request.kind == OutputKind::Dump) std::fprintf(stderr, "%s\n", describeDump(request, stats).c_str());
    }
    return chain.finish(CommandName, failure);
}

const CommandRegistrar registrar(ToolCommand{CommandName, "record or convert a live camera stream", 70, runRecord});

}  // namespace
