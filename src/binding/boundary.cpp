// What the call boundary does with a failure.
#include "binding/boundary.hpp"

#include <cstdlib>
#include <exception>
#include <new>

namespace cw::detail {
namespace {

void raise_fault(std::string message) {
    PyError::deferred(panic_exception_type(), std::move(message)).restore();
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
