// Entry of every runtime function: the call trace and failure injection of the
// control interface. A runtime function is written as
//
//   ZE_API uint32_t zecmMalloc(uint64_t size, void **block) {
//       ZESIM_CALL(size, block) {
//           ...validate, work...
//           return zecmER_SUCCESS;
//       };
//   }
//
// The macro formats the arguments (only while tracing), applies a pending
// FailNext or NullNext injection instead of running the body, and records the
// trace line with the status when the body returns.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "zesim.h"

#define ZESIM_EXPORT __attribute__((visibility("default")))

#define ZESIM_CALL(...) return ::zesim::Call(__func__, ##__VA_ARGS__)->*[&]() -> uint32_t
// The same for the few functions that return a text instead of a status: an injection
// (FailNext or NullNext) makes them return null, and the trace line ends in the text.
#define ZESIM_TEXT_CALL(...) return ::zesim::Call(__func__, ##__VA_ARGS__)->*[&]() -> const char *

namespace zesim {

ZESIM_EXPORT void putSigned(std::string &out, long long value);
ZESIM_EXPORT void putUnsigned(std::string &out, unsigned long long value);
ZESIM_EXPORT void putReal(std::string &out, double value, int digits);
ZESIM_EXPORT void putText(std::string &out, const char *text);
ZESIM_EXPORT void putPointer(std::string &out, const void *pointer);

// An input array whose length the call fixes: traced as [e1, e2, ...] or NULL.
template <class T> struct Array {
    const T *items;
    size_t count;
};
template <class T> Array<T> array(const T *items, size_t count) { return {items, count}; }

// Structures are traced through an overload `void describe(std::string &, const S &)`
// declared beside the structure's library (found by argument-dependent lookup).
template <class T, class = void> struct Describable : std::false_type {};
template <class T>
struct Describable<T, std::void_t<decltype(describe(std::declval<std::string &>(), std::declval<const T &>()))>>
    : std::true_type {};

template <class T> void put(std::string &out, const Array<T> &values);

template <class T> void put(std::string &out, const T &value) {
    if constexpr (std::is_same_v<T, bool>) {
        putUnsigned(out, value);
    } else if constexpr (std::is_enum_v<T>) {
        put(out, static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_integral_v<T>) {
        if constexpr (std::is_signed_v<T>)
            putSigned(out, value);
        else
            putUnsigned(out, value);
    } else if constexpr (std::is_same_v<T, float>) {
        putReal(out, value, 9);
    } else if constexpr (std::is_same_v<T, double>) {
        putReal(out, value, 17);
    } else if constexpr (std::is_same_v<T, const char *>) {
        putText(out, value);
    } else if constexpr (std::is_pointer_v<T>) {
        using Pointee = std::remove_pointer_t<T>;
        if constexpr (std::is_function_v<Pointee>) {
            putPointer(out, reinterpret_cast<const void *>(value));
        } else if constexpr (std::is_const_v<Pointee> && Describable<std::remove_const_t<Pointee>>::value) {
            if (value)
                describe(out, *value);  // a structure passed by pointer as input
            else
                out += "NULL";
        } else {
            putPointer(out, value);
        }
    } else {
        describe(out, value);  // a structure passed by value
    }
}

template <class T> void put(std::string &out, const Array<T> &values) {
    if (!values.items) {
        out += "NULL";
        return;
    }
    out += '[';
    for (size_t i = 0; i < values.count; ++i) {
        if (i) out += ", ";
        put(out, values.items[i]);
    }
    out += ']';
}

// Appends "a, b, c".
template <class... A> void putList(std::string &out, const A &...values) {
    [[maybe_unused]] const char *separator = "";
    ((out += separator, put(out, values), separator = ", "), ...);
}

enum class Injection { None, Fail, Null };

ZESIM_EXPORT extern std::atomic<bool> tracing;
ZESIM_EXPORT extern std::atomic<int> pendingInjections;
// Takes the next injection queued for `function`, if any.
ZESIM_EXPORT Injection takeInjection(const char *function, uint32_t *status);
ZESIM_EXPORT void record(std::string &&line);

// Pointer outputs (a non-const T**) are written as null by NullNext.
template <class T> void nullOutput(const T &value) {
    if constexpr (std::is_pointer_v<T>) {
        using Pointee = std::remove_pointer_t<T>;
        if constexpr (std::is_pointer_v<Pointee> && !std::is_const_v<Pointee>) {
            if (value) *value = nullptr;
        }
    }
}

class Call {
public:
    template <class... A> explicit Call(const char *function, const A &...args) {
        if (pendingInjections.load(std::memory_order_relaxed) > 0) injection_ = takeInjection(function, &status_);
        if (injection_ == Injection::Null) (nullOutput(args), ...);
        if (tracing.load(std::memory_order_relaxed)) {
            traced_ = true;
            line_ = function;
            line_ += '(';
            putList(line_, args...);
            line_ += ')';
        }
    }

    template <class Body> auto operator->*(Body &&body) {
        using Result = decltype(body());
        Result result;
        if (injection_ == Injection::None)
            result = body();
        else if constexpr (std::is_same_v<Result, uint32_t>)
            result = status_;
        else
            result = nullptr;  // a text function: null, whatever the injection
        if (traced_) {
            line_ += " = ";
            put(line_, result);
            line_ += '\n';
            record(std::move(line_));
        }
        return result;
    }

private:
    Injection injection_ = Injection::None;
    uint32_t status_ = 0;
    bool traced_ = false;
    std::string line_;
};

}  // namespace zesim
