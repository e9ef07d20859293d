"""The C interface of libvorc_core.so driven through ctypes, as any language
that calls C would: the shared library exports exactly the functions of
vorc/vorc_c.h; its frames and JPEG images equal the vorc tool's dumps and
files from every kind of source; failures come back as the header's codes
with a reason; the interrupt and status callbacks are called; and the C
example (examples/read_frames.c) prints what the C++ example prints and
ends at once on SIGINT."""
import ctypes
import os
import pathlib
import re
import select
import signal
import socket
import subprocess
import sys
import time

import numpy
import pytest

from conftest import FRAMES, HEIGHT, TOOL, WIDTH, tool

HEADER = pathlib.Path(os.environ["VORC_SOURCE_DIR"]) / "vorc" / "vorc_c.h"
LIBRARY = os.environ["VORC_C_LIBRARY"]
# The header's constants: VORC_OK, VORC_ERROR_..., VORC_FORMAT_..., VORC_STATUS_...
C = {name: int(value) for name, value in re.findall(r"#define (VORC_\w+) (-?\d+)", HEADER.read_text())}

lib = ctypes.CDLL(LIBRARY)
Reader = ctypes.c_void_p
Frame = ctypes.c_void_p
INTERRUPT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
STATUS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
for name, result, arguments in [
    ("vorc_version", ctypes.c_char_p, []),
    ("vorc_error_string", ctypes.c_char_p, [ctypes.c_int]),
    ("vorc_last_error", ctypes.c_char_p, []),
    ("vorc_options_new", ctypes.c_void_p, []),
    ("vorc_options_free", None, [ctypes.c_void_p]),
    ("vorc_options_set_format", ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    ("vorc_options_set_timeout_ms", ctypes.c_int, [ctypes.c_void_p, ctypes.c_int64]),
    ("vorc_options_set_max_pixels", ctypes.c_int, [ctypes.c_void_p, ctypes.c_uint64]),
    ("vorc_options_set_camera_fps", ctypes.c_int, [ctypes.c_void_p, ctypes.c_double]),
    ("vorc_options_set_file_fps", ctypes.c_int, [ctypes.c_void_p, ctypes.c_double]),
    ("vorc_options_set_interrupt", ctypes.c_int, [ctypes.c_void_p, INTERRUPT, ctypes.c_void_p]),
    ("vorc_options_set_status", ctypes.c_int, [ctypes.c_void_p, STATUS, ctypes.c_void_p]),
    ("vorc_reader_open", ctypes.c_int, [ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(Reader)]),
    ("vorc_reader_open_file", ctypes.c_int, [ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(Reader)]),
    ("vorc_reader_open_fd", ctypes.c_int, [ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Reader)]),
    ("vorc_reader_open_memory", ctypes.c_int,
     [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.POINTER(Reader)]),
    ("vorc_reader_open_camera", ctypes.c_int,
     [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Reader)]),
    ("vorc_reader_close", None, [Reader]),
    ("vorc_reader_next", ctypes.c_int, [Reader, ctypes.POINTER(Frame)]),
    ("vorc_reader_next_jpeg", ctypes.c_int, [Reader, ctypes.POINTER(Frame)]),
    ("vorc_reader_damaged_frames", ctypes.c_uint64, [Reader]),
    ("vorc_frame_free", None, [Frame]),
    ("vorc_frame_index", ctypes.c_uint64, [Frame]),
    ("vorc_frame_offset", ctypes.c_uint64, [Frame]),
    ("vorc_frame_timestamp", ctypes.c_double, [Frame]),
    ("vorc_frame_width", ctypes.c_int, [Frame]),
    ("vorc_frame_height", ctypes.c_int, [Frame]),
    ("vorc_frame_format", ctypes.c_int, [Frame]),
    ("vorc_frame_damaged", ctypes.c_int, [Frame]),
    ("vorc_frame_stale", ctypes.c_int, [Frame]),
    ("vorc_frame_full_frame", ctypes.c_int, [Frame]),
    ("vorc_frame_coded_tiles", ctypes.c_int64, [Frame]),
    ("vorc_frame_data", ctypes.POINTER(ctypes.c_uint8), [Frame]),
    ("vorc_frame_size", ctypes.c_size_t, [Frame]),
    ("vorc_frame_plane", ctypes.POINTER(ctypes.c_uint8), [Frame, ctypes.c_int]),
    ("vorc_frame_plane_stride", ctypes.c_size_t, [Frame, ctypes.c_int]),
    ("vorc_frame_tile_bitmap", ctypes.POINTER(ctypes.c_uint8), [Frame, ctypes.POINTER(ctypes.c_size_t)]),
]:
    function = getattr(lib, name)
    function.restype = result
    function.argtypes = arguments


def options(**settings):
    """A new vorc_options with settings applied through their setters."""
    handle = lib.vorc_options_new()
    assert handle
    for name, value in settings.items():
        assert getattr(lib, f"vorc_options_set_{name}")(handle, *value) == C["VORC_OK"], name
    return handle


def opened(open_call, *arguments, with_options=None):
    reader = Reader()
    result = open_call(*arguments, with_options, ctypes.byref(reader))
    assert result == C["VORC_OK"], lib.vorc_last_error()
    return reader


def read_all(reader, jpeg=False):
    """Every frame as a dict, the reader closed after; and the last result."""
    frames = []
    frame = Frame()
    next_frame = lib.vorc_reader_next_jpeg if jpeg else lib.vorc_reader_next
    while (result := next_frame(reader, ctypes.byref(frame))) == C["VORC_OK"]:
        size = lib.vorc_frame_size(frame)
        bitmap_size = ctypes.c_size_t()
        bitmap = lib.vorc_frame_tile_bitmap(frame, ctypes.byref(bitmap_size))
        frames.append({
            "index": lib.vorc_frame_index(frame), "offset": lib.vorc_frame_offset(frame),
            "timestamp": lib.vorc_frame_timestamp(frame), "width": lib.vorc_frame_width(frame),
            "height": lib.vorc_frame_height(frame), "format": lib.vorc_frame_format(frame),
            "damaged": lib.vorc_frame_damaged(frame), "full": lib.vorc_frame_full_frame(frame),
            "coded_tiles": lib.vorc_frame_coded_tiles(frame),
            "data": ctypes.string_at(lib.vorc_frame_data(frame), size) if size else b"",
            "bitmap": ctypes.string_at(bitmap, bitmap_size.value) if bitmap else b"",
            "planes": [(ctypes.addressof(lib.vorc_frame_plane(frame, n).contents) - ctypes.addressof(
                lib.vorc_frame_data(frame).contents), lib.vorc_frame_plane_stride(frame, n))
                if lib.vorc_frame_plane(frame, n) else None for n in range(4)],
        })
        lib.vorc_frame_free(frame)
    assert not frame
    lib.vorc_reader_close(reader)
    return frames, result


def test_the_library_exports_exactly_the_functions_of_the_header():
    declared = set(re.findall(r"VORC_C_API [^;(]*?\b(vorc_\w+)\(", HEADER.read_text()))
    assert len(declared) >= 37  # the regular expression found them all
    symbols = subprocess.run(["nm", "-D", "--defined-only", LIBRARY], capture_output=True, text=True,
                             check=True).stdout.split()
    exported = {symbol.split("@")[0] for symbol in symbols[2::3]}
    assert exported - {"VORC_0"} == declared
    assert lib.vorc_version().decode() == __import__("vorc").__version__
    soname = subprocess.run(["readelf", "-d", LIBRARY], capture_output=True, text=True, check=True).stdout
    assert "Library soname: [libvorc_core.so.0]" in soname


def test_frames_equal_the_tools_dumps(sample, dumps):
    rgb, yuv = dumps
    frames, result = read_all(opened(lib.vorc_reader_open_file, sample.encode()))
    assert result == C["VORC_END"] and len(frames) == FRAMES
    for n, frame in enumerate(frames):
        assert (frame["index"], frame["width"], frame["height"], frame["format"]) == (
            n + 1, WIDTH, HEIGHT, C["VORC_FORMAT_RGB24"])
        assert frame["planes"] == [(0, WIDTH * 3), None, None, None]
        assert numpy.array_equal(numpy.frombuffer(frame["data"], numpy.uint8).reshape(HEIGHT, WIDTH, 3), rgb[n])
        assert frame["timestamp"] == n / 25 and not frame["damaged"]
        assert frame["full"] == (frame["bitmap"] == b"")
        assert frame["coded_tiles"] == sum(bin(byte).count("1") for byte in frame["bitmap"]) or frame["full"]
    handle = options(format=(C["VORC_FORMAT_I420"],), file_fps=(5.0,))
    frames, _ = read_all(opened(lib.vorc_reader_open, sample.encode(), with_options=handle))
    lib.vorc_options_free(handle)
    luma = WIDTH * HEIGHT
    for n, frame in enumerate(frames):
        assert frame["planes"] == [(0, WIDTH), (luma, WIDTH // 2), (luma * 5 // 4, WIDTH // 2), None]
        # The dump has Cr before Cb; I420 has U (Cb) before V (Cr).
        assert frame["data"] == (yuv[n][:luma].tobytes() + yuv[n][luma * 5 // 4:].tobytes()
                                 + yuv[n][luma:luma * 5 // 4].tobytes())
        assert frame["timestamp"] == n / 5


def test_jpeg_images_equal_the_tools_files_and_do_not_mix_with_pixels(sample, tmp_path):
    tool("transcode", sample, "--jpeg-prefix", str(tmp_path / "f_"))
    files = sorted(tmp_path.glob("f_*.jpg"))
    frames, result = read_all(opened(lib.vorc_reader_open_file, sample.encode()), jpeg=True)
    assert result == C["VORC_END"]
    assert [frame["data"] for frame in frames] == [path.read_bytes() for path in files]
    assert {frame["format"] for frame in frames} == {C["VORC_FORMAT_JPEG"]}
    assert all(frame["planes"] == [None] * 4 for frame in frames)
    reader = opened(lib.vorc_reader_open_file, sample.encode())
    frame = Frame()
    assert lib.vorc_reader_next(reader, ctypes.byref(frame)) == C["VORC_OK"]
    lib.vorc_frame_free(frame)
    assert lib.vorc_reader_next_jpeg(reader, ctypes.byref(frame)) == C["VORC_ERROR_WRONG_CALL"]
    assert not frame and b"cannot be mixed" in lib.vorc_last_error()
    lib.vorc_reader_close(reader)


def test_every_kind_of_source_gives_the_same_frames(sample):
    expected, _ = read_all(opened(lib.vorc_reader_open, sample.encode()))
    data = pathlib.Path(sample).read_bytes()
    buffer = ctypes.create_string_buffer(data, len(data))
    from_memory, _ = read_all(opened(lib.vorc_reader_open_memory, buffer, len(data)))
    descriptor = os.open(sample, os.O_RDONLY)
    from_descriptor, _ = read_all(opened(lib.vorc_reader_open_fd, descriptor))
    assert os.lseek(descriptor, 0, os.SEEK_CUR) == len(data)  # not closed
    os.close(descriptor)
    assert from_memory == expected and from_descriptor == expected
    camera = subprocess.Popen([TOOL, "camera", "--listen", "127.0.0.1:0", "--loops", "1", "--exit-after", "60",
                               sample], stderr=subprocess.PIPE, text=True)
    try:
        port = int(camera.stderr.readline().split()[2].rsplit(":", 1)[1])  # "listening on 127.0.0.1:PORT ..."
        before = time.time()
        live, result = read_all(opened(lib.vorc_reader_open_camera, b"127.0.0.1", port))
    finally:
        camera.terminate()
        camera.wait()
    assert result == C["VORC_END"]
    assert [frame["data"] for frame in live] == [frame["data"] for frame in expected]
    assert all(before <= frame["timestamp"] <= time.time() for frame in live)


def test_failures_come_back_as_codes_with_a_reason(tmp_path):
    reader = Reader(1)
    missing = str(tmp_path / "missing.tesra").encode()
    for open_call in (lib.vorc_reader_open, lib.vorc_reader_open_file):
        assert open_call(missing, None, ctypes.byref(reader)) == C["VORC_ERROR_NOT_FOUND"]
        assert not reader and lib.vorc_last_error() == b"cannot open " + missing + b": No such file or directory"
    assert lib.vorc_reader_open_file(str(tmp_path).encode(), None, ctypes.byref(reader)) == C["VORC_ERROR_SOURCE"]
    assert lib.vorc_reader_open_fd(-1, None, ctypes.byref(reader)) == C["VORC_ERROR_SOURCE"]
    invalid = C["VORC_ERROR_INVALID_ARGUMENT"]
    assert lib.vorc_reader_open(None, None, ctypes.byref(reader)) == invalid
    assert lib.vorc_reader_open_file(missing, None, None) == invalid
    assert lib.vorc_reader_open_memory(None, 10, None, ctypes.byref(reader)) == invalid
    assert lib.vorc_reader_open_camera(b"127.0.0.1", 0, None, ctypes.byref(reader)) == invalid
    assert lib.vorc_reader_next(None, ctypes.byref(Frame())) == invalid
    handle = lib.vorc_options_new()
    for setter, value in [("format", C["VORC_FORMAT_JPEG"]), ("format", -1), ("timeout_ms", -1),
                          ("camera_fps", float("nan")), ("file_fps", 0.0)]:
        assert getattr(lib, f"vorc_options_set_{setter}")(handle, value) == invalid, setter
    assert lib.vorc_options_set_format(None, 0) == invalid
    lib.vorc_options_free(handle)
    # Nothing for a null handle, and no crash.
    lib.vorc_reader_close(None)
    lib.vorc_frame_free(None)
    lib.vorc_options_free(None)
    assert lib.vorc_frame_index(None) == 0 and lib.vorc_frame_data(None) is not None  # a null pointer object
    names = {lib.vorc_error_string(code) for code in range(-9, 2)}
    assert len(names) == 11 and lib.vorc_error_string(-100) == b"unknown result code"
    # Root opens any file: ask as nobody, with ctypes in a child.
    locked = tmp_path / "locked.tesra"
    locked.write_bytes(b"\xff\xd8")
    locked.chmod(0)
    check = ("import ctypes, sys\nlib = ctypes.CDLL(sys.argv[1])\nreader = ctypes.c_void_p()\n"
             "print(lib.vorc_reader_open_file(sys.argv[2].encode(), None, ctypes.byref(reader)))\n")
    as_nobody = {"user": 65534} if os.geteuid() == 0 else {}
    if as_nobody:
        tmp_path.chmod(0o755)
    out = subprocess.run([sys.executable, "-c", check, LIBRARY, str(locked)], capture_output=True, text=True,
                         check=True, **as_nobody).stdout
    assert int(out) == C["VORC_ERROR_PERMISSION"]


def test_a_silent_camera_times_out_and_the_interrupt_callback_ends_a_wait():
    asked = []

    @INTERRUPT
    def interrupt(user):
        asked.append(user)
        return len(asked) >= 3

    status_messages = []

    @STATUS
    def status(user, level, message):
        status_messages.append((level, message))

    with socket.create_server(("127.0.0.1", 0)) as silent:
        port = silent.getsockname()[1]
        handle = options(timeout_ms=(200,), status=(status, None))
        reader = opened(lib.vorc_reader_open_camera, b"127.0.0.1", port, with_options=handle)
        frame = Frame()
        assert lib.vorc_reader_next(reader, ctypes.byref(frame)) == C["VORC_ERROR_TIMEOUT"]
        assert b"no data for 200 ms" in lib.vorc_last_error()
        lib.vorc_reader_close(reader)
        assert lib.vorc_options_set_timeout_ms(handle, 0) == C["VORC_OK"]
        assert lib.vorc_options_set_interrupt(handle, interrupt, 7) == C["VORC_OK"]
        reader = opened(lib.vorc_reader_open, f"127.0.0.1:{port}".encode(), with_options=handle)
        lib.vorc_options_free(handle)  # the reader keeps what it needs
        assert lib.vorc_reader_next(reader, ctypes.byref(frame)) == C["VORC_ERROR_INTERRUPTED"]
        assert asked == [7, 7, 7] and not frame
        # Usable after: interrupted again at the next check.
        assert lib.vorc_reader_next(reader, ctypes.byref(frame)) == C["VORC_ERROR_INTERRUPTED"]
        assert len(asked) == 4
        lib.vorc_reader_close(reader)
    assert any(level == C["VORC_STATUS_INFO"] and message.startswith(b"FramewiseTesraDecoder : acceleration method")
               for level, message in status_messages)


def test_the_c_example_prints_what_the_cpp_example_prints_and_stops_on_sigint(sample):
    example = os.environ["VORC_C_EXAMPLE"]
    c_lines = subprocess.run([example, sample], capture_output=True, text=True, check=True).stdout
    cpp_lines = subprocess.run([os.environ["VORC_NEXT_FRAME"], sample], capture_output=True, text=True,
                               check=True).stdout
    assert c_lines == cpp_lines and c_lines.count("\n") == FRAMES
    missing = subprocess.run([example, sample + ".missing"], capture_output=True, text=True)
    assert missing.returncode == 1 and "No such file" in missing.stderr
    with socket.create_server(("127.0.0.1", 0)) as silent:
        child = subprocess.Popen([example, f"127.0.0.1:{silent.getsockname()[1]}"], stderr=subprocess.PIPE,
                                 text=True)
        try:
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            assert select.select([child.stderr], [], [], 10)[0], "no end 10 s after SIGINT"
            assert child.wait(10) == 130
            assert "interrupted" in child.stderr.read()
        finally:
            child.kill()
            child.wait()
