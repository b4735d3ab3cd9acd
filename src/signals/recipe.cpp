// The lines of a recipe drawn with ta's own kernels, so a recipe's run and a run of the arrays
// ta gives agree to the bit.
#include "signals/recipe.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <thread>

#include "ta/indicators.hpp"

namespace cw {
namespace {

// The closes are read from one contiguous copy: ta's kernels read a column of Bars, at its stride
// of 48 bytes, about five times slower, to the same values.
void draw(const std::vector<double>& closes, const Line& line, std::vector<double>& out) noexcept {
    const ta::Values x{reinterpret_cast<const std::byte*>(closes.data()),
                       static_cast<std::ptrdiff_t>(sizeof(double)), closes.size()};
    switch (line.kind) {
        case LineKind::close:
            return;  // the copy itself
        case LineKind::sma:
            ta::sma(x, static_cast<std::size_t>(line.value), out.data());
            return;
        case LineKind::ema:
            ta::ema(x, static_cast<std::size_t>(line.value), out.data());
            return;
        case LineKind::level:
            std::fill(out.begin(), out.end(), line.value);
            return;
    }
}

}  // namespace

std::optional<std::string> line_fault(const Line& line, std::size_t bars) {
    switch (line.kind) {
        case LineKind::close:
            return std::nullopt;
        case LineKind::level:
            if (!std::isfinite(line.value)) {
                return std::string("a level must be a finite price");
            }
            return std::nullopt;
        case LineKind::sma:
        case LineKind::ema:
            if (!(line.value >= 1.0) || line.value != std::floor(line.value)) {
                return std::string("a window must be a whole number of bars >= 1");
            }
            if (line.value > static_cast<double>(bars)) {
                // As a double: a window beyond 2^64 has no integer to print it as.
                std::array<char, 32> window{};
                (void)std::snprintf(window.data(), window.size(), "%.0f", line.value);
                return "a window of " + std::string(window.data()) + " bars is longer than the " +
                       std::to_string(bars) + " bars";
            }
            return std::nullopt;
    }
    return std::string("unknown line kind");
}

std::vector<std::shared_ptr<const std::vector<double>>> draw_lines(
    const Backtest& backtest, const std::vector<Line>& lines, std::size_t threads) {
    const std::vector<Bar>& data = *backtest.data;
    auto closes = std::make_shared<std::vector<double>>(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        (*closes)[i] = data[i].close;
    }
    // Allocated here, so that the drawing, on any thread, cannot fail.
    std::vector<std::shared_ptr<std::vector<double>>> made;
    made.reserve(lines.size());
    for (const Line& line : lines) {
        made.push_back(line.kind == LineKind::close
                           ? closes
                           : std::make_shared<std::vector<double>>(data.size()));
    }
    std::atomic<std::size_t> next{0};
    auto work = [&]() noexcept {
        for (std::size_t k = next++; k < lines.size(); k = next++) {
            draw(*closes, lines[k], *made[k]);
        }
    };
    // A line of a million bars takes a millisecond or two: a second thread pays only with a few.
    const std::size_t helpers = std::min(threads, lines.size() / 2);
    std::vector<std::thread> pool;
    pool.reserve(helpers);
    for (std::size_t t = 1; t < helpers; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // the threads there are draw them all
        }
    }
    work();
    for (std::thread& thread : pool) {
        thread.join();
    }
    return {made.begin(), made.end()};
}

std::vector<SignalSet> crossing_sets(
    const std::vector<std::shared_ptr<const std::vector<double>>>& drawn,
    const std::vector<RecipeSet>& sets, bool down_exits) {
    std::vector<SignalSet> out;
    out.reserve(sets.size());
    for (const RecipeSet& set : sets) {
        SignalSet made;
        made.lots.constant = set.lots;
        made.stop_loss.constant = set.stop_loss;
        made.take_profit.constant = set.take_profit;
        made.crossing = Crossing{drawn[set.fast], drawn[set.slow], down_exits};
        out.push_back(std::move(made));
    }
    return out;
}

}  // namespace cw
