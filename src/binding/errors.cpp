// Python error values, internal faults and the PanicException type.
#include "binding/errors.hpp"

#include <cstdio>

#include "binding/once.hpp"
#include "binding/text.hpp"

namespace cw {
namespace {

constexpr const char* k_panic_doc =
    "The exception raised when native code of this module, called from Python, hits an internal "
    "fault.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";

OnceCell<PyObject*> g_panic_type;

// Source paths are reported from the source root, wherever the tree was built.
const char* short_path(const char* path) {
    const std::string_view full(path);
    const auto at = full.rfind("src/");
    return at == std::string_view::npos ? path : path + at;
}

// A PanicException raised by this module, caught by nobody in Python and fetched again here: the
// original fault goes on, after showing where it went through Python.
[[noreturn]] void resume_panic(Ref exc) {
    std::fputs("--- _candlewright is resuming an internal fault after fetching a PanicException "
               "from Python. ---\nPython stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(Ref::borrow(exc.get()).release());
    PyErr_PrintEx(0);
    std::string message = "Unwrapped panic from Python code";
    if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
        message = utf8_lossy(text.get());
    } else {
        PyErr_Clear();
    }
    throw Panic{std::move(message)};
}

}  // namespace

PyError PyError::fetch() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) {
        return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    // Before the type exists no exception can be of it, so fetching never has to make it: making
    // it can fail (out of memory) while an error is already in hand.
    if (g_panic_type.ready() &&
        reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) == g_panic_type.value()) {
        resume_panic(std::move(exc));
    }
    return PyError(std::move(exc));
}

PyError PyError::deferred(PyObject* type, std::string message) {
    return PyError(type, std::move(message));
}

PyError PyError::caused_by(Ref cause) && {
    if (value_) {
        PyException_SetCause(value_.get(), cause.release());
    } else {
        sets_cause_ = true;
        cause_ = std::move(cause);
    }
    return std::move(*this);
}

PyObject* PyError::type() const noexcept {
    return value_ ? reinterpret_cast<PyObject*>(Py_TYPE(value_.get())) : type_;
}

bool PyError::matches(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(this->type(), type) != 0;
}

std::string PyError::text() const {
    return value_ ? text_of(value_.get()) : message_;
}

Ref PyError::cause() const {
    return value_ ? Ref::steal(PyException_GetCause(value_.get())) : Ref::borrow(cause_.get());
}

Ref PyError::into_exception() && {
    if (value_) {
        return std::move(value_);
    }
    Ref message = Ref::steal(
        PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    Ref exc = message ? Ref::steal(PyObject_CallOneArg(type_, message.get())) : Ref();
    if (!exc) {
        return Ref::steal(PyErr_GetRaisedException());
    }
    if (sets_cause_) {
        PyException_SetCause(exc.get(), cause_.release());
    }
    return exc;
}

void PyError::restore() && {
    PyErr_SetRaisedException(std::move(*this).into_exception().release());
}

void report_fault(std::string_view message, std::source_location where) noexcept {
    std::fprintf(stderr, "_candlewright: internal fault on thread %lu at %s:%u:%u:\n%.*s\n",
                 PyThread_get_thread_ident(), short_path(where.file_name()), where.line(),
                 where.column(), static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Panic{std::move(message)};
}

void throw_pending() {
    throw PyError::fetch();
}

void result_object_failed(std::source_location where) {
    if (PyErr_Occurred() != nullptr) {
        PyErr_WriteUnraisable(nullptr);
    }
    panic("PyObject pointer is null", where);
}

PyError type_mismatch(PyObject* obj, PyObject* target_type) {
    const std::string target = qualname_of(target_type);
    std::string message =
        obj == Py_None
            ? concat({"'None' is not an instance of '", target, "'"})
            : concat({"'", qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj))),
                      "' object is not an instance of '", target, "'"});
    return PyError::deferred(PyExc_TypeError, std::move(message));
}

PyError argument_error(std::string_view name, PyError error) {
    // Only exactly TypeError gets the argument's name; its subclasses and other errors pass as
    // they are.
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    std::string message = concat({"argument '", name, "': ", error.text()});
    return PyError::deferred(PyExc_TypeError, std::move(message)).caused_by(error.cause());
}

PyObject* panic_exception_type() noexcept {
    struct NotMade {};
    try {
        return g_panic_type.get([] {
            PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", k_panic_doc,
                                                       PyExc_BaseException, nullptr);
            if (type == nullptr) {
                throw NotMade{};
            }
            return type;  // kept for the life of the process
        });
    } catch (...) {
        // Out of memory, or asked for again by code that making it ran (a finalizer) on this
        // thread. A later fault tries again.
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, "the PanicException type could not be made");
        }
        return nullptr;
    }
}

}  // namespace cw
