"""What the tests of the Python module share: the vorc tool, the bundled
sample's first frames, and the tool's dumps of them as the judge."""
import os
import pathlib
import subprocess

import numpy
import pytest

TOOL = os.environ["VORC_TOOL"]
WIDTH, HEIGHT = 640, 480
FRAMES = 12


def tool(*arguments):
    subprocess.run([TOOL, *arguments, "--quiet"], check=True, stderr=subprocess.DEVNULL)


@pytest.fixture(scope="session")
def sample(tmp_path_factory):
    """The bundled sample's first frames, full and partial ones."""
    stream = (pathlib.Path(os.environ["VORC_SOURCE_DIR"]) / "data" / "sample.tesra").read_bytes()
    end = -1
    for _ in range(FRAMES + 1):
        end = stream.index(b"\xff\xd8\xff\xe0", end + 1)
    path = tmp_path_factory.mktemp("sample") / "sample.tesra"
    path.write_bytes(stream[:end])
    return str(path)


@pytest.fixture(scope="session")
def dumps(sample, tmp_path_factory):
    """The sample as the tool dumps it: RGB frames and (Y, Cr, Cb) planes."""
    folder = tmp_path_factory.mktemp("dumps")
    tool("dump", sample, "-o", str(folder / "rgb"))
    tool("dump", "--yuv", sample, "-o", str(folder / "yuv"))
    rgb = numpy.fromfile(folder / "rgb", numpy.uint8).reshape(FRAMES, HEIGHT, WIDTH, 3)
    yuv = numpy.fromfile(folder / "yuv", numpy.uint8).reshape(len(rgb), -1)
    return rgb, yuv
