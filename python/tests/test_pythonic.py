"""The module as Python users expect it: every kind of source gives the same
frames; the Reader is an iterator and a context manager that closes; files
that cannot be opened raise the OSError of their errno; timestamps follow
file_fps; `from vorc import *` keeps the built-in open; every public name
is documented; a view of a frame's pixels keeps its frame and its bytes;
Ctrl-C interrupts a read or a connection at once, whatever the timeout."""
import inspect
import io
import os
import pathlib
import select
import signal
import socket
import subprocess
import sys
import time

import numpy
import pytest

import vorc

from conftest import FRAMES


def frames_of(reader):
    return [(frame.index, frame.offset, frame.timestamp, frame.to_numpy(copy=True)) for frame in reader]


def test_every_kind_of_source_gives_the_same_frames(sample):
    expected = frames_of(vorc.open(sample))
    assert len(expected) == FRAMES
    data = pathlib.Path(sample).read_bytes()

    class OnlyRead:
        """A file object of the caller's with read() alone, in small pieces."""
        def __init__(self):
            self.stream = io.BytesIO(data)

        def read(self, size):
            return self.stream.read(min(size, 777))

    with open(sample, "rb") as file:
        descriptor = os.open(sample, os.O_RDONLY)
        try:
            sources = {
                "pathlib.Path": pathlib.Path(sample),
                "bytes": data,
                "bytearray": bytearray(data),
                "memoryview": memoryview(data),
                "binary file": file,
                "io.BytesIO": io.BytesIO(data),
                "read() only": OnlyRead(),
                "descriptor": descriptor,
            }
            for kind, source in sources.items():
                got = frames_of(vorc.open(source))
                assert [g[:3] for g in got] == [e[:3] for e in expected], kind
                assert all(numpy.array_equal(g[3], e[3]) for g, e in zip(got, expected)), kind
            # The descriptor is the caller's: read to its end, not closed.
            assert os.lseek(descriptor, 0, os.SEEK_CUR) == len(data)
        finally:
            os.close(descriptor)
    with pytest.raises(TypeError, match="binary mode"):
        vorc.open(open(sample, encoding="latin-1"))
    with pytest.raises(TypeError, match="not float"):
        vorc.open(1.5)


def test_a_file_object_that_fails_raises_its_own_exception(sample):
    class Failing(io.RawIOBase):
        def readinto(self, buffer):
            raise ConnectionResetError("the peer went away")

    with pytest.raises(ConnectionResetError, match="went away"):
        next(vorc.open(Failing()))

    class Text:
        def read(self, size):
            return "text"

    with pytest.raises(TypeError, match="returned str"):
        next(vorc.open(Text()))


def test_the_reader_is_an_iterator_and_a_context_manager_that_closes(sample):
    with vorc.open(sample) as reader:
        assert iter(reader) is reader
        first = next(reader)
        assert first.index == 1 and not reader.closed
    assert reader.closed
    with pytest.raises(ValueError, match="closed"):
        next(reader)
    reader.close()  # again: nothing happens
    # A frame outlives its Reader, and so does its view.
    assert first.to_numpy().shape == (480, 640, 3)
    with vorc.open(sample, jpeg=True) as images:
        image = next(images)
        assert isinstance(image, bytes) and image[:2] == b"\xff\xd8" and image.index == 1
        assert image.full_frame and image.changed_tiles.all()
        with pytest.raises(RuntimeError, match="cannot be mixed"):
            images.next()
    assert len(list(vorc.Reader(sample))) == FRAMES


def test_files_that_cannot_be_opened_raise_the_oserror_of_their_errno(tmp_path):
    missing = tmp_path / "missing.tesra"
    for source in (str(missing), missing):
        with pytest.raises(FileNotFoundError) as raised:
            vorc.open(source)
        assert raised.value.errno == 2 and raised.value.filename == str(missing)
    locked = tmp_path / "locked.tesra"
    locked.write_bytes(b"\xff\xd8")
    locked.chmod(0)
    check = ("import sys, vorc\n"
             "try:\n    vorc.open(sys.argv[1])\n"
             "except PermissionError as error:\n    print(error.errno, error.filename)\n")
    # Root opens any file: ask as nobody instead.
    as_nobody = {"user": 65534} if os.geteuid() == 0 else {}
    if as_nobody:
        tmp_path.chmod(0o755)
    out = subprocess.run([sys.executable, "-c", check, str(locked)], capture_output=True, text=True,
                         check=True, **as_nobody).stdout
    assert out == f"13 {locked}\n"
    with pytest.raises(OSError) as raised:
        vorc.open(-1)
    assert raised.value.errno == 9


def test_frames_are_dated_at_file_fps(sample):
    assert [frame.timestamp for frame in vorc.open(sample)] == [n / 25 for n in range(FRAMES)]
    assert [image.timestamp for image in vorc.open(sample, jpeg=True, file_fps=10)] == [
        n / 10 for n in range(FRAMES)]
    for fps in (0, -1, float("nan"), 2e6):
        with pytest.raises(ValueError, match="fileFps"):
            vorc.open(sample, file_fps=fps)


def test_star_import_keeps_the_builtin_open_and_names_every_public_thing():
    names = {}
    exec("from vorc import *", names)
    assert "open" not in names and "Reader" in names and "MotionDetector" in names
    assert set(vorc.__all__) == {name for name in dir(vorc) if not name.startswith("_") and name != "open"}
    assert vorc.__version__.count(".") == 2 and vorc.__version__[0].isdigit()


def documented(thing):
    """The docstring of thing less the signature lines pybind11 puts first."""
    lines = (inspect.getdoc(thing) or "").splitlines()
    return "\n".join(line for line in lines if not line.startswith(getattr(thing, "__name__", "?") + "(")).strip()


def test_every_public_class_function_and_property_is_documented():
    assert len(documented(vorc)) > 2000
    missing = []
    for name in vorc.__all__ + ["open"]:
        thing = getattr(vorc, name)
        if not (inspect.isclass(thing) or callable(thing)):
            continue
        if not documented(thing):
            missing.append(name)
        if not inspect.isclass(thing) or issubclass(thing, BaseException):
            continue
        for member, value in vars(thing).items():
            if member.startswith("_") or not (callable(value) or isinstance(value, (property, staticmethod))):
                continue
            if not documented(getattr(thing, member) if isinstance(value, staticmethod) else value):
                missing.append(f"{name}.{member}")
    assert missing == []


def test_a_view_holds_its_frame_and_never_sees_other_pixels(sample, dumps):
    rgb, _ = dumps
    reader = vorc.open(sample)
    views = []
    for n in range(3):
        frame = next(reader)
        views.append(frame.to_numpy())
        copy = frame.to_numpy(copy=True)
        assert copy.flags.owndata and not views[-1].flags.owndata
        assert numpy.shares_memory(views[-1], numpy.asarray(frame))
        del frame  # the view keeps it
    later = list(reader)
    for n, view in enumerate(views):
        numpy.testing.assert_array_equal(view, rgb[n])
    assert len(later) == FRAMES - 3


def test_changed_tiles_are_the_frames_bitmap(sample):
    for frame in vorc.open(sample, format="gray"):
        tiles = frame.changed_tiles
        assert tiles.shape == (30, 40) and tiles.dtype == numpy.bool_
        assert tiles.sum() == frame.coded_tiles
        assert tiles.all() == frame.full_frame


INTERRUPTED_CHILD = r"""
import signal, sys, time, vorc
signal.signal(signal.SIGINT, signal.default_int_handler)
print("waiting", flush=True)
try:
    next(vorc.open(sys.argv[1], timeout=float(sys.argv[2])))
    print("frame", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
except BaseException as error:
    print(type(error).__name__, error, flush=True)
"""


def interrupt_a_read(address, timeout):
    """SIGINT to a child that reads address; how long KeyboardInterrupt took."""
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, address, str(timeout)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.5)  # inside the read (or the connection) by then
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        # Never the timeout, nor a wait for ever.
        assert select.select([child.stdout], [], [], 10)[0], "no answer 10 s after SIGINT"
        answer = child.stdout.readline().split()
        assert answer[:1] == ["interrupted"], answer
        return float(answer[1]) - sent
    finally:
        child.kill()
        child.wait()


def test_ctrl_c_interrupts_a_silent_camera_and_a_hanging_connection_whatever_the_timeout():
    with socket.create_server(("127.0.0.1", 0)) as silent:
        address = f"127.0.0.1:{silent.getsockname()[1]}"
        took = [interrupt_a_read(address, timeout) for timeout in (30, 0)]
    # A listener whose queue is full: the next connection hangs.
    with socket.socket() as full:
        full.bind(("127.0.0.1", 0))
        full.listen(0)
        with socket.create_connection(full.getsockname()):
            address = f"127.0.0.1:{full.getsockname()[1]}"
            took += [interrupt_a_read(address, timeout) for timeout in (30, 0)]
    print("KeyboardInterrupt after", ", ".join(f"{seconds:.4f} s" for seconds in took))
    # Far from the timeout of 30 s, and from never.
    assert max(took) < 5
