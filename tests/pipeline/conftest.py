"""The pipeline example and the halvora package from the repository; a short clip."""
import subprocess

import numpy as np
import pytest

from pipeline_paths import FRAMES, HEIGHT, WIDTH
import halvora as hv  # noqa: E402  (python/halvora, on the path once pipeline_paths is imported)


@pytest.fixture(scope="session")
def clip(tmp_path_factory):
    """A 320 x 240 clip of 20 frames made by the card's encoder, and the ffmpeg tool's NV12
    decode of it, one picture per item."""
    path = tmp_path_factory.mktemp("pipeline") / "clip.h264"
    hv.zecm.uninitialize()
    hv.samples.make_clip(path, WIDTH, HEIGHT, FRAMES)
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "nv12", "-"], check=True, capture_output=True).stdout
    return path, np.frombuffer(raw, np.uint8).reshape(-1, HEIGHT * 3 // 2, WIDTH)
