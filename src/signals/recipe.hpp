// Parameter recipes: the lines a grid of crossing rules crosses, each computed once over the
// closes and shared by every set that crosses it, and the sets that cross them. Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backtest/backtest.hpp"
#include "signals/signal_run.hpp"

namespace cw {

enum class LineKind : std::uint8_t { close, sma, ema, level };

// A line: the closes, an average of them over `value` bars, or the level `value`.
struct Line {
    LineKind kind;
    double value;
};

// One set: the lines it crosses (indices into the recipe's lines), and its order values.
struct RecipeSet {
    std::size_t fast;
    std::size_t slow;
    double lots;
    double stop_loss;  // NaN: none
    double take_profit;
};

// Why a line cannot be drawn over `bars` bars, or nothing.
[[nodiscard]] std::optional<std::string> line_fault(const Line& line, std::size_t bars);

// Every line over the backtest's closes, on up to `threads` threads; each as ta computes it.
[[nodiscard]] std::vector<std::shared_ptr<const std::vector<double>>> draw_lines(
    const Backtest& backtest, const std::vector<Line>& lines, std::size_t threads);

// The sets, their entries made on the fly from the crossings of their lines.
[[nodiscard]] std::vector<SignalSet> crossing_sets(
    const std::vector<std::shared_ptr<const std::vector<double>>>& drawn,
    const std::vector<RecipeSet>& sets, bool down_exits);

}  // namespace cw
