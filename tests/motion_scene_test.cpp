// Motion found in streams whose motion is known: scenes of the tests'
// motion scene (a still photograph-like picture with sensor noise, objects
// that appear and vanish at scripted frames, a step of the light) encoded
// by the stream encoder with its change threshold, walked by the parser
// into the detector. Each setting of the detector changes an outcome here
// or in the detector's own test.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "support/motion_scene.h"

using vorc::MotionEvent;
using vorc::MotionSettings;
using vorctest::MovingObject;

namespace {

constexpr int Width = 320;
constexpr int Height = 240;
constexpr int A = vorctest::SceneObjectFrom;
constexpr int B = vorctest::SceneObjectUntil;
const MovingObject& RightObject = vorctest::SceneObjectRight;
const MovingObject& LeftObject = vorctest::SceneObjectLeft;

// Streams are made once per scene.
const std::vector<uint8_t>& sceneStream(const std::string& name) {
    static std::map<std::string, std::vector<uint8_t>> streams;
    auto found = streams.find(name);
    return found != streams.end() ? found->second : streams[name] = vorctest::encodeMotionScene(vorctest::testScene(name));
}

std::vector<MotionEvent> endsOf(const std::vector<MotionEvent>& events) {
    std::vector<MotionEvent> ends;
    for (const MotionEvent& event : events)
        if (event.kind == MotionEvent::Kind::End) ends.push_back(event);
    return ends;
}

// The frame at which each event was recognised: its start, then its end.
std::vector<int64_t> recognisedAt(const vorctest::DetectedMotion& detected) {
    std::vector<int64_t> frames;
    for (const vorc::MotionFrame& frame : detected.frames)
        for (size_t event = 0; event < frame.events.size(); ++event) frames.push_back(frame.index);
    return frames;
}

vorc::Zone rightHalf() { return vorc::Zone{"right", {vorc::ZoneArea::pixels(Width / 2, 0, Width / 2, Height)}}; }

}  // namespace

// The noise changes tiles in every frame, scattered: at the default
// settings that is no motion; counted as motion (regions of one tile) it
// would be an event from start to end.
TEST(MotionScene, NoiseAloneMakesNoEventAtTheDefaults) {
    const auto detected = vorctest::detectMotion(sceneStream("noise"), MotionSettings());
    long changed = 0, framesWithChanges = 0;
    for (const vorc::MotionFrame& frame : detected.frames) {
        changed += frame.zones[0].changedTiles;
        framesWithChanges += frame.zones[0].changedTiles > 0;
        EXPECT_FALSE(frame.zones[0].moving) << "frame " << frame.index;
    }
    EXPECT_GT(framesWithChanges, 50);
    EXPECT_GT(changed, 150);
    EXPECT_TRUE(detected.events.empty());
    MotionSettings single;
    single.minTiles = 1;
    EXPECT_FALSE(vorctest::detectMotion(sceneStream("noise"), single).events.empty());
}

// Within the right half only the right object moves: one event, starting
// at A and ending at B, each recognised within the frames the settings
// ask for. The whole picture sees the left object as well, unless its half
// is excluded.
TEST(MotionScene, EventsFollowTheObjectInTheZoneOnly) {
    MotionSettings settings;
    settings.zones = {rightHalf()};
    const auto detected = vorctest::detectMotion(sceneStream("objects"), settings);
    ASSERT_EQ(detected.events.size(), 2u);
    const MotionEvent& start = detected.events[0];
    const MotionEvent& end = detected.events[1];
    const std::vector<int64_t> recognised = recognisedAt(detected);
    ASSERT_EQ(recognised.size(), 2u);
    EXPECT_EQ(start.kind, MotionEvent::Kind::Start);
    EXPECT_GE(start.startFrame, A);
    EXPECT_LT(start.startFrame, A + settings.startFrames);
    EXPECT_LT(recognised[0], A + 2 * settings.startFrames);
    EXPECT_DOUBLE_EQ(start.startTime, (start.startFrame - 1) / 25.0);
    EXPECT_EQ(end.kind, MotionEvent::Kind::End);
    EXPECT_EQ(end.startFrame, start.startFrame);
    EXPECT_GT(end.endFrame, B - settings.endFrames);
    EXPECT_LE(end.endFrame, B);
    EXPECT_LE(recognised[1], B + settings.endFrames);
    // The object's path, in tiles: columns 11 to 18, rows 2 to 12.
    EXPECT_GE(end.box.column, 11);
    EXPECT_LE(end.box.column + end.box.columns, 19);
    EXPECT_GE(end.box.row, 2);
    EXPECT_LE(end.box.row + end.box.rows, 13);
    // The object's 32x32 pixels cover 4 to 9 tiles of 150, its moves about twice that.
    EXPECT_GT(end.peakShare, 4.0 / 150);
    EXPECT_LT(end.peakShare, 24.0 / 150);

    const auto whole = endsOf(vorctest::detectMotion(sceneStream("objects"), MotionSettings()).events);
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_EQ(whole[0].startFrame, start.startFrame);
    EXPECT_GE(whole[1].startFrame, LeftObject.firstFrame);
    EXPECT_LE(whole[1].endFrame, LeftObject.lastFrame + 1);

    MotionSettings leftOut;
    leftOut.zones = {{"all", {vorc::ZoneArea::pixels(0, 0, Width / 2, Height)}}};
    leftOut.zones[0].areas[0].exclude = true;
    const auto withoutLeft = endsOf(vorctest::detectMotion(sceneStream("objects"), leftOut).events);
    ASSERT_EQ(withoutLeft.size(), 1u);
    EXPECT_EQ(withoutLeft[0].startFrame, start.startFrame);
    EXPECT_EQ(withoutLeft[0].endFrame, end.endFrame);

    // An excluded area inside a zone wins over the zone's own area.
    settings.zones[0].areas.push_back(vorc::ZoneArea::pixels(176, 32, 128, 176));
    settings.zones[0].areas.back().exclude = true;
    EXPECT_TRUE(vorctest::detectMotion(sceneStream("objects"), settings).events.empty());
}

// The object covers a few per cent of the zone: a minimum share of 10%
// leaves it out.
TEST(MotionScene, MinimumShareLeavesSmallObjectsOut) {
    MotionSettings settings;
    settings.zones = {rightHalf()};
    settings.minShare = 0.10;
    EXPECT_TRUE(vorctest::detectMotion(sceneStream("objects"), settings).events.empty());
    settings.minShare = 0.02;
    EXPECT_EQ(endsOf(vorctest::detectMotion(sceneStream("objects"), settings).events).size(), 1u);
}

// A step of the light changes every tile in one frame: shorter than the
// three frames that start an event, so no event; with one frame, an event
// of that frame over the whole picture, which passes any share below 90%.
TEST(MotionScene, ALightStepLastsOneFrame) {
    EXPECT_TRUE(vorctest::detectMotion(sceneStream("light"), MotionSettings()).events.empty());
    MotionSettings settings;
    settings.startFrames = 1;
    settings.minShare = 0.9;
    const auto ends = endsOf(vorctest::detectMotion(sceneStream("light"), settings).events);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].startFrame, 30);
    EXPECT_EQ(ends[0].endFrame, 30);
    EXPECT_GT(ends[0].peakShare, 0.9);
    EXPECT_EQ(ends[0].box.columns, 20);
    EXPECT_EQ(ends[0].box.rows, 15);
}

// An object that stands still for 15 frames: two events when 10 quiet
// frames end one, one event when it takes 20.
TEST(MotionScene, EndFramesBridgeAPause) {
    MotionSettings settings;
    const auto apart = endsOf(vorctest::detectMotion(sceneStream("pause"), settings).events);
    ASSERT_EQ(apart.size(), 2u);
    EXPECT_EQ(apart[0].startFrame, 10);
    EXPECT_EQ(apart[0].endFrame, 20);
    EXPECT_EQ(apart[1].startFrame, 36);
    EXPECT_EQ(apart[1].endFrame, 49);
    settings.endFrames = 20;
    const auto bridged = endsOf(vorctest::detectMotion(sceneStream("pause"), settings).events);
    ASSERT_EQ(bridged.size(), 1u);
    EXPECT_EQ(bridged[0].startFrame, 10);
    EXPECT_EQ(bridged[0].endFrame, 49);
}

// The heat map shows the two objects' paths and nothing else (the noise
// makes no region large enough on its own, but may join an object's
// region next to it); the tiles an object covered longest are among the
// hottest.
TEST(MotionScene, HeatMapHotTilesAreTheObjectsPaths) {
    std::map<int, int> coveredFrames;  // tile index: frames an object covered it
    for (const MovingObject& object : {RightObject, LeftObject}) {
        for (int frame = object.firstFrame; frame <= object.lastFrame; ++frame) {
            const int step = frame - object.firstFrame, span = object.lastFrame - object.firstFrame;
            const int left = object.fromX + (object.toX - object.fromX) * step / span;
            const int top = object.fromY + (object.toY - object.fromY) * step / span;
            for (int row = top / 16; row <= (top + object.size - 1) / 16; ++row)
                for (int column = left / 16; column <= (left + object.size - 1) / 16; ++column)
                    ++coveredFrames[row * 20 + column];
        }
    }
    const vorc::HeatMap heat = vorctest::detectMotion(sceneStream("objects"), MotionSettings()).heat;
    ASSERT_EQ(heat.counts.size(), 300u);
    // Every partial frame counts; the first and every 25th are full.
    EXPECT_EQ(heat.frames, 90 - 4);
    const uint32_t hottest = *std::max_element(heat.counts.begin(), heat.counts.end());
    EXPECT_GE(hottest, 8u);
    for (int tile = 0; tile < 300; ++tile) {
        const uint32_t count = heat.counts[static_cast<size_t>(tile)];
        const int covered = coveredFrames.count(tile) ? coveredFrames[tile] : 0;
        bool nearPath = false;
        for (int y = std::max(tile / 20 - 1, 0); y <= std::min(tile / 20 + 1, 14); ++y)
            for (int x = std::max(tile % 20 - 1, 0); x <= std::min(tile % 20 + 1, 19); ++x) nearPath |= coveredFrames.count(y * 20 + x) > 0;
        EXPECT_TRUE(count == 0 || nearPath) << "tile " << tile % 20 << "," << tile / 20 << " counted " << count;
        EXPECT_TRUE(covered < 8 || count * 3 >= hottest) << "tile " << tile % 20 << "," << tile / 20 << " covered "
                                                         << covered << " frames, counted " << count << " of " << hottest;
    }
}
