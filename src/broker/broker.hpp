// The simulated account: open positions, closed trades, cash and the five account parameters,
// with the operations that change them. Pure C++; every operation either completes or (only on
// std::bad_alloc) leaves the account exactly as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "market/bar.hpp"

namespace cw {

struct Position {
    std::optional<double> stop_loss;    // as passed, no spread applied
    std::optional<double> take_profit;  // as passed, no spread applied
    std::uint64_t id;                   // number of open positions just before this one
    double entry_price;                 // requested price + spread (long) or - spread (short)
    double lot_size;
    std::int64_t entry_time;
    bool is_long;
};

struct Trade {
    double entry_price;
    double exit_price;  // exit level - spread (long) or + spread (short)
    double lot_size;
    double pnl;         // account currency
    std::int64_t entry_time;
    std::int64_t exit_time;
    bool is_long;
};

struct Broker {
    std::vector<Position> positions;  // opening order
    std::vector<Trade> trades;        // closing order
    double cash;
    double initial_cash;
    double commission;        // per lot, account currency, charged at opening only
    double spread;            // price units, in full at entry and at exit
    double contract_size;     // units per lot
    double quote_to_account;  // quote currency -> account currency
};

[[nodiscard]] Broker make_broker(double initial_cash, double commission, double spread,
                                 double contract_size, double quote_to_account);

// buy (is_long) or sell.
void open_position(Broker& broker, bool is_long, double price, double lot_size,
                   std::int64_t timestamp, std::optional<double> stop_loss,
                   std::optional<double> take_profit);
// Closes the oldest open position with this id; an unknown id does nothing.
void close_position(Broker& broker, std::uint64_t id, double price, std::int64_t timestamp);
// Closes every open position, oldest first, at one level and time.
void close_all(Broker& broker, double price, std::int64_t timestamp);
// Value of the account at `price`; the run loop's equity points are this same value. Inline: the
// run loop values the account on every bar.
[[nodiscard]] inline double equity(const Broker& broker, double price) noexcept {
    double open_pnl = -0.0;
    for (const Position& position : broker.positions) {
        const double diff = position.is_long ? price - position.entry_price
                                             : position.entry_price - price;
        const double quote = (diff * position.lot_size) * broker.contract_size;
        const double term = quote * broker.quote_to_account;
        open_pnl = open_pnl + term;
    }
    // Cash last: the run loop's equity points add it in the same place.
    return open_pnl + broker.cash;
}

// check_exits with at least one position open.
void check_open_exits(Broker& broker, const Bar& bar);

// Closes the positions whose stop-loss or take-profit the bar reached, oldest first. The run loop
// calls this on every bar, mostly with nothing open: then it costs no call.
inline void check_exits(Broker& broker, const Bar& bar) {
    if (!broker.positions.empty()) {
        check_open_exits(broker, bar);
    }
}

}  // namespace cw
