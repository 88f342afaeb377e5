"""The benchmark's three networks (tests/models.py) through the card's whole path, against
cv2.dnn on the same file, and the benchmark's own check that tells engines apart."""
import pathlib
import sys

import cv2
import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.append(str(ROOT / "bench"))  # last: its pipeline.py must not hide examples/pipeline.py

import inference  # noqa: E402
import models  # noqa: E402

# Same weights, ReLU6 in a form cv2.dnn imports: the reference for the Clip form.
RELU_DIFFERENCE = {"relu6": "relu_difference"}


def opencv(path, x):
    net = cv2.dnn.readNetFromONNX(path)
    net.setInput(x)
    return net.forward()


def on_card(hv, path, x):
    with hv.Model(path) as model:
        return model.run(x)[0]


@pytest.mark.parametrize("name, options", [("resnet18", {}), ("mobilenet_v2", RELU_DIFFERENCE),
                                           ("yolo_detector", {})])
def test_network_on_the_card_matches_opencv(hv, tmp_path, name, options):
    path, in_shape, out_shape = models.save(name, tmp_path / f"{name}.onnx", **options)
    x = np.random.default_rng(5).standard_normal(in_shape).astype(np.float32)
    expected = opencv(path, x)
    # The weights' scaling keeps every activation of order one: outputs an engine can be judged on.
    assert np.isfinite(expected).all() and 0.01 < expected.std() < 100
    actual = on_card(hv, path, x)
    assert list(actual.shape) == out_shape
    assert inference.difference(actual, expected) <= 1e-4


def test_relu6_as_clip_on_the_card_matches_its_relu_form(hv, tmp_path):
    clip, in_shape, _ = models.save("mobilenet_v2", tmp_path / "clip.onnx")
    relu, _, _ = models.save("mobilenet_v2", tmp_path / "relu.onnx", **RELU_DIFFERENCE)
    x = np.random.default_rng(6).standard_normal(in_shape).astype(np.float32)
    assert inference.difference(on_card(hv, clip, x), opencv(relu, x)) <= 1e-4


@pytest.mark.parametrize("change, agree", [(0.0, True), (5e-4, True), (2e-3, False), (np.nan, False)])
def test_benchmark_tells_outputs_apart(change, agree):
    reference = np.linspace(-2, 2, 50, dtype=np.float32)
    changed = reference.copy()
    changed[7] += change * 2  # relative to the largest magnitude, 2
    assert inference.agree({"card": changed, "baseline": reference}) is agree


@pytest.fixture
def onnx_runtime():
    """Skips a test without ONNX Runtime in the build tree (make bench-baseline) or Node."""
    if not (inference.ORT_MODULES / "onnxruntime-node").is_dir() or inference.shutil.which("node") is None:
        pytest.skip("ONNX Runtime not installed (make bench-baseline)")


def test_onnx_runtime_script_gives_the_output_opencv_gives(onnx_runtime, tmp_path):
    path, in_shape, out_shape = models.save("resnet18", tmp_path / "resnet18.onnx")
    x = np.random.default_rng(7).standard_normal(in_shape).astype(np.float32)
    runtime = inference.OnnxRuntime(path, x, out_shape, tmp_path)
    try:
        assert all(runtime.time_one() > 0 for _ in range(2))
        output = runtime.finish()
    finally:
        runtime.close()
    assert inference.difference(output, opencv(path, x)) <= 1e-4


@pytest.mark.parametrize("missing", ["node", "package"])
def test_missing_baseline_skips_its_column(tmp_path, monkeypatch, missing):
    if missing == "node":
        monkeypatch.setattr(inference.shutil, "which", lambda name: None)
    else:
        monkeypatch.setattr(inference, "ORT_MODULES", tmp_path / "node_modules")
    x = np.zeros([1, 3, 224, 224], np.float32)
    with pytest.raises(inference.Skipped, match="Node.js" if missing == "node" else "make bench-baseline"):
        inference.OnnxRuntime(str(tmp_path / "any.onnx"), x, [1, 1000], tmp_path)


def test_a_network_opencv_refuses_names_the_node(tmp_path):
    path, in_shape, _ = models.save("mobilenet_v2", tmp_path / "clip.onnx")
    with pytest.raises(inference.Skipped, match=r"node Clip@ai\.onnx"):
        inference.opencv_runner(path, np.zeros(in_shape, np.float32))


def test_onnx_runtime_that_fails_is_a_failure_not_a_skip(onnx_runtime, tmp_path):
    broken = tmp_path / "broken.onnx"
    broken.write_bytes(b"not a model")
    with pytest.raises(inference.Failed):
        inference.OnnxRuntime(str(broken), np.zeros([1, 4], np.float32), [1, 4], tmp_path)
