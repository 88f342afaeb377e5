// Preprocess op objects: create, destroy, execute, and typed attributes. The
// setters convert the value by its data type and pass it through the runtime's
// variable argument list, as promoted arguments travel: int for the 8- to 32-bit
// integers, uint64_t for 64-bit integers and binary16 bits, double for floats.
#include <cstdint>
#include <limits>
#include <string>

#include "groups.hpp"
#include "zece.h"
#include "zece/data_types.hpp"

namespace halvora::zece {
namespace {

constexpr uint32_t kUnsupportedType = zeceER_BASE + 3;

// A float truncated toward zero to I. Values outside I's range (and NaN) give I's
// lowest value, the result the processor's own conversion gives, without the
// undefined behaviour of converting them in C++.
template <class I> I truncated(double value) {
    constexpr double low = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double high = -low;  // 2^(bits - 1)
    if (!(value > low - 1.0 && value < high)) return std::numeric_limits<I>::min();
    return static_cast<I>(value);
}

// To unsigned 64-bit, values from 2^63 up included; negative values wrap as their
// signed truncation does.
uint64_t toUint64(double value) {
    constexpr double two63 = 9223372036854775808.0;
    if (value >= two63 && value < 2.0 * two63) return static_cast<uint64_t>(value);
    return static_cast<uint64_t>(truncated<int64_t>(value));
}

template <class... Index> uint32_t setFromInt(Handle op, const std::string &name, const zeceDataType *dataType,
                                              const zeceParamType *paramType, int32_t value, Index... index) {
    zeceDataType dt = byValue(dataType);
    zeceParamType pt = byValue(paramType);
    const char *text = name.c_str();
    switch (dt) {
    case zeceDT_INT: return zeceSetOpAttr(op, text, dt, pt, value, index...);
    case zeceDT_UINT_8: return zeceSetOpAttr(op, text, dt, pt, int{static_cast<uint8_t>(value)}, index...);
    case zeceDT_UINT_16: return zeceSetOpAttr(op, text, dt, pt, int{static_cast<uint16_t>(value)}, index...);
    case zeceDT_UINT_32: return zeceSetOpAttr(op, text, dt, pt, static_cast<uint32_t>(value), index...);
    case zeceDT_UINT_64:
    case zeceDT_FLOAT_16: return zeceSetOpAttr(op, text, dt, pt, static_cast<uint64_t>(int64_t{value}), index...);
    case zeceDT_FLOAT: return zeceSetOpAttr(op, text, dt, pt, double{static_cast<float>(value)}, index...);
    case zeceDT_DOUBLE: return zeceSetOpAttr(op, text, dt, pt, double{static_cast<double>(value)}, index...);
    default: return kUnsupportedType;
    }
}

template <class... Index> uint32_t setFromFloat(Handle op, const std::string &name, const zeceDataType *dataType,
                                                const zeceParamType *paramType, float value, Index... index) {
    zeceDataType dt = byValue(dataType);
    zeceParamType pt = byValue(paramType);
    const char *text = name.c_str();
    switch (dt) {
    case zeceDT_INT: return zeceSetOpAttr(op, text, dt, pt, truncated<int32_t>(value), index...);
    case zeceDT_UINT_8:
        return zeceSetOpAttr(op, text, dt, pt, int{static_cast<uint8_t>(truncated<int32_t>(value))}, index...);
    case zeceDT_UINT_16:
        return zeceSetOpAttr(op, text, dt, pt, int{static_cast<uint16_t>(truncated<int32_t>(value))}, index...);
    case zeceDT_UINT_32:
        return zeceSetOpAttr(op, text, dt, pt, static_cast<uint32_t>(truncated<int64_t>(value)), index...);
    case zeceDT_UINT_64:
    case zeceDT_FLOAT_16: return zeceSetOpAttr(op, text, dt, pt, toUint64(value), index...);
    case zeceDT_FLOAT:
    case zeceDT_DOUBLE: return zeceSetOpAttr(op, text, dt, pt, double{value}, index...);
    default: return kUnsupportedType;
    }
}

uint32_t setInt(Handle op, std::string name, const zeceDataType *dt, const zeceParamType *pt, int32_t value) {
    return setFromInt(op, name, dt, pt, value);
}
uint32_t setFloat(Handle op, std::string name, const zeceDataType *dt, const zeceParamType *pt, float value) {
    return setFromFloat(op, name, dt, pt, value);
}
uint32_t setArrayInt(Handle op, std::string name, const zeceDataType *dt, const zeceParamType *pt, int32_t value,
                     int32_t index) {
    return setFromInt(op, name, dt, pt, value, index);
}
uint32_t setArrayFloat(Handle op, std::string name, const zeceDataType *dt, const zeceParamType *pt, float value,
                       int32_t index) {
    return setFromFloat(op, name, dt, pt, value, index);
}

// A getter's result slot must hold what the runtime writes for the data type.
template <class T> zeceDataType fitting(const zeceDataType *dataType, const char *getter) {
    zeceDataType type = byValue(dataType);
    size_t width = static_cast<size_t>(::zece::typeWidth(type));  // 0: a type the runtime does not know
    if (width > sizeof(T))
        throw py::type_error(std::string(getter) + " returns " + std::to_string(sizeof(T)) +
                             "-byte values; the data type's values are " + std::to_string(width) + " bytes wide");
    return type;
}

template <class T> struct Getters {
    static const char *element;
    static const char *array;
    static T get(Handle op, std::string name, const zeceDataType *dataType) {
        zeceDataType type = fitting<T>(dataType, element);
        T slot{};
        check(zeceGetOpAttr(op, name.c_str(), type, &slot), "get op attr error, ret: %d.");
        return slot;
    }
    static T getArray(Handle op, std::string name, const zeceDataType *dataType, int32_t index) {
        zeceDataType type = fitting<T>(dataType, array);
        T slot{};
        check(zeceGetOpAttrArray(op, name.c_str(), type, index, &slot), "get op attr array error, ret: %d.");
        return slot;
    }
};

#define ZECE_GETTER_NAMES(T, suffix)                                      \
    template <> const char *Getters<T>::element = "getZeceOPAttr" suffix; \
    template <> const char *Getters<T>::array = "getZeceOPAttrArray" suffix;
ZECE_GETTER_NAMES(int32_t, "Int")
ZECE_GETTER_NAMES(uint8_t, "Uint8")
ZECE_GETTER_NAMES(uint16_t, "Uint16")
ZECE_GETTER_NAMES(uint32_t, "Uint32")
ZECE_GETTER_NAMES(uint64_t, "Uint64")
ZECE_GETTER_NAMES(float, "Float")
ZECE_GETTER_NAMES(double, "Double")
#undef ZECE_GETTER_NAMES

template <class... T> void defineElementGetters(py::module_ &m) {
    (m.def(Getters<T>::element, &Getters<T>::get, "  preprocess op."), ...);
}
template <class... T> void defineArrayGetters(py::module_ &m) {
    (m.def(Getters<T>::array, &Getters<T>::getArray, "  preprocess op."), ...);
}

}  // namespace

void registerOps(py::module_ &m) {
    m.def(
        "createOp",
        [](const zeceOpType *type) { return output(&zeceCreateOp, "create op error, ret: %d.", byValue(type)); },
        "Create one zentri preprocess op.");
    m.def("destroyOp", &zeceDestroyOp, "Destroy zentri preprocess op.");
    m.def("setZeceOPAttr", &setInt, "  preprocess op.");
    m.def("setZeceOPAttr", &setFloat, "  preprocess op.");
    m.def("setZeceOPAttrArray", &setArrayInt, "  preprocess op.");
    m.def("setZeceOPAttrArray", &setArrayFloat, "  preprocess op.");
    defineElementGetters<int32_t, uint8_t, uint16_t, uint32_t, uint64_t, float, double>(m);
    defineArrayGetters<int32_t, uint8_t, uint16_t, uint32_t, uint64_t, float, double>(m);
    m.def("executeOp", &zeceExecuteOp, " zentri preprocess op.");
}

}  // namespace halvora::zece
