// The simulated account: open positions, closed trades, cash and the five account parameters,
// with the operations that change them. Pure C++; every operation either completes or (only on
// std::bad_alloc) leaves the account exactly as it was.
//
// The operations are written once and parameterised by a book: what the account keeps about its
// positions and trades beyond the arithmetic. The plain book keeps nothing more (the Broker); the
// ledger (ledger.hpp) adds tickets, bar numbers, exit reasons and excursions for the Account. A
// book never takes part in a formula, but it holds the rules (rules.hpp) the formulas follow:
// the plain book's are the defaults, as constants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "broker/rules.hpp"
#include "market/bar.hpp"

namespace cw {

// How a position ended; the plain book does not record it.
enum class ExitReason : std::uint8_t { stop_loss, take_profit, close, close_all, end, stop_out };

template <class Extra>
struct PositionOf {
    std::optional<double> stop_loss;    // as passed, no spread applied
    std::optional<double> take_profit;  // as passed, no spread applied
    std::uint64_t id;                   // number of open positions just before this one
    double entry_price;                 // requested price + spread (long) or - spread (short)
    double lot_size;
    std::int64_t entry_time;
    bool is_long;
    [[no_unique_address]] Extra extra;  // the book's
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

// A bar as one side of the market traded it, read where it is used: the bar itself (the side the
// bars are on, or the data's own ask), or the bar moved by the spread, or half of it, to the other
// side; x + by as the made side would hold it, so either reads alike to the bit.
struct SameSide {
    const Bar& bar;
    [[nodiscard]] double open() const noexcept { return bar.open; }
    [[nodiscard]] double high() const noexcept { return bar.high; }
    [[nodiscard]] double low() const noexcept { return bar.low; }
    [[nodiscard]] double close() const noexcept { return bar.close; }
};
struct MovedSide {
    const Bar& bar;
    double by;
    [[nodiscard]] double open() const noexcept { return bar.open + by; }
    [[nodiscard]] double high() const noexcept { return bar.high + by; }
    [[nodiscard]] double low() const noexcept { return bar.low + by; }
    [[nodiscard]] double close() const noexcept { return bar.close + by; }
};

// The Broker's book: the records as they are, nothing kept besides.
struct PlainBook {
    struct Extra {};
    using Position = PositionOf<Extra>;
    using TradeRow = Trade;
    static constexpr bool journal = false;
    static constexpr bool options = false;  // the rules are the defaults, and nothing is refused
    static constexpr Rules rules{};

    [[nodiscard]] Extra opening(double /*entry_price*/, double /*commission*/,
                                double /*margin_per_lot*/) const noexcept {
        return {};
    }
    void make_room(const std::vector<Position>& /*positions*/) const noexcept {}
    void opened() noexcept {}
    // Nothing is ever marked closed in place: every record is open, and there is nothing to tidy.
    [[nodiscard]] static constexpr bool open(const Position& /*position*/) noexcept { return true; }
    [[nodiscard]] static std::size_t live(const std::vector<Position>& positions) noexcept {
        return positions.size();
    }
    static void tidy(std::vector<Position>& /*positions*/) noexcept {}
    [[nodiscard]] static constexpr bool any_marked() noexcept { return false; }
    // Opened inside the bar being examined (by a pending order): never, without orders.
    [[nodiscard]] static constexpr bool fresh(const Position& /*position*/) noexcept {
        return false;
    }
    template <class Side>
    void observe(Position& /*position*/, const Side& /*side*/) const noexcept {}
    template <class Side>
    void follow(Position& /*position*/, const Side& /*side*/) const noexcept {}
    [[nodiscard]] static constexpr const Bar* ask_now() noexcept { return nullptr; }
    [[nodiscard]] Trade closed(const Position& position, double exit_price, double pnl,
                               std::int64_t time, ExitReason /*reason*/) const noexcept {
        return Trade{position.entry_price, exit_price, position.lot_size, pnl,
                     position.entry_time, time, position.is_long};
    }
};

template <class Book>
struct BrokerOf {
    using Position = typename Book::Position;
    using TradeRow = typename Book::TradeRow;

    std::vector<Position> positions;  // opening order
    std::vector<TradeRow> trades;     // closing order
    double cash;
    double initial_cash;
    double commission;        // per lot, account currency, charged at opening only
    double spread;            // price units, in full at entry and at exit; a run may set it per bar
    double contract_size;     // units per lot
    double quote_to_account;  // quote currency -> account currency; a run may set it per bar
    Book book;
};

using Broker = BrokerOf<PlainBook>;
using Position = PlainBook::Position;

template <class Book>
[[nodiscard]] BrokerOf<Book> make_broker(double initial_cash, double commission, double spread,
                                         double contract_size, double quote_to_account) {
    return BrokerOf<Book>{{}, {}, initial_cash, initial_cash, commission, spread, contract_size,
                          quote_to_account, Book{}};
}
[[nodiscard]] inline Broker make_broker(double initial_cash, double commission, double spread,
                                        double contract_size, double quote_to_account) {
    return make_broker<PlainBook>(initial_cash, commission, spread, contract_size,
                                  quote_to_account);
}

// Calls `act` with the rules' quotes as a constant, so a pass compiled for it tests none.
template <class Act>
decltype(auto) with_quotes(Quotes quotes, Act&& act) {
    switch (quotes) {
        case Quotes::bid:
            return act(std::integral_constant<Quotes, Quotes::bid>{});
        case Quotes::ask:
            return act(std::integral_constant<Quotes, Quotes::ask>{});
        case Quotes::mid:
            return act(std::integral_constant<Quotes, Quotes::mid>{});
        case Quotes::engine:
            break;
    }
    return act(std::integral_constant<Quotes, Quotes::engine>{});
}

// The prices a position pays when the bars show `price`: at its opening, at its closing, and the
// one it is valued at while open. The engine model adds the spread at both ends and values at the
// bars' price; the broker's buys at the ask and sells at the bid, and values on the closing side.
template <class Book>
[[nodiscard]] inline double open_at(const BrokerOf<Book>& broker, bool is_long,
                                    double price) noexcept {
    const double spread = broker.spread;
    switch (broker.book.rules.quotes) {
        case Quotes::bid:
            return is_long ? price + spread : price;
        case Quotes::ask:
            return is_long ? price : price - spread;
        case Quotes::mid: {
            const double half = spread * 0.5;
            return is_long ? price + half : price - half;
        }
        case Quotes::engine:
            break;
    }
    return is_long ? price + spread : price - spread;
}
// On a broker's model `Q` (not the engine's), whether the side a position closes on (a long's,
// the bid; a short's, the ask) is not the bars' own, and how far it lies from them: every price
// on it is the bars' price plus that (x + (-s) is x - s in IEEE arithmetic).
template <Quotes Q>
[[nodiscard]] constexpr bool side_moved(bool is_long) noexcept {
    static_assert(Q != Quotes::engine);
    return Q == Quotes::mid || (Q == Quotes::bid) != is_long;
}
template <Quotes Q>
[[nodiscard]] inline double side_offset(bool is_long, double spread) noexcept {
    if constexpr (Q == Quotes::bid) {
        return spread;
    } else if constexpr (Q == Quotes::ask) {
        return -spread;
    } else {
        const double half = spread * 0.5;
        return is_long ? -half : half;
    }
}
// The closing price on a broker's model `Q`, for a loop compiled for it.
template <Quotes Q>
[[nodiscard]] inline double closing_price(bool is_long, double price, double spread) noexcept {
    return side_moved<Q>(is_long) ? price + side_offset<Q>(is_long, spread) : price;
}
template <class Book>
[[nodiscard]] inline double close_at(const BrokerOf<Book>& broker, bool is_long,
                                     double price) noexcept {
    const Rules& rules = broker.book.rules;
    const double spread = broker.spread;
    switch (rules.quotes) {
        case Quotes::bid:
            return closing_price<Quotes::bid>(is_long, price, spread);
        case Quotes::ask:
            return closing_price<Quotes::ask>(is_long, price, spread);
        case Quotes::mid:
            return closing_price<Quotes::mid>(is_long, price, spread);
        case Quotes::engine:
            break;
    }
    if (!rules.spread_on_exit) {
        return price;
    }
    return is_long ? price - spread : price + spread;
}
template <class Book>
[[nodiscard]] inline double value_at(const BrokerOf<Book>& broker, bool is_long,
                                     double price) noexcept {
    return broker.book.rules.sides() ? close_at(broker, is_long, price) : price;
}

// buy (is_long) or sell at `price` of the bars; the new position, or null when the book's rules
// refuse it (margin).
template <class Book>
typename Book::Position* open_position(BrokerOf<Book>& broker, bool is_long, double price,
                                       double lot_size, std::int64_t timestamp,
                                       std::optional<double> stop_loss,
                                       std::optional<double> take_profit);
// The same at an entry price already known (a pending order filled on its side of the market);
// `price` is the one the margin is reckoned on.
template <class Book>
typename Book::Position* open_filled(BrokerOf<Book>& broker, bool is_long, double price,
                                     double entry_price, double lot_size, std::int64_t timestamp,
                                     std::optional<double> stop_loss,
                                     std::optional<double> take_profit);
// Closes the oldest open position with this id; an unknown id does nothing.
template <class Book>
void close_position(BrokerOf<Book>& broker, std::uint64_t id, double price,
                    std::int64_t timestamp);
// Closes every open position, oldest first, at one level and time.
template <class Book>
void close_all(BrokerOf<Book>& broker, double price, std::int64_t timestamp,
               ExitReason reason = ExitReason::close_all);
// check_exits with at least one position open.
template <class Book>
void check_open_exits(BrokerOf<Book>& broker, const Bar& bar);

// What one open position adds to the account's value when it is valued at `at`.
template <class Book>
[[nodiscard]] inline double open_value_at(const BrokerOf<Book>& broker,
                                          const typename Book::Position& position,
                                          double at) noexcept {
    const double diff = position.is_long ? at - position.entry_price : position.entry_price - at;
    const double quote = (diff * position.lot_size) * broker.contract_size;
    return quote * broker.quote_to_account;
}

// What one open position adds to the account's value when the bars show `price`.
template <class Book>
[[nodiscard]] inline double open_value(const BrokerOf<Book>& broker,
                                       const typename Book::Position& position,
                                       double price) noexcept {
    return open_value_at(broker, position, value_at(broker, position.is_long, price));
}

// The open positions' value with longs valued at `long_at` and shorts at `short_at`, passing over
// the records marked closed if `SkipMarked`.
template <bool SkipMarked, class Book>
[[nodiscard]] inline double open_value_over(const BrokerOf<Book>& broker, double long_at,
                                            double short_at) noexcept {
    double open_pnl = -0.0;
    for (const auto& position : broker.positions) {
        if (SkipMarked && !Book::open(position)) {
            continue;
        }
        open_pnl =
            open_pnl + open_value_at(broker, position, position.is_long ? long_at : short_at);
    }
    return open_pnl;
}

// Value of the account with longs valued at `long_at` and shorts at `short_at`, where no record
// is marked closed (a run loop of its own, which closes nothing by ticket).
template <class Book>
[[nodiscard]] inline double equity_at(const BrokerOf<Book>& broker, double long_at,
                                      double short_at) noexcept {
    // Cash last: the run loop's equity points add it in the same place.
    return open_value_over<false>(broker, long_at, short_at) + broker.cash;
}

// The same wherever records may be marked closed: only between calls that close by ticket and
// the next bar, so the check is once per valuation, not once per position.
template <class Book>
[[nodiscard]] inline double equity_marked_at(const BrokerOf<Book>& broker, double long_at,
                                             double short_at) noexcept {
    if (broker.book.any_marked()) [[unlikely]] {
        return open_value_over<true>(broker, long_at, short_at) + broker.cash;
    }
    return equity_at(broker, long_at, short_at);
}

// Value of the account at `price`; the run loop's equity points are this same value. Inline: the
// run loop values the account on every bar. Where longs and shorts are valued depends on the
// price alone: worked out once.
template <class Book>
[[nodiscard]] inline double equity(const BrokerOf<Book>& broker, double price) noexcept {
    if (broker.positions.empty() || !broker.book.rules.sides()) {
        return equity_marked_at(broker, price, price);
    }
    return equity_marked_at(broker, close_at(broker, true, price), close_at(broker, false, price));
}

// Closes the positions whose stop-loss or take-profit the bar reached, oldest first. The run loop
// calls this on every bar, mostly with nothing open: then it costs no call.
template <class Book>
inline void check_exits(BrokerOf<Book>& broker, const Bar& bar) {
    if (!broker.positions.empty()) {
        check_open_exits(broker, bar);
    }
}

}  // namespace cw
