// The native side of candlewright.Backtest: made from a sequence of Bar or from six columns; run
// gives the raw results the package turns into a Result; the bars are readable as columns.
#include "backtest/backtest_type.hpp"

#include <cmath>
#include <string>
#include <tuple>

#include "account/account_type.hpp"
#include "account/journal_type.hpp"
#include "backtest/columns.hpp"
#include "binding/params.hpp"
#include "binding/text.hpp"
#include "engine/intake.hpp"
#include "backtest/bars_type.hpp"
#include "backtest/history_type.hpp"
#include "backtest/ticks_type.hpp"
#include "signals/recipe_type.hpp"
#include "signals/signals_type.hpp"

namespace cw {
namespace {

constexpr Signature<2> k_new{"Runner", "__new__", {"data", "account"}};
constexpr Signature<7> k_from_columns{
    "Runner",
    "from_columns",
    {"timestamp", "open", "high", "low", "close", "volume", "account"}};
// Per-bar spreads (times `spread_scale`: points to price units), per-bar conversion rates (or
// their reciprocals, for a rate quoted the other way), the rollovers crossed at each bar, and the
// ask's own bars (which set the spread).
constexpr Signature<9> k_with_values{"Runner",
                                     "with_values",
                                     {"spread", "spread_scale", "quote_to_account", "invert_rate",
                                      "nights", "ask_open", "ask_high", "ask_low", "ask_close"},
                                     0,
                                     0};
// Finer data inside the bars: finer Bars (with their ask's columns, if any) or Ticks (whose ask
// is read only by a run whose bars are the bid's), and the run's time units a second.
constexpr Signature<7> k_with_intrabar{
    "Runner",
    "with_intrabar",
    {"finer", "ask_open", "ask_high", "ask_low", "ask_close", "tick_asks", "per_second"},
    1,
    1};
constexpr Signature<2> k_run{"Runner", "run", {"strategy", "clock"}, 1, 2};

template <std::size_t N>
std::vector<double> values_of(const Args<N>& bound, std::size_t i, std::size_t rows) {
    if (!bound.given(i) || bound.template get<to_object>(i).get() == Py_None) {
        return {};
    }
    return doubles_from_column(bound.template get<to_object>(i).get(),
                               std::string(bound.name(i)), rows);
}

[[noreturn, gnu::cold]] void bad_ask(std::size_t bar, const std::string& what) {
    throw PyError::deferred(PyExc_ValueError,
                            concat({"ask at bar ", std::to_string(bar), ": ", what}));
}

// The ask's bars beside the bid's: each price finite, at or above the bid's (at every moment the
// ask is), within the bar's own range, and less than twice the bid, so that the spread taken as
// ask less bid is exact and the bid plus it gives the ask back to the bit.
std::vector<Bar> ask_bars(const std::vector<Bar>& bid, std::vector<double> open,
                          std::vector<double> high, std::vector<double> low,
                          std::vector<double> close) {
    for (const std::vector<double>* column : {&open, &high, &low, &close}) {
        if (column->size() != bid.size()) {
            throw PyError::deferred(PyExc_ValueError,
                                    "the ask needs its open, high, low and close for every bar");
        }
    }
    std::vector<Bar> ask;
    ask.reserve(bid.size());
    for (std::size_t i = 0; i < bid.size(); ++i) {
        const Bar& b = bid[i];
        const Bar a{b.timestamp, open[i], high[i], low[i], close[i], b.volume};
        for (const auto& [bid_price, ask_price, name] :
             {std::tuple{b.open, a.open, "open"}, std::tuple{b.high, a.high, "high"},
              std::tuple{b.low, a.low, "low"}, std::tuple{b.close, a.close, "close"}}) {
            if (!std::isfinite(ask_price)) {
                bad_ask(i, concat({"its ", name, " is not a finite number"}));
            }
            if (!(ask_price >= bid_price)) {
                bad_ask(i, concat({"its ", name, " is below the bid's: are the two sides swapped?"}));
            }
            if (!(ask_price <= bid_price * 2.0)) {
                bad_ask(i, concat({"its ", name, " is more than twice the bid's"}));
            }
        }
        if (!(a.low <= a.open && a.open <= a.high && a.low <= a.close && a.close <= a.high)) {
            bad_ask(i, "its open or close is outside its low..high");
        }
        ask.push_back(a);
    }
    return ask;
}

// The per-bar values given, or null if none is.
template <std::size_t N>
std::shared_ptr<const BarValues> bar_values(const Args<N>& bound, const std::vector<Bar>& bars) {
    const std::size_t rows = bars.size();
    constexpr std::size_t first = 0;
    BarValues values{values_of(bound, first, rows), values_of(bound, first + 2, rows),
                     values_of(bound, first + 4, rows), {}};
    const double scale = bound.template get_or<to_f64>(first + 1, 1.0);
    if (scale != 1.0) {
        for (double& spread : values.spread) {
            spread = spread * scale;
        }
    }
    if (bound.given(first + 3) && bound.template get<to_object>(first + 3).get() == Py_True) {
        for (double& rate : values.quote_to_account) {
            rate = 1.0 / rate;
        }
    }
    if (bound.given(5) || bound.given(6) || bound.given(7) || bound.given(8)) {
        values.ask = ask_bars(bars, values_of(bound, 5, rows), values_of(bound, 6, rows),
                              values_of(bound, 7, rows), values_of(bound, 8, rows));
        values.spread.assign(rows, 0.0);
        for (std::size_t i = 0; i < rows; ++i) {
            values.spread[i] = values.ask[i].close - bars[i].close;
        }
    }
    if (values.spread.empty() && values.quote_to_account.empty() && values.nights.empty()) {
        return nullptr;
    }
    return std::make_shared<const BarValues>(std::move(values));
}

template <std::size_t N>
Ref make(PyTypeObject* cls, BarRows data, const Args<N>& bound, std::size_t account_at) {
    PyObject* given = bound.template get<to_object>(account_at).get();
    const Account& account = receiver<Account>(given, account_class).record;
    Account fresh = make_broker<Ledger>(account.initial_cash, account.commission, account.spread,
                                        account.contract_size, account.quote_to_account);
    fresh.book.rules = account.book.rules;
    return new_instance(
        cls, Backtest{std::move(data), std::move(fresh), std::make_shared<CurveStore>(), nullptr,
                      nullptr});
}

// The same bars and account with these values bar by bar.
PyObject* backtest_with_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_with_values, args, nargs, kwnames);
        const Backtest& backtest = receiver<Backtest>(self, backtest_class).record;
        auto values = bar_values(bound, *backtest.data);
        return new_instance(Py_TYPE(self), Backtest{backtest.data, backtest.account,
                                                    std::make_shared<CurveStore>(),
                                                    std::move(values), backtest.inside});
    });
}

// The same bars, account and values, with exits resolved on finer data inside the bars.
PyObject* backtest_with_intrabar(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_with_intrabar, args, nargs, kwnames);
        const Backtest& backtest = receiver<Backtest>(self, backtest_class).record;
        PyObject* finer = bound.get<to_object>(0).get();
        const std::span<const Bar> bars(*backtest.data);
        std::shared_ptr<const Intrabar> inside;
        try {
            if (PyObject_TypeCheck(finer, ticks_class.type())) {
                const bool asks = bound.given(5) && bound.get<to_object>(5).get() == Py_True;
                const std::int64_t per_second = bound.given(6) ? bound.get<to_i64>(6) : 1;
                inside = std::make_shared<const Intrabar>(
                    finer_ticks(bars, ticks_of(finer), asks, per_second));
            } else {
                const BarRows rows = receiver<BarSeries>(finer, bars_class).record.rows;
                std::shared_ptr<const std::vector<Bar>> asks;
                if (bound.given(1) || bound.given(2) || bound.given(3) || bound.given(4)) {
                    const std::size_t count = rows->size();
                    asks = std::make_shared<const std::vector<Bar>>(ask_bars(
                        *rows, values_of(bound, 1, count), values_of(bound, 2, count),
                        values_of(bound, 3, count), values_of(bound, 4, count)));
                }
                inside = std::make_shared<const Intrabar>(finer_bars(bars, rows, std::move(asks)));
            }
        } catch (const std::invalid_argument& error) {
            throw PyError::deferred(PyExc_ValueError, error.what());
        }
        return new_instance(Py_TYPE(self),
                            Backtest{backtest.data, backtest.account,
                                     std::make_shared<CurveStore>(), backtest.values, inside});
    });
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
        PyObject* clock = bound.given(1) ? bound.get<to_object>(1).get() : nullptr;
        if (clock == Py_None) {
            clock = nullptr;
        }
        if (clock != nullptr) {
            (void)clock_of(clock);  // a Clock, or the TypeError
        }
        return run_backtest(backtest->record, bound.get<to_object>(0), clock);
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

// The bars as Bars, sharing them: what a result keeps of its backtest costs no copy.
PyObject* runner_bars(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        return new_series(BarSeries{receiver<Backtest>(self, backtest_class).record.data, {},
                                    nullptr});
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

// A per-bar value as the run reads it, or None when the account's own applies throughout.
template <auto Field>
PyObject* bar_values_column(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        const auto& values = receiver<Backtest>(self, backtest_class).record.values;
        if (!values || (values.get()->*Field).empty()) {
            return none();
        }
        return new_column(owned_column(std::shared_ptr<const std::vector<double>>(
            values, &(values.get()->*Field))));
    });
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
    {"bars", runner_bars, nullptr, "the bars as Bars, shared", nullptr},
    {"initial_cash", account_value<&Account::initial_cash>, nullptr, "", nullptr},
    {"commission", account_value<&Account::commission>, nullptr, "", nullptr},
    {"spread", account_value<&Account::spread>, nullptr, "", nullptr},
    {"contract_size", account_value<&Account::contract_size>, nullptr, "", nullptr},
    {"quote_to_account", account_value<&Account::quote_to_account>, nullptr, "", nullptr},
    {"bar_spread", bar_values_column<&BarValues::spread>, nullptr, "", nullptr},
    {"bar_rate", bar_values_column<&BarValues::quote_to_account>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"from_columns", method_entry(backtest_from_columns),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_columns($cls, timestamp, open, high, low, close, volume, account)\n--\n\n"},
    {"with_values", method_entry(backtest_with_values), METH_FASTCALL | METH_KEYWORDS,
     "with_values($self, *, spread=None, spread_scale=1.0, quote_to_account=None, "
     "invert_rate=False, nights=None, ask_open=None, ask_high=None, ask_low=None, "
     "ask_close=None)\n--\n\n"},
    {"with_intrabar", method_entry(backtest_with_intrabar), METH_FASTCALL | METH_KEYWORDS,
     "with_intrabar($self, finer, *, ask_open=None, ask_high=None, ask_low=None, "
     "ask_close=None, tick_asks=False, per_second=1)\n--\n\n"},
    {"run", method_entry(backtest_run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, strategy, clock=None)\n--\n\n"},
    {"run_signals", method_entry(runner_run_signals), METH_FASTCALL | METH_KEYWORDS,
     "run_signals($self, entries, exits, lots, stop_loss, take_profit, side, max_positions, "
     "threads, keep)\n--\n\n"},
    {"run_recipe", method_entry(runner_run_recipe), METH_FASTCALL | METH_KEYWORDS,
     "run_recipe($self, lines, sets, side, down_exits, max_positions, threads, keep)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(backtest_length)},
    {0, nullptr},
};

const ClassSpec k_spec{
    "candlewright._backtest.Runner",
    "Runner(data, account)\n--\n\n",
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

Ref new_guesses(const Guesses& guesses, bool inside) {
    Ref marks = require_object(PyList_New(static_cast<Py_ssize_t>(guesses.marks.size())));
    for (std::size_t i = 0; i < guesses.marks.size(); ++i) {
        const auto& [bar, how] = guesses.marks[i];
        const char* said = how == Guess::guessed    ? "guessed"
                           : how == Guess::resolved ? "resolved"
                                                    : "fell back";
        Ref bar_object = to_py(bar);
        Ref how_object = to_py(std::string_view(said));
        PyList_SET_ITEM(marks.get(), static_cast<Py_ssize_t>(i),
                        require_object(PyTuple_Pack(2, bar_object.get(), how_object.get()))
                            .release());
    }
    Ref ambiguous = to_py(guesses.ambiguous);
    Ref resolved = inside ? to_py(guesses.resolved) : none();
    Ref fell_back = inside ? to_py(guesses.fell_back) : none();
    return require_object(PyTuple_Pack(4, ambiguous.get(), resolved.get(), fell_back.get(),
                                       marks.get()));
}

}  // namespace cw
