"""The three programs that open docs/python-package.md run as written."""
import os
import pathlib
import re
import subprocess
import sys

import cv2
import numpy as np
import pytest

from sim import BUILD

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
from halvora.samples import build_classifier  # noqa: E402


def programs():
    text = (ROOT / "docs" / "python-package.md").read_text()
    section = text.split("## Three programs", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """What the programs read: a clip, a photograph and a classifier."""
    folder = tmp_path_factory.mktemp("docs")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                    "-frames:v", "10", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "h264",
                    str(folder / "clip.h264")], check=True)
    photo = cv2.resize(np.random.default_rng(0).integers(0, 256, (30, 40, 3), np.uint8), (400, 300))
    cv2.imwrite(str(folder / "photo.jpg"), photo)
    build_classifier(folder / "classifier.onnx", "float32")
    return folder


def run(program, folder):
    env = {**os.environ, "PYTHONPATH": f"{BUILD / 'python'}{os.pathsep}{ROOT / 'python'}"}
    return subprocess.run([sys.executable, "-c", program], cwd=folder, env=env, capture_output=True, text=True,
                          timeout=300)


def test_the_documented_programs_run(folder):
    decode, classify, encode = programs()
    assert run(decode, folder).returncode == 0
    pictures = sorted(folder.glob("frame*.png"))
    assert len(pictures) == 10 and cv2.imread(str(pictures[0])).shape == (240, 320, 3)
    result = run(classify, folder)
    assert result.returncode == 0 and re.fullmatch(r"class \d+ score 0\.\d+\n", result.stdout), result.stderr
    assert run(encode, folder).returncode == 0
    frames = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames,width",
                             "-of", "csv=p=0", str(folder / "waves.h264")], capture_output=True, text=True).stdout
    assert frames.strip() == "640,90"
