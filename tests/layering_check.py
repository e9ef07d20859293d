#!/usr/bin/env python3
"""The rooms of the library and of the tool, and the order they stand in: a
file in a room may include headers of its own room and of the rooms below
it, never of one above or beside it. So no circle of includes can form
between rooms, and a new room must be given its place here. The tool stands
on the library: tools/ may include any of vorc/, vorc/ nothing of tools/.
Reads every #include "vorc/ROOM/..." and #include "tools/ROOM/..." under
vorc/ and tools/; exits 1 naming each include that goes the wrong way."""
import os
import re
import sys

# Lowest first. vorc.h, reader.h and vorc_c.h at the top of vorc/ stand above all,
# but each room may include the one that declares its interface.
LIBRARY_FLOORS = [
    ["core"],       # status messages, exceptions, the chain's interfaces
    ["util"],       # lap timer, value range, base64
    ["jpeg"],       # the baseline JPEG code: tables, bit readers and writers, block codecs
    ["dsp"],        # the kernel table: transforms, colour, marker search, tile decoding
    ["parse"],      # the framewise parser and the frame it hands on
    ["sources"],    # files, descriptors, live cameras
    ["sinks"],      # byte and JPEG receivers
    ["backends"],   # receivers of decoded tiles and frame events
    ["decode"],     # the pixel decoder
    ["transcode"],  # the JPEG transcoder
    ["encode"],     # the stream encoder
    ["motion"],     # motion from tile bitmaps
    ["chain"],      # the chain builder and frame tracker
    ["reader"],     # vorc::Reader
    ["capi"],       # the C interface over the Reader
]
# Lowest first; rooms on one floor stand beside each other.
TOOL_FLOORS = [
    ["imageio", "matroska"],        # PNG and PPM files; the Matroska writer module
    ["cli"],                        # options, status output, exit statuses, the outputs on the chain
    ["net", "record"],              # HTTP heads, sockets, the camera as a source; recordings
    ["motion", "camera"],           # the larger parts of one command each
    ["serve"],                      # vorc serve, which reports motion
    ["commands"],                   # one file per command, and main()
]
INCLUDE = re.compile(r'\s*#\s*include\s*"(vorc|tools)/(?:([a-z_]+)/)?')


def floors_of(floors):
    return {room: floor for floor, rooms in enumerate(floors) for room in rooms}


def check_tree(root, tree, floors, may_include, problems):
    """Checks the includes of every file under root/tree. may_include names
    the other trees its files may include, at any room."""
    rank = floors_of(floors)
    top = os.path.join(root, tree)
    for folder, _, files in sorted(os.walk(top)):
        relative = os.path.relpath(folder, top)
        room = None if relative == "." else relative.split(os.sep)[0]
        if room is not None and room not in rank:
            problems.append(f"{tree}/{room}/ has no floor in {__file__}")
            continue
        for name in sorted(files):
            path = os.path.join(folder, name)
            where = os.path.relpath(path, root)
            with open(path, encoding="utf-8") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    target_tree, target = match.group(1), match.group(2)
                    if target_tree != tree:
                        if target_tree not in may_include:
                            problems.append(f"{where}:{number}: {tree}/ includes {target_tree}/, which stands above it")
                        continue
                    # The headers at the top of a tree (vorc/vorc.h,
                    # vorc/reader.h, vorc/vorc_c.h) are the interfaces of the rooms below.
                    if room is None or target is None:
                        continue
                    if target not in rank:
                        problems.append(f"{where}:{number}: unknown room in {line.strip()}")
                    elif rank[target] > rank[room] or (rank[target] == rank[room] and target != room):
                        side = "above" if rank[target] > rank[room] else "beside"
                        problems.append(f"{where}:{number}: {room} includes {target}, which stands {side} it")


def main(root):
    problems = []
    check_tree(root, "vorc", LIBRARY_FLOORS, set(), problems)
    check_tree(root, "tools", TOOL_FLOORS, {"vorc"}, problems)
    for problem in problems:
        print(problem)
    print(f"layering: {len(problems)} include(s) against the order of rooms")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")))
