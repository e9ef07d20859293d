// vorc::MotionDetector for Python: motion measured from the frames' tile
// bitmaps (Frame.changed_tiles) without decoding a pixel. The detector's
// plain data become read-only Python classes, and update() copies its
// result, so that what it returned stays valid after the next frame.
#include "python/motion_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "python/tile_arrays.h"
#include "vorc/motion/motion_detector.h"
#include "vorc/reader.h"

namespace py = pybind11;

namespace {

vorc::Connectivity connectivityOf(int neighbours) {
    if (neighbours == 4) return vorc::Connectivity::Four;
    if (neighbours == 8) return vorc::Connectivity::Eight;
    throw py::value_error("connectivity must be 4 (edges) or 8 (edges and corners), not " +
                          std::to_string(neighbours));
}

// A frame as the detector takes it, with the bitmap it points to.
struct TilesOfFrame {
    vorc::FrameTiles tiles;
    std::vector<uint8_t> bitmap;  // packed here from an array, when needed
};

// A vorc.Frame as it is; anything else (a vorc.JpegImage, an object of the
// caller's) by its attributes index, timestamp, width, height, full_frame,
// damaged and changed_tiles.
void readTiles(const py::object& frame, TilesOfFrame* read) {
    vorc::FrameTiles& tiles = read->tiles;
    if (py::isinstance<vorc::Frame>(frame)) {
        const auto& decoded = frame.cast<const vorc::Frame&>();
        tiles.index = int64_t(decoded.index);
        tiles.time = decoded.timestamp;
        tiles.width = decoded.width;
        tiles.height = decoded.height;
        tiles.full = decoded.fullFrame;
        tiles.damaged = decoded.damaged;
        if (!decoded.tileBitmap.empty()) tiles.bitmap = decoded.tileBitmap.data();
        return;
    }
    tiles.index = frame.attr("index").cast<int64_t>();
    tiles.time = frame.attr("timestamp").cast<double>();
    tiles.width = frame.attr("width").cast<int>();
    tiles.height = frame.attr("height").cast<int>();
    tiles.full = frame.attr("full_frame").cast<bool>();
    tiles.damaged = frame.attr("damaged").cast<bool>();
    if (tiles.full || tiles.damaged) return;
    const py::object changed = frame.attr("changed_tiles");
    if (changed.is_none()) return;  // unknown tiles: taken as damaged
    read->bitmap = packTileArray(changed, tiles.width, tiles.height);
    tiles.bitmap = read->bitmap.data();
}

const char* useName(vorc::FrameUse use) {
    switch (use) {
        case vorc::FrameUse::FullFrame:
            return "full_frame";
        case vorc::FrameUse::Damaged:
            return "damaged";
        case vorc::FrameUse::Measured:
            break;
    }
    return "measured";
}

py::object boxOrNone(const vorc::TileRect& box) { return box.empty() ? py::none() : py::cast(box); }

void defineResults(py::module_& m) {
    py::class_<vorc::TileRect>(m, "TileRect", "A rectangle of 16x16 tiles: first column and row, and how many of each.")
        .def_readonly("column", &vorc::TileRect::column, "The first tile column, from 0 at the left.")
        .def_readonly("row", &vorc::TileRect::row, "The first tile row, from 0 at the top.")
        .def_readonly("columns", &vorc::TileRect::columns, "How many tile columns.")
        .def_readonly("rows", &vorc::TileRect::rows, "How many tile rows.")
        .def(
            "to_pixels",
            [](const vorc::TileRect& tiles, int width, int height) {
                const vorc::PixelRect pixels = vorc::pixelsOfTiles(tiles, width, height);
                return py::make_tuple(pixels.x, pixels.y, pixels.width, pixels.height);
            },
            py::arg("width"), py::arg("height"),
            "The rectangle in pixels, (x, y, width, height), in a picture of this size: the last tile column "
            "and row are cut at the picture's edge.")
        .def("__repr__", [](const vorc::TileRect& tiles) {
            return "<vorc.TileRect " + std::to_string(tiles.column) + "," + std::to_string(tiles.row) + " " +
                   std::to_string(tiles.columns) + "x" + std::to_string(tiles.rows) + ">";
        });

    py::class_<vorc::ZoneMotion>(m, "ZoneMotion", "One zone in one frame.")
        .def_readonly("zone_tiles", &vorc::ZoneMotion::zoneTiles, "The zone's tiles in this picture.")
        .def_readonly("changed_tiles", &vorc::ZoneMotion::changedTiles, "Changed tiles in the zone.")
        .def_readonly("moving_tiles", &vorc::ZoneMotion::movingTiles,
                      "Of the changed tiles, those in connected regions of at least min_tiles.")
        .def_readonly("share", &vorc::ZoneMotion::share, "moving_tiles / zone_tiles, from 0 to 1.")
        .def_readonly("largest_region", &vorc::ZoneMotion::largestRegion,
                      "Tiles of the largest connected region of changed tiles in the zone.")
        .def_property_readonly(
            "box", [](const vorc::ZoneMotion& zone) { return boxOrNone(zone.box); },
            "The TileRect around the largest region, or None when nothing changed.")
        .def_readonly("moving", &vorc::ZoneMotion::moving,
                      "The frame moves in the zone: it has a region of at least min_tiles and a share of at "
                      "least min_share.")
        .def_readonly("in_event", &vorc::ZoneMotion::inEvent, "An event of the zone is open after this frame.");

    py::class_<vorc::MotionEvent>(m, "MotionEvent", R"doc(An event: a run of frames that moved in one zone.

kind is "start" when the event has just been recognised (its end and peak
are those so far) and "end" when it is over (every field final).)doc")
        .def_property_readonly(
            "kind", [](const vorc::MotionEvent& event) { return event.kind == vorc::MotionEvent::Kind::Start ? "start" : "end"; },
            "\"start\" or \"end\".")
        .def_readonly("zone", &vorc::MotionEvent::zone, "The zone's place in MotionDetector.zone_names.")
        .def_readonly("start_frame", &vorc::MotionEvent::startFrame, "The index of the first moving frame.")
        .def_readonly("start_time", &vorc::MotionEvent::startTime, "Its timestamp.")
        .def_readonly("end_frame", &vorc::MotionEvent::endFrame, "The index of the last moving frame.")
        .def_readonly("end_time", &vorc::MotionEvent::endTime, "Its timestamp.")
        .def_readonly("peak_share", &vorc::MotionEvent::peakShare, "The largest share of a moving frame.")
        .def_property_readonly(
            "box", [](const vorc::MotionEvent& event) { return boxOrNone(event.box); },
            "The TileRect around the largest regions of its moving frames.")
        .def("__repr__", [](const vorc::MotionEvent& event) {
            return std::string("<vorc.MotionEvent ") + (event.kind == vorc::MotionEvent::Kind::Start ? "start" : "end") +
                   " of zone " + std::to_string(event.zone) + ", frames " + std::to_string(event.startFrame) + "-" +
                   std::to_string(event.endFrame) + ">";
        });

    py::class_<vorc::MotionFrame>(m, "MotionFrame", "What the detector found in one frame.")
        .def_readonly("index", &vorc::MotionFrame::index, "The frame's index.")
        .def_readonly("time", &vorc::MotionFrame::time, "The frame's timestamp.")
        .def_property_readonly(
            "use", [](const vorc::MotionFrame& frame) { return useName(frame.use); },
            "\"measured\", or why the frame was skipped: \"full_frame\" (a complete picture is no change) or "
            "\"damaged\" (its tiles are unknown).")
        .def_readonly("zones", &vorc::MotionFrame::zones,
                      "A ZoneMotion per zone, in the order of zone_names; all zero for a skipped frame.")
        .def_readonly("events", &vorc::MotionFrame::events, "The MotionEvents this frame started or ended.")
        .def_property_readonly(
            "moving",
            [](const vorc::MotionFrame& frame) {
                for (const vorc::ZoneMotion& zone : frame.zones)
                    if (zone.moving) return true;
                return false;
            },
            "The frame moves in at least one zone.");
}

void defineZones(py::module_& m) {
    py::class_<vorc::ZoneArea>(m, "ZoneArea", R"doc(One part of a zone: a rectangle in tiles or pixels, or a tile mask.

Made by ZoneArea.tiles(), ZoneArea.pixels() or ZoneArea.mask(). A
rectangle in pixels covers every tile it touches; parts outside the picture
are left out. exclude=True takes the area out of its zone.)doc")
        .def_static(
            "tiles",
            [](int column, int row, int columns, int rows, bool exclude) {
                vorc::ZoneArea area = vorc::ZoneArea::tiles(column, row, columns, rows);
                area.exclude = exclude;
                return area;
            },
            py::arg("column"), py::arg("row"), py::arg("columns"), py::arg("rows"), py::arg("exclude") = false,
            "A rectangle of tiles: first column and row, how many of each (at least 1).")
        .def_static(
            "pixels",
            [](int x, int y, int width, int height, bool exclude) {
                vorc::ZoneArea area = vorc::ZoneArea::pixels(x, y, width, height);
                area.exclude = exclude;
                return area;
            },
            py::arg("x"), py::arg("y"), py::arg("width"), py::arg("height"), py::arg("exclude") = false,
            "A rectangle of pixels, widened to the tiles it touches.")
        .def_static(
            "mask",
            [](const py::object& mask, bool exclude) {
                const auto tiles = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(mask);
                if (!tiles || tiles.ndim() != 2 || tiles.shape(0) < 1 || tiles.shape(1) < 1) {
                    throw py::value_error("a zone mask is a boolean array of tile rows x tile columns");
                }
                vorc::ZoneArea area = vorc::ZoneArea::tileMask(
                    int(tiles.shape(1)), int(tiles.shape(0)), std::vector<uint8_t>(tiles.data(), tiles.data() + tiles.size()));
                area.exclude = exclude;
                return area;
            },
            py::arg("mask"), py::arg("exclude") = false,
            "A tile mask for the picture from its top left tile: a boolean array of tile rows x tile columns "
            "(such as a frame's changed_tiles); True puts a tile in the area.")
        .def_property_readonly(
            "unit", [](const vorc::ZoneArea& area) { return area.unit == vorc::ZoneArea::Unit::Tiles ? "tiles" : "pixels"; },
            "\"tiles\" or \"pixels\".")
        .def_readonly("left", &vorc::ZoneArea::left, "The left edge, in its unit.")
        .def_readonly("top", &vorc::ZoneArea::top, "The top edge, in its unit.")
        .def_readonly("width", &vorc::ZoneArea::width, "The width, in its unit.")
        .def_readonly("height", &vorc::ZoneArea::height, "The height, in its unit.")
        .def_readonly("exclude", &vorc::ZoneArea::exclude, "The area is taken out of its zone.");

    py::class_<vorc::Zone>(m, "Zone", R"doc(A named zone: the tiles of its included areas less those of its
excluded ones. A zone without an included area starts from the whole
picture.)doc")
        .def(py::init([](std::string name, std::vector<vorc::ZoneArea> areas) {
                 return vorc::Zone{std::move(name), std::move(areas)};
             }),
             py::arg("name"), py::arg("areas") = std::vector<vorc::ZoneArea>())
        .def_readonly("name", &vorc::Zone::name, "The zone's name.")
        .def_readonly("areas", &vorc::Zone::areas, "Its ZoneAreas.");
}

void defineDetector(py::module_& m) {
    py::class_<vorc::MotionDetector>(m, "MotionDetector", R"doc(Motion from the stream itself, without decoding a pixel.

A partial frame carries only the 16x16 tiles the camera coded again, and
its bitmap (Frame.changed_tiles) names them. The detector takes frame after
frame and measures, per zone, the changed tiles that form connected regions
of at least min_tiles (smaller ones are noise); a frame moves in a zone when
such regions make at least min_share of it. An event starts after
start_frames moving frames in a row and ends after end_frames frames
without motion. Full frames (key frames) and damaged frames are skipped.

    detector = vorc.MotionDetector(zones=[vorc.Zone("door", [vorc.ZoneArea.pixels(640, 200, 320, 480)])])
    for frame in vorc.open("camera.tesra", jpeg=True):
        for event in detector.update(frame).events:
            print(event.kind, detector.zone_names[event.zone], event.start_frame)
    for event in detector.finish():
        print("end", event.end_frame)

zones: Zones (none: one zone named "all", the whole picture); min_share:
0 to 1; min_tiles: at least 1; connectivity: 8 (tiles touching at an edge
or a corner are connected) or 4 (edges only); start_frames and end_frames:
at least 1. A setting out of range raises ValueError.)doc")
        .def(py::init([](std::vector<vorc::Zone> zones, double minShare, int minTiles, int connectivity,
                         int startFrames, int endFrames) {
                 vorc::MotionSettings settings;
                 settings.zones = std::move(zones);
                 settings.minShare = minShare;
                 settings.minTiles = minTiles;
                 settings.connectivity = connectivityOf(connectivity);
                 settings.startFrames = startFrames;
                 settings.endFrames = endFrames;
                 return vorc::MotionDetector(std::move(settings));
             }),
             py::arg("zones") = std::vector<vorc::Zone>(), py::arg("min_share") = 0.0, py::arg("min_tiles") = 4,
             py::arg("connectivity") = 8, py::arg("start_frames") = 3, py::arg("end_frames") = 10)
        .def(
            "update",
            [](vorc::MotionDetector& detector, const py::object& frame) -> py::object {
                TilesOfFrame read;
                readTiles(frame, &read);
                if (read.tiles.width <= 0 || read.tiles.height <= 0) return py::none();
                return py::cast(detector.update(read.tiles), py::return_value_policy::copy);
            },
            py::arg("frame"), R"doc(Measures one frame and returns its MotionFrame.

frame is a vorc.Frame, a vorc.JpegImage, or any object with index,
timestamp, width, height, full_frame, damaged and changed_tiles (a boolean
array of tile rows x tile columns, or None when unknown). Returns None for
a frame without a picture (width 0), which the detector does not see. A new
picture size ends the open events and starts the heat map anew.)doc")
        .def(
            "finish", [](vorc::MotionDetector& detector) { return detector.finish(); },
            "Ends the open events at their last moving frame, as at the end of a stream, and returns them.")
        .def_property_readonly(
            "zone_names",
            [](const vorc::MotionDetector& detector) {
                std::vector<std::string> names;
                for (const vorc::Zone& zone : detector.settings().zones) names.push_back(zone.name);
                return names;
            },
            "The zones' names, in the order of MotionFrame.zones (\"all\" when no zone was given).")
        .def_property_readonly(
            "heat_map",
            [](const vorc::MotionDetector& detector) {
                const vorc::HeatMap& heat = detector.heatMap();
                py::array_t<uint32_t> counts({py::ssize_t(heat.rows), py::ssize_t(heat.columns)});
                std::copy(heat.counts.begin(), heat.counts.end(), counts.mutable_data());
                return counts;
            },
            "How often each tile was part of a region of at least min_tiles changed tiles, over the measured "
            "frames since the last reset or change of picture size: a NumPy uint32 array of tile rows x tile "
            "columns (a copy).")
        .def_property_readonly(
            "heat_map_frames", [](const vorc::MotionDetector& detector) { return detector.heatMap().frames; },
            "The measured frames the heat map counts.")
        .def("reset_heat_map", &vorc::MotionDetector::resetHeatMap, "Starts the heat map anew.");
}

}  // namespace

void defineMotion(py::module_& m) {
    defineResults(m);
    defineZones(m);
    defineDetector(m);
}
