"""Models: loading, batch sizes, dynamic input shapes, and their input and output descriptions."""
import re

import numpy as np
import pytest

import models  # also puts python/ on the path, for halvora.samples
from halvora.samples import save_model, value_info
from sim import address
from zecl_helpers import (BATCH_SIZE, FOREVER, INDEX_OUT_OF_RANGE, INVALID_HANDLE, INVALID_PARAM, MODEL_FILE,
                          chain)

POINTER = r"0x[0-9a-f]+"


def shape_of(zecm, dims):
    record = zecm.shape()
    record.ndims, record.shapes = len(dims), list(dims)
    return record


def input_shape(zecl, zecm, model, index=0):
    record = zecm.shape()
    assert zecl.getModelInputShapeByIndex(model, index, record) == 0
    assert len(record.shapes) == record.ndims
    return record.shapes


def output_shape(zecl, zecm, model, index=0):
    record = zecm.shape()
    assert zecl.getModelOutputShapeByIndex(model, index, record) == 0
    return record.shapes


def test_static_model_describes_its_inputs_and_outputs(zecl, card, conv, addmul):
    model = zecl.createModel(conv.path, "conv", "", "")
    assert (zecl.getModelInputCount(model), zecl.getModelOutputCount(model)) == (1, 1)
    assert input_shape(zecl, card, model) == [1, 3, 8, 8]
    assert output_shape(zecl, card, model) == [1, 4, 8, 8]
    assert zecl.getModelOutputSizeByIndex(model, 0) == 4 * 8 * 8 * 4
    kind = zecl.getModelOutputDataTypeByIndex(model, 0)
    assert kind == card.dType.zecmDT_FLOAT32 and type(kind) is card.dType
    assert (zecl.getModelBatchSize(model), zecl.getModelMaxBatchSize(model)) == (1, 1)

    pair = zecl.createModel(addmul.path, "addmul", "", "")
    assert (zecl.getModelInputCount(pair), zecl.getModelOutputCount(pair)) == (2, 2)
    assert [input_shape(zecl, card, pair, i) for i in (0, 1)] == [[1, 4], [1, 4]]
    assert [output_shape(zecl, card, pair, i) for i in (0, 1)] == [[1, 4], [1, 4]]
    assert [zecl.getModelOutputSizeByIndex(pair, i) for i in (0, 1)] == [16, 16]
    assert zecl.destroyModel(model) == 0 and zecl.destroyModel(pair) == 0


def test_batch_size_follows_the_configuration(zecl, card, conv):
    model = zecl.createModel(conv.path, "conv", '{"maxBatchSize": 4}', "")
    assert (zecl.getModelBatchSize(model), zecl.getModelMaxBatchSize(model)) == (1, 4)
    assert zecl.setModelBatchSize(model, 3) == 0
    assert zecl.getModelBatchSize(model) == 3
    assert input_shape(zecl, card, model) == [3, 3, 8, 8]
    assert output_shape(zecl, card, model) == [3, 4, 8, 8]
    assert zecl.getModelOutputSizeByIndex(model, 0) == 3 * 4 * 8 * 8 * 4
    for wrong in (0, 5):
        assert zecl.setModelBatchSize(model, wrong) == BATCH_SIZE
    assert zecl.getModelBatchSize(model) == 3


def test_declared_batch_is_the_default(zecl, card, tmp_path):
    model = zecl.createModel(models.ConvRelu(tmp_path / "b2.onnx", batch=2).path, "", "", "")
    assert (zecl.getModelBatchSize(model), zecl.getModelMaxBatchSize(model)) == (2, 2)
    assert output_shape(zecl, card, model) == [2, 4, 8, 8]


def test_dynamic_model_shapes_are_set_later(zecl, card, scale):
    model = zecl.createDynamicModel(scale.path, "")
    assert input_shape(zecl, card, model) == [-1, -1, -1, -1]
    assert output_shape(zecl, card, model) == [-1, -1, -1, -1]
    with pytest.raises(RuntimeError, match=rf"^get model output size by index error, ret: {BATCH_SIZE}\.$"):
        zecl.getModelOutputSizeByIndex(model, 0)
    assert zecl.getModelMaxBatchSize(model) == 16
    assert zecl.setModelBatchSize(model, 1) == BATCH_SIZE

    assert zecl.setDynamicModelInputShape(model, [shape_of(card, [2, 3, 4, 5])]) == 0
    assert input_shape(zecl, card, model) == [2, 3, 4, 5]
    assert output_shape(zecl, card, model) == [2, 3, 4, 5]
    assert zecl.getModelOutputSizeByIndex(model, 0) == 2 * 3 * 4 * 5 * 4
    assert zecl.getModelBatchSize(model) == 2


@pytest.mark.parametrize("shapes, status", [
    ([], INVALID_PARAM),                                  # one shape per input
    ([[1, 3, 4, 5], [1, 3, 4, 5]], INVALID_PARAM),
    ([[1, 3, 4]], BATCH_SIZE),                            # ndims must equal the rank
    ([[17, 3, 4, 5]], BATCH_SIZE),                        # above the max batch
    ([[0, 3, 4, 5]], BATCH_SIZE),
    ([[1, 3, -4, 5]], BATCH_SIZE),
])
def test_dynamic_shapes_are_checked(zecl, card, scale, shapes, status):
    model = zecl.createDynamicModel(scale.path, "")
    assert zecl.setDynamicModelInputShape(model, [shape_of(card, dims) for dims in shapes]) == status
    assert input_shape(zecl, card, model) == [-1, -1, -1, -1]


def test_dynamic_fixed_dims_and_configured_batch(zecl, card, tmp_path):
    path = models.Scale(tmp_path / "fixed.onnx", dims=("N", 3, "H", "W")).path
    model = zecl.createDynamicModel(path, '{"maxBatchSize": 32}')
    assert zecl.getModelMaxBatchSize(model) == 32
    assert input_shape(zecl, card, model) == [-1, 3, -1, -1]
    assert zecl.setDynamicModelInputShape(model, [shape_of(card, [1, 4, 2, 2])]) == BATCH_SIZE
    assert zecl.setDynamicModelInputShape(model, [shape_of(card, [32, 3, 2, 2])]) == 0
    assert zecl.getDynamicModelMaxBatchSize(model, [shape_of(card, [1, 3, 9, 9])]) == 32
    with pytest.raises(RuntimeError, match=rf"^get dynamic model max batch size error, ret: {BATCH_SIZE}\.$"):
        zecl.getDynamicModelMaxBatchSize(model, [shape_of(card, [1, 2, 9, 9])])


def test_two_inputs_need_one_batch(zecl, card, tmp_path):
    model = zecl.createDynamicModel(models.AddMul(tmp_path / "am.onnx").path, '{"maxBatchSize": 8}')
    assert zecl.setDynamicModelInputShape(model, [shape_of(card, [2, 4]), shape_of(card, [3, 4])]) == BATCH_SIZE
    assert zecl.setDynamicModelInputShape(model, [shape_of(card, [2, 4]), shape_of(card, [2, 4])]) == 0
    assert zecl.getModelOutputSizeByIndex(model, 1) == 2 * 4 * 4


def test_static_models_need_fixed_dims_after_the_batch(zecl, card, tmp_path):
    with pytest.raises(RuntimeError, match=rf"^create model error, ret: {MODEL_FILE}\.$"):
        zecl.createModel(models.Scale(tmp_path / "open.onnx").path, "", "", "")
    model = zecl.createModel(models.Scale(tmp_path / "n.onnx", dims=("N", 3, 4, 5)).path, "", "", "")
    assert input_shape(zecl, card, model) == [1, 3, 4, 5]
    assert zecl.getModelMaxBatchSize(model) == 1


@pytest.mark.parametrize("node_inputs, output", [
    (["x", "w"], "y"),        # a weight nothing defines
    (["x", "y"], "y"),        # a node reading its own output
    (["x", "x"], "missing"),  # a graph output no node gives
])
def test_models_reading_undefined_values_are_refused(zecl, card, tmp_path, node_inputs, output):
    from onnx import helper
    path = save_model(tmp_path / "undefined.onnx", [helper.make_node("Conv", node_inputs, ["y"], kernel_shape=[1, 1])],
                      [value_info("x", [1, 1, 4, 4])], [value_info(output, [1, 1, 4, 4])], name="g", ir_version=None,
                      check=False)
    with pytest.raises(RuntimeError, match=rf"^create model error, ret: {MODEL_FILE}\.$"):
        zecl.createModel(str(path), "", "", "")
    with pytest.raises(RuntimeError, match=rf"^create dynamic model error, ret: {MODEL_FILE}\.$"):
        zecl.createDynamicModel(str(path), "")


@pytest.mark.parametrize("content, config, status", [
    (None, "", MODEL_FILE),                 # no such file
    (b"", "", MODEL_FILE),
    (b"\xff\x00 not a model", "", MODEL_FILE),
    ("conv", "{not json", INVALID_PARAM),
    ("conv", "[4]", INVALID_PARAM),
    ("conv", '{"maxBatchSize": 0}', INVALID_PARAM),
    ("conv", '{"maxBatchSize": -1}', INVALID_PARAM),
    ("conv", '{"maxBatchSize": 1.5}', INVALID_PARAM),
    ("conv", '{"maxBatchSize": "4"}', INVALID_PARAM),
    ("conv", '{"maxBatchSize": 4294967296}', INVALID_PARAM),
])
def test_unusable_files_and_configurations(zecl, card, conv, tmp_path, content, config, status):
    path = tmp_path / "model.onnx"
    if content == "conv":
        path = conv.path
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(RuntimeError, match=rf"^create model error, ret: {status}\.$"):
        zecl.createModel(str(path), "", config, "")
    with pytest.raises(RuntimeError, match=rf"^create dynamic model error, ret: {status}\.$"):
        zecl.createDynamicModel(str(path), config)


def test_models_need_an_initialized_runtime(zecl, zecm, conv):
    zecm.uninitialize()
    with pytest.raises(RuntimeError, match=r"^create model error, ret: 100003\.$"):
        zecl.createModel(conv.path, "", "", "")


@pytest.mark.parametrize("call", [
    lambda z, m: z.getModelOutputSizeByIndex(m, 1),
    lambda z, m: z.getModelOutputSizeByIndex(m, -1),
    lambda z, m: z.getModelOutputDataTypeByIndex(m, 1),
])
def test_indices_out_of_range_raise(zecl, card, conv, call):
    model = zecl.createModel(conv.path, "", "", "")
    with pytest.raises(RuntimeError, match=rf"ret: {INDEX_OUT_OF_RANGE}\.$"):
        call(zecl, model)


def test_shape_queries_fill_the_record_only_on_success(zecl, card, sim, conv):
    model = zecl.createModel(conv.path, "", "", "")
    record = shape_of(card, [9, 9, 9, 9, 9])
    assert zecl.getModelOutputShapeByIndex(model, 1, record) == INDEX_OUT_OF_RANGE
    assert (record.ndims, record.shapes) == (5, [9, 9, 9, 9, 9])
    sim.fail("zeclGetModelInputShapeByIndex", 4294967295)
    assert zecl.getModelInputShapeByIndex(model, 0, record) == 4294967295
    assert record.shapes == [9, 9, 9, 9, 9]
    assert zecl.getModelInputShapeByIndex(model, 0, record) == 0
    assert (record.ndims, record.shapes) == (4, [1, 3, 8, 8])


def test_stale_and_wrong_kind_model_handles(zecl, card, conv):
    model = zecl.createModel(conv.path, "", "", "")
    graph = zecl.createOpGraph()
    for handle in (graph, None):
        assert zecl.destroyModel(handle) == INVALID_HANDLE
        assert zecl.setModelBatchSize(handle, 1) == INVALID_HANDLE
        with pytest.raises(RuntimeError, match=rf"^get model input count error, ret: {INVALID_HANDLE}\.$"):
            zecl.getModelInputCount(handle)
    assert zecl.destroyModel(model) == 0
    assert zecl.destroyModel(model) == INVALID_HANDLE
    assert zecl.getModelInputShapeByIndex(model, 0, card.shape()) == INVALID_HANDLE
    with pytest.raises(RuntimeError, match=rf"^create graph run model op error, ret: {INVALID_HANDLE}\.$"):
        zecl.createRunModelOp(model)


def test_arguments_reach_the_runtime_as_given(zecl, card, sim, conv, scale):
    model = zecl.createModel(conv.path, "a name", '{"maxBatchSize": 2}', "")
    with pytest.raises(RuntimeError):
        zecl.createModel("", "", "", "weights.bin")
    assert zecl.createModel(conv.path, "", "", "weights.bin") is not None  # accepted, not used
    dynamic = zecl.createDynamicModel(scale.path, "")
    assert zecl.setModelBatchSize(model, 2) == 0
    assert zecl.setDynamicModelInputShape(dynamic, [shape_of(card, [2, 1, 3, 3])]) == 0
    assert zecl.setDynamicModelInputShape(dynamic, []) == INVALID_PARAM
    short = card.shape()
    short.ndims, short.shapes = 4, [1, 2]  # ndims is passed unchanged; only listed dims are copied
    assert zecl.setDynamicModelInputShape(dynamic, [short]) == BATCH_SIZE
    lines = sim.lines("zecl")
    assert re.fullmatch(rf'zeclCreateModel\("{conv.path}", "a name", "{{\\"maxBatchSize\\": 2}}", NULL, '
                        rf'{POINTER}\) = 0', lines[0])
    assert re.fullmatch(rf'zeclCreateModel\("", "", "", "weights.bin", {POINTER}\) = {MODEL_FILE}', lines[1])
    assert re.fullmatch(rf'zeclCreateModel\("{conv.path}", "", "", "weights.bin", {POINTER}\) = 0', lines[2])
    assert re.fullmatch(rf'zeclCreateDynamicModel\("{scale.path}", NULL, {POINTER}\) = 0', lines[3])
    assert re.fullmatch(rf"zeclSetModelBatchSize\({address(model)}, {POINTER}\) = 0", lines[4])
    dyn = address(dynamic)
    assert lines[5:] == [
        f"zeclSetDynamicModelInputShape({dyn}, [{{4, [2, 1, 3, 3, 0, 0]}}], 1) = 0",
        f"zeclSetDynamicModelInputShape({dyn}, [], 0) = {INVALID_PARAM}",
        f"zeclSetDynamicModelInputShape({dyn}, [{{4, [1, 2, 0, 0, 0, 0]}}], 1) = {BATCH_SIZE}",
    ]


def test_shape_lists_are_refused_before_the_runtime(zecl, card, sim, scale):
    model = zecl.createDynamicModel(scale.path, "")
    sim.clear()
    with pytest.raises(ValueError):
        zecl.setDynamicModelInputShape(model, [shape_of(card, [1] * 7)])
    with pytest.raises(RuntimeError) as raised:
        zecl.setDynamicModelInputShape(model, [shape_of(card, [1, 1, 1, 1]), None])
    assert str(raised.value) == ""
    with pytest.raises(RuntimeError) as raised:
        zecl.getDynamicModelMaxBatchSize(model, [None])
    assert str(raised.value) == ""
    for wrong in ([[1, 1, 1, 1]], "abcd", [object()]):
        with pytest.raises(TypeError):
            zecl.setDynamicModelInputShape(model, wrong)
    with pytest.raises(TypeError):
        zecl.getModelInputShapeByIndex(model, 0, None)
    with pytest.raises(TypeError):
        zecl.getModelOutputShapeByIndex(model, 0, None)
    for index in (2**31, -2**31 - 1):
        with pytest.raises(TypeError):
            zecl.getModelOutputSizeByIndex(model, index)
    with pytest.raises(TypeError):
        zecl.setModelBatchSize(model, -1)
    assert sim.lines("zecl") == []


MODEL_VALUES = [
    ("createModel", "zeclCreateModel", lambda m, s: ("x", "", "", ""), "create model"),
    ("createDynamicModel", "zeclCreateDynamicModel", lambda m, s: ("x", ""), "create dynamic model"),
    ("getModelBatchSize", "zeclGetModelBatchSize", lambda m, s: (m,), "get model batch size"),
    ("getModelMaxBatchSize", "zeclGetModelMaxBatchSize", lambda m, s: (m,), "get model max batch size"),
    ("getDynamicModelMaxBatchSize", "zeclGetDynamicModelMaxBatchSize", lambda m, s: (m, [s]),
     "get dynamic model max batch size"),
    ("getModelInputCount", "zeclGetModelInputCount", lambda m, s: (m,), "get model input count"),
    ("getModelOutputDataTypeByIndex", "zeclGetModelOutputDataTypeByIndex", lambda m, s: (m, 0),
     "get model output data type by index"),
    ("getModelOutputCount", "zeclGetModelOutputCount", lambda m, s: (m,), "get model output count"),
    ("getModelOutputSizeByIndex", "zeclGetModelOutputSizeByIndex", lambda m, s: (m, 0),
     "get model output size by index"),
]


@pytest.mark.parametrize("status, printed", [(7, "7"), (4294967295, "-1")])
@pytest.mark.parametrize("binding, function, args, phrase", MODEL_VALUES)
def test_model_value_bindings_raise_with_signed_status(zecl, card, sim, conv, binding, function, args,
                                                       phrase, status, printed):
    model = zecl.createModel(conv.path, "", "", "")
    sim.fail(function, status)
    with pytest.raises(RuntimeError) as raised:
        getattr(zecl, binding)(*args(model, shape_of(card, [1, 3, 8, 8])))
    assert str(raised.value) == f"{phrase} error, ret: {printed}."


@pytest.mark.parametrize("binding, function, args", [
    ("createModel", "zeclCreateModel", ("x", "", "", "")),
    ("createDynamicModel", "zeclCreateDynamicModel", ("x", "")),
])
def test_null_model_handles_give_none(zecl, card, sim, binding, function, args):
    sim.null(function)
    assert getattr(zecl, binding)(*args) is None


# Inputs whose first dimension is not the batch keep their declared shape: a batch
# applies to the first input and to the inputs declared like it (the same size, or open).
@pytest.mark.parametrize("op, a, b, y, config, batch, shapes, out", [
    ("MatMul", [3, 4], [4, 3], [3, 3], "", None, [[3, 4], [4, 3]], [3, 3]),
    ("MatMul", ["N", 4], [4, 3], ["N", 3], '{"maxBatchSize": 5}', 5, [[5, 4], [4, 3]], [5, 3]),
    ("Add", [2, 3, 4], [3, 4], [2, 3, 4], '{"maxBatchSize": 6}', 6, [[6, 3, 4], [3, 4]], [6, 3, 4]),
    ("Add", [2, 3], [3], [2, 3], '{"maxBatchSize": 3}', 3, [[3, 3], [3]], [3, 3]),
    ("Add", [2, 3], [2, 3], [2, 3], "", 1, [[1, 3], [1, 3]], [1, 3]),          # both follow the batch
    ("Mul", ["N", 3], ["N", 3], ["N", 3], '{"maxBatchSize": 4}', 4, [[4, 3], [4, 3]], [4, 3]),
])
def test_batch_applies_to_batched_inputs_only(zecl, card, device, tmp_path, op, a, b, y, config, batch,
                                              shapes, out):
    built = models.Binary(tmp_path / "binary.onnx", op, a, b, y)
    model = zecl.createModel(built.path, "", config, "")
    if batch is not None:
        assert zecl.setModelBatchSize(model, batch) == 0
    assert [input_shape(zecl, card, model, i) for i in (0, 1)] == shapes
    assert output_shape(zecl, card, model) == out
    assert zecl.getModelOutputSizeByIndex(model, 0) == 4 * int(np.prod(out))

    rng = np.random.default_rng(3)
    inputs = [rng.standard_normal(dims).astype(np.float32) for dims in shapes]
    for tensors in (False, True):
        line = chain(zecl, [model])
        assert zecl.runStream(line.stream, line.input, device.dataset(inputs, tensors), FOREVER) == 0
        output = zecl.requestOutputDataset(line.stream)
        (result,) = device.results(output)
        assert card.destroyDatasetAll(output) == 0
        np.testing.assert_allclose(result.reshape(out), built.reference(*inputs), rtol=1e-5, atol=1e-5)
        if tensors:
            assert list(result.shape) == out


@pytest.mark.parametrize("a, b, shapes, status", [
    (["N", 4], [4, 3], [[5, 4], [4, 3]], 0),
    (["N", 4], [4, 3], [[4, 4], [5, 3]], BATCH_SIZE),      # a fixed first dimension that is not the batch
    (["N", 4], ["K", 3], [[2, 4], [4, 3]], 0),              # a symbol of its own is sized by the caller
    (["N", 4], ["N", 4], [[2, 4], [3, 4]], BATCH_SIZE),     # one batch for inputs that share it
    ([2, 4], [4, 3], [[3, 4], [4, 3]], 0),
])
def test_dynamic_models_batch_only_inputs_that_share_the_batch(zecl, card, tmp_path, a, b, shapes, status):
    op = "Add" if a == b else "MatMul"
    y = ["N", 4] if a == b else ["N", 3]
    model = zecl.createDynamicModel(models.Binary(tmp_path / "d.onnx", op, a, b, y).path, '{"maxBatchSize": 8}')
    assert zecl.setDynamicModelInputShape(model, [shape_of(card, dims) for dims in shapes]) == status
    if status == 0:
        assert [input_shape(zecl, card, model, i) for i in (0, 1)] == shapes
        assert zecl.getModelBatchSize(model) == shapes[0][0]


def _cut_raw(tensor):
    tensor.raw_data = tensor.raw_data[:36]  # 9 of 18 floats


@pytest.mark.parametrize("constant, raw, damage", [
    (False, True, None), (False, False, None), (True, True, None),
    (False, True, _cut_raw),
    (False, False, lambda tensor: tensor.float_data.pop()),        # 17 of 18 floats
    (False, False, lambda tensor: tensor.dims.__setitem__(2, -3)),  # a negative dim
    (True, True, _cut_raw),                                         # Constant's value
])
def test_models_whose_tensors_hold_other_than_their_dims_are_refused(zecl, card, tmp_path, constant, raw, damage):
    from onnx import TensorProto, helper
    weight = helper.make_tensor("value" if constant else "w", TensorProto.FLOAT, [2, 1, 3, 3],
                                b"\0" * 72 if raw else [0.5] * 18, raw=raw)
    if damage:
        damage(weight)
    nodes = [helper.make_node("Conv", ["x", "w"], ["y"], kernel_shape=[3, 3])]
    if constant:
        nodes.insert(0, helper.make_node("Constant", [], ["w"], value=weight))
    path = save_model(tmp_path / "weights.onnx", nodes, [value_info("x", [1, 1, 5, 5])],
                      [value_info("y", [1, 2, 3, 3])], [] if constant else [weight], name="g", ir_version=None,
                      check=False)
    if damage:
        with pytest.raises(RuntimeError, match=rf"^create model error, ret: {MODEL_FILE}\.$"):
            zecl.createModel(str(path), "", "", "")
    else:
        assert zecl.destroyModel(zecl.createModel(str(path), "", "", "")) == 0
