"""Inference through op streams against OpenCV's DNN module on the same ONNX model.

1. Per run: one synchronous run of a small CNN through the whole binding path (input
   copied to the device, runStream, requestOutputDataset, output copied back into
   NumPy, destroyDatasetAll) against cv2.dnn's setInput + forward on the same input.
2. Throughput: 200 runStreamAsync runs of a model of about 1 ms, in zeclBM_RUN (one
   worker per core) against zeclBM_ONCE (one worker).
3. Networks: a ResNet-18 shape, a MobileNet-v2 shape (also with its ReLU6 written as
   Relu(x) - Relu(x - 6), which OpenCV's importer takes) and a YOLO-style detector, random
   weights, batch 1 (tests/models.py), each through the binding path, through cv2.dnn
   and through ONNX Runtime's CPU engine (npm's onnxruntime-node in a Node process that
   bench/ort_run.js keeps, intra-op threads = cores), one run of each in turn: median times
   after warm-up, the ratios card / ONNX Runtime and card / OpenCV, and a check that the
   outputs agree (relative 1e-3). `make bench-baseline` installs ONNX Runtime into build/ort
   (HALVORA_ORT points elsewhere); without it, or without Node, that column is skipped with a
   line saying why. An engine that refuses a network is skipped the same way. Outputs that
   disagree, or ONNX Runtime failing, make the run fail once every network is done.

    bench/inference.py                  all three parts
    bench/inference.py --networks       part 3 only (--runs N: rounds of each)
"""
import argparse
import contextlib
import json
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import tempfile
import threading
import time

import cv2
import numpy as np
from onnx import helper

from common import ROOT, best_time, report

import models  # tests/models.py, on the path once common is imported; it puts python/ there
from _halvora_pybind11 import zecl, zecm
from halvora.samples import conv_relu_layer, save_model, value_info, weight

FOREVER = 0xFFFFFFFF


def save_cnn(path, channels, size, layers, seed=0):
    """relu(conv3x3) layers of `channels` filters each, on a [1, channels, size, size] input."""
    rng = np.random.default_rng(seed)
    nodes, weights, current = [], [], "x"
    for i in range(layers):
        w = (rng.standard_normal((channels, channels, 3, 3)) / (3 * channels ** 0.5)).astype(np.float32)
        b = rng.standard_normal(channels).astype(np.float32) * 0.1
        layer, initializers, current = conv_relu_layer(current, i, w, b)
        nodes += layer
        weights += initializers
    nodes[-1].output[0] = "y"
    shape = [1, channels, size, size]
    return save_model(path, nodes, [value_info("x", shape)], [value_info("y", shape)], weights, "bench"), shape


class Stream:
    """A model behind a graph-input op, as a built op stream."""

    def __init__(self, path, mode):
        self.model = zecl.createModel(path, "bench", "", "")
        self.graph = zecl.createOpGraph()
        self.input = zecl.createGraphInputOp(self.graph, 1)
        self.op = zecl.createRunModelOp(self.model)
        assert zecl.connectOps(self.input, self.op) == 0
        assert zecl.registerGetOutput(self.graph, self.op) == 0
        self.stream = zecl.createOpStream(self.graph, mode)
        assert zecl.buildStream(self.stream) == 0
        self.info = zecm.deviceInfo()
        self.info.deviceType = zecm.deviceType.zecmDE_ZECC
        self.info.deviceIdx = 0

    def dataset(self, array):
        """A dataset over a new device copy of `array` (the device block is returned too)."""
        data = array.view(np.uint8).ravel()
        host = zecm.getHandleFromNumpy(data)
        block = zecm.malloc(data.size)
        zecm.memcpy(host, block, data.size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE)
        zecm.freeHost(host)
        dataset = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
        zecm.addDatasetBuffer(dataset, zecm.createDataBuffer(self.info, block, data.size))
        return dataset, block

    def output(self, shape):
        """The oldest output, copied back into a float32 array; its dataset is destroyed."""
        dataset = zecl.requestOutputDataset(self.stream)
        buffer = zecm.getDatasetBuffer(dataset, 0)
        size = zecm.getDataBufferSize(buffer)
        host = zecm.mallocHost(size)
        zecm.memcpy(zecm.getDataBufferAddr(buffer), host, size, zecm.copyMemType.zecmCT_COPY_FROM_DEVICE)
        result = zecm.getNumpyFromHandle(host, size).view(np.float32).reshape(shape)
        zecm.freeHost(host)
        zecm.destroyDatasetAll(dataset)
        return result

    def run(self, array):
        dataset, block = self.dataset(array)
        assert zecl.runStream(self.stream, self.input, dataset, FOREVER) == 0
        result = self.output(array.shape)
        zecm.destroyDatasetAll(dataset)
        zecm.free(block)
        return result

    def close(self):
        zecl.destroyOpStream(self.stream)
        zecl.destroyOpGraph(self.graph)
        zecl.destroyModel(self.model)


def interleaved(functions, number, rounds):
    """Best time of one call of each function, measured in alternating rounds so that
    every side sees the same state of the machine."""
    best = [float("inf")] * len(functions)
    for _ in range(rounds):
        for i, function in enumerate(functions):
            best[i] = min(best[i], best_time(function, number=number, repeat=1))
    return best


def per_run(directory):
    path, shape = save_cnn(directory / "cnn.onnx", channels=32, size=64, layers=3)
    x = np.random.default_rng(1).standard_normal(shape).astype(np.float32)
    net = cv2.dnn.readNetFromONNX(path)

    def baseline():
        net.setInput(x)
        return net.forward()

    stream = Stream(path, zecl.balance_mode.zeclBM_ONCE)
    dataset, block = stream.dataset(x)
    size = x.nbytes

    def ours():
        # A new input into the device block behind the dataset, one run, the output back.
        host = zecm.getHandleFromNumpy(x.view(np.uint8).ravel())
        zecm.memcpy(host, block, size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE)
        zecm.freeHost(host)
        assert zecl.runStream(stream.stream, stream.input, dataset, FOREVER) == 0
        return stream.output(shape)

    np.testing.assert_allclose(ours(), baseline(), rtol=1e-4, atol=1e-4)
    mine, theirs = interleaved([ours, baseline], number=10, rounds=20)
    zecm.destroyDatasetAll(dataset)
    zecm.free(block)
    stream.close()
    report("one run of a 3-layer CNN on 1x32x64x64 (binding path vs cv2.dnn)", mine, theirs,
           unit="ms", scale=1e3)


def save_chain(path, width, layers):
    """A chain of small element-wise layers on a [1, width] input: about a millisecond of work
    that OpenCV cannot spread over several cores itself (each layer is too small to split)."""
    kinds = ["Mul", "Add", "Sigmoid", "Relu"]
    half = weight(np.full((1, width), 0.5), "half")
    nodes, current = [], "x"
    for i in range(layers):
        kind = kinds[i % len(kinds)]
        inputs = [current, "half"] if kind in ("Mul", "Add") else [current]
        nodes.append(helper.make_node(kind, inputs, [f"t{i}"]))
        current = f"t{i}"
    nodes[-1].output[0] = "y"
    shape = [1, width]
    return save_model(path, nodes, [value_info("x", shape)], [value_info("y", shape)], [half], "chain"), shape


def throughput(directory, runs=200):
    path, shape = save_chain(directory / "small.onnx", width=1024, layers=480)
    x = np.random.default_rng(2).standard_normal(shape).astype(np.float32)
    streams = {mode: Stream(path, mode) for mode in (zecl.balance_mode.zeclBM_ONCE, zecl.balance_mode.zeclBM_RUN)}
    datasets = {mode: [stream.dataset(x) for _ in range(runs)] for mode, stream in streams.items()}

    def batch(mode):
        stream = streams[mode]
        for dataset, _block in datasets[mode]:
            assert zecl.runStreamAsync(stream.stream, stream.input, dataset) == 0
        assert zecl.synchronizeStream(stream.stream, FOREVER) == 0
        while zecl.getStreamCacheNumber(stream.stream):
            zecm.destroyDatasetAll(zecl.requestOutputDataset(stream.stream))

    for stream in streams.values():
        stream.run(x)  # networks load once per worker thread
    once, parallel = interleaved([lambda: batch(zecl.balance_mode.zeclBM_ONCE),
                                  lambda: batch(zecl.balance_mode.zeclBM_RUN)], number=1, rounds=5)
    for mode, stream in streams.items():
        for dataset, block in datasets[mode]:
            zecm.destroyDatasetAll(dataset)
            zecm.free(block)
        stream.close()
    print(f"one run of a 480-layer element-wise chain on 1x1024 in zeclBM_ONCE: {once / runs * 1e3:.2f} ms")
    report(f"{runs} async runs, zeclBM_RUN vs zeclBM_ONCE (time per run)", parallel / runs, once / runs,
           unit="ms", scale=1e3)

    # What concurrent runs can gain on this machine at all: the same model in cv2.dnn,
    # two threads against one.
    nets = [cv2.dnn.readNetFromONNX(path) for _ in range(2)]

    def forward(net, count):
        for _ in range(count):
            net.setInput(x)
            net.forward()

    def two_threads():
        threads = [threading.Thread(target=forward, args=(net, runs // 2)) for net in nets]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    forward(nets[1], 1)
    alone, together = interleaved([lambda: forward(nets[0], runs), two_threads], number=1, rounds=5)
    report(f"{runs} cv2.dnn runs, two threads vs one (the machine's bound for the ratio above)",
           together / runs, alone / runs, unit="ms", scale=1e3)


# Networks against cv2.dnn and ONNX Runtime --------------------------------------------------

# (label, builder name in models, builder options)
NETWORKS = [
    ("ResNet-18 shape, 1x3x224x224", "resnet18", {}),
    ("MobileNet-v2 shape, 1x3x224x224", "mobilenet_v2", {}),
    ("MobileNet-v2 shape, ReLU6 as Relu(x) - Relu(x - 6)", "mobilenet_v2", {"relu6": "relu_difference"}),
    ("YOLO-style detector, 1x3x640x640", "yolo_detector", {}),
]
AGREEMENT = 1e-3  # largest difference allowed, relative to the largest magnitude of the output
ORT_SCRIPT = pathlib.Path(__file__).resolve().with_name("ort_run.js")
ORT_MODULES = pathlib.Path(os.environ.get("HALVORA_ORT", ROOT / "build" / "ort")) / "node_modules"


class Skipped(Exception):
    """An engine that cannot run a network here: the reason is printed, its column left out."""


class Failed(Exception):
    """An engine that is there but failed on a network: the run fails once every network is done."""


def median_times(timers, runs, block=4, pause=0.2):
    """Medians of each timer's results (a timer runs an engine once and returns the seconds it
    took) in two conditions: back to back, the runs of blocks of `block` after the first, and
    after idle, the first run of each block. The engines take turns block by block, `runs`
    rounds, so that each sees the same state of the machine, with a pause before each block so
    that the threads one engine leaves spinning do not take the cores from the next (ONNX
    Runtime's spin for some tens of milliseconds after a run). Returns (back to back, after
    idle), lists in the order of `timers`."""
    for timer in timers:
        timer(), timer()
    steady, idle = [[] for _ in timers], [[] for _ in timers]
    for _ in range(runs):
        for i, timer in enumerate(timers):
            time.sleep(pause)
            idle[i].append(timer())
            steady[i].extend(timer() for _ in range(block - 1))
    return [statistics.median(t) for t in steady], [statistics.median(t) for t in idle]


def timed(function):
    """A timer of `function` (see median_times)."""
    def timer():
        start = time.perf_counter()
        function()
        return time.perf_counter() - start
    return timer


def card_runner(path, x, out_shape):
    """(run, close) of the network on the card: run() copies `x` into the device block behind
    the stream's input dataset, runs the stream and copies the output back."""
    try:
        stream = Stream(path, zecl.balance_mode.zeclBM_ONCE)
    except RuntimeError as error:
        raise Skipped(f"the card does not load it ({error})") from None
    dataset, block = stream.dataset(x)
    data = x.view(np.uint8).ravel()

    def run():
        host = zecm.getHandleFromNumpy(data)
        zecm.memcpy(host, block, data.size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE)
        zecm.freeHost(host)
        assert zecl.runStream(stream.stream, stream.input, dataset, FOREVER) == 0
        return stream.output(out_shape)

    def close():
        zecm.destroyDatasetAll(dataset)
        zecm.free(block)
        stream.close()
    return run, close


def importer_reason(text):
    """The node and the failed check out of an error of OpenCV's ONNX importer (several lines)."""
    node = re.search(r"Node \[([^\]]+)\]", text)
    check = re.search(r"\(expected: ([^\n]*)\)", text)
    parts = [f"node {node.group(1)}" if node else None, f"expected {check.group(1)}" if check else None]
    return ": ".join(part for part in parts if part) or text.strip().splitlines()[0]


def opencv_runner(path, x):
    try:
        net = cv2.dnn.readNetFromONNX(path)
    except cv2.error as error:
        raise Skipped(f"cv2.dnn does not import it ({importer_reason(str(error))})") from None

    def run():
        net.setInput(x)
        return net.forward()
    return run


class OnnxRuntime:
    """The network in ONNX Runtime, in a Node process (bench/ort_run.js) that runs it on request:
    time_one() is a timer (the time of the run as Node measured it), finish() ends the process
    and returns the output of its last run."""

    def __init__(self, path, x, out_shape, folder):
        if shutil.which("node") is None:
            raise Skipped("no Node.js (apt package nodejs) to run ONNX Runtime")
        if not (ORT_MODULES / "onnxruntime-node").is_dir():
            raise Skipped(f"ONNX Runtime is not installed in {ORT_MODULES.parent}: make bench-baseline")
        given, self.taken, self.errors = folder / "input.f32", folder / "output.f32", folder / "ort.err"
        x.tofile(given)
        self.shape = list(out_shape)
        command = ["node", str(ORT_SCRIPT), path, str(given), ",".join(map(str, x.shape)), str(self.taken),
                   str(os.cpu_count())]
        with open(self.errors, "w") as errors:  # a file: a chatty process cannot block on a full pipe
            self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors,
                                            text=True, env={**os.environ, "NODE_PATH": str(ORT_MODULES)})
        try:
            dims = self._reply()["dims"]
            if dims != self.shape:
                raise Failed(f"an output of dims {dims}, not {self.shape}")
        except BaseException:
            self.close()
            raise

    def _reply(self):
        line = self.process.stdout.readline()
        if not line:
            raise Failed(self._ended())
        return json.loads(line)

    def _ended(self):
        """Why the process ended: the last line it wrote to standard error, or its status."""
        status = self.process.wait()
        lines = self.errors.read_text().strip().splitlines()
        return lines[-1] if lines else f"exit status {status}"

    def time_one(self):
        self.process.stdin.write("run\n")
        self.process.stdin.flush()
        return self._reply()["ms"] / 1e3

    def finish(self):
        self.process.stdin.close()
        if self.process.wait() != 0:
            raise Failed(self._ended())
        return np.fromfile(self.taken, np.float32).reshape(self.shape)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def difference(a, b):
    """Largest difference of `a` from `b`, relative to the largest magnitude of `b`."""
    return float(np.abs(a.astype(np.float64) - b).max() / max(np.abs(b).max(), np.finfo(np.float32).tiny))


def engines_for(label, path, x, out_shape, folder, stack):
    """{engine: (timer, output)} of the engines that run the network here; output() gives the
    output of a run. Prints why an engine is left out; True as well when one failed."""
    engines, failed = {}, False
    try:
        run, close = card_runner(path, x, out_shape)
        stack.callback(close)
        engines["card"] = (timed(run), run)
    except Skipped as why:
        print(f"{label}: {why}; card column skipped")
    try:
        run = opencv_runner(path, x)
        engines["OpenCV"] = (timed(run), run)
    except Skipped as why:
        print(f"{label}: {why}; OpenCV column skipped")
    try:
        runtime = OnnxRuntime(path, x, out_shape, folder)
        stack.callback(runtime.close)
        engines["ONNX Runtime"] = (runtime.time_one, runtime.finish)
    except Skipped as why:
        print(f"{label}: {why}; ONNX Runtime column skipped")
    except Failed as why:
        print(f"{label}: ONNX Runtime FAILED: {why}")
        failed = True
    return engines, failed


def network(label, name, options, folder, runs):
    """One network through the three engines; returns False when one failed or their outputs
    disagree."""
    path, in_shape, out_shape = models.save(name, folder / f"{name}.onnx", **options)
    x = np.random.default_rng(3).standard_normal(in_shape).astype(np.float32)
    with contextlib.ExitStack() as stack:
        engines, failed = engines_for(label, path, x, out_shape, folder, stack)
        try:
            steady, idle = median_times([timer for timer, _ in engines.values()], runs)
            outputs = {engine: np.array(output(), copy=True) for engine, (_, output) in engines.items()}
        except Failed as why:
            print(f"{label}: ONNX Runtime FAILED: {why}")
            return False
    print(f"{label} -> {'x'.join(map(str, out_shape))}, medians of {runs} rounds:")
    for condition, medians in (("back to back", steady), ("after 0.2 s idle", idle)):
        times = dict(zip(engines, medians))
        figures = ", ".join(f"{engine} {seconds * 1e3:.1f} ms" for engine, seconds in times.items())
        print(f"  {condition}: {figures or 'no engine ran it'}")
        for baseline in ("ONNX Runtime", "OpenCV"):
            if "card" in times and baseline in times:
                report(f"    card vs {baseline}", times["card"], times[baseline], unit="ms", scale=1e3)
    return agree(outputs) and not failed


def agree(outputs):
    """Prints how far each pair of outputs is apart; False when a pair is beyond AGREEMENT."""
    engines, ok = list(outputs), True
    pairs = [(a, b) for i, a in enumerate(engines) for b in engines[i + 1:]]
    for a, b in pairs:
        apart = difference(outputs[a], outputs[b])
        verdict = "agree" if apart <= AGREEMENT else "DISAGREE"
        ok = ok and apart <= AGREEMENT
        print(f"  outputs {a} / {b}: {verdict} (largest difference {apart:.1e} of the largest value)")
    return ok


def networks(directory, runs):
    ok = [network(label, name, options, directory, runs) for label, name, options in NETWORKS]
    if not all(ok):
        raise SystemExit("an engine failed on a network or engines disagree on its output (see above)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--networks", action="store_true", help="only the networks against cv2.dnn and ONNX Runtime")
    parser.add_argument("--runs", type=int, default=11,
                        help="rounds of each network and engine, four runs each (default 11)")
    options = parser.parse_args()
    if options.runs < 1:
        parser.error("--runs: at least 1")
    zecm.uninitialize()
    assert zecm.initialize() == 0
    assert zecm.setDevice(0) == 0
    try:
        with tempfile.TemporaryDirectory() as directory:
            if not options.networks:
                per_run(pathlib.Path(directory))
                throughput(pathlib.Path(directory))
            networks(pathlib.Path(directory), options.runs)
    finally:
        zecm.uninitialize()


if __name__ == "__main__":
    main()
