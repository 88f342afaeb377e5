"""The pipeline end to end on a short clip: every frame's result equals the same model run by
cv2.dnn on the ffmpeg tool's decode, preprocessed by OpenCV and NumPy; one and two streams;
the work in flight stays bounded; errors end with one line, a non-zero exit and nothing left
on the card."""
import contextlib
import json
import os
import re
import socket
import subprocess
import sys
import textwrap
import threading

import cv2
import numpy as np
import pytest
from onnx import helper

from model_input import model_picture
from sim import BUILD
from pipeline_paths import FRAMES, HEIGHT, ROOT, WIDTH
import halvora as hv  # noqa: E402
import pipeline  # noqa: E402  (examples/pipeline.py, run as a program)
from halvora.samples import save_model, value_info, weight as initializer  # noqa: E402

SIZE = 64
MEAN, STD = [0.45, 0.5, 0.55], [0.25, 0.2, 0.3]


def save_detector(path, input_type):
    """A detector-shaped model [1, 3, 64, 64] -> [1, 64, 6]: one row (x1, y1, x2, y2, score, class)
    per 8 x 8 cell, in input pixels; boxes 24 pixels wide, moved and scored by the cell's colour."""
    weight = np.zeros((6, 3, 1, 1), np.float32)
    weight[[0, 1, 2, 3, 4], [0, 1, 2, 0, 1], 0, 0] = [1, 1, 1, 1, 0.2]
    bias = np.array([-2, -2, 22, 22, 0.5, 0], np.float32)
    cy, cx = np.mgrid[0:8, 0:8].astype(np.float32) * 8
    grid = np.stack([cx, cy, cx, cy, np.zeros_like(cx), (cx / 8) % 2])[None]
    nodes = [helper.make_node("AveragePool", ["image"], ["pooled"], kernel_shape=[8, 8], strides=[8, 8]),
             helper.make_node("Conv", ["pooled", "w", "b"], ["cells"], kernel_shape=[1, 1]),
             helper.make_node("Add", ["cells", "grid"], ["placed"]),
             helper.make_node("Reshape", ["placed", "shape"], ["columns"]),
             helper.make_node("Transpose", ["columns"], ["boxes"], perm=[0, 2, 1])]
    return save_model(path, nodes, [value_info("image", [1, 3, SIZE, SIZE], input_type)],
                      [value_info("boxes", [1, 64, 6])],
                      [initializer(weight, "w"), initializer(bias, "b"), initializer(grid, "grid"),
                       initializer(np.array([1, 6, 64]), "shape", np.int64)], "detector")


def models(folder, kind):
    """(model for the pipeline, float32 model for cv2.dnn) of a kind."""
    if kind == "detector":
        return save_detector(folder / "card.onnx", "float16"), save_detector(folder / "cpu.onnx", "float32")
    card = hv.samples.build_classifier(folder / "card.onnx", kind, size=SIZE)
    return card, hv.samples.build_classifier(folder / "cpu.onnx", "uint8" if kind == "uint8" else "float32", size=SIZE)


def reference_input(nv12, letterbox, layout):
    """The model's input from a decoded picture, with OpenCV and NumPy, as float32."""
    image = model_picture(nv12, SIZE, SIZE, letterbox, 114, hv.letterbox_geometry)
    if layout == "uint8":
        values = image.astype(np.float32)
    else:  # what the card feeds: float16 of the normalised values
        values = ((image.astype(np.float32) / np.float32(255) - np.float32(MEAN)) / np.float32(STD))
        values = values.astype(np.float16).astype(np.float32)
    return np.ascontiguousarray(values.transpose(2, 0, 1)[None])


def read_results(path):
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    streams = {}
    for line in lines:
        streams.setdefault(line.pop("stream"), []).append(line)
    return streams


@pytest.mark.parametrize("kind, letterbox, streams", [
    ("float16", False, 1),
    ("float16", True, 2),
    ("float32", False, 1),  # fed through a copy declared float16
    ("uint8", False, 1),
    ("detector", True, 1),
])
def test_every_frame_equals_opencv_on_the_same_pictures(clip, tmp_path, monkeypatch, kind, letterbox, streams):
    path, pictures = clip
    card_model, cpu_model = models(tmp_path, kind)
    held, pending = [], []
    receive, submit = hv.Decoder.receive, hv.ModelStream.submit

    def counting_receive(self, wait=0):
        frame = receive(self, wait)
        held.append(self.held)
        return frame

    def counting_submit(self, dataset, tag=None):
        pending.append(self.pending())
        return submit(self, dataset, tag)

    monkeypatch.setattr(hv.Decoder, "receive", counting_receive)
    monkeypatch.setattr(hv.ModelStream, "submit", counting_submit)
    out = tmp_path / "results.jsonl"
    argv = ["--input", str(path), "--model", card_model, "--streams", str(streams), "--out", str(out), "--quiet",
            "--mean", ",".join(map(str, MEAN)), "--std", ",".join(map(str, STD)), "--depth", "3"]
    summary = pipeline.run(pipeline.arguments(argv + (["--letterbox"] if letterbox else [])), log=open(os.devnull, "w"))
    assert summary["frames"] == FRAMES * streams
    assert max(held) <= 1 and max(pending) <= 2  # pictures go back at once; at most 3 runs in flight

    net = cv2.dnn.readNetFromONNX(cpu_model)
    post = (hv.Classifier() if kind != "detector"
            else hv.Detector([1, 64, 6], (SIZE, SIZE), (WIDTH, HEIGHT), letterbox))
    expected = []
    for index, picture in enumerate(pictures):
        net.setInput(reference_input(picture, letterbox, kind))
        expected.append({"frame": index, **post([net.forward()])})
    results = read_results(out)
    assert sorted(results) == list(range(streams))
    for ours in results.values():
        assert [r["frame"] for r in ours] == list(range(FRAMES))
        for mine, theirs in zip(ours, expected):
            if kind == "detector":
                assert len(mine["boxes"]) == len(theirs["boxes"])
                for a, b in zip(mine["boxes"], theirs["boxes"]):
                    assert a["class"] == b["class"] and a["score"] == pytest.approx(b["score"], abs=1e-4)
                    np.testing.assert_allclose(a["box"], b["box"], atol=0.11)
            else:
                assert mine["class"] == theirs["class"]
                assert mine["score"] == pytest.approx(theirs["score"], abs=1e-4)
    if kind == "detector":
        found = [len(r["boxes"]) for r in expected]
        assert FRAMES < sum(found) < 40 * FRAMES  # boxes were found, and many suppressed
    else:
        assert len({r["score"] for r in expected}) > FRAMES // 2  # the frames differ


@pytest.mark.parametrize("kind, streams, name", [("float16", 1, "annotated.mp4"), ("detector", 2, "annotated.mkv")])
def test_annotated_video_has_every_frame_with_its_result_drawn(clip, tmp_path, kind, streams, name):
    path, pictures = clip
    argv = ["--input", str(path), "--model", models(tmp_path, kind)[0], "--streams", str(streams), "--quiet",
            "--out", str(tmp_path / "results.jsonl"), "--annotate", str(tmp_path / name)]
    summary = pipeline.run(pipeline.arguments(argv), log=open(os.devnull, "w"))
    results = read_results(tmp_path / "results.jsonl")
    plain = [cv2.cvtColor(picture, cv2.COLOR_YUV2RGB_NV12) for picture in pictures]
    for stream in range(streams):
        target = pipeline.annotation_path(tmp_path / name, stream, streams)
        assert summary["streams"][stream]["annotated"] == {"path": target, "frames": FRAMES}
        info = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                               "stream=width,height,r_frame_rate,nb_read_frames", "-of", "csv=p=0", target],
                              capture_output=True, text=True, check=True).stdout
        assert info.strip() == f"{WIDTH},{HEIGHT},30/1,{FRAMES}"
        raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", target, "-f", "rawvideo", "-pix_fmt", "rgb24",
                              "-"], capture_output=True, check=True).stdout
        for picture, before, result in zip(np.frombuffer(raw, np.uint8).reshape(-1, HEIGHT, WIDTH, 3), plain,
                                           results[stream]):
            drawn = before.copy()
            pipeline.draw_result(drawn, result)
            where = (drawn != before).any(axis=2)
            change = np.abs(picture.astype(int) - before).mean(axis=2)
            assert where.sum() > 200 and change[where].mean() > 40  # the text or boxes show, at their frame
            near = cv2.dilate(where.astype(np.uint8), np.ones((9, 9), np.uint8)) > 0  # (the encoder's ringing)
            assert change[~near].mean() < 6


def test_an_input_serves_one_run_at_a_time(clip, tmp_path, monkeypatch):
    """Frame 0's run is delivered before its submit returns, and frame 1's only once frame 2 is
    queued: frame 2 must be given an input of its own."""
    submit, collect = hv.ModelStream.submit, pipeline.StreamWorker._collect
    flying, shared, frame_2_queued = [], [], threading.Event()

    def submitting(self, dataset, tag=None):
        shared.extend(tag[0] for other in flying if other is dataset)
        flying.append(dataset)
        submit(self, dataset, tag)
        if tag[0] in (0, 2):
            self.synchronize() if tag[0] == 0 else frame_2_queued.set()

    def collecting(self, tag, arrays, error):
        frame_2_queued.wait(30) if tag[0] == 1 else None
        flying.pop(0)
        collect(self, tag, arrays, error)

    monkeypatch.setattr(hv.ModelStream, "submit", submitting)
    monkeypatch.setattr(pipeline.StreamWorker, "_collect", collecting)
    argv = ["--input", str(clip[0]), "--model", models(tmp_path, "float16")[0], "--depth", "2", "--limit", "4"]
    assert pipeline.run(pipeline.arguments(argv + ["--quiet"]), log=open(os.devnull, "w"))["frames"] == 4
    assert shared == []


@pytest.mark.parametrize("letterbox, row, box", [
    (False, [32, 16, 48, 48, 0.9, 3], [160, 60, 240, 180]),
    (True, [32, 16, 48, 48, 0.9, 3], [160, 40, 240, 200]),  # 320 x 240 into 64 x 48 at y offset 8
])
def test_detector_boxes_are_mapped_back_to_the_picture(letterbox, row, box):
    detector = hv.Detector([1, 2, 6], (SIZE, SIZE), (WIDTH, HEIGHT), letterbox)
    rows = np.array([[row, [0, 0, 1, 1, 0.1, 0]]], np.float32)  # the second is below the threshold
    assert detector([rows]) == {"boxes": [{"box": box, "score": 0.9, "class": 3}]}


def test_detector_reads_centred_boxes_and_suppresses_overlaps():
    detector = hv.Detector([1, 3, 7], (SIZE, SIZE), (SIZE, SIZE), False)
    rows = np.array([[[32, 32, 20, 20, 0.9, 0.1, 0.9],   # class 1, score 0.81
                      [33, 32, 20, 20, 0.8, 0.1, 0.9],   # the same object, lower: suppressed
                      [10, 10, 8, 8, 0.9, 0.6, 0.4]]], np.float32)
    found = detector([rows])["boxes"]
    assert [(b["class"], b["score"]) for b in found] == [(1, 0.81), (0, 0.54)]
    assert found[0]["box"] == [22, 22, 42, 42]


def test_classifier_takes_logits_or_probabilities():
    classify = hv.Classifier()
    assert classify([np.array([[0.1, 0.7, 0.2]], np.float32)]) == {"class": 1, "score": 0.7}
    logits = classify([np.array([[0.0, 2.0, -1.0]], np.float32)])
    assert logits["class"] == 1 and logits["score"] == pytest.approx(np.exp(2) / (1 + np.exp(2) + np.exp(-1)), 1e-4)


@pytest.mark.parametrize("post, output, expected", [
    (hv.Classifier(), [[0.2, np.nan, 0.8]], {"class": None, "score": None}),
    (hv.Detector([1, 3, 6], (SIZE, SIZE), (SIZE, SIZE), False),
     [[[np.nan, 1, 20, 20, 0.9, 0], [1, 1, 20, 20, np.inf, 1], [4, 4, 30, 30, 0.8, 2]]],
     {"boxes": [{"box": [4, 4, 30, 30], "score": 0.8, "class": 2}]}),
])
def test_results_are_strict_json_whatever_the_model_gives(tmp_path, post, output, expected):
    with contextlib.closing(pipeline.Sink(tmp_path / "results.jsonl", 1)) as sink:
        sink.add(0, 7, post([np.array(output, np.float32)]))
        with pytest.raises(ValueError):  # nothing that is not finite reaches the file
            sink.add(0, 8, {"class": 1, "score": float("nan")})
    line = (tmp_path / "results.jsonl").read_text()
    assert json.loads(line, parse_constant=pytest.fail) == {"stream": 0, "frame": 7, **expected}


@pytest.mark.parametrize("argv", [["--std", "0,1,1"], ["--std", "0.2,-0.1,0.2"], ["--mean", "inf,0,0"],
                                  ["--threshold", "1.5"], ["--threshold", "nan"], ["--limit", "0"], ["--device", "-1"]])
def test_nonsensical_options_are_refused_in_one_line(capsys, argv):
    with pytest.raises(SystemExit) as exit:
        pipeline.arguments(argv)
    errors = capsys.readouterr().err
    assert exit.value.code == 2
    assert errors.count("\n") == 1 and errors.startswith(f"pipeline: error: argument {argv[0]}: {argv[1]}"), errors


DRIVER = """
import contextlib, io, json, os, signal, sys
sys.path[:0] = {paths!r}
import halvora as hv
import pipeline
from sim import Sim
sim, collect = Sim(), pipeline.StreamWorker._collect
signal.signal(signal.SIGINT, signal.default_int_handler)
def interrupting(after):
    def _collect(self, *report):
        collect(self, *report)
        if self.done == after:  # Ctrl-C, and no more frames until the main thread stops the streams
            os.kill(os.getpid(), signal.SIGINT)
            self.stop.wait()
    return _collect
zecm, zeme, zeml = hv.zecm, hv.zeme, hv.zeml
assert zecm.initialize() == 0 and zecm.setDevice(0) == 0 and zeme.systemInitialize() == 0 and zeml.init() == 0
die = zeml.getDieHandleByDieIndex(zeml.getDieIndexByDevIndex(0))
def state():
    return [zeml.getMemUtilizationRate(die).used, zeme.getDecoderAvailableChannels(),
            zeme.getEncoderAvailableChannels()]
start, results = state(), {{}}
for name, argv, setup in {cases!r}:
    errors, output = io.StringIO(), io.StringIO()
    for function, status, count in setup.get("fail", []):
        sim.fail(function, status, count)
    pipeline.StreamWorker._collect = interrupting(setup.get("interrupt"))
    with contextlib.redirect_stderr(errors), contextlib.redirect_stdout(output):
        code = pipeline.main(argv + ["--quiet"])
    sim.reset()
    results[name] = [code, errors.getvalue(), state(), output.getvalue()]
print(json.dumps([start, results]))
"""


@pytest.fixture(scope="module")
def failures(clip, tmp_path_factory):
    """Runs the pipeline on bad inputs in a fresh interpreter with its own usage registry, which
    started the card's libraries itself (so that the pipeline cannot lean on shutting them down);
    {case: (exit code, standard error, [card memory used, free decoder and encoder channels],
    standard output)}. A case may fail calls of the card (`fail`) or press Ctrl-C once a
    stream has delivered so many frames (`interrupt`)."""
    folder = tmp_path_factory.mktemp("failures")
    path, _ = clip
    data = path.read_bytes()
    # Damage in every frame: the decoder does not report each damaged slice it conceals (see
    # docs/python-package.md), but it does report some of so many.
    corrupt = bytearray(data)
    for place in range(len(data) // 4, len(data), len(data) // 40):
        corrupt[place:place + 32] = bytes(b ^ 0x5A for b in corrupt[place:place + 32])
    (folder / "corrupt.h264").write_bytes(bytes(corrupt))
    # The clip, then pictures the card does not decode (4:4:4): the stream fails part way through.
    extra = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                            f"testsrc=size={WIDTH}x{HEIGHT}:rate=25", "-frames:v", "4", "-c:v", "libx264",
                            "-pix_fmt", "yuv444p", "-f", "h264", "-"], check=True, capture_output=True).stdout
    (folder / "mixed.h264").write_bytes(data + extra)
    (folder / "notes.h264").write_text("not a video\n")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=64x64:rate=10",
                    "-frames:v", "5", "-c:v", "mpeg4", str(folder / "part2.mp4")], check=True)
    with socket.socket() as unused:  # a port nothing listens on
        unused.bind(("127.0.0.1", 0))
        refused = f"http://127.0.0.1:{unused.getsockname()[1]}/live.ts"
    (folder / "notes.onnx").write_text("not a model\n")
    for name, shape in (("gray", [1, 1, 28, 28]), ("image", [1, 3, 32, 32])):
        save_model(folder / f"{name}.onnx", [helper.make_node("Relu", ["x"], ["y"])], [value_info("x", shape)],
                   [value_info("y", shape)], name=name)
    square = hv.samples.build_classifier(folder / "square.onnx", size=SIZE)
    clip_args = ["--input", str(path), "--model", square]
    cases = [
        ("ok", clip_args + ["--streams", "2"]),
        ("missing file", ["--input", str(folder / "missing.h264"), "--model", square]),
        ("not H.264", ["--input", str(folder / "notes.h264"), "--model", square]),
        ("MPEG-4 part 2", ["--input", str(folder / "part2.mp4"), "--model", square]),
        ("refused", ["--input", refused, "--model", square, "--timeout", "2"]),
        ("unsupported part", ["--input", str(folder / "mixed.h264"), "--model", square]),
        ("corrupt", ["--input", str(folder / "corrupt.h264"), "--model", square, "--streams", "2"]),
        ("not a model", ["--input", str(path), "--model", str(folder / "notes.onnx")]),
        ("grey model", ["--input", str(path), "--model", str(folder / "gray.onnx")]),
        ("image out", ["--input", str(path), "--model", str(folder / "image.onnx")]),
        # As many failures as runs in flight: their inputs must still come back.
        ("outputs unreadable", clip_args + ["--depth", "2"], {"fail": [["zecmGetDatasetBuffer", 100002, 2]]}),
        ("no output", clip_args, {"fail": [["zeclRequestOutputDataset", 301005, 1]]}),
        ("run refused", clip_args, {"fail": [["zeclRunStreamAsync", 301002, 1]]}),
        ("interrupted", clip_args + ["--depth", "1", "--out", str(folder / "interrupted.jsonl")], {"interrupt": 5}),
        # Refused before any work: without --input the pipeline would first make a clip.
        ("input is a folder", ["--input", str(folder)]),
        ("out is a folder", ["--out", str(folder), "--clip-size", "64x64"]),
        ("out in a missing folder", ["--out", str(folder / "missing" / "results.jsonl"), "--clip-size", "64x64"]),
        ("out in a read-only place", ["--out", "/sys/results.jsonl", "--clip-size", "64x64"]),  # also for root
        ("out over the input", clip_args + ["--out", str(path)]),
        ("annotate of another container", clip_args + ["--annotate", str(folder / "annotated.avi")]),
        ("annotate in a missing folder", clip_args + ["--annotate", str(folder / "missing" / "annotated.mp4")]),
    ]
    cases = [case if len(case) == 3 else (*case, {}) for case in cases]
    env = dict(os.environ, ZESIM_REGISTRY=str(folder / "registry"), TMPDIR=str(folder))
    source = DRIVER.format(paths=[str(ROOT / "python"), str(ROOT / "examples"), str(BUILD / "python"),
                                  str(ROOT / "tests")],
                           cases=cases)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    start, results = json.loads(result.stdout.strip().splitlines()[-1])
    assert start == [0, 32, 32]
    results["interrupted"].append((folder / "interrupted.jsonl").read_text())
    return results


@pytest.mark.parametrize("case, message", [
    ("missing file", "missing.h264: no such file"),
    ("not H.264", "notes.h264: not an H.264 elementary stream"),
    ("MPEG-4 part 2", r"part2.mp4: the video is mpeg4 \(MPEG-4 part 2\); the card decodes H.264 and HEVC only"),
    ("refused", r"http://127.0.0.1:\d+/live.ts: opening: Connection refused"),
    ("unsupported part", r"stream 0 \(.*mixed.h264\): pictures the card does not decode at about frame \d+ \(not "
                         "8-bit 4:2:0"),
    ("corrupt", r"stream [01] \(.*corrupt.h264\): corrupt H.264 data at about frame \d+ \(by byte \d+ of"),
    ("not a model", "loading the model .*notes.onnx: status 301003"),
    ("grey model", r"gray.onnx: model input 'x' is float32\[1, 1, 28, 28\]: a 3-channel planar image"),
    ("image out", r"image.onnx: output 'y' of shape \[1, 3, 32, 32\] is neither a classifier's"),
    ("outputs unreadable", r"stream 0 \(.*clip.h264\): frame 0: reading output 0: status 100002 \(Invalid handle"),
    ("no output", r"stream 0 \(.*clip.h264\): frame 0: taking a run's outputs: status 301005 \("),
    ("run refused", r"stream 0 \(.*clip.h264\): frame 0: queueing a run of the model: status 301002 \("),
    ("input is a folder", r"failures\d*: a directory; --input takes a file"),
    ("out is a folder", r"failures\d*: a directory; --out takes a file to write"),
    ("out in a missing folder", r"missing/results.jsonl: cannot write the results there \(No such file or directory"),
    ("out in a read-only place", r"/sys/results.jsonl: cannot write the results there \(Permission denied"),
    ("out over the input", r"clip.h264: --out would overwrite the --input file"),
    ("annotate of another container", r"annotated.avi: --annotate writes .mp4, .m4v, .mkv, .mov files"),
    ("annotate in a missing folder", r"annotated.mp4: no folder .*missing to write it in"),
])
def test_errors_say_what_and_where_and_leave_nothing_on_the_card(failures, case, message):
    code, errors, state, output = failures[case]
    assert not output.startswith("made a")
    assert code == 1
    assert errors.endswith("\n") and errors.count("\n") == 1, errors
    assert errors.startswith("pipeline: error: ")
    assert re.search(message, errors), errors
    assert state == [0, 32, 32]  # memory and channels all back


def test_a_full_run_leaves_nothing_on_the_card(failures):
    code, errors, state, _ = failures["ok"]
    assert (code, errors, state) == (0, "", [0, 32, 32])


@pytest.mark.parametrize("case, code, last", [
    ("unsupported part", 1, "pipeline: error: stream 0 "),
    ("outputs unreadable", 1, "pipeline: error: stream 0 "),
    ("interrupted", 130, "pipeline: interrupted\n"),
])
def test_an_error_or_ctrl_c_still_summarises_the_work_done(failures, case, code, last):
    status, errors, state, output, *written = failures[case]
    assert (status, state, errors.count("\n")) == (code, [0, 32, 32], 1) and errors.startswith(last), errors
    done = int(re.search(r"^total: (\d+) frames in", output, re.M).group(1))
    assert re.search(rf"^stream 0: {done} frames", output, re.M), output
    if written:
        assert 5 <= done < FRAMES
        assert [json.loads(line)["frame"] for line in written[0].splitlines()] == list(range(done))
