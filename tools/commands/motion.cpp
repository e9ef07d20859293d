// `vorc motion SOURCE`: motion events of a stream file or a live camera,
// found from the frames' tile bitmaps alone. The chain only walks the
// frames (parse-only: no pixel is decoded) and hands each frame's bitmap to
// vorc::MotionDetector; events go to standard output as text lines or JSON
// Lines as they are recognised, and the summary on standard error says how
// fast the walk went, as cameras per processor core. --heatmap adds the one
// decoding the command does: the last picture, under the heat map.
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/command_registry.h"
#include "tools/cli/decoding_chain.h"
#include "tools/cli/exit_status.h"
#include "tools/cli/option_parser.h"
#include "tools/cli/output_file.h"
#include "tools/cli/progress_line.h"
#include "tools/cli/stopping.h"
#include "tools/motion/heatmap.h"
#include "tools/motion/motion_feed.h"
#include "tools/motion/zone_options.h"
#include "tools/net/camera_source.h"
#include "vorc/motion/motion_detector.h"
#include "vorc/sources/ip_address.h"

namespace {

constexpr const char* CommandName = "motion";
constexpr double DefaultFileFps = 25.0;
// What the cameras-per-core figure counts in.
constexpr double CameraFps = 25.0;
constexpr double CameraTimeoutSeconds = 10.0;
constexpr int PollSliceMillis = 100;

void printUsage() {
    const vorc::MotionSettings defaults;
    std::printf(
        "usage: vorc motion [OPTIONS] SOURCE\n"
        "\n"
        "Finds motion in a Tesra stream without decoding it: a partial frame codes\n"
        "only the 16x16-pixel tiles that changed, and its bitmap names them. SOURCE\n"
        "is a stream file, '-' for standard input, or a camera's HOST:PORT (read\n"
        "until it closes or Ctrl-C). A frame moves in a zone when changed tiles\n"
        "connected by an edge or a corner form a region of at least --min-tiles\n"
        "tiles, and such regions make at least --min-share of the zone; full frames\n"
        "say nothing about motion and are skipped. An event starts after\n"
        "--start-frames moving frames in a row and ends after --end-frames frames\n"
        "without motion; it is dated from its first to its last moving frame.\n"
        "\n"
        "Standard output gets a line when an event starts and when it ends:\n"
        "  start: zone Z, frame N, time T s, share S%%, box X,Y,WxH\n"
        "  end: zone Z, frames N-M, time T-U s, peak share S%%, box X,Y,WxH\n"
        "(the box in pixels around the largest changed region; a start gives\n"
        "what is known so far). With --json, JSON Lines instead:\n"
        "{\"type\":\"start\", \"zone\", \"frame\", \"time\", \"share\", \"box\"},\n"
        "{\"type\":\"end\", \"zone\", \"start_frame\", \"start_time\", \"end_frame\",\n"
        "\"end_time\", \"peak_share\", \"box\"} with \"box\" as {\"x\", \"y\", \"width\",\n"
        "\"height\"}, and at last {\"type\":\"summary\", \"frames\", \"measured_frames\",\n"
        "\"full_frames\", \"damaged_frames\", \"events\", \"width\", \"height\"}.\n"
        "The summary on standard error gives the speed in frames per second of\n"
        "processor time and as cameras of the stream's size at 25 frames/s per core.\n"
        "\n"
        "options:\n"
        "  --zone [NAME=][-]X,Y,WxH  a rectangle in pixels, widened to whole tiles;\n"
        "                    rectangles of one NAME make one zone, a nameless one\n"
        "                    is a zone of its own (named by its number); '-'\n"
        "                    leaves the rectangle out of the zone NAME, or without\n"
        "                    a NAME out of every zone. Default: one zone, 'all'\n");
    std::printf("  --min-share S     a share of the zone's tiles, 0 to 1 or N%% (default %g)\n", defaults.minShare);
    std::printf("  --min-tiles N     the smallest region that is motion (default %d)\n", defaults.minTiles);
    std::printf("  --connectivity C  4: tiles connect by an edge only; 8: or a corner (default)\n");
    std::printf("  --start-frames N  moving frames that start an event (default %d)\n", defaults.startFrames);
    std::printf("  --end-frames N    frames without motion that end it (default %d)\n", defaults.endFrames);
    std::printf(
        "  --fps F           a file's frames are F a second (default 25); a camera is\n"
        "                    asked for F (default: its maximum) and timed by the clock\n"
        "  --json            JSON Lines on standard output instead of text\n"
        "  --heatmap OUT.png how often each tile moved (was in a region of at least\n"
        "                    --min-tiles), drawn over the last picture, the only\n"
        "                    one decoded (from the last full frame on)\n");
    printStreamOptionsHelp(20);
    printCommonOptionsHelp(20);
    std::printf(
        "\n"
        "examples:\n"
        "  vorc motion camera.tesra --zone door=640,200,320x480 --heatmap heat.png\n"
        "  vorc motion 192.168.1.20:80 --json --zone -0,0,1920x64 > events.jsonl\n");
}

ValueHandler share(double* value) {
    return [value](const char* text, std::string&) {
        char* rest = nullptr;
        double number = std::strtod(text, &rest);
        if (rest != text && *rest == '%' && rest[1] == '\0') {
            number /= 100.0;
        } else if (rest == text || *rest != '\0') {
            return false;
        }
        if (!(number >= 0.0 && number <= 1.0)) return false;
        *value = number;
        return true;
    };
}

ValueHandler count(int* value) {
    return [value](const char* text, std::string&) {
        long number = 0;
        if (!parseWholeNumber(text, 1, INT_MAX, &number)) return false;
        *value = static_cast<int>(number);
        return true;
    };
}

double processSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The detector fed from the chain's frames; events go to standard output as
// they come, in text or JSON, and are counted for the summary.
class MotionRun {
public:
    MotionRun(const vorc::MotionSettings& settings, bool json, double fileFps, bool withPicture)
        : feed_(settings, fileFps), json_(json), keeper_(withPicture ? new LastPictureKeeper : nullptr) {}

    void watch(DecodingChain* chain) {
        chain->watchFrames([this](const vorc::FrameInfo& frame, const uint8_t* tileBitmap) { measure(frame, tileBitmap); });
        if (keeper_ != nullptr) chain->watchInput([this](const unsigned char* bytes, size_t count) { keeper_->input(bytes, count); });
    }
    // Ends the events still open; with a picture kept, writes the heat map
    // over it: empty, or what went wrong.
    std::string finish(OutputFile* heatMap, const char* heatMapPath) {
        for (const vorc::MotionEvent& event : feed_.finish()) print(event);
        if (keeper_ == nullptr) return "";
        int width = 0, height = 0;
        std::vector<unsigned char> rgb;
        if (!keeper_->decode(&width, &height, &rgb)) return "no picture for the heat map: the stream holds no complete frame";
        const bool drawn = writeHeatMapPng(heatMap->file(), feed_.detector().heatMap(), width, height, rgb);
        const bool closed = heatMap->close();
        if (!drawn || !closed) return systemError("write", heatMapPath);
        heatMap->keep();
        return "";
    }
    void printSummary(const ChainStats& stats, bool quiet, double walkSeconds) const {
        if (json_) {
            std::printf("{\"type\":\"summary\",\"frames\":%ld,\"measured_frames\":%ld,\"full_frames\":%ld,"
                        "\"damaged_frames\":%ld,\"events\":%ld,\"width\":%d,\"height\":%d}\n",
                        static_cast<long>(stats.frames), feed_.measuredFrames(), feed_.fullFrames(), feed_.damagedFrames(),
                        ended_, feed_.width(), feed_.height());
        }
        if (quiet) return;
        const double framesPerSecond = walkSeconds > 0.0 ? static_cast<double>(stats.frames) / walkSeconds : 0.0;
        std::fprintf(stderr,
                     "vorc motion: %ld frames (%ld full, skipped), %ld event%s; %.4f s of processor time: "
                     "%.0f frames/s, %.0f cameras of %dx%d at %g frames/s per core\n",
                     static_cast<long>(stats.frames), feed_.fullFrames(), ended_, ended_ == 1 ? "" : "s", walkSeconds,
                     framesPerSecond, framesPerSecond / CameraFps, feed_.width(), feed_.height(), CameraFps);
    }

private:
    void measure(const vorc::FrameInfo& facts, const uint8_t* tileBitmap) {
        const vorc::MotionFrame* frame = feed_.measure(facts, tileBitmap);
        if (frame == nullptr) return;
        for (const vorc::MotionEvent& event : frame->events) print(event);
        if (keeper_ != nullptr && frame->use == vorc::FrameUse::FullFrame) keeper_->fullFrameAt(facts.offset);
    }

    void print(const vorc::MotionEvent& event) {
        const bool start = event.kind == vorc::MotionEvent::Kind::Start;
        if (!start) ++ended_;
        if (json_) {
            std::printf("%s\n", feed_.eventJson(event).c_str());
        } else {
            const std::string& zone = feed_.detector().settings().zones[static_cast<size_t>(event.zone)].name;
            const vorc::PixelRect box = feed_.eventBox(event);
            if (start) {
                std::printf("start: zone %s, frame %lld, time %.3f s, share %.1f%%, box %d,%d,%dx%d\n", zone.c_str(),
                            static_cast<long long>(event.startFrame), event.startTime, 100.0 * event.peakShare, box.x,
                            box.y, box.width, box.height);
            } else {
                std::printf("end: zone %s, frames %lld-%lld, time %.3f-%.3f s, peak share %.1f%%, box %d,%d,%dx%d\n",
                            zone.c_str(), static_cast<long long>(event.startFrame),
                            static_cast<long long>(event.endFrame), event.startTime, event.endTime,
                            100.0 * event.peakShare, box.x, box.y, box.width, box.height);
            }
        }
        // Someone may be waiting for it.
        std::fflush(stdout);
    }

    MotionFeed feed_;
    const bool json_;
    std::unique_ptr<LastPictureKeeper> keeper_;
    long ended_ = 0;
};

// Feeds the chain from the camera until it closes, falls silent or a signal
// stops it; the camera's reason for ending goes to *failure.
void runCamera(DecodingChain* chain, std::unique_ptr<vorc::CheckedCameraStream> camera, bool showProgress,
               std::string* failure) {
    auto* source = new ReadAheadSource(std::move(camera), failure);
    LoopControl control;
    control.stopReason = []() -> const char* { return StopOnSignals::received() != 0 ? "interrupted" : nullptr; };
    control.waitForData = [source] { source->waitForData(PollSliceMillis); };
    chain->run(source, showProgress, 0, control);
}

int runMotion(int argc, char** argv) {
    CommonOptions common;
    OutputRequest request;
    request.kind = OutputKind::ParseOnly;
    vorc::MotionSettings settings;
    std::vector<ZoneOption> zoneOptions;
    const char* sourceText = nullptr;
    const char* heatmapPath = nullptr;
    bool json = false;
    double fps = 0.0;  // not given
    const auto zone = [&](const char* text, std::string& error) {
        ZoneOption option;
        if (!parseZone(text, &option)) error = std::string("--zone wants [NAME=][-]X,Y,WxH in pixels, not '") + text + "'";
        zoneOptions.push_back(option);
        return error.empty();
    };
    const auto connectivity = [&](const char* text, std::string&) {
        const std::string value = text;
        if (value != "4" && value != "8") return false;
        settings.connectivity = value == "4" ? vorc::Connectivity::Four : vorc::Connectivity::Eight;
        return true;
    };
    const ValueHandler rate = decimalNumber([](double given) { return given > 0.0 && given < 1e6; }, &fps);
    if (const auto done = parseArguments(
            CommandName, printUsage, argc, argv, &common,
            withStreamOptions({{{"--zone"}, "%s needs a rectangle", zone},
                               {{"--min-share"}, "%s needs a share from 0 to 1, or a percentage", share(&settings.minShare)},
                               {{"--min-tiles"}, "%s needs a number of at least 1", count(&settings.minTiles)},
                               {{"--connectivity"}, "%s needs 4 or 8", connectivity},
                               {{"--start-frames"}, "%s needs a number of at least 1", count(&settings.startFrames)},
                               {{"--end-frames"}, "%s needs a number of at least 1", count(&settings.endFrames)},
                               {{"--fps"}, "%s needs a number above 0", rate},
                               {{"--json"}, &json},
                               {{"--heatmap"}, "%s needs a file name", &heatmapPath}},
                              &request),
            Operands(&sourceText, "more than one SOURCE", "missing SOURCE (a stream file, '-' or a camera's HOST:PORT)")))
        return *done;
    settings.zones = zonesOf(zoneOptions);
    // Standard output carries the events.
    if (heatmapPath != nullptr && std::strcmp(heatmapPath, "-") == 0)
        return usageError(CommandName, "--heatmap needs a file name");

    // '-' is standard input.
    std::optional<vorc::HostAndPort> camera;
    std::string sourceProblem;
    if (std::strcmp(sourceText, "-") != 0 && !parseSourceOperand(sourceText, &camera, &sourceProblem))
        return usageError(CommandName, sourceProblem);
    const bool fromFile = !camera;
    // Created before any input is read: a file that cannot be written is a usage error.
    std::unique_ptr<OutputFile> heatMap(heatmapPath != nullptr ? new OutputFile(heatmapPath) : nullptr);
    if (heatMap != nullptr && heatMap->file() == nullptr) return usageError(CommandName, systemError("create", heatmapPath));
    std::unique_ptr<vorc::CheckedCameraStream> cameraStream;
    if (camera) {
        const auto timeout = timeoutOf(CameraTimeoutSeconds);
        cameraStream = openCamera(CommandName, cameraAddressText(*camera).c_str(), *camera, fps, vorc::LiveStreamTimeouts{timeout, timeout});
        if (cameraStream == nullptr) return ExitFailure;
    }

    MotionRun run(settings, json, fromFile ? (fps > 0.0 ? fps : DefaultFileFps) : 0.0, heatMap != nullptr);
    DecodingChain chain;
    run.watch(&chain);
    std::FILE* everyMessageTo = verboseMessageTarget(common, true);
    const double startSeconds = processSeconds();
    int status = ExitOk;
    std::string cameraFailure;
    std::optional<StopOnSignals> signals;
    if (fromFile) {
        status = chain.decodeFile(CommandName, sourceText, request, common, everyMessageTo);
        if (status != ExitOk) return status;
    } else {
        routeStatusMessages(common.verbosity, everyMessageTo);
        std::string error;
        if (!chain.open(request, &error)) return usageError(CommandName, error);
        signals.emplace();
        runCamera(&chain, std::move(cameraStream), ProgressLine::wanted(common), &cameraFailure);
    }
    const double walkSeconds = processSeconds() - startSeconds;
    if (const std::string problem = run.finish(heatMap.get(), heatmapPath); !problem.empty()) {
        std::fprintf(stderr, "vorc motion: %s\n", problem.c_str());
        status = ExitFailure;
    }
    run.printSummary(chain.stats(), common.quiet(), walkSeconds);
    const int finished = chain.finish(CommandName, cameraFailure);
    return status != ExitOk ? status : finished;
}

const CommandRegistrar registrar(ToolCommand{CommandName, "find motion in a stream without decoding it", 15, runMotion});

}  // namespace
