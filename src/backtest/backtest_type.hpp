// The native side of candlewright.Backtest: bars and an account template, and the run.
#pragma once

#include "backtest/backtest.hpp"
#include "binding/classes.hpp"

namespace cw {

extern ClassCell backtest_class;

// Runs `strategy` over the bars on a fresh Account: (Stats, Trades, equity Column, the number of
// bars at whose close a position was open).
// `clock` (a Clock, or null): the strategy runs as a strategy class does, next() without
// arguments and its views ended at each bar by the clock.
// What a run's account counted of the bars the bar rules guess: (ambiguous, resolved on finer
// data or None, fell back or None, [(bar, "guessed" | "resolved" | "fell back"), ...]); the
// two counts are None without finer data.
[[nodiscard]] Ref new_guesses(const Guesses& guesses, bool inside);

[[nodiscard]] Ref run_backtest(const Backtest& backtest, Ref strategy, PyObject* clock = nullptr);

}  // namespace cw
