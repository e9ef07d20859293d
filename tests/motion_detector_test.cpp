// vorc::MotionDetector on bitmaps made by hand: every frame measured against
// a slow, plain reference (tile by tile, regions by breadth-first search)
// on random pictures, bitmaps, zones and settings; then the event rules
// (start and end frames, skipped frames, a change of size, the end of a
// stream), the heat map and the refusal of bad settings.
#include "vorc/motion/motion_detector.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>

#include "vorc/core/exceptions.h"

using vorc::MotionEvent;
using vorc::MotionSettings;
using vorc::ZoneArea;
using vorc::ZoneMotion;

namespace {

using Tiles = std::vector<bool>;  // row-major, true: changed

std::vector<uint8_t> bitmapOf(const Tiles& tiles) {
    std::vector<uint8_t> bitmap((tiles.size() + 7) / 8);
    for (size_t k = 0; k < tiles.size(); ++k)
        if (tiles[k]) bitmap[k / 8] |= static_cast<uint8_t>(0x80 >> (k % 8));
    return bitmap;
}

// The tiles of a zone, tile by tile, from the rules as the header states them.
Tiles referenceZone(const vorc::Zone& zone, int columns, int rows) {
    const auto covers = [](const ZoneArea& area, int column, int row) {
        if (area.unit == ZoneArea::Unit::Pixels)
            return column * 16 < area.left + area.width && area.left < column * 16 + 16 && row * 16 < area.top + area.height &&
                   area.top < row * 16 + 16;
        const int x = column - area.left, y = row - area.top;
        if (x < 0 || y < 0 || x >= area.width || y >= area.height) return false;
        return area.mask.empty() || area.mask[static_cast<size_t>(y) * area.width + x] != 0;
    };
    bool anyIncluded = false;
    for (const ZoneArea& area : zone.areas) anyIncluded |= !area.exclude;
    Tiles in(static_cast<size_t>(columns) * rows);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            bool included = !anyIncluded, excluded = false;
            for (const ZoneArea& area : zone.areas) (area.exclude ? excluded : included) |= covers(area, column, row);
            in[static_cast<size_t>(row) * columns + column] = included && !excluded;
        }
    }
    return in;
}

// The connected regions of the changed tiles within the zone, each a list
// of tile indices, in the order a row-major search finds them.
std::vector<std::vector<size_t>> referenceRegions(const Tiles& changed, const Tiles& zone, int columns, int rows,
                                                  vorc::Connectivity connectivity) {
    std::vector<std::vector<size_t>> regions;
    Tiles seen(changed.size());
    for (size_t first = 0; first < changed.size(); ++first) {
        if (!changed[first] || !zone[first] || seen[first]) continue;
        std::vector<size_t>& region = regions.emplace_back(1, first);
        seen[first] = true;
        for (size_t next = 0; next < region.size(); ++next) {
            const int x = static_cast<int>(region[next] % columns), y = static_cast<int>(region[next] / columns);
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    if ((dx != 0 && dy != 0 && connectivity == vorc::Connectivity::Four) || (dx == 0 && dy == 0)) continue;
                    const int nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= columns || ny >= rows) continue;
                    const size_t k = static_cast<size_t>(ny) * columns + nx;
                    if (changed[k] && zone[k] && !seen[k]) {
                        seen[k] = true;
                        region.push_back(k);
                    }
                }
            }
        }
    }
    return regions;
}

ZoneMotion referenceMotion(const Tiles& changed, const Tiles& zone, int columns, int rows, const MotionSettings& settings) {
    ZoneMotion motion;
    for (size_t k = 0; k < changed.size(); ++k) {
        motion.zoneTiles += zone[k];
        motion.changedTiles += zone[k] && changed[k];
    }
    for (const std::vector<size_t>& region : referenceRegions(changed, zone, columns, rows, settings.connectivity)) {
        const int tiles = static_cast<int>(region.size());
        if (tiles >= settings.minTiles) motion.movingTiles += tiles;
        // Of equal regions, the one found first.
        if (tiles <= motion.largestRegion) continue;
        motion.largestRegion = tiles;
        int left = columns, right = 0, top = rows, bottom = 0;
        for (const size_t k : region) {
            const int x = static_cast<int>(k % columns), y = static_cast<int>(k / columns);
            left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
        }
        motion.box = vorc::TileRect{left, top, right - left + 1, bottom - top + 1};
    }
    motion.share = motion.zoneTiles > 0 ? static_cast<double>(motion.movingTiles) / motion.zoneTiles : 0.0;
    motion.moving = motion.movingTiles > 0 && motion.share >= settings.minShare;
    return motion;
}

std::string boxText(const vorc::TileRect& box) {
    return std::to_string(box.column) + "," + std::to_string(box.row) + " " + std::to_string(box.columns) + "x" +
           std::to_string(box.rows);
}

std::string describe(const ZoneMotion& m) {
    return std::to_string(m.zoneTiles) + " " + std::to_string(m.changedTiles) + " " + std::to_string(m.movingTiles) + " " +
           std::to_string(m.largestRegion) + " box " + boxText(m.box) + (m.moving ? " moving" : "");
}

// Changed tiles in blobs of random size, and single tiles scattered.
Tiles randomTiles(std::mt19937& random, int columns, int rows) {
    Tiles tiles(static_cast<size_t>(columns) * rows);
    const int blobs = static_cast<int>(random() % 6);
    for (int blob = 0; blob < blobs; ++blob) {
        const int w = 1 + static_cast<int>(random() % 70), h = 1 + static_cast<int>(random() % 6);
        const int x0 = static_cast<int>(random() % columns), y0 = static_cast<int>(random() % rows);
        const unsigned density = 1 + random() % 4;  // of 4
        for (int y = y0; y < std::min(y0 + h, rows); ++y)
            for (int x = x0; x < std::min(x0 + w, columns); ++x)
                if (random() % 4 < density) tiles[static_cast<size_t>(y) * columns + x] = true;
    }
    const unsigned scatter = random() % 20;  // per cent
    for (size_t k = 0; k < tiles.size(); ++k)
        if (random() % 100 < scatter) tiles[k] = true;
    return tiles;
}

ZoneArea randomArea(std::mt19937& random, int columns, int rows) {
    ZoneArea area;
    switch (random() % 3) {
        case 0:
            area = ZoneArea::tiles(static_cast<int>(random() % (columns + 4)) - 2, static_cast<int>(random() % (rows + 4)) - 2,
                                   1 + static_cast<int>(random() % columns), 1 + static_cast<int>(random() % rows));
            break;
        case 1:
            area = ZoneArea::pixels(static_cast<int>(random() % (columns * 16)), static_cast<int>(random() % (rows * 16)),
                                    1 + static_cast<int>(random() % (columns * 16)), 1 + static_cast<int>(random() % (rows * 16)));
            break;
        default: {
            std::vector<uint8_t> mask(static_cast<size_t>(columns) * rows);
            for (uint8_t& tile : mask) tile = static_cast<uint8_t>(random() % 3 == 0 ? 1 + random() % 255 : 0);
            area = ZoneArea::tileMask(columns, rows, mask);
        }
    }
    area.exclude = random() % 3 == 0;
    return area;
}

vorc::FrameTiles partialFrame(int64_t index, int width, int height, const std::vector<uint8_t>& bitmap) {
    vorc::FrameTiles frame;
    frame.index = index;
    frame.time = static_cast<double>(index) / 10.0;
    frame.width = width;
    frame.height = height;
    frame.bitmap = bitmap.data();
    return frame;
}

// A 320x240 picture (20 x 15 tiles) where the tiles of the rectangle changed.
std::vector<uint8_t> blockBitmap(int column, int row, int columns, int rows) {
    Tiles tiles(20 * 15);
    for (int y = row; y < row + rows; ++y)
        for (int x = column; x < column + columns; ++x) tiles[static_cast<size_t>(y) * 20 + x] = true;
    return bitmapOf(tiles);
}

}  // namespace

// Sizes around the word and byte boundaries of the detector's grid, runs
// that cross them, masks and excluded areas, both kinds of connection:
// every zone's every number as the plain reference has it.
TEST(MotionDetector, MeasuresEveryZoneAsTheReferenceDoes) {
    std::mt19937 random(24);
    const std::vector<int> columnChoices = {1, 3, 7, 8, 9, 63, 64, 65, 120, 127, 128, 129, 200};
    for (int round = 0; round < 300; ++round) {
        const int columns = columnChoices[random() % columnChoices.size()];
        const int rows = 1 + static_cast<int>(random() % 40);
        // Pictures that fill their last tiles only in part.
        const int width = columns * 16 - static_cast<int>(random() % 16), height = rows * 16 - static_cast<int>(random() % 16);
        MotionSettings settings;
        settings.connectivity = random() % 2 == 0 ? vorc::Connectivity::Four : vorc::Connectivity::Eight;
        settings.minTiles = 1 + static_cast<int>(random() % 8);
        settings.minShare = random() % 2 == 0 ? 0.0 : static_cast<double>(random() % 100) / 400.0;
        const int zones = static_cast<int>(random() % 4);
        for (int zone = 0; zone < zones; ++zone) {
            settings.zones.push_back(vorc::Zone{"z" + std::to_string(zone), {}});
            for (int area = 1 + static_cast<int>(random() % 3); area > 0; --area)
                settings.zones.back().areas.push_back(randomArea(random, columns, rows));
        }
        vorc::MotionDetector detector(settings);
        const MotionSettings& used = detector.settings();
        std::vector<uint32_t> expectedHeat(static_cast<size_t>(columns) * rows);
        ASSERT_EQ(used.zones.size(), zones == 0 ? 1u : static_cast<size_t>(zones));
        for (int frame = 1; frame <= 3; ++frame) {
            const Tiles changed = randomTiles(random, columns, rows);
            const std::vector<uint8_t> bitmap = bitmapOf(changed);
            // Exactly the bitmap's bytes, so that ASan sees a read past them.
            const std::unique_ptr<uint8_t[]> exact(new uint8_t[bitmap.size()]);
            std::copy(bitmap.begin(), bitmap.end(), exact.get());
            vorc::FrameTiles tiles = partialFrame(frame, width, height, bitmap);
            tiles.bitmap = exact.get();
            const vorc::MotionFrame& result = detector.update(tiles);
            ASSERT_EQ(result.use, vorc::FrameUse::Measured);
            ASSERT_EQ(result.zones.size(), used.zones.size());
            for (size_t zone = 0; zone < used.zones.size(); ++zone) {
                const ZoneMotion expected =
                    referenceMotion(changed, referenceZone(used.zones[zone], columns, rows), columns, rows, settings);
                EXPECT_EQ(describe(result.zones[zone]), describe(expected))
                    << "round " << round << ", " << width << "x" << height << ", zone " << zone;
                EXPECT_DOUBLE_EQ(result.zones[zone].share, expected.share);
            }
            // The heat map counts the tiles of large enough regions in the
            // whole picture, whatever the zones.
            for (const auto& region :
                 referenceRegions(changed, Tiles(changed.size(), true), columns, rows, settings.connectivity)) {
                if (static_cast<int>(region.size()) < settings.minTiles) continue;
                for (const size_t k : region) ++expectedHeat[k];
            }
            ASSERT_EQ(detector.heatMap().counts, expectedHeat) << "round " << round << ", frame " << frame;
        }
    }
}

// Two tiles that touch only at a corner are one region with Eight and two
// with Four; runs that meet only across the end of a 64-tile word join.
TEST(MotionDetector, ConnectivityDecidesWhetherCornersJoin) {
    for (const auto connectivity : {vorc::Connectivity::Four, vorc::Connectivity::Eight}) {
        MotionSettings settings;
        settings.connectivity = connectivity;
        settings.minTiles = 2;
        vorc::MotionDetector detector(settings);
        Tiles diagonal(130 * 2);
        diagonal[63] = diagonal[130 + 64] = true;  // (63, 0) and (64, 1)
        const auto frame = detector.update(partialFrame(1, 130 * 16, 32, bitmapOf(diagonal)));
        EXPECT_EQ(frame.zones[0].largestRegion, connectivity == vorc::Connectivity::Eight ? 2 : 1);
        EXPECT_EQ(frame.zones[0].moving, connectivity == vorc::Connectivity::Eight);
        Tiles across(130 * 2);
        across[63] = across[64] = true;
        EXPECT_EQ(detector.update(partialFrame(2, 130 * 16, 32, bitmapOf(across))).zones[0].largestRegion, 2);
    }
}

// With start 3 and end 4: an event starts at its third moving frame and is
// dated from the first; it ends at the fourth quiet frame, dated at the last
// moving one; full and damaged frames count neither way; a run of two
// moving frames starts nothing.
TEST(MotionDetector, EventsStartAndEndAfterTheirFramesAndSkipFullFrames) {
    MotionSettings settings;
    settings.startFrames = 3;
    settings.endFrames = 4;
    vorc::MotionDetector detector(settings);
    const std::vector<uint8_t> still = blockBitmap(0, 0, 0, 0), moving = blockBitmap(5, 5, 3, 3);
    // Frame by frame: m moving, . still, F full, D damaged.
    const std::string script = "..mm..mFmDm.m..F...m.mm";
    std::vector<std::pair<int64_t, MotionEvent>> events;
    for (size_t at = 0; at < script.size(); ++at) {
        const int64_t index = static_cast<int64_t>(at) + 1;
        vorc::FrameTiles tiles = partialFrame(index, 320, 240, script[at] == 'm' ? moving : still);
        tiles.full = script[at] == 'F';
        tiles.damaged = script[at] == 'D';
        if (tiles.full || tiles.damaged) tiles.bitmap = nullptr;
        const vorc::MotionFrame& frame = detector.update(tiles);
        EXPECT_EQ(frame.use, script[at] == 'F' ? vorc::FrameUse::FullFrame
                             : script[at] == 'D' ? vorc::FrameUse::Damaged
                                                 : vorc::FrameUse::Measured);
        for (const MotionEvent& event : frame.events) events.push_back({index, event});
    }
    ASSERT_EQ(events.size(), 2u);
    // Moving frames 7, 9, 11 (8 full, 10 damaged): recognised at 11.
    EXPECT_EQ(events[0].first, 11);
    EXPECT_EQ(events[0].second.kind, MotionEvent::Kind::Start);
    EXPECT_EQ(events[0].second.startFrame, 7);
    EXPECT_DOUBLE_EQ(events[0].second.startTime, 0.7);
    EXPECT_EQ(events[0].second.endFrame, 11);
    // Quiet 12, moving 13, then quiet 14, 15, 17, 18 (16 full): ends at 18, dated 13.
    EXPECT_EQ(events[1].first, 18);
    EXPECT_EQ(events[1].second.kind, MotionEvent::Kind::End);
    EXPECT_EQ(events[1].second.startFrame, 7);
    EXPECT_EQ(events[1].second.endFrame, 13);
    EXPECT_DOUBLE_EQ(events[1].second.endTime, 1.3);
    EXPECT_DOUBLE_EQ(events[1].second.peakShare, 9.0 / 300);
    EXPECT_EQ(boxText(events[1].second.box), "5,5 3x3");
    // 20, 22, 23 moved, with 21 quiet between: no run of three, so the end
    // of the stream has nothing to end.
    EXPECT_TRUE(detector.finish().empty());
}

// An event's peak is the largest share of its frames and its box holds the
// largest region of each; two zones keep their own events; the end of the
// stream and a new picture size end the open ones.
TEST(MotionDetector, ZonesKeepTheirOwnEventsUntilTheStreamOrThePictureSizeEnds) {
    MotionSettings settings;
    settings.startFrames = 1;
    settings.endFrames = 100;
    settings.zones = {{"left", {ZoneArea::tiles(0, 0, 10, 15)}}, {"right", {ZoneArea::pixels(160, 0, 160, 240)}}};
    vorc::MotionDetector detector(settings);
    auto frame = detector.update(partialFrame(1, 320, 240, blockBitmap(1, 1, 3, 3)));
    ASSERT_EQ(frame.events.size(), 1u);
    EXPECT_EQ(frame.events[0].zone, 0);
    EXPECT_TRUE(frame.zones[0].inEvent);
    EXPECT_FALSE(frame.zones[1].inEvent);
    frame = detector.update(partialFrame(2, 320, 240, blockBitmap(4, 6, 2, 2)));
    EXPECT_TRUE(frame.events.empty());
    frame = detector.update(partialFrame(3, 320, 240, blockBitmap(12, 10, 2, 2)));
    ASSERT_EQ(frame.events.size(), 1u);
    EXPECT_EQ(frame.events[0].zone, 1);
    EXPECT_DOUBLE_EQ(frame.zones[1].share, 4.0 / 150);

    const std::vector<MotionEvent> ended = detector.finish();
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(ended[0].zone, 0);
    EXPECT_EQ(ended[0].kind, MotionEvent::Kind::End);
    EXPECT_EQ(ended[0].endFrame, 2);
    EXPECT_DOUBLE_EQ(ended[0].peakShare, 9.0 / 150);
    EXPECT_EQ(boxText(ended[0].box), "1,1 5x7");
    EXPECT_TRUE(detector.finish().empty());

    detector.update(partialFrame(4, 320, 240, blockBitmap(12, 10, 2, 2)));
    EXPECT_EQ(detector.heatMap().counts[10 * 20 + 12], 2u);
    frame = detector.update(partialFrame(5, 640, 480, std::vector<uint8_t>(40 * 30 / 8)));
    ASSERT_EQ(frame.events.size(), 1u);
    EXPECT_EQ(frame.events[0].kind, MotionEvent::Kind::End);
    EXPECT_EQ(frame.events[0].startFrame, 4);
    EXPECT_EQ(frame.zones[1].zoneTiles, 10 * 15);  // the same pixels in a larger picture
    const vorc::HeatMap& heat = detector.heatMap();
    EXPECT_EQ(heat.columns, 40);
    EXPECT_EQ(heat.frames, 1);
    EXPECT_EQ(std::count(heat.counts.begin(), heat.counts.end(), 0u), 40 * 30);
}

// Two tiles in a row are a region with a minimum of 2, a lone tile is not.
TEST(MotionDetector, HeatMapCountsRegionsOfMeasuredFramesUntilReset) {
    MotionSettings settings;
    settings.minTiles = 2;
    vorc::MotionDetector detector(settings);
    for (int frame = 1; frame <= 5; ++frame) {
        std::vector<uint8_t> bitmap = blockBitmap(frame, 2, 2, 1);
        bitmap[299 / 8] |= 0x80 >> (299 % 8);
        vorc::FrameTiles tiles = partialFrame(frame, 320, 240, bitmap);
        if (frame == 3) {
            tiles.full = true;
            tiles.bitmap = nullptr;
        }
        detector.update(tiles);
    }
    const vorc::HeatMap& heat = detector.heatMap();
    EXPECT_EQ(heat.frames, 4);
    std::vector<uint32_t> expected(300);
    for (const int frame : {1, 2, 4, 5}) ++expected[2 * 20 + frame], ++expected[2 * 20 + frame + 1];
    EXPECT_EQ(heat.counts, expected);
    detector.resetHeatMap();
    EXPECT_EQ(detector.heatMap().frames, 0);
    EXPECT_EQ(std::count(heat.counts.begin(), heat.counts.end(), 0u), 300);
}

TEST(MotionDetector, RefusesSettingsAndPicturesOutOfRange) {
    const auto refused = [](const std::function<void(MotionSettings&)>& change) {
        MotionSettings settings;
        change(settings);
        try {
            vorc::MotionDetector detector(settings);
        } catch (const vorc::InvalidArgument&) {
            return true;
        }
        return false;
    };
    EXPECT_TRUE(refused([](MotionSettings& s) { s.minShare = 1.5; }));
    EXPECT_TRUE(refused([](MotionSettings& s) { s.minShare = -0.1; }));
    EXPECT_TRUE(refused([](MotionSettings& s) { s.minTiles = 0; }));
    EXPECT_TRUE(refused([](MotionSettings& s) { s.startFrames = 0; }));
    EXPECT_TRUE(refused([](MotionSettings& s) { s.endFrames = 0; }));
    EXPECT_TRUE(refused([](MotionSettings& s) { s.zones = {{"z", {ZoneArea::tiles(0, 0, 0, 3)}}}; }));
    EXPECT_TRUE(refused([](MotionSettings& s) { s.zones = {{"z", {ZoneArea::tileMask(2, 2, {1, 1, 1})}}}; }));
    EXPECT_FALSE(refused([](MotionSettings& s) { s.zones = {{"z", {ZoneArea::tileMask(2, 2, {1, 0, 0, 1})}}}; }));
    vorc::MotionDetector detector;
    const std::vector<uint8_t> bitmap(8);
    EXPECT_THROW(detector.update(partialFrame(1, 0, 16, bitmap)), vorc::InvalidArgument);
    EXPECT_THROW(detector.update(partialFrame(1, 65536, 16, bitmap)), vorc::InvalidArgument);
}
