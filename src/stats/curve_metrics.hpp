// The heavy passes of a run's metrics over its equity curve and its closed trades, in the
// interpreter's own float arithmetic (correctly rounded sums, its sum of squares), so the figures
// come out bit for bit as candlewright.metrics computes them in Python. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ta/indicators.hpp"

namespace cw::metrics {

using ta::Values;

// Integers read at any byte stride.
struct Times {
    const std::byte* first = nullptr;
    std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(sizeof(std::int64_t));
    std::size_t size = 0;

    [[nodiscard]] std::int64_t operator[](std::size_t i) const noexcept;
};

// How the interpreter sums squares: math.sumprod's triple-length accumulation from 3.12 on,
// math.fsum of the products before.
enum class Squares : std::uint8_t { sumprod, fsum };

struct CurveFigures {
    double max_present = 0;                // NaN when every value is NaN
    std::int64_t first_nonpositive = -1;   // the first bar with equity <= 0, -1 for none
    double mean_return = 0;
    double stdev_return = 0;
    double downside_deviation = 0;
    double avg_depth = 0;
    std::int64_t max_duration = 0;
    double avg_duration = 0;
    std::int64_t max_bars = 0;
    double avg_bars = 0;
};

// Empty where the interpreter's result cannot be matched here (an infinite value, a sum that
// overflows midway, a duration past 64 bits): the caller computes those in Python.
// `returns` false leaves the return figures NaN (a wiped-out account has none).
std::optional<CurveFigures> curve_figures(Values equity, Times timestamps, double initial_cash,
                                          bool returns, Squares squares);

struct TradeColumns {
    Values pnl;
    Values commission;
    Values swap;  // empty, or one per trade
    Values lot_size;
    Times entry_time;
    Times exit_time;
};

struct TradeFigures {
    double mean_net = 0;
    double stdev_net = 0;
    std::int64_t wins = 0;
    double sum_wins = 0;
    std::int64_t losses = 0;
    double sum_losses = 0;
    double best = 0;   // NaN with no trade
    double worst = 0;
    std::int64_t run_wins = 0;
    std::int64_t run_losses = 0;
    double avg_duration = 0;
    std::optional<std::int64_t> max_duration;
    double commissions = 0;
    double spread_paid = 0;  // sum(lot_size * spread_per_lot)
    double swaps = 0;
};

std::optional<TradeFigures> trade_figures(const TradeColumns& trades, double spread_per_lot,
                                          Squares squares);

}  // namespace cw::metrics
