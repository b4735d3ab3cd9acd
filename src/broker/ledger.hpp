// The Account's book: what it keeps beyond the Broker's records so that a run can be inspected
// afterwards (a ticket per position, bar numbers, exit reasons, commission, swaps, excursions),
// the rules it was given (rules.hpp), and what only it has: pending orders, trailing stops and
// the values a run gives it bar by bar. With the default rules and nothing pending it reads the
// account's results and never takes part in their arithmetic, so an Account and a Broker given
// the same calls agree to the bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "broker/broker.hpp"

namespace cw {

// One closed trade as the journal keeps it; 128 bytes. A level that was not set is NaN.
struct TradeRow {
    std::uint64_t ticket;
    std::int64_t entry_time;
    std::int64_t exit_time;
    std::int64_t entry_bar;  // -1 outside a run
    std::int64_t exit_bar;
    double entry_price;
    double exit_price;
    double lot_size;
    double stop_loss;
    double take_profit;
    double pnl;
    double commission;  // both sides, however it was charged
    double swap;        // charged at the rollovers while open
    double mae;         // worst move against the entry while open (<= 0), price units
    double mfe;         // best move for it (>= 0)
    bool is_long;
    ExitReason exit_reason;
    std::uint32_t closing;  // its place in a pool's closing order (see Pool); 0 on its own
};

enum class OrderKind : std::uint8_t { buy_limit, buy_stop, sell_limit, sell_stop };

// An entry waiting for a bar whose range reaches its level.
struct Order {
    std::optional<double> stop_loss;
    std::optional<double> take_profit;
    std::optional<std::int64_t> expiry;  // gone from the first bar at or after it
    std::uint64_t ticket;                // the position it opens keeps it
    double level;
    double lot_size;
    double trail;                        // NaN: none
    std::int64_t placed_time;
    OrderKind kind;
    bool cancelled = false;  // dropped at the next tidy of the orders (Ledger::cancels counts)
};

// A run's values per bar; an empty one is not given.
struct BarValues {
    std::vector<double> spread;            // price units
    std::vector<double> quote_to_account;
    std::vector<double> nights;            // rollovers crossed since the bar before (3 for a triple)
    std::vector<Bar> ask;                  // the ask's own bars, when the data has them; the
                                           // spread is then each bar's closing ask less its close
};

struct Pool;
struct Intrabar;

// The bars whose outcome the bar rules had to guess, and what became of them: with finer data
// inside the bars, how many were resolved on it and how many fell back to the bar rules.
enum class Guess : std::uint8_t { guessed, resolved, fell_back };
struct Guesses {
    std::uint64_t ambiguous = 0;
    std::uint64_t resolved = 0;   // bars with something open or pending, decided on finer data
    std::uint64_t fell_back = 0;  // such bars the finer data did not cover
    std::vector<std::pair<std::int64_t, Guess>> marks;  // each ambiguous bar, and how it went
};

// The next place in a pool's closing order (pool.cpp).
[[nodiscard]] std::uint32_t next_closing(Pool& pool) noexcept;

struct Ledger {
    struct Extra {
        std::uint64_t ticket;
        std::int64_t entry_bar;
        double commission;      // both sides
        double low;             // lowest low seen while open; starts at the entry price
        double high;            // highest high
        double margin_per_lot;  // 0 without margin
        double trail;           // trailing distance, NaN: none
        double swap;            // charged so far
        std::uint64_t seq;      // rises in opening order: a position is found by it in O(log n)
        bool closed;            // closed by ticket, dropped at the next tidy (Ledger::marked)
    };
    using Position = PositionOf<Extra>;
    using TradeRow = cw::TradeRow;
    static constexpr bool journal = true;
    static constexpr bool options = true;

    Rules rules;
    std::uint64_t next_ticket = 0;
    std::int64_t bar = -1;  // the bar a run is at; -1 outside a run
    const Bar* current = nullptr;  // that bar, during a run
    std::uint64_t refusals = 0;
    std::optional<std::uint64_t> filling;  // the ticket of the order being filled
    std::vector<Order> orders;             // placing order
    std::shared_ptr<const BarValues> values;  // during a run, if it has any
    const Bar* asks = nullptr;                // their ask bars, if they have them
    bool trailing = false;  // a trailing distance was ever set: only then do stops follow
    // In a portfolio's run: the accounts that share this one's cash, margin and tickets, and
    // whether this instrument has no bar at the step (its bar is then the last it had).
    Pool* pool = nullptr;
    bool stale = false;
    // Counting the bars the bar rules guess (a run's), and the finer data exits are resolved on.
    // Without finer data the exit pass counts them as it goes (which costs nothing on a bar with
    // no exit and no trailing stop); with it, inside_bar asks before the bar instead.
    bool watch = false;
    const Intrabar* inside = nullptr;
    Guesses guesses;
    std::int64_t guessed_at = -1;  // the last bar counted
    // While a bar's exits go through its finer steps: the step's own ask (null: bid + spread),
    // and the seq from which a position was opened by this step's fills (it is fresh there).
    bool in_step = false;
    const Bar* step_ask = nullptr;
    std::uint64_t fresh_from = 0;

    // Closing or cancelling by ticket marks the record instead of erasing it from the middle of
    // its vector; the marked ones go in one pass (a tidy) when they are as many as the rest, or
    // before any pass over every position. So a vector holding only marked records is never
    // left behind: positions.empty() still says that nothing is open.
    std::size_t marked = 0;     // positions marked closed
    std::size_t cancels = 0;    // orders marked cancelled
    std::uint64_t next_seq = 0;
    // Every ticket given out, in ticket order, with the seq of the position it names (k_pending
    // while it names an order). Tickets rise with time but an order's position opens later
    // than younger ones, so the positions are not in ticket order: this finds them in O(log n).
    // Entries of what has gone are left until the list is rebuilt, at twice its size after the
    // last rebuild.
    struct TicketEntry {
        std::uint64_t ticket;
        std::uint64_t seq;
    };
    static constexpr std::uint64_t k_pending = std::numeric_limits<std::uint64_t>::max();
    std::vector<TicketEntry> tickets;
    std::size_t rebuild_at = 64;
    // Counts every closing (and every tidy): a sum over the positions kept from before is still
    // the sum of the same positions, in the same order, while it has not moved.
    std::uint64_t changes = 0;
    // The folds of free_margin at the last opening, as far as they went: the next opening at the
    // same prices goes on from there, adding the new positions in the order a fresh fold would.
    struct Valued {
        std::uint64_t changes = 0;
        std::size_t upto = 0;  // positions folded in, by place in the vector
        double long_at = 0.0;
        double short_at = 0.0;
        double contract_size = 0.0;
        double quote_to_account = 0.0;
        double open = -0.0;
        double used = 0.0;
    } valued;

    [[nodiscard]] Extra opening(double entry_price, double commission,
                                double margin_per_lot) const noexcept {
        return Extra{filling.value_or(next_ticket),
                     bar,
                     commission,
                     entry_price,
                     entry_price,
                     margin_per_lot,
                     std::numeric_limits<double>::quiet_NaN(),
                     0.0,
                     next_seq,
                     false};
    }
    // Before a position or an order takes a new ticket: room for its entry, so that what follows
    // cannot fail.
    void make_room(const std::vector<Position>& positions) {
        if (filling) {
            return;  // its entry is there already
        }
        if (tickets.size() >= rebuild_at) {
            rebuild_tickets(positions);
        }
        if (tickets.size() == tickets.capacity()) {
            tickets.reserve(tickets.capacity() * 2 + 16);
        }
    }
    // After the position is in: a ticket is used only once it names a position or an order.
    void opened() noexcept {
        const std::uint64_t seq = next_seq++;
        if (filling) {
            if (TicketEntry* entry = entry_of(*filling)) {
                entry->seq = seq;
            }
            filling.reset();
        } else {
            tickets.push_back(TicketEntry{next_ticket, seq});
            ++next_ticket;
        }
    }
    void refused() noexcept { ++refusals; }

    // The entry of a ticket given out and not yet rebuilt away; null if none.
    [[nodiscard]] TicketEntry* entry_of(std::uint64_t ticket) noexcept {
        const auto found = std::lower_bound(
            tickets.begin(), tickets.end(), ticket,
            [](const TicketEntry& entry, std::uint64_t key) { return entry.ticket < key; });
        return found != tickets.end() && found->ticket == ticket ? &*found : nullptr;
    }
    [[nodiscard]] const TicketEntry* entry_of(std::uint64_t ticket) const noexcept {
        return const_cast<Ledger*>(this)->entry_of(ticket);
    }
    void rebuild_tickets(const std::vector<Position>& positions);

    // Whether a record is still part of the account (not marked closed).
    [[nodiscard]] static bool open(const Position& position) noexcept {
        return !position.extra.closed;
    }
    [[nodiscard]] bool any_marked() const noexcept { return marked != 0; }
    [[nodiscard]] std::size_t live(const std::vector<Position>& positions) const noexcept {
        return positions.size() - marked;
    }
    // Drops the positions marked closed; inline where every bar passes, with nothing to drop.
    void tidy(std::vector<Position>& positions) noexcept {
        if (marked != 0) [[unlikely]] {
            drop_closed(positions);
        }
    }
    void drop_closed(std::vector<Position>& positions) noexcept;

    // Opened inside the bar being examined: only a pending order opens a position there, since
    // the strategy trades after the bar's exits.
    [[nodiscard]] bool fresh(const Position& position) const noexcept {
        return position.extra.entry_bar == bar && bar >= 0 && position.extra.seq >= fresh_from;
    }

    [[nodiscard]] bool counting() const noexcept { return watch && inside == nullptr; }
    // The bar a run is at is one the bar rules guess on; counted once (intrabar.cpp).
    void guessed() noexcept;

    // Whether a bar reaches a stop or a target: `seen` is the side the position closes on.
    template <class Side>
    [[nodiscard]] static bool reached(bool is_long, const std::optional<double>& stop,
                                      const std::optional<double>& target,
                                      const Side& seen) noexcept {
        return (stop && (is_long ? seen.low() <= *stop : seen.high() >= *stop)) ||
               (target && (is_long ? seen.high() >= *target : seen.low() <= *target));
    }
    // Whether the bar rules guess for this position, open before the bar: the bar reaches both
    // its levels, opening beyond neither; or it has a trailing stop the bar could move (by its
    // extremes, or by closes inside it) and then also reaches once moved.
    template <bool GapOpen, class Side>
    [[nodiscard]] bool guesses_on(const Position& position, const Side& seen) const noexcept {
        const std::optional<double>& stop = position.stop_loss;
        const std::optional<double>& target = position.take_profit;
        const bool is_long = position.is_long;
        if constexpr (GapOpen) {
            const double open = seen.open();
            if ((stop && (is_long ? open <= *stop : open >= *stop)) ||
                (target && (is_long ? open >= *target : open <= *target))) {
                return false;  // the open came first, and decides
            }
        }
        if (reached(is_long, stop, std::nullopt, seen) &&
            reached(is_long, std::nullopt, target, seen)) {
            return true;
        }
        const double trail = position.extra.trail;
        if (!trailing || std::isnan(trail)) {
            return false;
        }
        const double moved = is_long ? seen.high() - trail : seen.low() + trail;
        const bool moves = !stop || (is_long ? moved > *stop : moved < *stop);
        return moves && (is_long ? seen.low() <= moved : seen.high() >= moved);
    }

    // Every bar the position is open for after its fill bar, including the one that closes it,
    // before its exits: the excursions, on the side of the market it closes on.
    template <class Side>
    static void observe(Position& position, const Side& seen) noexcept {
        const double low = seen.low();
        const double high = seen.high();
        if (low < position.extra.low) {
            position.extra.low = low;
        }
        if (high > position.extra.high) {
            position.extra.high = high;
        }
    }
    // After a bar that left the position open: its trailing stop follows the bar's close, or its
    // best price (which takes the best price to have come after the worst), for the next bar.
    template <class Side>
    void follow(Position& position, const Side& seen) const noexcept {
        if (!trailing) [[likely]] {
            return;
        }
        const double trail = position.extra.trail;
        if (std::isnan(trail)) {
            return;
        }
        const bool close = rules.trail_from_close;
        auto& stop = position.stop_loss;
        if (position.is_long) {
            const double level = (close ? seen.close() : seen.high()) - trail;
            if (!stop || level > *stop) {
                stop = level;
            }
        } else {
            const double level = (close ? seen.close() : seen.low()) + trail;
            if (!stop || level < *stop) {
                stop = level;
            }
        }
    }

    // A run's values; null outside a run.
    void use(std::shared_ptr<const BarValues> given) noexcept {
        values = std::move(given);
        asks = values && !values->ask.empty() ? values->ask.data() : nullptr;
    }
    // The data's own ask for the bar a run is at, if it has one (then the bars are the bid's).
    [[nodiscard]] const Bar* ask_now() const noexcept {
        if (in_step) [[unlikely]] {
            return step_ask;
        }
        return asks != nullptr ? asks + bar : nullptr;
    }

    // The bar as the side a long (`is_long`, the bid) or a short (the ask) closes on traded it,
    // for the bars' side of the market `Q`: the bars themselves, the data's own ask, or the bars
    // moved by side_offset into `made`.
    template <Quotes Q>
    [[nodiscard]] const Bar& side(const Bar& seen, double spread, bool is_long,
                                  Bar& made) const noexcept {
        if constexpr (Q == Quotes::engine) {
            return seen;
        } else {
            if (const Bar* ask = ask_now(); Q == Quotes::bid && !is_long && ask != nullptr) {
                return *ask;
            }
            if (!side_moved<Q>(is_long)) {
                return seen;
            }
            const double by = side_offset<Q>(is_long, spread);
            made = Bar{seen.timestamp, seen.open + by, seen.high + by, seen.low + by,
                       seen.close + by, seen.volume};
            return made;
        }
    }

    [[nodiscard]] TradeRow closed(const Position& p, double exit_price, double pnl,
                                  std::int64_t time, ExitReason reason) const noexcept {
        constexpr double none = std::numeric_limits<double>::quiet_NaN();
        // Each side subtracts in its own order, so no move comes out as -0.0.
        const double mae = p.is_long ? p.extra.low - p.entry_price : p.entry_price - p.extra.high;
        const double mfe = p.is_long ? p.extra.high - p.entry_price : p.entry_price - p.extra.low;
        return TradeRow{p.extra.ticket,
                        p.entry_time,
                        time,
                        p.extra.entry_bar,
                        bar,
                        p.entry_price,
                        exit_price,
                        p.lot_size,
                        p.stop_loss.value_or(none),
                        p.take_profit.value_or(none),
                        pnl,
                        p.extra.commission,
                        p.extra.swap,
                        mae,
                        mfe,
                        p.is_long,
                        reason,
                        pool != nullptr ? next_closing(*pool) : 0U};
    }
};

using Account = BrokerOf<Ledger>;

// --- what only the Account does (account_ops.cpp) ---

// The margin one position holds, and all of them in opening order.
[[nodiscard]] inline double margin_of(const Account::Position& position) noexcept {
    return position.extra.margin_per_lot * position.lot_size;
}
[[nodiscard]] double used_margin(const Account& account) noexcept;
// Equity over used margin, in percent, as brokers give it; and equity less used margin.
[[nodiscard]] inline double margin_level(double equity, double used) noexcept {
    return (equity / used) * 100.0;
}
[[nodiscard]] inline double free_margin(const Account& account, double price) noexcept {
    return equity(account, price) - used_margin(account);
}

// The run's steps around a bar's exits: before them, the bar's values, the swaps of the rollovers
// since the last bar and the pending orders; after them, the stop-out. Inline: most runs have
// none of them, and then a bar costs no call. True when the bar's exits and stop-out are done
// already, on the finer data inside it (intrabar.cpp).
bool bar_steps(Account& account, const Bar& bar);
inline bool begin_bar(Account& account, const Bar& bar) {
    Ledger& book = account.book;
    ++book.bar;
    book.current = &bar;
    if (book.values || !book.orders.empty() ||
        (book.inside != nullptr && !account.positions.empty())) [[unlikely]] {
        return bar_steps(account, bar);
    }
    return false;
}
void end_exits(Account& account, const Bar& bar);

// Closes all of the position with this ticket, or `lots` of it (the rest keeps the ticket), by
// the closing rule; false if there is none.
bool close_ticket(Account& account, std::uint64_t ticket, double price, std::int64_t timestamp,
                  std::optional<double> lots = std::nullopt);

// A change to one value: absent, keep it.
template <class T>
using Change = std::optional<T>;
// Moves the levels of the position with this ticket; false if there is none.
bool modify(Account& account, std::uint64_t ticket, Change<std::optional<double>> stop_loss,
            Change<std::optional<double>> take_profit, Change<double> trail);

// A position opened with a trailing stop: with no stop-loss of its own, it starts `trail` from
// `price`, the price it would close at when it opened (the bars' price, for the engine model).
[[nodiscard]] std::optional<double> trailing_start(bool is_long, double price,
                                                   std::optional<double> stop_loss, double trail);

std::uint64_t place_order(Account& account, Order order);
bool cancel_order(Account& account, std::uint64_t ticket);

// The open position or the pending order with this ticket, found in O(log n); null if none.
[[nodiscard]] Account::Position* open_with_ticket(Account& account, std::uint64_t ticket) noexcept;
[[nodiscard]] const Account::Position* open_with_ticket(const Account& account,
                                                        std::uint64_t ticket) noexcept;
[[nodiscard]] Order* pending_with_ticket(Account& account, std::uint64_t ticket) noexcept;
[[nodiscard]] const Order* pending_with_ticket(const Account& account,
                                               std::uint64_t ticket) noexcept;

// free_margin(account, price) for an opening, the same value to the bit: an opening after
// openings at the same prices adds only the new positions to the sums (Ledger::valued).
[[nodiscard]] double free_margin_to_open(Account& account, double price) noexcept;

}  // namespace cw
