"""The pipeline on a host of two cards of two dies: the streams spread over the dies (each die's
telemetry shows the work of its streams, decoder included), --devices picks the dies, a bad
--devices is refused before any work, and the results are those of every stream on one die."""
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
import contextlib, io, json, sys
sys.path[:0] = {paths!r}
import halvora as hv
import pipeline
errors, output = io.StringIO(), io.StringIO()
with contextlib.redirect_stderr(errors), contextlib.redirect_stdout(output):
    code = pipeline.main({argv!r})
loads = []
for device in range(4):
    with hv.Telemetry(device) as telemetry:
        loads.append(telemetry.load())
print(json.dumps([code, errors.getvalue(), output.getvalue(), loads]))
"""


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    """(folder, inventory of two cards of two dies, a 1280 x 720 clip: long enough for its work to
    show in the loads, which telemetry gives in whole percents)."""
    folder = tmp_path_factory.mktemp("dies")
    config = folder / "host.json"
    config.write_text(json.dumps({"cards": [{"id": 0, "dies": 2}, {"id": 1, "dies": 2}]}))
    hv.zecm.uninitialize()
    return folder, config, hv.samples.make_clip(folder / "clip.h264", 1280, 720, FRAMES)


def run_on(host, name, argv):
    """(exit code, standard error, {stream: die's AI device}, per-die loads, results by stream) of
    the pipeline run in a fresh interpreter on the host, with a usage registry of its own."""
    folder, config, clip = host
    out = folder / f"{name}.jsonl"
    argv = ["--input", str(clip), "--quiet", "--out", str(out)] + argv
    paths = [str(ROOT / "python"), str(ROOT / "examples"), str(BUILD / "python")]
    env = dict(os.environ, ZESIM_CONFIG=str(config), ZESIM_REGISTRY=str(folder / f"{name}.registry"))
    done = subprocess.run([sys.executable, "-c", DRIVER.format(paths=paths, argv=argv)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    code, errors, output, loads = json.loads(done.stdout)
    named = re.findall(r"^stream (\d+):.*; on card \d die \d \(AI device (\d)", output, re.M)
    placed = {int(stream): int(device) for stream, device in named}
    results: dict = {}
    for line in out.read_text().splitlines() if out.exists() else []:
        entry = json.loads(line)
        results.setdefault(entry.pop("stream"), []).append(entry)
    return code, errors, placed, loads, results


@pytest.fixture(scope="module")
def one_die(host):
    code, _, placed, _, results = run_on(host, "one-die", ["--streams", "3", "--device", "0"])
    assert code == 0 and placed == {} and sorted(results) == [0, 1, 2]
    return results


@pytest.mark.parametrize("argv, expected", [
    (["--streams", "5"], [0, 1, 2, 3, 0]),
    (["--streams", "3", "--devices", "3,1"], [3, 1, 3]),
    (["--streams", "2", "--devices", "2"], [2, 2]),
])
def test_streams_spread_over_the_dies_with_the_results_of_one(host, one_die, argv, expected):
    code, errors, placed, loads, results = run_on(host, "-".join(argv).replace(",", ""), argv)
    assert code == 0, errors
    assert placed == dict(enumerate(expected))
    for device, load in enumerate(loads):  # the op, the model and the decoder of a stream on its die
        busy = [load[unit] > 0 for unit in ("ai", "vdsp", "vdec")]
        assert busy == [device in expected] * 3, (device, load)
    reference = one_die[0]
    assert len(reference) == FRAMES
    assert [len(results[stream]) for stream in sorted(results)] == [FRAMES] * len(expected)
    for stream in results.values():
        assert [(r["frame"], r["class"], r["score"]) for r in stream] == \
            [(r["frame"], r["class"], r["score"]) for r in reference]


@pytest.mark.parametrize("devices, message", [
    ("0,4", "--devices: no AI device 4; the host has AI devices 0 to 3"),
    ("1,7,9", "--devices: no AI device 7; the host has AI devices 0 to 3"),
])
def test_a_device_the_host_lacks_is_refused_before_any_work(host, devices, message):
    code, errors, _, loads, results = run_on(host, f"bad-{devices}", ["--devices", devices])
    assert (code, errors) == (1, f"pipeline: error: {message}\n")
    assert results == {} and all(load == {"ai": 0, "vdsp": 0, "vdec": 0, "venc": 0} for load in loads)
