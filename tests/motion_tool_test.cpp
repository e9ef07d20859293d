// `vorc motion` end to end on the motion scenes: its events, for every
// option, are the detector's own on the same stream with the same settings,
// from a file, from standard input and from a camera; its text and JSON
// agree; its heat map lies over the picture `vorc snapshot` decodes; its
// usage errors. And the heat map's last picture on its own, kept whole or
// decoded as it arrives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <regex>

#include "support/files.h"
#include "support/motion_scene.h"
#include "support/png_reading.h"
#include "support/tool_process.h"
#include "tools/motion/heatmap.h"
#include "vorc/core/status_messages.h"

using vorc::MotionEvent;
using vorc::MotionSettings;
using vorc::ZoneArea;
using vorctest::readPng;

namespace {

// One line per event: kind, zone, frames, share with four digits, box in
// pixels, and with times the seconds with three.
std::string eventLine(const std::string& kind, const std::string& zone, const std::string& frames, const std::string& share,
                      const std::string& box, const std::string& times, bool withTimes) {
    return kind + " " + zone + " " + frames + " " + share + " " + box + (withTimes ? " " + times : "") + "\n";
}

std::string detectorEvents(const std::vector<uint8_t>& stream, const MotionSettings& settings, double fps = 25.0) {
    const vorctest::DetectedMotion detected = vorctest::detectMotion(stream, settings, fps);
    vorc::MotionDetector names(settings);
    std::string lines;
    for (const MotionEvent& event : detected.events) {
        const bool start = event.kind == MotionEvent::Kind::Start;
        const vorc::PixelRect box = vorc::pixelsOfTiles(event.box, 320, 240);
        char share[32], times[64];
        std::snprintf(share, sizeof share, "%.4f", event.peakShare);
        std::snprintf(times, sizeof times, start ? "%.3f" : "%.3f-%.3f", event.startTime, event.endTime);
        lines += eventLine(start ? "start" : "end", names.settings().zones[static_cast<size_t>(event.zone)].name,
                           std::to_string(event.startFrame) + (start ? "" : "-" + std::to_string(event.endFrame)), share,
                           std::to_string(box.x) + "," + std::to_string(box.y) + "," + std::to_string(box.width) + "x" +
                               std::to_string(box.height),
                           times, true);
    }
    return lines;
}

// The events of the tool's JSON Lines in the same form; its summary object
// in *summary.
std::string toolEvents(const std::string& json, bool withTimes, std::string* summary = nullptr) {
    const auto field = [](const std::string& line, const std::string& key) {
        std::smatch match;
        const std::regex pattern("\"" + key + "\":(\"[^\"]*\"|[-0-9.]+|\\{[^}]*\\})");
        return std::regex_search(line, match, pattern) ? match[1].str() : std::string("?");
    };
    const auto unquoted = [](std::string text) { return text.size() >= 2 ? text.substr(1, text.size() - 2) : text; };
    std::istringstream in(json);
    std::string lines;
    for (std::string line; std::getline(in, line);) {
        const std::string type = unquoted(field(line, "type"));
        if (type == "summary") {
            if (summary != nullptr) *summary = line;
            continue;
        }
        const std::string box = field(line, "box");
        std::smatch numbers;
        std::regex_search(box, numbers, std::regex("\"x\":(\\d+),\"y\":(\\d+),\"width\":(\\d+),\"height\":(\\d+)"));
        const std::string boxText = numbers.size() == 5 ? numbers[1].str() + "," + numbers[2].str() + "," + numbers[3].str() +
                                                              "x" + numbers[4].str()
                                                        : box;
        const bool start = type == "start";
        lines += eventLine(type, unquoted(field(line, "zone")),
                           start ? field(line, "frame") : field(line, "start_frame") + "-" + field(line, "end_frame"),
                           field(line, start ? "share" : "peak_share"), boxText,
                           start ? field(line, "time") : field(line, "start_time") + "-" + field(line, "end_time"), withTimes);
    }
    return lines;
}

ZoneArea excluded(ZoneArea area) {
    area.exclude = true;
    return area;
}

class MotionTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() { directory_ = new vorctest::TempDir; }
    static void TearDownTestSuite() {
        delete directory_;
        streams_.clear();
    }

    // A scene's stream, made at the first use, and its file.
    static const std::vector<uint8_t>& stream(const std::string& name) {
        auto found = streams_.find(name);
        if (found != streams_.end()) return found->second;
        const std::vector<uint8_t>& made = streams_[name] = vorctest::encodeMotionScene(vorctest::testScene(name));
        std::ofstream(at(name + ".tesra"), std::ios::binary)
            .write(reinterpret_cast<const char*>(made.data()), static_cast<std::streamsize>(made.size()));
        return made;
    }
    static std::string scene(const std::string& name) {
        stream(name);
        return at(name + ".tesra");
    }

    static std::string at(const std::string& name) { return (*directory_)[name]; }

    int run(const std::string& arguments) {
        const int code = vorctest::runVorc(arguments + " >" + at("out") + " 2>" + at("err"));
        out_ = vorctest::readFile(at("out"));
        err_ = vorctest::readFile(at("err"));
        return code;
    }

    static vorctest::TempDir* directory_;
    static std::map<std::string, std::vector<uint8_t>> streams_;
    std::string out_, err_;
};

vorctest::TempDir* MotionTool::directory_ = nullptr;
std::map<std::string, std::vector<uint8_t>> MotionTool::streams_;

}  // namespace

// Every option reaches the detector as the setting it names: the tool's
// events equal the detector's with that setting, and each case has events
// that the defaults would not give, or lacks some they would.
TEST_F(MotionTool, EachOptionIsTheDetectorsSetting) {
    struct Case {
        std::string scene;
        std::string options;
        std::function<void(MotionSettings&)> settings;
        double fps = 25.0;
    };
    const ZoneArea right = ZoneArea::pixels(160, 0, 160, 240), left = ZoneArea::pixels(0, 0, 160, 240);
    const std::vector<Case> cases = {
        {"objects", "", [](MotionSettings&) {}},
        {"objects", "--zone right=160,0,160x240", [&](MotionSettings& s) { s.zones = {{"right", {right}}}; }},
        {"objects", "--zone -0,0,160x240", [&](MotionSettings& s) { s.zones = {{"all", {excluded(left)}}}; }},
        {"objects", "--zone a=160,0,160x240 --zone a=-176,32,128x176 --zone 0,0,160x240 --zone -0,0,16x16",
         [&](MotionSettings& s) {
             const ZoneArea corner = excluded(ZoneArea::pixels(0, 0, 16, 16));
             s.zones = {{"a", {right, excluded(ZoneArea::pixels(176, 32, 128, 176)), corner}}, {"2", {left, corner}}};
         }},
        {"objects", "--zone right=160,0,160x240 --min-share 10%", [&](MotionSettings& s) {
             s.zones = {{"right", {right}}};
             s.minShare = 0.1;
         }},
        {"objects", "--min-share 0.045", [](MotionSettings& s) { s.minShare = 0.045; }},
        {"noise", "--min-tiles 1", [](MotionSettings& s) { s.minTiles = 1; }},
        {"noise", "--min-tiles 2 --connectivity 4", [](MotionSettings& s) {
             s.minTiles = 2;
             s.connectivity = vorc::Connectivity::Four;
         }},
        {"light", "--start-frames 1", [](MotionSettings& s) { s.startFrames = 1; }},
        {"pause", "--end-frames 20", [](MotionSettings& s) { s.endFrames = 20; }},
        {"objects", "--fps 10", [](MotionSettings&) {}, 10.0},
    };
    for (const Case& c : cases) {
        MotionSettings settings;
        c.settings(settings);
        const std::string expected = detectorEvents(stream(c.scene), settings, c.fps);
        ASSERT_EQ(run("motion --json " + c.options + " " + scene(c.scene)), 0) << c.options << ": " << err_;
        EXPECT_EQ(toolEvents(out_, true), expected) << c.options;
        if (c.options.empty()) continue;
        EXPECT_NE(expected, detectorEvents(stream(c.scene), MotionSettings())) << c.options << " changes nothing";
    }
    // Four and Eight differ on the noise at a minimum of 2 tiles, so the case
    // above shows that --connectivity is taken.
    ASSERT_EQ(run("motion --json --min-tiles 2 " + scene("noise")), 0);
    EXPECT_NE(toolEvents(out_, true), detectorEvents(stream("noise"), [] {
                  MotionSettings s;
                  s.minTiles = 2;
                  s.connectivity = vorc::Connectivity::Four;
                  return s;
              }()));
}

// The text lines say what the JSON says; standard input gives what the
// file gives; the summary counts frames, full frames and events and gives
// the speed; --quiet leaves only the events.
TEST_F(MotionTool, TextJsonStandardInputAndSummaryAgree) {
    ASSERT_EQ(run("motion --json --zone right=160,0,160x240 " + scene("objects")), 0) << err_;
    const std::string json = out_;
    std::string summary;
    EXPECT_EQ(toolEvents(json, true, &summary), toolEvents(json, true));
    EXPECT_EQ(summary, "{\"type\":\"summary\",\"frames\":90,\"measured_frames\":86,\"full_frames\":4,"
                       "\"damaged_frames\":0,\"events\":1,\"width\":320,\"height\":240}");
    EXPECT_TRUE(std::regex_search(err_, std::regex("^vorc motion: 90 frames \\(4 full, skipped\\), 1 event; [0-9.]+ s of "
                                                   "processor time: [0-9]+ frames/s, [0-9]+ cameras of 320x240 at 25 "
                                                   "frames/s per core\n$")))
        << err_;
    ASSERT_EQ(run("motion --quiet --json --zone right=160,0,160x240 - < " + scene("objects")), 0);
    EXPECT_EQ(out_, json);
    EXPECT_EQ(err_, "");

    ASSERT_EQ(run("motion --zone right=160,0,160x240 " + scene("objects")), 0);
    const std::regex startLine("start: zone (\\S+), frame (\\d+), time ([0-9.]+) s, share ([0-9.]+)%, box (\\S+)\n");
    const std::regex endLine(
        "end: zone (\\S+), frames (\\d+)-(\\d+), time ([0-9.]+)-([0-9.]+) s, peak share ([0-9.]+)%, box (\\S+)\n");
    std::smatch start, end;
    ASSERT_TRUE(std::regex_search(out_, start, startLine)) << out_;
    ASSERT_TRUE(std::regex_search(out_, end, endLine)) << out_;
    const std::string fromText = eventLine("start", start[1], start[2], "", start[5], start[3], true) +
                                 eventLine("end", end[1], end[2].str() + "-" + end[3].str(), "", end[7],
                                           end[4].str() + "-" + end[5].str(), true);
    const std::string fromJson = std::regex_replace(toolEvents(json, true), std::regex(" 0\\.[0-9]{4} "), "  ");
    EXPECT_EQ(fromText, fromJson);
    // A zone's name is a JSON string whatever it holds.
    ASSERT_EQ(run("motion --json --zone 'a\"b\\c=160,0,160x240' " + scene("objects")), 0) << err_;
    EXPECT_NE(out_.find("\"zone\":\"a\\\"b\\\\c\","), std::string::npos) << out_;
}

// A camera serving the stream once: the same events at the same frames
// (their times are the clock's).
TEST_F(MotionTool, ACameraGivesTheEventsOfItsStream) {
    vorctest::Vorc camera(at("camera.err"), {"camera", "--listen", "127.0.0.1:0", "--loops", "1", scene("objects")});
    const int port = camera.port();
    ASSERT_GT(port, 0) << camera.errors();
    ASSERT_EQ(run("motion --json --zone right=160,0,160x240 127.0.0.1:" + std::to_string(port)), 0) << err_;
    std::string summary;
    const std::string fromCamera = toolEvents(out_, false, &summary);
    ASSERT_EQ(run("motion --json --zone right=160,0,160x240 " + scene("objects")), 0);
    EXPECT_EQ(fromCamera, toolEvents(out_, false));
    EXPECT_NE(fromCamera, "");
    EXPECT_NE(summary.find("\"frames\":90,"), std::string::npos) << summary;
}

// The heat map lies over the last picture, which only the frames from the
// last full frame on were decoded for: where no tile counted, it is that
// picture (as `vorc snapshot` decodes it from the first frame) dimmed to
// three fifths; the hottest tile is red. Standard input gives the same file.
TEST_F(MotionTool, HeatMapLiesOverTheLastPicture) {
    ASSERT_EQ(run("motion --quiet --heatmap " + at("heat.png") + " " + scene("objects")), 0) << err_;
    ASSERT_EQ(run("snapshot --quiet -o " + at("last.png") + " " + scene("objects")), 0) << err_;
    const vorctest::RgbPicture heatPicture = readPng(at("heat.png")), last = readPng(at("last.png"));
    ASSERT_EQ(heatPicture.width, 320);
    ASSERT_EQ(heatPicture.height, 240);
    ASSERT_EQ(last.pixels.size(), heatPicture.pixels.size());
    const vorc::HeatMap heat = vorctest::detectMotion(stream("objects"), MotionSettings()).heat;
    const size_t hottest = static_cast<size_t>(std::max_element(heat.counts.begin(), heat.counts.end()) - heat.counts.begin());
    int plain = 0, tinted = 0;
    for (size_t tile = 0; tile < heat.counts.size(); ++tile) {
        bool dimmed = true;
        const int x0 = static_cast<int>(tile % 20) * 16, y0 = static_cast<int>(tile / 20) * 16;
        for (int y = y0; y < y0 + 16; ++y)
            for (int x = x0; x < x0 + 16; ++x)
                for (int c = 0; c < 3; ++c) dimmed &= heatPicture.at(x, y)[c] == last.at(x, y)[c] * 3 / 5;
        EXPECT_EQ(dimmed, heat.counts[tile] == 0) << "tile " << tile % 20 << "," << tile / 20;
        (dimmed ? plain : tinted) += 1;
        if (tile == hottest) {
            const uint8_t* centre = heatPicture.at(x0 + 8, y0 + 8);
            EXPECT_GT(centre[0], 180);
            EXPECT_LT(centre[2], 60);
        }
    }
    EXPECT_GT(plain, 150);
    EXPECT_GT(tinted, 30);
    ASSERT_EQ(run("motion --quiet --heatmap " + at("heat2.png") + " - < " + scene("objects")), 0) << err_;
    EXPECT_EQ(vorctest::readFile(at("heat2.png")), vorctest::readFile(at("heat.png")));
}

// However the stream arrives and whether or not the kept bytes outgrow the
// limit (and decoding starts early), the last picture is the snapshot's.
TEST_F(MotionTool, LastPictureKeeperDecodesFromTheLastFullFrame) {
    ASSERT_EQ(run("snapshot --quiet -o " + at("last.png") + " " + scene("objects")), 0) << err_;
    const vorctest::RgbPicture expected = readPng(at("last.png"));
    const std::vector<uint8_t>& bytes = stream("objects");
    // The full frames' offsets, from the tool's own frame report.
    ASSERT_EQ(run("info --json --parse-only " + scene("objects")), 0);
    std::vector<uint64_t> fullFrames;
    const std::regex fullFrame("\"offset\":(\\d+),[^\n]*\"full\":true");
    for (std::sregex_iterator match(out_.begin(), out_.end(), fullFrame), end; match != end; ++match)
        fullFrames.push_back(std::stoull((*match)[1]));
    ASSERT_EQ(fullFrames.size(), 4u);
    vorcDevNullStatusMessageHandler silent;
    const vorc::StatusMessageScope quiet(&silent);
    // The default limit, and two that the first group of frames outgrows.
    for (const size_t limit : {LastPictureKeeper::DefaultRetainedBytesLimit, size_t{1}, fullFrames[1] / 2}) {
        for (const size_t piece : {size_t{977}, size_t{65536}}) {
            LastPictureKeeper keeper(limit);
            size_t nextFull = 0;
            for (size_t offset = 0; offset < bytes.size(); offset += piece) {
                keeper.input(bytes.data() + offset, std::min(piece, bytes.size() - offset));
                // Never before the frame has begun to arrive.
                while (nextFull < fullFrames.size() && fullFrames[nextFull] < offset + piece)
                    keeper.fullFrameAt(fullFrames[nextFull++]);
            }
            // Only the bytes from the last full frame on, or none once decoding began.
            const bool decoding = limit != LastPictureKeeper::DefaultRetainedBytesLimit;
            EXPECT_EQ(keeper.retainedBytes(), decoding ? 0 : bytes.size() - fullFrames.back()) << limit;
            int width = 0, height = 0;
            std::vector<unsigned char> rgb;
            ASSERT_TRUE(keeper.decode(&width, &height, &rgb)) << limit << " " << piece;
            EXPECT_EQ(width, 320);
            EXPECT_EQ(height, 240);
            EXPECT_TRUE(rgb == expected.pixels) << "limit " << limit << ", pieces of " << piece;
        }
    }
    LastPictureKeeper empty;
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    EXPECT_FALSE(empty.decode(&width, &height, &rgb));
}

TEST_F(MotionTool, UsageErrorsAndFailures) {
    const std::vector<std::pair<std::string, std::string>> usage = {
        {"motion", "missing SOURCE"},
        {"motion " + scene("noise") + " " + scene("noise"), "more than one SOURCE"},
        {"motion no-such-file", "'no-such-file' is neither a stream file nor a camera's HOST:PORT"},
        {"motion --zone 1,2,3 " + scene("noise"), "--zone wants [NAME=][-]X,Y,WxH in pixels, not '1,2,3'"},
        {"motion --zone =1,2,3x4 " + scene("noise"), "--zone wants"},
        {"motion --zone 1,2,0x4 " + scene("noise"), "--zone wants"},
        {"motion --zone -1,-2,3x4 " + scene("noise"), "--zone wants"},
        {"motion --min-share 1.5 " + scene("noise"), "--min-share needs a share from 0 to 1"},
        {"motion --min-share 101% " + scene("noise"), "--min-share needs"},
        {"motion --min-tiles 0 " + scene("noise"), "--min-tiles needs a number of at least 1"},
        {"motion --start-frames x " + scene("noise"), "--start-frames needs"},
        {"motion --end-frames 0 " + scene("noise"), "--end-frames needs"},
        {"motion --connectivity 6 " + scene("noise"), "--connectivity needs 4 or 8"},
        {"motion --fps 0 " + scene("noise"), "--fps needs a number above 0"},
        {"motion --heatmap - " + scene("noise"), "--heatmap needs a file name"},
        {"motion --heatmap " + at("no/dir/h.png") + " " + scene("noise"), "cannot create"},
        {"motion --heatmap " + at("gone.png") + " " + at("missing.tesra"), "'" + at("missing.tesra") + "' is neither"},
    };
    for (const auto& [arguments, message] : usage) {
        EXPECT_EQ(run(arguments), 2) << arguments;
        EXPECT_NE(err_.find("vorc motion: " + message), std::string::npos) << arguments << ": " << err_;
    }
    EXPECT_FALSE(std::filesystem::exists(at("gone.png")));
    // No frame, no picture: the heat map fails and leaves no file.
    std::ofstream(at("empty.tesra")).put('x');
    EXPECT_EQ(run("motion --heatmap " + at("h.png") + " " + at("empty.tesra")), 1);
    EXPECT_NE(err_.find("vorc motion: no picture for the heat map"), std::string::npos) << err_;
    EXPECT_FALSE(std::filesystem::exists(at("h.png")));
    // A pipe is no file of its own to remove. The reader gives up after a while, so a vorc that
    // never opens the pipe fails the test instead of hanging it.
    const std::string fifo = at("heat.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run("motion --heatmap " + fifo + " " + at("empty.tesra") + " 2>/dev/null & timeout 30 cat " + fifo +
                  " >/dev/null; wait $!"),
              1);
    EXPECT_TRUE(std::filesystem::is_fifo(fifo)) << "the pipe is still there";
    // A camera that is not there.
    EXPECT_EQ(run("motion 127.0.0.1:1"), 1);
    EXPECT_NE(err_.find("vorc motion: cannot get a stream from 127.0.0.1:1"), std::string::npos) << err_;
}

// A damaged frame is skipped with --keep-going and counted; without it the
// stream ends the process as every command's does.
TEST_F(MotionTool, DamagedFramesAreSkipped) {
    std::vector<uint8_t> damaged = stream("objects");
    // A marker in the middle of the scan of a frame about half-way.
    const size_t middle = damaged.size() / 2;
    damaged[middle] = 0xFF;
    damaged[middle + 1] = 0xC4;
    std::ofstream(at("damaged.tesra"), std::ios::binary)
        .write(reinterpret_cast<const char*>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
    ASSERT_EQ(run("motion --json --keep-going " + at("damaged.tesra")), 0) << err_;
    std::string summary;
    toolEvents(out_, true, &summary);
    EXPECT_NE(summary.find("\"damaged_frames\":1,"), std::string::npos) << summary;
    EXPECT_NE(err_.find("damaged frames: 1"), std::string::npos) << err_;
    EXPECT_EQ(run("motion " + at("damaged.tesra")), 154);
}
