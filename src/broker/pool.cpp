// The pool's sums and its stop-out. Each member's positions are folded as a lone account folds
// them (equity_marked_at), and the members' folds are added in instrument order, cash last.
#include "broker/pool.hpp"

#include <cstddef>
#include <vector>

#include "broker/closing.hpp"

namespace cw {
namespace {

using OpenPosition = Account::Position;

// What a member's open positions add to the account when its bars show `price`.
double open_value(const Account& member, double price) noexcept {
    if (member.positions.empty()) {
        return -0.0;
    }
    const bool sides = member.book.rules.sides();
    const double long_at = sides ? close_at(member, true, price) : price;
    const double short_at = sides ? close_at(member, false, price) : price;
    return member.book.any_marked() ? open_value_over<true>(member, long_at, short_at)
                                    : open_value_over<false>(member, long_at, short_at);
}

// The pool's open value with `at` valued at `price` and the others at their current close. A
// member with nothing open adds nothing (it may have no bar yet).
double pool_open_value(const Pool& pool, const Account* at, double price) noexcept {
    double total = -0.0;
    for (const Account* member : pool.members) {
        if (member->positions.empty() || member->book.current == nullptr) {
            continue;
        }
        total = total + open_value(*member, member == at ? price : member->book.current->close);
    }
    return total;
}

}  // namespace

std::uint32_t next_closing(Pool& pool) noexcept { return pool.closings++; }

double pooled_cash(const Account& account) noexcept {
    const Pool* const pool = account.book.pool;
    return pool != nullptr ? pool->holder->cash : account.cash;
}

double pooled_used_margin(const Account& account) noexcept {
    const Pool* const pool = account.book.pool;
    if (pool == nullptr) {
        return used_margin(account);
    }
    double used = 0.0;
    for (const Account* member : pool->members) {
        for (const OpenPosition& position : member->positions) {
            if (Ledger::open(position)) {
                used = used + margin_of(position);
            }
        }
    }
    return used;
}

double pooled_equity(const Account& account, double price) noexcept {
    const Pool* const pool = account.book.pool;
    if (pool == nullptr) {
        return equity(account, price);
    }
    return pool_open_value(*pool, &account, price) + pool->holder->cash;
}

double pooled_free_margin(const Account& account, double price) noexcept {
    return pooled_equity(account, price) - pooled_used_margin(account);
}

double member_open_value(const Account& member) noexcept {
    if (member.positions.empty() || member.book.current == nullptr) {
        return 0.0;
    }
    return open_value(member, member.book.current->close);
}

double pool_equity(const Pool& pool) noexcept {
    return pool_open_value(pool, nullptr, 0.0) + pool.holder->cash;
}

namespace {

// A position that may be stopped out: where it is and what it is worth at its member's worst end.
struct Candidate {
    Account* member;
    std::size_t place;
    double value;
    double price;  // on its side of the market, or the bars' price for the engine's model
    double margin;
    bool closed;
};

// Each member's positions at the end of its bar (or its close, without a bar at the step) that
// values them least, on the side each closes on.
template <Quotes Q>
double worst_values(Pool& pool, std::vector<Candidate>* into) {
    constexpr bool sided = Q != Quotes::engine;
    double total = -0.0;
    for (Account* member : pool.members) {
        if (member->positions.empty() || member->book.current == nullptr) {
            continue;
        }
        const Ledger& book = member->book;
        const Bar& bar = *book.current;
        auto price_of = [&](const OpenPosition& position, bool low) {
            Bar made;
            const Bar& seen = book.side<Q>(bar, member->spread, position.is_long, made);
            return book.stale ? seen.close : low ? seen.low : seen.high;
        };
        auto value_of = [&](const OpenPosition& position, double at) {
            return open_value_at(*member, position,
                                 sided ? at : value_at(*member, position.is_long, at));
        };
        double at_low = -0.0;
        double at_high = -0.0;
        for (const OpenPosition& position : member->positions) {
            at_low = at_low + value_of(position, price_of(position, true));
            at_high = at_high + value_of(position, price_of(position, false));
        }
        const bool low = at_low <= at_high;
        total = total + (low ? at_low : at_high);
        if (into != nullptr) {
            for (std::size_t i = 0; i < member->positions.size(); ++i) {
                const OpenPosition& position = member->positions[i];
                const double at = price_of(position, low);
                into->push_back(Candidate{member, i, value_of(position, at), at,
                                          margin_of(position), false});
            }
        }
    }
    return total;
}

template <Quotes Q>
void stop_out_by(Pool& pool, std::int64_t time) {
    constexpr bool sided = Q != Quotes::engine;
    const double stop_out = pool.members.front()->book.rules.stop_out;
    const double worst = worst_values<Q>(pool, nullptr) + pool.holder->cash;
    if (!(margin_level(worst, pooled_used_margin(*pool.holder)) <= stop_out)) {
        return;
    }
    // Everything that can fail, before any change.
    std::vector<Candidate> candidates;
    std::size_t count = 0;
    for (Account* member : pool.members) {
        count += member->positions.size();
    }
    candidates.reserve(count);
    for (Account* member : pool.members) {
        closing::reserve_trades(*member, member->positions.size());
    }
    (void)worst_values<Q>(pool, &candidates);
    // The plain way, as a lone account's stop-out is: the worst by a scan (the first of equal
    // values, in instrument and opening order), the level summed afresh after each close.
    for (std::size_t left = candidates.size(); left != 0; --left) {
        Candidate* chosen = nullptr;
        for (Candidate& candidate : candidates) {
            if (!candidate.closed && (chosen == nullptr || candidate.value < chosen->value)) {
                chosen = &candidate;
            }
        }
        Account& member = *chosen->member;
        hold(member);
        OpenPosition& position = member.positions[chosen->place];
        closing::settle(member, position,
                        sided ? chosen->price : close_at(member, position.is_long, chosen->price),
                        time, ExitReason::stop_out);
        position.extra.closed = true;
        chosen->closed = true;
        double open = -0.0;
        double used = 0.0;
        for (const Candidate& candidate : candidates) {
            if (!candidate.closed) {
                open = open + candidate.value;
            }
        }
        for (const Candidate& candidate : candidates) {
            if (!candidate.closed) {
                used = used + candidate.margin;
            }
        }
        if (!(margin_level(open + member.cash, used) <= stop_out)) {
            break;
        }
    }
    for (Account* member : pool.members) {
        member->book.drop_closed(member->positions);
    }
}

}  // namespace

void pool_stop_out(Pool& pool, std::int64_t time) {
    for (Account* member : pool.members) {
        member->book.tidy(member->positions);
    }
    with_quotes(pool.members.front()->book.rules.quotes,
                [&](auto quotes) { stop_out_by<decltype(quotes)::value>(pool, time); });
}

void leave_pool(Pool& pool) noexcept {
    if (pool.holder == nullptr) {
        return;
    }
    for (Account* member : pool.members) {
        member->cash = pool.holder->cash;
        member->book.next_ticket = pool.holder->book.next_ticket;
        member->book.pool = nullptr;
    }
    pool.holder = nullptr;
}

}  // namespace cw
