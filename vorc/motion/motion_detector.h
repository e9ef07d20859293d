// vorc::MotionDetector: motion found from the stream itself, without
// decoding a pixel. A partial frame carries only the tiles the camera coded
// again, and its bitmap names them; the detector takes that bitmap frame by
// frame, measures how much of each zone changed in connected regions large
// enough to be more than noise, and turns runs of such frames into events.
// It also counts, per tile, how often a tile changed (a heat map).
//
// Plain data in, plain data out: the caller hands over each frame's bitmap
// (from the parser, the Reader or anywhere else) with its size, index and
// time; the detector does no input or output and keeps no pointer to what
// it was given. One detector serves one stream; detectors share nothing.
#ifndef VORC_MOTION_MOTION_DETECTOR_H
#define VORC_MOTION_MOTION_DETECTOR_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorc {

// Tiles are 16x16 pixels; a picture has width / 16 columns and height / 16
// rows of them, each rounded up.
constexpr int MotionTileSize = 16;

// A rectangle of tiles: the first column and row, and how many of each. A
// rectangle with no columns or no rows is empty.
struct TileRect {
    int column = 0;
    int row = 0;
    int columns = 0;
    int rows = 0;

    bool empty() const { return columns <= 0 || rows <= 0; }
};

// A rectangle of pixels: left, top, width and height.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The pixels of a rectangle of tiles in a picture of this size: the last
// column and row of tiles may reach past the picture's edge, and are cut
// there.
PixelRect pixelsOfTiles(const TileRect& tiles, int width, int height);

// One part of a zone: a rectangle in tiles or in pixels, or a tile mask.
// A rectangle in pixels covers every tile it touches. Parts of a rectangle
// or mask outside the picture are left out.
struct ZoneArea {
    enum class Unit { Tiles, Pixels };
    Unit unit = Unit::Tiles;
    int left = 0;
    int top = 0;
    int width = 0;   // at least 1
    int height = 0;  // at least 1
    // Tiles only. Empty: the whole rectangle. Otherwise width x height
    // bytes, row by row from the top left; a non-zero byte puts its tile in
    // the area.
    std::vector<uint8_t> mask;
    // The area is taken out of the zone instead of added to it.
    bool exclude = false;

    static ZoneArea tiles(int column, int row, int columns, int rows);
    static ZoneArea pixels(int x, int y, int width, int height);
    // A mask for the whole picture, placed at its top left tile.
    static ZoneArea tileMask(int columns, int rows, std::vector<uint8_t> mask);
};

// A zone's tiles are those of its included areas less those of its
// excluded ones; a zone without an included area starts from the whole
// picture.
struct Zone {
    std::string name;
    std::vector<ZoneArea> areas;
};

// Which changed tiles form one region: those sharing an edge (Four), or an
// edge or a corner (Eight).
enum class Connectivity { Four, Eight };

struct MotionSettings {
    // Empty: one zone named "all", the whole picture.
    std::vector<Zone> zones;
    // A frame moves in a zone when the zone has a region of at least
    // minTiles connected changed tiles, and the tiles of all such regions
    // make at least minShare of the zone's tiles (0 to 1). Smaller regions
    // are noise: they count for changedTiles only.
    double minShare = 0.0;
    int minTiles = 4;
    Connectivity connectivity = Connectivity::Eight;
    // An event starts after startFrames measured frames in a row move in
    // its zone, and ends after endFrames measured frames in a row do not
    // (both at least 1). It is dated from its first to its last moving
    // frame.
    int startFrames = 3;
    int endFrames = 10;
};

// One frame as the detector takes it.
struct FrameTiles {
    int64_t index = 0;  // the frame's number, as the caller counts
    double time = 0.0;  // seconds, on any clock that does not go back
    int width = 0;      // the picture in pixels, 1 to 65535 each way
    int height = 0;
    // Every tile is coded: the frame is a complete picture (a key frame),
    // which says nothing about motion.
    bool full = false;
    // The frame's tiles are unknown (it was damaged before its bitmap).
    bool damaged = false;
    // A partial frame's tile bitmap in the stream's layout: one bit per
    // tile in row-major order, rows running on without a gap, the most
    // significant bit of the first byte for the top left tile; a set bit is
    // a changed tile. (columns x rows + 7) / 8 bytes are read. Null when the
    // frame is full or damaged (a partial frame without one counts as
    // damaged). Only read during update().
    const uint8_t* bitmap = nullptr;
};

// Why a frame was or was not measured.
enum class FrameUse {
    Measured,
    FullFrame,  // skipped: a complete picture is no change
    Damaged,    // skipped: its tiles are unknown
};

// One zone in one frame.
struct ZoneMotion {
    int zoneTiles = 0;     // the zone's tiles in this picture
    int changedTiles = 0;  // changed tiles in the zone
    int movingTiles = 0;   // of them, those in regions of at least minTiles
    double share = 0.0;    // movingTiles / zoneTiles
    // Tiles of the largest connected region of changed tiles in the zone
    // (of equal ones, the one that begins first in row-major order).
    int largestRegion = 0;
    TileRect box;  // around that region; empty when nothing changed
    bool moving = false;    // the frame moves in the zone (MotionSettings)
    bool inEvent = false;   // an event of the zone is open after this frame
};

struct MotionEvent {
    enum class Kind {
        Start,  // the event has just been recognised: its end and peak are so far
        End,    // the event is over: every field is final
    };
    Kind kind = Kind::Start;
    int zone = 0;  // index into MotionDetector::settings().zones
    int64_t startFrame = 0;  // the first moving frame
    double startTime = 0.0;
    int64_t endFrame = 0;  // the last moving frame
    double endTime = 0.0;
    double peakShare = 0.0;  // the largest share of a moving frame
    TileRect box;            // around the largest regions of its moving frames
};

struct MotionFrame {
    int64_t index = 0;
    double time = 0.0;
    FrameUse use = FrameUse::Measured;
    // One per zone, in the order of settings().zones; all zero when the
    // frame was skipped.
    std::vector<ZoneMotion> zones;
    // Events that this frame started or ended, by zone. A change of the
    // picture size ends the open ones at their last moving frame.
    std::vector<MotionEvent> events;
};

// How often each tile was part of a region of at least minTiles connected
// changed tiles (in the whole picture, whatever the zones), counted over
// the measured frames since the last reset or change of the picture size.
struct HeatMap {
    int columns = 0;
    int rows = 0;
    std::vector<uint32_t> counts;  // columns x rows, row-major
    int64_t frames = 0;            // measured frames counted
};

class MotionDetector {
public:
    // Throws vorc::InvalidArgument for a setting out of range or an area
    // without width or height, or with a mask of the wrong size.
    explicit MotionDetector(MotionSettings settings = MotionSettings());
    ~MotionDetector();
    // A detector that has been moved from may only be destroyed or assigned to.
    MotionDetector(MotionDetector&&) noexcept;
    MotionDetector& operator=(MotionDetector&&) noexcept;

    // Measures one frame. The result stays valid until the next call of
    // update() or finish(). Throws vorc::InvalidArgument for a picture size
    // out of range.
    const MotionFrame& update(const FrameTiles& frame);
    // Ends the open events at their last moving frame, as at the end of a
    // stream; the events ended are returned, by zone.
    const std::vector<MotionEvent>& finish();

    // The zones as used, the "all" zone included when none was given.
    const MotionSettings& settings() const;
    const HeatMap& heatMap() const;
    void resetHeatMap();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vorc

#endif
