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
// not at all, and its excursions start on the next bar. No record may be marked closed: a loop of
// its own closes nothing by ticket, and check_exits_ruled drops them first.
template <bool GapOpen, Quotes Q, class Book>
[[gnu::always_inline]] inline void check_exits_by(BrokerOf<Book>& broker, const Bar& bar) {
    constexpr bool Sided = Q != Quotes::engine;
    using closing::Exit;
    using closing::exit_of;
    using closing::reserve_trades;
    using closing::settle;
    auto& positions = broker.positions;
    auto& book = broker.book;
    const std::size_t count = positions.size();
    // Each position reads the bar on the side it closes on, moved there only where it is read.
    const double spread = broker.spread;
    const Bar* const ask = Q == Quotes::bid ? book.ask_now() : nullptr;

    // Where the position stands after the bar: the exit it takes, if any.
    auto examine_on = [&](typename Book::Position& position, const auto& seen)
                          __attribute__((always_inline)) -> std::optional<Exit> {
        if (book.fresh(position)) {
            if (!book.rules.fill_bar_exits) {
                return std::nullopt;
            }
            return exit_of<false>(position, seen);
        }
        book.observe(position, seen);
        std::optional<Exit> exit = exit_of<GapOpen>(position, seen);
        if constexpr (Book::options) {
            if ((exit || book.trailing) && book.counting() &&
                book.template guesses_on<GapOpen>(position, seen)) [[unlikely]] {
                book.guessed();
            }
        }
        if (!exit) {
            book.follow(position, seen);
        }
        return exit;
    };
    auto examine = [&](typename Book::Position& position)
                       __attribute__((always_inline)) -> std::optional<Exit> {
        if constexpr (Q == Quotes::engine) {
            return examine_on(position, SameSide{bar});
        } else {
            const bool is_long = position.is_long;
            if (!is_long && ask != nullptr) {
                return examine_on(position, SameSide{*ask});
            }
            if (side_moved<Q>(is_long)) {
                return examine_on(position, MovedSide{bar, side_offset<Q>(is_long, spread)});
            }
            return examine_on(position, SameSide{bar});
        }
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

// The pass for the account's rules: a plain switch, which the compiler folds for the plain book.
template <bool GapOpen, class Book>
inline void check_exits_quoted(BrokerOf<Book>& broker, const Bar& bar) {
    switch (broker.book.rules.quotes) {
        case Quotes::bid:
            return check_exits_by<GapOpen, Quotes::bid>(broker, bar);
        case Quotes::ask:
            return check_exits_by<GapOpen, Quotes::ask>(broker, bar);
        case Quotes::mid:
            return check_exits_by<GapOpen, Quotes::mid>(broker, bar);
        case Quotes::engine:
            break;
    }
    check_exits_by<GapOpen, Quotes::engine>(broker, bar);
}
template <class Book>
inline void check_exits_ruled(BrokerOf<Book>& broker, const Bar& bar) {
    broker.book.tidy(broker.positions);
    if (broker.book.rules.gap_open) {
        check_exits_quoted<true>(broker, bar);
    } else {
        check_exits_quoted<false>(broker, bar);
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
