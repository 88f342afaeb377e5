"""Op objects and their typed attributes: conversions by data type, the call trace, round trips."""
import pytest

from sim import address
from zece_helpers import ATTR_NOT_SET, INVALID_HANDLE, INVALID_PARAM, UNKNOWN_ATTR, UNSUPPORTED_TYPE


@pytest.fixture
def dt(zece):
    return zece.dataType


@pytest.fixture
def op(zece, card):
    handle = zece.createOp(zece.opType.zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR)
    yield handle
    zece.destroyOp(handle)


ELEMENT, ARRAY = "zecePARAM_ELEMENT", "zecePARAM_ARRAY"

# (data type, Python value, value as the runtime reads and traces it)
CONVERSIONS = [
    ("zeceDT_INT", -5, "-5"),
    ("zeceDT_UINT_8", 300, "44"),
    ("zeceDT_UINT_16", 70000, "4464"),
    ("zeceDT_UINT_32", -1, "-1"),  # read back as an int, the width of the variable argument
    ("zeceDT_UINT_64", -1, "18446744073709551615"),
    ("zeceDT_FLOAT_16", -1, "18446744073709551615"),  # no half-precision conversion is made
    ("zeceDT_FLOAT", 16777217, "16777216"),  # through a 32-bit float
    ("zeceDT_DOUBLE", 16777217, "16777217"),
    ("zeceDT_INT", -2.7, "-2"),
    ("zeceDT_UINT_8", 300.5, "44"),
    ("zeceDT_UINT_16", -1.5, "65535"),
    ("zeceDT_UINT_32", 3e9, "-1294967296"),
    ("zeceDT_UINT_64", 1e19, "9999999980506447872"),
    ("zeceDT_UINT_64", -1.0, "18446744073709551615"),
    ("zeceDT_FLOAT", 0.1, "0.10000000149011612"),
    ("zeceDT_DOUBLE", 0.1, "0.10000000149011612"),  # the float overload takes a 32-bit float
    ("zeceDT_DOUBLE", 2**40, "1099511627776"),  # beyond 32 bits: the float overload
    ("zeceDT_INT", float("nan"), "-2147483648"),
]


@pytest.mark.parametrize("array", [False, True])
@pytest.mark.parametrize("data_type, value, traced", CONVERSIONS)
def test_setters_convert_by_data_type(zece, op, dt, sim, data_type, value, traced, array):
    name = "mean" if array else "scale"
    if array:
        status = zece.setZeceOPAttrArray(op, name, getattr(dt, data_type), zece.paramType.zecePARAM_ARRAY, value, 2)
    else:
        status = zece.setZeceOPAttr(op, name, getattr(dt, data_type), zece.paramType.zecePARAM_ELEMENT, value)
    assert status == 0
    number = getattr(dt, data_type).value
    index = ", 2" if array else ""
    param = 2 if array else 1
    assert sim.calls("zeceSetOpAttr") == [f'zeceSetOpAttr({address(op)}, "{name}", {number}, {param}, '
                                          f'{traced}{index}) = 0']


@pytest.mark.parametrize("value", [0, 9, 200])
def test_unknown_data_types_are_answered_without_a_call(zece, op, sim, value):
    element = zece.paramType.zecePARAM_ELEMENT
    assert zece.setZeceOPAttr(op, "scale", zece.dataType(value), element, 1) == UNSUPPORTED_TYPE
    assert zece.setZeceOPAttr(op, "scale", zece.dataType(value), element, 1.5) == UNSUPPORTED_TYPE
    assert zece.setZeceOPAttrArray(op, "mean", zece.dataType(value), element, 1, 0) == UNSUPPORTED_TYPE
    assert sim.calls("zeceSetOpAttr") == []


def test_the_param_type_passes_unchanged(zece, op, dt, sim):
    # An element setter with the array kind reaches the runtime as it is, which refuses it for
    # an element name (the index it reads was never passed).
    assert zece.setZeceOPAttr(op, "scale", dt.zeceDT_FLOAT, zece.paramType.zecePARAM_ARRAY, 1.0) == INVALID_PARAM
    assert zece.setZeceOPAttr(op, "scale", dt.zeceDT_FLOAT, zece.paramType.zecePARAM_TENSOR, 2.0) == 0
    assert zece.getZeceOPAttrFloat(op, "scale", dt.zeceDT_FLOAT) == 2.0
    assert sim.calls("zeceSetOpAttr")[0].startswith(f'zeceSetOpAttr({address(op)}, "scale", 6, 2, 1, ')


# (data type, value set, getter, value read)
ROUND_TRIPS = [
    ("zeceDT_INT", -5, "Int", -5),
    ("zeceDT_UINT_8", 300, "Uint8", 44),
    ("zeceDT_UINT_16", 70000, "Uint16", 4464),
    ("zeceDT_UINT_32", -1, "Uint32", 4294967295),
    ("zeceDT_UINT_64", -1, "Uint64", 2**64 - 1),
    ("zeceDT_FLOAT", 0.1, "Float", 0.10000000149011612),
    ("zeceDT_FLOAT_16", 0x3C00, "Uint16", 0x3C00),
    ("zeceDT_DOUBLE", 2**40, "Double", 2.0**40),
]


@pytest.mark.parametrize("data_type, value, getter, read", ROUND_TRIPS)
def test_values_read_back_with_their_type(zece, op, dt, data_type, value, getter, read):
    kind = getattr(dt, data_type)
    assert zece.setZeceOPAttr(op, "scale", kind, zece.paramType.zecePARAM_ELEMENT, value) == 0
    assert zece.setZeceOPAttrArray(op, "std", kind, zece.paramType.zecePARAM_ARRAY, value, 1) == 0
    assert getattr(zece, "getZeceOPAttr" + getter)(op, "scale", kind) == read
    assert getattr(zece, "getZeceOPAttrArray" + getter)(op, "std", kind, 1) == read
    with pytest.raises(RuntimeError, match=rf"^get op attr array error, ret: {ATTR_NOT_SET}\.$"):
        getattr(zece, "getZeceOPAttrArray" + getter)(op, "std", kind, 0)  # below the entry set


def test_a_value_reads_only_with_its_own_type(zece, op, dt):
    element = zece.paramType.zecePARAM_ELEMENT
    assert zece.setZeceOPAttr(op, "scale", dt.zeceDT_UINT_8, element, 200) == 0
    with pytest.raises(RuntimeError, match=rf"^get op attr error, ret: {UNSUPPORTED_TYPE}\.$"):
        zece.getZeceOPAttrInt(op, "scale", dt.zeceDT_INT)
    assert zece.getZeceOPAttrInt(op, "scale", dt.zeceDT_UINT_8) == 200  # one byte written into a wider slot


@pytest.mark.parametrize("getter, data_type", [("Uint8", "zeceDT_UINT_16"), ("Int", "zeceDT_UINT_64"),
                                               ("Float", "zeceDT_DOUBLE"), ("Uint16", "zeceDT_INT")])
def test_getters_refuse_types_wider_than_their_result(zece, op, dt, sim, getter, data_type):
    for function, args in ((f"getZeceOPAttr{getter}", ()), (f"getZeceOPAttrArray{getter}", (0,))):
        with pytest.raises(TypeError, match="bytes wide"):
            getattr(zece, function)(op, "scale", getattr(dt, data_type), *args)
    assert sim.lines("zeceGetOpAttr") == []


@pytest.mark.parametrize("name, status", [("noSuchName", UNKNOWN_ATTR), ("scale", ATTR_NOT_SET),
                                          ("affineMatrix", UNKNOWN_ATTR)])
def test_getter_failures_raise_with_the_status(zece, op, dt, name, status):
    with pytest.raises(RuntimeError, match=rf"^get op attr error, ret: {status}\.$"):
        zece.getZeceOPAttrFloat(op, name, dt.zeceDT_FLOAT)


def test_getters_raise_injected_failures_as_signed(zece, op, dt, sim):
    sim.fail("zeceGetOpAttrArray", 4294967295)
    with pytest.raises(RuntimeError, match=r"^get op attr array error, ret: -1\.$"):
        zece.getZeceOPAttrArrayDouble(op, "mean", dt.zeceDT_DOUBLE, 0)


def test_setter_refusals(zece, op, dt):
    element, array = zece.paramType.zecePARAM_ELEMENT, zece.paramType.zecePARAM_ARRAY
    assert zece.setZeceOPAttr(op, "noSuchName", dt.zeceDT_INT, element, 1) == UNKNOWN_ATTR
    assert zece.setZeceOPAttrArray(op, "mean", dt.zeceDT_FLOAT, array, 1.0, 3) == INVALID_PARAM  # three channels
    assert zece.setZeceOPAttrArray(op, "mean", dt.zeceDT_FLOAT, array, 1.0, -1) == INVALID_PARAM
    assert zece.setZeceOPAttr(op, "scale", dt.zeceDT_FLOAT, zece.paramType(7), 1.0) == INVALID_PARAM
    assert zece.setZeceOPAttr(None, "scale", dt.zeceDT_FLOAT, element, 1.0) == INVALID_HANDLE


def test_arguments_are_converted_before_any_call(zece, op, dt, sim):
    element = zece.paramType.zecePARAM_ELEMENT
    with pytest.raises(RuntimeError, match="^$"):
        zece.setZeceOPAttr(op, "scale", None, element, 1)
    with pytest.raises(RuntimeError, match="^$"):
        zece.getZeceOPAttrInt(op, "scale", None)
    for bad in (lambda: zece.setZeceOPAttr(op, "scale", 6, element, 1),
                lambda: zece.setZeceOPAttr(op, None, dt.zeceDT_INT, element, 1),
                lambda: zece.setZeceOPAttr(op, "scale", dt.zeceDT_INT, element, "1"),
                lambda: zece.setZeceOPAttrArray(op, "mean", dt.zeceDT_INT, element, 1, 2**31),
                lambda: zece.getZeceOPAttrInt(op, "scale", dt.zeceDT_INT, 0)):
        with pytest.raises(TypeError):
            bad()
    assert sim.lines("zece") == []


def test_create_and_destroy_ops(zece, zecm, card, sim):
    creatable = [t for t in zece.opType.__members__.values()
                 if t not in (zece.opType.zeceOP_CUSTOMIZED_OP, zece.opType.zeceOP_FUSION_OP_MAX_NUM)]
    ops = [zece.createOp(t) for t in creatable]
    assert all(type(op).__name__ == "PyCapsule" for op in ops)
    assert [zece.destroyOp(op) for op in ops] == [0] * len(ops)
    assert zece.destroyOp(ops[0]) == INVALID_HANDLE  # stale
    for value in (zece.opType.zeceOP_CUSTOMIZED_OP, zece.opType.zeceOP_FUSION_OP_MAX_NUM, zece.opType(11)):
        with pytest.raises(RuntimeError, match=rf"^create op error, ret: {INVALID_PARAM}\.$"):
            zece.createOp(value)
    sim.null("zeceCreateOp")
    assert zece.createOp(zece.opType.zeceOP_RESIZE) is None
    zecm.uninitialize()
    with pytest.raises(RuntimeError, match=r"^create op error, ret: 100003\.$"):
        zece.createOp(zece.opType.zeceOP_RESIZE)


def test_ops_and_their_names(zece, card, dt):
    element = zece.paramType.zecePARAM_ELEMENT
    resize, warp = zece.createOp(zece.opType.zeceOP_RESIZE), zece.createOp(zece.opType.zeceOP_WARP_AFFINE)
    assert zece.setZeceOPAttr(resize, "resizeType", dt.zeceDT_INT, element, 1) == 0
    assert zece.setZeceOPAttr(warp, "resizeType", dt.zeceDT_INT, element, 1) == UNKNOWN_ATTR
    assert zece.setZeceOPAttrArray(warp, "affineMatrix", dt.zeceDT_DOUBLE, zece.paramType.zecePARAM_ARRAY,
                                   0.5, 5) == 0
    assert zece.getZeceOPAttrArrayDouble(warp, "affineMatrix", dt.zeceDT_DOUBLE, 5) == 0.5
    zece.destroyOp(warp)
    with pytest.raises(RuntimeError, match=rf"^get op attr array error, ret: {INVALID_HANDLE}\.$"):
        zece.getZeceOPAttrArrayDouble(warp, "affineMatrix", dt.zeceDT_DOUBLE, 5)
    zece.destroyOp(resize)
