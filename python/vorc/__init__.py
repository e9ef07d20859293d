"""Reading Tesra camera streams from Python.

    import numpy, vorc
    for frame in vorc.open("clip.tesra", format="bgr"):
        picture = numpy.asarray(frame)      # height x width x 3, uint8, no copy
        print(frame.index, frame.damaged, picture.mean())

A source is a file path, "-" for standard input, or a camera as HOST:PORT.
Formats: "rgb" (default), "bgr" (for OpenCV), "rgba", "gray", and "i420"
(the Y, U and V planes stacked, (height * 3 / 2) x width; flat when a side
is odd). Damaged frames come out flagged instead of ending the stream.
Each frame owns its pixels: numpy.asarray(frame) stays valid, and
unchanged, while later frames are read, for as long as the view (or the
frame) is kept.

Errors raise vorc.SourceError (an OSError) or vorc.TimeoutError (a
TimeoutError; a silent camera is then given up) with the reason; a camera
that answers anything but HTTP 200 raises SourceError naming its status.
"""

from ._vorc import Error, Frame, Reader, SourceError, TimeoutError

__all__ = ["Error", "Frame", "JpegImage", "Reader", "SourceError", "TimeoutError", "open"]


class JpegImage(bytes):
    """One frame as a complete JPEG image (empty if a damaged frame could
    not be transcoded), with the frame's index, width, height, damaged,
    full_frame and coded_tiles."""


def open(source, format="rgb", jpeg=False, **options):
    """Opens source at once (raising if it cannot be opened) and returns an
    iterator over its frames: Frame objects, or JpegImage bytes with
    jpeg=True. Options: timeout in seconds (default 10, 0 waits for ever;
    infinity, NaN and negative values raise ValueError),
    max_pixels (larger pictures come out as damaged, empty frames), fps
    asked of a camera (0: its maximum), and status, called as
    status(level, message) with level "info" or "warning"."""
    reader = Reader(source, format, **options)
    return _jpeg_images(reader) if jpeg else _frames(reader)


def _frames(reader):
    while (frame := reader.next()) is not None:
        yield frame


def _jpeg_images(reader):
    while (frame := reader.next_jpeg()) is not None:
        image = JpegImage(frame[0])
        (image.index, image.width, image.height, image.damaged,
         image.full_frame, image.coded_tiles) = frame[1:]
        yield image
