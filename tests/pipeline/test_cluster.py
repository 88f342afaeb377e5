"""The pipeline's sources on a local Dask cluster of two workers: the results equal those of
one process, each source's once, also when a worker is killed mid-stream; a corrupt source
fails alone; a lost scheduler ends the client with no process left."""
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import threading
import time

import distributed
import pytest

from pipeline_paths import ROOT
from sim import BUILD
import pipeline  # noqa: E402
import halvora.cluster as hc  # noqa: E402

CLIPS = [("a/clip.mp4", "320x240", 45), ("b/clip.mp4", "256x192", 40), ("c/walk.mkv", "320x180", 50),
         ("d/road.ts", "192x144", 45), ("e/hall.mov", "288x224", 40), ("f/gate.mp4", "240x160", 50)]
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
NAMES = ["clip", "clip-2", "walk", "road", "hall", "gate"]


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """Six short clips in four containers (two of the same name), a corrupt one, and the
    results of one process on them: {name: JSON lines}."""
    folder = tmp_path_factory.mktemp("cluster")
    paths = []
    for index, (name, size, frames) in enumerate(CLIPS):
        path = folder / name
        path.parent.mkdir()
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                        f"testsrc2=size={size}:rate=25,hue=h={index * 50}", "-frames:v", str(frames), "-c:v",
                        "libx264", "-bf", "2", "-pix_fmt", "yuv420p", str(path)], check=True, timeout=60)
        paths.append(str(path))
    corrupt = folder / "corrupt.h264"
    corrupt.write_bytes(b"\x00\x00\x01\x67" + os.urandom(4000))
    out = folder / "alone"
    summary = pipeline.run_many(pipeline.arguments([*inputs(paths), "--out", str(out)]), log=io.StringIO())
    assert summary["frames"] == sum(frames for _, _, frames in CLIPS)
    return paths, str(corrupt), results(out)


def inputs(paths):
    return [argument for path in paths for argument in ("--input", path)]


def results(folder):
    return {entry.name: entry.read_text() for entry in sorted(folder.iterdir())}


@pytest.fixture
def cluster():
    with hc.local_cluster(workers=2, devices=[0]) as local, distributed.Client(local) as client:
        yield local.scheduler_address, client


def kill_a_worker_once_streaming(client, out, killed):
    """SIGKILLs the worker running the first clip whose results file has appeared."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not killed:
        started = {entry.name.split(".")[1] for entry in out.iterdir() if entry.name.endswith(".part.jsonl")} \
            if out.is_dir() else set()
        for worker, keys in client.processing().items():
            if any(key.startswith(f"source-{name}-") for key in keys for name in started & set(NAMES)):
                pid = client.run(os.getpid, workers=[worker])[worker]
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
                break
        time.sleep(0.02)


@pytest.mark.parametrize("kill", [False, True], ids=["as-is", "worker-killed"])
def test_every_source_once_as_in_one_process_and_the_corrupt_one_fails_alone(clips, cluster, tmp_path, kill):
    paths, corrupt, alone = clips
    address, client = cluster
    out, log, killed = tmp_path / "out", io.StringIO(), []
    killer = threading.Thread(target=kill_a_worker_once_streaming, args=(client, out, killed)) if kill else None
    if killer:
        killer.start()
    options = pipeline.arguments([*inputs(paths[:3]), "--input", corrupt, *inputs(paths[3:]), "--scheduler", address,
                                  "--out", str(out), "--retries", "1"])
    with pytest.raises(pipeline.PipelineError, match="^1 of 7 sources failed$"):
        pipeline.run_many(options, log=log)
    if killer:
        killer.join()
        assert killed, "no worker was killed"
    assert results(out) == alone  # no partial file left, none doubled
    lines = log.getvalue().splitlines()
    assert [line for line in lines if line.startswith(corrupt)] == [
        f"{corrupt}: failed after 2 tries: {corrupt}: not an H.264 stream "
        "(no picture decodes from its first 4004 bytes)"]
    done = [line for line in lines if ": done, " in line]
    assert sorted(line.rsplit(" -> ", 1)[1] for line in done) == sorted(f"{out / name}.jsonl" for name in NAMES)
    assert any("retried 1 time" in line for line in done) == kill


@pytest.mark.parametrize("sources, names", [
    (["x/a.mp4", "y/a.mkv", "a-2.ts", "z/a.h264"], ["a", "a-2", "a-2-2", "a-3"]),
    (["rtsp://cam:554/live/main?user=1", "http://host/", "udp://239.0.0.1:1234"], ["main", "host", "239.0.0.1_1234"]),
    (["../.hidden.mp4", "name with space.mp4"], ["hidden", "name_with_space"]),
])
def test_result_names_are_unique_and_safe(sources, names):
    assert hc.unique_names(sources) == names


def test_leftovers_are_removed_for_their_own_source_only(tmp_path):
    names = [".my.0123456789ab.part.jsonl", ".my.video.0123456789ab.part.jsonl", ".my-2.0123456789ab.part.mp4",
             "my.jsonl"]
    for name in names:
        (tmp_path / name).touch()
    hc.remove_parts(tmp_path, "my")
    assert sorted(entry.name for entry in tmp_path.iterdir()) == sorted(names[1:])


def in_session(session):
    """The processes of a session still running (zombies aside)."""
    found = []
    for entry in os.listdir("/proc"):
        with contextlib.suppress(OSError, ValueError, IndexError):
            state = open(f"/proc/{entry}/stat").read().rsplit(")", 1)[1].split()[0]
            if os.getsid(int(entry)) == session and state != "Z":
                found.append(int(entry))
    return found


def test_a_lost_scheduler_ends_the_client_with_no_process_left(clips, tmp_path):
    paths, _, _ = clips
    env = dict(os.environ, HALVORA_BUILD=str(BUILD), PYTHONPATH=os.pathsep.join(
        [str(ROOT / "examples"), str(ROOT / "python"), str(BUILD / "python")]), DASK_LOGGING__DISTRIBUTED="error")
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": env}
    scheduler = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                  "--port", "0", "--no-dashboard", "--scheduler-file", str(tmp_path / "s.json")],
                                 **quiet)
    worker = None
    try:
        while not (tmp_path / "s.json").exists():
            time.sleep(0.1)
        address = json.loads((tmp_path / "s.json").read_text())["address"]
        worker = subprocess.Popen([sys.executable, "-m", "halvora.cluster", address], start_new_session=True, **quiet)
        client = subprocess.Popen([sys.executable, str(ROOT / "examples" / "pipeline.py"), *inputs(paths * 4),
                                   "--scheduler", address, "--out", str(tmp_path / "out")], env=env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        line = client.stdout.readline()
        assert line.endswith("sources on a cluster of 1 worker\n"), line + client.stderr.read()
        scheduler.kill()
        _, errors = client.communicate(timeout=60)
        assert client.returncode == 1
        assert errors.splitlines()[-1] == f"pipeline: error: {address}: the scheduler is gone"
        assert in_session(client.pid) == []
    finally:
        for process in (scheduler, worker):
            if process is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL) if process is worker else process.kill()
                process.wait()
