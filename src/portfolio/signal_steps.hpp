// A portfolio run on signals: each instrument's signal actions at its own bars' closes, through
// the portfolio's steps on one account, with no Python in the loop. Pure C++.
#pragma once

#include <cstdint>
#include <vector>

#include "portfolio/portfolio.hpp"
#include "portfolio/steps.hpp"
#include "signals/signal_run.hpp"

namespace cw {

// What the run made: each instrument's account (its journal and refusals), as the steps left it.
struct PortfolioSignalRun {
    std::vector<Account> accounts;  // instrument order
    std::vector<StepMember> members;
    std::vector<double> curve;
    std::uint64_t exposed = 0;
};

// `sets[k]` holds instrument k's values per bar of its own (not per step): a step where it has
// no bar has nothing for it to do. The accounts leave the pool at the end, each with its cash.
// Throws SignalRefusal (`set` the instrument, `bar` its bar) and SignalsStopped when `watch` says
// so; `out` is then partly run.
void run_portfolio_signals(const Portfolio& portfolio, const std::vector<SignalSet>& sets,
                           const SignalRules& rules, Watch& watch, PortfolioSignalRun& out);

}  // namespace cw
