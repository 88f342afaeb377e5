"""Data buffers, the device kinds and the device information record."""
import pytest

from card import block, device_info as info, offset
from sim import address, capsule

INVALID_PARAM, INVALID_HANDLE, INVALID_DEVICE, INVALID_ADDRESS = 100001, 100002, 100005, 100010


def test_registration(zecm):
    names = list(vars(zecm))
    start = names.index("deviceType")
    assert names[start:start + 9] == [
        "deviceType", "deviceInfo", "createDataBuffer", "createDataBufferFromContext",
        "destroyDataBuffer", "getDataBufferAddr", "getDataBufferSize", "getDataBufferDeviceInfo",
        "updateDataBuffer"]
    assert names.index("dType") < start
    assert {name: int(value) for name, value in zecm.deviceType.__members__.items()} == {
        "zecmDE_CPU": 1, "zecmDE_ZECC": 14}
    assert zecm.createDataBufferFromContext.__doc__.endswith("\nCreate a data buffer from device context.\n")


def test_device_info_record(zecm):
    record = zecm.deviceInfo()
    assert record.deviceIdx == 0 and record.deviceType == 0 and record.deviceType.name == "???"
    held = record.deviceType
    record.deviceType = zecm.deviceType.zecmDE_ZECC
    assert held == 14  # the property refers to the member inside the record
    record.deviceIdx = 4294967295
    for bad in (-1, 2**32):
        with pytest.raises(TypeError):
            record.deviceIdx = bad
    assert record.deviceIdx == 4294967295


def test_create_query_and_update(card, sim):
    memory = block(256)
    record = info(card)
    buffer = card.createDataBuffer(record, memory, 64)
    record.deviceIdx = 1  # the call took a copy
    [line] = sim.calls("zecmCreateDataBuffer")
    assert line.startswith(f"zecmCreateDataBuffer({{14, 0}}, {address(memory)}, 64, 0x")
    assert (address(card.getDataBufferAddr(buffer)), card.getDataBufferSize(buffer)) == (address(memory), 64)
    filled = card.deviceInfo()
    assert card.getDataBufferDeviceInfo(buffer, filled) == 0
    assert (filled.deviceType, filled.deviceIdx) == (card.deviceType.zecmDE_ZECC, 0)
    assert card.updateDataBuffer(buffer, filled, offset(memory, 100), 156) == 0  # the filled record, reused
    assert sim.calls("zecmUpdateDataBuffer") == [
        f"zecmUpdateDataBuffer({address(buffer)}, {{14, 0}}, {address(offset(memory, 100))}, 156) = 0"]
    assert card.getDataBufferSize(buffer) == 156


def test_sizes_above_32_bits_and_null_addresses(card, sim):
    # The caller's own host memory is not checked against the card's blocks.
    buffer = card.createDataBuffer(info(card, "zecmDE_CPU", 3), capsule(0x100000), 2**40 + 5)
    assert card.getDataBufferSize(buffer) == 2**40 + 5
    assert card.updateDataBuffer(buffer, info(card, "zecmDE_CPU"), capsule(0x100000), 2**63) == 0
    assert card.getDataBufferSize(buffer) == 2**63
    empty = card.createDataBuffer(info(card), None, 0)
    assert card.getDataBufferAddr(empty) is None
    with pytest.raises(RuntimeError, match=rf"^create data buffer error, ret: {INVALID_PARAM}\.$"):
        card.createDataBuffer(info(card), None, 8)
    assert [line.split(", ")[2] for line in sim.calls("zecmCreateDataBuffer")[1:]] == ["NULL", "NULL"]


@pytest.mark.parametrize("describe, status", [
    (lambda z, m, h: (info(z), capsule(0x1000), 4), INVALID_ADDRESS),      # not device memory
    (lambda z, m, h: (info(z), offset(m, 200), 57), INVALID_ADDRESS),      # runs past its block
    (lambda z, m, h: (info(z, index=1), m, 16), INVALID_ADDRESS),          # block of device 0
    (lambda z, m, h: (info(z), h, 16), INVALID_ADDRESS),                   # host block
    (lambda z, m, h: (info(z, "zecmDE_CPU"), h, 65), INVALID_ADDRESS),
    (lambda z, m, h: (info(z, index=2), m, 16), INVALID_DEVICE),
    (lambda z, m, h: (z.deviceInfo(), m, 16), INVALID_PARAM),              # device type 0
])
def test_memory_that_does_not_fit_the_description_is_refused(card, describe, status):
    args = describe(card, block(256), block(64, "zecmMallocHost"))
    with pytest.raises(RuntimeError, match=rf"^create data buffer error, ret: {status}\.$"):
        card.createDataBuffer(*args)
    buffer = card.createDataBuffer(info(card, "zecmDE_CPU"), None, 0)
    assert card.updateDataBuffer(buffer, *args) == status
    assert card.getDataBufferSize(buffer) == 0


def test_records_and_enumerations_given_as_none(card, sim):
    buffer = card.createDataBuffer(info(card), None, 0)
    for call in (lambda: card.createDataBuffer(None, None, 0),
                 lambda: card.updateDataBuffer(buffer, None, None, 0),
                 lambda: card.createDataBufferFromContext(14, None, 0)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(RuntimeError, match="^$"):
        card.createDataBufferFromContext(None, None, 0)
    assert card.getDataBufferDeviceInfo(buffer, None) == INVALID_PARAM
    assert sim.lines("zecmGetDataBufferDeviceInfo") == [
        f"zecmGetDataBufferDeviceInfo({address(buffer)}, NULL) = {INVALID_PARAM}"]
    assert len(sim.lines("zecm")) == 2


def test_buffer_from_context_takes_the_current_contexts_device(card, sim):
    memory = block(32)  # on device 0, the selected one
    buffer = card.createDataBufferFromContext(card.deviceType.zecmDE_ZECC, memory, 32)
    assert sim.calls("zecmCreateDataBufferFromContext")[0].startswith(
        f"zecmCreateDataBufferFromContext(14, {address(memory)}, 32, 0x")
    record = card.deviceInfo()
    card.getDataBufferDeviceInfo(buffer, record)
    assert record.deviceIdx == 0
    context = card.createContext(1)
    card.setCurrentContext(context)
    try:
        with pytest.raises(RuntimeError, match=rf"^create data buffer from context error, ret: {INVALID_ADDRESS}\.$"):
            card.createDataBufferFromContext(card.deviceType.zecmDE_ZECC, memory, 32)
        host = card.createDataBufferFromContext(card.deviceType.zecmDE_CPU, capsule(0x2000), 16)
        card.getDataBufferDeviceInfo(host, record)
        assert (int(record.deviceType), record.deviceIdx) == (1, 1)
    finally:
        card.setCurrentContext(None)


def test_stale_and_wrong_kind_handles_give_statuses(card):
    buffer = card.createDataBuffer(info(card), None, 0)
    assert card.destroyDataBuffer(buffer) == 0
    for handle in (buffer, card.createContext(0), None):
        assert card.destroyDataBuffer(handle) == INVALID_HANDLE
        assert card.updateDataBuffer(handle, info(card), None, 0) == INVALID_HANDLE
        with pytest.raises(RuntimeError, match=rf"^get data buffer addr error, ret: {INVALID_HANDLE}\.$"):
            card.getDataBufferAddr(handle)


@pytest.mark.parametrize("binding, function, phrase", [
    ("createDataBuffer", "zecmCreateDataBuffer", "create data buffer"),
    ("createDataBufferFromContext", "zecmCreateDataBufferFromContext", "create data buffer from context"),
    ("getDataBufferAddr", "zecmGetDataBufferAddr", "get data buffer addr"),
    ("getDataBufferSize", "zecmGetDataBufferSize", "get data buffer size"),
])
def test_value_bindings_raise_their_messages(card, sim, binding, function, phrase):
    args = {"createDataBuffer": (info(card), None, 0),
            "createDataBufferFromContext": (card.deviceType.zecmDE_CPU, None, 0),
            }.get(binding, (card.createDataBuffer(info(card), None, 0),))
    sim.fail(function, 4294967295)
    with pytest.raises(RuntimeError, match=rf"^{phrase} error, ret: -1\.$"):
        getattr(card, binding)(*args)
    if binding != "getDataBufferSize":
        sim.null(function)
        assert getattr(card, binding)(*args) is None


def test_reset_releases_the_buffers_of_that_device(card):
    on0, on1 = card.createDataBuffer(info(card), None, 0), card.createDataBuffer(info(card, index=1), None, 0)
    host, moved = (card.createDataBuffer(info(card, "zecmDE_CPU"), None, 0) for _ in range(2))
    assert card.updateDataBuffer(moved, info(card), None, 0) == 0  # now on device 0
    assert card.resetDevice(0) == 0
    assert [card.destroyDataBuffer(b) for b in (on0, moved, on1, host)] == [INVALID_HANDLE] * 2 + [0] * 2
