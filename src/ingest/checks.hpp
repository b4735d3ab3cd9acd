// What makes bars unusable: times out of order or repeated, prices missing, not positive or
// outside the bar's own range. Pure C++.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "market/bar.hpp"

namespace cw::ingest {

// In the order a row's faults are named: the first that applies is the row's.
enum class Fault : std::uint8_t {
    time_order,    // before the previous row's time
    time_repeat,   // the previous row's time again
    price_missing, // a price is NaN
    price_bad,     // a price is infinite, zero or negative
    range,         // open or close outside [low, high], or low above high
    volume_bad,    // volume NaN, infinite or negative
};
constexpr std::size_t k_faults = 6;

struct CheckReport {
    std::array<std::size_t, k_faults> counts{};  // rows with each fault
    std::size_t bad_rows = 0;
    std::size_t first_row = 0;  // meaningful when bad_rows > 0
    Fault first_fault = Fault::time_order;
};

[[nodiscard]] CheckReport check_bars(const std::vector<Bar>& bars) noexcept;

}  // namespace cw::ingest
