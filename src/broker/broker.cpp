// Opening, closing, valuing and the per-bar exits of the account. Every formula is written one
// operation per step in the order the account defines, so results agree bit for bit with anyone
// else computing the same value.
#include "broker/broker.hpp"

#include <algorithm>
#include <cstddef>

namespace cw {
namespace {

// Makes room for `extra` more trades before anything changes, so that a call that runs out of
// memory leaves the account as it was. Growth is geometric: calls that each close a few positions
// must not reallocate every time.
void reserve_trades(Broker& broker, std::size_t extra) {
    std::vector<Trade>& trades = broker.trades;
    const std::size_t needed = trades.size() + extra;
    if (needed <= trades.capacity()) {
        return;
    }
    const std::size_t doubled = std::min(trades.capacity() * 2, trades.max_size());
    trades.reserve(std::max(needed, doubled));
}

// The closing rule, shared by every way a position ends. `trades` must already have room for one
// more, so nothing here can fail.
void settle(Broker& broker, const Position& position, double level, std::int64_t time) {
    const double exit_price = position.is_long ? level - broker.spread : level + broker.spread;
    const double diff = position.is_long ? exit_price - position.entry_price
                                         : position.entry_price - exit_price;
    const double quote = (diff * position.lot_size) * broker.contract_size;
    const double pnl = quote * broker.quote_to_account;
    broker.trades.push_back(Trade{position.entry_price, exit_price, position.lot_size, pnl,
                                  position.entry_time, time, position.is_long});
    broker.cash = broker.cash + pnl;
}

// The level at which the bar closes `position`, if it does. A NaN on either side of a comparison
// is false, so NaN never triggers an exit; the stop-loss wins when both levels are reached.
std::optional<double> exit_level(const Position& position, const Bar& bar) noexcept {
    const std::optional<double>& stop = position.stop_loss;
    const std::optional<double>& target = position.take_profit;
    if (position.is_long) {
        if (stop && bar.low <= *stop) {
            return stop;
        }
        if (target && bar.high >= *target) {
            return target;
        }
    } else {
        if (stop && bar.high >= *stop) {
            return stop;
        }
        if (target && bar.low <= *target) {
            return target;
        }
    }
    return std::nullopt;
}

}  // namespace

Broker make_broker(double initial_cash, double commission, double spread, double contract_size,
                   double quote_to_account) {
    return Broker{{}, {}, initial_cash, initial_cash, commission, spread, contract_size,
                  quote_to_account};
}

void open_position(Broker& broker, bool is_long, double price, double lot_size,
                   std::int64_t timestamp, std::optional<double> stop_loss,
                   std::optional<double> take_profit) {
    // The id is the list length, not a counter: ids repeat once earlier positions have closed.
    const auto id = static_cast<std::uint64_t>(broker.positions.size());
    const double entry_price = is_long ? price + broker.spread : price - broker.spread;
    // Appending is the only step that can fail, so it goes before the commission is charged.
    broker.positions.push_back(
        Position{stop_loss, take_profit, id, entry_price, lot_size, timestamp, is_long});
    broker.cash = broker.cash - (broker.commission * lot_size);
}

void close_position(Broker& broker, std::uint64_t id, double price, std::int64_t timestamp) {
    std::vector<Position>& positions = broker.positions;
    const auto found = std::find_if(positions.begin(), positions.end(),
                                    [id](const Position& position) { return position.id == id; });
    if (found == positions.end()) {
        return;
    }
    reserve_trades(broker, 1);
    settle(broker, *found, price, timestamp);
    positions.erase(found);
}

void close_all(Broker& broker, double price, std::int64_t timestamp) {
    reserve_trades(broker, broker.positions.size());
    for (const Position& position : broker.positions) {
        settle(broker, position, price, timestamp);
    }
    broker.positions.clear();
}

void check_open_exits(Broker& broker, const Bar& bar) {
    std::vector<Position>& positions = broker.positions;
    const std::size_t count = positions.size();

    // Most bars close nothing: look without touching anything until the first hit.
    std::size_t first = 0;
    std::optional<double> level;
    for (; first < count; ++first) {
        level = exit_level(positions[first], bar);
        if (level) {
            break;
        }
    }
    if (first == count) {
        return;
    }

    // Every position from the first hit on may close; room for all of them, before any change.
    reserve_trades(broker, count - first);
    settle(broker, positions[first], *level, bar.timestamp);

    // Closed positions drop out and the rest move up in order, each moved at most once.
    std::size_t kept = first;
    for (std::size_t read = first + 1; read < count; ++read) {
        const Position& position = positions[read];
        if (const auto hit = exit_level(position, bar)) {
            settle(broker, position, *hit, bar.timestamp);
        } else {
            positions[kept++] = position;
        }
    }
    positions.erase(positions.begin() + static_cast<std::ptrdiff_t>(kept), positions.end());
}

}  // namespace cw
