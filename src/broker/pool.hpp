// A portfolio's accounts, one per instrument, acting as one: one cash, one margin, one stop-out
// and one run of tickets. Each instrument keeps an Account of its own (its spread, rate, rules,
// positions, orders and journal), so every formula stays the single account's; the pool only
// makes them share what a broker's account shares. Pure C++.
#pragma once

#include <cstdint>
#include <vector>

#include "broker/ledger.hpp"

namespace cw {

struct Pool {
    std::vector<Account*> members;  // instrument order
    Account* holder = nullptr;      // the member whose cash and next ticket are the pool's
    std::uint32_t closings = 0;
};

// Makes `account` the member whose cash and next ticket are current. Called before anything
// reads or changes either, so each operation runs on the pool's cash as on a lone account's.
inline void hold(Account& account) noexcept {
    Pool* const pool = account.book.pool;
    if (pool != nullptr && pool->holder != &account) [[unlikely]] {
        account.cash = pool->holder->cash;
        account.book.next_ticket = pool->holder->book.next_ticket;
        pool->holder = &account;
    }
}

// What a lone account or its pool holds: the cash, the used margin, and the equity and free margin
// with `account` valued at `price` and every other member at its current close (on the side its
// positions close on), summed in instrument order, cash last.
[[nodiscard]] double pooled_cash(const Account& account) noexcept;
[[nodiscard]] double pooled_used_margin(const Account& account) noexcept;
[[nodiscard]] double pooled_equity(const Account& account, double price) noexcept;
[[nodiscard]] double pooled_free_margin(const Account& account, double price) noexcept;
// What one member's open positions add to the account at its current close (0 with none).
[[nodiscard]] double member_open_value(const Account& member) noexcept;
// The pool's value with every member at its current close: a portfolio's equity point.
[[nodiscard]] double pool_equity(const Pool& pool) noexcept;

// The stop-out over every member's positions, after the step's exits: each instrument valued at
// the end of its bar that values its positions least (at its close when it has no bar at the step),
// and while the margin level is at or below the stop-out, the largest loss there closes first.
void pool_stop_out(Pool& pool, std::int64_t time);

// The members' tickets, cash and journal order as one again after a run: each keeps the pool's
// cash, and none points at the pool.
void leave_pool(Pool& pool) noexcept;

}  // namespace cw
