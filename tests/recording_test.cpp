// The recorder of `vorc record` on its own, with frames at times of the
// test's choosing: files are cut at the right frames and named by the time
// of their first frame, retention deletes the oldest files of the pattern
// and nothing else, Matroska files read back in mkvinfo and mkvextract with
// every frame, its time and a cue point per cluster, and --on-motion keeps
// exactly the frames of the events a detector finds in an encoder scene,
// with the pre- and post-roll around them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/matroska_info.h"
#include "support/motion_scene.h"
#include "tools/record/matroska_file.h"
#include "tools/record/recorder.h"
#include "tools/record/segmented_file.h"
#include "vorc/reader.h"

using namespace std::chrono_literals;
using vorctest::extractRaw;
using vorctest::MatroskaReport;
using vorctest::mkvinfo;
using vorctest::readFile;

namespace {

// 2023-11-14 22:13:20 UTC.
const WallClock::time_point Base = WallClock::from_time_t(1700000000);

// Names follow the local time; the tests read them in UTC.
class UtcTime : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    const vorctest::TempDir temp;
    const std::string dir = temp.path + "/";
};

// A stand-in image: "F" and four digits.
std::string tag(int frame) {
    char text[8];
    std::snprintf(text, sizeof text, "F%04d", frame);
    return text;
}

std::vector<int> tagsIn(const std::string& bytes) {
    std::vector<int> frames;
    for (size_t at = 0; at + 5 <= bytes.size(); at += 5) frames.push_back(std::stoi(bytes.substr(at + 1, 4)));
    return frames;
}

RecordedFrame frameAt(WallClock::duration after) { return RecordedFrame{Base + after, 320, 240}; }

void addTag(SegmentedFile& file, int frame, WallClock::duration after) {
    const std::string bytes = tag(frame);
    file.addImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), frameAt(after));
}

std::set<std::string> filesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

}  // namespace

using Segments = UtcTime;

// A file runs from its first frame until a frame comes 1 s or more after
// it; that frame begins the next file. A name taken already gets "_2".
TEST_F(Segments, CutAtTheFirstFrameOneLengthAfterTheFileBegan) {
    SegmentedFile file(dir + "rec/%H%M%S.jpegs", Container::BackToBackJpeg, SegmentRules{1000ms, 0s, 0});
    const std::vector<WallClock::duration> times = {0ms,    300ms,  600ms,  999ms,  1000ms, 1500ms, 1999ms,
                                                    2000ms, 2100ms, 3300ms, 3350ms, 3400ms, 4350ms};
    for (size_t i = 0; i < times.size(); ++i) addTag(file, static_cast<int>(i), times[i]);
    std::string failure;
    ASSERT_TRUE(file.close(&failure)) << failure;
    const std::map<std::string, std::vector<int>> expected = {
        {"221320.jpegs", {0, 1, 2, 3}},  {"221321.jpegs", {4, 5, 6}}, {"221322.jpegs", {7, 8}},
        {"221323.jpegs", {9, 10, 11}}, {"221324.jpegs", {12}}};
    std::map<std::string, std::vector<int>> found;
    for (const std::string& name : filesIn(dir + "rec")) found[name] = tagsIn(readFile(dir + "rec/" + name));
    EXPECT_EQ(found, expected);
    EXPECT_EQ(file.filesCreated().front(), dir + "rec/221320.jpegs");

    // A new picture size begins a new file, whose name is taken already.
    SegmentedFile sizes(dir + "size/%H%M%S.jpegs", Container::BackToBackJpeg, SegmentRules{10s, 0s, 0});
    const std::string image = tag(0);
    for (const int width : {320, 320, 640, 640, 320}) {
        const RecordedFrame frame{Base, width, 240};
        sizes.addImage(reinterpret_cast<const uint8_t*>(image.data()), image.size(), frame);
    }
    ASSERT_TRUE(sizes.close(&failure)) << failure;
    EXPECT_EQ(filesIn(dir + "size"), (std::set<std::string>{"221320.jpegs", "221320_2.jpegs", "221320_3.jpegs"}));
    EXPECT_EQ(readFile(dir + "size/221320_2.jpegs"), image + image);

    // Minutes only: the second file of the same minute is numbered.
    SegmentedFile minutes(dir + "min/%H%M.jpegs", Container::BackToBackJpeg, SegmentRules{10s, 0s, 0});
    for (int i = 0; i < 3; ++i) addTag(minutes, i, i * 10s);
    ASSERT_TRUE(minutes.close(&failure)) << failure;
    EXPECT_EQ(filesIn(dir + "min"), (std::set<std::string>{"2213.jpegs", "2213_2.jpegs", "2213_3.jpegs"}));
    EXPECT_EQ(readFile(dir + "min/2213_3.jpegs"), tag(2));

    // Without --segment one file takes every frame; cut() (a new motion
    // event) begins another.
    SegmentedFile whole(dir + "one/%H%M%S.jpegs", Container::BackToBackJpeg, SegmentRules{});
    for (int i = 0; i < 4; ++i) addTag(whole, i, i * 1h);
    whole.cut();
    addTag(whole, 4, 5h);
    ASSERT_TRUE(whole.close(&failure)) << failure;
    EXPECT_EQ(filesIn(dir + "one"), (std::set<std::string>{"221320.jpegs", "031320.jpegs"}));
    EXPECT_EQ(tagsIn(readFile(dir + "one/221320.jpegs")), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(Segments, PatternsAreCheckedAndAFixedNameIsCreatedAtOnce) {
    EXPECT_TRUE(hasTimeConversion("rec/%Y%m%d.mkv"));
    EXPECT_FALSE(hasTimeConversion("rec/100%%.mkv"));
    EXPECT_FALSE(hasTimeConversion("rec/plain.mkv"));
    EXPECT_NE(patternProblem("rec/%Y/%H%M%S.mkv"), "");
    EXPECT_EQ(patternProblem("rec/%Y-%H%M%S.mkv"), "");
    EXPECT_THROW(SegmentedFile(dir + "%Y/x%S.mkv", Container::Matroska, SegmentRules{}), vorc::Error);
    // A name without a time is created before the first frame, so that one
    // that cannot be written is found at once; it is never cut.
    { SegmentedFile fixed(dir + "fixed.jpegs", Container::BackToBackJpeg, SegmentRules{1000ms, 0s, 0}); }
    EXPECT_TRUE(std::filesystem::exists(dir + "fixed.jpegs"));
    EXPECT_THROW(SegmentedFile(dir + "fixed.jpegs/x.jpegs", Container::BackToBackJpeg, SegmentRules{}), vorc::Error);
    SegmentedFile fixed(dir + "fixed.jpegs", Container::BackToBackJpeg, SegmentRules{1000ms, 0s, 0});
    for (int i = 0; i < 3; ++i) addTag(fixed, i, i * 2s);
    std::string failure;
    ASSERT_TRUE(fixed.close(&failure)) << failure;
    EXPECT_EQ(tagsIn(readFile(dir + "fixed.jpegs")), (std::vector<int>{0, 1, 2}));
}

// Files of the pattern older than --keep go, then the oldest while the
// pattern's files hold more than --max-bytes (the file being written
// counts, but stays). Other files in the folder are never touched.
TEST_F(Segments, RetentionDeletesTheOldestFilesOfThePatternOnly) {
    const std::string rec = dir + "rec/";
    std::filesystem::create_directories(rec);
    const auto place = [&](const std::string& name, size_t size, WallClock::duration age) {
        const std::string path = rec + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(std::string(size, 'x').data(), 1, size, file);
        std::fclose(file);
        const auto when = WallClock::to_time_t(WallClock::now() - age);
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    place("cam-20231101-000000.jpegs", 100, 40 * 24h);
    place("cam-20231102-000000.jpegs", 100, 30 * 24h);
    place("cam-20231110-000000_2.jpegs", 100, 5 * 24h);
    place("cam-20231111-000000.jpegs", 100, 4 * 24h);
    place("cam-20231112-000000.jpegs", 100, 3 * 24h);
    place("other-20231101.jpegs", 100, 50 * 24h);  // not of the pattern
    place("cam-20231101-000000.mkv", 100, 50 * 24h);  // another extension
    place("cam-notes.txt", 100, 50 * 24h);
    const std::set<std::string> strangers = {"other-20231101.jpegs", "cam-20231101-000000.mkv", "cam-notes.txt"};

    // The frames are dated now, as a live recording's are.
    const WallClock::duration now = WallClock::now() - Base;
    {
        SegmentedFile file(rec + "cam-%Y%m%d-%H%M%S.jpegs", Container::BackToBackJpeg, SegmentRules{0ms, 7 * 24h, 0});
        addTag(file, 0, now);
        std::string failure;
        ASSERT_TRUE(file.close(&failure)) << failure;
    }
    std::set<std::string> kept = strangers;
    kept.insert({"cam-20231110-000000_2.jpegs", "cam-20231111-000000.jpegs", "cam-20231112-000000.jpegs"});
    std::set<std::string> found = filesIn(rec);
    // The new file is the pattern's sixth.
    std::set<std::string> newOnes;
    for (const std::string& name : found)
        if (kept.count(name) == 0) newOnes.insert(name);
    ASSERT_EQ(newOnes.size(), 1u) << ::testing::PrintToString(found);
    const std::string first = *newOnes.begin();
    EXPECT_TRUE(std::regex_match(first, std::regex("cam-[0-9]{8}-[0-9]{6}\\.jpegs"))) << first;
    EXPECT_EQ(readFile(rec + first), tag(0));

    // 150 bytes: of the files of 100, 100, 100 and 5 bytes and the new one
    // of 5 the two oldest go; the new one counts.
    {
        SegmentedFile file(rec + "cam-%Y%m%d-%H%M%S.jpegs", Container::BackToBackJpeg, SegmentRules{0ms, 0s, 150});
        addTag(file, 1, now + 1h);
        std::string failure;
        ASSERT_TRUE(file.close(&failure)) << failure;
    }
    found = filesIn(rec);
    for (const std::string& name : strangers) EXPECT_EQ(found.count(name), 1u) << name;
    EXPECT_EQ(found.count("cam-20231110-000000_2.jpegs"), 0u);
    EXPECT_EQ(found.count("cam-20231111-000000.jpegs"), 0u);
    EXPECT_EQ(found.count("cam-20231112-000000.jpegs"), 1u);
    EXPECT_EQ(found.count(first), 1u);
    EXPECT_EQ(found.size(), strangers.size() + 3);
}

using Matroska = UtcTime;

// Each image is one block dated by its receive time in milliseconds after
// the whole second before the first frame; a cluster holds a second at
// most, and each has a cue point at its position. A clock that goes back
// does not take the time stamps back.
TEST_F(Matroska, EveryFrameWithItsTimeAndACuePointPerCluster) {
    std::vector<std::string> images;
    std::vector<WallClock::duration> times;
    for (int i = 0; i < 30; ++i) {
        images.push_back(std::string(100 + 37 * i, static_cast<char>('a' + i % 26)) + tag(i));
        times.push_back(250ms + i * 100ms);
    }
    times[20] = times[19] - 50ms;  // the clock was set back
    {
        MatroskaFile file(dir + "a.mkv");
        for (size_t i = 0; i < images.size(); ++i)
            file.addImage(reinterpret_cast<const uint8_t*>(images[i].data()), images[i].size(), frameAt(times[i]));
        ASSERT_TRUE(file.close());
    }
    const MatroskaReport report = mkvinfo(dir + "a.mkv");
    ASSERT_EQ(report.status, 0) << report.text;
    EXPECT_EQ(report.text.find("rror"), std::string::npos) << report.text;
    EXPECT_NE(report.text.find("Codec ID: V_MJPEG"), std::string::npos);
    EXPECT_NE(report.text.find("Pixel width: 320"), std::string::npos);
    EXPECT_NE(report.text.find("Pixel height: 240"), std::string::npos);
    EXPECT_EQ(report.date, "2023-11-14 22:13:20 UTC");
    ASSERT_EQ(report.blocks.size(), images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const long millis = i == 20 ? 2150 : 250 + 100 * static_cast<long>(i);
        char expected[48];
        std::snprintf(expected, sizeof expected, "00:00:%02ld.%03ld000000", millis / 1000, millis % 1000);
        EXPECT_EQ(report.blocks[i], expected) << "frame " << i;
        EXPECT_EQ(report.frameSizes[i], images[i].size()) << "frame " << i;
    }
    // The last frame lasts as long as the one before it.
    EXPECT_EQ(report.duration, "00:00:03.250000000");
    // Clusters begin at 0.25 and 1.25 s, and at 2.35 s: the frame set back
    // to 2.15 s stays in the second.
    ASSERT_EQ(report.clusters.size(), 3u) << report.text;
    vorctest::expectSeekable(report, dir + "a.mkv");
    EXPECT_EQ(report.cueTimes, (std::vector<std::string>{"00:00:00.250000000", "00:00:01.250000000",
                                                         "00:00:02.350000000"}));
    std::string all;
    for (const std::string& image : images) all += image;
    EXPECT_EQ(extractRaw(dir + "a.mkv", dir + "a.raw"), all);
}

// A recording cut off by a crash (no closing: no Cues, no sizes) still
// reads back with every cluster written before it: the segment's size says
// "unknown", which readers take as "to the end of the file".
TEST_F(Matroska, AFileCutOffByACrashHoldsItsWrittenClusters) {
    const std::string path = dir + "cut.mkv";
    std::string written;  // the first two clusters, of one second each
    for (int i = 0; i < 20; ++i) written += std::string(200, 'j') + tag(i);
    EXPECT_EXIT(
        {
            MatroskaFile file(path);
            for (int i = 0; i < 25; ++i) {
                const std::string image = std::string(200, 'j') + tag(i);
                file.addImage(reinterpret_cast<const uint8_t*>(image.data()), image.size(), frameAt(i * 100ms));
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const MatroskaReport report = mkvinfo(path);
    ASSERT_EQ(report.status, 0) << report.text;
    EXPECT_EQ(report.blocks.size(), 20u) << report.text;
    EXPECT_EQ(extractRaw(path, dir + "cut.raw"), written);
}

TEST_F(Matroska, AFileThatCannotBeCreatedOrWrittenIsAnError) {
    EXPECT_THROW(MatroskaFile(dir + "missing/a.mkv"), vorc::Error);
    EXPECT_THROW(openRecordingOutput("-", Container::Matroska), vorc::Error);
    // A full disk: the writes fail and closing says so.
    if (std::filesystem::exists("/dev/full")) {
        MatroskaFile full("/dev/full");
        const std::string image(5000, 'x');
        full.addImage(reinterpret_cast<const uint8_t*>(image.data()), image.size(), frameAt(0ms));
        EXPECT_FALSE(full.close());
    }
}

namespace {

struct SceneFrame {
    vorc::JPEGFrame frame;
    double time = 0.0;  // seconds after Base
};

std::vector<SceneFrame> sceneFrames(const std::string& name, double fps) {
    const std::vector<uint8_t> stream = vorctest::encodeMotionScene(vorctest::testScene(name));
    vorc::ReaderOptions options;
    options.fileFps = fps;
    vorc::Reader reader = vorc::Reader::openMemory(stream.data(), stream.size(), options);
    std::vector<SceneFrame> frames;
    while (auto frame = reader.nextJPEG()) frames.push_back(SceneFrame{*frame, frame->timestamp});
    return frames;
}

// Feeds a recorder with the scene's frames, each image replaced by the
// frame's tag.
void feedScene(Recorder& recorder, const std::vector<SceneFrame>& frames) {
    for (const SceneFrame& scene : frames) {
        const std::string image = tag(static_cast<int>(scene.frame.index));
        recorder.addFrame(reinterpret_cast<const uint8_t*>(image.data()), image.size(), scene.frame,
                          scene.frame.tileBitmap.empty() ? nullptr : scene.frame.tileBitmap.data(),
                          Base + std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(scene.time)));
    }
}

// The frames of each file a recorder fed with the scene wrote, by name.
std::map<std::string, std::vector<int>> recordOnMotion(const std::vector<SceneFrame>& frames,
                                                       RecorderSettings settings) {
    Recorder recorder(settings);
    feedScene(recorder, frames);
    std::string failure;
    EXPECT_TRUE(recorder.finish(&failure)) << failure;
    std::map<std::string, std::vector<int>> files;
    const std::string folder = std::filesystem::path(settings.files.at(0).pattern).parent_path().string();
    for (const std::string& name : filesIn(folder)) files[name] = tagsIn(readFile(folder + "/" + name));
    return files;
}

}  // namespace

using OnMotion = UtcTime;

// Two objects cross the picture one after the other: one file per event,
// holding exactly the frames from --pre seconds before its first moving
// frame to --post seconds after its last, as found by a detector reading
// the whole stream at once.
TEST_F(OnMotion, KeepsExactlyTheEventsFramesWithThePreAndPostRoll) {
    constexpr double Fps = 25.0;
    const std::vector<SceneFrame> frames = sceneFrames("objects", Fps);
    const vorctest::DetectedMotion detected =
        vorctest::detectMotion(vorctest::encodeMotionScene(vorctest::testScene("objects")), vorc::MotionSettings(), Fps);
    std::vector<vorc::MotionEvent> events;
    for (const vorc::MotionEvent& event : detected.events)
        if (event.kind == vorc::MotionEvent::Kind::End) events.push_back(event);
    ASSERT_EQ(events.size(), 2u);
    // The scene's truth: the first object is there from frame 15 to 39.
    EXPECT_NEAR(static_cast<double>(events[0].startFrame), vorctest::SceneObjectFrom, 3);
    EXPECT_NEAR(static_cast<double>(events[0].endFrame), vorctest::SceneObjectUntil - 1, 3);

    // Between frames, so that no frame lies on an edge: 5 frames before,
    // 7 after, and the case without either.
    for (const auto& [pre, post, preFrames, postFrames] :
         std::vector<std::tuple<double, double, int, int>>{{0.22, 0.3, 5, 7}, {0.0, 0.0, 0, 0}, {0.5, 2.02, 12, 50}}) {
        RecorderSettings settings;
        const std::string folder = dir + "pre" + std::to_string(preFrames) + "/";
        settings.files.push_back(RecordingTarget{folder + "%H%M%S.jpegs", Container::BackToBackJpeg});
        settings.onMotion = true;
        settings.preSeconds = pre;
        settings.postSeconds = post;
        const auto files = recordOnMotion(frames, settings);
        std::vector<std::vector<int>> expected;
        for (const vorc::MotionEvent& event : events) {
            std::vector<int> run;
            const int from = std::max<int>(1, static_cast<int>(event.startFrame) - preFrames);
            const int to = std::min<int>(static_cast<int>(frames.size()), static_cast<int>(event.endFrame) + postFrames);
            if (!expected.empty() && from <= expected.back().back() + 1) {
                // The spans meet: one run, one file.
                for (int i = expected.back().back() + 1; i <= to; ++i) expected.back().push_back(i);
                continue;
            }
            for (int i = from; i <= to; ++i) run.push_back(i);
            expected.push_back(run);
        }
        std::vector<std::vector<int>> found;
        for (const auto& [name, tags] : files) found.push_back(tags);
        EXPECT_EQ(found, expected) << "pre " << pre << ", post " << post;
    }

    // Only noise: no event, no file.
    RecorderSettings settings;
    settings.files.push_back(RecordingTarget{dir + "noise/%H%M%S.jpegs", Container::BackToBackJpeg});
    settings.onMotion = true;
    EXPECT_TRUE(recordOnMotion(sceneFrames("noise", Fps), settings).empty());
}

// Zones that overlap, each with its own events: a frame is kept when the
// span of any zone's event covers it, from --pre seconds before the
// event's first moving frame to --post seconds after its last, and each
// run of kept frames is one file. The object's pause of 15 frames ends its
// events after 4 still frames, but not after 20: then the still frames
// must wait for the motion to resume.
TEST_F(OnMotion, KeepsWhatTheEventsOfEveryZoneCover) {
    constexpr double Fps = 25.0;
    const std::vector<SceneFrame> frames = sceneFrames("pause", Fps);
    vorc::MotionSettings motion;
    // The whole picture, its left and right halves.
    motion.zones = {vorc::Zone{"all", {}}, vorc::Zone{"left", {vorc::ZoneArea::pixels(0, 0, 160, 240)}},
                    vorc::Zone{"right", {vorc::ZoneArea::pixels(160, 0, 160, 240)}}};
    for (const auto& [endFrames, pre, post] : std::vector<std::tuple<int, double, double>>{
             {4, 0.1, 0.05}, {4, 0.3, 0.0}, {4, 0.0, 0.5}, {20, 0.1, 0.05}, {20, 0.0, 0.0}}) {
        motion.endFrames = endFrames;
        const vorctest::DetectedMotion detected =
            vorctest::detectMotion(vorctest::encodeMotionScene(vorctest::testScene("pause")), motion, Fps);
        std::set<int> zonesWithEvents;
        for (const vorc::MotionEvent& event : detected.events) zonesWithEvents.insert(event.zone);
        ASSERT_GE(zonesWithEvents.size(), 2u);
        std::vector<std::vector<int>> expected;
        bool dropped = true;
        for (const SceneFrame& scene : frames) {
            bool covered = false;
            for (const vorc::MotionEvent& event : detected.events)
                covered = covered || (event.kind == vorc::MotionEvent::Kind::End &&
                                      scene.time >= frames.at(static_cast<size_t>(event.startFrame - 1)).time - pre &&
                                      scene.time <= frames.at(static_cast<size_t>(event.endFrame - 1)).time + post);
            if (!covered) {
                dropped = true;
                continue;
            }
            if (dropped) expected.emplace_back();
            expected.back().push_back(static_cast<int>(scene.frame.index));
            dropped = false;
        }
        RecorderSettings settings;
        settings.files.push_back(RecordingTarget{dir + "zones" + std::to_string(endFrames) + std::to_string(pre) +
                                                     std::to_string(post) + "/%H%M%S.jpegs",
                                                 Container::BackToBackJpeg});
        settings.onMotion = true;
        settings.preSeconds = pre;
        settings.postSeconds = post;
        settings.motion = motion;
        std::vector<std::vector<int>> found;
        for (const auto& [name, tags] : recordOnMotion(frames, settings)) found.push_back(tags);
        EXPECT_EQ(found, expected) << "end frames " << endFrames << ", pre " << pre << ", post " << post;
    }
}

// The gate on its own, with what a detector says of two zones made up frame
// by frame, one frame a second: zone 0 moves at 0 and 1 and stays still,
// its event open; zone 1 moves at 4 and 5; the stream ends there. Frames 2
// and 3 wait for zone 0's event, which could move again, and are then
// decided by the events' spans: 3 is in zone 1's pre-roll, 2 in neither.
TEST(MotionGate, FramesWaitingForOneZoneAreKeptByAnotherZonesSpan) {
    constexpr double Pre = 1.5;
    constexpr double Post = 0.5;
    MotionGate gate(Pre, Post, 1000);
    std::deque<GatedFrame<int>> held;
    std::vector<GatedFrame<int>> kept;
    const auto event = [](vorc::MotionEvent::Kind kind, int zone, int from, int to) {
        vorc::MotionEvent made;
        made.kind = kind;
        made.zone = zone;
        made.startFrame = from;
        made.startTime = from;
        made.endFrame = to;
        made.endTime = to;
        return made;
    };
    using Kind = vorc::MotionEvent::Kind;
    for (int t = 0; t <= 5; ++t) {
        vorc::MotionFrame motion;
        motion.index = t;
        motion.time = t;
        motion.zones.resize(2);
        motion.zones[0].moving = t <= 1;
        motion.zones[1].moving = t >= 4;
        if (t == 1) motion.events.push_back(event(Kind::Start, 0, 0, 1));
        if (t == 5) motion.events.push_back(event(Kind::Start, 1, 4, 5));
        GatedFrame<int> frame;
        frame.time = t;
        frame.bytes = 1;
        frame.payload = t;
        gate.add(std::move(frame), motion, &held, &kept);
    }
    gate.finish({event(Kind::End, 0, 0, 1), event(Kind::End, 1, 4, 5)}, &held, &kept);
    EXPECT_TRUE(held.empty());
    std::vector<std::pair<int, bool>> found;  // frame, after a gap
    for (const GatedFrame<int>& frame : kept) found.emplace_back(frame.payload, frame.afterGap);
    EXPECT_EQ(found, (std::vector<std::pair<int, bool>>{{0, false}, {1, false}, {3, true}, {4, false}, {5, false}}));
}

// The ring is bounded: frames that wait beyond the bound are dropped, the
// oldest first, and counted; what is written stays in order and is a part
// of what an unbounded ring keeps.
TEST_F(OnMotion, TheRingOfWaitingFramesIsBounded) {
    const std::vector<SceneFrame> frames = sceneFrames("objects", 25.0);
    std::vector<int> unbounded;
    for (const size_t bound : {size_t{256} << 20, size_t{5 * 3}}) {  // no bound, three tags
        RecorderSettings settings;
        const std::string path = dir + "ring" + std::to_string(bound) + ".jpegs";
        settings.files.push_back(RecordingTarget{path, Container::BackToBackJpeg});
        settings.onMotion = true;
        settings.preSeconds = 1.0;
        settings.postSeconds = 1.0;
        settings.maxHeldBytes = bound;
        Recorder recorder(settings);
        feedScene(recorder, frames);
        std::string failure;
        ASSERT_TRUE(recorder.finish(&failure)) << failure;
        const std::vector<int> written = tagsIn(readFile(path));
        EXPECT_EQ(recorder.framesWritten(), written.size());
        EXPECT_TRUE(std::is_sorted(written.begin(), written.end()));
        if (unbounded.empty()) {
            EXPECT_EQ(recorder.framesLostToBound(), 0u);
            unbounded = written;
            continue;
        }
        EXPECT_GT(recorder.framesLostToBound(), 0u);
        EXPECT_FALSE(written.empty());
        EXPECT_LT(written.size(), unbounded.size());
        EXPECT_TRUE(std::includes(unbounded.begin(), unbounded.end(), written.begin(), written.end()));
    }
}
