// Conversions between Python objects and native values; one rule per kind, used by every class.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "binding/errors.hpp"

namespace cw {

static_assert(sizeof(long) == sizeof(std::int64_t), "signed 64-bit values convert as C long");

// From Python. Each throws the interpreter's error on failure.

inline double to_f64(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) [[likely]] {
        return PyFloat_AS_DOUBLE(obj);
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    return value;
}

inline std::int64_t to_i64(PyObject* obj) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    return value;
}

std::uint64_t to_u64(PyObject* obj);

// A place or a count a Python caller gives (any integer-like object): ValueError if negative.
inline std::size_t to_place(PyObject* obj) {
    const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    if (value < 0) {
        throw PyError::deferred(PyExc_ValueError, "a place or a count must not be negative");
    }
    return static_cast<std::size_t>(value);
}

inline std::optional<double> to_optional_f64(PyObject* obj) {
    if (obj == Py_None) {
        return std::nullopt;
    }
    return to_f64(obj);
}

// Any object, held for the duration of the call.
inline Ref to_object(PyObject* obj) noexcept {
    return Ref::borrow(obj);
}

// Converts argument `name`; a failure is reported under that name.
template <auto Convert>
auto convert_arg(PyObject* obj, std::string_view name) -> decltype(Convert(obj)) {
    try {
        return Convert(obj);
    } catch (PyError& error) {
        throw argument_error(name, std::move(error));
    }
}

// To Python.

inline Ref to_py(double value) {
    return require_object(PyFloat_FromDouble(value));
}

inline Ref to_py(std::int64_t value) {
    return require_object(PyLong_FromLong(value));
}

inline Ref to_py(std::uint64_t value) {
    return require_object(PyLong_FromUnsignedLongLong(value));
}

inline Ref to_py(bool value) noexcept {
    return Ref::borrow(value ? Py_True : Py_False);
}

inline Ref to_py(std::optional<double> value) {
    return value ? to_py(*value) : Ref::borrow(Py_None);
}

inline Ref to_py(std::optional<std::int64_t> value) {
    return value ? to_py(*value) : Ref::borrow(Py_None);
}

inline Ref to_py(std::string_view text) {
    return require_object(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline Ref none() noexcept {
    return Ref::borrow(Py_None);
}

// A tuple of the values, each converted as to_py converts it.
template <class... Values>
Ref tuple_of(Values&&... values) {
    std::array<Ref, sizeof...(Values)> items{to_py(std::forward<Values>(values))...};
    Ref tuple = require(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

}  // namespace cw
