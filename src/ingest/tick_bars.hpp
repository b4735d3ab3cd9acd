// Bars of the bid, and the ask's beside them, from ticks: periods of a whole number of seconds
// from an origin, each labelled by its start, left-closed; a period without ticks gives no bar.
// Pure C++.
#pragma once

#include <cstdint>
#include <vector>

#include "ingest/ticks.hpp"
#include "market/bar.hpp"

namespace cw::ingest {

struct TickBars {
    std::vector<Bar> bid;  // the bid's prices; the volume is the number of ticks
    std::vector<double> ask_open;
    std::vector<double> ask_high;
    std::vector<double> ask_low;
    std::vector<double> ask_close;
    std::vector<double> spread;  // the ask's close less the bid's
};

// A tick whose period cannot be told in 64-bit time units, or whose label in seconds is not in
// int64 seconds.
struct TickOutOfRange {
    std::size_t tick;
};

// Periods of `period` seconds starting at `origin` + k * period (UTC epoch seconds). Throws
// TickOutOfRange.
[[nodiscard]] TickBars tick_bars(const TickSeries& ticks, std::int64_t period,
                                 std::int64_t origin);

}  // namespace cw::ingest
