// What only the Account does: pending orders, partial closes, moved and trailing levels, swaps at
// the rollovers, margin and the stop-out. Each formula is one operation per step, in the order
// the README's account table gives.
#include <cmath>

#include "broker/closing.hpp"
#include "broker/ledger.hpp"

namespace cw {
namespace {

using OpenPosition = Account::Position;

template <class Items, class Match>
auto find_in(Items& items, Match matches) {
    return std::find_if(items.begin(), items.end(), matches);
}

auto with_ticket(std::uint64_t ticket) {
    return [ticket](const OpenPosition& position) { return position.extra.ticket == ticket; };
}

// Swap per position for `nights` rollovers, to the balance at once, as the position's own too.
void charge_swaps(Account& account, double nights) {
    const Rules& rules = account.book.rules;
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
        if (order.expiry && bar.timestamp >= *order.expiry) {
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
        // The price it would close at as it opens, where a trailing stop starts.
        const double closing = !sided        ? *fill
                               : is_long     ? *fill - account.spread
                                             : *fill + account.spread;
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
}

void fill_orders(Account& account, const Bar& bar) {
    with_quotes(account.book.rules.quotes,
                [&](auto quotes) { fill_orders_by<decltype(quotes)::value>(account, bar); });
}

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
// until the margin level is above the stop-out or nothing is open.
template <Quotes Q>
void stop_out_at(Account& account, const End<Q>& end, std::int64_t time) {
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

}  // namespace

double used_margin(const Account& account) noexcept {
    double used = 0.0;
    for (const OpenPosition& position : account.positions) {
        used = used + margin_of(position);
    }
    return used;
}

void bar_steps(Account& account, const Bar& bar) {
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
    if (!book.orders.empty()) {
        fill_orders(account, bar);
    }
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
    with_quotes(account.book.rules.quotes,
                [&](auto quotes) { end_exits_by<decltype(quotes)::value>(account, bar); });
}

bool close_ticket(Account& account, std::uint64_t ticket, double price, std::int64_t timestamp,
                  std::optional<double> lots) {
    auto& positions = account.positions;
    const auto found = find_in(positions, with_ticket(ticket));
    if (found == positions.end()) {
        return false;
    }
    closing::reserve_trades(account, 1);
    const double exit_price = close_at(account, found->is_long, price);
    if (!lots || !(*lots < found->lot_size)) {
        closing::settle(account, *found, exit_price, timestamp, ExitReason::close);
        positions.erase(found);
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
    const auto position = find_in(account.positions, with_ticket(ticket));
    if (position != account.positions.end()) {
        apply(*position, position->extra.trail);
        account.book.trailing = account.book.trailing || !std::isnan(position->extra.trail);
        return true;
    }
    auto& orders = account.book.orders;
    const auto order =
        find_in(orders, [ticket](const Order& item) { return item.ticket == ticket; });
    if (order != orders.end()) {
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
    order.ticket = book.next_ticket;
    book.orders.push_back(order);
    ++book.next_ticket;
    return order.ticket;
}

bool cancel_order(Account& account, std::uint64_t ticket) {
    auto& orders = account.book.orders;
    const auto found =
        find_in(orders, [ticket](const Order& order) { return order.ticket == ticket; });
    if (found == orders.end()) {
        return false;
    }
    orders.erase(found);
    return true;
}

}  // namespace cw
