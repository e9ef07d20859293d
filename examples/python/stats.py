"""Brightness of every frame of a stream file, standard input ("-") or a live
camera (HOST:PORT):  python3 stats.py data/sample.tesra"""
import sys

import numpy
import vorc

for frame in vorc.open(sys.argv[1], format="gray"):
    picture = numpy.asarray(frame)
    print(f"frame {frame.index}: {frame.width}x{frame.height} mean {picture.mean():.1f}"
          f" min {picture.min()} max {picture.max()}{' damaged' if frame.damaged else ''}")
