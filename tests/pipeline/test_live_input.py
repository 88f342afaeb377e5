"""The pipeline on containers and on a live source: each frame's JSON line carries the ffmpeg
tool's presentation time; a live input that stops and comes back is reopened, the gap printed,
and Ctrl-C still ends it cleanly with its summary."""
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from sim import BUILD
from pipeline_paths import ROOT
import pipeline  # noqa: E402


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *map(str, args)], check=True, timeout=120)


@pytest.mark.parametrize("name, encoder", [
    ("clip.mkv", ["-c:v", "libx265", "-x265-params", "log-level=none:bframes=3"]),
    ("clip.ts", ["-c:v", "libx264", "-bf", "2"]),
])
def test_json_lines_carry_the_ffmpeg_tools_times(tmp_path, name, encoder):
    path, out = tmp_path / name, tmp_path / "results.jsonl"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=192x108:rate=30000/1001", "-frames:v", 15, *encoder, "-pix_fmt",
           "yuv420p", path)
    probed = json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "frame=pts_time", "-of", "json",
                                        str(path)], check=True, capture_output=True, text=True, timeout=60).stdout)
    probed = [frame["pts_time"] for frame in probed["frames"]]
    pipeline.hv.zecm.uninitialize()
    summary = pipeline.run(pipeline.arguments(["--input", str(path), "--out", str(out), "--quiet"]),
                           log=open(os.devnull, "w"))
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    assert summary["frames"] == len(lines) == len(probed) == 15
    assert [line["time"] for line in lines] == [float(value) for value in probed]


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {seconds} s")
        time.sleep(0.1)


def test_a_live_input_comes_back_after_a_gap_and_ctrl_c_ends_it(tmp_path):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        url = f"udp://127.0.0.1:{probe.getsockname()[1]}"
    sender = ["ffmpeg", "-nostdin", "-loglevel", "quiet", "-re", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
              "-c:v", "libx264", "-g", "10", "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-t", "120", "-f",
              "mpegts", url]
    out, errors = tmp_path / "results.jsonl", tmp_path / "errors.txt"
    env = dict(os.environ, PYTHONPATH=f"{BUILD / 'python'}{os.pathsep}{ROOT / 'python'}")
    served = subprocess.Popen(sender, stdin=subprocess.DEVNULL)
    with open(errors, "w") as error_file:
        run = subprocess.Popen([sys.executable, str(ROOT / "examples" / "pipeline.py"), "--input", url, "--timeout",
                                "1", "--reconnect", "40", "--out", str(out), "--quiet"], env=env,
                               stdout=subprocess.PIPE, stderr=error_file, text=True)
    try:
        def lines():
            return out.read_text().splitlines() if out.exists() else []
        wait_for(lambda: len(lines()) >= 25, 90, "results")
        served.kill()
        served.wait(10)
        time.sleep(1.5)
        served = subprocess.Popen(sender, stdin=subprocess.DEVNULL)
        before = len(lines())
        wait_for(lambda: "gap of" in errors.read_text() and len(lines()) >= before + 25, 60, "frames after the gap")
        run.send_signal(signal.SIGINT)
        output, _ = run.communicate(timeout=30)
    finally:
        for process in (run, served):
            process.kill()
            process.wait(10)
    stderr = errors.read_text().splitlines()
    assert run.returncode == 130 and stderr[-1] == "pipeline: interrupted", stderr
    gap = next(line for line in stderr if "gap of" in line)
    assert gap.startswith(f"pipeline: stream 0 ({url}): gap of ") and "reopened after" in gap
    assert "live: 1 gaps" in output
    times = [json.loads(line)["time"] for line in lines()]
    assert all(later > earlier for earlier, later in zip(times, times[1:]))
