// Runner.run_signals: signal runs, one set or many, from per-bar buffers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "binding/compat.hpp"
#include "binding/ref.hpp"
#include "signals/signal_run.hpp"

namespace cw {

// run_signals(entries, exits, lots, stop_loss, take_profit, side, max_positions, threads, keep)
// -> a list, per set, of (Stats, Trades, equity Column, exposed bars, refused orders), or of
// Stats alone when the journal and curve are not kept.
PyObject* runner_run_signals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// The arguments every signal call takes alike: side, max_positions, threads and keep, checked.
struct SignalCall {
    SignalRules rules;
    std::uint64_t threads;
    bool keep;
};
[[nodiscard]] SignalCall signal_call(PyObject* side, PyObject* max_positions, PyObject* threads,
                                     PyObject* keep);

// Runs `run` without the interpreter lock while this thread hears Ctrl-C: raises what Ctrl-C
// raised (it stops the other threads too, whatever one of them refused), or what is pending;
// otherwise gives the order the account refused, if any.
[[nodiscard]] std::optional<SignalRefusal> run_without_lock(
    const std::function<void(Watch&)>& run);

// `run`'s outcomes, made without the interpreter lock while this thread hears Ctrl-C, as the list
// run_signals returns: per set, (Stats, Trades, equity, exposed, refused, guesses), or its Stats
// alone when not kept. An order refused is raised in `call`'s name, with its set when there are
// many (`sets`).
[[nodiscard]] Ref run_unlocked(const Backtest& record, const char* call, std::size_t sets,
                               bool keep,
                               const std::function<std::vector<SignalOutcome>(Watch&)>& run);

// Whether this thread is the one that runs signal handlers, so that work done without the
// interpreter lock asks it about Ctrl-C now and then (no other thread need ask).
[[nodiscard]] bool handles_signals();

}  // namespace cw
