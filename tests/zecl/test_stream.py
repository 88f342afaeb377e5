"""Op graphs, op streams and runs, checked against the models' NumPy references."""
import re
import threading

import numpy as np
import pytest

import models
from sim import address
from zecl_helpers import (FOREVER, GRAPH_INVALID, INVALID_HANDLE, INVALID_PARAM, NO_OUTPUT, ONCE, RUN,
                          STREAM_BUSY, TIMEOUT, chain, close, run_isolated)

rng = np.random.default_rng(7)


def sample(shape):
    return rng.standard_normal(shape).astype(np.float32)


def single_output(zecl, device, stream):
    output = zecl.requestOutputDataset(stream)
    (result,) = device.results(output)
    assert device.zecm.destroyDatasetAll(output) == 0
    return result


@pytest.mark.parametrize("mode", [ONCE, RUN])
def test_one_run_matches_the_reference(zecl, device, conv, mode):
    model = zecl.createModel(conv.path, "conv", "", "")
    line = chain(zecl, [model], mode)
    x = sample(conv.input_shape)
    assert zecl.runStream(line.stream, line.input, device.dataset([x]), FOREVER) == 0
    assert zecl.getStreamCacheNumber(line.stream) == 1
    close(single_output(zecl, device, line.stream), conv.reference(x))
    assert zecl.getStreamCacheNumber(line.stream) == 0
    with pytest.raises(RuntimeError, match=rf"^request output dataset error, ret: {NO_OUTPUT}\.$"):
        zecl.requestOutputDataset(line.stream)
    assert zecl.destroyOpStream(line.stream) == 0
    assert zecl.destroyOpGraph(line.graph) == 0
    assert zecl.destroyModel(model) == 0


@pytest.mark.parametrize("tensors", [False, True])
def test_several_inputs_and_outputs_keep_the_dataset_mode(zecl, device, addmul, tensors):
    model = zecl.createModel(addmul.path, "", "", "")
    line = chain(zecl, [model])
    a, b = sample([1, 4]), sample([1, 4])
    assert zecl.runStream(line.stream, line.input, device.dataset([a, b], tensors), FOREVER) == 0
    output = zecl.requestOutputDataset(line.stream)
    mode = device.zecm.datasetMode.zecmDM_TENSOR if tensors else device.zecm.datasetMode.zecmDM_BUFFER
    assert device.zecm.getDatasetMode(output) == mode
    total, product = device.results(output)
    if tensors:
        assert total.shape == product.shape == (1, 4)
    close(total, a + b)
    close(product, a * b)
    assert device.zecm.destroyDatasetAll(output) == 0


def test_batches_run_whole(zecl, device, conv):
    model = zecl.createModel(conv.path, "", '{"maxBatchSize": 4}', "")
    assert zecl.setModelBatchSize(model, 3) == 0
    line = chain(zecl, [model])
    x = sample([3, 3, 8, 8])
    assert zecl.runStream(line.stream, line.input, device.dataset([x]), FOREVER) == 0
    close(single_output(zecl, device, line.stream), conv.reference(x))


def test_dynamic_shapes_run_as_set(zecl, device, scale):
    model = zecl.createDynamicModel(scale.path, "")
    shape = device.zecm.shape()
    shape.ndims, shape.shapes = 4, [2, 3, 5, 7]
    assert zecl.setDynamicModelInputShape(model, [shape]) == 0
    line = chain(zecl, [model])
    x = sample([2, 3, 5, 7])
    assert zecl.runStream(line.stream, line.input, device.dataset([x]), FOREVER) == 0
    close(single_output(zecl, device, line.stream), scale.reference(x))


def test_a_dynamic_model_without_shapes_fails_its_run(zecl, device, scale):
    line = chain(zecl, [zecl.createDynamicModel(scale.path, "")])
    assert zecl.runStream(line.stream, line.input, device.dataset([sample([1, 1, 2, 2])]), FOREVER) == 301007
    assert zecl.getStreamCacheNumber(line.stream) == 0


@pytest.mark.parametrize("mode", [ONCE, RUN])
def test_many_runs_in_flight_arrive_in_order(zecl, device, conv, mode):
    model = zecl.createModel(conv.path, "", "", "")
    line = chain(zecl, [model], mode)
    inputs = [sample(conv.input_shape) for _ in range(40)]
    for x in inputs:
        assert zecl.runStreamAsync(line.stream, line.input, device.dataset([x])) == 0
    assert zecl.synchronizeStream(line.stream, FOREVER) == 0
    assert zecl.getStreamCacheNumber(line.stream) == 40
    for x in inputs:
        close(single_output(zecl, device, line.stream), conv.reference(x))
    assert zecl.getStreamCacheNumber(line.stream) == 0


@pytest.mark.parametrize("mode", [ONCE, RUN])
def test_synchronous_runs_from_several_threads(zecl, device, conv, mode):
    model = zecl.createModel(conv.path, "", "", "")
    line = chain(zecl, [model], mode)
    datasets = [device.dataset([sample(conv.input_shape)]) for _ in range(8)]
    statuses = []

    def run(dataset):
        statuses.append(zecl.runStream(line.stream, line.input, dataset, FOREVER))

    threads = [threading.Thread(target=run, args=(d,)) for d in datasets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert statuses == [0] * 8
    assert zecl.synchronizeDevice(0, FOREVER) == 0
    assert zecl.getStreamCacheNumber(line.stream) == 8


@pytest.mark.parametrize("register, expected", [((1,), ["second"]), ((0, 1), ["first", "second"]),
                                                ((0,), ["first"])])
def test_chained_models_feed_each_other(zecl, device, tmp_path, register, expected):
    first = models.ConvRelu(tmp_path / "first.onnx", channels=3, filters=4, seed=1)
    second = models.ConvRelu(tmp_path / "second.onnx", channels=4, filters=2, seed=2)
    handles = [zecl.createModel(m.path, "", "", "") for m in (first, second)]
    line = chain(zecl, handles, RUN, register=register)
    x = sample(first.input_shape)
    wanted = {"first": first.reference(x)}
    wanted["second"] = second.reference(wanted["first"])
    assert zecl.runStream(line.stream, line.input, device.dataset([x]), FOREVER) == 0
    output = zecl.requestOutputDataset(line.stream)
    results = device.results(output)
    assert len(results) == len(expected)
    for result, name in zip(results, expected):
        close(result, wanted[name])
    assert device.zecm.destroyDatasetAll(output) == 0


def test_one_input_feeding_two_models(zecl, device, tmp_path):
    left = models.ConvRelu(tmp_path / "l.onnx", seed=3)
    right = models.ConvRelu(tmp_path / "r.onnx", filters=2, seed=4)
    graph = zecl.createOpGraph()
    source = zecl.createGraphInputOp(graph, 1)
    ops = [zecl.createRunModelOp(zecl.createModel(m.path, "", "", "")) for m in (left, right)]
    for op in ops:
        assert zecl.connectOps(source, op) == 0
    assert zecl.registerGetOutputs(graph, ops) == 0
    stream = zecl.createOpStream(graph, RUN)
    assert zecl.buildStream(stream) == 0
    x = sample(left.input_shape)
    assert zecl.runStream(stream, source, device.dataset([x]), FOREVER) == 0
    a, b = device.results(zecl.requestOutputDataset(stream))
    close(a, left.reference(x))
    close(b, right.reference(x))


def test_graph_rules_at_connection(zecl, card, conv):
    model = zecl.createModel(conv.path, "", "", "")
    graph, other = zecl.createOpGraph(), zecl.createOpGraph()
    source = zecl.createGraphInputOp(graph, 1)
    foreign = zecl.createGraphInputOp(other, 1)
    op, loose = zecl.createRunModelOp(model), zecl.createRunModelOp(model)
    assert zecl.connectOps(op, source) == GRAPH_INVALID     # only run-model ops are fed
    assert zecl.connectOps(op, op) == GRAPH_INVALID
    assert zecl.connectOps(loose, op) == GRAPH_INVALID      # neither op in a graph yet
    assert zecl.registerGetOutput(graph, op) == GRAPH_INVALID  # not in the graph yet
    assert zecl.connectOps(source, op) == 0                # op joins the graph
    assert zecl.connectOps(foreign, op) == GRAPH_INVALID    # already fed, other graph
    assert zecl.connectOps(op, loose) == 0                 # loose joins too
    assert zecl.connectOps(source, loose) == GRAPH_INVALID  # one feeder only
    assert zecl.registerGetOutput(graph, source) == GRAPH_INVALID
    assert zecl.registerGetOutput(other, op) == GRAPH_INVALID
    assert zecl.registerGetOutputs(graph, [op, loose, op]) == 0
    assert zecl.registerGetOutputs(graph, [op, None]) == INVALID_HANDLE
    assert zecl.registerGetOutput(graph, model) == INVALID_HANDLE
    assert zecl.connectOps(source, model) == INVALID_HANDLE
    with pytest.raises(RuntimeError, match=rf"^create graph input op error, ret: {INVALID_PARAM}\.$"):
        zecl.createGraphInputOp(graph, 0)
    with pytest.raises(RuntimeError, match=rf"^create graph input op error, ret: {INVALID_HANDLE}\.$"):
        zecl.createGraphInputOp(model, 1)


def test_build_checks_the_member_counts(zecl, device, conv, addmul):
    single = zecl.createModel(conv.path, "", "", "")
    double = zecl.createModel(addmul.path, "", "", "")
    graph = zecl.createOpGraph()
    two = zecl.createGraphInputOp(graph, 2)
    assert zecl.connectOps(two, zecl.createRunModelOp(single)) == 0  # two members, one input
    stream = zecl.createOpStream(graph, ONCE)
    assert zecl.buildStream(stream) == GRAPH_INVALID

    graph = zecl.createOpGraph()
    pair = zecl.createRunModelOp(double)
    assert zecl.connectOps(zecl.createGraphInputOp(graph, 2), pair) == 0
    assert zecl.connectOps(pair, zecl.createRunModelOp(single)) == 0  # two outputs, one input
    assert zecl.buildStream(zecl.createOpStream(graph, RUN)) == GRAPH_INVALID


def test_runs_need_a_built_stream_and_its_own_input_op(zecl, device, conv):
    model = zecl.createModel(conv.path, "", "", "")
    line = chain(zecl, [model], build=False)
    dataset = device.dataset([sample(conv.input_shape)])
    assert zecl.runStreamAsync(line.stream, line.input, dataset) == GRAPH_INVALID
    assert zecl.runStream(line.stream, line.input, dataset, FOREVER) == GRAPH_INVALID
    assert zecl.buildStream(line.stream) == 0
    other = chain(zecl, [model])
    assert zecl.runStream(line.stream, other.input, dataset, FOREVER) == GRAPH_INVALID
    assert zecl.runStream(line.stream, line.ops[0], dataset, FOREVER) == GRAPH_INVALID
    # The stream runs the graph as built: a later edit needs a rebuild.
    late = zecl.createGraphInputOp(line.graph, 1)
    assert zecl.runStream(line.stream, late, dataset, FOREVER) == GRAPH_INVALID
    assert zecl.connectOps(late, zecl.createRunModelOp(model)) == 0
    assert zecl.buildStream(line.stream) == 0
    assert zecl.runStream(line.stream, late, dataset, FOREVER) == 0
    assert zecl.runStream(line.stream, line.input, dataset, FOREVER) == 0
    assert zecl.getStreamCacheNumber(line.stream) == 1  # the late op's model is not registered


def test_an_input_op_without_models_reports_and_gives_no_output(zecl, device):
    graph = zecl.createOpGraph()
    source = zecl.createGraphInputOp(graph, 1)
    stream = zecl.createOpStream(graph, ONCE)
    assert zecl.buildStream(stream) == 0
    seen = []
    assert zecl.subscribeStreamReport(stream, lambda *args: seen.append(args[3].isStreamEnd), None) == 0
    assert zecl.runStream(stream, source, device.dataset([sample([2])]), FOREVER) == 0
    assert seen == [True]
    assert zecl.getStreamCacheNumber(stream) == 0


@pytest.mark.parametrize("problem", ["members", "host memory", "short", "wrong kind"])
def test_bad_input_datasets(zecl, device, conv, problem):
    zecm = device.zecm
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")])
    x = sample(conv.input_shape)
    if problem == "members":
        dataset, status = device.dataset([x, x]), INVALID_PARAM
    elif problem == "host memory":
        dataset = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
        host = zecm.getHandleFromNumpy(x.view(np.uint8).ravel())
        cpu = zecm.deviceInfo()
        cpu.deviceType = zecm.deviceType.zecmDE_CPU
        assert zecm.addDatasetBuffer(dataset, zecm.createDataBuffer(cpu, host, x.nbytes)) == 0
        status = INVALID_PARAM
    elif problem == "short":
        dataset, status = device.dataset([x[:, :2]]), INVALID_PARAM
    else:
        dataset, status = line.graph, INVALID_HANDLE
    assert zecl.runStream(line.stream, line.input, dataset, FOREVER) == status
    assert zecl.getStreamCacheNumber(line.stream) == 0
    # The stream goes on with good input.
    assert zecl.runStream(line.stream, line.input, device.dataset([x]), FOREVER) == 0
    close(single_output(zecl, device, line.stream), conv.reference(x))


def test_model_inputs_may_live_in_model_memory(zecl, device, conv):
    zecm = device.zecm
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")])
    x = sample(conv.input_shape)
    block = device.upload(x, zecm.mallocModelInOut(x.nbytes))
    dataset = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
    assert zecm.addDatasetBuffer(dataset, zecm.createDataBuffer(device.info(), block, x.nbytes)) == 0
    assert zecl.runStream(line.stream, line.input, dataset, FOREVER) == 0
    close(single_output(zecl, device, line.stream), conv.reference(x))
