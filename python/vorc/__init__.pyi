# Type stubs of the vorc package (checked against it by mypy's stubtest).
import os
from types import TracebackType
from typing import IO, Any, Callable, Iterator, Optional, Union

import numpy
import numpy.typing

from ._vorc import (
    DEFAULT_MAX_PIXELS as DEFAULT_MAX_PIXELS,
    Error as Error,
    Frame as Frame,
    MotionDetector as MotionDetector,
    MotionEvent as MotionEvent,
    MotionFrame as MotionFrame,
    SourceError as SourceError,
    TileRect as TileRect,
    TimeoutError as TimeoutError,
    Zone as Zone,
    ZoneArea as ZoneArea,
    ZoneMotion as ZoneMotion,
    __version__ as __version__,
)

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

_Source = Union[str, os.PathLike[str], os.PathLike[bytes], bytes, bytearray, memoryview, IO[bytes], int]
_StatusCallback = Callable[[str, str], object]

class JpegImage(bytes):
    index: int  # type: ignore[assignment]  # the frame's index, over bytes.index()
    timestamp: float
    offset: int
    width: int
    height: int
    damaged: bool
    stale: bool
    full_frame: bool
    coded_tiles: int
    changed_tiles: Optional[numpy.typing.NDArray[numpy.bool_]]

class Reader:
    def __init__(self, source: _Source, format: str = "rgb", jpeg: bool = False, *, timeout: float = 10.0,
                 max_pixels: int = ..., fps: float = 0.0, file_fps: float = 25.0,
                 status: Optional[_StatusCallback] = None) -> None: ...
    def __iter__(self) -> Reader: ...
    def __next__(self) -> Union[Frame, JpegImage]: ...
    def next(self) -> Optional[Frame]: ...
    def next_jpeg(self) -> Optional[JpegImage]: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def damaged_frames(self) -> int: ...
    def __enter__(self) -> Reader: ...
    def __exit__(self, exc_type: Optional[type[BaseException]], exc_value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...

def open(source: _Source, format: str = "rgb", jpeg: bool = False, *, timeout: float = 10.0,
         max_pixels: int = ..., fps: float = 0.0, file_fps: float = 25.0,
         status: Optional[_StatusCallback] = None) -> Reader: ...
