// A portfolio's run, step by step, on its members' accounts: the same for a strategy called from
// Python and for signals run without the interpreter. Pure C++.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "broker/pool.hpp"
#include "portfolio/portfolio.hpp"

namespace cw {

// What one instrument is doing in a run.
struct StepMember {
    Account* account;
    std::span<const Bar> bars;
    std::size_t next = 0;        // bars stepped so far
    std::uint64_t exposed = 0;   // steps at whose close it had a position open
};

// The members' accounts as one: a pool when there are several (a lone account is its own).
void join_pool(Pool& pool, std::vector<StepMember>& members);
// Each member leaves the pool with its cash and knows no bar, so that an account kept past the
// run may still trade on its own.
void leave_run(Pool& pool, std::vector<StepMember>& members) noexcept;
// Leaves the run however it ends.
struct LeaveRun {
    Pool& pool;
    std::vector<StepMember>& members;
    ~LeaveRun() { leave_run(pool, members); }
};
// The rates of the converted members from their pairs' closes at step `s`.
void convert(const Portfolio& portfolio, std::vector<StepMember>& members);
// Closes what is open, each member at its last bar's close and time.
template <class Enter>
void close_at_end(std::vector<StepMember>& members, Enter&& enter) {
    for (std::size_t k = 0; k < members.size(); ++k) {
        StepMember& member = members[k];
        if (member.bars.empty()) {
            continue;
        }
        const Bar& last = member.bars.back();
        auto guard = enter(k);
        hold(*member.account);
        close_all(*member.account, last.close, last.timestamp, ExitReason::end);
    }
}

// Every step in order: the rates, then each instrument with a bar (its values, swaps, orders and
// exits, in instrument order), the stop-out over the whole account, `step(s, present)`, and the
// equity point; `enter(k)` guards member k's account while the run works on it, and `after()`
// follows each step. Returns the steps at whose close any position was open.
template <class Enter, class Step, class After>
std::uint64_t run_steps(const Portfolio& portfolio, std::vector<StepMember>& members, Pool* pool,
                        std::vector<double>& curve, Enter&& enter, Step&& step, After&& after) {
    const Timeline& timeline = portfolio.timeline;
    bool margin = false;
    for (const StepMember& member : members) {
        margin = margin || member.account->book.rules.margin();
    }
    std::uint64_t exposed = 0;
    for (std::size_t s = 0; s < timeline.size(); ++s) {
        const std::span<const std::uint32_t> present = timeline.at(s);
        if (pool != nullptr) {
            for (StepMember& member : members) {
                member.account->book.stale = true;
            }
            for (const std::uint32_t k : present) {
                members[k].account->book.stale = false;
            }
        }
        convert(portfolio, members);
        for (const std::uint32_t k : present) {
            StepMember& member = members[k];
            const Bar& bar = member.bars[member.next++];
            Account& account = *member.account;
            auto guard = enter(k);
            hold(account);
            if (begin_bar(account, bar)) {
                continue;  // resolved on finer data, which a portfolio's members do not have
            }
            check_exits(account, bar);
            if (pool == nullptr && margin) {
                end_exits(account, bar);
            }
        }
        if (pool != nullptr && margin) {
            pool_stop_out(*pool, timeline.times[s]);
        }
        step(s, present);
        double point = 0.0;
        if (pool != nullptr) {
            point = pool_equity(*pool);
        } else {
            auto guard = enter(0);
            const Account& account = *members.front().account;
            point = equity(account, account.book.current->close);
        }
        bool any = false;
        for (StepMember& member : members) {
            const bool open = !member.account->positions.empty();
            member.exposed += open ? 1U : 0U;
            any = any || open;
        }
        exposed += any ? 1U : 0U;
        curve.push_back(point);
        after();
    }
    return exposed;
}

}  // namespace cw
