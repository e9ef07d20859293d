"""vorc.MotionDetector fed from the Reader gives the events that `vorc motion`
finds on its own parse-only path, zone for zone; decoded frames, JPEG images
and objects of the caller's give the same; a tile mask is the rectangle it
draws; the heat map counts the moving tiles; settings out of range raise
ValueError."""
import json
import subprocess

import numpy
import pytest

import vorc

from conftest import TOOL

SETTINGS = ["--min-tiles", "6", "--start-frames", "2", "--end-frames", "3"]
ZONES = ["--zone", "left=0,0,320x480", "--zone", "right=320,0,320x480", "--zone", "right=-320,0,320x160"]


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    path = tmp_path_factory.mktemp("motion") / "scene.tesra"
    subprocess.run([TOOL, "encode", "--synthetic", "-o", str(path), "--quiet"], check=True)
    return str(path)


def tool_events(scene):
    lines = subprocess.run([TOOL, "motion", scene, "--json", *SETTINGS, *ZONES], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    return [event for event in map(json.loads, lines) if event["type"] == "end"]


def detector(left_area=None):
    zones = [vorc.Zone("left", [left_area or vorc.ZoneArea.pixels(0, 0, 320, 480)]),
             vorc.Zone("right", [vorc.ZoneArea.pixels(320, 0, 320, 480),
                                 vorc.ZoneArea.pixels(320, 0, 320, 160, exclude=True)])]
    return vorc.MotionDetector(zones=zones, min_tiles=6, start_frames=2, end_frames=3)


def ended_events(motion, frames):
    events = []
    for frame in frames:
        events += [event for event in motion.update(frame).events if event.kind == "end"]
    return events + motion.finish()


def as_tool_writes(motion, event, width=640, height=480):
    x, y, w, h = event.box.to_pixels(width, height)
    return {"type": "end", "zone": motion.zone_names[event.zone], "start_frame": event.start_frame,
            "start_time": round(event.start_time, 3), "end_frame": event.end_frame,
            "end_time": round(event.end_time, 3), "peak_share": round(event.peak_share, 4),
            "box": {"x": x, "y": y, "width": w, "height": h}}


class Tiles:
    """A frame of the caller's: only the attributes the detector reads."""
    def __init__(self, frame):
        for name in ("index", "timestamp", "width", "height", "full_frame", "damaged", "changed_tiles"):
            setattr(self, name, getattr(frame, name))


def test_events_equal_those_of_the_motion_tool(scene):
    expected = tool_events(scene)
    assert len(expected) >= 2 and {event["zone"] for event in expected} == {"left", "right"}
    frames = list(vorc.open(scene, format="gray"))
    for kind, fed in [("frames", frames), ("jpeg", list(vorc.open(scene, jpeg=True))),
                      ("own objects", [Tiles(frame) for frame in frames])]:
        motion = detector()
        got = sorted((as_tool_writes(motion, event) for event in ended_events(motion, fed)),
                     key=lambda event: (event["start_frame"], event["zone"]))
        assert got == sorted(expected, key=lambda event: (event["start_frame"], event["zone"])), kind
    # The left half as a tile mask is the left rectangle.
    mask = numpy.zeros((30, 40), bool)
    mask[:, :20] = True
    motion = detector(vorc.ZoneArea.mask(mask))
    assert [as_tool_writes(motion, e) for e in ended_events(motion, frames) if e.zone == 0] == [
        e for e in expected if e["zone"] == "left"]


def test_frames_are_measured_skipped_and_counted_in_the_heat_map(scene):
    motion = vorc.MotionDetector(min_tiles=6)
    assert motion.zone_names == ["all"]
    moving_tiles = 0
    uses = []
    for frame in vorc.open(scene, format="gray"):
        result = motion.update(frame)
        uses.append(result.use)
        assert result.index == frame.index and result.time == frame.timestamp
        assert result.use == ("full_frame" if frame.full_frame else "measured")
        zone = result.zones[0]
        if result.use == "measured":
            assert zone.changed_tiles == frame.changed_tiles.sum() and zone.zone_tiles == 30 * 40
            assert zone.share == zone.moving_tiles / zone.zone_tiles and result.moving == zone.moving
        moving_tiles += zone.moving_tiles
    heat = motion.heat_map
    assert heat.shape == (30, 40) and heat.dtype == numpy.uint32
    assert heat.sum() == moving_tiles > 0 and motion.heat_map_frames == uses.count("measured")
    motion.reset_heat_map()
    assert motion.heat_map.sum() == 0 and motion.heat_map_frames == 0


def test_settings_out_of_range_raise_value_error():
    for settings in [dict(min_share=1.5), dict(min_tiles=0), dict(connectivity=6), dict(start_frames=0),
                     dict(end_frames=0), dict(zones=[vorc.Zone("empty", [vorc.ZoneArea.tiles(0, 0, 0, 1)])])]:
        with pytest.raises(ValueError):
            vorc.MotionDetector(**settings)
    motion = vorc.MotionDetector()

    class Wrong(Tiles):
        def __init__(self):
            self.index, self.timestamp, self.width, self.height = 1, 0.0, 64, 32
            self.full_frame, self.damaged, self.changed_tiles = False, False, numpy.ones((3, 3), bool)

    with pytest.raises(ValueError, match="2 x 4 tiles"):
        motion.update(Wrong())
