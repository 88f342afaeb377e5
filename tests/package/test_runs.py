"""Models run on NumPy arrays, op streams whose refused calls, failed reports and endings lose
nothing, and the package's errors that say what to do."""
import threading

import numpy as np
import pytest
from onnx import TensorProto

from halvora.samples import save_model, value_info
from models import affine_model

INVALID_HANDLE, MODEL_FILE = 301002, 301003


class Boom(Exception):
    pass


@pytest.fixture
def affine(hv, tmp_path):
    with hv.Model(affine_model(tmp_path / "affine.onnx", [1, 4])) as model:
        yield model


def test_model_runs_numpy_arrays_in_every_form(hv, affine, tmp_path):
    x = np.arange(4, dtype=np.float32).reshape(1, 4)
    for inputs in (x, {"x": x}, [x]):
        (y,) = affine.run(inputs)
        np.testing.assert_array_equal(y, 2 * x + 1)
    with hv.Model(affine_model(tmp_path / "half.onnx", [1, 4], TensorProto.FLOAT16)) as half:
        np.testing.assert_array_equal(half.run(x / 4)[0], 2 * (x / 4) + 1)  # float64 in, float16 input


@pytest.mark.parametrize("inputs, message", [
    (np.zeros((1, 5), np.float32), r"input 'x': expected float32\[1, 4\], given float32\[1, 5\]"),
    (np.zeros((1, 4), np.int32), r"input 'x': expected float32\[1, 4\], given int32\[1, 4\]"),
    ({"y": np.zeros((1, 4), np.float32)}, r"no input named 'y'; its inputs are 'x'"),
    ({}, r"input 'x' not given"),
    ([np.zeros((1, 4), np.float32)] * 2, r"1 inputs needed \(x: float32\[1, 4\]\), 2 given"),
])
def test_model_inputs_are_checked_by_name_shape_and_type(affine, inputs, message):
    import halvora
    with pytest.raises(halvora.InputMismatch, match=message):
        affine.run(inputs)


def test_runs_in_flight_own_their_inputs(affine):
    x = np.zeros((1, 4), np.float32)
    futures = []
    for i in range(40):
        x[:] = i  # the caller's array changes while earlier runs are queued
        futures.append(affine.run_async(x))
    assert [future.result(timeout=60)[0][0, 0] for future in futures] == [2 * i + 1 for i in range(40)]


def test_stream_inputs_come_back_after_their_run(hv, affine):
    seen = []
    with hv.ModelStream(affine, on_output=lambda tag, arrays, error: seen.append((tag, arrays[0][0, 0])),
                        depth=2) as stream:
        for i in range(20):
            with stream.input() as tensor:
                tensor.upload([np.full((1, 4), i, np.float32)])
                stream.submit(tensor, i)
        with stream.input():
            pass  # not submitted: it goes back at the end of the block
        stream.synchronize(timeout=60)
        assert len(stream._inputs) == 2 and stream._inputs.idle(0)
    assert seen == [(i, 2 * i + 1) for i in range(20)]


@pytest.mark.parametrize("refusal", ["not a dataset", "card status"])
def test_a_refused_submit_leaves_no_trace(hv, sim, affine, refusal):
    seen = []
    with hv.ModelStream(affine, on_output=lambda tag, arrays, error: seen.append(tag)) as stream, \
            stream.input() as tensor:
        if refusal == "not a dataset":
            with pytest.raises(TypeError):
                stream.submit(np.zeros(4, np.float32), "refused")
        else:
            sim.fail("zeclRunStreamAsync", INVALID_HANDLE)
            with pytest.raises(hv.CardError, match="queueing a run"):
                stream.submit(tensor, "refused")
        assert stream.pending() == 0
        tensor.upload([np.ones((1, 4), np.float32)])
        stream.submit(tensor, "next")
        stream.synchronize(timeout=60)
    assert seen == ["next"]


@pytest.mark.parametrize("function", ["zecmGetDatasetBuffer", "zeclRequestOutputDataset"])
def test_failures_while_taking_outputs_reach_on_output(hv, sim, affine, function):
    seen = []
    with hv.ModelStream(affine, on_output=lambda tag, arrays, error: seen.append((tag, arrays, error)),
                        depth=1) as stream:
        sim.fail(function, 100002, 3)
        for i in range(4):  # one input set: each run must give it back, failed or not
            with stream.input(timeout=60) as tensor:
                tensor.upload([np.full((1, 4), i, np.float32)])
                stream.submit(tensor, i)
        stream.synchronize(timeout=60)
    assert [tag for tag, _, _ in seen] == [0, 1, 2, 3]
    assert [error.status if error else None for _, _, error in seen] == [100002] * 3 + [None]
    assert isinstance(seen[0][2], hv.RunError)
    assert seen[3][1][0].tolist() == [[7, 7, 7, 7]]  # its own outputs, not an earlier run's


def test_an_on_output_exception_is_raised_once(hv, affine):
    calls = []

    def broken(tag, arrays, error):
        calls.append(tag)
        if tag < 2:
            raise Boom(tag)

    with hv.ModelStream(affine, on_output=broken) as stream:
        for i in range(3):
            with stream.input() as tensor:
                stream.submit(tensor, i)
        with pytest.raises(Boom) as raised:
            stream.synchronize(timeout=60)
        assert raised.value.args == (0,) and "1 more" in raised.value.__notes__[0]
        stream.synchronize(timeout=60)  # nothing new since
    assert calls == [0, 1, 2]


def test_close_delivers_every_queued_run_and_is_refused_from_on_output(hv, affine):
    seen, refusals = [], []
    stream = hv.ModelStream(affine, on_output=lambda tag, arrays, error: seen.append(tag), depth=50)
    for i in range(50):
        with stream.input() as tensor:
            stream.submit(tensor, i)
    stream.close()
    assert seen == list(range(50))
    assert hv.zecl.destroyOpStream(stream.stream) == INVALID_HANDLE

    def close_myself(tag, arrays, error):
        try:
            other.close()
        except RuntimeError as refused:
            refusals.append(str(refused))

    with hv.ModelStream(affine, on_output=close_myself) as other:
        with other.input() as tensor:
            other.submit(tensor)
        other.synchronize(timeout=60)
        assert not other.closed and "from its own on_output" in refusals[0]
    assert other.closed


def test_models_that_do_not_load_say_why(hv, tmp_path):
    with pytest.raises(FileNotFoundError, match="no such model file"):
        hv.Model(tmp_path / "missing.onnx")
    text = tmp_path / "text.onnx"
    text.write_text("not a model")
    with pytest.raises(hv.CardError, match=r"status 301003 .*not an ONNX model"):
        hv.Model(text)
    from onnx import helper
    unknown = save_model(tmp_path / "unknown.onnx", [helper.make_node("Sharpen", ["x"], ["y"])],
                         [value_info("x", [1, 4])], [value_info("y", [1, 4])], name="g", opset=13, ir_version=None,
                         check=False)
    with pytest.raises(hv.CardError, match=r"engine cannot run it: .*type \"Sharpen\""):
        hv.Model(unknown)


def test_objects_start_the_card_themselves(tmp_path, cropped_clip):
    import halvora as hv
    hv.zecm.uninitialize()
    with hv.Model(affine_model(tmp_path / "affine.onnx", [1, 4])) as model, hv.Decoder() as decoder:
        assert model.run(np.zeros((1, 4), np.float32))[0].tolist() == [[1, 1, 1, 1]]
        assert sum(1 for frame in decoder.frames(cropped_clip[0]) if frame.release() is None) == 12
    assert hv.zecm.uninitialize() == 100003  # stopped by the last of them
    with pytest.raises(hv.CardError, match=r"open a halvora\.Card\(\) first"):
        hv.DeviceMemory(64)


def test_package_errors_carry_the_card_status_and_check_before_calling(hv, sim):
    with pytest.raises(hv.CardError) as raised:
        sim.fail("zecmMalloc", 100007)
        hv.DeviceMemory(64)
    assert raised.value.status == 100007
    with hv.DeviceMemory(64) as block:
        sim.clear()
        with pytest.raises(ValueError, match="65 bytes asked for from a block of 64"):
            block.download(size=65)
        assert not sim.calls("zecmMemcpy")


def test_op_attributes_take_arrays_and_name_unknown_ones(hv):
    with hv.FusedOp("resize", mean=np.array([0.4, 0.5, 0.6]), std=(np.float32(0.25),) * 3) as op:
        op.set(mean=np.array([0.4, 0.5, 0.6]))  # unchanged: nothing written
        assert op.settings["mean"] == [0.4, 0.5, 0.6]
        assert [hv.zece.getZeceOPAttrArrayFloat(op.handle, "std", hv.zece.dataType.zeceDT_FLOAT, i)
                for i in range(3)] == [0.25] * 3
        with pytest.raises(hv.CardError, match="unknown attribute 'sharpness' of the op resize"):
            op.set(sharpness=2)
    with hv.FusedOp("resize", inputWidth=64, inputHeight=64) as op, hv.DeviceMemory(64 * 96) as block, \
            hv.Dataset([block]) as both:
        with pytest.raises(hv.CardError, match="status 200011 .*the op needs outputWidth and outputHeight"):
            op.execute(both, both)


def test_concurrent_submitters_keep_their_tags(hv, affine):
    seen = {}
    with hv.ModelStream(affine, on_output=lambda tag, arrays, error: seen.__setitem__(tag, arrays[0][0, 0]),
                        depth=8) as stream:
        def submit(start):
            for i in range(start, start + 30):
                with stream.input() as tensor:
                    tensor.upload([np.full((1, 4), i, np.float32)])
                    stream.submit(tensor, i)
        threads = [threading.Thread(target=submit, args=(k * 100,)) for k in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        stream.synchronize(timeout=60)
    assert seen == {i: 2 * i + 1 for k in range(3) for i in range(k * 100, k * 100 + 30)}
