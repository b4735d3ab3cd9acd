// The call boundary: every entry from the interpreter runs its body through one of these, so no
// C++ exception ever unwinds into the interpreter. The one unwind that passes is a thread's own
// end: on 3.11 to 3.13 the interpreter ends a daemon thread that wakes during finalisation with
// pthread_exit, which unwinds the stack, and the C library aborts the process if anything stops
// that. So the entry points are not noexcept, and nothing but that unwind leaves them.
#pragma once

#include <cxxabi.h>

#include "binding/errors.hpp"

namespace cw {
namespace detail {
// Called inside a catch handler: sets the caught failure as the pending Python error.
[[gnu::cold]] void set_caught_error() noexcept;
// A fault that cannot be reported to Python ends the process.
[[noreturn, gnu::cold]] void abort_uncaught() noexcept;
}  // namespace detail

namespace detail {
// body()'s value, or `failed` with the failure set as the pending error.
template <class Body, class Result>
Result guarded(Body&& body, Result failed) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_caught_error();
        return failed;
    }
}
}  // namespace detail

// Constructors, methods, getters, repr: the body returns the result as a Ref.
template <class Body>
PyObject* boundary(Body&& body) {
    return detail::guarded([&] { return body().release(); }, static_cast<PyObject*>(nullptr));
}

// The module's execution step: 0, or -1 with the error pending.
template <class Body>
int exec_boundary(Body&& body) {
    return detail::guarded([&] { body(); return 0; }, -1);
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
