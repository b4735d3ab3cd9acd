// Position sizing's rounding and its use of the account: its equity, its fill price and its rate
// at the bar a run is at.
#include "account/sizing.hpp"

#include "broker/pool.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace cw::sizing {
namespace {

// Below this, a whole number of step units is exact in a double and so is its product by k.
constexpr double k_exact = 9007199254740992.0;  // 2^53

[[nodiscard, gnu::cold]] std::string worth_nothing(double per_lot, const Account& account) {
    return "a lot risks " + shown(per_lot) + " in the account's currency between the entry and "
           "the stop (contract_size " + shown(account.contract_size) + ", quote_to_account " +
           shown(rate_now(account)) + "): there is nothing to size by";
}

[[nodiscard, gnu::cold]] std::string at_entry(double stop_loss, bool in_run) {
    return "stop_loss " + shown(stop_loss) + " is at the " +
           (in_run ? "bar's close" : "price given") +
           ": a stop must be below it (a long) or above it (a short)";
}

}  // namespace

Refusal check_steps(const LotSteps& steps) {
    if (Refusal refusal = check_lots(steps.step, "lot_step")) {
        return refusal;
    }
    if (Refusal refusal = check_lots(steps.min_lots, "min_lots")) {
        return refusal;
    }
    if (!(steps.max_lots >= steps.min_lots)) [[unlikely]] {
        return "max_lots must be None or at least min_lots (" + shown(steps.min_lots) + "), not " +
               shown(steps.max_lots);
    }
    return std::nullopt;
}

Refusal check_risk(double risk) {
    if (risk > 0.0 && risk <= 1.0) [[likely]] {
        return std::nullopt;
    }
    return refusal::number(risk, "risk", "a share of equity above 0 and at most 1");
}

// A step with d decimals (0.01: d = 2) is `units` / 10^d for a whole number of units; k steps are
// then (k * units) / 10^d, one correctly rounded division of two exact numbers: the double
// nearest the decimal, as round(k * step, d) gives it. A step that is no decimal of up to ten
// places (1/3), or a count too large for the product to be exact, is multiplied as it is.
double lots_of(double k, double step) noexcept {
    double scale = 1.0;
    for (int decimals = 0; decimals <= 10; ++decimals) {
        const double scaled = step * scale;
        const double units = std::round(scaled);
        if (units >= 1.0 && std::fabs(scaled - units) <= units * 1e-12) {
            const double whole = k * units;
            return whole < k_exact ? whole / scale : k * step;
        }
        scale = scale * 10.0;
    }
    return k * step;
}

double round_lots(double raw, const LotSteps& steps) noexcept {
    double k = steps_in(raw, steps.step);
    if (steps.max_lots < std::numeric_limits<double>::infinity()) {
        k = std::min(k, steps_in(steps.max_lots, steps.step));
    }
    if (!(k >= 1.0)) {
        return 0.0;
    }
    const double lots = lots_of(k, steps.step);
    return lots < steps.min_lots ? 0.0 : lots;
}

Sized lots_for_risk(const Account& account, const RiskOrder& order) {
    if (Refusal refusal = check_risk(order.risk)) {
        return Sized{0.0, std::move(refusal)};
    }
    if (Refusal refusal = check_steps(order.steps)) {
        return Sized{0.0, std::move(refusal)};
    }
    if (Refusal refusal = check_price(order.stop_loss, "stop_loss")) {
        return Sized{0.0, std::move(refusal)};
    }
    if (order.price) {
        if (Refusal refusal = check_price(*order.price, "price")) {
            return Sized{0.0, std::move(refusal)};
        }
    }
    const Bar* bar = account.book.current;
    if (bar == nullptr && !order.price) {
        return Sized{0.0, std::string("price is needed outside a run: only inside one does the "
                                      "account know the bar to value it at")};
    }
    const double reference = order.price ? *order.price : bar->close;
    if (order.stop_loss == reference) {
        return Sized{0.0, at_entry(order.stop_loss, !order.price)};
    }
    const bool is_long = order.stop_loss < reference;
    const double entry = order.price ? *order.price : open_at(account, is_long, bar->close);
    const double rate = rate_now(account);
    const double per_lot = money_per_lot(entry, order.stop_loss, account.contract_size, rate);
    if (!refusal::positive(per_lot)) {
        return Sized{0.0, worth_nothing(per_lot, account)};
    }
    const double value = pooled_equity(account, bar != nullptr ? bar->close : *order.price);
    return Sized{lots_for(value, order.risk, per_lot, order.steps), std::nullopt};
}

}  // namespace cw::sizing
