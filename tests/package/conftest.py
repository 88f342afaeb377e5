"""The halvora package from the repository's python/ folder; small models and clips."""
import pathlib
import subprocess
import sys

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

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


def affine_model(path, shape, input_type=TensorProto.FLOAT, scale=2.0, shift=1.0):
    """y = scale * x + shift on `shape`, float32 out; saved as ONNX."""
    nodes = [helper.make_node("Mul", ["x", "a"], ["t"]), helper.make_node("Add", ["t", "b"], ["y"])]
    graph = helper.make_graph(nodes, "affine", [helper.make_tensor_value_info("x", input_type, shape)],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, shape)],
                              [numpy_helper.from_array(np.array(scale, np.float32), "a"),
                               numpy_helper.from_array(np.array(shift, np.float32), "b")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 7
    onnx.save(model, str(path))
    return str(path)


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
