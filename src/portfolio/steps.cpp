#include "portfolio/steps.hpp"

namespace cw {

void join_pool(Pool& pool, std::vector<StepMember>& members) {
    if (members.size() < 2) {
        return;
    }
    pool.members.reserve(members.size());
    for (StepMember& member : members) {
        pool.members.push_back(member.account);
    }
    for (StepMember& member : members) {
        member.account->book.pool = &pool;
    }
    pool.holder = pool.members.front();
}

void leave_run(Pool& pool, std::vector<StepMember>& members) noexcept {
    leave_pool(pool);
    for (StepMember& member : members) {
        Ledger& book = member.account->book;
        book.bar = -1;
        book.current = nullptr;
        book.stale = false;
        book.use(nullptr);
    }
}

// A pair's close at this step is its next bar's when it has one now, else its last bar's; the
// rate stays as it was while a pair has none yet.
void convert(const Portfolio& portfolio, std::vector<StepMember>& members) {
    auto close_of = [&members](const Leg& leg) -> const Bar* {
        const StepMember& pair = members[leg.pair];
        if (!pair.account->book.stale && pair.next < pair.bars.size()) {
            return &pair.bars[pair.next];
        }
        return pair.next == 0 ? nullptr : &pair.bars[pair.next - 1];
    };
    for (std::size_t k = 0; k < members.size(); ++k) {
        const Conversion& legs = portfolio.conversions[k];
        if (legs.empty()) {
            continue;
        }
        // A rate moves only with a close: kept while none of its pairs has a bar at the step.
        bool moved = false;
        for (const Leg& leg : legs) {
            moved = moved || !members[leg.pair].account->book.stale;
        }
        if (!moved) {
            continue;
        }
        const Bar* first = close_of(legs[0]);
        const Bar* second = legs.size() == 2 ? close_of(legs[1]) : first;
        if (first != nullptr && second != nullptr) {
            members[k].account->quote_to_account = converted(legs, first->close, second->close);
        }
    }
}

}  // namespace cw
