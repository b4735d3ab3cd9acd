// The native side of candlewright.Backtest: made from a sequence of Bar or from six columns; run
// gives the raw results the package turns into a Result; the bars are readable as columns.
#include "backtest/backtest_type.hpp"

#include "account/journal_type.hpp"
#include "backtest/columns.hpp"
#include "binding/params.hpp"
#include "engine/intake.hpp"
#include "ingest/series_type.hpp"

namespace cw {
namespace {

constexpr Signature<6> k_new{
    "Runner",
    "__new__",
    {"data", "initial_cash", "commission", "spread", "contract_size", "quote_to_account"}};
constexpr Signature<11> k_from_columns{
    "Runner",
    "from_columns",
    {"timestamp", "open", "high", "low", "close", "volume", "initial_cash", "commission", "spread",
     "contract_size", "quote_to_account"}};
constexpr Signature<1> k_run{"Runner", "run", {"strategy"}};

template <std::size_t N>
Ref make(PyTypeObject* cls, BarRows data, const Args<N>& bound, std::size_t first) {
    const double initial_cash = bound.template get<to_f64>(first);
    const double commission = bound.template get<to_f64>(first + 1);
    const double spread = bound.template get<to_f64>(first + 2);
    const double contract_size = bound.template get<to_f64>(first + 3);
    const double quote_to_account = bound.template get<to_f64>(first + 4);
    return new_instance(
        cls, Backtest{std::move(data),
                      make_broker<Ledger>(initial_cash, commission, spread, contract_size,
                                          quote_to_account),
                      std::make_shared<CurveStore>()});
}

PyObject* backtest_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(k_new, args, kwargs);
        PyObject* data = bound.get<to_object>(0).get();
        if (PyObject_TypeCheck(data, bars_class.type())) {
            // Loaded bars never change: shared, not copied.
            return make(cls, receiver<BarSeries>(data, bars_class).record.rows, bound, 1);
        }
        return make(cls, std::make_shared<const std::vector<Bar>>(bound.get<to_bars>(0)), bound,
                    1);
    });
}

PyObject* backtest_from_columns(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_from_columns, args, nargs, kwnames);
        return make(reinterpret_cast<PyTypeObject*>(cls),
                    std::make_shared<const std::vector<Bar>>(bars_from_columns(column_args(bound))),
                    bound, 6);
    });
}

PyObject* backtest_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_run, args, nargs, kwnames);
        const HeldReceiver<Backtest> backtest(self, backtest_class);
        // Nothing of the backtest changes in a run, so runs may nest or overlap.
        SharedAccess access(backtest->access);
        return run_backtest(backtest->record, bound.get<to_object>(0));
    });
}

// A column of one field of every bar, sharing the bars.
template <auto Field, ValueKind Kind>
PyObject* bar_column(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        const BarRows& rows = receiver<Backtest>(self, backtest_class).record.data;
        return new_column(field_column(rows, Field, Kind));
    });
}

Py_ssize_t backtest_length(PyObject* self) {
    try {
        return static_cast<Py_ssize_t>(receiver<Backtest>(self, backtest_class).record.data->size());
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

template <auto Field>
constexpr getter account_value = value_getter<Backtest, backtest_class, [](const Backtest& b) {
    return b.account.*Field;
}>;

PyGetSetDef g_getset[] = {
    {"timestamp", bar_column<&Bar::timestamp, ValueKind::i64>, nullptr, "", nullptr},
    {"open", bar_column<&Bar::open, ValueKind::f64>, nullptr, "", nullptr},
    {"high", bar_column<&Bar::high, ValueKind::f64>, nullptr, "", nullptr},
    {"low", bar_column<&Bar::low, ValueKind::f64>, nullptr, "", nullptr},
    {"close", bar_column<&Bar::close, ValueKind::f64>, nullptr, "", nullptr},
    {"volume", bar_column<&Bar::volume, ValueKind::f64>, nullptr, "", nullptr},
    {"initial_cash", account_value<&Account::initial_cash>, nullptr, "", nullptr},
    {"commission", account_value<&Account::commission>, nullptr, "", nullptr},
    {"spread", account_value<&Account::spread>, nullptr, "", nullptr},
    {"contract_size", account_value<&Account::contract_size>, nullptr, "", nullptr},
    {"quote_to_account", account_value<&Account::quote_to_account>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"from_columns", method_entry(backtest_from_columns),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_columns($cls, timestamp, open, high, low, close, volume, initial_cash, commission, "
     "spread, contract_size, quote_to_account)\n--\n\n"},
    {"run", method_entry(backtest_run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, strategy)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(backtest_length)},
    {0, nullptr},
};

const ClassSpec k_spec{
    "candlewright._backtest.Runner",
    "Runner(data, initial_cash, commission, spread, contract_size, quote_to_account)\n--\n\n",
    instance_size<Backtest>(),
    dealloc_instance<Backtest>,
    backtest_new,
    nullptr,
    g_methods,
    g_getset,
    g_slots,
};

}  // namespace

ClassCell backtest_class{k_spec};

}  // namespace cw
