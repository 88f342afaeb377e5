// Conventions shared by every binding of the module.
//
// The contract: every Python-visible name of the module, its spelling (misspellings such as
// "decChannelParamters", "saveHandelToImage" or "avaliable" included), every docstring
// (placeholders such as "preprocess op." included), every message text and the order in
// which names are registered (vars(module) shows it) are fixed: programs and their tests rely
// on them. Do not tidy them. The tests that pin them: tests/frame/test_module.py (the root
// module and submodules), tests/zecm/test_registration.py, tests/zeme/test_media_records.py
// and test_encoder_records.py, tests/zecl/test_submodule.py, tests/zece/test_vocabulary.py,
// tests/zeml/test_bindings.py; tests/tools/test_stubs.py checks the stubs written from them.
// New features go into the halvora package, the software card or the tools, never onto the module.
//
// Capsule handles: a runtime handle is an untyped pointer (`void *`), and
// pybind11's own caster for it is exactly our capsule rule. It accepts None
// (a null pointer), an object whose type is exactly the capsule type (read with
// the capsule's own name, so capsules made elsewhere are accepted too), and an
// instance of any class the module binds (the address of the record inside it);
// anything else fails with the dispatcher's TypeError. It produces a nameless
// capsule without destructor for a non-null pointer and None for null. A
// capsule never owns what it points at.
#pragma once
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace halvora {

using Handle = void *;

// A failed runtime call: its message, and the runtime's status, which the
// module's translator puts on the RuntimeError as its `status` attribute.
class StatusError : public std::runtime_error {
public:
    StatusError(const char *message, uint32_t status) : std::runtime_error(message), status_(status) {}
    uint32_t status() const { return status_; }

private:
    uint32_t status_;
};

// Value-returning bindings: a non-zero status becomes RuntimeError with the
// binding's message, formatted into 100 bytes with the status as a signed decimal,
// and the status itself (unsigned) as the exception's `status` attribute.
inline void check(uint32_t status, const char *format) {
    if (status == 0) return;
    char message[100];
    std::snprintf(message, sizeof message, format, static_cast<int32_t>(status));
    throw StatusError(message, status);
}

// Registered once by the entry point: a StatusError reaches Python as a plain
// RuntimeError with its message, carrying `status`.
void registerStatusErrors();

// The common shape of a value-returning binding: the runtime function's last
// parameter is its output, started zeroed (null for pointers); a non-zero status
// raises with `message`; the output is the result (a pointer as a capsule or None).
template <class... Params, class... Args>
auto output(uint32_t (*runtime)(Params...), const char *message, Args... args) {
    using Last = std::tuple_element_t<sizeof...(Params) - 1, std::tuple<Params...>>;
    std::remove_pointer_t<Last> value{};
    check(runtime(args..., &value), message);
    return value;
}

// The items of a temporary array for the runtime. An empty list is still an
// array (of no items), never a null pointer: the runtime tells the two apart.
template <class T> const T *items(const std::vector<T> &array) {
    static const T none{};
    return array.empty() ? &none : array.data();
}

// Records and enumeration members passed to the runtime by value are taken as
// pointers so that None reaches the binding; None is then refused with the
// empty RuntimeError of a failed reference cast, before the runtime is called.
template <class T> const T &byValue(const T *record) {
    if (!record) throw std::runtime_error("");
    return *record;
}

// Refusal of a record that the binding must read or fill: TypeError.
template <class T> T &required(T *record, const char *what) {
    if (!record) throw py::type_error(std::string(what) + " must not be None");
    return *record;
}

// Text from a runtime buffer of `size` bytes, up to its first NUL (strict UTF-8).
inline py::str boundedText(const char *buffer, size_t size) {
    size_t length = 0;
    while (length < size && buffer[length]) ++length;
    PyObject *text = PyUnicode_DecodeUTF8(buffer, static_cast<Py_ssize_t>(length), "strict");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// Text from a runtime text pointer; None for null. Typed as `str`, so that the
// binding's signature reads "-> str" (the value may still be None).
inline py::str optionalText(const char *text) {
    if (!text) return py::reinterpret_borrow<py::str>(py::none());
    PyObject *decoded = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// Runtime enumerations are plain C enums, so pybind11's non-arithmetic enum is
// what we want: members equal their integer values, have no ordering, are not
// exported into the submodule, and unknown values read with the name "???".
template <class E>
py::enum_<E> bindEnum(py::module_ &m, const char *name, std::initializer_list<std::pair<const char *, E>> members) {
    py::enum_<E> type(m, name);
    for (const auto &member : members) type.value(member.first, member.second);
    return type;
}

}  // namespace halvora
