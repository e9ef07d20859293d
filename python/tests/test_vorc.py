"""The Python module judged by the vorc tool's own outputs: raw RGB and
Y/Cr/Cb dumps for the frames, numbered JPEG files for jpeg=True; a live
`vorc camera` on loopback read by the module and by examples/next_frame;
a camera answering 401 or 404 raises SourceError naming the status;
timeouts that are no number of seconds are refused; views of earlier frames
stay valid; frames carry their stream offset and staleness."""
import errno
import os
import pathlib
import socket
import subprocess
import threading

import numpy
import pytest

import vorc

from conftest import FRAMES, HEIGHT, TOOL, WIDTH, tool


def test_frames_equal_the_tools_dumps_in_every_format(sample, dumps):
    rgb, yuv = dumps
    luma = WIDTH * HEIGHT
    chroma = luma // 4
    expected = {
        "rgb": lambda n: rgb[n],
        "bgr": lambda n: rgb[n][..., ::-1],
        "rgba": lambda n: numpy.dstack([rgb[n], numpy.full((HEIGHT, WIDTH), 255, numpy.uint8)]),
        "gray": lambda n: yuv[n][:luma].reshape(HEIGHT, WIDTH),
        # I420 puts U (Cb) before V (Cr); the dump has Cr first.
        "i420": lambda n: numpy.concatenate(
            [yuv[n][:luma], yuv[n][luma + chroma:], yuv[n][luma:luma + chroma]]).reshape(-1, WIDTH),
    }
    for format, picture in expected.items():
        frames = list(vorc.open(sample, format=format))
        assert [frame.index for frame in frames] == list(range(1, len(rgb) + 1)), format
        for n, frame in enumerate(frames):
            assert not frame.damaged
            numpy.testing.assert_array_equal(numpy.asarray(frame), picture(n), err_msg=f"{format} {n}")


def test_arrays_are_views_of_the_frame(sample):
    frame = next(vorc.open(sample))
    first = numpy.asarray(frame)
    assert first.dtype == numpy.uint8 and not first.flags.owndata
    first[0, 0] = (1, 2, 3)
    assert tuple(numpy.asarray(frame)[0, 0]) == (1, 2, 3)
    assert frame.full_frame and frame.coded_tiles == (WIDTH // 16) * (HEIGHT // 16)


def test_jpeg_images_equal_the_tools_jpeg_files(sample, tmp_path):
    tool("transcode", sample, "--jpeg-prefix", str(tmp_path / "f_"))
    files = sorted(tmp_path.glob("f_*.jpg"))
    images = list(vorc.open(sample, jpeg=True))
    assert len(images) == len(files) > 0
    for n, (image, path) in enumerate(zip(images, files)):
        assert image.index == n + 1 and not image.damaged
        assert bytes(image) == path.read_bytes()


def test_sources_that_fail_raise_with_the_reason(sample, tmp_path):
    with pytest.raises(FileNotFoundError, match="No such file") as raised:
        vorc.open(str(tmp_path / "missing.tesra"))
    assert raised.value.errno == errno.ENOENT and raised.value.filename == str(tmp_path / "missing.tesra")
    with pytest.raises(IsADirectoryError):
        vorc.open(tmp_path)
    with pytest.raises(ValueError, match="unknown pixel format"):
        vorc.open(sample, format="yuv")


def test_silent_unless_asked(sample, capfd):
    messages = []
    assert len(list(vorc.open(sample, format="gray"))) > 0
    assert len(list(vorc.open(sample, jpeg=True, status=lambda *message: messages.append(message)))) > 0
    out, err = capfd.readouterr()
    assert out == "" and err == ""
    assert ("info", "vorcBufferedTesraDecoderBackEnd : switched video resolution to 640x480") not in messages
    assert ("info", "FramewiseTesraDecoder : acceleration method : none") in messages


def test_readers_on_threads_give_what_one_gives_alone(sample):
    alone = [numpy.asarray(frame).copy() for frame in vorc.open(sample, format="bgr")]
    results = [None] * 3

    def read(slot):
        results[slot] = [numpy.asarray(frame).copy() for frame in vorc.open(sample, format="bgr")]

    threads = [threading.Thread(target=read, args=(slot,)) for slot in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for frames in results:
        assert len(frames) == len(alone)
        assert all(numpy.array_equal(a, b) for a, b in zip(frames, alone))


def test_live_camera_gives_the_files_frames_and_a_silent_one_times_out(sample, dumps):
    rgb, _ = dumps
    camera = subprocess.Popen([TOOL, "camera", "--listen", "127.0.0.1:0", "--loops", "1", "--exit-after", "60",
                               sample], stderr=subprocess.PIPE, text=True)
    try:
        address = camera.stderr.readline().split()[2]  # "listening on 127.0.0.1:PORT (...)"
        frames = [numpy.asarray(frame).copy() for frame in vorc.open(address, timeout=10)]
        assert len(frames) == len(rgb)
        assert all(numpy.array_equal(a, b) for a, b in zip(frames, rgb))
        lines = subprocess.run([os.environ["VORC_NEXT_FRAME"], address], check=True, capture_output=True,
                               text=True).stdout.splitlines()
        assert lines[-1] == f"frame {len(rgb)}: {WIDTH}x{HEIGHT}"
    finally:
        camera.terminate()
        camera.wait()
    with socket.create_server(("127.0.0.1", 0)) as silent:
        reader = vorc.open(f"127.0.0.1:{silent.getsockname()[1]}", timeout=0.2)
        with pytest.raises(vorc.TimeoutError, match="no data for 200 ms") as raised:
            next(reader)
        assert isinstance(raised.value, TimeoutError) and isinstance(raised.value, vorc.SourceError)


@pytest.mark.parametrize("answer, named", [
    (b"HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nnot here\n", ["404 Not Found"]),
    (b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n\r\n", ["401 Unauthorized", "login"]),
])
def test_a_camera_answering_other_than_200_raises_source_error_naming_the_status(answer, named):
    with socket.create_server(("127.0.0.1", 0)) as server:
        def answer_once():
            connection, _ = server.accept()
            with connection:
                connection.recv(512)
                connection.sendall(answer)

        camera = threading.Thread(target=answer_once)
        camera.start()
        for jpeg in (False, True):
            reader = vorc.open(f"127.0.0.1:{server.getsockname()[1]}", jpeg=jpeg, timeout=5)
            with pytest.raises(vorc.SourceError) as raised:
                next(reader)
            assert not isinstance(raised.value, vorc.TimeoutError)
            assert all(text in str(raised.value) for text in named), str(raised.value)
            if not jpeg:
                camera.join()
                camera = threading.Thread(target=answer_once)
                camera.start()
        camera.join()


def test_timeouts_that_are_no_number_of_seconds_are_refused(sample):
    for timeout in (float("inf"), float("-inf"), float("nan"), -1.0, 1e10):
        with pytest.raises(ValueError, match="timeout must be"):
            vorc.open(sample, timeout=timeout)
    # 0 waits for ever; the largest limit is accepted.
    assert len(list(vorc.open(sample, timeout=0))) == FRAMES
    assert len(list(vorc.open(sample, timeout=1e9))) == FRAMES


def test_a_view_of_a_frame_stays_valid_and_unchanged_after_later_frames(sample, dumps):
    rgb, _ = dumps
    frames = vorc.open(sample)
    first = numpy.asarray(next(frames))
    later = [numpy.asarray(frame) for frame in frames]
    numpy.testing.assert_array_equal(first, rgb[0])
    for n, view in enumerate(later, start=1):
        numpy.testing.assert_array_equal(view, rgb[n])


def test_frames_say_where_they_lie_and_whether_their_picture_is_stale(sample, tmp_path):
    data = open(sample, "rb").read()
    starts = []
    at = data.find(b"\xff\xd8\xff\xe0")
    while at != -1:
        starts.append(at)
        at = data.find(b"\xff\xd8\xff\xe0", at + 1)
    assert [frame.offset for frame in vorc.open(sample)] == starts
    # The third frame's SOI destroyed: it comes out damaged in its place, and
    # the partial frames after it are stale until the next full frame.
    damaged = tmp_path / "damaged.tesra"
    damaged.write_bytes(data[:starts[2] + 1] + b"\xd9" + data[starts[2] + 2:])
    frames = list(vorc.open(str(damaged)))
    assert len(frames) == len(starts)
    assert [frame.damaged for frame in frames[:4]] == [False, False, True, False]
    assert frames[2].stale and frames[3].stale and not frames[1].stale
    assert [frame.offset for frame in frames[3:]] == starts[3:]
