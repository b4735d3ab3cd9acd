// The result figures of a run: one pass over the trades, one over the equity curve (or none, for
// a run that followed its drawdown as it went).
#include "stats/stats.hpp"

#include <cmath>
#include <limits>

#include "broker/ledger.hpp"

namespace cw {

template <class Book>
Stats compute_stats(const BrokerOf<Book>& broker, std::span<const double> equity_curve) noexcept {
    Drawdown drawdown;
    for (const double e : equity_curve) {
        drawdown.see(e);
    }
    return compute_stats(broker, drawdown);
}

template <class Book>
Stats compute_stats(const BrokerOf<Book>& broker, const Drawdown& drawdown) noexcept {
    return compute_stats(broker, drawdown, TradeTally{});
}

template <class Book>
Stats compute_stats(const BrokerOf<Book>& broker, const Drawdown& drawdown,
                    TradeTally f) noexcept {
    Stats stats{};
    stats.initial_cash = broker.initial_cash;
    stats.final_cash = broker.cash;

    // Divide before scaling: 3 -> 4 must give 33.33333333333333, not ...336.
    const double gain = stats.final_cash - stats.initial_cash;
    const double return_ratio = gain / stats.initial_cash;
    stats.total_return_pct = return_ratio * 100.0;

    for (const auto& trade : broker.trades) {
        f.add(trade.pnl);
    }
    const std::uint64_t n = f.count;
    stats.num_trades = n;
    stats.num_wins = f.wins;
    if (n == 0) {
        stats.win_rate_pct = 0.0;
        stats.avg_pnl = 0.0;
        stats.best_trade = 0.0;
        stats.worst_trade = 0.0;
    } else {
        const double trades = static_cast<double>(n);
        const double win_ratio = static_cast<double>(f.wins) / trades;
        stats.win_rate_pct = win_ratio * 100.0;
        stats.avg_pnl = f.sum / trades;
        stats.best_trade = f.best;
        stats.worst_trade = f.worst;
    }
    // Without a loss the factor is unbounded; with losses only, it is -0.0 / GL = -0.0.
    stats.profit_factor = f.gross_loss > 0.0 ? f.gross_profit / f.gross_loss
                                             : std::numeric_limits<double>::infinity();
    stats.max_drawdown_pct = drawdown.pct();
    return stats;
}

template Stats compute_stats(const Broker&, std::span<const double>) noexcept;
template Stats compute_stats(const Account&, std::span<const double>) noexcept;
template Stats compute_stats(const Account&, const Drawdown&) noexcept;
template Stats compute_stats(const Account&, const Drawdown&, TradeTally) noexcept;

}  // namespace cw
