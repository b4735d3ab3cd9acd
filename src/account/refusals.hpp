// The orders a broker refuses, and why, in words: an order is checked whole before anything
// changes, so a refused call leaves the account as it was. Pure C++, shared by the Account's
// methods and the signal runs, so both refuse alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "market/bar.hpp"

namespace cw {

// Why an order is refused, or nothing.
using Refusal = std::optional<std::string>;

// A value as repr writes it: the shortest text that reads back to the same double.
[[nodiscard]] std::string shown(double value);

// Lots (or a part to close) a broker takes: finite and above 0.
[[nodiscard]] Refusal check_lots(double lots, std::string_view name);
// A price a broker quotes: finite and above 0.
[[nodiscard]] Refusal check_price(double price, std::string_view name);
// A price the bar traded: within its low..high.
[[nodiscard]] Refusal check_in_bar(double price, const Bar& bar, std::int64_t index);
// A trailing distance: finite and above 0.
[[nodiscard]] Refusal check_trail(double trail);
// Levels on the right side of `reference` (a position's or an order's entry, or the price it
// would close at now, as `what` says): a long's stop below it and its target above, a short's
// the other way round; each finite.
[[nodiscard]] Refusal check_levels(bool is_long, double reference, std::string_view what,
                                   std::optional<double> stop_loss,
                                   std::optional<double> take_profit);

}  // namespace cw
