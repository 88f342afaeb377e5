"""The pipeline on two cards of two dies: the streams spread over the dies (each die's loads show
its streams' op, model and decoder), --devices picks the dies, a bad one is refused before any
work, and the results are those of every stream on one die."""
import json
import os
import re
import subprocess
import sys

import pytest

from pipeline_paths import ROOT
from sim import BUILD
import halvora as hv  # noqa: E402

FRAMES = 40
DRIVER = """
import contextlib, io, json, sys, threading
sys.path[:0] = {paths!r}
import halvora as hv, pipeline
dies = [hv.Telemetry(device) for device in range(4)]
peaks, done = [dict.fromkeys(("ai", "vdsp", "vdec", "venc"), 0) for die in dies], threading.Event()
def sample():
    while True:
        for peak, die in zip(peaks, dies):
            for unit, load in die.load().items():
                peak[unit] = max(peak[unit], load)
        if done.wait(0.05):
            return
sampler = threading.Thread(target=sample)
sampler.start()
errors, output = io.StringIO(), io.StringIO()
with contextlib.redirect_stderr(errors), contextlib.redirect_stdout(output):
    code = pipeline.main({argv!r})
done.set()
sampler.join()
print(json.dumps([code, errors.getvalue(), output.getvalue(), peaks]))
"""


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    """A folder with the inventory and a 1280 x 720 clip, long enough for its work to show in
    the loads (whole percents over the last second)."""
    folder = tmp_path_factory.mktemp("dies")
    (folder / "host.json").write_text(json.dumps({"cards": [{"dies": 2}, {"dies": 2}]}))
    hv.zecm.uninitialize()
    hv.samples.make_clip(folder / "clip.h264", 1280, 720, FRAMES)
    return folder


def run_on(folder, name, argv):
    """Exit code, standard error, {stream: AI device named}, peak loads per AI device (sampled
    while it runs: a die's decoder may finish a second before the end) and results per stream of
    the pipeline in a fresh interpreter, with a usage registry of its own."""
    out = folder / f"{name}.jsonl"
    argv = ["--input", str(folder / "clip.h264"), "--quiet", "--out", str(out)] + argv
    env = dict(os.environ, ZESIM_CONFIG=str(folder / "host.json"), ZESIM_REGISTRY=str(folder / f"{name}.registry"))
    paths = [str(ROOT / "python"), str(ROOT / "examples"), str(BUILD / "python")]
    done = subprocess.run([sys.executable, "-c", DRIVER.format(paths=paths, argv=argv)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    code, errors, output, loads = json.loads(done.stdout)
    named = re.findall(r"^stream (\d+):.*; on card \d die \d \(AI device (\d)", output, re.M)
    results: dict = {}
    for line in out.read_text().splitlines() if out.exists() else []:
        entry = json.loads(line)
        results.setdefault(entry.pop("stream"), []).append((entry["frame"], entry["class"], entry["score"]))
    return code, errors, {int(s): int(d) for s, d in named}, loads, results


@pytest.mark.parametrize("argv, expected", [
    (["--streams", "5"], [0, 1, 2, 3, 0]),
    (["--streams", "3", "--devices", "3,1"], [3, 1, 3]),
    (["--streams", "2", "--devices", "2"], [2, 2]),
])
def test_streams_spread_over_the_dies_with_the_results_of_one(host, argv, expected):
    code, errors, placed, loads, results = run_on(host, "-".join(argv).replace(",", ""), argv)
    assert code == 0 and placed == dict(enumerate(expected)), errors
    for device, load in enumerate(loads):
        assert [load[unit] > 0 for unit in ("ai", "vdsp", "vdec")] == [device in expected] * 3, (device, load)
    code, _, placed, _, alone = run_on(host, "one-die", ["--device", "0"])
    assert code == 0 and placed == {} and len(alone[0]) == FRAMES
    assert results == {stream: alone[0] for stream in range(len(expected))}


@pytest.mark.parametrize("devices, missing", [("0,4", 4), ("1,7,9", 7)])
def test_a_device_the_host_lacks_is_refused_before_any_work(host, devices, missing):
    code, errors, _, loads, results = run_on(host, f"bad-{devices}", ["--devices", devices])
    assert (code, errors) == (1, f"pipeline: error: --devices: no AI device {missing}; "
                                 "the host has AI devices 0 to 3\n")
    assert results == {} and not any(any(load.values()) for load in loads)
