"""The pipeline's sources on a Dask cluster against the same sources in one process: eight
clips (made by the card's encoder) through examples/pipeline.py with the built-in classifier,
once one after another in this process (the baseline), once on a local cluster of one worker
process, then of two. The clusters are started before they are timed (a cluster is started once
and serves many jobs) and warmed up by one clip, as the process is; their start-up time is
printed on its own. Best of ROUNDS rounds, interleaved.

    bench/cluster.py                 640x360 clips of 150 frames
    bench/cluster.py --size 1280x720 --frames 90"""
import argparse
import io
import pathlib
import sys
import tempfile
import time

from common import ROOT, report

sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "python"))

import distributed  # noqa: E402
import halvora as hv  # noqa: E402
import halvora.cluster as hc  # noqa: E402
import pipeline  # noqa: E402  (examples/pipeline.py, the program measured)

CLIPS = 8
ROUNDS = 3


def timed(argv):
    """Wall seconds and frames of the pipeline on `argv`."""
    began = time.perf_counter()
    summary = pipeline.run_many(pipeline.arguments(argv), log=io.StringIO())
    return time.perf_counter() - began, summary["frames"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="640x360")
    parser.add_argument("--frames", type=int, default=150)
    options = parser.parse_args()
    width, height = pipeline.parse_size(options.size)
    with tempfile.TemporaryDirectory(prefix="bench-cluster-") as folder:
        folder = pathlib.Path(folder)
        sources = [hv.samples.make_clip(folder / f"clip{k}.h264", width, height, options.frames) for k in range(CLIPS)]
        hv.zecm.uninitialize()
        inputs = [argument for source in sources for argument in ("--input", source)]
        print(f"{CLIPS} clips of {width}x{height}, {options.frames} frames each, "
              f"through the pipeline's built-in classifier")
        walls: dict = {"process": [], 1: [], 2: []}
        timed(inputs[:2])  # the process warmed up as the clusters are
        for round_ in range(ROUNDS):
            wall, frames = timed([*inputs, "--out", str(folder / f"process-{round_}")])
            walls["process"].append(wall)
            for workers in (1, 2):
                began = time.perf_counter()
                with hc.local_cluster(workers) as cluster, distributed.Client(cluster) as client:
                    client.wait_for_workers(workers)
                    started = time.perf_counter() - began
                    timed([*inputs[:2], "--scheduler", cluster.scheduler_address])
                    wall, _ = timed([*inputs, "--scheduler", cluster.scheduler_address,
                                     "--out", str(folder / f"cluster{workers}-{round_}")])
                walls[workers].append(wall)
                print(f"round {round_ + 1}: {workers} worker{'s' if workers > 1 else ''} started in {started:.2f} s")
        one_process, one, two = min(walls["process"]), min(walls[1]), min(walls[2])
        for name, wall in (("one process", one_process), ("cluster, 1 worker", one), ("cluster, 2 workers", two)):
            print(f"{name}: {frames} frames in {wall:.2f} s, {frames / wall:.1f} fps")
        report("cluster of 1 worker against one process (wall time)", one, one_process, "s", 1)
        report("cluster of 2 workers against 1 worker (wall time)", two, one, "s", 1)


if __name__ == "__main__":
    main()
