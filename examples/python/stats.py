"""Brightness of every frame of a stream file, standard input ("-") or a live
camera (HOST:PORT):  python3 stats.py data/sample.tesra"""
import sys

import vorc

with vorc.open(sys.argv[1], format="gray") as reader:
    for frame in reader:
        picture = frame.to_numpy()  # a view of the frame's pixels, no copy
        print(f"frame {frame.index} at {frame.timestamp:.2f} s: {frame.width}x{frame.height}"
              f" mean {picture.mean():.1f} min {picture.min()} max {picture.max()}"
              f"{' damaged' if frame.damaged else ''}")
