"""Reading Tesra camera streams: frames as NumPy arrays, JPEG images, motion.

    import numpy, vorc
    with vorc.open("clip.tesra", format="bgr") as reader:
        for frame in reader:
            picture = frame.to_numpy()       # height x width x 3, uint8, no copy
            print(frame.index, frame.timestamp, frame.damaged, picture.mean())

vorc.open(source, format="rgb", jpeg=False, *, timeout=10.0,
max_pixels=DEFAULT_MAX_PIXELS, fps=0.0, file_fps=25.0, status=None) opens
a source at once (raising if it cannot) and returns a Reader: an iterator
over its frames and a context manager that closes it. It is Reader(...)
under another name; `from vorc import *` does not bring it in, so the
built-in open stays what it is.

The source is
  - a str: a file path, "-" for standard input, or a camera as HOST:PORT
    (an IPv4 address, a host name, or [IPv6]); an existing file wins;
  - an os.PathLike (pathlib.Path): a file;
  - bytes, bytearray or memoryview: a whole stream in memory, read in place;
  - a binary file object (anything with read(), such as open(path, "rb"),
    io.BytesIO, sys.stdin.buffer or a socket's makefile("rb"));
  - an int: a descriptor, read from where it stands and never closed.

Formats: "rgb" (default), "bgr" (for OpenCV), "rgba", "gray", and "i420"
(the Y, U and V planes stacked, (height * 3 / 2) x width; flat when a side
is odd). With jpeg=True the Reader yields JpegImage objects (bytes of a
complete JPEG image) instead of decoded frames.

Frames carry index (from 1), timestamp (for a camera the time the frame
arrived, in seconds since the epoch; for anything else its place at
file_fps frames a second), offset in the stream, width, height, damaged,
stale, full_frame, coded_tiles and changed_tiles (the tile bitmap as a
NumPy boolean array). Damaged frames come out flagged instead of ending
the stream. Each frame owns its pixels: frame.to_numpy() and
numpy.asarray(frame) are views that stay valid and unchanged for as long
as they are kept, whatever is read after them.

Errors: a file that cannot be opened raises the built-in OSError subclass
of its errno (FileNotFoundError, PermissionError, IsADirectoryError), as
the built-in open does. Anything else about the source raises SourceError
(an OSError, also for a camera that answers other than HTTP 200) or
TimeoutError (a SourceError and a built-in TimeoutError) when the source
stays silent for timeout seconds. Ctrl-C raises KeyboardInterrupt within
a fraction of a second, whatever the timeout, also while a camera connects.

MotionDetector finds motion from the frames' tile bitmaps alone, without
decoding a pixel: read with jpeg=True, or any format, and feed it every
frame.
"""

import io as _io
import os as _os

from ._vorc import (
    DEFAULT_MAX_PIXELS,
    Error,
    Frame,
    MotionDetector,
    MotionEvent,
    MotionFrame,
    SourceError,
    TileRect,
    TimeoutError,
    Zone,
    ZoneArea,
    ZoneMotion,
    __version__,
)
from ._vorc import _Reader

__all__ = [
    "DEFAULT_MAX_PIXELS",
    "Error",
    "Frame",
    "JpegImage",
    "MotionDetector",
    "MotionEvent",
    "MotionFrame",
    "Reader",
    "SourceError",
    "TileRect",
    "TimeoutError",
    "Zone",
    "ZoneArea",
    "ZoneMotion",
]


class JpegImage(bytes):
    """One frame as a complete JPEG image: its bytes (empty if a damaged
    frame could not be transcoded), with the frame's index, timestamp,
    offset, width, height, damaged, stale, full_frame, coded_tiles and
    changed_tiles, as on Frame."""

    index: int
    timestamp: float
    offset: int
    width: int
    height: int
    damaged: bool
    stale: bool
    full_frame: bool
    coded_tiles: int
    changed_tiles: object

    def __repr__(self):
        return f"<vorc.JpegImage {self.index}: {self.width}x{self.height}, {len(self)} bytes" + (
            ", damaged>" if self.damaged else ">")


def _source_kind(source):
    """The kind of source for the extension, and the source as it takes it."""
    if isinstance(source, str):
        return "name", source
    if isinstance(source, _os.PathLike):
        return "file", _os.fsdecode(_os.fspath(source))
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "memory", source
    if isinstance(source, bool):
        raise TypeError("a source is a path, HOST:PORT, bytes, a binary file object or a descriptor, not bool")
    if isinstance(source, int):
        return "descriptor", source
    if isinstance(source, _io.TextIOBase):
        raise TypeError("a file object must be opened in binary mode ('rb'), not text mode")
    if callable(getattr(source, "read", None)):
        return "stream", source
    raise TypeError("a source is a path, HOST:PORT, bytes, a binary file object or a descriptor, not "
                    + type(source).__name__)


class Reader:
    """Frames of one Tesra stream, read one at a time.

    Reader(source, format="rgb", jpeg=False, *, timeout=10.0,
    max_pixels=DEFAULT_MAX_PIXELS, fps=0.0, file_fps=25.0, status=None)
    opens source at once; vorc.open() is the same. The module's help names
    the kinds of source and formats.

    Iterating gives Frame objects, or JpegImage objects with jpeg=True,
    until the source ends. The Reader is its own iterator and a context
    manager: leaving the with block closes it.

    Options: timeout, the seconds a camera may take to connect and any
    source may stay silent (0 waits for ever; infinity, NaN and negative
    values raise ValueError); max_pixels, above which a picture is not
    decoded and its frames come out damaged and empty; fps, the frame rate
    asked of a camera (0: its maximum); file_fps, the rate that dates the
    frames of any other source (timestamp = (index - 1) / file_fps);
    status, called as status(level, message) with level "info",
    "warning" or "error" for the library's messages (none are printed).

    One Reader is used by one thread at a time (a lock keeps it so);
    Readers on different threads decode in parallel, the GIL released.
    """

    def __init__(self, source, format="rgb", jpeg=False, *, timeout=10.0, max_pixels=DEFAULT_MAX_PIXELS,
                 fps=0.0, file_fps=25.0, status=None):
        kind, opened = _source_kind(source)
        self._reader = _Reader(opened, kind, format, timeout, max_pixels, fps, file_fps, status)
        self._jpeg = jpeg
        self._source = source

    def __iter__(self):
        return self

    def __next__(self):
        frame = self.next_jpeg() if self._jpeg else self.next()
        if frame is None:
            raise StopIteration
        return frame

    def next(self):
        """The next decoded Frame, or None at the end of the source."""
        return self._reader.next()

    def next_jpeg(self):
        """The next frame as a JpegImage, or None at the end of the source.

        A Reader gives either decoded frames or JPEG images: the first
        read fixes which, and the other then raises RuntimeError."""
        got = self._reader.next_jpeg()
        if got is None:
            return None
        image = JpegImage(got[0])
        image.__dict__.update(got[1])
        return image

    def close(self):
        """Closes the source (a camera's connection, a file). Reading a
        closed Reader raises ValueError; closing again does nothing."""
        self._reader.close()

    @property
    def closed(self):
        """True once the Reader is closed."""
        return self._reader.closed

    @property
    def damaged_frames(self):
        """How many frames so far were damaged."""
        return self._reader.damaged_frames

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return f"<vorc.Reader {self._source!r}, {state}>"


def open(source, format="rgb", jpeg=False, *, timeout=10.0, max_pixels=DEFAULT_MAX_PIXELS, fps=0.0,
         file_fps=25.0, status=None):
    """Opens source and returns a Reader over its frames: Reader(source,
    format, jpeg, ...) under another name (see Reader and the module's
    help). Not in __all__, so that `from vorc import *` leaves the
    built-in open alone."""
    return Reader(source, format, jpeg, timeout=timeout, max_pixels=max_pixels, fps=fps, file_fps=file_fps,
                  status=status)
