"""Device, model and host memory; copies, fills and NumPy transfers."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from card import offset
from sim import address, capsule

INVALID_PARAM = 100001
INVALID_HANDLE = 100002
OUT_OF_MEMORY = 100007
INVALID_ADDRESS = 100010
INVALID_COPY = 100011

TO, FROM, D2D = "zecmCT_COPY_TO_DEVICE", "zecmCT_COPY_FROM_DEVICE", "zecmCT_COPY_DEVICE_TO_DEVICE"


def kind(zecm, name):
    return getattr(zecm.copyMemType, name)


@pytest.fixture
def data():
    return np.random.default_rng(1).integers(0, 256, 4096, dtype=np.uint8)


def to_device(card, data, allocate="malloc"):
    host = card.getHandleFromNumpy(data)
    block = getattr(card, allocate)(data.size)
    assert card.memcpy(host, block, data.size, kind(card, TO)) == 0
    return host, block


def back(card, block, size, stream=None):
    host = card.mallocHost(size)
    if stream is False:
        assert card.memcpy(block, host, size, kind(card, FROM)) == 0
    else:
        assert card.memcpyAsync(block, host, size, kind(card, FROM), stream) == 0
        card.memset(host, 0, 0)  # a later synchronous call observes the queued copy
    result = card.getNumpyFromHandle(host, size)
    card.freeHost(host)
    return result


@pytest.mark.parametrize("allocate", ["malloc", "mallocModelInOut"])
@pytest.mark.parametrize("synchronous", [True, False])
def test_round_trip_through_device_memory(card, data, allocate, synchronous):
    host, block = to_device(card, data, allocate)
    np.testing.assert_array_equal(back(card, block, data.size, False if synchronous else None), data)
    free = card.free if allocate == "malloc" else card.freeModelInOut
    assert free(block) == 0
    assert card.freeHost(host) == 0


@pytest.mark.parametrize("synchronous", [True, False])
def test_copies_between_devices(card, data, synchronous):
    _, first = to_device(card, data)
    card.setDevice(1)
    second = card.malloc(data.size)
    if synchronous:
        assert card.memcpyDevices(first, 0, second, 1, data.size) == 0
    else:
        assert card.memcpyDevicesAsync(first, 0, second, 1, data.size, None) == 0
    np.testing.assert_array_equal(back(card, second, data.size), data)
    assert card.memcpyDevices(first, 1, second, 1, data.size) == INVALID_ADDRESS
    assert card.memcpyDevices(first, 0, second, 2, data.size) == 100005


def test_device_to_device_copy_from_inside_a_block(card, data):
    _, block = to_device(card, data)
    other = card.malloc(data.size)
    assert card.memcpy(offset(block, 96), other, data.size - 96, kind(card, D2D)) == 0
    assert card.memcpy(offset(block, 96), other, data.size - 95, kind(card, D2D)) == INVALID_ADDRESS
    np.testing.assert_array_equal(back(card, other, data.size - 96), data[96:])


def test_fills(card, sim):
    block = card.malloc(16)
    assert card.memset(block, -1, 16) == 0
    assert sim.calls("zecmMemset")[0].endswith(", -1, 16) = 0")
    assert card.memsetAsync(block, 7, 8, None) == 0
    assert list(back(card, block, 16)) == [7] * 8 + [255] * 8


def test_queued_work_runs_in_order(card):
    block = card.malloc(1 << 20)
    for value in range(50):
        assert card.memsetAsync(block, value, 1 << 20, None) == 0
    assert set(back(card, block, 1 << 20)) == {49}


def test_numpy_transfers(card):
    handle = card.getHandleFromNumpy([1, 2, 3, 255])
    assert card.getNumpyFromHandle(handle, 4).tolist() == [1, 2, 3, 255]
    empty = card.getNumpyFromHandle(handle, 0)
    assert empty.dtype == np.uint8 and empty.shape == (0,)
    copy = card.getNumpyFromHandle(handle, 4)
    copy[0] = 9
    assert card.getNumpyFromHandle(handle, 1).tolist() == [1]


@pytest.mark.parametrize("array", [
    np.arange(20, dtype=np.uint8)[::3],
    np.arange(24, dtype=np.uint8).reshape(4, 6).T,
    np.array([1.7, 300.0, -1.0]),
    np.arange(12, dtype=np.int32).reshape(3, 4),
])
def test_get_handle_from_numpy_copies_any_array_in_c_order(card, array):
    expected = np.ascontiguousarray(np.asarray(array).astype(np.uint8)).ravel()
    handle = card.getHandleFromNumpy(array)
    np.testing.assert_array_equal(card.getNumpyFromHandle(handle, expected.size), expected)


def test_null_host_address_is_refused(card):
    with pytest.raises(ValueError):
        card.getNumpyFromHandle(None, 4)


def test_copy_type_must_be_a_member(card):
    block = card.malloc(4)
    with pytest.raises(TypeError):
        card.memcpy(block, block, 4, 1)
    with pytest.raises(RuntimeError, match="^$"):
        card.memcpy(block, block, 4, None)


@pytest.mark.parametrize("binding, function, message", [
    ("malloc", "zecmMalloc", "malloc error"),
    ("mallocModelInOut", "zecmMallocModelInOut", "malloc model input error"),
    ("mallocHost", "zecmMallocHost", "malloc host error"),
    ("getHandleFromNumpy", "zecmMallocHost", "malloc host error"),
])
def test_allocation_failures_raise(card, sim, binding, function, message):
    sim.fail(function, 4294967295)
    with pytest.raises(RuntimeError, match=rf"^{message}, ret: -1\.$"):
        getattr(card, binding)([1] if binding == "getHandleFromNumpy" else 8)
    sim.null(function)
    assert getattr(card, binding)([1] if binding == "getHandleFromNumpy" else 8) is None


def test_memory_misuse_returns_statuses(card, zecm):
    with pytest.raises(RuntimeError, match=rf"^malloc error, ret: {INVALID_PARAM}\.$"):
        card.malloc(0)
    block, host = card.malloc(64), card.mallocHost(64)
    assert card.free(host) == INVALID_ADDRESS
    assert card.freeHost(block) == INVALID_ADDRESS
    assert card.free(None) == INVALID_ADDRESS
    assert card.free(offset(block, 8)) == INVALID_ADDRESS
    assert card.memcpy(host, block, 65, kind(card, TO)) == INVALID_ADDRESS
    assert card.memcpy(block, host, 8, kind(card, TO)) == INVALID_COPY
    assert card.memcpy(host, host, 8, kind(card, D2D)) == INVALID_COPY
    assert card.memcpy(host, block, 8, zecm.copyMemType(7)) == INVALID_COPY
    assert card.memset(None, 0, 1) == INVALID_PARAM
    assert card.memsetAsync(block, 0, 8, card.createContext(0)) == INVALID_HANDLE
    assert card.free(block) == 0
    assert card.free(block) == INVALID_ADDRESS
    assert card.memset(block, 0, 1) == INVALID_ADDRESS


def test_reset_releases_device_blocks(card):
    block = card.malloc(64)
    host = card.mallocHost(64)
    assert card.resetDevice(0) == 0
    assert card.free(block) == INVALID_ADDRESS
    assert card.freeHost(host) == 0


def test_allocation_beyond_device_capacity_fails(tmp_path):
    config = tmp_path / "card.json"
    config.write_text('{"cards": [{"dies": [{"memory": 4096}]}]}')
    script = textwrap.dedent("""
        from _halvora_pybind11 import zecm
        zecm.initialize(); zecm.setDevice(0)
        first = zecm.malloc(4000)
        try:
            zecm.malloc(100)
        except RuntimeError as error:
            print(error)
        zecm.free(first)
        print(zecm.free(zecm.malloc(4096)))
    """)
    env = dict(os.environ, ZESIM_CONFIG=str(config), PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert result.stdout.splitlines() == [f"malloc error, ret: {OUT_OF_MEMORY}.", "0"], result.stderr


def test_arguments_reach_the_runtime_unchanged(card, sim):
    block = card.malloc(8)
    host = card.mallocHost(8)
    card.memcpy(host, block, 8, kind(card, TO))
    card.memcpyAsync(block, host, 8, kind(card, FROM), None)
    [line] = sim.calls("zecmMemcpy")
    assert line == f"zecmMemcpy({address(host)}, {address(block)}, 8, 1) = 0"
    assert sim.calls("zecmMemcpyAsync") == [
        f"zecmMemcpyAsync({address(block)}, {address(host)}, 8, 0, NULL) = 0"]


def test_host_side_may_be_memory_the_card_does_not_know(card, data):
    block = card.malloc(data.size)
    outside = capsule(data.ctypes.data)
    assert card.memcpy(outside, block, data.size, kind(card, TO)) == 0
    np.testing.assert_array_equal(back(card, block, data.size), data)
    result = np.zeros_like(data)
    assert card.memcpy(block, capsule(result.ctypes.data), data.size, kind(card, FROM)) == 0
    np.testing.assert_array_equal(result, data)
    assert card.memcpy(outside, capsule(result.ctypes.data), 8, kind(card, D2D)) == INVALID_ADDRESS
