// Data types, their sizes and float16 conversion of single values and lists.
#include <limits>
#include <vector>

#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecm {
namespace {

// The binding library's text for an item that does not convert to the element type.
constexpr const char *kCastError =
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES or "
    "compile in debug mode for details)";

// Walks the items of a list for conversion. Exact ints and floats convert without
// running Python code; any other item may run code (__float__, __index__) that
// changes the list, so from the first such item on the walk reads a snapshot of
// the list taken before any code ran.
class ListItems {
public:
    explicit ListItems(const py::list &list) : list_(list.ptr()), size_(PyList_GET_SIZE(list_)) {
        if (static_cast<unsigned long long>(size_) > std::numeric_limits<uint32_t>::max())
            throw py::value_error("list too long: at most 4294967295 items");
    }
    size_t size() const { return static_cast<size_t>(size_); }
    PyObject *fast(size_t i) const { return PyList_GET_ITEM(list_, i); }
    // The item at i, safe to hand to Python code.
    PyObject *stable(size_t i) {
        if (!snapshot_) {
            snapshot_ = py::reinterpret_steal<py::object>(PyList_GetSlice(list_, 0, size_));
            if (!snapshot_) throw py::error_already_set();
            list_ = snapshot_.ptr();
        }
        return PyList_GET_ITEM(list_, i);
    }

private:
    PyObject *list_;
    Py_ssize_t size_;
    py::object snapshot_;
};

// As the binding library's float conversion: floats, ints, anything with __float__ or __index__.
float toFloat(ListItems &items, size_t i) {
    PyObject *item = items.fast(i);
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else {
        value = PyLong_CheckExact(item) ? PyLong_AsDouble(item) : PyFloat_AsDouble(items.stable(i));
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::cast_error(kCastError);
        }
    }
    return static_cast<float>(value);
}

// Half-precision bits: ints 0 to 65535 or objects with __index__; floats are refused.
uint16_t toBits(ListItems &items, size_t i) {
    PyObject *item = items.fast(i);
    long value;
    if (PyLong_CheckExact(item)) {
        value = PyLong_AsLong(item);
    } else if (!PyFloat_Check(item) && PyIndex_Check(item)) {
        PyObject *index = PyNumber_Index(items.stable(i));
        value = index ? PyLong_AsLong(index) : -1;
        Py_XDECREF(index);
    } else {
        throw py::cast_error(kCastError);
    }
    if (value < 0 || value > 0xffff) {
        PyErr_Clear();
        throw py::cast_error(kCastError);
    }
    return static_cast<uint16_t>(value);
}

// A new list of `count` items made by `make`, built in place.
template <class T, class Make> py::list makeList(const T *values, size_t count, Make make) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list) throw py::error_already_set();
    for (size_t i = 0; i < count; ++i) {
        PyObject *item = make(values[i]);
        if (!item) {
            Py_DECREF(list);
            throw py::error_already_set();
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return py::reinterpret_steal<py::list>(list);
}

}  // namespace

void registerDataTypeEnum(py::module_ &m) {
    bindEnum<zecmDType>(m, "dType",
                        {
                            {"zecmDT_UINT8", zecmDT_UINT8},
                            {"zecmDT_INT8", zecmDT_INT8},
                            {"zecmDT_UINT16", zecmDT_UINT16},
                            {"zecmDT_INT16", zecmDT_INT16},
                            {"zecmDT_UINT32", zecmDT_UINT32},
                            {"zecmDT_INT32", zecmDT_INT32},
                            {"zecmDT_FLOAT16", zecmDT_FLOAT16},
                            {"zecmDT_FLOAT32", zecmDT_FLOAT32},
                            {"zecmDT_BFLOAT", zecmDT_BFLOAT},
                            {"zecmDT_ANY", zecmDT_ANY},
                        });
}

void registerDataTypes(py::module_ &m) {
    m.def(
        "getDataTypeSize",
        [](const zecmDType *type) {
            return output(&zecmGetDataTypeSize, "get data type size error, ret: %d.", byValue(type));
        },
        " Get the size for a data type");
    m.def(
        "float16ToFloat32",
        [](uint16_t bits) { return output(&zecmFloat16ToFloat32, "float16 to float32 error, ret: %d.", bits); },
        "Convert a float16 number to float32 number");
    m.def(
        "float32ToFloat16",
        [](float value) { return output(&zecmFloat32ToFloat16, "float32 to float16 error, ret: %d.", value); },
        "Convert a float32 number to float16 number");
    m.def(
        "float16ToFloat32Array",
        [](const py::list &list) {
            ListItems items(list);
            std::vector<uint16_t> bits(items.size());
            for (size_t i = 0; i < bits.size(); ++i) bits[i] = toBits(items, i);
            std::vector<float> values(bits.size());
            check(zecmFloat16ToFloat32Array(bits.data(), static_cast<uint32_t>(bits.size()), values.data()),
                  "float16 to float32 array error, ret: %d.");
            return makeList(values.data(), values.size(), [](float value) { return PyFloat_FromDouble(value); });
        },
        "Convert an array of float16 number to the array of float32 number");
    m.def(
        "float32ToFloat16Array",
        [](const py::list &list) {
            ListItems items(list);
            std::vector<float> values(items.size());
            for (size_t i = 0; i < values.size(); ++i) values[i] = toFloat(items, i);
            std::vector<uint16_t> bits(values.size());
            check(zecmFloat32ToFloat16Array(values.data(), static_cast<uint32_t>(values.size()), bits.data()),
                  "float32 to float16 array error, ret: %d.");
            return makeList(bits.data(), bits.size(), [](uint16_t value) { return PyLong_FromLong(value); });
        },
        "Convert an array of float32 number to the array of float16 number");
    // Reads host memory in place: the caller guarantees `size` readable bytes.
    m.def(
        "getFloat16Array",
        [](Handle address, uint64_t size) {
            if (size < 2) return py::list();
            if (!address) throw py::value_error("getFloat16Array needs a host address, not None");
            if (size / 2 > static_cast<uint64_t>(std::numeric_limits<Py_ssize_t>::max()))
                throw py::value_error("size too large");
            return makeList(static_cast<const uint16_t *>(address), size / 2,
                            [](uint16_t value) { return PyLong_FromLong(value); });
        },
        "get the array of float16 number");
}

}  // namespace halvora::zecm
