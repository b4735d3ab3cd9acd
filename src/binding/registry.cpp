// What a module's execution step does: the check that keeps the process-wide classes in the main
// interpreter, and each class added under its name and listed in __all__.
#include "binding/registry.hpp"

#include "binding/names.hpp"
#include "binding/text.hpp"

namespace cw {
namespace {

// The module's __all__ list, made and set if the module has none.
Ref module_all(PyObject* module) {
    PyObject* key = names().all;
    if (Ref all = Ref::steal(PyObject_GetAttr(module, key))) {
        if (!PyList_Check(all.get())) {
            throw type_mismatch(all.get(), &PyList_Type);
        }
        return all;
    }
    PyError error = PyError::fetch();
    if (!error.matches(PyExc_AttributeError)) {
        throw std::move(error);
    }
    Ref all = require(PyList_New(0));
    require_ok(PyObject_SetAttr(module, key, all.get()));
    return all;
}

// The class objects are process-wide and keep the main interpreter's state (version tags,
// attributes set on them), so no other interpreter may get them, not even one that shares the
// main interpreter's lock and so passes the interpreter's own check.
void refuse_subinterpreter(std::string_view module) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw PyError::deferred(
            PyExc_ImportError,
            concat({"module ", module, " does not support loading in subinterpreters"}));
    }
}

}  // namespace

// An import that runs out of memory fails with the MemoryError, as any import does: the new
// objects of this step are the import's, not results of a call that could not be made.
void add_class(PyObject* module, ClassCell& cell) {
    PyTypeObject* type = cell.get();
    const std::string_view text = cell.name();
    Ref name =
        require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref all = module_all(module);
    if (PyList_Append(all.get(), name.get()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            throw_pending();
        }
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    require_ok(PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)));
}

void begin_exec(PyObject* module, std::string_view name) {
    if (module == nullptr) {
        throw PyError::fetch();
    }
    refuse_subinterpreter(name);
    if (!PyModule_Check(module)) {
        throw type_mismatch(module, &PyModule_Type);
    }
    // Made with the module, where failing (out of memory) is just a failed import, rather than at
    // the first internal fault, which could come when memory has run out.
    if (panic_exception_type() == nullptr) {
        throw_pending();
    }
}

}  // namespace cw
