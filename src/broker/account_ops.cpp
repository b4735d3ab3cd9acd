// What only the Account does: pending orders, partial closes, moved and trailing levels, swaps at
// the rollovers, margin and the stop-out. Each formula is one operation per step, in the order
// the README's account table gives.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "broker/closing.hpp"
#include "broker/intrabar.hpp"
#include "broker/ledger.hpp"
#include "broker/pool.hpp"

namespace cw {
namespace {

using OpenPosition = Account::Position;

// Swap per position for `nights` rollovers, to the balance at once, as the position's own too.
void charge_swaps(Account& account, double nights) {
    const Rules& rules = account.book.rules;
    account.book.tidy(account.positions);
    for (OpenPosition& position : account.positions) {
        const double per_lot = position.is_long ? rules.swap_long : rules.swap_short;
        double charge = 0.0;
        if (rules.swap_in_points) {
            const double quote =
                (((per_lot * rules.point) * account.contract_size) * position.lot_size) * nights;
            charge = quote * account.quote_to_account;
        } else {
            charge = (per_lot * position.lot_size) * nights;
        }
        account.cash = account.cash + charge;
        position.extra.swap = position.extra.swap + charge;
    }
}

// A bar as each side of the market traded it (the bid's, which longs close on, and the ask's),
// for the quotes `Q` of the account's rules, made once, when first read; with bid bars the longs
// read the bar itself. (The exit pass reads the sides where it uses them instead: exits.hpp.)
template <Quotes Q>
class SideBars {
public:
    SideBars(const Ledger& book, const Bar& bar, double spread) noexcept
        : book_(book), bar_(bar), spread_(spread) {}
    SideBars(const SideBars&) = delete;
    SideBars& operator=(const SideBars&) = delete;

    // The side a long (the bid) or a short (the ask) closes on.
    [[nodiscard]] const Bar& of(bool is_long) noexcept {
        const std::size_t k = is_long ? 0 : 1;
        if (read_[k] == nullptr) {
            read_[k] = &book_.template side<Q>(bar_, spread_, is_long, made_[k]);
        }
        return *read_[k];
    }

private:
    const Ledger& book_;
    const Bar& bar_;
    double spread_;
    const Bar* read_[2] = {nullptr, nullptr};
    Bar made_[2];
};

bool is_buy(OrderKind kind) noexcept {
    return kind == OrderKind::buy_limit || kind == OrderKind::buy_stop;
}

// The price a position closes at as it opens at `fill`, where a trailing stop starts.
template <Quotes Q>
double closing_at_fill(const Account& account, bool is_long, double fill) noexcept {
    constexpr bool sided = Q != Quotes::engine;
    return !sided ? fill : is_long ? fill - account.spread : fill + account.spread;
}

// Whether the bar rules guess on an order the bar fills at `fill`: the levels its position
// opens with (a trailing stop's start among them) reached in the same bar, before or after the
// fill, which the bar cannot say. Asked whether the account takes the fill or not.
template <Quotes Q>
bool fill_guessed(const Account& account, SideBars<Q>& sides, const Order& order, bool is_long,
                  double fill) noexcept {
    const std::optional<double> stop = trailing_start(
        is_long, closing_at_fill<Q>(account, is_long, fill), order.stop_loss, order.trail);
    return Ledger::reached(is_long, stop, order.take_profit, SameSide{sides.of(is_long)});
}

// The price at which the bar fills the order, if its range reaches the level: the open when the
// bar opens beyond it. `bar` is the side the order fills on.
std::optional<double> fill_of(const Order& order, const Bar& bar) noexcept {
    const double level = order.level;
    switch (order.kind) {
        case OrderKind::buy_limit:
        case OrderKind::sell_stop:
            if (bar.open <= level) {
                return bar.open;
            }
            if (bar.low <= level) {
                return level;
            }
            break;
        case OrderKind::buy_stop:
        case OrderKind::sell_limit:
            if (bar.open >= level) {
                return bar.open;
            }
            if (bar.high >= level) {
                return level;
            }
            break;
    }
    return std::nullopt;
}

// Expired orders go first; the rest fill in placing order, each as buy or sell would open it. On
// the engine's model an order's level is a price of the bars, and the fill pays the spread as a
// buy or a sell does; on a broker's, buys fill on the ask and sells on the bid, at the level.
template <Quotes Q>
void fill_orders_by(Account& account, const Bar& bar) {
    auto& orders = account.book.orders;
    // Room for every fill before anything changes: nothing below can fail.
    account.positions.reserve(account.positions.size() + orders.size());
    constexpr bool sided = Q != Quotes::engine;
    SideBars<Q> sides(account.book, bar, account.spread);
    std::size_t kept = 0;
    for (Order& order : orders) {
        if (order.cancelled || (order.expiry && bar.timestamp >= *order.expiry)) {
            continue;
        }
        const bool is_long = is_buy(order.kind);
        // Buys fill on the ask, the side a short closes on; sells on the bid.
        const std::optional<double> fill = fill_of(order, sides.of(!is_long));
        if (!fill) {
            orders[kept++] = order;
            continue;
        }
        const double entry = sided ? *fill : open_at(account, is_long, *fill);
        const double closing = closing_at_fill<Q>(account, is_long, *fill);
        if (account.book.counting() && fill_guessed<Q>(account, sides, order, is_long, *fill))
            [[unlikely]] {
            account.book.guessed();
        }
        account.book.filling = order.ticket;
        OpenPosition* position = open_filled(
            account, is_long, *fill, entry, order.lot_size, bar.timestamp,
            trailing_start(is_long, closing, order.stop_loss, order.trail), order.take_profit);
        account.book.filling.reset();
        if (position != nullptr && !std::isnan(order.trail)) {
            position->extra.trail = order.trail;
            account.book.trailing = true;
        }
    }
    orders.erase(orders.begin() + static_cast<std::ptrdiff_t>(kept), orders.end());
    account.book.cancels = 0;
}

}  // namespace

void fill_orders(Account& account, const Bar& bar) {
    with_quotes(account.book.rules.quotes,
                [&](auto quotes) { fill_orders_by<decltype(quotes)::value>(account, bar); });
}

namespace {

template <Quotes Q>
bool bar_guesses_by(const Account& account, const Bar& bar) {
    const Ledger& book = account.book;
    SideBars<Q> sides(book, bar, account.spread);
    for (const OpenPosition& position : account.positions) {
        if (!Ledger::open(position)) {
            continue;
        }
        const SameSide seen{sides.of(position.is_long)};
        if (book.rules.gap_open ? book.guesses_on<true>(position, seen)
                                : book.guesses_on<false>(position, seen)) {
            return true;
        }
    }
    for (const Order& order : book.orders) {
        if (order.cancelled || (order.expiry && bar.timestamp >= *order.expiry)) {
            continue;
        }
        const bool is_long = is_buy(order.kind);
        const std::optional<double> fill = fill_of(order, sides.of(!is_long));
        if (fill && fill_guessed<Q>(account, sides, order, is_long, *fill)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool bar_guesses(const Account& account, const Bar& bar) {
    return with_quotes(account.book.rules.quotes, [&](auto quotes) {
        return bar_guesses_by<decltype(quotes)::value>(account, bar);
    });
}

namespace {

// Each position's price at one end of the bar (its low, or its high) on its own side of the market,
// and the price it is valued at there.
template <Quotes Q>
struct End {
    SideBars<Q>& sides;
    bool low;

    [[nodiscard]] double of(const OpenPosition& position) const noexcept {
        const Bar& seen = sides.of(position.is_long);
        return low ? seen.low : seen.high;
    }
};

// Closes positions at the end of the bar that values the account least, largest loss there first,
// until the margin level is above the stop-out or nothing is open. This is the plain way: the
// worst found by a scan, the margin level summed afresh after each close. stop_out_at takes it
// only where a value is not finite.
template <Quotes Q>
void stop_out_plainly(Account& account, const End<Q>& end, std::int64_t time) {
    auto& positions = account.positions;
    closing::reserve_trades(account, positions.size());
    const double stop_out = account.book.rules.stop_out;
    constexpr bool sided = Q != Quotes::engine;
    auto value = [&](const OpenPosition& position) {
        const double at = end.of(position);
        return open_value_at(account, position, sided ? at : value_at(account, position.is_long, at));
    };
    while (!positions.empty()) {
        auto worst = positions.begin();
        double worst_value = value(*worst);
        for (auto it = positions.begin() + 1; it != positions.end(); ++it) {
            const double candidate = value(*it);
            if (candidate < worst_value) {
                worst = it;
                worst_value = candidate;
            }
        }
        const double at = end.of(*worst);
        closing::settle(account, *worst, sided ? at : close_at(account, worst->is_long, at), time,
                        ExitReason::stop_out);
        positions.erase(worst);
        double open = -0.0;
        for (const OpenPosition& position : positions) {
            open = open + value(position);
        }
        if (!(margin_level(open + account.cash, used_margin(account)) <= stop_out)) {
            break;
        }
    }
}

// Whether margin_level(equity, used) <= stop_out, where the two sums the plain way makes afresh
// lie within `e_error` of `equity` and `u_error` of `used`; nothing when the bounds do not
// settle it. The level is monotonic in each of the two (rounding keeps order), so its extremes
// over the box are at the corners, computed with the same operations.
std::optional<bool> level_at_most(double equity, double e_error, double used, double u_error,
                                  double stop_out) noexcept {
    const double e_low = equity - e_error;
    const double e_high = equity + e_error;
    const double u_low = used - u_error;
    const double u_high = used + u_error;
    if (!std::isfinite(e_low) || !std::isfinite(e_high) || !std::isfinite(u_high) ||
        !(u_low >= 0.0)) {
        return std::nullopt;
    }
    const double corners[4] = {margin_level(e_low, u_low), margin_level(e_low, u_high),
                               margin_level(e_high, u_low), margin_level(e_high, u_high)};
    for (const double corner : corners) {
        if (std::isnan(corner)) {
            return std::nullopt;
        }
    }
    const double lowest = std::min(corners[0], corners[1]);
    const double highest = std::max(corners[2], corners[3]);
    if (highest <= stop_out) {
        return true;
    }
    if (!(lowest <= stop_out)) {
        return false;
    }
    return std::nullopt;
}

// The stop-out of stop_out_plainly, to the bit, in O(n log n). The values do not change while it
// runs (one bar, one end of it), so each is reckoned once, and the scan's choice (the first
// smallest in opening order) is the least by (value, place) from a heap. The margin level after
// each close is decided from running sums, each within a bound of the fresh sum the plain way
// makes; only where the bound cannot tell is the level summed afresh, in opening order. Closed
// positions are marked and dropped in one pass at the end.
template <Quotes Q>
void stop_out_at(Account& account, const End<Q>& end, std::int64_t time) {
    auto& positions = account.positions;
    const std::size_t count = positions.size();
    constexpr bool sided = Q != Quotes::engine;
    // Everything that can fail, before any change.
    closing::reserve_trades(account, count);
    std::vector<double> values(count);
    std::vector<double> margins(count);
    std::vector<std::size_t> heap(count);
    double value_sum = -0.0;
    double margin_sum = 0.0;
    double value_size = 0.0;  // the sums of the magnitudes, which bound the rounding
    double margin_size = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const OpenPosition& position = positions[i];
        const double at = end.of(position);
        values[i] =
            open_value_at(account, position, sided ? at : value_at(account, position.is_long, at));
        margins[i] = margin_of(position);
        value_sum = value_sum + values[i];
        margin_sum = margin_sum + margins[i];
        value_size = value_size + std::fabs(values[i]);
        margin_size = margin_size + std::fabs(margins[i]);
        heap[i] = i;
    }
    if (!std::isfinite(value_size) || !std::isfinite(margin_size) ||
        !std::isfinite(account.cash)) [[unlikely]] {
        stop_out_plainly(account, end, time);
        return;
    }
    // A fresh sum of m of these in any order is within (m - 1) u of the sum of magnitudes of the
    // exact sum, and the running sum within k u of it after k subtractions; 8 (n + 4) u covers
    // both with room for the rounding of the bounds themselves.
    constexpr double unit = 0x1p-53;
    const double bound = 8.0 * (static_cast<double>(count) + 4.0) * unit;
    const double value_error = 2.0 * bound * value_size;
    const double margin_error = 2.0 * bound * margin_size;

    // The scan keeps the first of equal values (-0.0 equals 0.0): the least by (value, place).
    auto later = [&values](std::size_t a, std::size_t b) {
        return values[a] > values[b] || (values[a] == values[b] && a > b);
    };
    std::make_heap(heap.begin(), heap.end(), later);
    const double stop_out = account.book.rules.stop_out;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        const std::size_t worst = heap.back();
        heap.pop_back();
        OpenPosition& position = positions[worst];
        const double at = end.of(position);
        closing::settle(account, position, sided ? at : close_at(account, position.is_long, at),
                        time, ExitReason::stop_out);
        position.extra.closed = true;
        value_sum = value_sum - values[worst];
        margin_sum = margin_sum - margins[worst];
        const double equity = value_sum + account.cash;
        const std::optional<bool> decided =
            level_at_most(equity, value_error + 8.0 * unit * std::fabs(equity), margin_sum,
                          margin_error + 8.0 * unit * std::fabs(margin_sum), stop_out);
        bool at_most = false;
        if (decided) {
            at_most = *decided;
        } else {
            double open = -0.0;
            double used = 0.0;
            for (std::size_t i = 0; i < count; ++i) {
                if (!positions[i].extra.closed) {
                    open = open + values[i];
                }
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (!positions[i].extra.closed) {
                    used = used + margins[i];
                }
            }
            at_most = margin_level(open + account.cash, used) <= stop_out;
        }
        if (!at_most) {
            break;
        }
    }
    std::erase_if(positions, [](const OpenPosition& p) { return p.extra.closed; });
}

}  // namespace

double used_margin(const Account& account) noexcept {
    double used = 0.0;
    for (const OpenPosition& position : account.positions) {
        if (Ledger::open(position)) {
            used = used + margin_of(position);
        }
    }
    return used;
}

void Ledger::drop_closed(std::vector<Position>& positions) noexcept {
    std::erase_if(positions, [](const Position& position) { return position.extra.closed; });
    marked = 0;
    ++changes;
}

void Ledger::rebuild_tickets(const std::vector<Position>& positions) {
    std::vector<TicketEntry> kept;
    kept.reserve(std::max<std::size_t>(64, 2 * (positions.size() + orders.size())));
    for (const Order& order : orders) {
        if (!order.cancelled) {
            kept.push_back(TicketEntry{order.ticket, k_pending});
        }
    }
    for (const Position& position : positions) {
        if (!position.extra.closed) {
            kept.push_back(TicketEntry{position.extra.ticket, position.extra.seq});
        }
    }
    std::sort(kept.begin(), kept.end(), [](const TicketEntry& a, const TicketEntry& b) {
        return a.ticket < b.ticket;
    });
    tickets = std::move(kept);
    rebuild_at = std::max<std::size_t>(64, 2 * tickets.size());
}

const Account::Position* open_with_ticket(const Account& account,
                                          std::uint64_t ticket) noexcept {
    const Ledger::TicketEntry* entry = account.book.entry_of(ticket);
    if (entry == nullptr || entry->seq == Ledger::k_pending) {
        return nullptr;
    }
    const auto& positions = account.positions;
    const std::uint64_t seq = entry->seq;
    const auto found = std::lower_bound(
        positions.begin(), positions.end(), seq,
        [](const OpenPosition& position, std::uint64_t key) { return position.extra.seq < key; });
    if (found == positions.end() || found->extra.seq != seq || found->extra.closed) {
        return nullptr;
    }
    return &*found;
}
Account::Position* open_with_ticket(Account& account, std::uint64_t ticket) noexcept {
    return const_cast<Account::Position*>(
        open_with_ticket(static_cast<const Account&>(account), ticket));
}

// Orders are placed with rising tickets and kept in placing order: a binary search finds one.
const Order* pending_with_ticket(const Account& account, std::uint64_t ticket) noexcept {
    const auto& orders = account.book.orders;
    const auto found = std::lower_bound(
        orders.begin(), orders.end(), ticket,
        [](const Order& order, std::uint64_t key) { return order.ticket < key; });
    if (found == orders.end() || found->ticket != ticket || found->cancelled) {
        return nullptr;
    }
    return &*found;
}
Order* pending_with_ticket(Account& account, std::uint64_t ticket) noexcept {
    return const_cast<Order*>(pending_with_ticket(static_cast<const Account&>(account), ticket));
}

double free_margin_to_open(Account& account, double price) noexcept {
    if (account.book.pool != nullptr) [[unlikely]] {
        return pooled_free_margin(account, price);
    }
    Ledger& book = account.book;
    Ledger::Valued& valued = book.valued;
    const auto& positions = account.positions;
    // The prices equity() values longs and shorts at (with nothing open, no price is read).
    const bool sides = book.rules.sides();
    const double long_at = sides ? close_at(account, true, price) : price;
    const double short_at = sides ? close_at(account, false, price) : price;
    auto same = [](double a, double b) {
        return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
    };
    const bool kept = valued.changes == book.changes && valued.upto <= positions.size() &&
                      same(valued.long_at, long_at) && same(valued.short_at, short_at) &&
                      same(valued.contract_size, account.contract_size) &&
                      same(valued.quote_to_account, account.quote_to_account);
    if (!kept) {
        valued = Ledger::Valued{book.changes, 0, long_at, short_at, account.contract_size,
                                account.quote_to_account, -0.0, 0.0};
    }
    // equity_at's fold and used_margin's, going on from where they stopped.
    for (std::size_t i = valued.upto; i < positions.size(); ++i) {
        const OpenPosition& position = positions[i];
        if (!Ledger::open(position)) {
            continue;
        }
        valued.open = valued.open + open_value_at(account, position,
                                                  position.is_long ? long_at : short_at);
        valued.used = valued.used + margin_of(position);
    }
    valued.upto = positions.size();
    return (valued.open + account.cash) - valued.used;
}

bool bar_steps(Account& account, const Bar& bar) {
    Ledger& book = account.book;
    if (book.values) {
        const BarValues& values = *book.values;
        const auto i = static_cast<std::size_t>(book.bar);
        if (!values.spread.empty()) {
            account.spread = values.spread[i];
        }
        if (!values.quote_to_account.empty()) {
            account.quote_to_account = values.quote_to_account[i];
        }
        if (!values.nights.empty() && values.nights[i] != 0.0 && !account.positions.empty()) {
            charge_swaps(account, values.nights[i]);
        }
    }
    if (book.inside != nullptr && (!account.positions.empty() || !book.orders.empty()) &&
        inside_bar(account, bar)) {
        return true;
    }
    if (!book.orders.empty()) {
        fill_orders(account, bar);
    }
    return false;
}

namespace {

// The margin level is looked at on the bar's worst price for the account, its low or its high
// (each position on its own side of the market): the value is linear in the price, so the worst
// is at one end.
template <Quotes Q>
void end_exits_by(Account& account, const Bar& bar) {
    constexpr bool sided = Q != Quotes::engine;
    SideBars<Q> sides(account.book, bar, account.spread);
    const End<Q> low{sides, true};
    const End<Q> high{sides, false};
    double at_low = -0.0;
    double at_high = -0.0;
    double used = 0.0;
    for (const OpenPosition& position : account.positions) {
        const double low_price = low.of(position);
        const double high_price = high.of(position);
        at_low = at_low + open_value_at(account, position,
                                        sided ? low_price
                                              : value_at(account, position.is_long, low_price));
        at_high = at_high + open_value_at(account, position,
                                          sided ? high_price
                                                : value_at(account, position.is_long, high_price));
        used = used + margin_of(position);
    }
    const bool low_worse = at_low <= at_high;
    const double worst = (low_worse ? at_low : at_high) + account.cash;
    if (margin_level(worst, used) <= account.book.rules.stop_out) {
        stop_out_at(account, low_worse ? low : high, bar.timestamp);
    }
}

}  // namespace

void end_exits(Account& account, const Bar& bar) {
    if (!account.book.rules.margin() || account.positions.empty()) {
        return;
    }
    account.book.tidy(account.positions);
    with_quotes(account.book.rules.quotes,
                [&](auto quotes) { end_exits_by<decltype(quotes)::value>(account, bar); });
}

bool close_ticket(Account& account, std::uint64_t ticket, double price, std::int64_t timestamp,
                  std::optional<double> lots) {
    OpenPosition* const found = open_with_ticket(account, ticket);
    if (found == nullptr) {
        return false;
    }
    closing::reserve_trades(account, 1);
    const double exit_price = close_at(account, found->is_long, price);
    if (!lots || !(*lots < found->lot_size)) {
        closing::settle(account, *found, exit_price, timestamp, ExitReason::close);
        // Marked, not erased: closing n positions one by one must not move the rest n times.
        found->extra.closed = true;
        Ledger& book = account.book;
        ++book.marked;
        if (2 * book.marked >= account.positions.size()) {
            book.drop_closed(account.positions);
        }
        return true;
    }
    // The part closed is a position of its own for the closing rule; its share of the swap so
    // far goes with it.
    OpenPosition part = *found;
    part.lot_size = *lots;
    part.extra.commission = account.commission * *lots;
    part.extra.swap = found->extra.swap * (*lots / found->lot_size);
    closing::settle(account, part, exit_price, timestamp, ExitReason::close);
    found->lot_size = found->lot_size - *lots;
    found->extra.commission = account.commission * found->lot_size;
    found->extra.swap = found->extra.swap - part.extra.swap;
    return true;
}

bool modify(Account& account, std::uint64_t ticket, Change<std::optional<double>> stop_loss,
            Change<std::optional<double>> take_profit, Change<double> trail) {
    auto apply = [&](auto& item, double& its_trail) {
        if (stop_loss) {
            item.stop_loss = *stop_loss;
        }
        if (take_profit) {
            item.take_profit = *take_profit;
        }
        if (trail) {
            its_trail = *trail;
        }
    };
    if (OpenPosition* position = open_with_ticket(account, ticket)) {
        apply(*position, position->extra.trail);
        account.book.trailing = account.book.trailing || !std::isnan(position->extra.trail);
        return true;
    }
    if (Order* order = pending_with_ticket(account, ticket)) {
        apply(*order, order->trail);
        return true;
    }
    return false;
}

std::optional<double> trailing_start(bool is_long, double price, std::optional<double> stop_loss,
                                     double trail) {
    if (stop_loss || std::isnan(trail)) {
        return stop_loss;
    }
    return is_long ? price - trail : price + trail;
}

std::uint64_t place_order(Account& account, Order order) {
    Ledger& book = account.book;
    book.make_room(account.positions);
    order.ticket = book.next_ticket;
    order.cancelled = false;
    book.orders.push_back(order);
    book.tickets.push_back(Ledger::TicketEntry{order.ticket, Ledger::k_pending});
    ++book.next_ticket;
    return order.ticket;
}

bool cancel_order(Account& account, std::uint64_t ticket) {
    Order* const found = pending_with_ticket(account, ticket);
    if (found == nullptr) {
        return false;
    }
    // Marked, not erased, as a closed position is; the fill pass drops it with the filled ones.
    found->cancelled = true;
    Ledger& book = account.book;
    auto& orders = book.orders;
    ++book.cancels;
    if (2 * book.cancels >= orders.size()) {
        std::erase_if(orders, [](const Order& order) { return order.cancelled; });
        book.cancels = 0;
    }
    return true;
}

}  // namespace cw
