"""The video pipeline (examples/pipeline.py) against the same job written the way a program
without the card does it: cv2.VideoCapture to decode, cv2.cvtColor + cv2.resize + NumPy to
preprocess, cv2.dnn to run the model, one thread per stream. Both read the same 1080p H.264
clip (made by the card's encoder) and run the same classifier (float16 input on the card,
the float32 original in cv2.dnn). Each side runs in its own process, which reports its frames,
wall time and peak resident memory (VmHWM); one and two streams, the best of two rounds.

Then the pipeline with a real network, a ResNet-18 shape with random weights (float16 input,
tests/models.py) as its --model, one stream, against the engine alone: the same model run
back to back through the module (Model.run on one input) in a process of its own. The ratio of
the pipeline's frames a second to the engine's runs a second says how much of what the engine
allows the pipeline keeps.

    bench/pipeline.py              both parts
    bench/pipeline.py --network    the ResNet-18 part only"""
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

import models  # noqa: E402  (tests/models.py)
import halvora as hv  # noqa: E402
import pipeline  # noqa: E402  (examples/pipeline.py, the program measured)

FRAMES = 240
ROUNDS = 2
ENGINE_RUNS = 60  # back-to-back runs of the engine alone, after a warm-up of three


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
    mean = np.array(hv.preprocess.IMAGENET_MEAN, np.float32)
    std = np.array(hv.preprocess.IMAGENET_STD, np.float32)
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


def engine_alone(model, runs):
    """Seconds of `runs` back-to-back runs of the model through the module, on one input."""
    import numpy as np
    with hv.Model(model) as net:
        x = np.random.default_rng(0).standard_normal(net.inputs[0].shape).astype(np.float16)
        for _ in range(3):
            net.run(x)
        start = time.perf_counter()
        for _ in range(runs):
            net.run(x)
        return time.perf_counter() - start


def child(kind, path, model, streams):
    """One side of the comparison in this process; prints its figures as JSON."""
    if kind == "engine":
        frames, seconds = ENGINE_RUNS, engine_alone(model, ENGINE_RUNS)
        classes = []
    elif kind == "opencv":
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


def best_of_rounds(kinds, clip, streams):
    """The figures of each (kind, model) of `kinds` in its fastest of ROUNDS rounds, the kinds
    measured in turn in each round."""
    best = {}
    for _ in range(ROUNDS):
        for kind, model in kinds:
            figures = measure(kind, clip, model, streams)
            if kind not in best or figures["seconds"] < best[kind]["seconds"]:
                best[kind] = figures
    return best


def against_opencv(folder, clip):
    card_model = hv.samples.build_classifier(folder / "card.onnx", "float16")
    cpu_model = hv.samples.build_classifier(folder / "cpu.onnx", "float32")
    print("model: the pipeline's classifier on 1x3x224x224")
    for streams in (1, 2):
        best = best_of_rounds((("card", card_model), ("opencv", cpu_model)), clip, streams)
        ours, theirs = best["card"], best["opencv"]
        ours_fps, theirs_fps = ours["frames"] / ours["seconds"], theirs["frames"] / theirs["seconds"]
        same = sum(a == b for a, b in zip(ours["classes"], theirs["classes"]))
        name = f"pipeline, {streams} stream{'s' if streams > 1 else ''} (time per frame)"
        report(name, ours["seconds"] / ours["frames"], theirs["seconds"] / theirs["frames"], unit="ms",
               scale=1e3)
        print(f"  frames per second: ours {ours_fps:.1f}, OpenCV {theirs_fps:.1f}: "
              f"{ours_fps / theirs_fps:.2f}x; top class equal on {same} of {len(theirs['classes'])} frames")
        print(f"  peak RSS: ours {ours['rss'] / 2**20:.0f} MiB, OpenCV {theirs['rss'] / 2**20:.0f} MiB")


def with_network(folder, clip):
    model, shape, _ = models.save("resnet18", folder / "resnet18.onnx", input_type="float16")
    best = best_of_rounds((("card", model), ("engine", model)), clip, 1)
    piped, alone = best["card"], best["engine"]
    piped_fps, alone_fps = piped["frames"] / piped["seconds"], alone["frames"] / alone["seconds"]
    print(f"pipeline with a ResNet-18 shape (random weights, float16[{', '.join(map(str, shape))}]) as --model, "
          f"1 stream: {piped_fps:.1f} frames a second; the engine alone, {alone['frames']} runs back to back: "
          f"{alone_fps:.1f} runs a second ({alone['seconds'] / alone['frames'] * 1e3:.1f} ms a run)")
    print(f"  pipeline fps / engine fps: {piped_fps / alone_fps:.2f}")


def main(network_only):
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        start = time.perf_counter()
        clip = hv.samples.make_clip(folder / "clip.h264", 1920, 1080, FRAMES)
        print(f"clip: {FRAMES} frames of 1920x1080 H.264 ({pathlib.Path(clip).stat().st_size >> 10} KiB), "
              f"made in {time.perf_counter() - start:.1f} s")
        if not network_only:
            against_opencv(folder, clip)
        with_network(folder, clip)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=4, metavar=("KIND", "CLIP", "MODEL", "STREAMS"))
    parser.add_argument("--network", action="store_true", help="only the pipeline with the ResNet-18 shape")
    arguments = parser.parse_args()
    if arguments.child:
        kind, path, model, streams = arguments.child
        child(kind, path, model, int(streams))
    else:
        main(arguments.network)
