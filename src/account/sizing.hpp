// Position sizing by risk: the value of a pip, what a stop puts at risk per lot, and the lots that
// risk a share of equity, rounded down to the broker's step. Pure C++, for the Account's methods
// and the signal runs alike.
#pragma once

#include <cmath>
#include <limits>
#include <optional>

#include "account/refusals.hpp"
#include "broker/ledger.hpp"

namespace cw::sizing {

// The rate the account applies at a close now. In a run, bar_steps has set it from the run's
// values (a per-bar column, or its reciprocals when it was given as 1/close) before the strategy
// sees the bar; outside one it is the account's own constant. Read here, not worked out again.
[[nodiscard]] inline double rate_now(const Account& account) noexcept {
    return account.quote_to_account;
}

// Ten points when the account has a point (a pip of a 5-digit quote), else the 4-digit pip.
[[nodiscard]] inline double default_pip(const Rules& rules) noexcept {
    return rules.point > 0.0 ? rules.point * 10.0 : 0.0001;
}

// Account currency per pip: ((lots * contract_size) * pip) * rate, in that order.
[[nodiscard]] inline double pip_value(double lots, double contract_size, double pip,
                                      double rate) noexcept {
    const double units = lots * contract_size;
    const double quote = units * pip;
    return quote * rate;
}

// Account currency lost per lot from `entry` to `stop_loss`: (|entry - stop| * contract_size) *
// rate. Each side subtracts the lower price from the higher, so the distance is never -0.0.
[[nodiscard]] inline double money_per_lot(double entry, double stop_loss, double contract_size,
                                          double rate) noexcept {
    const double distance = entry > stop_loss ? entry - stop_loss : stop_loss - entry;
    const double quote = distance * contract_size;
    return quote * rate;
}

// How lots are rounded: down to a multiple of `step`, none at all below `min_lots`, at most
// `max_lots` (infinite: no cap).
struct LotSteps {
    double step = 0.01;
    double min_lots = 0.01;
    double max_lots = std::numeric_limits<double>::infinity();
};

// Why these steps cannot size anything, or nothing.
[[nodiscard]] Refusal check_steps(const LotSteps& steps);
// A risk is a share of equity: above 0, at most all of it.
[[nodiscard]] Refusal check_risk(double risk);

// The whole steps in `amount`. A quotient a few ulps under a whole number (0.2 / 0.01 gives
// 19.999999999999996) stands for that number: it is raised by 1e-12 of itself before the floor,
// thousands of ulps, and still far below any shortfall a lot step could mean.
[[nodiscard]] inline double steps_in(double amount, double step) noexcept {
    const double quotient = amount / step;
    return std::floor(quotient * (1.0 + 1e-12));
}

// `k` steps as the decimal the step is written in, so that 7 steps of 0.01 are 0.07 and not
// 0.07000000000000001 (see sizing.cpp).
[[nodiscard]] double lots_of(double k, double step) noexcept;

// The lots `raw` comes to under the steps: rounded down, capped, 0.0 below the minimum.
[[nodiscard]] double round_lots(double raw, const LotSteps& steps) noexcept;

// Lots whose loss over `per_lot` (money_per_lot) is `risk` of `equity`: (equity * risk) /
// per_lot, rounded by the steps. No equity risks nothing.
[[nodiscard]] inline double lots_for(double equity, double risk, double per_lot,
                                     const LotSteps& steps) noexcept {
    if (!(equity > 0.0)) {
        return 0.0;
    }
    const double at_risk = equity * risk;
    return round_lots(at_risk / per_lot, steps);
}

// A sizing's request: risk a share of equity down to `stop_loss`, entering at `price` or, when
// not given, at the market now.
struct RiskOrder {
    double risk;
    double stop_loss;
    std::optional<double> price;
    LotSteps steps;
};

// The lots, or why there are none to work out.
struct Sized {
    double lots = 0.0;
    Refusal refusal;
};

// The lots for `order` on the account as it is: equity valued at the bar's close in a run, at
// the price given outside one; a stop below the close (or the price given) is a long's, entered
// at the ask a buy would pay now, one above it a short's, at the bid. Commission is left out of
// the risk, as the usual risk calculators leave it.
[[nodiscard]] Sized lots_for_risk(const Account& account, const RiskOrder& order);

}  // namespace cw::sizing
