// Runner.run_recipe: a grid of crossing rules. The lines and sets are read with the interpreter
// lock held; the lines are drawn and the sets run without it, as run_signals runs its sets.
#include "signals/recipe_type.hpp"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "backtest/backtest_type.hpp"
#include "binding/params.hpp"
#include "binding/text.hpp"
#include "signals/recipe.hpp"
#include "signals/signals_type.hpp"

namespace cw {
namespace {

constexpr Signature<7> k_run_recipe{
    "Runner",
    "run_recipe",
    {"lines", "sets", "side", "down_exits", "max_positions", "threads", "keep"}};

[[noreturn, gnu::cold]] void refuse(std::string message) {
    throw PyError::deferred(PyExc_ValueError, std::move(message));
}

// The rows of a tuple or list, as a tuple: a list that a conversion's Python code changes
// meanwhile cannot change what is read.
Ref rows_of(PyObject* given, const char* name) {
    if (!PyTuple_Check(given) && !PyList_Check(given)) {
        throw PyError::deferred(PyExc_TypeError,
                                concat({name, " must be a tuple or list of tuples"}));
    }
    return require(PySequence_Tuple(given));
}

// Row `k` of `rows` as a tuple of `width` items.
Ref row_at(PyObject* rows, Py_ssize_t k, Py_ssize_t width, const char* name) {
    PyObject* given = PyTuple_GET_ITEM(rows, k);
    Ref row = (PyTuple_Check(given) || PyList_Check(given)) ? require(PySequence_Tuple(given))
                                                            : Ref();
    if (!row || PyTuple_GET_SIZE(row.get()) != width) {
        throw PyError::deferred(PyExc_TypeError,
                                concat({name, "[", std::to_string(k), "] must be a tuple of ",
                                        std::to_string(width), " numbers"}));
    }
    return row;
}

double item_f64(PyObject* row, Py_ssize_t i, const char* name) {
    return convert_arg<to_f64>(PyTuple_GET_ITEM(row, i), name);
}

std::vector<Line> read_lines(PyObject* given, std::size_t bars) {
    const Ref rows = rows_of(given, "lines");
    const Py_ssize_t count = PyTuple_GET_SIZE(rows.get());
    std::vector<Line> lines;
    lines.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        const Ref row = row_at(rows.get(), k, 2, "lines");
        const std::uint64_t kind = convert_arg<to_u64>(PyTuple_GET_ITEM(row.get(), 0), "kind");
        if (kind > static_cast<std::uint64_t>(LineKind::level)) {
            refuse(concat({"lines[", std::to_string(k),
                           "]: kind must be 0 (close), 1 (sma), 2 (ema) or 3 (level)"}));
        }
        const Line line{static_cast<LineKind>(kind), item_f64(row.get(), 1, "value")};
        if (const auto fault = line_fault(line, bars)) {
            refuse(concat({"lines[", std::to_string(k), "]: ", *fault}));
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<RecipeSet> read_sets(PyObject* given, std::size_t lines) {
    const Ref rows = rows_of(given, "sets");
    const Py_ssize_t count = PyTuple_GET_SIZE(rows.get());
    std::vector<RecipeSet> sets;
    sets.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        const Ref row = row_at(rows.get(), k, 5, "sets");
        const std::uint64_t fast = convert_arg<to_u64>(PyTuple_GET_ITEM(row.get(), 0), "fast");
        const std::uint64_t slow = convert_arg<to_u64>(PyTuple_GET_ITEM(row.get(), 1), "slow");
        const RecipeSet set{fast, slow, item_f64(row.get(), 2, "lots"),
                            item_f64(row.get(), 3, "stop_loss"),
                            item_f64(row.get(), 4, "take_profit")};
        const std::string where = concat({"sets[", std::to_string(k), "]: "});
        if (fast >= lines || slow >= lines) {
            refuse(concat({where, "a line index is not below the ", std::to_string(lines),
                           " lines"}));
        }
        if (!(set.lots > 0.0 && std::isfinite(set.lots))) {
            refuse(concat({where, "lots must be positive and finite"}));
        }
        sets.push_back(set);
    }
    return sets;
}

}  // namespace

PyObject* runner_run_recipe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_run_recipe, args, nargs, kwnames);
        const HeldReceiver<Backtest> backtest(self, backtest_class);
        SharedAccess access(backtest->access);
        const Backtest& record = backtest->record;

        const SignalCall given =
            signal_call(bound.get<to_object>(2).get(), bound.get<to_object>(4).get(),
                        bound.get<to_object>(5).get(), bound.get<to_object>(6).get());
        const bool down_exits = PyObject_IsTrue(bound.get<to_object>(3).get()) == 1;
        const std::vector<Line> lines = read_lines(bound.get<to_object>(0).get(),
                                                   record.data->size());
        const std::vector<RecipeSet> sets = read_sets(bound.get<to_object>(1).get(),
                                                      lines.size());
        return run_unlocked(record, "run_recipe", sets.size(), given.keep, [&](Watch& watch) {
            const auto drawn = draw_lines(record, lines, given.threads);
            watch.look();
            return run_signal_sets(record, crossing_sets(drawn, sets, down_exits), given.rules,
                                   given.keep, given.threads, watch);
        });
    });
}

}  // namespace cw
