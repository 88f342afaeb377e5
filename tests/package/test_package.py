"""The halvora package: memory in and out, decoding and encoding, op streams, fused ops, and
every context manager giving back what it holds, also when its block raises."""
import threading

import cv2
import numpy as np
import pytest
from onnx import TensorProto

from model_input import model_picture
from models import affine_model

INVALID_ADDRESS, INVALID_DATASET = 100010, 100002
OP_INVALID, MODEL_INVALID = 200002, 301002


class Boom(Exception):
    pass


@pytest.mark.parametrize("array", [
    np.arange(1000, dtype=np.float16).reshape(10, 100),
    np.arange(7, dtype=np.uint8),
    np.random.default_rng(0).standard_normal((3, 5, 7)).astype(np.float32)[:, ::2],  # not contiguous
])
@pytest.mark.parametrize("kind", ["device", "model"])
def test_upload_and_download_round_trip(hv, array, kind):
    with hv.Card().upload(array, kind) as block:
        assert block.size == array.nbytes
        back = block.download(array.dtype, array.shape)
    np.testing.assert_array_equal(back, array)


def test_card_leaves_a_runtime_it_did_not_start(hv):
    with hv.Card() as inner:
        assert not inner.owned
        block = inner.malloc(64)
    assert hv.zecm.getDevice() == 0  # still initialised
    block.close()


def released(hv, make):
    """Makes a resource inside a block that raises; returns it (closed by then)."""
    with pytest.raises(Boom):
        with make() as resource:
            kept = resource
            raise Boom
    return kept


def test_memory_and_datasets_are_released_when_the_block_raises(hv):
    block = released(hv, lambda: hv.DeviceMemory(4096))
    assert hv.zecm.free(block.handle) == INVALID_ADDRESS
    model_block = released(hv, lambda: hv.DeviceMemory(4096, "model"))
    assert hv.zecm.freeModelInOut(model_block.handle) == INVALID_ADDRESS
    with hv.DeviceMemory(256) as memory:
        dataset = released(hv, lambda: hv.Dataset([memory, (memory.address + 128, 128)]))
        assert hv.zecm.destroyDataset(dataset.handle) == INVALID_DATASET
        memory.upload(np.ones(256, np.uint8))  # the memory it described is still ours


def test_model_stream_and_op_are_released_when_the_block_raises(hv, tmp_path):
    path = affine_model(tmp_path / "affine.onnx", [1, 4])
    model = released(hv, lambda: hv.Model(path))
    assert hv.zecl.destroyModel(model.handle) == MODEL_INVALID
    with hv.Model(path) as live:
        stream = released(hv, lambda: hv.ModelStream(live))
        assert hv.zecl.destroyOpStream(stream.stream) == MODEL_INVALID
        assert hv.zecl.destroyOpGraph(stream.graph) == MODEL_INVALID
    op = released(hv, lambda: hv.FusedOp("resize", inputWidth=64, inputHeight=64))
    assert hv.zece.destroyOp(op.handle) == OP_INVALID


def test_channels_are_released_when_the_block_raises(media):
    hv = media
    free = hv.zeme.getDecoderAvailableChannels()
    decoder = released(hv, lambda: hv.Decoder())
    encoder = released(hv, lambda: hv.Encoder(64, 64))
    assert hv.zeme.getDecoderAvailableChannels() == free
    assert hv.zeme.getEncoderAvailableChannels() == 32
    with hv.Decoder(channel=decoder.channel), hv.Encoder(64, 64, channel=encoder.channel):
        pass  # the numbers are free again


@pytest.mark.parametrize("memory, crop", [("device", False), ("device", True), ("host", False)])
def test_decoded_frames_equal_the_ffmpeg_tools(media, cropped_clip, memory, crop):
    hv = media
    path, expected = cropped_clip
    pictures = []
    with hv.Decoder(memory=memory, crop=crop) as decoder:
        for frame in decoder.frames(path):
            with frame:
                assert (frame.width, frame.height) == (352, 290)
                if memory == "device" and not crop:
                    assert frame.rows == 304  # the whole coded picture, the display rectangle at its top
                pictures.append(frame.nv12())
    assert len(pictures) == len(expected)
    for ours, theirs in zip(pictures, expected):
        np.testing.assert_array_equal(ours, theirs)


def test_holding_every_picture_raises_instead_of_hanging(media, cropped_clip):
    hv = media
    path, _ = cropped_clip
    held = []
    with hv.Decoder() as decoder:
        with pytest.raises(hv.CardError, match="all 8 pictures .* are held"):
            for frame in decoder.frames(path):
                held.append(frame)  # never released
        assert len(held) == 8
    assert all(not frame.released for frame in held)  # the channel took them back on close
    held[0].release()  # and a late release does nothing


def test_probe_tells_streams_from_other_files(media, cropped_clip, tmp_path):
    hv = media
    path, _ = cropped_clip
    info = hv.probe(path)
    assert (info.size, info.coded, info.offset, info.fps) == ((352, 290), (352, 304), (0, 0), 25)
    text = tmp_path / "notes.h264"
    text.write_text("not a video\n" * 100)
    junk = tmp_path / "junk.h264"
    junk.write_bytes(b"\x00\x00\x01" + bytes(range(256)) * 64)
    for bad, reason in ((text, "no start code"), (junk, "no picture decodes"), (tmp_path / "empty", "empty")):
        bad.touch()
        with pytest.raises(hv.StreamError, match=reason):
            hv.probe(bad)
    with pytest.raises(FileNotFoundError):
        hv.probe(tmp_path / "missing.h264")


def test_encoded_pictures_decode_back(media):
    hv = media
    rng = np.random.default_rng(1)
    base = cv2.resize(rng.integers(0, 256, (12, 16), np.uint8), (128, 96), interpolation=cv2.INTER_CUBIC)
    pictures = [np.vstack([np.roll(base, 4 * i, axis=1), np.full((48, 128), 128, np.uint8)]) for i in range(10)]
    with hv.Encoder(128, 96, cqp=10) as encoder:
        stream = b"".join(encoder.encode(p) for p in pictures) + encoder.finish()
    with hv.Decoder(memory="host") as decoder:
        decoded = []
        for frame in decoder.frames([stream[:1000], stream[1000:]]):
            with frame:
                decoded.append(frame.nv12())
    assert len(decoded) == len(pictures)
    for ours, original in zip(decoded, pictures):
        assert np.abs(ours[:96].astype(int) - original[:96]).mean() < 2


def test_stream_outputs_come_in_submission_order(hv, tmp_path):
    model = hv.Model(affine_model(tmp_path / "affine.onnx", [1, 256]))
    assert (model.inputs[0].shape, model.inputs[0].dtype, model.outputs[0].dtype) == ([1, 256], np.float32,
                                                                                      np.float32)
    seen = []
    done = threading.Event()
    inputs = [np.full((1, 256), i, np.float32) for i in range(24)]
    blocks = [hv.Card().upload(x, "model") for x in inputs]
    datasets = [hv.Dataset([block]) for block in blocks]
    with model, hv.ModelStream(model, on_output=lambda tag, arrays, error: seen.append((tag, arrays, error))) as s:
        for i, dataset in enumerate(datasets):
            s.submit(dataset, tag=i)
        s.synchronize(timeout=60)
        done.set()
    assert [tag for tag, _, _ in seen] == list(range(24))
    for tag, arrays, error in seen:
        assert error is None
        np.testing.assert_array_equal(arrays[0], 2 * inputs[tag] + 1)
    for resource in datasets + blocks:
        resource.close()


def test_an_exception_in_on_output_reaches_synchronize(hv, tmp_path):
    with hv.Model(affine_model(tmp_path / "affine.onnx", [1, 4])) as model, \
            hv.Card().upload(np.zeros((1, 4), np.float32), "model") as block, hv.Dataset([block]) as dataset:
        def broken(tag, arrays, error):
            raise Boom("in the callback")

        with hv.ModelStream(model, on_output=broken) as stream:
            stream.submit(dataset)
            with pytest.raises(Boom):
                stream.synchronize(timeout=60)
        with hv.ModelStream(model) as stream:
            np.testing.assert_array_equal(stream.run(dataset)[0], np.ones((1, 4), np.float32))


def test_float32_model_runs_through_its_float16_copy(hv, tmp_path):
    original = affine_model(tmp_path / "f32.onnx", [1, 3, 8, 8])
    copy = tmp_path / "f16.onnx"
    assert hv.float16_input(original, copy)
    uint8 = affine_model(tmp_path / "u8.onnx", [1, 3, 8, 8], TensorProto.UINT8)
    assert not hv.float16_input(uint8, tmp_path / "unused.onnx")
    x = np.random.default_rng(2).standard_normal((1, 3, 8, 8)).astype(np.float16)
    with hv.Model(copy) as model, hv.Card().upload(x, "model") as block, hv.Dataset([block]) as dataset, \
            hv.ModelStream(model) as stream:
        assert model.inputs[0].dtype == np.float16
        np.testing.assert_allclose(stream.run(dataset)[0], 2 * x.astype(np.float32) + 1, rtol=1e-6)


@pytest.mark.parametrize("shape, dtype, error", [
    ([1, 3, 32, 48], np.float16, None),
    ([1, 3, 32, 48], np.uint8, None),
    ([1, 1, 32, 32], np.float16, "3-channel planar"),
    ([1, 32, 32, 3], np.float16, "3-channel planar"),
    ([2, 3, 32, 32], np.float16, "3-channel planar"),
    ([1, 3, 32, 32], np.int32, "float16 or uint8"),
])
def test_tensor_settings_follow_the_model_input(shape, dtype, error):
    import halvora as hv
    tensor = hv.TensorInfo("x", shape, dtype)
    if error:
        with pytest.raises(hv.InputMismatch, match=error):
            hv.tensor_settings(tensor)
        return
    kind, settings = hv.tensor_settings(tensor, letterbox=True, mean=[0.5] * 3, std=[0.25] * 3)
    assert kind == "letterbox" and (settings["outputWidth"], settings["outputHeight"]) == (48, 32)
    assert settings["tensorizationType"] == ("FP16" if dtype == np.float16 else "UINT8")


@pytest.mark.parametrize("kind", ["resize", "letterbox"])
@pytest.mark.parametrize("layout", ["FP16", "UINT8"])
def test_fused_op_writes_what_opencv_and_numpy_compute(hv, kind, layout):
    rng = np.random.default_rng(3)
    width, height, out_w, out_h = 96, 64, 40, 40
    nv12 = cv2.resize(rng.integers(0, 256, (12, 16), np.uint8), (width, height * 3 // 2))
    tensor = hv.TensorInfo("x", [1, 3, out_h, out_w], np.float16 if layout == "FP16" else np.uint8)
    op_kind, settings = hv.tensor_settings(tensor, letterbox=kind == "letterbox", mean=[0.4] * 3, std=[0.2] * 3,
                                           padding=7)
    with hv.Card().upload(nv12) as picture, hv.DeviceMemory(tensor.nbytes) as out, \
            hv.Dataset([picture]) as source, hv.Dataset([out]) as target, \
            hv.FusedOp(op_kind, inputWidth=width, inputHeight=height, **settings) as op:
        op.execute(source, target)
        ours = out.download(tensor.dtype, tensor.shape)
    image = model_picture(nv12, out_w, out_h, kind == "letterbox", 7, hv.letterbox_geometry)
    if layout == "FP16":
        values = (image.astype(np.float32) / np.float32(255) - np.float32(0.4)) / np.float32(0.2)
        expected = values.astype(np.float16)
    else:
        expected = image
    np.testing.assert_array_equal(ours, expected.transpose(2, 0, 1)[None])


def test_fused_op_settings_are_checked(hv):
    with pytest.raises(ValueError, match="normType='DIV256': one of .*DIV255"):
        hv.FusedOp("resize", normType="DIV256")
    with pytest.raises(ValueError, match="no op"):
        hv.FusedOp("sharpen")
    with hv.FusedOp("resize", inputWidth=64, inputHeight=64, outputWidth=8, outputHeight=8) as op, \
            hv.DeviceMemory(16) as small, hv.Dataset([small]) as target:
        with pytest.raises(hv.CardError, match="running the op resize: status 2000"):
            op.execute(target, target)  # a picture of 64 x 64 does not fit in 16 bytes


def test_telemetry_sees_this_process_memory(hv):
    import os

    def mine(telemetry):
        return sum(memory for pid, memory, _ in telemetry.processes() if pid == os.getpid())

    with hv.Telemetry() as telemetry:
        before = mine(telemetry)
        with hv.DeviceMemory(8 << 20):
            assert mine(telemetry) == before + 8
        assert telemetry.memory()[1] == 16 << 30
        assert set(telemetry.load()) == {"ai", "vdsp", "vdec", "venc"}
