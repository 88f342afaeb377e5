"""Conventions every binding follows: capsule handles, status codes and errors."""
import pytest

from sim import address, capsule


def test_handles_are_nameless_capsules(card):
    context = card.createContext(0)
    assert type(context).__name__ == "PyCapsule"
    assert "capsule object NULL" in repr(context)
    assert card.destroyContext(context) == 0


@pytest.mark.parametrize("name", [None, b"elsewhere"])
def test_capsules_of_any_name_are_accepted(card, sim, name):
    context = card.createContext(0)
    foreign = capsule(int(address(context), 16), name)
    assert card.destroyContext(foreign) == 0
    assert sim.calls("zecmDestroyContext") == [f"zecmDestroyContext({address(context)}) = 0"]


def test_none_passes_a_null_pointer(card, sim):
    assert card.destroyContext(None) == 100002
    assert card.setCurrentContext(None) == 0
    assert sim.calls("zecmDestroyContext") == ["zecmDestroyContext(NULL) = 100002"]


@pytest.mark.parametrize("wrong", [0, 1.5, "ctx", b"ctx", object(), [None]])
def test_other_objects_are_refused_for_handles(card, sim, wrong):
    with pytest.raises(TypeError):
        card.destroyContext(wrong)
    assert sim.calls("zecmDestroyContext") == []


@pytest.mark.parametrize("value", [-1, 2**32, 1.0, "0", None])
def test_unsigned_parameters_are_range_checked(zecm, sim, value):
    with pytest.raises(TypeError):
        zecm.setDevice(value)
    assert sim.calls("zecmSetDevice") == []


def test_code_returning_bindings_return_any_status_unchanged(zecm, sim):
    sim.fail("zecmSetDevice", 4294967295)
    assert zecm.setDevice(0) == 4294967295


VALUE_BINDINGS = [
    ("getDevice", "zecmGetDevice", (), "get device"),
    ("getVersion", "zecmGetVersion", (), "get version"),
    ("getErrDesc", "zecmGetErrDesc", (0,), "get error description"),
    ("createContext", "zecmCreateContext", (0,), "create context"),
    ("getCurrentContext", "zecmGetCurrentContext", (), "get current context"),
    ("getDeviceIdInfo", "zecmGetDeviceIdInfo", (0,), "get device id info"),
]


@pytest.mark.parametrize("status, printed", [(7, "7"), (100001, "100001"), (4294967295, "-1"),
                                             (2147483648, "-2147483648")])
@pytest.mark.parametrize("binding, function, args, phrase", VALUE_BINDINGS)
def test_value_bindings_raise_with_signed_status(card, sim, binding, function, args, phrase,
                                                 status, printed):
    sim.fail(function, status)
    with pytest.raises(RuntimeError) as raised:
        getattr(card, binding)(*args)
    assert str(raised.value) == f"{phrase} error, ret: {printed}."


@pytest.mark.parametrize("binding, function", [("createContext", "zecmCreateContext"),
                                               ("getCurrentContext", "zecmGetCurrentContext"),
                                               ("getVersion", "zecmGetVersion")])
def test_null_pointer_outputs_give_none(card, sim, binding, function):
    sim.null(function)
    args = (0,) if binding == "createContext" else ()
    assert getattr(card, binding)(*args) is None


def test_enumerations_equal_their_values_without_ordering(zecm):
    int8 = zecm.dType.zecmDT_INT8
    assert int8 == 1 and int8 != 2 and int8 != None  # noqa: E711
    assert int8 == zecm.dType(1) and hash(int8) == hash(zecm.dType(1))
    assert int(int8) == 1 and [10, 11][zecm.dType.zecmDT_INT8] == 11
    assert (int8.name, int8.value) == ("zecmDT_INT8", 1)
    assert list(zecm.dType.__members__)[-1] == "zecmDT_ANY" and zecm.dType.zecmDT_ANY == 99
    for operation in (lambda: int8 < 2, lambda: int8 | 1, lambda: int8 + 1):
        with pytest.raises(TypeError):
            operation()


def test_enumeration_values_stay_in_their_class(zecm):
    assert not hasattr(zecm, "zecmDT_FLOAT16")
    unknown = zecm.dType(42)
    assert unknown.value == 42 and unknown.name == "???"
    assert unknown.__getstate__() == 42


def test_enumeration_parameters_take_members_only(card, sim):
    with pytest.raises(TypeError):
        card.getDataTypeSize(7)
    with pytest.raises(RuntimeError, match="^$"):
        card.getDataTypeSize(None)
    assert sim.calls("zecmGetDataTypeSize") == []


def test_records_start_zero_and_expose_members_as_views(zecm):
    info = zecm.deviceInfo()
    assert info.deviceIdx == 0 and info.deviceType.value == 0 and info.deviceType.name == "???"
    kind = info.deviceType
    info.deviceType = zecm.deviceType.zecmDE_ZECC
    assert kind == zecm.deviceType.zecmDE_ZECC  # the view shows the later assignment
    info.deviceIdx = 4294967295
    with pytest.raises(TypeError):
        info.deviceIdx = -1
    assert info.deviceIdx == 4294967295


def test_vector_properties_are_list_copies(zecm):
    shape = zecm.shape()
    shape.shapes = (1, 3, 224)
    first, second = shape.shapes, shape.shapes
    assert first == second == [1, 3, 224] and first is not second
    first.append(5)
    assert shape.shapes == [1, 3, 224]
    for bad in ([1, "2"], [1.5], "123", b"12", [2**63]):
        with pytest.raises(TypeError):
            shape.shapes = bad
        assert shape.shapes == [1, 3, 224]
    assert shape.ndims == 0  # independent of the vector


def test_records_are_accepted_as_capsule_handles(card, sim):
    info = card.deviceInfo()
    assert card.destroyContext(info) == 100002  # the record's own address reaches the runtime
    [line] = sim.calls("zecmDestroyContext")
    assert line.startswith("zecmDestroyContext(0x") and line.endswith(") = 100002")
