// The eleven result figures of a run, and their computation from the final account and the
// equity curve. Pure C++; cannot fail.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "broker/broker.hpp"

namespace cw {

struct Stats {
    double initial_cash;
    double final_cash;
    double total_return_pct;
    std::uint64_t num_trades;
    std::uint64_t num_wins;
    double win_rate_pct;
    double avg_pnl;
    double best_trade;
    double worst_trade;
    double profit_factor;
    double max_drawdown_pct;
};

// The largest fall below a running positive peak, in percent of the peak, taken point by point
// along an equity curve. A NaN point neither becomes the peak nor records a fall.
class Drawdown {
public:
    void see(double equity) noexcept {
        if (equity > peak_) {
            peak_ = equity;
            deepest_ = 0.0;
        }
        // Under one peak the percentage only grows with the fall (each rounding is monotonic),
        // so only a fall deeper than any before under the same peak can raise it: the division
        // is made for those alone. A point at the peak, or NaN, never gets past the test.
        if (peak_ > 0.0) {
            const double fall = peak_ - equity;
            if (fall > deepest_) [[unlikely]] {
                deepest_ = fall;
                const double ratio = fall / peak_;
                const double pct = ratio * 100.0;
                if (pct > pct_) {
                    pct_ = pct;
                }
            }
        }
    }
    [[nodiscard]] double pct() const noexcept { return pct_; }

private:
    double peak_ = -std::numeric_limits<double>::infinity();
    double deepest_ = 0.0;
    double pct_ = 0.0;
};

// Reads the account's cash, initial cash and each trade's pnl; made for both books.
template <class Book>
[[nodiscard]] Stats compute_stats(const BrokerOf<Book>& broker,
                                  std::span<const double> equity_curve) noexcept;
// The same, for a run that followed its drawdown as it went.
template <class Book>
[[nodiscard]] Stats compute_stats(const BrokerOf<Book>& broker, const Drawdown& drawdown) noexcept;

}  // namespace cw
