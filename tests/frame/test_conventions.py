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
