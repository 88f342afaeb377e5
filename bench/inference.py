"""Inference through op streams against OpenCV's DNN module on the same ONNX model.

1. Per run: one synchronous run of a small CNN through the whole binding path (input
   copied to the device, runStream, requestOutputDataset, output copied back into
   NumPy, destroyDatasetAll) against cv2.dnn's setInput + forward on the same input.
2. Throughput: 200 runStreamAsync runs of a model of about 1 ms, in zeclBM_RUN (one
   worker per core) against zeclBM_ONCE (one worker).
"""
import pathlib
import tempfile
import threading

import cv2
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from common import best_time, report

from _halvora_pybind11 import zecl, zecm

FOREVER = 0xFFFFFFFF


def save_cnn(path, channels, size, layers, seed=0):
    """relu(conv3x3) layers of `channels` filters each, on a [1, channels, size, size] input."""
    rng = np.random.default_rng(seed)
    nodes, weights, current = [], [], "x"
    for i in range(layers):
        w = (rng.standard_normal((channels, channels, 3, 3)) / (3 * channels ** 0.5)).astype(np.float32)
        b = rng.standard_normal(channels).astype(np.float32) * 0.1
        weights += [numpy_helper.from_array(w, f"w{i}"), numpy_helper.from_array(b, f"b{i}")]
        nodes += [helper.make_node("Conv", [current, f"w{i}", f"b{i}"], [f"c{i}"], kernel_shape=[3, 3],
                                   pads=[1, 1, 1, 1]),
                  helper.make_node("Relu", [f"c{i}"], [f"r{i}"])]
        current = f"r{i}"
    nodes[-1].output[0] = "y"
    shape = [1, channels, size, size]
    graph = helper.make_graph(nodes, "bench", [helper.make_tensor_value_info("x", TensorProto.FLOAT, shape)],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, shape)], weights)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 7
    onnx.save(model, str(path))
    return str(path), shape


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
    half = numpy_helper.from_array(np.full((1, width), 0.5, np.float32), "half")
    nodes, current = [], "x"
    for i in range(layers):
        kind = kinds[i % len(kinds)]
        inputs = [current, "half"] if kind in ("Mul", "Add") else [current]
        nodes.append(helper.make_node(kind, inputs, [f"t{i}"]))
        current = f"t{i}"
    nodes[-1].output[0] = "y"
    shape = [1, width]
    graph = helper.make_graph(nodes, "chain", [helper.make_tensor_value_info("x", TensorProto.FLOAT, shape)],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, shape)], [half])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 7
    onnx.save(model, str(path))
    return str(path), shape


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


def main():
    zecm.uninitialize()
    assert zecm.initialize() == 0
    assert zecm.setDevice(0) == 0
    with tempfile.TemporaryDirectory() as directory:
        per_run(pathlib.Path(directory))
        throughput(pathlib.Path(directory))
    zecm.uninitialize()


if __name__ == "__main__":
    main()
