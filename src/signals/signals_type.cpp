// Runner.run_signals: the buffers are read into sets while the interpreter lock is held, the sets
// run without it, and the results are made once it is back.
#include "signals/signals_type.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include <unistd.h>

#include "account/journal_type.hpp"
#include "backtest/backtest_type.hpp"
#include "backtest/columns.hpp"
#include "binding/params.hpp"
#include "binding/text.hpp"
#include "binding/unlocked.hpp"
#include "signals/signal_run.hpp"
#include "stats/stats_type.hpp"

namespace cw {
namespace {

constexpr Signature<9> k_run_signals{"Runner",
                                     "run_signals",
                                     {"entries", "exits", "lots", "stop_loss", "take_profit",
                                      "side", "max_positions", "threads", "keep"}};

[[noreturn]] void refuse(std::string message) {
    throw PyError::deferred(PyExc_ValueError, std::move(message));
}

std::string where(const NumberTable& table, std::size_t set, std::size_t bar) {
    return concat({table.name(), " at bar ", std::to_string(bar),
                   table.sets() > 1 ? concat({", set ", std::to_string(set)}) : std::string()});
}

// A per-bar argument read once per set it has (one, shared, or one each), checked as it is read.
// A one-set table is read once, before the sets start; the others a block of sets at a time, on
// the thread that runs them.
template <class Value, class Read>
class Input {
public:
    static constexpr bool k_signs = std::is_same_v<Value, std::int8_t>;
    // Signs may be the caller's own bytes, read where they lie.
    using Column = std::conditional_t<k_signs, Signs, std::shared_ptr<const std::vector<Value>>>;
    Input(PyObject* obj, const char* name, std::size_t rows, Read read)
        : table_(obj, name, rows), read_(read) {}
    [[nodiscard]] std::size_t sets() const noexcept { return table_.sets(); }
    void check(std::size_t sets) const {
        if (table_.sets() != 1 && table_.sets() != sets) {
            refuse(concat({table_.name(), " has ", std::to_string(table_.sets()),
                           " sets, but entries has ", std::to_string(sets)}));
        }
    }
    // Before the sets start: a one-set table's values, shared by every set.
    void share(Watch& watch) {
        if (table_.sets() == 1) {
            std::vector<Column> one(1);
            read_block(0, one, watch);
            shared_ = std::move(one[0]);
        }
    }
    // Sets `first` to `first + out.size()`. Read a piece of rows for every set of the block in
    // turn, so a C-ordered table's rows are fetched once for the block, not once a set.
    void block(std::size_t first, std::span<Column> out, Watch& watch) const {
        if (shared_) {
            std::fill(out.begin(), out.end(), shared_);
            return;
        }
        read_block(first, out, watch);
    }

private:
    void read_block(std::size_t first, std::span<Column> out, Watch& watch) const {
        const std::size_t rows = table_.rows();
        std::vector<std::shared_ptr<std::vector<Value>>> made(out.size());
        for (std::size_t k = 0; k < out.size(); ++k) {
            if constexpr (k_signs) {
                // The table outlives the run, which so needs no owner for them.
                if (const std::int8_t* in_place = table_.signs_in_place(first + k)) {
                    out[k] = Signs(in_place, nullptr);
                    continue;
                }
            }
            made[k] = std::make_shared<std::vector<Value>>(rows);
        }
        constexpr std::size_t k_piece = 1024;
        std::array<double, k_piece> chunk{};
        for (std::size_t row = 0; row < rows; row += k_piece) {
            const std::size_t count = std::min(k_piece, rows - row);
            for (std::size_t k = 0; k < out.size(); ++k) {
                if (!made[k]) {
                    continue;
                }
                const std::size_t set = first + k;
                Value* into = made[k]->data() + row;
                if constexpr (k_signs) {
                    const std::size_t read = table_.read_signs(set, row, count, into);
                    if (read != count) {
                        refuse(concat({"signals must be numbers, not NaN (",
                                       where(table_, set, row + read), "); 0 is no signal"}));
                    }
                } else {
                    table_.read(set, row, count, chunk.data());
                    for (std::size_t i = 0; i < count; ++i) {
                        into[i] = read_(chunk[i], [&] { return where(table_, set, row + i); });
                    }
                }
            }
            watch.look();
        }
        for (std::size_t k = 0; k < out.size(); ++k) {
            if (made[k]) {
                out[k] = std::move(made[k]);
            }
        }
    }

    NumberTable table_;
    Read read_;
    Column shared_;  // a one-set table's, for every set
};

// Signals need no reader: the table reads them as signs itself (NumberTable::read_signs).
constexpr auto as_signs = [](double value, auto /*place*/) {
    return static_cast<std::int8_t>(value);
};
constexpr auto any_number = [](double value, auto /*place*/) { return value; };
constexpr auto lot_size = [](double value, auto place) {
    if (!(value > 0.0 && std::isfinite(value))) {
        refuse(concat({"lots must be positive and finite (", place(), ")"}));
    }
    return value;
};

// A number for every bar, None (no level) where allowed, or a buffer.
template <class Read>
class Values {
public:
    Values(PyObject* given, const char* name, std::size_t rows, std::size_t sets, Read read,
           bool optional) {
        if (optional && given == Py_None) {
            return;
        }
        if (PyFloat_Check(given) || PyLong_Check(given)) {
            const double value = convert_arg<to_f64>(given, name);
            constant_.constant = read(value, [] { return std::string("every bar"); });
            return;
        }
        input_.emplace(given, name, rows, read);
        input_->check(sets);
    }
    void share(Watch& watch) {
        if (input_) {
            input_->share(watch);
        }
    }
    // Each set's, into `out`'s member `field`.
    void block(std::size_t first, std::span<SignalSet> out, PerBar SignalSet::*field,
               Watch& watch) const {
        if (!input_) {
            for (SignalSet& set : out) {
                set.*field = constant_;
            }
            return;
        }
        std::vector<std::shared_ptr<const std::vector<double>>> columns(out.size());
        input_->block(first, columns, watch);
        for (std::size_t k = 0; k < out.size(); ++k) {
            out[k].*field = PerBar{0.0, std::move(columns[k])};
        }
    }

private:
    PerBar constant_;
    std::optional<Input<double, Read>> input_;
};

using SignInput = Input<std::int8_t, decltype(as_signs)>;

// The per-bar arguments: their buffers taken and shapes checked with the interpreter lock held,
// their values read into sets without it (nothing in the reading is Python's), a block of sets at
// a time on the threads that run them.
class SetReader final : public SetSource {
public:
    SetReader(const Args<9>& bound, std::size_t rows)
        : entries_(bound.get<to_object>(0).get(), "entries", rows, as_signs),
          count_(entries_.sets()),
          lots_(bound.get<to_object>(2).get(), "lots", rows, count_, lot_size, false),
          stops_(bound.get<to_object>(3).get(), "stop_loss", rows, count_, any_number, true),
          targets_(bound.get<to_object>(4).get(), "take_profit", rows, count_, any_number, true) {
        if (PyObject* given = bound.get<to_object>(1).get(); given != Py_None) {
            exits_.emplace(given, "exits", rows, as_signs);
            exits_->check(count_);
        }
    }
    // Without the lock, before the sets start: what every set shares.
    void share(Watch& watch) {
        entries_.share(watch);
        if (exits_) {
            exits_->share(watch);
        }
        lots_.share(watch);
        stops_.share(watch);
        targets_.share(watch);
    }
    [[nodiscard]] std::size_t count() const noexcept override { return count_; }
    void make(std::size_t first, std::span<SignalSet> out, Watch& watch) override {
        std::vector<SignInput::Column> signs(out.size());
        entries_.block(first, signs, watch);
        for (std::size_t k = 0; k < out.size(); ++k) {
            out[k].entries = std::move(signs[k]);
        }
        if (exits_) {
            exits_->block(first, signs, watch);
            for (std::size_t k = 0; k < out.size(); ++k) {
                out[k].exits = std::move(signs[k]);
            }
        }
        lots_.block(first, out, &SignalSet::lots, watch);
        stops_.block(first, out, &SignalSet::stop_loss, watch);
        targets_.block(first, out, &SignalSet::take_profit, watch);
    }

private:
    SignInput entries_;
    std::size_t count_;
    Values<decltype(lot_size)> lots_;
    Values<decltype(any_number)> stops_;
    Values<decltype(any_number)> targets_;
    std::optional<SignInput> exits_;
};

Ref outcome_object(SignalOutcome&& outcome, bool keep, bool inside) {
    Ref stats = new_stats(outcome.stats);
    if (!keep) {
        return stats;
    }
    Ref trades = new_trades(std::move(outcome.trades));
    Ref equity = new_column(owned_column(std::move(outcome.equity)));
    Ref exposed = to_py(outcome.exposed);
    Ref refused = to_py(outcome.refused);
    Ref guesses = new_guesses(outcome.guesses, inside);
    return require_object(PyTuple_Pack(6, stats.get(), trades.get(), equity.get(), exposed.get(),
                                       refused.get(), guesses.get()));
}

}  // namespace

// Only the main thread of the main interpreter runs signal handlers: any other thread would take
// the interpreter lock back every few milliseconds for nothing, and wait for it each time. Which
// thread that is, is asked of the threading module once a process (a fork makes the forking thread
// the main one): the asking runs Python code, where a signal handler may run and raise, and that
// error is kept.
bool handles_signals() {
    if (PyThreadState_GetInterpreter(PyThreadState_Get()) != PyInterpreterState_Main()) {
        return false;
    }
    static std::atomic<pid_t> known_in{-1};
    static std::atomic<unsigned long> main_thread{0};
    const pid_t process = getpid();
    if (known_in.load(std::memory_order_acquire) != process) {
        const Ref threading = require(PyImport_ImportModule("threading"));
        const Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        const Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
        const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
        if (PyErr_Occurred() != nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw_pending();  // Ctrl-C came meanwhile
            }
            PyErr_Clear();
            return true;  // asking costs a little time, not asking the answer to Ctrl-C
        }
        main_thread.store(id, std::memory_order_relaxed);
        known_in.store(process, std::memory_order_release);
    }
    return main_thread.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
}

SignalCall signal_call(PyObject* side, PyObject* max_positions, PyObject* threads,
                       PyObject* keep) {
    const std::uint64_t sides = convert_arg<to_u64>(side, "side");
    const std::uint64_t most = convert_arg<to_u64>(max_positions, "max_positions");
    const std::uint64_t count = convert_arg<to_u64>(threads, "threads");
    if (sides > 2) {
        refuse("side must be 0 (long), 1 (short) or 2 (both)");
    }
    if (most < 1 || count < 1) {
        refuse("max_positions and threads must be at least 1");
    }
    return SignalCall{SignalRules{static_cast<Side>(sides), most}, count,
                      PyObject_IsTrue(keep) == 1};
}

std::optional<SignalRefusal> run_without_lock(const std::function<void(Watch&)>& run) {
    std::optional<SignalRefusal> refused;
    std::atomic<bool> stop{false};
    const bool asks = handles_signals();
    {
        WithoutInterpreterLock unlocked;
        const std::function<bool()> keep_going = [&] { return unlocked.signals_pass(); };
        Watch watch(stop, asks ? &keep_going : nullptr);
        try {
            run(watch);
        } catch (SignalRefusal& refusal) {
            refused = std::move(refusal);
        } catch (SignalsStopped&) {  // the handler's exception is pending
        }
    }
    if ((stop.load() && PyErr_Occurred() != nullptr) ||
        (!refused && (stop.load() || PyErr_Occurred() != nullptr))) {
        throw_pending();
    }
    return refused;
}

Ref run_unlocked(const Backtest& record, const char* call, std::size_t sets, bool keep,
                 const std::function<std::vector<SignalOutcome>(Watch&)>& run) {
    std::vector<SignalOutcome> outcomes;
    if (const auto refused = run_without_lock([&](Watch& watch) { outcomes = run(watch); })) {
        refuse(concat({call, "(): ", sets > 1 ? "set " : "",
                       sets > 1 ? std::to_string(refused->set) + ", " : "", "at bar ",
                       std::to_string(refused->bar), ": ", refused->reason}));
    }
    const bool inside = record.inside != nullptr;
    Ref list = require_object(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        outcome_object(std::move(outcomes[i]), keep, inside).release());
    }
    return list;
}

PyObject* runner_run_signals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_run_signals, args, nargs, kwnames);
        const HeldReceiver<Backtest> backtest(self, backtest_class);
        SharedAccess access(backtest->access);
        const Backtest& record = backtest->record;
        const SignalCall given =
            signal_call(bound.get<to_object>(5).get(), bound.get<to_object>(6).get(),
                        bound.get<to_object>(7).get(), bound.get<to_object>(8).get());
        SetReader reader(bound, record.data->size());
        return run_unlocked(record, "run_signals", reader.count(), given.keep, [&](Watch& watch) {
            reader.share(watch);
            return run_signal_sets(record, reader, given.rules, given.keep, given.threads, watch);
        });
    });
}

}  // namespace cw
