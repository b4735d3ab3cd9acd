// Runner.run_signals: signal runs, one set or many, from per-bar buffers.
#pragma once

#include "binding/compat.hpp"
#include "binding/ref.hpp"
#include "signals/signal_run.hpp"

namespace cw {

// run_signals(entries, exits, lots, stop_loss, take_profit, side, max_positions, threads, keep)
// -> a list, per set, of (Stats, Trades, equity Column, exposed bars, refused orders), or of
// Stats alone when the journal and curve are not kept.
PyObject* runner_run_signals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// A set's outcome as run_signals returns it: (Stats, Trades, equity, exposed, refused, guesses),
// or its Stats alone when not kept. `inside`: the backtest has finer data.
[[nodiscard]] Ref outcome_object(SignalOutcome&& outcome, bool keep, bool inside);

// Whether this thread is the one that runs signal handlers, so that work done without the
// interpreter lock asks it about Ctrl-C now and then (no other thread need ask).
[[nodiscard]] bool handles_signals();

}  // namespace cw
