// The module definition, its init function and its execution step.
#include "binding/classes.hpp"
#include "binding/registry.hpp"
#include "broker/broker_type.hpp"
#include "engine/engine_type.hpp"
#include "market/bar_type.hpp"
#include "stats/stats_type.hpp"

namespace cw {
namespace {

int exec_module(PyObject* module) {
    return exec_boundary([module] {
        begin_exec(module, "_candlewright");
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
