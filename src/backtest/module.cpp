// The module candlewright._backtest. It runs on the classes of _candlewright itself, so a strategy
// sees the one Bar class and a run returns a real Stats: both are taken from that module at import
// and checked to have the instance size this module was built for.
#include "account/account_type.hpp"
#include "account/journal_type.hpp"
#include "backtest/backtest_type.hpp"
#include "binding/registry.hpp"
#include "backtest/bars_type.hpp"
#include "backtest/history_type.hpp"
#include "backtest/ticks_type.hpp"
#include "backtest/keeping.hpp"
#include "market/bar_type.hpp"
#include "portfolio/portfolio_type.hpp"
#include "stats/curve_metrics_type.hpp"
#include "stats/stats_type.hpp"
#include "ta/ta_type.hpp"

namespace cw {
namespace {

void adopt_core_classes() {
    Ref core = require(PyImport_ImportModule("_candlewright"));
    for (ClassCell* cell : {&bar_class, &stats_class}) {
        const std::string_view name = cell->name();
        Ref type = require(PyObject_GetAttrString(core.get(), std::string(name).c_str()));
        cell->adopt(type.get(), "_candlewright");
    }
}

int exec_module(PyObject* module) {
    return exec_boundary([module] {
        begin_exec(module, "candlewright._backtest");
        adopt_core_classes();
        for (ClassCell* cell : {&account_class, &position_class, &order_class, &trade_class,
                                &trades_class, &column_class, &backtest_class, &bars_class,
                                &clock_class, &history_class, &portfolio_class, &ticks_class}) {
            add_class(module, *cell);
        }
        require_ok(PyModule_AddFunctions(module, keeping_functions));
        require_ok(PyModule_AddFunctions(module, ta_functions));
        require_ok(PyModule_AddFunctions(module, curve_metrics_functions));
        require_ok(PyModule_AddFunctions(module, history_functions));
        require_ok(PyModule_AddFunctions(module, portfolio_functions));
        require_ok(PyModule_AddFunctions(module, ticks_functions));
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    CW_SLOT_GIL_NOT_USED
    CW_SLOT_SINGLE_INTERPRETER
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "candlewright._backtest",
    "The native side of candlewright's Backtest, Account and trade journal.",
    0,
    loading_functions,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace cw

PyMODINIT_FUNC PyInit__backtest() {
    return PyModuleDef_Init(&cw::g_module);
}
