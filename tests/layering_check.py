#!/usr/bin/env python3
"""The library's rooms and the order they stand in: a file in a room may
include headers of the rooms below it, never of one above. So no circle of
includes can form between rooms, and a new room must be given its place
here. Reads every #include "vorc/ROOM/..." under vorc/; exits 1 naming each
include that goes the wrong way."""
import os
import re
import sys

# Lowest first. vorc.h and reader.h at the top of vorc/ stand above all.
FLOORS = [
    "core",       # status messages, exceptions, the chain's interfaces
    "util",       # lap timer, value range, base64
    "jpeg",       # the baseline JPEG code: tables, bit readers and writers, block codecs
    "dsp",        # the kernel table: transforms, colour, marker search, tile decoding
    "parse",      # the framewise parser and the frame it hands on
    "sources",    # files, descriptors, live cameras
    "sinks",      # byte and JPEG receivers
    "backends",   # receivers of decoded tiles and frame events
    "decode",     # the pixel decoder
    "transcode",  # the JPEG transcoder
    "encode",     # the stream encoder
    "motion",     # motion from tile bitmaps
    "chain",      # the chain builder and frame tracker
    "reader",     # vorc::Reader
    "capi",       # the C interface over the Reader
]
INCLUDE = re.compile(r'#include "vorc/([a-z_]+)/')


def main(root):
    rank = {room: floor for floor, room in enumerate(FLOORS)}
    problems = []
    library = os.path.join(root, "vorc")
    for folder, _, files in sorted(os.walk(library)):
        relative = os.path.relpath(folder, library)
        room = None if relative == "." else relative.split(os.sep)[0]
        if room is not None and room not in rank:
            problems.append(f"vorc/{room}/ has no floor in {__file__}")
            continue
        for name in sorted(files):
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match or room is None:
                        continue
                    target = match.group(1)
                    if target not in rank:
                        problems.append(f"{os.path.relpath(path, root)}:{number}: unknown room '{target}'")
                    elif rank[target] > rank[room]:
                        problems.append(f"{os.path.relpath(path, root)}:{number}: {room} includes {target}, which stands above it")
    for problem in problems:
        print(problem)
    print(f"layering: {len(problems)} include(s) against the order of rooms")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")))
