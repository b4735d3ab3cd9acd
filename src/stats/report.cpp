// The report's layout and its number formats.
#include "stats/report.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace cw {
namespace {

char* write_text(char* first, std::string_view text) noexcept {
    std::memcpy(first, text.data(), text.size());
    return first + text.size();
}

char* write_count(char* first, std::uint64_t count) noexcept {
    // 20 digits hold any u64; the report reserves that much for its count.
    return std::to_chars(first, first + 20, count).ptr;
}

}  // namespace

char* write_fixed(char* first, double x, int decimals) noexcept {
    // NaN prints without a sign whatever its sign bit; infinities take no decimals.
    if (std::isnan(x)) {
        return write_text(first, "NaN");
    }
    if (std::isinf(x)) {
        return write_text(first, x < 0.0 ? "-inf" : "inf");
    }
    char* out = first;
    if (std::signbit(x)) {
        *out++ = '-';
    }
    // to_chars rounds the exact binary value (ties to even) and never switches to an exponent.
    // The capacity covers the largest finite double, so it cannot run out of room.
    char* const last = first + fixed_capacity(decimals);
    return std::to_chars(out, last, std::fabs(x), std::chars_format::fixed, decimals).ptr;
}

ReportText render_report(const Stats& stats) noexcept {
    ReportText report;
    char* out = report.chars_.data();
    // Every label is 16 characters, so the values line up in column 17.
    auto line = [&out](std::string_view label, double value, int decimals, std::string_view after) {
        out = write_text(out, label);
        out = write_fixed(out, value, decimals);
        out = write_text(out, after);
    };
    out = write_text(out, "--- Backtest Results ---\n");
    line("Initial Cash:   ", stats.initial_cash, 2, "\n");
    line("Final Cash:     ", stats.final_cash, 2, "\n");
    line("Total Return:   ", stats.total_return_pct, 2, "%\n");
    out = write_text(out, "Trades:         ");
    out = write_count(out, stats.num_trades);
    out = write_text(out, "\n");
    line("Win Rate:       ", stats.win_rate_pct, 1, "%\n");
    line("Avg PnL:        ", stats.avg_pnl, 5, "\n");
    line("Best Trade:     ", stats.best_trade, 5, "\n");
    line("Worst Trade:    ", stats.worst_trade, 5, "\n");
    line("Profit Factor:  ", stats.profit_factor, 2, "\n");
    line("Max Drawdown:   ", stats.max_drawdown_pct, 2, "%");
    report.size_ = static_cast<std::size_t>(out - report.chars_.data());
    return report;
}

}  // namespace cw
