// What the call boundary does with a failure.
#include "binding/boundary.hpp"

#include <cstdlib>
#include <exception>
#include <new>

namespace cw::detail {
namespace {

// The fault as a PanicException. If that type cannot be made (out of memory), the error of making
// it is raised instead: the fault itself has been reported on standard error already.
void raise_fault(std::string message) {
    if (PyErr_Occurred() != nullptr) {
        // Whatever was pending when the fault struck; the interpreter is never called with it set.
        PyErr_WriteUnraisable(nullptr);
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        report_fault("Failed to initialize new exception type.");
        return;
    }
    PyError::deferred(type, std::move(message)).restore();
}

}  // namespace

void set_caught_error() noexcept {
    try {
        try {
            throw;
        } catch (PyError& error) {
            std::move(error).restore();
        } catch (Panic& fault) {
            raise_fault(std::move(fault.message));
        } catch (const std::bad_alloc&) {
            // Running out of memory while growing a list is the caller's MemoryError, not a fault:
            // operations reserve what they need before they change anything.
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            report_fault(error.what());
            raise_fault(error.what());
        } catch (...) {
            report_fault("unknown exception");
            raise_fault("unknown exception");
        }
    } catch (...) {
        // A fault while reporting a fault (PanicException itself cannot be made).
        abort_uncaught();
    }
}

void abort_uncaught() noexcept {
    report_fault("uncaught panic at ffi boundary");
    std::abort();
}

}  // namespace cw::detail
