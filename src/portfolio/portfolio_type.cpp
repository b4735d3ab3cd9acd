// The native side of candlewright.Portfolio: its instruments' backtests on one timeline, and the
// run that steps them on one account.
#include "portfolio/portfolio_type.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "account/account_type.hpp"
#include "account/journal_type.hpp"
#include "backtest/backtest_type.hpp"
#include "backtest/columns.hpp"
#include "backtest/history_type.hpp"
#include "binding/params.hpp"
#include "binding/text.hpp"
#include "broker/pool.hpp"
#include "engine/loop.hpp"
#include "portfolio/portfolio.hpp"
#include "portfolio/signal_steps.hpp"
#include "portfolio/steps.hpp"
#include "signals/signals_type.hpp"
#include "stats/stats_type.hpp"

namespace cw {
namespace {

constexpr Signature<2> k_new{"PortfolioRunner", "__new__", {"runners", "conversions"}};
constexpr Signature<4> k_run{
    "PortfolioRunner", "run", {"strategy", "make_account", "symbols", "clocks"}, 3, 4};
constexpr Signature<1> k_steps_of{"PortfolioRunner", "steps_of", {"instrument"}};

[[noreturn, gnu::cold]] void wrong(PyObject* type, std::string message) {
    throw PyError::deferred(type, "PortfolioRunner: " + std::move(message));
}

// A tuple's items, or a TypeError naming what it should have been.
std::span<PyObject* const> items(PyObject* given, std::string_view what) {
    if (!PyTuple_Check(given)) {
        wrong(PyExc_TypeError, concat({what, " must be a tuple"}));
    }
    return {&PyTuple_GET_ITEM(given, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(given))};
}

Conversion conversion_of(PyObject* given, std::size_t count) {
    Conversion legs;
    if (given == Py_None) {
        return legs;
    }
    const std::span<PyObject* const> pairs = items(given, "a conversion");
    if (pairs.size() > 2) {
        wrong(PyExc_ValueError, "a conversion has at most two legs");
    }
    for (PyObject* pair : pairs) {
        const std::span<PyObject* const> leg = items(pair, "a leg");
        if (leg.size() != 2 || !PyBool_Check(leg[1])) {
            wrong(PyExc_TypeError, "a leg is (instrument number, inverted)");
        }
        const std::int64_t at = to_i64(leg[0]);
        if (at < 0 || static_cast<std::uint64_t>(at) >= count) {
            wrong(PyExc_ValueError, "a leg names an instrument the portfolio does not have");
        }
        legs.push_back(Leg{static_cast<std::uint32_t>(at), leg[1] == Py_True});
    }
    return legs;
}

PyObject* portfolio_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(k_new, args, kwargs);
        const std::span<PyObject* const> runners = items(bound.get<to_object>(0).get(), "runners");
        const std::span<PyObject* const> given = items(bound.get<to_object>(1).get(),
                                                       "conversions");
        if (runners.empty() || given.size() != runners.size() || runners.size() > 65535) {
            wrong(PyExc_ValueError, "one conversion per runner, and 1 to 65535 runners");
        }
        Portfolio portfolio;
        std::vector<std::span<const Bar>> series;
        for (PyObject* runner : runners) {
            portfolio.members.push_back(receiver<Backtest>(runner, backtest_class).record);
            series.emplace_back(*portfolio.members.back().data);
        }
        for (PyObject* legs : given) {
            portfolio.conversions.push_back(conversion_of(legs, runners.size()));
        }
        if (const auto at = unordered(series)) {
            wrong(PyExc_ValueError, concat({"instrument ", std::to_string(at->instrument),
                                            ": bar ", std::to_string(at->bar),
                                            " does not come after the bar before it"}));
        }
        portfolio.timeline = merge_times(series);
        return new_instance(cls, std::move(portfolio));
    });
}

// --- the run ---

AccountObject& as_account(const Ref& object) {
    return *reinterpret_cast<AccountObject*>(object.get());
}

PyObject* next_bar_name() {
    static OnceCell<PyObject*> name;
    return name.get([] { return require(PyUnicode_InternFromString("_next_bar")).release(); });
}

PyObject* account_name() {
    static OnceCell<PyObject*> name;
    return name.get([] { return require(PyUnicode_InternFromString("account")).release(); });
}

// The trades of every member in closing order, with the bar numbers of the run's steps, and the
// member each came from; each member's own journal keeps its own bar numbers.
struct Journals {
    std::vector<TradeRows> members;
    TradeRows merged;
    std::shared_ptr<const std::vector<double>> codes;
};

Journals journals_of(const Portfolio& portfolio, const std::vector<StepMember>& members) {
    Journals out;
    std::vector<std::pair<const TradeRow*, std::size_t>> order;
    for (std::size_t k = 0; k < members.size(); ++k) {
        const std::vector<TradeRow>& rows = members[k].account->trades;
        out.members.push_back(std::make_shared<const std::vector<TradeRow>>(rows));
        for (const TradeRow& row : *out.members.back()) {
            order.emplace_back(&row, k);
        }
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.first->closing < b.first->closing;
    });
    auto merged = std::make_shared<std::vector<TradeRow>>();
    auto codes = std::make_shared<std::vector<double>>();
    merged->reserve(order.size());
    codes->reserve(order.size());
    for (const auto& [row, k] : order) {
        const std::vector<std::uint32_t>& steps = portfolio.timeline.steps[k];
        auto step_of = [&steps](std::int64_t bar) {
            return bar >= 0 && static_cast<std::size_t>(bar) < steps.size()
                       ? static_cast<std::int64_t>(steps[static_cast<std::size_t>(bar)])
                       : bar;
        };
        // The stop-out closes a stale instrument's positions at the step's time, after its last
        // bar: the step a trade left at is the one of its exit time.
        auto exit_step_of = [&](const TradeRow& closed) {
            const std::int64_t step = step_of(closed.exit_bar);
            const std::vector<std::int64_t>& times = portfolio.timeline.times;
            if (step < 0 || static_cast<std::size_t>(step) >= times.size() ||
                times[static_cast<std::size_t>(step)] == closed.exit_time) {
                return step;
            }
            const auto at = std::lower_bound(times.begin() + static_cast<std::ptrdiff_t>(step),
                                             times.end(), closed.exit_time);
            return at != times.end() && *at == closed.exit_time
                       ? static_cast<std::int64_t>(at - times.begin())
                       : step;
        };
        merged->push_back(*row);
        merged->back().entry_bar = step_of(row->entry_bar);
        merged->back().exit_bar = exit_step_of(*row);
        codes->push_back(static_cast<double>(k));
    }
    out.merged = std::move(merged);
    out.codes = std::move(codes);
    return out;
}

// (stats, trades, equity, exposed steps, refused orders, each trade's member, per member
// (trades, exposed steps, refused orders), the account object) of a run that has ended.
Ref outcome_of(const Portfolio& portfolio, const std::vector<StepMember>& members,
               std::vector<double> curve, std::uint64_t exposed, PyObject* account_object) {
    const std::size_t count = members.size();
    Journals journals = journals_of(portfolio, members);
    std::uint64_t refused = 0;
    for (const StepMember& member : members) {
        refused += member.account->book.refusals;
    }
    const Account& first = *members.front().account;
    Account whole = make_broker<Ledger>(first.initial_cash, first.commission, first.spread,
                                        first.contract_size, first.quote_to_account);
    whole.cash = first.cash;
    whole.trades = *journals.merged;
    const Stats stats = compute_stats(whole, std::span<const double>(curve));

    Ref per_member = require(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t k = 0; k < count; ++k) {
        Ref trades = new_trades(journals.members[k]);
        Ref member_exposed = to_py(members[k].exposed);
        Ref member_refused = to_py(members[k].account->book.refusals);
        PyTuple_SET_ITEM(per_member.get(), static_cast<Py_ssize_t>(k),
                         require(PyTuple_Pack(3, trades.get(), member_exposed.get(),
                                              member_refused.get()))
                             .release());
    }
    Ref stats_object = new_stats(stats);
    Ref trades_object = new_trades(std::move(journals.merged));
    Ref equity_object = new_column(
        owned_column(std::make_shared<const std::vector<double>>(std::move(curve))));
    Ref codes_object = new_column(owned_column(std::move(journals.codes)));
    Ref exposed_object = to_py(exposed);
    Ref refused_object = to_py(refused);
    return require(PyTuple_Pack(8, stats_object.get(), trades_object.get(), equity_object.get(),
                                exposed_object.get(), refused_object.get(), codes_object.get(),
                                per_member.get(), account_object));
}

Ref run_portfolio(const Portfolio& portfolio, PyObject* strategy, PyObject* make_account,
                  PyObject* symbols, PyObject* clocks) {
    const std::size_t count = portfolio.members.size();
    const std::span<PyObject* const> keys = items(symbols, "symbols");
    if (keys.size() != count) {
        wrong(PyExc_ValueError, "one symbol per instrument");
    }
    std::vector<Ref> accounts;
    std::vector<StepMember> members;
    Ref member_tuple = require(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t k = 0; k < count; ++k) {
        const Backtest& backtest = portfolio.members[k];
        const Account& params = backtest.account;
        Account fresh = make_broker<Ledger>(params.initial_cash, params.commission, params.spread,
                                            params.contract_size, params.quote_to_account);
        fresh.book.rules = params.book.rules;
        fresh.book.use(backtest.values);
        accounts.push_back(new_account(std::move(fresh)));
        PyTuple_SET_ITEM(member_tuple.get(), static_cast<Py_ssize_t>(k),
                         Ref::borrow(accounts.back().get()).release());
        members.push_back(StepMember{&as_account(accounts.back()).record,
                                     std::span<const Bar>(*backtest.data), 0, 0});
    }
    std::vector<Clock*> member_clocks;
    if (clocks != nullptr) {
        const std::span<PyObject* const> given = items(clocks, "clocks");
        if (given.size() != count) {
            wrong(PyExc_ValueError, "one clock per instrument");
        }
        for (PyObject* clock : given) {
            member_clocks.push_back(&clock_of(clock));
        }
    }
    Ref account_object = require(PyObject_CallOneArg(make_account, member_tuple.get()));

    auto enter = [&accounts](std::size_t k) {
        return ExclusiveStep(as_account(accounts[k]).access);
    };
    Pool pool;
    std::vector<double> curve;
    curve.reserve(portfolio.timeline.size());
    std::uint64_t exposed = 0;
    {
        join_pool(pool, members);
        LeaveRun leave{pool, members};
        Pool* const shared = count > 1 ? &pool : nullptr;
        SignalCheck signals;
        auto after = [&signals] { signals.after(); };
        if (clocks == nullptr) {
            Ref step_bars = require(PyDict_New());
            std::vector<Ref> bars(count);
            PyObject* const next = names().next;
            exposed = run_steps(portfolio, members, shared, curve, enter,
                                [&](std::size_t, std::span<const std::uint32_t> present) {
                if (Py_REFCNT(step_bars.get()) == 1) {
                    PyDict_Clear(step_bars.get());
                } else {
                    step_bars = require(PyDict_New());
                }
                for (const std::uint32_t k : present) {
                    renew_bar(bars[k], members[k].bars[members[k].next - 1]);
                    require_ok(PyDict_SetItem(step_bars.get(), keys[k], bars[k].get()));
                }
                call_method(next, strategy, std::array{step_bars.get(), account_object.get()});
            }, after);
        } else {
            require_ok(PyObject_SetAttr(strategy, account_name(), account_object.get()));
            PyObject* const next = next_bar_name();
            exposed = run_steps(portfolio, members, shared, curve, enter,
                                [&](std::size_t, std::span<const std::uint32_t> present) {
                for (const std::uint32_t k : present) {
                    member_clocks[k]->now = static_cast<std::ptrdiff_t>(members[k].next);
                }
                call_method(next, strategy, std::array<PyObject*, 0>{});
            }, after);
        }
        close_at_end(members, enter);
    }
    if (clocks != nullptr) {
        require_ok(PyObject_SetAttr(strategy, account_name(), Py_None));
    }
    return outcome_of(portfolio, members, std::move(curve), exposed, account_object.get());
}

PyObject* portfolio_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_run, args, nargs, kwnames);
        const HeldReceiver<Portfolio> portfolio(self, portfolio_class);
        SharedAccess access(portfolio->access);
        PyObject* clocks = bound.given(3) ? bound.get<to_object>(3).get() : nullptr;
        if (clocks == Py_None) {
            clocks = nullptr;
        }
        return run_portfolio(portfolio->record, bound.get<to_object>(0).get(),
                             bound.get<to_object>(1).get(), bound.get<to_object>(2).get(),
                             clocks);
    });
}

// --- signal runs ---

constexpr Signature<8> k_run_signals{
    "PortfolioRunner",
    "run_signals",
    {"entries", "exits", "lots", "stop_loss", "take_profit", "side", "max_positions", "symbols"}};

[[noreturn, gnu::cold]] void refuse_signals(std::string message) {
    throw PyError::deferred(PyExc_ValueError, std::move(message));
}

// Where a value was read, for a refusal's words: a symbol and a step, or a symbol alone.
[[gnu::cold]] std::string place(const std::string& symbol, std::int64_t step) {
    return step < 0 ? symbol : concat({"step ", std::to_string(step), ", ", symbol});
}

// A table of a row per step and a column per instrument, held for the call; each instrument's
// values are read at its own steps only, so what stands at a step where it has no bar (a NaN
// left by aligning its series on the timeline) is never looked at.
class StepTable {
public:
    StepTable(PyObject* obj, const char* name, std::size_t steps, std::size_t count)
        : table_(obj, name, steps) {
        if (table_.sets() != count) {
            refuse_signals(concat({name, " must have a column per instrument (",
                                   std::to_string(count), "), not ",
                                   std::to_string(table_.sets())}));
        }
    }
    [[nodiscard]] const std::string& name() const noexcept { return table_.name(); }
    // `each(i, value)` for instrument k's bar i, at step steps[i].
    template <class Each>
    void gather(std::size_t k, const std::vector<std::uint32_t>& steps, Watch& watch,
                Each&& each) const {
        std::array<double, 4096> chunk{};
        const std::size_t rows = table_.rows();
        std::size_t i = 0;
        while (i < steps.size()) {
            const std::size_t first = steps[i];
            const std::size_t count = std::min(chunk.size(), rows - first);
            table_.read(k, first, count, chunk.data());
            for (; i < steps.size() && steps[i] < first + count; ++i) {
                each(i, chunk[steps[i] - first]);
            }
            watch.look();
        }
    }

    // The same for signs, -1, 0 or +1, and k_nan where the table holds NaN: booleans and bytes,
    // the usual signals, are read as they are, without a detour through doubles.
    template <class Each>
    void gather_signs(std::size_t k, const std::vector<std::uint32_t>& steps, Watch& watch,
                      Each&& each) const {
        std::array<std::int8_t, 4096> chunk{};
        const std::size_t rows = table_.rows();
        std::size_t i = 0;
        while (i < steps.size()) {
            const std::size_t first = steps[i];
            const std::size_t count = std::min(chunk.size(), rows - first);
            for (std::size_t at = 0; at < count;) {
                at += table_.read_signs(k, first + at, count - at, chunk.data() + at);
                if (at < count) {
                    chunk[at++] = k_nan;  // read on past it: a stale step's NaN is no fault
                }
            }
            for (; i < steps.size() && steps[i] < first + count; ++i) {
                each(i, chunk[steps[i] - first]);
            }
            watch.look();
        }
    }

    static constexpr std::int8_t k_nan = 2;

private:
    NumberTable table_;
};

// Entries or exits: each instrument's signs at its bars.
Signs signs_of(const StepTable& table, std::size_t k, const std::vector<std::uint32_t>& steps,
               const std::string& symbol, Watch& watch) {
    auto signs = std::make_shared<std::vector<std::int8_t>>(steps.size());
    std::int8_t* out = signs->data();
    table.gather_signs(k, steps, watch, [&](std::size_t i, std::int8_t sign) {
        if (sign == StepTable::k_nan) [[unlikely]] {
            refuse_signals(concat({table.name(), ": signals must be numbers, not NaN (at ",
                                   place(symbol, steps[i]), "); 0 is no signal"}));
        }
        out[i] = sign;
    });
    return signs;
}

// lots, stop_loss or take_profit: one number for every instrument and step, one per instrument
// (a tuple), or a table; None for no level where that is allowed.
class MemberValues {
public:
    MemberValues(PyObject* given, const char* name, std::size_t steps, std::size_t count,
                 bool is_lots)
        : name_(name), is_lots_(is_lots) {
        if (!is_lots && given == Py_None) {
            constants_.assign(count, std::nan(""));
        } else if (PyFloat_Check(given) || PyLong_Check(given)) {
            constants_.assign(count, convert_arg<to_f64>(given, name));
        } else if (PyTuple_Check(given)) {
            const std::span<PyObject* const> each = items(given, name);
            if (each.size() != count) {
                refuse_signals(concat({name, " must have a value per instrument (",
                                       std::to_string(count), "), not ",
                                       std::to_string(each.size())}));
            }
            for (PyObject* value : each) {
                constants_.push_back(!is_lots && value == Py_None
                                         ? std::nan("")
                                         : convert_arg<to_f64>(value, name));
            }
        } else {
            table_.emplace(given, name, steps, count);
        }
    }
    PerBar of(std::size_t k, const std::vector<std::uint32_t>& steps, const std::string& symbol,
              Watch& watch) const {
        if (!table_) {
            check(constants_[k], [&] { return place(symbol, -1); });
            return PerBar{constants_[k], nullptr};
        }
        auto values = std::make_shared<std::vector<double>>(steps.size());
        double* out = values->data();
        table_->gather(k, steps, watch, [&](std::size_t i, double value) {
            check(value, [&] { return place(symbol, steps[i]); });
            out[i] = value;
        });
        return PerBar{0.0, std::move(values)};
    }

private:
    template <class Place>
    void check(double value, Place&& where) const {
        if (is_lots_ && !(value > 0.0 && std::isfinite(value))) [[unlikely]] {
            refuse_signals(concat({name_, " must be positive and finite (", where(), ")"}));
        }
    }

    const char* name_;
    bool is_lots_;
    std::vector<double> constants_;  // one per instrument, without a table
    std::optional<StepTable> table_;
};

// Each instrument's set, its values read at its own bars.
std::vector<SignalSet> member_sets(const Portfolio& portfolio, const StepTable& entries,
                                   const std::optional<StepTable>& exits,
                                   const MemberValues& lots, const MemberValues& stops,
                                   const MemberValues& targets,
                                   const std::vector<std::string>& symbols, Watch& watch) {
    std::vector<SignalSet> sets;
    sets.reserve(symbols.size());
    for (std::size_t k = 0; k < symbols.size(); ++k) {
        const std::vector<std::uint32_t>& steps = portfolio.timeline.steps[k];
        const std::string& symbol = symbols[k];
        sets.push_back(SignalSet{signs_of(entries, k, steps, symbol, watch),
                                 exits ? signs_of(*exits, k, steps, symbol, watch) : nullptr,
                                 lots.of(k, steps, symbol, watch),
                                 stops.of(k, steps, symbol, watch),
                                 targets.of(k, steps, symbol, watch), {}});
    }
    return sets;
}

// The signal actions of each instrument at its bars, on one account, without the interpreter
// lock; the outcome is run()'s, with None for the account.
PyObject* portfolio_run_signals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_run_signals, args, nargs, kwnames);
        const HeldReceiver<Portfolio> held(self, portfolio_class);
        SharedAccess access(held->access);
        const Portfolio& portfolio = held->record;
        const std::size_t count = portfolio.members.size();
        const std::size_t steps = portfolio.timeline.size();

        const std::uint64_t side = convert_arg<to_u64>(bound.get<to_object>(5).get(), "side");
        const std::uint64_t max_positions =
            convert_arg<to_u64>(bound.get<to_object>(6).get(), "max_positions");
        if (side > 2) {
            refuse_signals("side must be 0 (long), 1 (short) or 2 (both)");
        }
        if (max_positions < 1) {
            refuse_signals("max_positions must be at least 1");
        }
        const std::span<PyObject* const> keys = items(bound.get<to_object>(7).get(), "symbols");
        if (keys.size() != count) {
            wrong(PyExc_ValueError, "one symbol per instrument");
        }
        std::vector<std::string> symbols;
        for (PyObject* key : keys) {
            symbols.emplace_back(text_of(key));
        }
        const SignalRules rules{static_cast<Side>(side), max_positions};
        const StepTable entries(bound.get<to_object>(0).get(), "entries", steps, count);
        std::optional<StepTable> exits;
        if (PyObject* given = bound.get<to_object>(1).get(); given != Py_None) {
            exits.emplace(given, "exits", steps, count);
        }
        const MemberValues lots(bound.get<to_object>(2).get(), "lots", steps, count, true);
        const MemberValues stops(bound.get<to_object>(3).get(), "stop_loss", steps, count, false);
        const MemberValues targets(bound.get<to_object>(4).get(), "take_profit", steps, count,
                                   false);

        PortfolioSignalRun run;
        const auto refused = run_without_lock([&](Watch& watch) {
            const std::vector<SignalSet> sets =
                member_sets(portfolio, entries, exits, lots, stops, targets, symbols, watch);
            run_portfolio_signals(portfolio, sets, rules, watch, run);
        });
        if (refused) {
            const std::vector<std::uint32_t>& own = portfolio.timeline.steps[refused->set];
            refuse_signals(concat({"run_signals(): ", symbols[refused->set], " at step ",
                                   std::to_string(own[refused->bar]), ": ", refused->reason}));
        }
        return outcome_of(portfolio, run.members, std::move(run.curve), run.exposed, Py_None);
    });
}

// A column of int64 values of its own.
Ref integer_column(std::vector<std::int64_t> values) {
    static const std::int64_t none = 0;
    auto owned = std::make_shared<const std::vector<std::int64_t>>(std::move(values));
    const auto* first =
        reinterpret_cast<const std::byte*>(owned->empty() ? &none : owned->data());
    const auto count = static_cast<std::ptrdiff_t>(owned->size());
    return new_column(Column{std::move(owned), first, count,
                             static_cast<std::ptrdiff_t>(sizeof(std::int64_t)), ValueKind::i64});
}

PyObject* portfolio_timestamp(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        const Timeline& timeline = receiver<Portfolio>(self, portfolio_class).record.timeline;
        return integer_column(timeline.times);
    });
}

// The step of each bar of one instrument.
PyObject* portfolio_steps_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_steps_of, args, nargs, kwnames);
        const Timeline& timeline = receiver<Portfolio>(self, portfolio_class).record.timeline;
        const std::int64_t k = bound.get<to_i64>(0);
        if (k < 0 || static_cast<std::size_t>(k) >= timeline.steps.size()) {
            throw PyError::deferred(PyExc_IndexError, "no such instrument");
        }
        const std::vector<std::uint32_t>& steps = timeline.steps[static_cast<std::size_t>(k)];
        return integer_column(std::vector<std::int64_t>(steps.begin(), steps.end()));
    });
}

Py_ssize_t portfolio_length(PyObject* self) {
    try {
        return static_cast<Py_ssize_t>(
            receiver<Portfolio>(self, portfolio_class).record.timeline.size());
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

PyGetSetDef g_getset[] = {
    {"timestamp", portfolio_timestamp, nullptr, "the time of every step", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"run", method_entry(portfolio_run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, strategy, make_account, symbols, clocks=None)\n--\n\n"},
    {"run_signals", method_entry(portfolio_run_signals), METH_FASTCALL | METH_KEYWORDS,
     "run_signals($self, entries, exits, lots, stop_loss, take_profit, side, max_positions, "
     "symbols)\n--\n\n"},
    {"steps_of", method_entry(portfolio_steps_of), METH_FASTCALL | METH_KEYWORDS,
     "steps_of($self, instrument)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(portfolio_length)},
    {0, nullptr},
};

const ClassSpec k_spec{
    "candlewright._backtest.PortfolioRunner",
    "PortfolioRunner(runners, conversions)\n--\n\n",
    instance_size<Portfolio>(),
    dealloc_instance<Portfolio>,
    portfolio_new,
    nullptr,
    g_methods,
    g_getset,
    g_slots,
};

constexpr Signature<1> k_pool_equity{"_backtest", "pool_equity", {"account"}};

// The whole account's value at every instrument's current close, read through any of its members;
// an account alone is valued at its bar's close, and with no bar it is its cash.
PyObject* pool_equity_of(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_pool_equity, args, nargs, kwnames);
        AccountObject& account = receiver<Account>(bound.get<to_object>(0).get(), account_class);
        SharedAccess access(account.access);
        const Account& record = account.record;
        if (record.book.pool != nullptr) {
            return to_py(pool_equity(*record.book.pool));
        }
        const Bar* bar = record.book.current;
        return to_py(bar != nullptr ? equity(record, bar->close) : record.cash);
    });
}

constexpr Signature<1> k_open_value{"_backtest", "open_value", {"account"}};

// One instrument's open positions, valued in the account currency at its current close.
PyObject* open_value_of(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_open_value, args, nargs, kwnames);
        AccountObject& account = receiver<Account>(bound.get<to_object>(0).get(), account_class);
        SharedAccess access(account.access);
        return to_py(member_open_value(account.record));
    });
}

}  // namespace

ClassCell portfolio_class{k_spec};

PyMethodDef portfolio_functions[] = {
    {"pool_equity", method_entry(pool_equity_of), METH_FASTCALL | METH_KEYWORDS,
     "pool_equity(account)\n--\n\nThe value of the account its portfolio's run trades on."},
    {"open_value", method_entry(open_value_of), METH_FASTCALL | METH_KEYWORDS,
     "open_value(account)\n--\n\nAn account's open positions, valued at its current close."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace cw
