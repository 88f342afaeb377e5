"""The compiled plan against OpenCV's DNN on the same models through the card, which
engine each model gets and why, and forcing either one with ZESIM_ENGINE."""
import functools
import json
import math
import os

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

import _halvora_pybind11 as hal
import models  # also puts python/ on the path, for halvora.samples
import onnx_cases
from halvora.samples import save_model, value_info, weight as array_weight
from models import TEST
from zecl_helpers import FOREVER, MODEL_FILE, RUN, chain, run_isolated

RNG = np.random.default_rng(7)
initializer = functools.partial(array_weight, dtype=None)  # an initializer of an array in its own element type


def weight(name, *dims):
    return initializer((RNG.standard_normal(dims) * 0.3).astype(np.float32), name)


def positive(name, *dims):
    return initializer(RNG.uniform(0.5, 1.5, dims).astype(np.float32), name)


def batch_norm(prefix, channels):
    names = [f"{prefix}_{part}" for part in ("scale", "shift", "mean", "var")]
    return names, [positive(names[0], channels), weight(names[1], channels), weight(names[2], channels),
                   positive(names[3], channels)]


def residual_net(path):
    """Conv-BN-ReLU, Conv-BN + shortcut, ReLU, a projection shortcut, max pool, global
    pool, Flatten and Gemm: the pattern of residual image classifiers."""
    bn1, w1 = batch_norm("bn1", 8)
    bn2, w2 = batch_norm("bn2", 8)
    bn3, w3 = batch_norm("bn3", 16)
    bn4, w4 = batch_norm("bn4", 16)
    nodes = [
        helper.make_node("Conv", ["x", "k0"], ["c0"], kernel_shape=[3, 3], pads=[1, 1, 1, 1], strides=[2, 2]),
        helper.make_node("Relu", ["c0"], ["r0"]),
        helper.make_node("Conv", ["r0", "k1", "b1"], ["c1"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("BatchNormalization", ["c1", *bn1], ["n1"]),
        helper.make_node("Relu", ["n1"], ["r1"]),
        helper.make_node("Conv", ["r1", "k2"], ["c2"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("BatchNormalization", ["c2", *bn2], ["n2"]),
        helper.make_node("Add", ["n2", "r0"], ["s2"]),
        helper.make_node("Relu", ["s2"], ["r2"]),
        helper.make_node("Conv", ["r2", "k3"], ["c3"], kernel_shape=[3, 3], pads=[1, 1, 1, 1], strides=[2, 2]),
        helper.make_node("BatchNormalization", ["c3", *bn3], ["n3"]),
        helper.make_node("Conv", ["r2", "k4"], ["c4"], kernel_shape=[1, 1], strides=[2, 2]),
        helper.make_node("BatchNormalization", ["c4", *bn4], ["n4"]),
        helper.make_node("Add", ["n3", "n4"], ["s4"]),
        helper.make_node("Relu", ["s4"], ["r4"]),
        helper.make_node("MaxPool", ["r4"], ["p4"], kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1]),
        helper.make_node("GlobalAveragePool", ["p4"], ["g"]),
        helper.make_node("Flatten", ["g"], ["f"]),
        helper.make_node("Gemm", ["f", "fc", "fcb"], ["y"], transB=1),
    ]
    weights = [weight("k0", 8, 3, 3, 3), weight("k1", 8, 8, 3, 3), weight("b1", 8), weight("k2", 8, 8, 3, 3),
               weight("k3", 16, 8, 3, 3), weight("k4", 16, 8, 1, 1), weight("fc", 10, 16), weight("fcb", 10),
               *w1, *w2, *w3, *w4]
    return save_model(path, nodes, [value_info("x", [1, 3, 32, 32])], [value_info("y", [1, 10])], weights,
                      name=TEST, opset=13)


def mobile_block(path):
    """Pointwise expansion with ReLU6 (Clip, its bounds as attributes as OpenCV reads
    them), a dilated depthwise convolution with
    SiLU (x * sigmoid(x)), a projection, and the inverted residual sum."""
    nodes = [
        helper.make_node("Conv", ["x", "e"], ["ce"], kernel_shape=[1, 1]),
        helper.make_node("Clip", ["ce"], ["re"], min=0.0, max=6.0),
        helper.make_node("Conv", ["re", "d"], ["cd"], kernel_shape=[3, 3], group=16, pads=[2, 2, 2, 2],
                         dilations=[2, 2]),
        helper.make_node("Sigmoid", ["cd"], ["sd"]),
        helper.make_node("Mul", ["cd", "sd"], ["ad"]),
        helper.make_node("Conv", ["ad", "p", "pb"], ["cp"], kernel_shape=[1, 1]),
        helper.make_node("Add", ["x", "cp"], ["y"]),
    ]
    weights = [weight("e", 16, 4, 1, 1), weight("d", 16, 1, 3, 3), weight("p", 4, 16, 1, 1), weight("pb", 4)]
    return save_model(path, nodes, [value_info("x", [2, 4, 12, 12])], [value_info("y", [2, 4, 12, 12])],
                      weights, name=TEST, opset=10)


def single(path, op, x_dims, y_dims, extra_inputs=(), initializers=(), opset=13, **attributes):
    """One node reading x (and `extra_inputs`, given as initializers) into y."""
    node = helper.make_node(op, ["x", *extra_inputs], ["y"], **attributes)
    return save_model(path, [node], [value_info("x", x_dims)], [value_info("y", y_dims)],
                      list(initializers), name=TEST, opset=opset)


def run(path, inputs, engine, monkeypatch, device, dynamic=False):
    monkeypatch.setenv("ZESIM_ENGINE", engine)
    with open(path, "rb") as file:
        case = onnx_cases.Case(f"{engine}-{os.path.basename(path)}", "", file.read(), [], [], inputs, [])
    with onnx_cases.scratch() as folder:
        return onnx_cases.run_card(hal, device, case, folder, dynamic=dynamic)


def agree(path, inputs, monkeypatch, device, dynamic=False):
    planned = run(path, inputs, "plan", monkeypatch, device, dynamic)
    reference = run(path, inputs, "opencv", monkeypatch, device, dynamic)
    assert len(planned) == len(reference)
    for ours, theirs in zip(planned, reference):
        np.testing.assert_allclose(ours, theirs, rtol=1e-4, atol=1e-5)
    return planned


def inputs_of(path):
    proto = onnx.load(path)
    weights = {i.name for i in proto.graph.initializer}
    return [RNG.standard_normal([d.dim_value for d in value.type.tensor_type.shape.dim]).astype(np.float32)
            for value in proto.graph.input if value.name not in weights]


def test_test_models_agree_with_opencv(card, device, tmp_path, monkeypatch):
    conv = models.ConvRelu(tmp_path / "conv.onnx", batch=2)
    agree(conv.path, [RNG.standard_normal(conv.input_shape).astype(np.float32)], monkeypatch, device)
    addmul = models.AddMul(tmp_path / "addmul.onnx", batch=3)
    agree(addmul.path, [RNG.standard_normal([3, 4]).astype(np.float32) for _ in range(2)], monkeypatch, device)
    scale = models.Scale(tmp_path / "scale.onnx")
    agree(scale.path, [RNG.standard_normal([2, 3, 4, 5]).astype(np.float32)], monkeypatch, device, dynamic=True)
    for op, a, b in [("MatMul", [3, 5], [5, 2]), ("MatMul", [2, 3, 5], [5]), ("Add", [2, 3, 4], [4])]:
        y = list(np.broadcast_shapes(tuple(a), tuple(b))) if op != "MatMul" else list(np.matmul(
            np.zeros(a), np.zeros(b)).shape)
        binary = models.Binary(tmp_path / f"{op}{len(b)}.onnx", op, a, b, y)
        x, z = RNG.standard_normal(a).astype(np.float32), RNG.standard_normal(b).astype(np.float32)
        (result,) = run(binary.path, [x, z], "plan", monkeypatch, device)  # OpenCV refuses 1-D operands
        np.testing.assert_allclose(result.reshape(y), binary.reference(x, z), rtol=1e-5, atol=1e-6)
        if len(b) > 1:
            agree(binary.path, [x, z], monkeypatch, device)


@pytest.mark.parametrize("build", [residual_net, mobile_block])
def test_fused_networks_agree_with_opencv(card, device, tmp_path, monkeypatch, build):
    path = build(tmp_path / "net.onnx")
    agree(path, inputs_of(path), monkeypatch, device)


ELTWISE = ["Relu", "Sigmoid", "Tanh", "Elu", "LeakyRelu", "Exp", "Abs", "Softplus", "Neg", "HardSigmoid", "Selu"]


@pytest.mark.parametrize("op", ELTWISE)
def test_activations_agree_with_opencv(card, device, tmp_path, monkeypatch, op):
    path = single(tmp_path / "act.onnx", op, [2, 3, 5], [2, 3, 5])
    agree(path, inputs_of(path), monkeypatch, device)


@pytest.mark.parametrize("op, a, b", [
    ("Sub", [4], [2, 3, 4]),       # the first input broadcast: swapped and negated
    ("Div", [3, 1], [2, 3, 4]),    # swapped and inverted
    ("Max", [2, 3, 4], [1, 1, 4]),
    ("Min", [2, 3, 4], [2, 3, 4]),
])
def test_broadcast_binary_ops_compute_numpy(card, device, tmp_path, monkeypatch, op, a, b):
    y = list(np.broadcast_shapes(tuple(a), tuple(b)))
    node = helper.make_node(op, ["a", "b"], ["y"])
    path = save_model(tmp_path / "bin.onnx", [node], [value_info("a", a), value_info("b", b)],
                      [value_info("y", y)], name=TEST, opset=13)
    x, z = RNG.uniform(0.5, 2, a).astype(np.float32), RNG.uniform(0.5, 2, b).astype(np.float32)
    expected = {"Sub": np.subtract, "Div": np.divide, "Max": np.maximum, "Min": np.minimum}[op](x, z)
    (result,) = run(path, [x, z], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(y), expected, rtol=1e-5)


@pytest.mark.parametrize("op, attributes, y_dims", [
    ("MaxPool", dict(kernel_shape=[3, 3], strides=[2, 2], ceil_mode=1), [1, 2, 4, 4]),
    ("MaxPool", dict(kernel_shape=[2, 2], auto_pad="SAME_UPPER"), [1, 2, 9, 9]),
    ("AveragePool", dict(kernel_shape=[3, 3], pads=[1, 1, 1, 1], strides=[2, 2]), [1, 2, 5, 5]),
    ("GlobalMaxPool", {}, [1, 2, 1, 1]),
])
def test_pools_agree_with_opencv(card, device, tmp_path, monkeypatch, op, attributes, y_dims):
    path = single(tmp_path / "pool.onnx", op, [1, 2, 9, 9], y_dims, **attributes)
    agree(path, inputs_of(path), monkeypatch, device)


def test_count_include_pad_divides_by_the_whole_window(card, device, tmp_path, monkeypatch):
    path = single(tmp_path / "pool.onnx", "AveragePool", [1, 1, 4, 4], [1, 1, 4, 4], kernel_shape=[3, 3],
                  pads=[1, 1, 1, 1], count_include_pad=1)
    x = RNG.standard_normal((1, 1, 4, 4)).astype(np.float32)
    padded = np.pad(x[0, 0], 1)
    expected = [[padded[i:i + 3, j:j + 3].sum() / 9 for j in range(4)] for i in range(4)]
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(4, 4), expected, rtol=1e-5, atol=1e-6)


def test_a_same_lower_convolution_pads_at_the_start(card, device, tmp_path, monkeypatch):
    kernel = RNG.standard_normal((1, 1, 2, 2)).astype(np.float32)
    path = single(tmp_path / "same.onnx", "Conv", [1, 1, 3, 3], [1, 1, 3, 3], ["k"],
                  [initializer(kernel, "k")], kernel_shape=[2, 2], auto_pad="SAME_LOWER")
    x = RNG.standard_normal((1, 1, 3, 3)).astype(np.float32)
    padded = np.pad(x[0, 0], ((1, 0), (1, 0)))
    expected = [[(padded[i:i + 2, j:j + 2] * kernel[0, 0]).sum() for j in range(3)] for i in range(3)]
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(3, 3), expected, rtol=1e-5, atol=1e-6)


def reshape_chain(path):
    """Flatten written as PyTorch exports it: Shape, Gather, Unsqueeze, Concat, Reshape."""
    nodes = [
        helper.make_node("Shape", ["x"], ["shape"]),
        helper.make_node("Gather", ["shape", "zero"], ["n"], axis=0),
        helper.make_node("Unsqueeze", ["n", "axes"], ["n1"]),
        helper.make_node("Concat", ["n1", "minus_one"], ["target"], axis=0),
        helper.make_node("Reshape", ["x", "target"], ["flat"]),
        helper.make_node("Relu", ["flat"], ["y"]),
    ]
    constants = [initializer(np.array(0, np.int64), "zero"),
                 initializer(np.array([0], np.int64), "axes"),
                 initializer(np.array([-1], np.int64), "minus_one")]
    return save_model(path, nodes, [value_info("x", [2, 3, 4])], [value_info("y", [2, 12])], constants,
                      name=TEST, opset=13)


def test_shape_arithmetic_folds_into_a_view(card, device, tmp_path, monkeypatch):
    path = reshape_chain(tmp_path / "chain.onnx")
    x = RNG.standard_normal((2, 3, 4)).astype(np.float32)
    (result,) = agree(path, [x], monkeypatch, device)
    np.testing.assert_allclose(result.reshape(2, 12), np.maximum(x.reshape(2, 12), 0))


@pytest.fixture
def logger(card, tmp_path):
    directory = tmp_path / "logs"
    card.uninitialize()
    assert card.initialize(json.dumps({"logDir": str(directory)})) == 0
    assert card.setDevice(0) == 0
    assert card.initLogger() == 0
    yield directory / "zecm.log"


def test_the_log_names_the_engine_and_the_node_not_covered(card, device, logger, tmp_path, monkeypatch):
    conv = models.ConvRelu(tmp_path / "conv.onnx")
    uncovered = single(tmp_path / "floor.onnx", "Floor", [2, 3], [2, 3])  # oneDNN has no floor
    x = RNG.standard_normal((2, 3)).astype(np.float32)
    (result,) = run(uncovered, [x], "auto", monkeypatch, device)  # OpenCV runs it whole
    np.testing.assert_array_equal(result.reshape(2, 3), np.floor(x))
    run(conv.path, [RNG.standard_normal(conv.input_shape).astype(np.float32)], "auto", monkeypatch, device)
    text = logger.read_text()
    assert "auto-floor.onnx.onnx: OpenCV DNN (node 0 '' (op Floor): not covered" in text
    assert "auto-conv.onnx.onnx: compiled plan (" in text


def uncovered_model(folder):
    """A model OpenCV runs and the plan does not."""
    return single(folder / "acos.onnx", "Acos", [2, 5], [2, 5])


def test_forcing_the_plan_on_an_uncovered_model_refuses_it(card, zecl, tmp_path, monkeypatch):
    uncovered = uncovered_model(tmp_path)
    monkeypatch.setenv("ZESIM_ENGINE", "plan")
    with pytest.raises(RuntimeError, match=str(MODEL_FILE)):
        zecl.createModel(uncovered, "", "", "")
    monkeypatch.setenv("ZESIM_ENGINE", "auto")
    zecl.destroyModel(zecl.createModel(uncovered, "", "", ""))


@pytest.mark.parametrize("op, inputs, outputs, reason", [
    ("MaxPool", [], ["p"], "fewer inputs than the operator takes"),
    ("Conv", ["x"], ["p"], "fewer inputs than the operator takes"),
    ("Relu", ["x"], [], "fewer outputs than the operator gives"),
    ("Gelu", ["x"], ["p"], "not covered (no such operator at opset 13)"),
])
def test_a_node_its_operator_does_not_allow_is_refused_before_lowering(card, zecl, logger, tmp_path, monkeypatch,
                                                                       op, inputs, outputs, reason):
    nodes = [helper.make_node("Conv", ["x", "w"], ["c"]), helper.make_node(op, inputs, outputs),
             helper.make_node("Relu", ["c"], ["y"])]
    path = save_model(tmp_path / "short.onnx", nodes, [value_info("x", [1, 1, 4, 4])], [value_info("y", [1, 1, 4, 4])],
                      [array_weight(np.ones((1, 1, 1, 1)), "w")], name="short", opset=13, ir_version=None,
                      check=False)
    monkeypatch.setenv("ZESIM_ENGINE", "plan")
    with pytest.raises(RuntimeError, match=str(MODEL_FILE)):
        zecl.createModel(str(path), "", "", "")
    assert f"node 1 '' (op {op}): {reason}" in logger.read_text()


@pytest.mark.parametrize("engine, status", [("plan", MODEL_FILE), ("opencv", 0), ("turbo", "invalid")])
def test_zesim_config_chooses_the_engine(tmp_path, engine, status):
    uncovered = uncovered_model(tmp_path)
    config = tmp_path / "card.json"
    config.write_text(json.dumps({"engine": engine, "cards": [{}]}))
    result = run_isolated(f"""
        import os
        os.environ.pop("ZESIM_ENGINE", None)
        os.environ["ZESIM_CONFIG"] = {str(config)!r}
        import _halvora_pybind11 as hal
        if hal.zecm.initialize() != 0:
            print("invalid")
        else:
            hal.zecm.setDevice(0)
            try:
                hal.zecl.destroyModel(hal.zecl.createModel({uncovered!r}, "", "", ""))
                print(0)
            except RuntimeError as error:
                print(str(error).split("ret: ")[1].rstrip("."))
    """)
    assert result.stdout.split() == [str(status)], result.stderr


def test_runs_on_several_workers_at_once_agree(card, device, tmp_path, monkeypatch):
    monkeypatch.setenv("ZESIM_ENGINE", "plan")
    path = residual_net(tmp_path / "net.onnx")
    inputs = [RNG.standard_normal((1, 3, 32, 32)).astype(np.float32) for _ in range(8)]
    zecl = hal.zecl
    model = zecl.createModel(path, "", "", "")
    try:
        once, many = chain(zecl, [model]), chain(zecl, [model], mode=RUN)

        def output(stream):
            dataset = zecl.requestOutputDataset(stream)
            (result,) = device.results(dataset)
            card.destroyDatasetAll(dataset)
            return result

        expected = []
        for x in inputs:
            assert zecl.runStream(once.stream, once.input, device.dataset([x]), FOREVER) == 0
            expected.append(output(once.stream))
        for x in inputs:  # one worker per core, each with its share of the cores
            assert zecl.runStreamAsync(many.stream, many.input, device.dataset([x])) == 0
        assert zecl.synchronizeStream(many.stream, FOREVER) == 0
        for want in expected:
            np.testing.assert_allclose(output(many.stream), want, rtol=1e-5, atol=1e-6)
        for pipeline in (once, many):
            zecl.destroyOpStream(pipeline.stream)
            zecl.destroyOpGraph(pipeline.graph)
    finally:
        zecl.destroyModel(model)


def long_lived_net(path):
    """Values that must keep their bytes across many steps while others come and go:
    an early 1x1 branch read only by the last node, a shortcut summed three convolutions
    later, and a graph output that a later convolution reads too."""
    nodes = [
        helper.make_node("Conv", ["x", "ke"], ["e"], kernel_shape=[1, 1]),
        helper.make_node("Conv", ["x", "ka"], ["a"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["a"], ["ra"]),
        helper.make_node("Conv", ["ra", "kb"], ["m"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Conv", ["m", "kc"], ["c"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["c"], ["rc"]),
        helper.make_node("Conv", ["rc", "kd"], ["d"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Add", ["d", "ra"], ["s"]),
        helper.make_node("Add", ["s", "e"], ["y"]),
    ]
    weights = [weight("ke", 8, 4, 1, 1), weight("ka", 8, 4, 3, 3), weight("kb", 8, 8, 3, 3),
               weight("kc", 8, 8, 3, 3), weight("kd", 8, 8, 3, 3)]
    return save_model(path, nodes, [value_info("x", [1, 4, 17, 17])],
                      [value_info("y", [1, 8, 17, 17]), value_info("m", [1, 8, 17, 17])], weights,
                      name=TEST, opset=13)


@pytest.mark.parametrize("build", [residual_net, long_lived_net])
def test_shared_arena_bytes_on_several_workers_agree_with_opencv(card, device, tmp_path, monkeypatch, build):
    path = build(tmp_path / "net.onnx")
    inputs = [inputs_of(path) for _ in range(6)]
    expected = [run(path, x, "opencv", monkeypatch, device) for x in inputs]
    monkeypatch.setenv("ZESIM_ENGINE", "plan")
    zecl = hal.zecl
    model = zecl.createModel(path, "", "", "")
    try:
        many = chain(zecl, [model], mode=RUN)
        for x in inputs:
            assert zecl.runStreamAsync(many.stream, many.input, device.dataset(x)) == 0
        assert zecl.synchronizeStream(many.stream, FOREVER) == 0
        for want in expected:
            dataset = zecl.requestOutputDataset(many.stream)
            got = device.results(dataset)
            card.destroyDatasetAll(dataset)
            assert len(got) == len(want)
            for ours, theirs in zip(got, want):
                np.testing.assert_allclose(np.reshape(ours, theirs.shape), theirs, rtol=1e-4, atol=1e-4)
        zecl.destroyOpStream(many.stream)
        zecl.destroyOpGraph(many.graph)
    finally:
        zecl.destroyModel(model)


def test_every_node_case_the_plan_compiles_computes_the_expected_outputs(card, device, monkeypatch):
    monkeypatch.setenv("ZESIM_ENGINE", "plan")
    with onnx_cases.quiet():
        cases = onnx_cases.generate().float32
    compiled, wrong = 0, []
    with onnx_cases.scratch() as folder:
        for case in cases:
            try:
                results = onnx_cases.run_card(hal, device, case, folder)
            except RuntimeError:
                continue  # not covered: refused when forced
            compiled += 1
            if not onnx_cases.matches(results, case.outputs):
                wrong.append(case.name)
    assert not wrong
    assert compiled >= 100


def conv_reference(x, w, b, strides, pads, dilations, group):
    """NumPy's 2-D convolution of NCHW x with OIHW w, pads (top, left, bottom, right)."""
    x = np.pad(x.astype(np.float64), ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])))
    n, c, h, width = x.shape
    o, per_group, kh, kw = w.shape
    out_h = (h - (kh - 1) * dilations[0] - 1) // strides[0] + 1
    out_w = (width - (kw - 1) * dilations[1] - 1) // strides[1] + 1
    y = np.zeros((n, o, out_h, out_w))
    filters = o // group
    for g in range(group):
        xs = x[:, g * per_group:(g + 1) * per_group]
        for dy in range(kh):
            for dx in range(kw):
                window = xs[:, :, dy * dilations[0]::strides[0], dx * dilations[1]::strides[1]][:, :, :out_h, :out_w]
                y[:, g * filters:(g + 1) * filters] += np.einsum("nchw,fc->nfhw", window,
                                                                 w[g * filters:(g + 1) * filters, :, dy, dx])
    return (y + b[None, :, None, None]).astype(np.float32)


@pytest.mark.parametrize("group, strides, pads, dilations, auto_pad", [
    (1, [2, 2], [1, 0, 1, 2], [1, 1], None),      # uneven pads, stride
    (2, [1, 1], [2, 2, 2, 2], [2, 2], None),      # grouped and dilated
    (6, [2, 1], [0, 0, 0, 0], [1, 2], None),      # depthwise
    (1, [2, 2], None, [1, 1], "SAME_UPPER"),
    (1, [1, 1], None, [1, 1], "VALID"),
])
def test_convolutions_compute_numpy(card, device, tmp_path, monkeypatch, group, strides, pads, dilations, auto_pad):
    x = RNG.standard_normal((2, 6, 9, 10)).astype(np.float32)
    w = RNG.standard_normal((6, 6 // group, 3, 3)).astype(np.float32)
    b = RNG.standard_normal(6).astype(np.float32)
    attributes = dict(group=group, strides=strides, dilations=dilations, kernel_shape=[3, 3])
    if auto_pad:
        attributes["auto_pad"] = auto_pad
        extents = [(3 - 1) * d + 1 for d in dilations]
        outs = [-(-size // s) if auto_pad == "SAME_UPPER" else (size - e) // s + 1
                for size, s, e in zip((9, 10), strides, extents)]
        totals = [max(0, (o - 1) * s + e - size) for o, s, e, size in zip(outs, strides, extents, (9, 10))]
        pads = [0, 0, 0, 0] if auto_pad == "VALID" else [totals[0] // 2, totals[1] // 2,
                                                         totals[0] - totals[0] // 2, totals[1] - totals[1] // 2]
    else:
        attributes["pads"] = pads
    expected = conv_reference(x, w, b, strides, pads, dilations, group)
    path = single(tmp_path / "conv.onnx", "Conv", list(x.shape), list(expected.shape), ["w", "b"],
                  [initializer(w, "w"), initializer(b, "b")], **attributes)
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(expected.shape), expected, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("a_dims, b_dims, attributes, c_dims", [
    ([3, 4], [4, 5], {}, [5]),
    ([4, 3], [5, 4], dict(transA=1, transB=1, alpha=0.5, beta=2.0), [3, 1]),
    ([3, 4], [4, 5], dict(beta=0.0), [3, 5]),
    ([3, 4], [4, 5], dict(beta=0.5), [3, 5]),    # C of the result's shape: a post-op
    ([3, 4], [4, 5], {}, [1, 1]),
])
def test_gemm_computes_numpy(card, device, tmp_path, monkeypatch, a_dims, b_dims, attributes, c_dims):
    a = RNG.standard_normal(a_dims).astype(np.float32)
    b = RNG.standard_normal(b_dims).astype(np.float32)
    c = RNG.standard_normal(c_dims).astype(np.float32)
    a2 = a.T if attributes.get("transA") else a
    b2 = b.T if attributes.get("transB") else b
    expected = attributes.get("alpha", 1.0) * a2 @ b2 + attributes.get("beta", 1.0) * c
    path = single(tmp_path / "gemm.onnx", "Gemm", a_dims, list(expected.shape), ["b", "c"],
                  [initializer(b, "b"), initializer(c, "c")], **attributes)
    (result,) = run(path, [a], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(expected.shape), expected, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("op, outputs", [("Gemm", ["y"]), ("MatMul", ["y"]), ("MatMul", ["y", "p"])])
def test_activations_after_a_product_compute_numpy(card, device, tmp_path, monkeypatch, op, outputs):
    a = RNG.standard_normal([3, 4]).astype(np.float32)
    b = RNG.standard_normal([4, 5]).astype(np.float32)
    product = a @ b
    expected = {"p": product, "y": np.clip(np.maximum(product, 0), 0, 1.5)}
    nodes = [helper.make_node(op, ["x", "b"], ["p"]), helper.make_node("Relu", ["p"], ["r"]),
             helper.make_node("Clip", ["r", "lo", "hi"], ["y"])]
    weights = [initializer(b, "b"), initializer(np.array(0, np.float32), "lo"),
               initializer(np.array(1.5, np.float32), "hi")]
    path = save_model(tmp_path / "product.onnx", nodes, [value_info("x", [3, 4])],
                      [value_info(name, [3, 5]) for name in outputs], weights, name=TEST, opset=13)
    results = run(path, [a], "plan", monkeypatch, device)
    for name, result in zip(outputs, results):
        np.testing.assert_allclose(result.reshape(3, 5), expected[name], rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("a_dims, b_dims", [([2, 1, 3, 4], [3, 4, 5]), ([4], [2, 4, 3]), ([2, 3, 4], [4])])
def test_matmul_broadcasts_like_numpy(card, device, tmp_path, monkeypatch, a_dims, b_dims):
    a, b = RNG.standard_normal(a_dims).astype(np.float32), RNG.standard_normal(b_dims).astype(np.float32)
    expected = np.matmul(a, b)
    node = helper.make_node("MatMul", ["a", "b"], ["y"])
    path = save_model(tmp_path / "mm.onnx", [node], [value_info("a", a_dims), value_info("b", b_dims)],
                      [value_info("y", list(expected.shape))], name=TEST, opset=13)
    (result,) = run(path, [a, b], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(expected.shape), expected, rtol=1e-5, atol=1e-5)


def test_a_shortcut_read_after_the_sum_is_not_overwritten(card, device, tmp_path, monkeypatch):
    """r feeds the convolution, the Add and a Mul after it: the sum cannot be made in r's place."""
    nodes = [
        helper.make_node("Conv", ["x", "k0"], ["c0"], kernel_shape=[1, 1]),
        helper.make_node("Relu", ["c0"], ["r"]),
        helper.make_node("Conv", ["r", "k1"], ["c1"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Add", ["c1", "r"], ["y"]),
        helper.make_node("Mul", ["r", "r"], ["z"]),
    ]
    path = save_model(tmp_path / "net.onnx", nodes, [value_info("x", [1, 4, 6, 6])],
                      [value_info("y", [1, 8, 6, 6]), value_info("z", [1, 8, 6, 6])],
                      [weight("k0", 8, 4, 1, 1), weight("k1", 8, 8, 3, 3)], name=TEST, opset=13)
    y, z = agree(path, inputs_of(path), monkeypatch, device)
    assert np.all(z >= 0)


def test_half_inputs_are_computed_in_float_and_a_scalar_output_is_one_value(card, device, tmp_path, monkeypatch):
    nodes = [helper.make_node("Cast", ["x"], ["f"], to=TensorProto.FLOAT),
             helper.make_node("Gemm", ["f", "w"], ["g"]),
             helper.make_node("Reshape", ["g", "empty"], ["y"])]
    x = RNG.standard_normal((1, 3)).astype(np.float16)
    w = RNG.standard_normal((3, 1)).astype(np.float32)
    path = save_model(tmp_path / "half.onnx", nodes, [value_info("x", [1, 3], "float16")],
                      [value_info("y", [])], [initializer(w, "w"), initializer(np.zeros(0, np.int64), "empty")],
                      name=TEST, opset=13)
    monkeypatch.setenv("ZESIM_ENGINE", "plan")
    with open(path, "rb") as file:
        case = onnx_cases.Case("half", "", file.read(), [], [], [x], [])
    with onnx_cases.scratch() as folder:
        (result,) = onnx_cases.run_card(hal, device, case, folder, tensors=False)
    np.testing.assert_allclose(result.reshape(()), (x.astype(np.float32) @ w).item(), rtol=1e-5)


def log_sum_exp(x):
    peak = x.max(axis=1, keepdims=True)
    return peak + np.log(np.exp(x - peak).sum(axis=1, keepdims=True))


def coerced_softmax(x):
    rows = x.reshape(2, -1)
    e = np.exp(rows - rows.max(axis=1, keepdims=True))
    return (e / e.sum(axis=1, keepdims=True)).reshape(x.shape)


def inference_batch_norm(x):
    mean, var = np.arange(3, dtype=np.float32), np.arange(1, 4, dtype=np.float32)
    return (x - mean) / np.sqrt(var + 1e-5) * 2 + 1


STATISTICS = [initializer(v, n) for v, n in [
    (np.full(3, 2, np.float32), "s"), (np.ones(3, np.float32), "b"),
    (np.arange(3, dtype=np.float32), "m"), (np.arange(1, 4, dtype=np.float32), "v")]]


@pytest.mark.parametrize("op, y_dims, extra, initializers, opset, attributes, scale, expected", [
    # exp of inputs near 100 overflows float unless the maximum is taken out first
    ("ReduceLogSumExp", [2, 1, 4], (), (), 13, dict(axes=[1]), 100, log_sum_exp),
    # before opset 13 the input is one row per index below the axis
    ("Softmax", [2, 3, 4], (), (), 11, dict(axis=1), 1, coerced_softmax),
    # statistics and parameters as weights, on a 2-D input
    ("BatchNormalization", [2, 3], ("s", "b", "m", "v"), STATISTICS, 15, {}, 1, inference_batch_norm),
])
def test_normalizations_and_reductions_compute_numpy(card, device, tmp_path, monkeypatch, op, y_dims, extra,
                                                     initializers, opset, attributes, scale, expected):
    x_dims = [2, 3] if op == "BatchNormalization" else [2, 3, 4]
    path = single(tmp_path / "op.onnx", op, x_dims, y_dims, extra, initializers, opset=opset, **attributes)
    x = (RNG.standard_normal(x_dims) + scale).astype(np.float32)
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(y_dims), expected(x), rtol=1e-5, atol=1e-5)


def test_hardmax_before_opset_13_marks_the_first_maximum_of_each_row(card, device, tmp_path, monkeypatch):
    path = single(tmp_path / "hardmax.onnx", "Hardmax", [2, 3, 4], [2, 3, 4], opset=11, axis=1)
    x = RNG.integers(0, 3, (2, 3, 4)).astype(np.float32)  # small integers: ties across the 12 of a row
    rows = x.reshape(2, 12)
    expected = np.zeros_like(rows)
    expected[np.arange(2), rows.argmax(axis=1)] = 1
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_array_equal(result.reshape(2, 12), expected)


def deconv_reference(x, w, b, strides, pads, dilations, output_padding, group):
    """NumPy's 2-D transposed convolution of NCHW x with (I, O/group, kh, kw) w."""
    n, channels, h, width = x.shape
    per_group, filters, kh, kw = channels // group, w.shape[1], w.shape[2], w.shape[3]
    size = [(h - 1) * strides[0] + (kh - 1) * dilations[0] + 1 + output_padding[0],
            (width - 1) * strides[1] + (kw - 1) * dilations[1] + 1 + output_padding[1]]
    y = np.zeros((n, filters * group, *size))
    for g in range(group):
        xs = x[:, g * per_group:(g + 1) * per_group].astype(np.float64)
        for dy in range(kh):
            for dx in range(kw):
                taps = np.einsum("nchw,co->nohw", xs, w[g * per_group:(g + 1) * per_group, :, dy, dx])
                rows = slice(dy * dilations[0], dy * dilations[0] + (h - 1) * strides[0] + 1, strides[0])
                cols = slice(dx * dilations[1], dx * dilations[1] + (width - 1) * strides[1] + 1, strides[1])
                y[:, g * filters:(g + 1) * filters, rows, cols] += taps
    y = y[:, :, pads[0]:size[0] - pads[2], pads[1]:size[1] - pads[3]]
    return (y + b[None, :, None, None]).astype(np.float32)


@pytest.mark.parametrize("op, group, strides, pads, dilations, output_padding, given", [
    ("ConvTranspose", 2, [2, 1], [1, 0, 0, 1], [1, 1], [1, 0], False),
    ("ConvTranspose", 1, [2, 2], [0, 0, 2, 1], [2, 1], [0, 0], True),
    ("ConvTranspose", 3, [3, 2], [1, 1, 1, 1], [1, 1], [2, 1], True),   # output_padding past the end pads
    ("Conv", 3, [2, 1], [1, 0, 1, 2], [1, 2], None, True),
])
def test_convolutions_with_weights_in_any_form_compute_numpy(card, device, tmp_path, monkeypatch, op, group,
                                                             strides, pads, dilations, output_padding, given):
    x = RNG.standard_normal((2, 6, 5, 4)).astype(np.float32)
    transposed = op == "ConvTranspose"
    w = RNG.standard_normal((6, 2, 3, 2) if transposed else (6, 6 // group, 3, 2)).astype(np.float32)
    b = RNG.standard_normal(2 * group if transposed else 6).astype(np.float32)
    attributes = dict(group=group, strides=strides, pads=pads, dilations=dilations)
    if transposed:
        attributes["output_padding"] = output_padding
        expected = deconv_reference(x, w, b, strides, pads, dilations, output_padding, group)
    else:
        expected = conv_reference(x, w, b, strides, pads, dilations, group)
    node = helper.make_node(op, ["x", "w", "b"], ["y"], **attributes)
    declared = [value_info("x", list(x.shape))]
    weights = [initializer(w, "w"), initializer(b, "b")]
    if given:
        declared += [value_info("w", list(w.shape)), value_info("b", list(b.shape))]
        weights = []
    path = save_model(tmp_path / "deconv.onnx", [node], declared, [value_info("y", list(expected.shape))],
                      weights, name=TEST, opset=13)
    (result,) = run(path, [x, w, b] if given else [x], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(expected.shape), expected, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("op, dims", [
    ("Sub", [[3, 1], [1, 4]]),           # both inputs broadcast
    ("Div", [[2, 1, 3], [4, 1]]),
    ("Sum", [[3, 1], [1, 4], [4]]),       # no input has the result's dims
    ("Mean", [[2, 1], [], [1, 3]]),
    ("Max", [[], []]),                    # scalars
    ("Min", [[5], [1], [5]]),
])
def test_element_wise_ops_of_broadcast_inputs_compute_numpy(card, device, tmp_path, monkeypatch, op, dims):
    names = [f"i{k}" for k in range(len(dims))]
    arrays = [RNG.uniform(0.5, 2, d).astype(np.float32) for d in dims]
    reduce = {"Sub": np.subtract, "Div": np.divide, "Sum": np.add, "Mean": np.add, "Max": np.maximum,
              "Min": np.minimum}[op]
    expected = arrays[0]
    for array in arrays[1:]:
        expected = reduce(expected, array)
    if op == "Mean":
        expected = expected / len(arrays)
    node = helper.make_node(op, names, ["y"])
    path = save_model(tmp_path / "variadic.onnx", [node], [value_info(n, d) for n, d in zip(names, dims)],
                      [value_info("y", list(np.shape(expected)))], name=TEST, opset=13)
    (result,) = run(path, arrays, "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(np.shape(expected)), expected, rtol=1e-5)


@pytest.mark.parametrize("op, dims, attributes, function", [
    ("Softsign", [], {}, lambda x: x / (1 + np.abs(x))),
    ("ThresholdedRelu", [7], dict(alpha=0.4), lambda x: np.where(x > 0.4, x, 0)),
    ("Celu", [2, 5], dict(alpha=0.7), lambda x: np.maximum(0, x) + np.minimum(0, 0.7 * (np.exp(x / 0.7) - 1))),
])
def test_unary_functions_compute_numpy(card, device, tmp_path, monkeypatch, op, dims, attributes, function):
    path = single(tmp_path / "unary.onnx", op, dims, dims, **attributes)
    x = RNG.standard_normal(dims).astype(np.float32)
    if x.size > 2:
        x.flat[:2] = [-np.inf, np.inf]
    (result,) = run(path, [x], "plan", monkeypatch, device)
    with np.errstate(invalid="ignore", over="ignore"):
        expected = function(x.astype(np.float64))
    np.testing.assert_allclose(result.reshape(dims), expected, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("scale_op, scale", [("Div", 1.4142135381698608), ("Mul", 0.7071067811865476)])
def test_gelu_of_five_nodes_computes_numpy(card, device, tmp_path, monkeypatch, scale_op, scale):
    constants = [initializer(np.array(v, np.float32), n) for n, v in
                 [("scale", scale), ("one", 1.0), ("half", 0.5)]]
    nodes = [helper.make_node(scale_op, ["x", "scale"], ["s"]), helper.make_node("Erf", ["s"], ["e"]),
             helper.make_node("Add", ["one", "e"], ["a"]), helper.make_node("Mul", ["a", "x"], ["m"]),
             helper.make_node("Mul", ["m", "half"], ["y"])]
    path = save_model(tmp_path / "gelu.onnx", nodes, [value_info("x", [3, 7])], [value_info("y", [3, 7])],
                      constants, name=TEST, opset=13)
    x = (RNG.standard_normal((3, 7)) * 3).astype(np.float32)
    erf = np.vectorize(math.erf)(x.astype(np.float64) / math.sqrt(2))
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(3, 7), x * 0.5 * (1 + erf), rtol=1e-5, atol=1e-6)


def resize_reference(x, mode, sizes, nearest_mode, **kwargs):
    from onnx.backend.test.case.node import resize as onnx_resize

    coeffs = {"nearest": lambda ratio: onnx_resize.nearest_coeffs(ratio, mode=nearest_mode),
              "linear": onnx_resize.linear_coeffs, "cubic": onnx_resize.cubic_coeffs}[mode]
    return onnx_resize.interpolate_nd(x, coeffs, output_size=sizes, **kwargs).astype(np.float32)


@pytest.mark.parametrize("mode, coordinates, nearest_mode, sizes", [
    ("nearest", "asymmetric", "ceil", [1, 2, 7, 5]),
    ("nearest", "half_pixel", "round_prefer_ceil", [1, 2, 3, 9]),
    ("nearest", "half_pixel", "floor", [1, 2, 8, 12]),     # whole factors: oneDNN's own kernel
    ("linear", "pytorch_half_pixel", "round_prefer_floor", [1, 2, 1, 6]),
    ("linear", "half_pixel", "round_prefer_floor", [1, 2, 8, 3]),
    ("cubic", "asymmetric", "round_prefer_floor", [1, 2, 5, 7]),
])
def test_resize_by_constant_sizes_computes_onnx_sampling(card, device, tmp_path, monkeypatch, mode, coordinates,
                                                         nearest_mode, sizes):
    x = RNG.standard_normal([1, 2, 4, 6]).astype(np.float32)
    node = helper.make_node("Resize", ["x", "", "", "sizes"], ["y"], mode=mode, nearest_mode=nearest_mode,
                            coordinate_transformation_mode=coordinates)
    path = save_model(tmp_path / "resize.onnx", [node], [value_info("x", x.shape)], [value_info("y", sizes)],
                      [initializer(np.array(sizes, np.int64), "sizes")], name=TEST, opset=13)
    expected = resize_reference(x, mode, sizes, nearest_mode, coordinate_transformation_mode=coordinates)
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_allclose(result.reshape(sizes), expected, rtol=1e-5, atol=1e-6)


def test_scales_given_at_run_compile_for_each_value(card, device, tmp_path, monkeypatch):
    # 2 and 2.2 give the same output shape and different samplings: each run its own program.
    x = RNG.standard_normal([1, 1, 3, 3]).astype(np.float32)
    node = helper.make_node("Resize", ["x", "", "scales"], ["y"], mode="linear")
    path = save_model(tmp_path / "scales.onnx", [node], [value_info("x", x.shape), value_info("scales", [4])],
                      [value_info("y", [1, 1, 6, 6])], name=TEST, opset=13)
    for factor in (2.0, 2.2, 2.0):
        scales = np.array([1, 1, factor, factor], np.float32)
        expected = resize_reference(x, "linear", None, "", scale_factors=scales)
        (result,) = run(path, [x, scales], "plan", monkeypatch, device)
        np.testing.assert_allclose(result.reshape(expected.shape), expected, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("op, x_dims, attributes, constants, expected", [
    ("Slice", [4, 6], {}, {"starts": [-3, 1], "ends": [100, 6], "axes": [0, 1], "steps": [2, 3]},
     lambda x: x[-3::2, 1::3]),
    ("Split", [3, 5], {"axis": 1}, {"split": [1, 4]}, lambda x: x[:, 1:]),
    ("Tile", [2, 1, 3], {}, {"repeats": [1, 4, 2]}, lambda x: np.tile(x, [1, 4, 2])),
    ("Expand", [3, 1], {}, {"shape": [2, 1, 4]}, lambda x: np.broadcast_to(x, [2, 3, 4])),
    ("Gather", [3, 4], {"axis": 1}, {"indices": [[-1, 0], [2, 2]]}, lambda x: x[:, [[3, 0], [2, 2]]]),
    ("Transpose", [2, 3, 4], {"perm": [1, 2, 0]}, {}, lambda x: x.transpose(1, 2, 0)),
])
def test_tensor_copies_compute_numpy(card, device, tmp_path, monkeypatch, op, x_dims, attributes, constants,
                                     expected):
    x = RNG.standard_normal(x_dims).astype(np.float32)
    want = expected(x)
    initializers = [initializer(np.array(v, np.int64), k) for k, v in constants.items()]
    outputs = ["skipped", "y"] if op == "Split" else ["y"]
    node = helper.make_node(op, ["x", *constants], outputs, **attributes)
    path = save_model(tmp_path / "copy.onnx", [node], [value_info("x", x_dims)],
                      [value_info("y", list(want.shape))], initializers, name=TEST, opset=13)
    (result,) = run(path, [x], "plan", monkeypatch, device)
    np.testing.assert_array_equal(result.reshape(want.shape), want)
