"""Soak: every kind of runtime object is created and destroyed thousands of times, each
group in a process of its own (soak.py), which must end holding what it held before:
the same handles, the same device memory, and about the same resident memory.

The groups run side by side. HALVORA_SOAK_ROUNDS sets the number of rounds (the
sanitizer runs use fewer: there, leaks are the leak checker's to find at exit)."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROUNDS = int(os.environ.get("HALVORA_SOAK_ROUNDS", "10000"))
GROUPS = ["memory", "preprocess", "compute", "decoder", "encoder"]
# Between the end of the warm-up and the last round, the bytes in use on the heap may grow
# this much (libx265 leaks about 1 KiB per encoder it opens: 180 in the encoder group),
# and resident memory this much more (the allocator's arenas of the codecs' threads
# fragment and settle). A leak of a hundred bytes a round grows the heap by 900 KiB.
HEAP_SLACK = 1 << 20
RSS_SLACK = 8 << 20


@pytest.fixture(scope="module")
def soaks(tmp_path_factory):
    """The soak processes of every group, started together."""
    folder = tmp_path_factory.mktemp("soak")
    running = {}
    for group in GROUPS:
        # A usage registry of its own: the management library's memory figures are then
        # this process's alone.
        env = dict(os.environ, ZESIM_REGISTRY=str(folder / f"registry-{group}"))
        running[group] = subprocess.Popen([sys.executable, str(HERE / "soak.py"), group, str(ROUNDS)], env=env,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    yield running
    for process in running.values():
        if process.poll() is None:
            process.kill()
            process.communicate()


@pytest.mark.parametrize("group", GROUPS)
def test_objects_leave_nothing_behind(soaks, group):
    out, err = soaks[group].communicate(timeout=1200)
    assert soaks[group].returncode == 0, err[-4000:]
    report = json.loads(out.splitlines()[-1])
    before, warm, end = report["before"], report["warm"], report["end"]
    assert report["rounds"] == ROUNDS
    assert end["handles"] == before["handles"]
    assert end["used"] == before["used"]
    if not report["sanitized"]:
        assert end["heap"] - warm["heap"] < HEAP_SLACK, report
        assert end["rss"] - warm["rss"] < RSS_SLACK, report
