// The module definition, its init function and its execution step.
#include "binding/classes.hpp"
#include "binding/names.hpp"
#include "broker/broker_type.hpp"
#include "engine/engine_type.hpp"
#include "market/bar_type.hpp"
#include "stats/stats_type.hpp"

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
    Ref all = require_object(PyList_New(0));
    require_ok(PyObject_SetAttr(module, key, all.get()));
    return all;
}

void add_class(PyObject* module, ClassCell& cell) {
    PyTypeObject* type = cell.get();
    Ref name = to_py(cell.name());
    Ref all = module_all(module);
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    require_ok(PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)));
}

// The class objects are process-wide and keep the main interpreter's state (version tags,
// attributes set on them), so no other interpreter may get them, not even one that shares the
// main interpreter's lock and so passes the interpreter's own check.
void refuse_subinterpreter() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw PyError::deferred(PyExc_ImportError,
                                "module _candlewright does not support loading in subinterpreters");
    }
}

int exec_module(PyObject* module) {
    return exec_boundary([module] {
        if (module == nullptr) {
            throw PyError::fetch();
        }
        refuse_subinterpreter();
        if (!PyModule_Check(module)) {
            throw type_mismatch(module, &PyModule_Type);
        }
        for (ClassCell* cell : {&bar_class, &stats_class, &broker_class, &engine_class}) {
            add_class(module, *cell);
        }
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    CW_SLOT_GIL_NOT_USED
    // An interpreter with a lock of its own refuses the module before it is made; the execution
    // step refuses the others.
    CW_SLOT_SINGLE_INTERPRETER
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_candlewright",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace cw

PyMODINIT_FUNC PyInit__candlewright() {
    return PyModuleDef_Init(&cw::g_module);
}
