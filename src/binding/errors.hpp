// How failures travel from where they happen to the call boundary: PyError for Python errors
// (made or deferred), Panic for internal faults, and the helpers that raise them.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace cw {

// A Python error: an exception object already made, or a type and a message that become one only
// when the error is set as the pending error or inspected. It may carry a cause (__cause__).
class PyError {
public:
    // Takes the pending error; a PanicException that travelled through Python code resumes the
    // internal fault instead (throws Panic).
    [[nodiscard]] static PyError fetch();
    [[nodiscard]] static PyError deferred(PyObject* type, std::string message);
    [[nodiscard]] PyError caused_by(Ref cause) &&;

    // The exception type, without making the exception.
    [[nodiscard]] PyObject* type() const noexcept;
    [[nodiscard]] bool matches(PyObject* type) const noexcept;  // this type or a subclass
    // str() of the exception value.
    [[nodiscard]] std::string text() const;
    // The value's __cause__ (null if none).
    [[nodiscard]] Ref cause() const;

    // The exception object; a failure to make it is returned in its place.
    [[nodiscard]] Ref into_exception() &&;
    // Sets the error as the interpreter's pending error.
    void restore() &&;

private:
    explicit PyError(Ref value) noexcept : value_(std::move(value)) {}
    PyError(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}

    Ref value_;                  // the exception, if made
    PyObject* type_ = nullptr;   // deferred: a type that lives as long as the process
    std::string message_;        // deferred: the single argument
    bool sets_cause_ = false;    // deferred: set __cause__ (to cause_, possibly null)
    Ref cause_;
};

// An internal fault: a broken invariant of the module itself. The call boundary raises it as
// PanicException; where it cannot (reporting, deallocation) the process aborts.
struct Panic {
    std::string message;
};

// Writes a fault report (thread, source location, message) to standard error.
[[gnu::cold]] void report_fault(std::string_view message,
                                std::source_location where = std::source_location::current()) noexcept;
// Reports the fault and throws Panic.
[[noreturn, gnu::cold]] void panic(std::string message,
                                   std::source_location where = std::source_location::current());

// Throws the pending error.
[[noreturn, gnu::cold]] void throw_pending();

// A new reference from an interpreter call that reports failure with null and a pending error.
inline Ref require(PyObject* new_ref) {
    if (new_ref == nullptr) [[unlikely]] {
        throw_pending();
    }
    return Ref::steal(new_ref);
}

inline void require_ok(int status) {
    if (status < 0) [[unlikely]] {
        throw_pending();
    }
}

[[noreturn, gnu::cold]] void result_object_failed(std::source_location where);

// A result object (float, int, str, list, tuple) the interpreter had to make: failing to make one
// is an internal fault, not an error of the caller's.
inline Ref require_object(PyObject* new_ref,
                          std::source_location where = std::source_location::current()) {
    if (new_ref == nullptr) [[unlikely]] {
        result_object_failed(where);
    }
    return Ref::steal(new_ref);
}

// "'float' object is not an instance of 'Bar'"
[[nodiscard, gnu::cold]] PyError type_mismatch(PyObject* obj, PyObject* target_type);
inline PyError type_mismatch(PyObject* obj, PyTypeObject* target_type) {
    return type_mismatch(obj, reinterpret_cast<PyObject*>(target_type));
}

// A conversion of argument `name` failed with `error`.
[[nodiscard, gnu::cold]] PyError argument_error(std::string_view name, PyError error);

// The PanicException type, created on first need; null, with the error of making it pending, if
// it cannot be made now.
[[nodiscard]] PyObject* panic_exception_type() noexcept;

}  // namespace cw
