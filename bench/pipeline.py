"""The video pipeline (examples/pipeline.py) against the same job written the way a program
without the card does it: cv2.VideoCapture to decode, cv2.cvtColor + cv2.resize + NumPy to
preprocess, cv2.dnn to run the model, one thread per stream. Both read the same 1080p H.264
clip (made by the card's encoder) and run the same classifier (float16 input on the card,
the float32 original in cv2.dnn). Each side runs in its own process, which reports its frames,
wall time and peak resident memory (VmHWM); one and two streams, the best of two rounds."""
import argparse
import json
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

from common import ROOT, report

sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "python"))

import pipeline  # noqa: E402

FRAMES = 240
ROUNDS = 2


def peak_rss():
    """The process's peak resident memory, in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def opencv_stream(path, model, size, results, index):
    import cv2
    import numpy as np
    mean = np.array(pipeline.hv.preprocess.IMAGENET_MEAN, np.float32)
    std = np.array(pipeline.hv.preprocess.IMAGENET_STD, np.float32)
    capture = cv2.VideoCapture(path)
    net = cv2.dnn.readNetFromONNX(model)
    classes = []
    while True:
        ok, bgr = capture.read()
        if not ok:
            break
        rgb = cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB)
        small = cv2.resize(rgb, (size, size), interpolation=cv2.INTER_LINEAR)
        x = (small.astype(np.float32) / np.float32(255) - mean) / std
        net.setInput(np.ascontiguousarray(x.transpose(2, 0, 1)[None]))
        classes.append(int(net.forward().argmax()))
    capture.release()
    results[index] = classes


def child(kind, path, model, streams):
    """One side of the comparison in this process; prints its figures as JSON."""
    if kind == "opencv":
        results = [None] * streams
        threads = [threading.Thread(target=opencv_stream, args=(path, model, 224, results, i))
                   for i in range(streams)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        seconds = time.perf_counter() - start
        frames = sum(len(r) for r in results)
        classes = results[0]
    else:
        out = pathlib.Path(tempfile.mkdtemp()) / "results.jsonl"
        options = pipeline.arguments(["--input", path, "--model", model, "--streams", str(streams), "--quiet",
                                      "--out", str(out)])
        with open("/dev/null", "w") as quiet:
            summary = pipeline.run(options, log=quiet)
        seconds, frames = summary["seconds"], summary["frames"]
        lines = [json.loads(line) for line in out.read_text().splitlines()]
        classes = [line["class"] for line in sorted(lines, key=lambda r: r["frame"]) if line["stream"] == 0]
        out.unlink()
    print(json.dumps({"frames": frames, "seconds": seconds, "rss": peak_rss(), "classes": classes}))


def measure(kind, path, model, streams):
    result = subprocess.run([sys.executable, __file__, "--child", kind, path, model, str(streams)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"{kind} with {streams} streams failed: {result.stderr.strip()}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def main():
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        start = time.perf_counter()
        clip = pipeline.make_clip(folder / "clip.h264", 1920, 1080, FRAMES)
        card_model = pipeline.build_classifier(folder / "card.onnx", "float16")
        cpu_model = pipeline.build_classifier(folder / "cpu.onnx", "float32")
        print(f"clip: {FRAMES} frames of 1920x1080 H.264 ({clip and pathlib.Path(clip).stat().st_size >> 10} KiB), "
              f"made in {time.perf_counter() - start:.1f} s; model: the pipeline's classifier on 1x3x224x224")
        for streams in (1, 2):
            best = {}
            for _ in range(ROUNDS):
                for kind, model in (("card", card_model), ("opencv", cpu_model)):
                    figures = measure(kind, clip, model, streams)
                    if kind not in best or figures["seconds"] < best[kind]["seconds"]:
                        best[kind] = figures
            ours, theirs = best["card"], best["opencv"]
            ours_fps, theirs_fps = ours["frames"] / ours["seconds"], theirs["frames"] / theirs["seconds"]
            same = sum(a == b for a, b in zip(ours["classes"], theirs["classes"]))
            name = f"pipeline, {streams} stream{'s' if streams > 1 else ''} (time per frame)"
            report(name, ours["seconds"] / ours["frames"], theirs["seconds"] / theirs["frames"], unit="ms",
                   scale=1e3)
            print(f"  frames per second: ours {ours_fps:.1f}, OpenCV {theirs_fps:.1f}: "
                  f"{ours_fps / theirs_fps:.2f}x; top class equal on {same} of {len(theirs['classes'])} frames")
            print(f"  peak RSS: ours {ours['rss'] / 2**20:.0f} MiB, OpenCV {theirs['rss'] / 2**20:.0f} MiB")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=4, metavar=("KIND", "CLIP", "MODEL", "STREAMS"))
    arguments = parser.parse_args()
    if arguments.child:
        kind, path, model, streams = arguments.child
        child(kind, path, model, int(streams))
    else:
        main()
