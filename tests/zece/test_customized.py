"""Customized ops: plug-in sets loaded, listed, created, configured and run; their lifetimes."""
import ctypes
import os
import re
import struct

import cv2
import numpy as np
import pytest

from card import Device, device_info
from sim import BUILD, LIB_DIR, address
from zece_helpers import INVALID_HANDLE, INVALID_PARAM, OP_NOT_READY, desc, layout, pack

SCALE = str(LIB_DIR / "libzece_nv12_scale.so")
PROBE = str(BUILD / "tests" / "libzece_probe.so")  # tests/zece/plugin/probe.c
INVALID_ADDRESS, OUT_OF_MEMORY, OP_NOT_FOUND, BUFFER_TOO_SMALL, NOT_IMPLEMENT = 200006, 200007, 200009, 200010, 200099

_zece = ctypes.CDLL(str(LIB_DIR / "libzece.so"))
_zece.zeceGetCustomizedOpName.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p, ctypes.c_uint32]
_zece.zeceSetCustomizedOpConfig.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32]
_zece.zeceSetCustomizedOpCfgCallback.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
COUNT, SHAPE = ctypes.CFUNCTYPE(ctypes.c_int32), ctypes.CFUNCTYPE(ctypes.c_void_p)


def ptr(handle):
    return None if handle is None else int(address(handle), 16)


def mapped(path):
    with open("/proc/self/maps") as maps:
        return path in maps.read()


def example(zece, inp, outs, scale):
    """A customCfgExample of (height, width[, h_pitch, w_pitch]) shapes."""
    def shape(fields):
        record = zece.yuvNv12Shape()
        record.height, record.width, record.h_pitch, record.w_pitch = (tuple(fields) + (0, 0))[:4]
        return record
    record = zece.customCfgExample()
    record.iimage_shape, record.oimage_shape, record.scale = shape(inp), [shape(o) for o in outs], scale
    return record


def dataset(card, *members):
    """A dataset of data buffers over (block, size) pairs; a size alone gets a new block."""
    result = card.createDataset(card.datasetMode.zecmDM_BUFFER)
    for member in members:
        block, size = member if isinstance(member, tuple) else (card.malloc(member), member)
        assert card.addDatasetBuffer(result, card.createDataBuffer(device_info(card), block, size)) == 0
    return result


def report(card, zece, op, sizes=(64,)):
    """(status, the probe's report) of a run on inputs of these sizes."""
    out = card.malloc(48)
    assert card.memset(out, 0, 48) == 0
    status = zece.executeOp(op, dataset(card, *sizes), dataset(card, (out, 48)))
    return status, list(Device(card).download(out, 48).view(np.int64))


def callbacks(inputs=1, outputs=1, depth=0, ndims=4, null_shape=False, reserved=False):
    """A callback table of 7 slots, and what it needs kept alive."""
    shape = (ctypes.c_uint32 * 14)(ndims)  # a zecmShape
    slots = [COUNT(lambda: inputs), SHAPE(lambda: None if null_shape else ctypes.addressof(shape)),
             COUNT(lambda: outputs), SHAPE(lambda: ctypes.addressof(shape)), COUNT(lambda: depth),
             COUNT(lambda: depth), COUNT(lambda: 0) if reserved else None]
    return (ctypes.c_void_p * 7)(*[ctypes.cast(s, ctypes.c_void_p).value if s else None for s in slots]), (slots, shape)


@pytest.fixture
def scale_op(card, zece):
    return zece.createCustomizedOp(zece.loadCustomizedOp(SCALE), "nv12_scale")


@pytest.fixture
def probe(card, zece, monkeypatch):
    """Loads the probe plug-in with a table variant (see probe.c)."""
    def load(variant=""):
        monkeypatch.setenv("ZECE_PROBE_TABLE", variant)
        return zece.loadCustomizedOp(PROBE)
    return load


@pytest.mark.parametrize("inp, out, scale, size", [
    ((64, 96), (0, 0), 0.5, (32, 48)),
    ((60, 90, 64, 128), (36, 50, 40, 64), 9.0, (36, 50)),  # pitched; an output shape wins over the scale
    ((16, 20), (0, 0), 1.7, (26, 34)),                     # sides rounded down to even
    ((90, 90), (0, 0), 0.3, (26, 26)),
])
def test_scales_nv12_as_opencv_does(card, zece, sim, pictures, scale_op, inp, out, scale, size):
    assert zece.setCustomizedOpConfigExample(scale_op, example(zece, inp, [out], scale)) == 0
    assert zece.setCustomizedOpCfgCallbackExample(scale_op) == 0
    line = sim.calls("zeceSetCustomizedOpConfig")[0]
    block = bytes(int(v) for v in line[line.index("[") + 1:line.index("]")].split(","))
    inp, out = (inp + (0, 0))[:4], (out + (0, 0))[:4]
    assert struct.unpack("<8if", block) == (*inp, *out, np.float32(scale)) and line.endswith(", 36) = 0")
    assert re.fullmatch(r"zeceSetCustomizedOpCfgCallback\(0x\w+, \[(0x\w+, ){6}NULL\]\) = 0",
                        sim.calls("zeceSetCustomizedOpCfgCallback")[0])
    src = desc("zeceIMG_YUV_NV12", inp[1], inp[0], inp[3] or inp[1], inp[2] or inp[0])
    dst = desc("zeceIMG_YUV_NV12", size[1], size[0], out[3] or size[1], out[2] or size[0])
    planes, source = pictures.random(src, np.random.default_rng(3), fill=5)
    target = pictures.blank(dst, fill=7)
    assert zece.executeOp(scale_op, dataset(card, (source, layout(src)[1])),
                          dataset(card, (target, layout(dst)[1]))) == 0
    y = cv2.resize(planes[0], size[::-1], interpolation=cv2.INTER_LINEAR)
    uv = cv2.resize(planes[1], (size[1] // 2, size[0] // 2), interpolation=cv2.INTER_LINEAR)
    np.testing.assert_array_equal(pictures.bytes(dst, target), pack(dst, [y, uv], fill=7))


def test_scales_within_one_buffer(card, zece, pictures, scale_op):
    # Upscaling in place writes the output's Y plane over the input's UV plane.
    src, dst = desc("zeceIMG_YUV_NV12", 48, 32), desc("zeceIMG_YUV_NV12", 96, 64)
    planes = [np.arange(32 * 48, dtype=np.uint8).reshape(32, 48), np.full((16, 24, 2), 200, np.uint8)]
    block = pictures.device.upload(np.resize(pack(src, planes), layout(dst)[1]))
    assert zece.setCustomizedOpConfigExample(scale_op, example(zece, (32, 48), [(0, 0)], 2.0)) == 0
    assert zece.executeOp(scale_op, dataset(card, (block, 2304)), dataset(card, (block, 9216))) == 0
    expected = [cv2.resize(planes[0], (96, 64)), cv2.resize(planes[1], (48, 32))]
    np.testing.assert_array_equal(pictures.bytes(dst, block), pack(dst, expected))


@pytest.mark.parametrize("configured, inputs, output, status", [
    (False, [24], 6, OP_NOT_READY), (True, [23], 6, INVALID_ADDRESS), (True, [24], 5, BUFFER_TOO_SMALL),
    (True, [24, 24], 6, INVALID_PARAM)])
def test_scale_refuses_runs(card, zece, scale_op, configured, inputs, output, status):
    if configured:
        assert zece.setCustomizedOpConfigExample(scale_op, example(zece, (4, 4), [(2, 2)], 0.0)) == 0
    assert zece.executeOp(scale_op, dataset(card, *inputs), dataset(card, output)) == status


@pytest.mark.parametrize("release", ["destroyCustomizedOpInfo", "unloadCustomizedOps"])
def test_releasing_the_info_handle(card, zece, release):
    info = zece.loadCustomizedOp(SCALE)
    op = zece.createCustomizedOp(info, "nv12_scale")
    assert zece.setCustomizedOpConfigExample(op, example(zece, (4, 4), [(2, 2)], 0.0)) == 0
    assert getattr(zece, release)(info) == 0
    for call in (zece.getCustomizedOpCount, lambda i: zece.getCustomizedOpName(i, 0),
                 lambda i: zece.createCustomizedOp(i, "nv12_scale")):
        with pytest.raises(RuntimeError, match=rf"ret: {INVALID_HANDLE}\.$"):
            call(info)
    assert zece.destroyCustomizedOpInfo(info) == zece.unloadCustomizedOps(info) == INVALID_HANDLE
    unloaded = release == "unloadCustomizedOps"
    assert mapped(SCALE) is not unloaded  # unloading closes the library at once
    run = lambda: zece.executeOp(op, dataset(card, 24), dataset(card, 6))  # noqa: E731
    assert run() == zece.setCustomizedOpCfgCallbackExample(op) == (INVALID_HANDLE if unloaded else 0)
    assert zece.destroyOp(op) == 0 and not mapped(SCALE)
    assert zece.destroyOp(op) == run() == INVALID_HANDLE


def test_instances_live_until_their_op_or_set_goes(card, zece, probe):
    first = probe()
    a, b = (zece.createCustomizedOp(first, "probe") for _ in range(2))
    assert report(card, zece, a)[1][0] == 2
    assert zece.destroyOp(b) == 0 and report(card, zece, a)[1][0] == 1
    c = zece.createCustomizedOp(second := probe(), "probe")
    assert zece.unloadCustomizedOps(first) == 0  # destroys a's instance; the library stays for c
    assert report(card, zece, a)[0] == INVALID_HANDLE and report(card, zece, c) == (0, [1, 1, 1, 64, 0, -1])
    assert zece.destroyCustomizedOpInfo(second) == 0 and report(card, zece, c)[1][0] == 1
    assert zece.destroyOp(c) == 0 and not mapped(PROBE)
    zece.createCustomizedOp(probe(), "probe")
    assert card.uninitialize() == 0 and not mapped(PROBE)


@pytest.mark.parametrize("path, variant", [
    (name, "") for name in ("missing.so", "text.so", "directory", "fifo", "", "libzece_nv12_scale.so",
                            str(LIB_DIR / "libzesim.so"))] + [
    (PROBE, variant) for variant in ("null", "abi", "negative", "too-many", "no-names", "null-name",
                                     "empty-name", "long-name", "duplicate", "no-create", "no-execute")])
def test_loads_refused(card, zece, tmp_path, monkeypatch, path, variant):
    (tmp_path / "text.so").write_text("not a library\n")
    (tmp_path / "directory").mkdir()
    os.mkfifo(tmp_path / "fifo")  # opened, it would wait for a writer
    monkeypatch.chdir(tmp_path)  # a bare name is a file of the working directory, never searched for
    monkeypatch.setenv("ZECE_PROBE_TABLE", variant)
    with pytest.raises(RuntimeError, match=r"^load customized op error, ret: 200008\.$"):
        zece.loadCustomizedOp(path)
    assert not mapped(PROBE)
    monkeypatch.chdir(LIB_DIR)
    assert zece.getCustomizedOpCount(zece.loadCustomizedOp("libzece_nv12_scale.so")) == 1


@pytest.mark.parametrize("variant, names", [("", ["probe", "refuse"]), ("longest", ["n" * 255]), ("none", [])])
def test_names_and_creation(zece, probe, variant, names):
    info = probe(variant)
    assert [zece.getCustomizedOpName(info, i) for i in range(zece.getCustomizedOpCount(info))] == names
    for index in (-1, len(names)):
        with pytest.raises(RuntimeError, match=rf"^get customized op name error, ret: {OP_NOT_FOUND}\.$"):
            zece.getCustomizedOpName(info, index)
    for name, status in (("nothing", OP_NOT_FOUND), ("refuse", OUT_OF_MEMORY if names[1:] else OP_NOT_FOUND)):
        with pytest.raises(RuntimeError, match=rf"^create customized op error, ret: {status}\.$"):
            zece.createCustomizedOp(info, name)
    for handle in (None, zece.createOp(zece.opType.zeceOP_RESIZE)):
        with pytest.raises(RuntimeError, match=rf"ret: {INVALID_HANDLE}\.$"):
            zece.createCustomizedOp(handle, "probe")


def test_name_buffer_sizes(probe):
    info, buffer, get = ptr(probe()), ctypes.create_string_buffer(b"\xaa" * 8, 8), _zece.zeceGetCustomizedOpName
    assert [get(info, 0, buffer, size) for size in (0, 5)] == [BUFFER_TOO_SMALL] * 2 and buffer.raw == b"\xaa" * 8
    assert get(info, 0, buffer, 6) == 0 and buffer.raw == b"probe\0\xaa\xaa"
    assert get(info, 0, None, 6) == INVALID_PARAM


def test_blocks_buffers_and_statuses_reach_the_plugin(card, zece, sim, probe):
    op, configure = zece.createCustomizedOp(probe(), "probe"), _zece.zeceSetCustomizedOpConfig
    assert report(card, zece, op, (100, 30)) == (0, [1, 2, 1, 100, 0, -1])
    block = bytes(1 << 17)
    assert [configure(ptr(op), block, size) for size in (5, 65536, 65537)] == [0, 0, INVALID_PARAM]
    assert configure(ptr(op), None, 4) == INVALID_PARAM and report(card, zece, op)[1][4] == 65536
    assert sim.calls("zeceSetCustomizedOpConfig")[2].endswith(", NULL, 65537) = 200001")
    assert configure(ptr(op), block, 4) == 0 and report(card, zece, op)[0] == NOT_IMPLEMENT  # the plug-in's
    table, keep = callbacks()
    for other in (zece.createOp(zece.opType.zeceOP_RESIZE), probe(), None):
        assert configure(ptr(other), block, 4) == _zece.zeceSetCustomizedOpCfgCallback(ptr(other), table) \
            == INVALID_HANDLE
    assert _zece.zeceSetCustomizedOpCfgCallback(ptr(op), None) == INVALID_PARAM


@pytest.mark.parametrize("changes, status", [
    ({}, 0), ({"inputs": 16}, 0), ({"ndims": 6}, 0),
    ({"inputs": 0}, INVALID_PARAM), ({"inputs": 17}, INVALID_PARAM), ({"outputs": -1}, INVALID_PARAM),
    ({"null_shape": True}, INVALID_PARAM), ({"ndims": 7}, INVALID_PARAM), ({"depth": -1}, INVALID_PARAM),
    ({"reserved": True}, INVALID_PARAM), ({"depth": 13}, NOT_IMPLEMENT)])  # 13: refused by the plug-in
def test_callback_tables(card, zece, probe, changes, status):
    op = zece.createCustomizedOp(probe(), "probe")
    first, keep = callbacks(inputs=2)
    assert _zece.zeceSetCustomizedOpCfgCallback(ptr(op), first) == 0
    second, keep2 = callbacks(**changes)
    assert _zece.zeceSetCustomizedOpCfgCallback(ptr(op), second) == status
    first[0] = second[0] = None  # the plug-in reads the library's copy
    declared = 2 if status else changes.get("inputs", 1)  # a refused table changes nothing
    assert report(card, zece, op, (16,) * declared) == (0, [1, declared, 1, 16, 0, declared])
    assert report(card, zece, op, (16,) * (declared + 1))[0] == INVALID_PARAM


@pytest.mark.parametrize("outputs, inject, error", [
    ([], False, "^Op output count not same as define$"), ([(2, 2)] * 2, False, "^Op output count not same as define$"),
    ([(2, 2)], True, r"^zece setCustomizedOpConfig error\.$"),
    ([(3, 3)], False, r"^zece setCustomizedOpConfig error\.$")])  # odd: refused by the plug-in
def test_example_config_errors(zece, sim, scale_op, outputs, inject, error):
    if inject:
        sim.fail("zeceSetCustomizedOpConfig", INVALID_PARAM)
    with pytest.raises(TypeError, match=error):
        zece.setCustomizedOpConfigExample(scale_op, example(zece, (4, 4), outputs, 0.0))
    with pytest.raises(TypeError):
        zece.setCustomizedOpConfigExample(scale_op, None)
    assert len(sim.calls("zeceSetCustomizedOpConfig")) == (len(outputs) == 1)


def test_null_outputs_and_the_record(card, zece, sim):
    sim.null("zeceLoadCustomizedOps")
    assert zece.loadCustomizedOp(SCALE) is None
    info = zece.loadCustomizedOp(SCALE)
    sim.null("zeceGetCustomizedOpName")
    assert zece.getCustomizedOpName(info, 0) == ""
    record = example(zece, (0, 0), [(2, 4)], 0.0)
    record.iimage_shape.height = 6  # a view into the record
    record.oimage_shape[0].height = 9  # a copy
    assert (record.iimage_shape.height, record.oimage_shape[0].height) == (6, 2)
    for name in ("iimage_shape", "oimage_shape", "scale"):  # accessors read as methods, like every property
        accessor = getattr(zece.customCfgExample, name)
        assert accessor.fget.__doc__.startswith("(self: ") and accessor.fset.__doc__.startswith("(self: ")
    for items in ([1], [record.iimage_shape, "x"], None):
        with pytest.raises(TypeError):
            record.oimage_shape = items
    assert len(record.oimage_shape) == 1
