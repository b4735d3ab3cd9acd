// A portfolio's record: one backtest per instrument (its bars, its account template, its values),
// how each instrument's quote currency converts into the account's through the others' prices,
// and the one timeline they run on. Pure C++.
#pragma once

#include <cstdint>
#include <vector>

#include "backtest/backtest.hpp"
#include "portfolio/timeline.hpp"

namespace cw {

// One step of a conversion: the close of instrument `pair`, or its inverse.
struct Leg {
    std::uint32_t pair;
    bool inverted;
};

// No legs: the instrument's own rate stays (its quote currency is the account's, or its rates
// were given). One leg: close or 1 / close. Two: through a third currency.
using Conversion = std::vector<Leg>;

struct Portfolio {
    std::vector<Backtest> members;  // instrument order
    std::vector<Conversion> conversions;
    Timeline timeline;
};

// The rate a conversion gives from these closes, one per leg, in one documented operand order.
[[nodiscard]] inline double converted(const Conversion& legs, double first,
                                      double second) noexcept {
    if (legs.size() == 1) {
        return legs[0].inverted ? 1.0 / first : first;
    }
    const bool a = legs[0].inverted;
    const bool b = legs[1].inverted;
    if (!a && !b) {
        return first * second;
    }
    if (a && !b) {
        return second / first;
    }
    if (!a) {
        return first / second;
    }
    return 1.0 / (first * second);
}

}  // namespace cw
