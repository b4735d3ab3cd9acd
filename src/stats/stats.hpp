// The eleven result figures of a run, and their computation from the final account and the
// equity curve. Pure C++; cannot fail.
#pragma once

#include <cstdint>
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

// Reads the account's cash, initial cash and each trade's pnl; made for both books.
template <class Book>
[[nodiscard]] Stats compute_stats(const BrokerOf<Book>& broker,
                                  std::span<const double> equity_curve) noexcept;

}  // namespace cw
