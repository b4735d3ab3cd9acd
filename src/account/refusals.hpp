// The orders a broker refuses, and why, in words: an order is checked whole before anything
// changes, so a refused call leaves the account as it was. Pure C++, shared by the Account's
// methods and the signal runs, so both refuse alike.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "market/bar.hpp"

namespace cw {

// Why an order is refused, or nothing.
using Refusal = std::optional<std::string>;

// A value as repr writes it: the shortest text that reads back to the same double.
[[nodiscard]] std::string shown(double value);

namespace refusal {
// The words, out of line: most orders pass, and their checks stay a few comparisons.
[[nodiscard, gnu::cold]] std::string number(double value, std::string_view name,
                                            std::string_view what);
[[nodiscard, gnu::cold]] std::string outside(double price, const Bar& bar, std::int64_t index);
[[nodiscard, gnu::cold]] std::string levels(bool is_long, double reference, std::string_view what,
                                            std::optional<double> stop_loss,
                                            std::optional<double> take_profit);

[[nodiscard]] inline bool positive(double value) noexcept {
    return value > 0.0 && value < std::numeric_limits<double>::infinity();
}
[[nodiscard]] inline bool on_side(std::optional<double> level, double reference,
                                  bool below) noexcept {
    return !level || (std::isfinite(*level) && (below ? *level < reference : *level > reference));
}
}  // namespace refusal

// Lots (or a part to close) a broker takes: finite and above 0.
[[nodiscard]] inline Refusal check_lots(double lots, std::string_view name) {
    if (refusal::positive(lots)) [[likely]] {
        return std::nullopt;
    }
    return refusal::number(lots, name, "a finite number above 0");
}
// A price a broker quotes: finite and above 0.
[[nodiscard]] inline Refusal check_price(double price, std::string_view name) {
    if (refusal::positive(price)) [[likely]] {
        return std::nullopt;
    }
    return refusal::number(price, name, "a finite price above 0");
}
// A price the bar traded: within its low..high.
[[nodiscard]] inline Refusal check_in_bar(double price, const Bar& bar, std::int64_t index) {
    if (bar.low <= price && price <= bar.high) [[likely]] {
        return std::nullopt;
    }
    return refusal::outside(price, bar, index);
}
// A fill at `price` on the bar a run is at (`bar`, null outside a run): a price, and one the bar
// traded.
[[nodiscard]] inline Refusal check_fill(double price, const Bar* bar, std::int64_t index) {
    if (Refusal refusal = check_price(price, "price")) {
        return refusal;
    }
    return bar != nullptr ? check_in_bar(price, *bar, index) : std::nullopt;
}
// A trailing distance: finite and above 0.
[[nodiscard]] inline Refusal check_trail(double trail) {
    if (refusal::positive(trail)) [[likely]] {
        return std::nullopt;
    }
    return refusal::number(trail, "trail", "a finite distance above 0");
}
// Levels on the right side of `reference` (a position's or an order's entry, or the price it
// would close at now, as `what` says): a long's stop below it and its target above, a short's
// the other way round; each finite.
[[nodiscard]] inline Refusal check_levels(bool is_long, double reference, std::string_view what,
                                          std::optional<double> stop_loss,
                                          std::optional<double> take_profit) {
    if (refusal::on_side(stop_loss, reference, is_long) &&
        refusal::on_side(take_profit, reference, !is_long)) [[likely]] {
        return std::nullopt;
    }
    return refusal::levels(is_long, reference, what, stop_loss, take_profit);
}

}  // namespace cw
