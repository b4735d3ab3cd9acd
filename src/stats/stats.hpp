// The eleven result figures of a run, and their computation from the final account and the
// equity curve. Pure C++; cannot fail.
#pragma once

#include <cmath>
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

// The trades' part of the figures, one trade at a time in closing order: the three sums are each
// one running total in that order, as any other grouping changes the last bits. NaN fails every
// comparison, so it only reaches the plain sum.
struct TradeTally {
    std::uint64_t count = 0;
    std::uint64_t wins = 0;
    double sum = -0.0;
    double best = -std::numeric_limits<double>::infinity();
    double worst = std::numeric_limits<double>::infinity();
    double gross_profit = -0.0;
    double gross_loss = -0.0;

    void add(double p) noexcept {
        ++count;
        sum = sum + p;
        if (p > best) {
            best = p;
        }
        if (p < worst) {
            worst = p;
        }
        if (p > 0.0) {
            wins += 1;
            gross_profit = gross_profit + p;
        } else if (p < 0.0) {
            gross_loss = gross_loss + std::fabs(p);
        }
    }
};

// Reads the account's cash, initial cash and each trade's pnl; made for both books.
template <class Book>
[[nodiscard]] Stats compute_stats(const BrokerOf<Book>& broker,
                                  std::span<const double> equity_curve) noexcept;
// The same, for a run that followed its drawdown as it went.
template <class Book>
[[nodiscard]] Stats compute_stats(const BrokerOf<Book>& broker, const Drawdown& drawdown) noexcept;
// The same for a run that tallied its earlier trades as it went, and dropped them from the
// journal: `earlier` goes on with the trades still there.
template <class Book>
[[nodiscard]] Stats compute_stats(const BrokerOf<Book>& broker, const Drawdown& drawdown,
                                  TradeTally earlier) noexcept;

}  // namespace cw
