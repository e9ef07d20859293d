// The motion detector's work per frame. The bitmap is unpacked into a grid
// of 64-bit words, one or more per tile row, with the leftmost tile in the
// most significant bit; each zone is a mask in the same layout. Within a
// zone the changed tiles are taken as runs along their rows, and runs that
// touch runs of the row above are joined with a union-find over the runs
// (two-pass connected-component labelling), which costs in proportion to
// the runs rather than the tiles: a frame of few changed tiles is a few
// word operations per row.
#include "vorc/motion/motion_detector.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "vorc/core/exceptions.h"
#include "vorc/jpeg/bit_writer.h"

namespace vorc {

namespace {

constexpr int WordBits = 64;
// The bitmap is read a word and a byte at a time from any bit on.
constexpr size_t BitmapReadMargin = 9;

constexpr int LargestPictureSide = 65535;

int tilesFor(int pixels) { return (pixels + MotionTileSize - 1) / MotionTileSize; }

// A stretch of changed tiles on one row: columns [start, end).
struct Run {
    int start;
    int end;
    int row;
};

// What the runs of one connected region add up to.
struct Region {
    int tiles;
    int left;
    int right;  // the last column
    int top;
    int bottom;  // the last row
};

// The grid's word for columns [64 w, 64 w + 64) holds column c in bit
// 63 - (c - 64 w).
class TileGrid {
public:
    void resize(int columns, int rows) {
        columns_ = columns;
        rows_ = rows;
        words_ = (columns + WordBits - 1) / WordBits;
        bits_.assign(static_cast<size_t>(words_) * static_cast<size_t>(rows), 0);
    }
    // Sets or clears the tiles of a rectangle that lie in the grid.
    void set(const TileRect& rect, bool value) {
        const int64_t right = std::min<int64_t>(static_cast<int64_t>(rect.column) + rect.columns, columns_);
        const int64_t bottom = std::min<int64_t>(static_cast<int64_t>(rect.row) + rect.rows, rows_);
        for (int64_t row = std::max(rect.row, 0); row < bottom; ++row) {
            for (int64_t column = std::max(rect.column, 0); column < right; ++column)
                setTile(static_cast<int>(column), static_cast<int>(row), value);
        }
    }
    void setTile(int column, int row, bool value) {
        uint64_t& word = bits_[static_cast<size_t>(row) * words_ + column / WordBits];
        const uint64_t bit = uint64_t{1} << (WordBits - 1 - column % WordBits);
        word = value ? word | bit : word & ~bit;
    }
    // The tiles of a bitmap in the stream's layout, padded for word reads.
    void unpack(const uint8_t* padded) {
        const uint64_t lastWordMask = columns_ % WordBits == 0 ? ~uint64_t{0} : ~uint64_t{0} << (WordBits - columns_ % WordBits);
        uint64_t* word = bits_.data();
        for (int row = 0; row < rows_; ++row) {
            const size_t rowBit = static_cast<size_t>(row) * static_cast<size_t>(columns_);
            for (int w = 0; w < words_; ++w) {
                const size_t bit = rowBit + static_cast<size_t>(w) * WordBits;
                const uint8_t* at = padded + bit / 8;
                const unsigned shift = bit % 8;
                uint64_t value = jpeg::loadBigEndian64(at);
                if (shift != 0) value = value << shift | at[8] >> (8 - shift);
                *word++ = w + 1 < words_ ? value : value & lastWordMask;
            }
        }
    }
    int count() const {
        int tiles = 0;
        for (int row = 0; row < rows_; ++row) {
            for (int column = 0; column < columns_; ++column) tiles += tile(column, row);
        }
        return tiles;
    }
    bool tile(int column, int row) const {
        return (bits_[static_cast<size_t>(row) * words_ + column / WordBits] >> (WordBits - 1 - column % WordBits)) & 1;
    }
    const uint64_t* row(int row) const { return bits_.data() + static_cast<size_t>(row) * words_; }
    int words() const { return words_; }

private:
    int columns_ = 0;
    int rows_ = 0;
    int words_ = 0;
    std::vector<uint64_t> bits_;
};

// Appends the runs of one row of words, each word first masked (no mask:
// every tile).
void appendRuns(const uint64_t* words, const uint64_t* mask, int count, int row, std::vector<Run>* runs) {
    const size_t rowStart = runs->size();
    for (int w = 0; w < count; ++w) {
        uint64_t bits = mask != nullptr ? words[w] & mask[w] : words[w];
        while (bits != 0) {
            const int lead = __builtin_clzll(bits);
            const uint64_t inverted = ~(bits << lead);
            const int ones = inverted == 0 ? WordBits : __builtin_clzll(inverted);
            const int start = w * WordBits + lead;
            // A run may go on across a word's end.
            if (runs->size() > rowStart && runs->back().end == start) {
                runs->back().end = start + ones;
            } else {
                runs->push_back(Run{start, start + ones, row});
            }
            const int used = lead + ones;
            bits = used == WordBits ? 0 : bits & (~uint64_t{0} >> used);
        }
    }
}

class RunUnion {
public:
    void reset(size_t runs) {
        parent_.resize(runs);
        for (size_t i = 0; i < runs; ++i) parent_[i] = static_cast<int>(i);
    }
    int find(int run) {
        while (parent_[run] != run) {
            parent_[run] = parent_[parent_[run]];
            run = parent_[run];
        }
        return run;
    }
    // The smaller index stays the root, so a run's root never comes after it.
    void join(int a, int b) {
        a = find(a);
        b = find(b);
        if (a < b) {
            parent_[b] = a;
        } else if (b < a) {
            parent_[a] = b;
        }
    }

private:
    std::vector<int> parent_;
};

void addToBox(TileRect* box, const TileRect& more) {
    if (more.empty()) return;
    if (box->empty()) {
        *box = more;
        return;
    }
    const int right = std::max(box->column + box->columns, more.column + more.columns);
    const int bottom = std::max(box->row + box->rows, more.row + more.rows);
    box->column = std::min(box->column, more.column);
    box->row = std::min(box->row, more.row);
    box->columns = right - box->column;
    box->rows = bottom - box->row;
}

void checkArea(const ZoneArea& area) {
    if (area.width < 1 || area.height < 1) throw vorc::InvalidArgument("a zone area needs a width and a height of at least 1");
    if (!area.mask.empty() && (area.unit != ZoneArea::Unit::Tiles ||
                               area.mask.size() != static_cast<size_t>(area.width) * static_cast<size_t>(area.height)))
        throw vorc::InvalidArgument("a zone mask needs one byte per tile of its rectangle in tiles");
}

void checkSettings(const MotionSettings& settings) {
    if (!(settings.minShare >= 0.0 && settings.minShare <= 1.0))
        throw vorc::InvalidArgument("the minimum share of a zone lies between 0 and 1");
    if (settings.minTiles < 1) throw vorc::InvalidArgument("the minimum region needs at least 1 tile");
    if (settings.startFrames < 1 || settings.endFrames < 1)
        throw vorc::InvalidArgument("events start and end after at least 1 frame");
    for (const Zone& zone : settings.zones) {
        for (const ZoneArea& area : zone.areas) checkArea(area);
    }
}

// The tiles an area covers, as a rectangle in tiles.
TileRect tilesOf(const ZoneArea& area) {
    if (area.unit == ZoneArea::Unit::Tiles) return TileRect{area.left, area.top, area.width, area.height};
    // Rounded outwards: every tile the pixels touch. 64-bit sums: the
    // rectangle may reach far past the picture.
    const int64_t right = static_cast<int64_t>(area.left) + area.width;
    const int64_t bottom = static_cast<int64_t>(area.top) + area.height;
    const auto floorTile = [](int64_t pixel) { return (pixel >= 0 ? pixel : pixel - (MotionTileSize - 1)) / MotionTileSize; };
    const int64_t left = floorTile(area.left), top = floorTile(area.top);
    const int64_t rightTile = floorTile(right - 1) + 1, bottomTile = floorTile(bottom - 1) + 1;
    const auto clampInt = [](int64_t value) { return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX)); };
    return TileRect{clampInt(left), clampInt(top), clampInt(rightTile - left), clampInt(bottomTile - top)};
}

void applyArea(const ZoneArea& area, TileGrid* grid) {
    const TileRect rect = tilesOf(area);
    if (area.mask.empty()) {
        grid->set(rect, !area.exclude);
        return;
    }
    for (int row = 0; row < rect.rows; ++row) {
        for (int column = 0; column < rect.columns; ++column) {
            const int64_t x = static_cast<int64_t>(rect.column) + column, y = static_cast<int64_t>(rect.row) + row;
            if (area.mask[static_cast<size_t>(row) * static_cast<size_t>(rect.columns) + static_cast<size_t>(column)] != 0 &&
                x <= INT_MAX && y <= INT_MAX)
                grid->set(TileRect{static_cast<int>(x), static_cast<int>(y), 1, 1}, !area.exclude);
        }
    }
}

// An event being recognised or open.
struct ZoneEvents {
    int movingFrames = 0;  // measured frames in a row that moved, before the event opened
    int quietFrames = 0;   // measured frames in a row that did not, while it is open
    bool open = false;
    MotionEvent event;  // from the first moving frame of the run on
};

}  // namespace

PixelRect pixelsOfTiles(const TileRect& tiles, int width, int height) {
    if (tiles.empty()) return PixelRect{};
    const auto pixel = [](int64_t tile, int size) {
        return static_cast<int>(std::clamp<int64_t>(tile * MotionTileSize, 0, std::max(size, 0)));
    };
    const int left = pixel(tiles.column, width), top = pixel(tiles.row, height);
    const int right = pixel(static_cast<int64_t>(tiles.column) + tiles.columns, width);
    const int bottom = pixel(static_cast<int64_t>(tiles.row) + tiles.rows, height);
    return PixelRect{left, top, right - left, bottom - top};
}

ZoneArea ZoneArea::tiles(int column, int row, int columns, int rows) {
    ZoneArea area;
    area.left = column;
    area.top = row;
    area.width = columns;
    area.height = rows;
    return area;
}

ZoneArea ZoneArea::pixels(int x, int y, int width, int height) {
    ZoneArea area = tiles(x, y, width, height);
    area.unit = Unit::Pixels;
    return area;
}

ZoneArea ZoneArea::tileMask(int columns, int rows, std::vector<uint8_t> mask) {
    ZoneArea area = tiles(0, 0, columns, rows);
    area.mask = std::move(mask);
    return area;
}

struct MotionDetector::State {
    MotionSettings settings;
    int width = 0;
    int height = 0;
    int columns = 0;
    int rows = 0;
    size_t bitmapBytes = 0;
    std::vector<uint8_t> padded;  // the frame's bitmap, then zero bytes
    TileGrid changed;
    std::vector<TileGrid> zoneMasks;
    std::vector<int> zoneTiles;
    std::vector<ZoneEvents> zoneEvents;
    // Scratch of one zone's labelling.
    std::vector<Run> runs;
    std::vector<size_t> rowStarts;  // first run of each row, and the end
    RunUnion regions;
    std::vector<Region> regionOfRoot;
    MotionFrame frame;
    std::vector<MotionEvent> finished;
    HeatMap heat;

    void resize(int newWidth, int newHeight);
    // Finds the connected regions of the changed tiles within the mask
    // (null: the whole picture): runs, and a region for each root run.
    void label(const TileGrid* mask);
    // The zone's numbers from the labelling of its tiles.
    void measureZone(size_t zone, ZoneMotion* result);
    // Counts the regions of the labelling of the whole picture.
    void countHeat();
    void followEvents(size_t zone, const ZoneMotion& motion);
    void endEvent(size_t zone, std::vector<MotionEvent>* into);
};

MotionDetector::MotionDetector(MotionSettings settings) : state_(new State) {
    checkSettings(settings);
    if (settings.zones.empty()) settings.zones.push_back(Zone{"all", {}});
    state_->settings = std::move(settings);
    const size_t zones = state_->settings.zones.size();
    state_->zoneMasks.resize(zones);
    state_->zoneTiles.resize(zones);
    state_->zoneEvents.resize(zones);
    state_->frame.zones.resize(zones);
}

MotionDetector::~MotionDetector() = default;
MotionDetector::MotionDetector(MotionDetector&&) noexcept = default;
MotionDetector& MotionDetector::operator=(MotionDetector&&) noexcept = default;

const MotionSettings& MotionDetector::settings() const { return state_->settings; }
const HeatMap& MotionDetector::heatMap() const { return state_->heat; }

void MotionDetector::resetHeatMap() {
    std::fill(state_->heat.counts.begin(), state_->heat.counts.end(), 0);
    state_->heat.frames = 0;
}

void MotionDetector::State::resize(int newWidth, int newHeight) {
    width = newWidth;
    height = newHeight;
    columns = tilesFor(width);
    rows = tilesFor(height);
    const size_t tiles = static_cast<size_t>(columns) * static_cast<size_t>(rows);
    bitmapBytes = (tiles + 7) / 8;
    padded.assign(bitmapBytes + BitmapReadMargin, 0);
    changed.resize(columns, rows);
    for (size_t zone = 0; zone < zoneMasks.size(); ++zone) {
        TileGrid& mask = zoneMasks[zone];
        mask.resize(columns, rows);
        const std::vector<ZoneArea>& areas = settings.zones[zone].areas;
        if (std::all_of(areas.begin(), areas.end(), [](const ZoneArea& area) { return area.exclude; }))
            mask.set(TileRect{0, 0, columns, rows}, true);
        // Included areas first, so that an excluded one always wins.
        for (const ZoneArea& area : areas) {
            if (!area.exclude) applyArea(area, &mask);
        }
        for (const ZoneArea& area : areas) {
            if (area.exclude) applyArea(area, &mask);
        }
        zoneTiles[zone] = mask.count();
    }
    rowStarts.resize(static_cast<size_t>(rows) + 1);
    heat.columns = columns;
    heat.rows = rows;
    heat.counts.assign(tiles, 0);
    heat.frames = 0;
}

void MotionDetector::State::label(const TileGrid* mask) {
    const int bridge = settings.connectivity == Connectivity::Eight ? 1 : 0;
    runs.clear();
    for (int row = 0; row < rows; ++row) {
        rowStarts[static_cast<size_t>(row)] = runs.size();
        appendRuns(changed.row(row), mask != nullptr ? mask->row(row) : nullptr, changed.words(), row, &runs);
    }
    rowStarts[static_cast<size_t>(rows)] = runs.size();
    regions.reset(runs.size());
    regionOfRoot.resize(runs.size());
    // Joins each run with the runs of the row above that touch it: an
    // edge, and with Eight a corner as well.
    for (int row = 1; row < rows; ++row) {
        size_t above = rowStarts[static_cast<size_t>(row) - 1];
        const size_t aboveEnd = rowStarts[static_cast<size_t>(row)];
        for (size_t run = aboveEnd; run < rowStarts[static_cast<size_t>(row) + 1]; ++run) {
            // A run above that ends before this one begins ends before
            // every later one of this row too.
            while (above < aboveEnd && runs[above].end + bridge <= runs[run].start) ++above;
            for (size_t other = above; other < aboveEnd && runs[other].start < runs[run].end + bridge; ++other)
                regions.join(static_cast<int>(run), static_cast<int>(other));
        }
    }
    for (size_t run = 0; run < runs.size(); ++run) {
        const Run& r = runs[run];
        const int root = regions.find(static_cast<int>(run));
        Region& region = regionOfRoot[static_cast<size_t>(root)];
        if (root == static_cast<int>(run)) region = Region{0, r.start, r.end - 1, r.row, r.row};
        region.tiles += r.end - r.start;
        region.left = std::min(region.left, r.start);
        region.right = std::max(region.right, r.end - 1);
        region.bottom = r.row;
    }
}

void MotionDetector::State::measureZone(size_t zone, ZoneMotion* result) {
    ZoneMotion motion;
    motion.zoneTiles = zoneTiles[zone];
    const Region* largest = nullptr;
    for (size_t run = 0; run < runs.size(); ++run) {
        motion.changedTiles += runs[run].end - runs[run].start;
        if (regions.find(static_cast<int>(run)) != static_cast<int>(run)) continue;
        const Region& region = regionOfRoot[run];
        if (region.tiles >= settings.minTiles) motion.movingTiles += region.tiles;
        if (largest == nullptr || region.tiles > largest->tiles) largest = &region;
    }
    if (largest != nullptr) {
        motion.largestRegion = largest->tiles;
        motion.box = TileRect{largest->left, largest->top, largest->right - largest->left + 1,
                              largest->bottom - largest->top + 1};
    }
    if (motion.zoneTiles > 0) motion.share = static_cast<double>(motion.movingTiles) / motion.zoneTiles;
    motion.moving = motion.movingTiles > 0 && motion.share >= settings.minShare;
    *result = motion;
}

void MotionDetector::State::countHeat() {
    for (size_t run = 0; run < runs.size(); ++run) {
        if (regionOfRoot[static_cast<size_t>(regions.find(static_cast<int>(run)))].tiles < settings.minTiles) continue;
        uint32_t* count = heat.counts.data() + static_cast<size_t>(runs[run].row) * static_cast<size_t>(columns);
        for (int column = runs[run].start; column < runs[run].end; ++column) ++count[column];
    }
    ++heat.frames;
}

void MotionDetector::State::followEvents(size_t zone, const ZoneMotion& motion) {
    ZoneEvents& events = zoneEvents[zone];
    if (!motion.moving) {
        events.movingFrames = 0;
        if (events.open && ++events.quietFrames >= settings.endFrames) endEvent(zone, &frame.events);
        return;
    }
    MotionEvent& event = events.event;
    if (!events.open && events.movingFrames == 0) {
        event = MotionEvent{};
        event.zone = static_cast<int>(zone);
        event.startFrame = frame.index;
        event.startTime = frame.time;
    }
    event.endFrame = frame.index;
    event.endTime = frame.time;
    event.peakShare = std::max(event.peakShare, motion.share);
    addToBox(&event.box, motion.box);
    events.quietFrames = 0;
    if (!events.open && ++events.movingFrames >= settings.startFrames) {
        events.open = true;
        event.kind = MotionEvent::Kind::Start;
        frame.events.push_back(event);
    }
}

void MotionDetector::State::endEvent(size_t zone, std::vector<MotionEvent>* into) {
    ZoneEvents& events = zoneEvents[zone];
    if (events.open) {
        events.event.kind = MotionEvent::Kind::End;
        into->push_back(events.event);
    }
    events = ZoneEvents{};
}

const MotionFrame& MotionDetector::update(const FrameTiles& tiles) {
    State& s = *state_;
    if (tiles.width < 1 || tiles.height < 1 || tiles.width > LargestPictureSide || tiles.height > LargestPictureSide)
        throw vorc::InvalidArgument("a picture is 1 to 65535 pixels each way");
    MotionFrame& frame = s.frame;
    frame.index = tiles.index;
    frame.time = tiles.time;
    frame.events.clear();
    if (tiles.width != s.width || tiles.height != s.height) {
        for (size_t zone = 0; zone < s.zoneEvents.size(); ++zone) s.endEvent(zone, &frame.events);
        s.resize(tiles.width, tiles.height);
    }
    frame.use = tiles.damaged || (!tiles.full && tiles.bitmap == nullptr) ? FrameUse::Damaged
                : tiles.full                                             ? FrameUse::FullFrame
                                                                         : FrameUse::Measured;
    if (frame.use != FrameUse::Measured) {
        for (size_t zone = 0; zone < frame.zones.size(); ++zone) {
            frame.zones[zone] = ZoneMotion{};
            frame.zones[zone].zoneTiles = s.zoneTiles[zone];
            frame.zones[zone].inEvent = s.zoneEvents[zone].open;
        }
        return frame;
    }
    std::memcpy(s.padded.data(), tiles.bitmap, s.bitmapBytes);
    s.changed.unpack(s.padded.data());
    // The labelling of the whole picture serves the heat map and every
    // zone that covers the whole picture (the default one does).
    const int pictureTiles = s.columns * s.rows;
    s.label(nullptr);
    s.countHeat();
    for (size_t zone = 0; zone < frame.zones.size(); ++zone) {
        if (s.zoneTiles[zone] == pictureTiles) s.measureZone(zone, &frame.zones[zone]);
    }
    for (size_t zone = 0; zone < frame.zones.size(); ++zone) {
        if (s.zoneTiles[zone] == pictureTiles) continue;
        s.label(&s.zoneMasks[zone]);
        s.measureZone(zone, &frame.zones[zone]);
    }
    for (size_t zone = 0; zone < frame.zones.size(); ++zone) {
        s.followEvents(zone, frame.zones[zone]);
        frame.zones[zone].inEvent = s.zoneEvents[zone].open;
    }
    return frame;
}

const std::vector<MotionEvent>& MotionDetector::finish() {
    state_->finished.clear();
    for (size_t zone = 0; zone < state_->zoneEvents.size(); ++zone) state_->endEvent(zone, &state_->finished);
    return state_->finished;
}

}  // namespace vorc
