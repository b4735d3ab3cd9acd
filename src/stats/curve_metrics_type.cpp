// Binding of the metrics' passes: columns read through the buffer protocol where they lie (any
// stride, no copy), the arithmetic run unlocked, the figures handed back as one tuple, or None
// where only the Python reference gives the interpreter's result.
#include "stats/curve_metrics_type.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/boundary.hpp"
#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/classes.hpp"
#include "binding/params.hpp"
#include "binding/text.hpp"
#include "binding/unlocked.hpp"
#include "stats/curve_metrics.hpp"

namespace cw {
namespace {

// The interpreter this module is built for decides how it sums squares.
constexpr metrics::Squares k_squares =
    PY_VERSION_HEX >= 0x030C0000 ? metrics::Squares::sumprod : metrics::Squares::fsum;

[[noreturn, gnu::cold]] void refuse_buffer(std::string_view name, std::string_view wanted) {
    throw PyError::deferred(PyExc_TypeError,
                            concat({"'", name, "' must be a one-dimensional buffer of ", wanted}));
}

[[noreturn, gnu::cold]] void refuse_length(std::string_view name, std::size_t got,
                                           std::size_t wanted) {
    throw PyError::deferred(PyExc_ValueError,
                            concat({"'", name, "' holds ", std::to_string(got), " values, not ",
                                    std::to_string(wanted)}));
}

// A one-dimensional column of 8-byte items of one of `codes`, read where it lies.
class Column {
public:
    template <class View>
    View take(PyObject* obj, std::string_view name, std::string_view codes,
              std::string_view wanted) {
        if (!held_.try_take(obj, PyBUF_RECORDS_RO)) {
            PyErr_Clear();
            refuse_buffer(name, wanted);
        }
        const Py_buffer& view = held_.view();
        const char* format = view.format != nullptr ? view.format : "B";
        if (*format == '@' || *format == '=' || *format == '<') {
            ++format;
        }
        if (view.ndim != 1 || format[0] == 0 || format[1] != 0 ||
            codes.find(format[0]) == std::string_view::npos || view.itemsize != 8) {
            refuse_buffer(name, wanted);
        }
        return View{static_cast<const std::byte*>(view.buf), view.strides[0],
                    static_cast<std::size_t>(view.shape[0])};
    }

private:
    HeldBuffer held_;
};

metrics::Values doubles(Column& held, PyObject* obj, std::string_view name) {
    return held.take<metrics::Values>(obj, name, "d", "float64 values");
}

metrics::Times times(Column& held, PyObject* obj, std::string_view name) {
    return held.take<metrics::Times>(obj, name, "lq", "int64 values");
}

template <std::size_t N>
PyObject* arg(const Args<N>& bound, std::size_t i) {
    return bound.template get<to_object>(i).get();
}

bool to_truth(PyObject* obj) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        throw_pending();
    }
    return truth == 1;
}

constexpr Signature<4> k_curve{
    "_backtest", "_curve_metrics", {"equity", "timestamps", "initial_cash", "returns"}};
constexpr Signature<7> k_trades{
    "_backtest",
    "_trade_metrics",
    {"pnl", "commission", "swap", "lot_size", "entry_time", "exit_time", "spread_per_lot"}};

PyObject* curve_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return boundary([&]() -> Ref {
        const auto bound = bind(k_curve, args, nargs, kwnames);
        std::array<Column, 2> held;
        const metrics::Values equity = doubles(held[0], arg(bound, 0), bound.name(0));
        const metrics::Times timestamps = times(held[1], arg(bound, 1), bound.name(1));
        if (timestamps.size != equity.size) {
            refuse_length(bound.name(1), timestamps.size, equity.size);
        }
        const double initial_cash = bound.get<to_f64>(2);
        const bool returns = bound.get<to_truth>(3);
        std::optional<metrics::CurveFigures> figures;
        {
            WithoutInterpreterLock released;
            figures = metrics::curve_figures(equity, timestamps, initial_cash, returns, k_squares);
        }
        if (!figures) {
            return none();
        }
        const metrics::CurveFigures& f = *figures;
        return tuple_of(f.max_present, f.first_nonpositive, f.mean_return, f.stdev_return,
                        f.downside_deviation, f.avg_depth, f.max_duration, f.avg_duration,
                        f.max_bars, f.avg_bars);
    });
}

PyObject* trades_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return boundary([&]() -> Ref {
        const auto bound = bind(k_trades, args, nargs, kwnames);
        std::array<Column, 6> held;
        metrics::TradeColumns columns{
            doubles(held[0], arg(bound, 0), bound.name(0)),
            doubles(held[1], arg(bound, 1), bound.name(1)),
            doubles(held[2], arg(bound, 2), bound.name(2)),
            doubles(held[3], arg(bound, 3), bound.name(3)),
            times(held[4], arg(bound, 4), bound.name(4)),
            times(held[5], arg(bound, 5), bound.name(5)),
        };
        const std::size_t n = columns.pnl.size;
        const std::array<std::size_t, 4> sizes{columns.commission.size, columns.lot_size.size,
                                               columns.entry_time.size, columns.exit_time.size};
        const std::array<std::size_t, 4> places{1, 3, 4, 5};
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            if (sizes[i] != n) {
                refuse_length(bound.name(places[i]), sizes[i], n);
            }
        }
        const double spread_per_lot = bound.get<to_f64>(6);
        std::optional<metrics::TradeFigures> figures;
        {
            WithoutInterpreterLock released;
            figures = metrics::trade_figures(columns, spread_per_lot, k_squares);
        }
        if (!figures) {
            return none();
        }
        const metrics::TradeFigures& f = *figures;
        return tuple_of(f.mean_net, f.stdev_net, f.wins, f.sum_wins, f.losses, f.sum_losses,
                        f.best, f.worst, f.run_wins, f.run_losses, f.avg_duration,
                        f.max_duration, f.commissions, f.spread_paid, f.swaps);
    });
}

constexpr int k_flags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef curve_metrics_functions[] = {
    {"_curve_metrics", method_entry(curve_entry), k_flags,
     "_curve_metrics(equity, timestamps, initial_cash, returns)\n--\n\nThe metrics' passes "
     "over an equity curve, or None where only the Python reference is exact."},
    {"_trade_metrics", method_entry(trades_entry), k_flags,
     "_trade_metrics(pnl, commission, swap, lot_size, entry_time, exit_time, spread_per_lot)"
     "\n--\n\nThe metrics' passes over closed trades, or None where only the Python reference "
     "is exact."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace cw
