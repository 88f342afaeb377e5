"""Tensors and the shape record."""
import pytest

from card import block, device_info as info
from sim import address, capsule

INVALID_PARAM, INVALID_HANDLE, INVALID_ADDRESS, INVALID_DATATYPE = 100001, 100002, 100010, 100012


def shape(zecm, dims, ndims=None):
    record = zecm.shape()
    record.ndims = len(dims) if ndims is None else ndims
    record.shapes = dims
    return record


def live(zecm, data, size=1, index=0):
    """Whether [data, data + size) lies in a live device block of device `index`."""
    try:
        zecm.destroyDataBuffer(zecm.createDataBuffer(info(zecm, index=index), data, size))
        return True
    except RuntimeError:
        return False


@pytest.fixture
def f32(zecm):
    return zecm.dType.zecmDT_FLOAT32


def test_registration(zecm):
    names = list(vars(zecm))
    start = names.index("shape")
    assert names[start:start + 12] == [
        "shape", "createTensor", "createTensorWithDataHandle", "destroyTensor", "getTensorDataHandle",
        "setTensorDataHandle", "getTensorDeviceInfo", "getTensorShape", "setTensorShape",
        "getTensorDataType", "setTensorDataType", "getTensorSize"]
    assert names.index("getCurrentContext") < start
    assert zecm.createTensorWithDataHandle.__doc__.endswith(
        "\nCreate a tensor with data handle for a device with specific shapes and data type.\n")


def test_shape_record(zecm):
    record = zecm.shape()
    assert (record.ndims, record.shapes) == (0, [])
    record.shapes = (1, 3, 224)
    first = record.shapes
    first.append(5)
    assert record.shapes == [1, 3, 224] and record.shapes is not record.shapes
    record.ndims = 4294967295  # independent of shapes
    assert record.shapes == [1, 3, 224]
    for bad in ("12", [1, 2**63], [1, "2"], [1.5]):
        with pytest.raises(TypeError):
            record.shapes = bad
    with pytest.raises(TypeError):
        record.ndims = -1
    assert (record.ndims, record.shapes) == (4294967295, [1, 3, 224])


def test_create_passes_the_shape_by_value(card, sim, f32):
    tensor = card.createTensor(info(card), shape(card, [1, 3, 224, 224], ndims=2), f32)
    [line] = sim.calls("zecmCreateTensor")
    assert line.startswith("zecmCreateTensor({14, 0}, 7, 0x")
    assert line.endswith(", {2, [1, 3, 224, 224, 0, 0]}) = 0")
    assert card.getTensorSize(tensor) == 12  # only the first two dimensions count
    filled = shape(card, [9, 9, 9, 9, 9])
    assert card.getTensorShape(tensor, filled) == 0
    assert (filled.ndims, filled.shapes) == (2, [1, 3])
    kind = card.getTensorDataType(tensor)
    assert kind == f32 and kind is not f32 and type(kind) is card.dType


def test_created_tensors_own_memory_on_their_device(card):
    u8 = card.dType.zecmDT_UINT8
    tensor = card.createTensor(info(card, index=1), shape(card, [2, 3, 4]), u8)
    data = card.getTensorDataHandle(tensor)
    assert live(card, data, 24, index=1) and not live(card, data, 25, index=1)
    assert card.destroyTensor(tensor) == 0
    assert not live(card, data, index=1)
    empty = card.createTensor(info(card), shape(card, [0, 5]), u8)
    assert card.getTensorDataHandle(empty) is None and card.getTensorSize(empty) == 0


@pytest.mark.parametrize("dims, ndims, dtype, status", [
    ([], 0, "zecmDT_UINT8", INVALID_PARAM),
    ([1, 1, 1, 1, 1, 1], 7, "zecmDT_UINT8", INVALID_PARAM),
    ([2, -1], 2, "zecmDT_UINT8", INVALID_PARAM),
    ([2**62, 8], 2, "zecmDT_UINT8", INVALID_PARAM),     # the byte count overflows
    ([4], 1, "zecmDT_ANY", INVALID_DATATYPE),
    ([4], 1, 42, INVALID_DATATYPE),
    ([2**40], 1, "zecmDT_INT32", 100007),                 # more than the device holds
])
def test_invalid_shapes_and_types_are_refused(card, dims, ndims, dtype, status):
    kind = card.dType(dtype) if isinstance(dtype, int) else getattr(card.dType, dtype)
    with pytest.raises(RuntimeError, match=rf"^create tensor error, ret: {status}\.$"):
        card.createTensor(info(card), shape(card, dims, ndims), kind)


@pytest.mark.parametrize("call, error", [
    (lambda z, t, d: z.createTensor(None, shape(z, [1]), d), TypeError),
    (lambda z, t, d: z.createTensorWithDataHandle(info(z), None, d, None, False), TypeError),
    (lambda z, t, d: z.setTensorShape(t, None), TypeError),
    (lambda z, t, d: z.getTensorShape(t, None), TypeError),
    (lambda z, t, d: z.createTensor(info(z), shape(z, [1]), 7), TypeError),
    (lambda z, t, d: z.createTensor(info(z), shape(z, [1] * 7), d), ValueError),
    (lambda z, t, d: z.createTensorWithDataHandle(info(z), shape(z, [1] * 7), d, None, False), ValueError),
    (lambda z, t, d: z.setTensorShape(t, shape(z, [1] * 7)), ValueError),
    (lambda z, t, d: z.createTensor(info(z), shape(z, [1]), None), RuntimeError),
    (lambda z, t, d: z.setTensorDataType(t, None), RuntimeError),
])
def test_refusals_before_the_call(card, sim, f32, call, error):
    tensor = card.createTensor(info(card), shape(card, [1]), f32)
    sim.clear()
    with pytest.raises(error) as raised:
        call(card, tensor, f32)
    assert error is not RuntimeError or str(raised.value) == ""
    assert sim.lines("zecm") == []


@pytest.mark.parametrize("flag, passed", [(True, 1), (1, 1), (False, 0)])
def test_data_handle_flag_is_passed_as_0_or_1(card, sim, f32, flag, passed):
    memory = block(16)
    tensor = card.createTensorWithDataHandle(info(card), shape(card, [4]), f32, memory, flag)
    [line] = sim.calls("zecmCreateTensorWithDataHandle")
    assert line.startswith(f"zecmCreateTensorWithDataHandle({{14, 0}}, 7, {address(memory)}, {passed}, 0x")
    assert line.endswith(", {1, [4, 0, 0, 0, 0, 0]}) = 0")
    assert address(card.getTensorDataHandle(tensor)) == address(memory)
    assert card.setTensorDataHandle(tensor, memory, flag) == 0
    assert sim.calls("zecmSetTensorDataHandle") == [
        f"zecmSetTensorDataHandle({address(tensor)}, {address(memory)}, {passed}) = 0"]
    assert card.destroyTensor(tensor) == 0
    assert live(card, memory) is not bool(flag)  # owned data is freed with the tensor


@pytest.mark.parametrize("where, size, status", [
    (lambda m, h: capsule(int(address(m), 16) + 16), 16, INVALID_ADDRESS),   # not a block start
    (lambda m, h: m, 65, INVALID_ADDRESS),                                   # block too small
    (lambda m, h: h, 16, INVALID_ADDRESS),                                   # host block, device tensor
    (lambda m, h: None, 0, INVALID_PARAM),                                   # nothing to own
])
def test_owning_needs_a_whole_block_of_the_device(card, where, size, status):
    memory, host = block(64), block(64, "zecmMallocHost")
    with pytest.raises(RuntimeError, match=rf"^create tensor with data handle error, ret: {status}\.$"):
        card.createTensorWithDataHandle(info(card), shape(card, [size]), card.dType.zecmDT_UINT8,
                                        where(memory, host), True)
    assert live(card, memory, 64)


def test_one_block_is_never_owned_twice(card, f32):
    created = card.createTensor(info(card), shape(card, [4]), f32)
    with pytest.raises(RuntimeError, match=rf"ret: {INVALID_PARAM}\.$"):
        card.createTensorWithDataHandle(info(card), shape(card, [4]), f32,
                                        card.getTensorDataHandle(created), True)
    memory = block(16)
    first = card.createTensorWithDataHandle(info(card), shape(card, [4]), f32, memory, True)
    assert card.setTensorDataHandle(created, memory, True) == INVALID_PARAM
    assert card.setTensorDataHandle(created, memory, False) == 0  # describing it is fine
    assert card.destroyTensor(first) == 0
    assert card.setTensorDataHandle(created, block(16), True) == 0


def test_set_data_handle_releases_what_the_tensor_owned(card, f32):
    tensor = card.createTensor(info(card), shape(card, [4]), f32)
    own = card.getTensorDataHandle(tensor)
    assert card.setTensorDataHandle(tensor, capsule(int(address(own), 16) + 4), False) == INVALID_ADDRESS
    assert card.setTensorDataHandle(tensor, block(15), False) == INVALID_ADDRESS
    other = block(16)
    assert card.setTensorDataHandle(tensor, other, False) == 0
    assert not live(card, own)
    assert card.setTensorDataHandle(tensor, other, True) == 0
    assert card.setTensorDataHandle(tensor, other, False) == 0  # handed back, not freed
    assert card.destroyTensor(tensor) == 0 and live(card, other)


def test_shape_and_type_changes_must_fit_the_data(card, sim):
    u8, f32 = card.dType.zecmDT_UINT8, card.dType.zecmDT_FLOAT32
    tensor = card.createTensor(info(card), shape(card, [2, 8]), u8)
    assert card.setTensorShape(tensor, shape(card, [4, 4, 1])) == 0
    assert sim.calls("zecmSetTensorShape") == [f"zecmSetTensorShape({address(tensor)}, {{3, [4, 4, 1, 0, 0, 0]}}) = 0"]
    assert card.setTensorShape(tensor, shape(card, [17])) == INVALID_ADDRESS
    assert card.setTensorDataType(tensor, f32) == INVALID_ADDRESS
    assert card.setTensorShape(tensor, shape(card, [2, 2])) == 0
    assert card.setTensorDataType(tensor, f32) == 0
    assert card.setTensorDataType(tensor, card.dType.zecmDT_ANY) == INVALID_DATATYPE
    assert card.getTensorDataType(tensor) == f32 and card.getTensorSize(tensor) == 16


def test_records_are_filled_in_place(card, sim, f32):
    tensor = card.createTensor(info(card, index=1), shape(card, [3, 3, 3]), f32)
    record = card.deviceInfo()
    assert card.getTensorDeviceInfo(tensor, record) == 0
    assert (int(record.deviceType), record.deviceIdx) == (14, 1)
    assert card.getTensorDeviceInfo(tensor, None) == INVALID_PARAM
    expected = f"zecmGetTensorDeviceInfo({address(tensor)}, NULL) = {INVALID_PARAM}"
    assert sim.calls("zecmGetTensorDeviceInfo")[-1] == expected
    dims = shape(card, [7])
    sim.fail("zecmGetTensorShape", 5)
    assert card.getTensorShape(tensor, dims) == 5
    assert (dims.ndims, dims.shapes) == (1, [7])  # unchanged on failure


def test_sizes_above_32_bits(card):
    # A host tensor over the caller's own memory is not checked against the card's blocks.
    tensor = card.createTensorWithDataHandle(info(card, "zecmDE_CPU"), shape(card, [2**20, 2**13]),
                                             card.dType.zecmDT_UINT16, capsule(0x100000), False)
    assert card.getTensorSize(tensor) == 2**34


@pytest.mark.parametrize("binding, function, phrase", [
    ("createTensor", "zecmCreateTensor", "create tensor"),
    ("createTensorWithDataHandle", "zecmCreateTensorWithDataHandle", "create tensor with data handle"),
    ("getTensorDataHandle", "zecmGetTensorDataHandle", "get tensor data handle"),
    ("getTensorDataType", "zecmGetTensorDataType", "get tensor data type"),
    ("getTensorSize", "zecmGetTensorSize", "get tensor size"),
])
def test_value_bindings_raise_their_messages(card, sim, f32, binding, function, phrase):
    args = {"createTensor": (info(card), shape(card, [2]), f32),
            "createTensorWithDataHandle": (info(card), shape(card, [2]), f32, block(8), False),
            }.get(binding, (card.createTensor(info(card), shape(card, [2]), f32),))
    sim.fail(function, 2147483648)
    with pytest.raises(RuntimeError, match=rf"^{phrase} error, ret: -2147483648\.$"):
        getattr(card, binding)(*args)
    if binding.startswith("create") or binding == "getTensorDataHandle":
        sim.null(function)
        assert getattr(card, binding)(*args) is None


def test_stale_wrong_kind_and_reset_handles(card, f32):
    gone = card.createTensor(info(card), shape(card, [2]), f32)
    assert card.destroyTensor(gone) == 0
    for handle in (gone, card.createDataBuffer(info(card), None, 0), None):
        assert card.setTensorShape(handle, shape(card, [1])) == INVALID_HANDLE
        assert card.setTensorDataHandle(handle, None, False) == INVALID_HANDLE
        with pytest.raises(RuntimeError, match=rf"^get tensor size error, ret: {INVALID_HANDLE}\.$"):
            card.getTensorSize(handle)
    on0, on1 = (card.createTensor(info(card, index=i), shape(card, [4]), f32) for i in (0, 1))
    host = card.createTensor(info(card, "zecmDE_CPU"), shape(card, [4]), f32)
    data = card.getTensorDataHandle(on0)
    assert card.resetDevice(0) == 0
    assert card.destroyTensor(on0) == INVALID_HANDLE and not live(card, data)
    assert card.destroyTensor(on1) == 0 and card.destroyTensor(host) == 0
