// Runner.run_recipe: a grid of crossing rules, each line drawn once, natively and on threads.
#pragma once

#include "binding/compat.hpp"

namespace cw {

// run_recipe(lines, sets, side, down_exits, max_positions, threads, keep): `lines` a tuple of
// (kind, value), kind 0 the closes, 1 an sma and 2 an ema of `value` bars, 3 the level `value`;
// `sets` a tuple of (fast line, slow line, lots, stop_loss, take_profit), NaN for no level.
// Returns what run_signals returns for as many sets.
PyObject* runner_run_recipe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace cw
