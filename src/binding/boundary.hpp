// The call boundary: every entry from the interpreter runs its body through one of these, so no
// C++ exception ever unwinds into the interpreter.
#pragma once

#include "binding/errors.hpp"

namespace cw {
namespace detail {
// Called inside a catch handler: sets the caught failure as the pending Python error.
[[gnu::cold]] void set_caught_error() noexcept;
// A fault that cannot be reported to Python ends the process.
[[noreturn, gnu::cold]] void abort_uncaught() noexcept;
}  // namespace detail

// Constructors, methods, getters, repr: the body returns the result as a Ref.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        detail::set_caught_error();
        return nullptr;
    }
}

// The module's execution step: 0, or -1 with the error pending.
template <class Body>
int exec_boundary(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

// Deallocation has nobody to report to.
template <class Body>
void dealloc_boundary(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        detail::abort_uncaught();
    }
}

}  // namespace cw
