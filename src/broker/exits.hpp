// The per-bar exit pass as a template the caller compiles in: the run loops call it through
// check_exits (broker.cpp); a loop that runs without Python calls in between has it inline.
#pragma once

#include <cstddef>
#include <optional>

#include "broker/closing.hpp"

namespace cw {

// Each position is looked at once: its excursions take in the bar, then its levels are tested as
// they stood when the bar opened, and only a position the bar leaves open has its trailing stop
// moved, for the next bar: what the bar did after a level was reached cannot be known. A position
// a pending order opened inside this bar is tested without the open (it did not exist then), or
// not at all, and its excursions start on the next bar.
template <bool GapOpen, bool Sided, class Book>
inline void check_exits_by(BrokerOf<Book>& broker, const Bar& bar) {
    using closing::Exit;
    using closing::exit_of;
    using closing::reserve_trades;
    using closing::settle;
    auto& positions = broker.positions;
    auto& book = broker.book;
    const std::size_t count = positions.size();
    // The bar as each side traded it; without sides, the bar itself for both, not copied.
    Sides sides{};
    if constexpr (Sided) {
        sides = book.sides(bar, broker.spread);
    }
    auto side_of = [&](bool is_long) -> const Bar& {
        if constexpr (Sided) {
            return is_long ? sides.bid : sides.ask;
        } else {
            return bar;
        }
    };

    // Where the position stands after the bar: the exit it takes, if any.
    auto examine = [&](typename Book::Position& position) -> std::optional<Exit> {
        const Bar& seen = side_of(position.is_long);
        if (book.fresh(position)) {
            if (!book.rules.fill_bar_exits) {
                return std::nullopt;
            }
            return exit_of<false>(position, seen);
        }
        book.observe(position, seen);
        std::optional<Exit> exit = exit_of<GapOpen>(position, seen);
        if (!exit) {
            book.follow(position, seen);
        }
        return exit;
    };
    // A level read on the position's own side is its price; the engine's levels are the bars'.
    auto price_of = [&](const typename Book::Position& position, const Exit& exit) {
        return Sided ? exit.level : close_at(broker, position.is_long, exit.level);
    };

    // Most bars close nothing: look without moving anything until the first hit.
    std::size_t first = 0;
    std::optional<Exit> exit;
    for (; first < count; ++first) {
        exit = examine(positions[first]);
        if (exit) {
            break;
        }
    }
    if (first == count) {
        return;
    }

    // Every position from the first hit on may close; room for all of them, before any change.
    reserve_trades(broker, count - first);
    settle(broker, positions[first], price_of(positions[first], *exit), bar.timestamp,
           exit->reason);

    // Closed positions drop out and the rest move up in order, each moved at most once.
    std::size_t kept = first;
    for (std::size_t read = first + 1; read < count; ++read) {
        auto& position = positions[read];
        if (const auto hit = examine(position)) {
            settle(broker, position, price_of(position, *hit), bar.timestamp, hit->reason);
        } else {
            positions[kept++] = position;
        }
    }
    positions.erase(positions.begin() + static_cast<std::ptrdiff_t>(kept), positions.end());
}

// The pass for the account's rules.
template <class Book>
inline void check_exits_ruled(BrokerOf<Book>& broker, const Bar& bar) {
    const Rules& rules = broker.book.rules;
    if (rules.sides()) {
        if (rules.gap_open) {
            check_exits_by<true, true>(broker, bar);
        } else {
            check_exits_by<false, true>(broker, bar);
        }
    } else if (rules.gap_open) {
        check_exits_by<true, false>(broker, bar);
    } else {
        check_exits_by<false, false>(broker, bar);
    }
}

// check_exits, inline.
template <class Book>
inline void check_exits_here(BrokerOf<Book>& broker, const Bar& bar) {
    if (!broker.positions.empty()) {
        check_exits_ruled(broker, bar);
    }
}

}  // namespace cw
