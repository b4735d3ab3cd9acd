#include "portfolio/signal_steps.hpp"

#include <span>

#include "broker/pool.hpp"
#include "signals/actions.hpp"

namespace cw {
namespace {

// Nothing to guard: no other thread sees these accounts.
struct Unguarded {
    ~Unguarded() {}  // user-provided, as a guard's is: an unused guard is then no warning
};

}  // namespace

void run_portfolio_signals(const Portfolio& portfolio, const std::vector<SignalSet>& sets,
                           const SignalRules& rules, Watch& watch, PortfolioSignalRun& out) {
    const std::size_t count = portfolio.members.size();
    out.accounts.clear();
    out.members.clear();
    // The members and the pool point at the accounts: they are not to move once made.
    out.accounts.reserve(count);
    out.members.reserve(count);
    std::vector<Actions> actions;
    actions.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        const Backtest& backtest = portfolio.members[k];
        const Account& params = backtest.account;
        Account& account = out.accounts.emplace_back(
            make_broker<Ledger>(params.initial_cash, params.commission, params.spread,
                                params.contract_size, params.quote_to_account));
        account.book.rules = params.book.rules;
        account.book.use(backtest.values);
        out.members.push_back(StepMember{&account, std::span<const Bar>(*backtest.data), 0, 0});
        actions.emplace_back(sets[k], rules);
    }
    out.curve.clear();
    out.curve.reserve(portfolio.timeline.size());

    Pool pool;
    join_pool(pool, out.members);
    const LeaveRun leave{pool, out.members};
    Pool* const shared = count > 1 ? &pool : nullptr;
    std::vector<StepMember>& members = out.members;
    auto enter = [](std::size_t) { return Unguarded{}; };
    auto step = [&](std::size_t, std::span<const std::uint32_t> present) {
        for (const std::uint32_t k : present) {
            StepMember& member = members[k];
            const std::size_t i = member.next - 1;
            const Actions& own = actions[k];
            if (own.any_at(i)) [[unlikely]] {
                // The pool's cash and tickets move to the account that trades, as its methods do.
                hold(*member.account);
                try {
                    own.at(*member.account, member.bars[i], i);
                } catch (SignalRefusal& refusal) {
                    refusal.set = k;
                    throw;
                }
            }
        }
    };
    std::size_t left = Watch::k_bars;
    auto after = [&] {
        if (--left == 0) [[unlikely]] {
            left = Watch::k_bars;
            watch.look();
        }
    };
    out.exposed = run_steps(portfolio, members, shared, out.curve, enter, step, after);
    close_at_end(members, enter);
}

}  // namespace cw
