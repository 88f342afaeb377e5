"""Data type sizes and float16 conversion, checked against NumPy."""
import fractions
import math

import numpy as np
import pytest

from sim import capsule

CAST_ERROR = ("Unable to cast Python instance to C++ type (#define "
              "PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")
INVALID_DATATYPE = 100012

ALL_HALVES = np.arange(65536, dtype=np.uint16)
NAN_HALVES = np.isnan(ALL_HALVES.view(np.float16))


def half_bits(values):
    """NumPy's float16 bits of float32 values."""
    with np.errstate(over="ignore"):
        return np.asarray(values, dtype=np.float32).astype(np.float16).view(np.uint16)


def float_bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


@pytest.fixture
def quiet(sim):
    """Tracing off: the exhaustive lists would make enormous trace lines."""
    sim.trace(False)
    return sim


@pytest.mark.parametrize("member, size", [
    ("zecmDT_UINT8", 1), ("zecmDT_INT8", 1), ("zecmDT_UINT16", 2), ("zecmDT_INT16", 2),
    ("zecmDT_UINT32", 4), ("zecmDT_INT32", 4), ("zecmDT_FLOAT16", 2), ("zecmDT_FLOAT32", 4),
    ("zecmDT_BFLOAT", 2),
])
def test_data_type_sizes(zecm, member, size):
    assert zecm.getDataTypeSize(getattr(zecm.dType, member)) == size


def test_data_type_without_a_size_is_raised(zecm, sim):
    with pytest.raises(RuntimeError) as raised:
        zecm.getDataTypeSize(zecm.dType.zecmDT_ANY)
    assert str(raised.value) == f"get data type size error, ret: {INVALID_DATATYPE}."
    assert sim.calls("zecmGetDataTypeSize")[0].startswith("zecmGetDataTypeSize(99, 0x")


def test_data_type_refusals(zecm, sim):
    with pytest.raises(RuntimeError, match="^$"):
        zecm.getDataTypeSize(None)
    with pytest.raises(TypeError):
        zecm.getDataTypeSize(1)
    assert sim.calls("zecmGetDataTypeSize") == []


def test_every_half_to_float32_matches_numpy(zecm, quiet):
    ours = np.array(zecm.float16ToFloat32Array(ALL_HALVES.tolist()), dtype=np.float32)
    expected = ALL_HALVES.view(np.float16).astype(np.float32)
    assert np.array_equal(np.isnan(ours), NAN_HALVES)
    assert np.array_equal(float_bits(ours)[~NAN_HALVES], float_bits(expected)[~NAN_HALVES])
    # NaNs keep their sign and payload and are quiet.
    nan_bits = float_bits(ours)[NAN_HALVES]
    source = ALL_HALVES[NAN_HALVES].astype(np.uint32)
    assert np.array_equal(nan_bits >> 31, source >> 15)
    assert np.array_equal(nan_bits & 0x7FFFFF, ((source & 0x3FF) << 13) | 0x400000)


def test_every_half_value_converts_back_to_its_bits(zecm, quiet):
    values = ALL_HALVES.view(np.float16).astype(np.float32).tolist()
    ours = np.array(zecm.float32ToFloat16Array(values), dtype=np.uint16)
    assert np.array_equal(ours[~NAN_HALVES], ALL_HALVES[~NAN_HALVES])
    # A NaN stays a NaN of the same sign, made quiet.
    assert np.all(np.isnan(ours[NAN_HALVES].view(np.float16)))
    assert np.array_equal(ours[NAN_HALVES] & 0x8000, ALL_HALVES[NAN_HALVES] & 0x8000)
    assert np.all(ours[NAN_HALVES] & 0x0200)


def test_random_floats_round_like_numpy(zecm, quiet):
    rng = np.random.default_rng(2024)
    patterns = rng.integers(0, 2**32, size=200_000, dtype=np.uint64).astype(np.uint32)
    # Bias towards the half range: exponents of 2^-26 .. 2^17, both signs.
    near = rng.integers(0x32800000, 0x48000000, size=200_000, dtype=np.uint32)
    near |= rng.integers(0, 2, size=near.size, dtype=np.uint32) << 31
    values = np.concatenate([patterns, near]).view(np.float32)
    values = values[~np.isnan(values)]
    ours = np.array(zecm.float32ToFloat16Array(values.tolist()), dtype=np.uint16)
    assert np.array_equal(ours, half_bits(values))


def test_exact_ties_round_to_even(zecm, quiet):
    # Midpoints between consecutive finite halves (subnormals included), both signs;
    # a midpoint needs 12 significant bits, so it is exact in float32.
    low = ALL_HALVES[:0x7BFF].view(np.float16).astype(np.float64)
    high = ALL_HALVES[1:0x7C00].view(np.float16).astype(np.float64)
    ties = ((low + high) / 2).astype(np.float32)
    assert np.array_equal(ties.astype(np.float64), (low + high) / 2)
    ties = np.concatenate([ties, -ties])
    ours = np.array(zecm.float32ToFloat16Array(ties.tolist()), dtype=np.uint16)
    assert np.array_equal(ours, half_bits(ties))
    assert np.all(ours & 1 == 0)


@pytest.mark.parametrize("value, bits", [
    (0.0, 0x0000), (-0.0, 0x8000), (1.0, 0x3C00), (65504.0, 0x7BFF), (65519.0, 0x7BFF),
    (65520.0, 0x7C00), (1e10, 0x7C00), (-1e10, 0xFC00), (1e300, 0x7C00), (math.inf, 0x7C00),
    (-math.inf, 0xFC00), (2.0**-24, 0x0001), (2.0**-25, 0x0000), (3 * 2.0**-25, 0x0002),
    (2.0**-14, 0x0400), (1e-10, 0x0000), (-1e-10, 0x8000), (1 / 3, 0x3555),
])
def test_single_and_array_conversions_agree(zecm, value, bits):
    assert zecm.float32ToFloat16(value) == bits
    assert zecm.float32ToFloat16Array([value]) == [bits]
    back = zecm.float16ToFloat32(bits)
    assert type(back) is float
    assert zecm.float16ToFloat32Array([bits]) == [back]
    assert back == float(np.uint16(bits).view(np.float16))


class Floaty:
    def __float__(self):
        return 0.5


class Indexy:
    def __index__(self):
        return 0x3C00


@pytest.mark.parametrize("items, expected", [
    ([1, 2.5], [0x3C00, 0x4100]),
    ([True, Floaty(), fractions.Fraction(1, 4), np.float32(-2), np.int64(3)],
     [0x3C00, 0x3800, 0x3400, 0xC000, 0x4200]),
])
def test_float32_list_items_convert_like_floats(zecm, items, expected):
    assert zecm.float32ToFloat16Array(items) == expected


@pytest.mark.parametrize("items", [["1"], [None], [1.0, object()], [2**1100], [1j]])
def test_float32_list_items_that_do_not_convert(zecm, sim, items):
    with pytest.raises(RuntimeError) as raised:
        zecm.float32ToFloat16Array(items)
    assert str(raised.value) == CAST_ERROR
    assert sim.calls("zecmFloat32ToFloat16Array") == []


def test_half_list_items_are_integers_or_indexes(zecm):
    items = [0, 0x7BFF, True, Indexy(), np.uint16(0x4000), np.int32(1)]
    assert zecm.float16ToFloat32Array(items) == [0.0, 65504.0, 2.0**-24, 1.0, 2.0, 2.0**-24]


@pytest.mark.parametrize("items", [[1.0], [0, 2.5], [-1], [65536], [2**70], ["1"], [None],
                                   [np.float32(1)], [fractions.Fraction(1)]])
def test_half_list_items_that_do_not_convert(zecm, sim, items):
    with pytest.raises(RuntimeError) as raised:
        zecm.float16ToFloat32Array(items)
    assert str(raised.value) == CAST_ERROR
    assert sim.calls("zecmFloat16ToFloat32Array") == []


@pytest.mark.parametrize("binding", ["float16ToFloat32Array", "float32ToFloat16Array"])
@pytest.mark.parametrize("sequence", [(1, 2), np.array([1, 2]), range(2), "12", None])
def test_array_bindings_take_only_lists(zecm, binding, sequence):
    with pytest.raises(TypeError):
        getattr(zecm, binding)(sequence)


def test_list_subclasses_are_accepted(zecm):
    class Values(list):
        pass
    assert zecm.float32ToFloat16Array(Values([1.0])) == [0x3C00]
    assert zecm.float16ToFloat32Array(Values([0x3C00])) == [1.0]


@pytest.mark.parametrize("binding, function", [("float32ToFloat16Array", "zecmFloat32ToFloat16Array"),
                                               ("float16ToFloat32Array", "zecmFloat16ToFloat32Array")])
def test_empty_list_calls_the_runtime_with_count_zero(zecm, sim, binding, function):
    assert getattr(zecm, binding)([]) == []
    (line,) = sim.calls(function)
    assert line.startswith(function + "(") and ", 0, " in line and line.endswith(") = 0")


def test_array_trace_shows_the_input_values(zecm, sim):
    zecm.float32ToFloat16Array([1, 0.1])
    zecm.float16ToFloat32Array([15360, 1])
    f32, f16 = sim.calls("zecmFloat32ToFloat16Array"), sim.calls("zecmFloat16ToFloat32Array")
    assert f32[0].startswith("zecmFloat32ToFloat16Array([1, 0.100000001], 2, 0x")
    assert f16[0].startswith("zecmFloat16ToFloat32Array([15360, 1], 2, 0x")


def test_items_whose_conversion_changes_the_list(zecm):
    # A conversion hook that empties the list must not make the binding read freed items.
    values = []

    class Shrinking:
        def __float__(self):
            values.clear()
            return 2.0

    class ShrinkingIndex:
        def __index__(self):
            values.clear()
            return 0x4000

    values[:] = [1.0, Shrinking(), 3.0, 4.0]
    assert zecm.float32ToFloat16Array(values) == [0x3C00, 0x4000, 0x4200, 0x4400]
    values[:] = [0x3C00, ShrinkingIndex(), 0x4200]
    assert zecm.float16ToFloat32Array(values) == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("value", [-1, 65536, 1.0, None])
def test_float16_to_float32_refuses_non_half_values(zecm, sim, value):
    with pytest.raises(TypeError):
        zecm.float16ToFloat32(value)
    assert sim.calls("zecmFloat16ToFloat32") == []


@pytest.mark.parametrize("binding, function, args, message", [
    ("float16ToFloat32", "zecmFloat16ToFloat32", (1,), "float16 to float32 error"),
    ("float32ToFloat16", "zecmFloat32ToFloat16", (1.0,), "float32 to float16 error"),
    ("float16ToFloat32Array", "zecmFloat16ToFloat32Array", ([1],), "float16 to float32 array error"),
    ("float32ToFloat16Array", "zecmFloat32ToFloat16Array", ([1.0],), "float32 to float16 array error"),
    ("getDataTypeSize", "zecmGetDataTypeSize", None, "get data type size error"),
])
def test_failed_runtime_calls_raise(zecm, sim, binding, function, args, message):
    args = (zecm.dType.zecmDT_INT8,) if args is None else args
    sim.fail(function, 4294967295)
    with pytest.raises(RuntimeError) as raised:
        getattr(zecm, binding)(*args)
    assert str(raised.value) == f"{message}, ret: -1."


def test_get_float16_array_reads_host_memory(zecm, sim):
    data = np.array([0x3C00, 0xFFFF, 7, 0x8000], dtype=np.uint16)
    handle = capsule(data.ctypes.data)
    assert zecm.getFloat16Array(handle, 8) == [0x3C00, 0xFFFF, 7, 0x8000]
    assert zecm.getFloat16Array(handle, 5) == [0x3C00, 0xFFFF]
    assert zecm.getFloat16Array(handle, 1) == []
    assert zecm.getFloat16Array(handle, 0) == []
    assert sim.lines() == []


def test_get_float16_array_refuses_a_null_address(zecm):
    assert zecm.getFloat16Array(None, 1) == []
    with pytest.raises(ValueError):
        zecm.getFloat16Array(None, 2)
    with pytest.raises(TypeError):
        zecm.getFloat16Array(capsule(1), -2)


def test_registration_order_and_docstrings(zecm):
    names = ["getDataTypeSize", "float16ToFloat32", "float32ToFloat16", "float16ToFloat32Array",
             "float32ToFloat16Array", "getFloat16Array"]
    order = [name for name in vars(zecm) if name in names]
    assert order == names
    docs = [" Get the size for a data type", "Convert a float16 number to float32 number",
            "Convert a float32 number to float16 number",
            "Convert an array of float16 number to the array of float32 number",
            "Convert an array of float32 number to the array of float16 number",
            "get the array of float16 number"]
    for name, doc in zip(names, docs):
        assert getattr(zecm, name).__doc__.split("\n", 2)[2] == doc + "\n"
