// The closing rule and the exit levels, shared by the operations every account has (broker.cpp)
// and those only the Account has (account_ops.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>

#include "broker/broker.hpp"

namespace cw::closing {

// Makes room for `extra` more trades before anything changes, so that a call that runs out of
// memory leaves the account as it was. Growth is geometric: calls that each close a few positions
// must not reallocate every time.
template <class Book>
void reserve_trades(BrokerOf<Book>& broker, std::size_t extra) {
    auto& trades = broker.trades;
    const std::size_t needed = trades.size() + extra;
    if (needed <= trades.capacity()) {
        return;
    }
    const std::size_t doubled = std::min(trades.capacity() * 2, trades.max_size());
    trades.reserve(std::max(needed, doubled));
}

// The closing rule, shared by every way a position ends, at the price the position closes at
// (close_at gives it from the bars' price). `trades` must already have room for one more, so
// nothing here can fail.
template <class Book>
void settle(BrokerOf<Book>& broker, const typename Book::Position& position, double exit_price,
            std::int64_t time, ExitReason reason) {
    const double diff = position.is_long ? exit_price - position.entry_price
                                         : position.entry_price - exit_price;
    const double quote = (diff * position.lot_size) * broker.contract_size;
    const double pnl = quote * broker.quote_to_account;
    broker.trades.push_back(broker.book.closed(position, exit_price, pnl, time, reason));
    if constexpr (Book::options) {
        ++broker.book.changes;
    }
    broker.cash = broker.cash + pnl;
    if (broker.book.rules.commission_split) {
        broker.cash = broker.cash - (broker.commission * position.lot_size) * 0.5;
    }
}

struct Exit {
    double level;
    ExitReason reason;
};

// The level at which the bar closes `position`, if it does; `bar` is the side of the market the
// position closes on. A NaN on either side of a comparison is false, so NaN never triggers an
// exit; the stop-loss wins when both levels are reached. With gap fills at the open, a level the
// bar opens beyond fills at the open, the first price traded.
template <bool GapOpen, class Position, class Side>
[[gnu::always_inline]] inline std::optional<Exit> exit_of(const Position& position,
                                                          const Side& bar) noexcept {
    const std::optional<double>& stop = position.stop_loss;
    const std::optional<double>& target = position.take_profit;
    if (position.is_long) {
        if constexpr (GapOpen) {
            const double open = bar.open();
            if (stop && open <= *stop) {
                return Exit{open, ExitReason::stop_loss};
            }
            if (target && open >= *target) {
                return Exit{open, ExitReason::take_profit};
            }
        }
        if (stop && bar.low() <= *stop) {
            return Exit{*stop, ExitReason::stop_loss};
        }
        if (target && bar.high() >= *target) {
            return Exit{*target, ExitReason::take_profit};
        }
    } else {
        if constexpr (GapOpen) {
            const double open = bar.open();
            if (stop && open >= *stop) {
                return Exit{open, ExitReason::stop_loss};
            }
            if (target && open <= *target) {
                return Exit{open, ExitReason::take_profit};
            }
        }
        if (stop && bar.high() >= *stop) {
            return Exit{*stop, ExitReason::stop_loss};
        }
        if (target && bar.low() <= *target) {
            return Exit{*target, ExitReason::take_profit};
        }
    }
    return std::nullopt;
}

}  // namespace cw::closing
