"""The halvora package from the repository's python/ folder; small models and clips."""
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

import halvora  # noqa: E402


@pytest.fixture
def hv():
    """The package, the card's runtime initialised (and owned) by a Card for the test."""
    halvora.zecm.uninitialize()
    with halvora.Card():
        yield halvora


@pytest.fixture
def media(hv):
    with hv.Media():
        yield hv


@pytest.fixture(scope="session")
def cropped_clip(tmp_path_factory):
    """A 352 x 290 H.264 clip (coded 352 x 304: the decoder crops) of 12 frames with B-frames,
    and the ffmpeg tool's NV12 decode of it, one picture per item."""
    folder = tmp_path_factory.mktemp("clip")
    stream = folder / "clip.h264"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=352x290:rate=25",
                    "-frames:v", "12", "-c:v", "libx264", "-bf", "2", "-pix_fmt", "yuv420p", "-f", "h264",
                    str(stream)], check=True)
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(stream), "-f", "rawvideo",
                          "-pix_fmt", "nv12", "-"], check=True, capture_output=True).stdout
    return stream, np.frombuffer(raw, np.uint8).reshape(-1, 290 * 3 // 2, 352)
