// The per-bar exit pass as a template the caller compiles in: the run loops call it through
// check_exits (broker.cpp); a loop that runs without Python calls in between has it inline.
#pragma once

#include <cstddef>
#include <optional>

#include "broker/closing.hpp"

namespace cw {

template <bool GapOpen, class Book>
inline void check_exits_by(BrokerOf<Book>& broker, const Bar& bar) {
    using closing::Exit;
    using closing::exit_of;
    using closing::reserve_trades;
    using closing::settle;
    auto& positions = broker.positions;
    const std::size_t count = positions.size();

    // Most bars close nothing: look without moving anything until the first hit.
    std::size_t first = 0;
    std::optional<Exit> exit;
    for (; first < count; ++first) {
        broker.book.observe(positions[first], bar);
        exit = exit_of<GapOpen>(positions[first], bar);
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
        broker.book.observe(position, bar);
        if (const auto hit = exit_of<GapOpen>(position, bar)) {
            settle(broker, position, hit->level, bar.timestamp, hit->reason);
        } else {
            positions[kept++] = position;
        }
    }
    positions.erase(positions.begin() + static_cast<std::ptrdiff_t>(kept), positions.end());
}

// check_exits, inline.
template <class Book>
inline void check_exits_here(BrokerOf<Book>& broker, const Bar& bar) {
    if (broker.positions.empty()) {
        return;
    }
    if (broker.book.rules.gap_open) {
        check_exits_by<true>(broker, bar);
    } else {
        check_exits_by<false>(broker, bar);
    }
}

}  // namespace cw
