// Opening, closing, valuing and the per-bar exits of the account. Every formula is written one
// operation per step in the order the account defines, so results agree bit for bit with anyone
// else computing the same value.
#include "broker/broker.hpp"

#include <algorithm>
#include <cstddef>

#include "broker/ledger.hpp"

namespace cw {
namespace {

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

// The closing rule, shared by every way a position ends. `trades` must already have room for one
// more, so nothing here can fail.
template <class Book>
void settle(BrokerOf<Book>& broker, const typename Book::Position& position, double level,
            std::int64_t time, ExitReason reason) {
    const double exit_price = position.is_long ? level - broker.spread : level + broker.spread;
    const double diff = position.is_long ? exit_price - position.entry_price
                                         : position.entry_price - exit_price;
    const double quote = (diff * position.lot_size) * broker.contract_size;
    const double pnl = quote * broker.quote_to_account;
    broker.trades.push_back(broker.book.closed(position, exit_price, pnl, time, reason));
    broker.cash = broker.cash + pnl;
}

struct Exit {
    double level;
    ExitReason reason;
};

// The level at which the bar closes `position`, if it does. A NaN on either side of a comparison
// is false, so NaN never triggers an exit; the stop-loss wins when both levels are reached.
template <class Position>
std::optional<Exit> exit_of(const Position& position, const Bar& bar) noexcept {
    const std::optional<double>& stop = position.stop_loss;
    const std::optional<double>& target = position.take_profit;
    if (position.is_long) {
        if (stop && bar.low <= *stop) {
            return Exit{*stop, ExitReason::stop_loss};
        }
        if (target && bar.high >= *target) {
            return Exit{*target, ExitReason::take_profit};
        }
    } else {
        if (stop && bar.high >= *stop) {
            return Exit{*stop, ExitReason::stop_loss};
        }
        if (target && bar.low <= *target) {
            return Exit{*target, ExitReason::take_profit};
        }
    }
    return std::nullopt;
}

// Closes the oldest open position that `matches`, if there is one.
template <class Book, class Match>
bool close_first(BrokerOf<Book>& broker, Match matches, double price, std::int64_t timestamp) {
    auto& positions = broker.positions;
    const auto found = std::find_if(positions.begin(), positions.end(), matches);
    if (found == positions.end()) {
        return false;
    }
    reserve_trades(broker, 1);
    settle(broker, *found, price, timestamp, ExitReason::close);
    positions.erase(found);
    return true;
}

}  // namespace

template <class Book>
const typename Book::Position& open_position(BrokerOf<Book>& broker, bool is_long, double price,
                                             double lot_size, std::int64_t timestamp,
                                             std::optional<double> stop_loss,
                                             std::optional<double> take_profit) {
    // The id is the list length, not a counter: ids repeat once earlier positions have closed.
    const auto id = static_cast<std::uint64_t>(broker.positions.size());
    const double entry_price = is_long ? price + broker.spread : price - broker.spread;
    const double commission = broker.commission * lot_size;
    // Appending is the only step that can fail, so it goes before the commission is charged.
    broker.positions.push_back(typename Book::Position{
        stop_loss, take_profit, id, entry_price, lot_size, timestamp, is_long,
        broker.book.opening(entry_price, commission)});
    broker.book.opened();
    broker.cash = broker.cash - commission;
    return broker.positions.back();
}

template <class Book>
void close_position(BrokerOf<Book>& broker, std::uint64_t id, double price,
                    std::int64_t timestamp) {
    (void)close_first(broker, [id](const auto& position) { return position.id == id; }, price,
                      timestamp);
}

bool close_ticket(Account& account, std::uint64_t ticket, double price, std::int64_t timestamp) {
    return close_first(
        account, [ticket](const auto& position) { return position.extra.ticket == ticket; },
        price, timestamp);
}

template <class Book>
void close_all(BrokerOf<Book>& broker, double price, std::int64_t timestamp, ExitReason reason) {
    reserve_trades(broker, broker.positions.size());
    for (const auto& position : broker.positions) {
        settle(broker, position, price, timestamp, reason);
    }
    broker.positions.clear();
}

template <class Book>
void check_open_exits(BrokerOf<Book>& broker, const Bar& bar) {
    auto& positions = broker.positions;
    const std::size_t count = positions.size();

    // Most bars close nothing: look without moving anything until the first hit.
    std::size_t first = 0;
    std::optional<Exit> exit;
    for (; first < count; ++first) {
        Book::observe(positions[first], bar);
        exit = exit_of(positions[first], bar);
        if (exit) {
            break;
        }
    }
    if (first == count) {
        return;
    }

    // Every position from the first hit on may close; room for all of them, before any change.
    reserve_trades(broker, count - first);
    settle(broker, positions[first], exit->level, bar.timestamp, exit->reason);

    // Closed positions drop out and the rest move up in order, each moved at most once.
    std::size_t kept = first;
    for (std::size_t read = first + 1; read < count; ++read) {
        auto& position = positions[read];
        Book::observe(position, bar);
        if (const auto hit = exit_of(position, bar)) {
            settle(broker, position, hit->level, bar.timestamp, hit->reason);
        } else {
            positions[kept++] = position;
        }
    }
    positions.erase(positions.begin() + static_cast<std::ptrdiff_t>(kept), positions.end());
}

// The two books the modules use.
#define CW_INSTANTIATE(Book)                                                                     \
    template const Book::Position& open_position(BrokerOf<Book>&, bool, double, double,          \
                                                 std::int64_t, std::optional<double>,            \
                                                 std::optional<double>);                         \
    template void close_position(BrokerOf<Book>&, std::uint64_t, double, std::int64_t);          \
    template void close_all(BrokerOf<Book>&, double, std::int64_t, ExitReason);                  \
    template void check_open_exits(BrokerOf<Book>&, const Bar&);
CW_INSTANTIATE(PlainBook)
CW_INSTANTIATE(Ledger)
#undef CW_INSTANTIATE

}  // namespace cw
