// Opening, closing, valuing and the per-bar exits of the account. Every formula is written one
// operation per step in the order the account defines, so results agree bit for bit with anyone
// else computing the same value.
#include "broker/broker.hpp"

#include <algorithm>
#include <cstddef>

#include "broker/closing.hpp"
#include "broker/exits.hpp"
#include "broker/ledger.hpp"

namespace cw {
namespace {

using closing::Exit;
using closing::reserve_trades;
using closing::settle;

// Closes the oldest open position that `matches`, if there is one.
template <class Book, class Match>
bool close_first(BrokerOf<Book>& broker, Match matches, double price, std::int64_t timestamp) {
    auto& positions = broker.positions;
    broker.book.tidy(positions);
    const auto found = std::find_if(positions.begin(), positions.end(), matches);
    if (found == positions.end()) {
        return false;
    }
    reserve_trades(broker, 1);
    settle(broker, *found, close_at(broker, found->is_long, price), timestamp, ExitReason::close);
    positions.erase(found);
    return true;
}

}  // namespace

template <class Book>
typename Book::Position* open_position(BrokerOf<Book>& broker, bool is_long, double price,
                                       double lot_size, std::int64_t timestamp,
                                       std::optional<double> stop_loss,
                                       std::optional<double> take_profit) {
    return open_filled(broker, is_long, price, open_at(broker, is_long, price), lot_size,
                       timestamp, stop_loss, take_profit);
}

template <class Book>
typename Book::Position* open_filled(BrokerOf<Book>& broker, bool is_long, double price,
                                     double entry_price, double lot_size, std::int64_t timestamp,
                                     std::optional<double> stop_loss,
                                     std::optional<double> take_profit) {
    const Rules& rules = broker.book.rules;
    double margin_per_lot = 0.0;
    if constexpr (Book::options) {
        if (rules.margin()) {
            margin_per_lot = rules.margin_per_lot > 0.0
                                 ? rules.margin_per_lot
                                 : ((broker.contract_size * price) * broker.quote_to_account) /
                                       rules.leverage;
            const double required = margin_per_lot * lot_size;
            if (!(required <= free_margin_to_open(broker, price))) {
                broker.book.refused();
                return nullptr;
            }
        }
    }
    // The id is the list length, not a counter: ids repeat once earlier positions have closed.
    const auto id = static_cast<std::uint64_t>(broker.book.live(broker.positions));
    const double commission = broker.commission * lot_size;
    // Making room and appending are the only steps that can fail, so they go before the
    // commission is charged.
    broker.book.make_room(broker.positions);
    broker.positions.push_back(typename Book::Position{
        stop_loss, take_profit, id, entry_price, lot_size, timestamp, is_long,
        broker.book.opening(entry_price, commission, margin_per_lot)});
    broker.book.opened();
    broker.cash = broker.cash - (rules.commission_split ? commission * 0.5 : commission);
    return &broker.positions.back();
}

template <class Book>
void close_position(BrokerOf<Book>& broker, std::uint64_t id, double price,
                    std::int64_t timestamp) {
    (void)close_first(broker, [id](const auto& position) { return position.id == id; }, price,
                      timestamp);
}

template <class Book>
void close_all(BrokerOf<Book>& broker, double price, std::int64_t timestamp, ExitReason reason) {
    broker.book.tidy(broker.positions);
    reserve_trades(broker, broker.positions.size());
    for (const auto& position : broker.positions) {
        settle(broker, position, close_at(broker, position.is_long, price), timestamp, reason);
    }
    broker.positions.clear();
}

template <class Book>
void check_open_exits(BrokerOf<Book>& broker, const Bar& bar) {
    check_exits_ruled(broker, bar);
}

// The two books the modules use.
#define CW_INSTANTIATE(Book)                                                                     \
    template Book::Position* open_position(BrokerOf<Book>&, bool, double, double, std::int64_t,  \
                                           std::optional<double>, std::optional<double>);        \
    template Book::Position* open_filled(BrokerOf<Book>&, bool, double, double, double,          \
                                         std::int64_t, std::optional<double>,                   \
                                         std::optional<double>);                                 \
    template void close_position(BrokerOf<Book>&, std::uint64_t, double, std::int64_t);          \
    template void close_all(BrokerOf<Book>&, double, std::int64_t, ExitReason);                  \
    template void check_open_exits(BrokerOf<Book>&, const Bar&);
CW_INSTANTIATE(PlainBook)
CW_INSTANTIATE(Ledger)
#undef CW_INSTANTIATE

}  // namespace cw
