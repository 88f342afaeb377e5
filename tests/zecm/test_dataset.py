"""Datasets of data buffers or tensors."""
import pytest

from card import device_info
from sim import address, capsule

INVALID_PARAM, INVALID_HANDLE, INVALID_INDEX, DATASET_MODE = 100001, 100002, 100013, 100014


def tensor(zecm, count=4, index=0):
    dims = zecm.shape()
    dims.ndims, dims.shapes = 1, [count]
    return zecm.createTensor(device_info(zecm, index=index), dims, zecm.dType.zecmDT_UINT8)


def buffer(zecm, memory=None, size=0):
    return zecm.createDataBuffer(device_info(zecm), memory, size)


def live(zecm, data):
    try:
        zecm.destroyDataBuffer(zecm.createDataBuffer(device_info(zecm), data, 1))
        return True
    except RuntimeError:
        return False


@pytest.fixture
def modes(zecm):
    return zecm.datasetMode


def test_registration(zecm):
    names = list(vars(zecm))
    start = names.index("datasetMode")
    assert names[start - 1:start + 13] == [
        "updateDataBuffer", "datasetMode", "createDataset", "destroyDataset", "addDatasetBuffer",
        "getDatasetBufferCount", "getDatasetBuffer", "addDatasetTensor", "getDatasetTensorCount",
        "getDatasetTensor", "getDatasetMode", "getDatasetUserCtx", "setDatasetUserCtx", "clearDataset"]
    assert names.index("getTensorSize") < names.index("destroyDatasetAll") < names.index("getDeviceIdInfo")
    assert {name: int(value) for name, value in zecm.datasetMode.__members__.items()} == {
        "zecmDM_BUFFER": 0, "zecmDM_TENSOR": 1}
    assert zecm.destroyDatasetAll.__doc__.endswith("\nDestroy all data in a dataset including itself.\n")


def test_create_refusals(card, sim, modes):
    with pytest.raises(RuntimeError, match="^$"):
        card.createDataset(None)
    with pytest.raises(TypeError):
        card.createDataset(1)
    assert sim.lines("zecmCreateDataset") == []
    with pytest.raises(RuntimeError, match=rf"^create dataset error, ret: {INVALID_PARAM}\.$"):
        card.createDataset(modes(5))
    assert sim.calls("zecmCreateDataset")[0].startswith("zecmCreateDataset(5, 0x")


def test_members_in_order_and_indices(card, sim, modes):
    dataset = card.createDataset(modes.zecmDM_BUFFER)
    first, second = buffer(card), buffer(card)
    assert [card.addDatasetBuffer(dataset, member) for member in (first, second, first)] == [0, 0, 0]
    assert sim.calls("zecmAddDatasetBuffer")[0] == f"zecmAddDatasetBuffer({address(dataset)}, {address(first)}) = 0"
    assert card.getDatasetBufferCount(dataset) == 3
    assert [address(card.getDatasetBuffer(dataset, i)) for i in range(3)] == [
        address(first), address(second), address(first)]
    mode = card.getDatasetMode(dataset)
    assert mode == modes.zecmDM_BUFFER and type(mode) is modes
    for index in (-1, 3, -2**31):
        with pytest.raises(RuntimeError, match=rf"^get dataset buffer error, ret: {INVALID_INDEX}\.$"):
            card.getDatasetBuffer(dataset, index)
    assert sim.calls("zecmGetDatasetBuffer")[-3].startswith(f"zecmGetDatasetBuffer({address(dataset)}, -1, 0x")
    sim.clear()
    for index in (2**31, 1.0):
        with pytest.raises(TypeError):
            card.getDatasetBuffer(dataset, index)
    assert sim.lines("zecm") == []


def test_members_must_match_the_mode(card, modes):
    buffers, tensors = card.createDataset(modes.zecmDM_BUFFER), card.createDataset(modes.zecmDM_TENSOR)
    a_buffer, a_tensor = buffer(card), tensor(card)
    assert card.addDatasetTensor(buffers, a_tensor) == card.addDatasetBuffer(tensors, a_buffer) == DATASET_MODE
    assert card.addDatasetBuffer(buffers, a_tensor) == card.addDatasetTensor(tensors, a_buffer) == DATASET_MODE
    for wrong in (card.createContext(0), None, capsule(0x1234), buffers):
        assert card.addDatasetBuffer(buffers, wrong) == INVALID_HANDLE
    with pytest.raises(RuntimeError, match=rf"^get dataset buffer count error, ret: {DATASET_MODE}\.$"):
        card.getDatasetBufferCount(tensors)
    assert card.getDatasetBufferCount(buffers) == card.getDatasetTensorCount(tensors) == 0


def test_user_context_round_trips_unchanged(card, modes):
    dataset = card.createDataset(modes.zecmDM_TENSOR)
    assert card.getDatasetUserCtx(dataset) is None
    anything = capsule(0xdeadbeef, b"mine")
    assert card.setDatasetUserCtx(dataset, anything) == 0
    returned = card.getDatasetUserCtx(dataset)
    assert address(returned) == "0xdeadbeef" and returned is not anything
    assert card.setDatasetUserCtx(dataset, None) == 0
    assert card.getDatasetUserCtx(dataset) is None


def test_clear_and_destroy_leave_the_members_alive(card, modes):
    dataset = card.createDataset(modes.zecmDM_TENSOR)
    members = [tensor(card) for _ in range(3)]
    for member in members:
        card.addDatasetTensor(dataset, member)
    assert card.clearDataset(dataset) == 0 and card.getDatasetTensorCount(dataset) == 0
    card.addDatasetTensor(dataset, members[0])
    assert card.destroyDataset(dataset) == 0
    assert card.destroyDataset(dataset) == INVALID_HANDLE
    assert all(card.getTensorSize(member) == 4 for member in members)


def test_destroy_all_releases_members_and_the_memory_they_own(card, modes):
    dataset = card.createDataset(modes.zecmDM_TENSOR)
    members = [tensor(card) for _ in range(2)]
    data = [card.getTensorDataHandle(member) for member in members]
    for member in members:
        card.addDatasetTensor(dataset, member)
    assert card.destroyDatasetAll(dataset) == 0
    assert [card.destroyTensor(member) for member in members] == [INVALID_HANDLE] * 2
    assert not any(live(card, block) for block in data)
    assert card.destroyDatasetAll(dataset) == INVALID_HANDLE


def test_destroy_all_leaves_memory_the_caller_wrapped(card, modes):
    memory = card.getTensorDataHandle(tensor(card, 64))  # a device block the caller keeps
    dataset = card.createDataset(modes.zecmDM_BUFFER)
    wrapped = buffer(card, memory, 64)
    card.addDatasetBuffer(dataset, wrapped)
    assert card.destroyDatasetAll(dataset) == 0
    assert card.destroyDataBuffer(wrapped) == INVALID_HANDLE
    assert live(card, memory)


def test_destroy_all_skips_members_destroyed_separately(card, modes):
    dataset = card.createDataset(modes.zecmDM_BUFFER)
    gone = buffer(card)
    card.addDatasetBuffer(dataset, gone)
    card.destroyDataBuffer(gone)
    # A new buffer may take a destroyed one's address; it is not a member.
    newcomers = [buffer(card) for _ in range(8)]
    assert address(card.getDatasetBuffer(dataset, 0)) == address(gone)
    assert card.destroyDatasetAll(dataset) == 0
    assert all(card.getDataBufferSize(newcomer) == 0 for newcomer in newcomers)


def test_datasets_survive_a_reset_of_their_members_device(card, modes):
    dataset = card.createDataset(modes.zecmDM_TENSOR)
    survivor = tensor(card, index=1)
    card.addDatasetTensor(dataset, tensor(card, index=0))
    card.addDatasetTensor(dataset, survivor)
    assert card.resetDevice(0) == 0
    assert card.getDatasetTensorCount(dataset) == 2
    assert card.destroyDatasetAll(dataset) == 0
    assert card.destroyTensor(survivor) == INVALID_HANDLE


def test_stale_and_wrong_kind_handles_give_statuses(card, modes):
    dataset = card.createDataset(modes.zecmDM_BUFFER)
    card.destroyDataset(dataset)
    a_tensor = tensor(card)
    for handle in (dataset, a_tensor, None):
        assert card.destroyDatasetAll(handle) == card.clearDataset(handle) == INVALID_HANDLE
        with pytest.raises(RuntimeError, match=rf"^get dataset mode error, ret: {INVALID_HANDLE}\.$"):
            card.getDatasetMode(handle)
    assert card.getTensorSize(a_tensor) == 4


@pytest.mark.parametrize("binding, function, phrase", [
    ("createDataset", "zecmCreateDataset", "create dataset"),
    ("getDatasetBufferCount", "zecmGetDatasetBufferCount", "get dataset buffer count"),
    ("getDatasetBuffer", "zecmGetDatasetBuffer", "get dataset buffer"),
    ("getDatasetTensorCount", "zecmGetDatasetTensorCount", "get dataset tensor count"),
    ("getDatasetTensor", "zecmGetDatasetTensor", "get dataset tensor"),
    ("getDatasetMode", "zecmGetDatasetMode", "get dataset mode"),
    ("getDatasetUserCtx", "zecmGetDatasetUserCtx", "get dataset user ctx"),
])
def test_value_bindings_raise_their_messages(card, sim, modes, binding, function, phrase):
    dataset = card.createDataset(modes.zecmDM_BUFFER)
    card.addDatasetBuffer(dataset, buffer(card))
    args = {"createDataset": (modes.zecmDM_BUFFER,), "getDatasetBuffer": (dataset, 0),
            "getDatasetTensor": (dataset, 0)}.get(binding, (dataset,))
    sim.fail(function, 4294967295)
    with pytest.raises(RuntimeError, match=rf"^{phrase} error, ret: -1\.$"):
        getattr(card, binding)(*args)
    if binding in ("createDataset", "getDatasetBuffer", "getDatasetUserCtx"):
        sim.null(function)
        assert getattr(card, binding)(*args) is None
