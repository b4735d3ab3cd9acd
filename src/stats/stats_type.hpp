// The Python class Stats: the figures of one run and their text report.
#pragma once

#include "binding/classes.hpp"
#include "stats/stats.hpp"

namespace cw {

extern ClassCell stats_class;
using StatsObject = Instance<Stats>;

// A new Stats object holding a copy of `stats`.
[[nodiscard]] inline Ref new_stats(const Stats& stats) {
    return new_instance(stats_class.type(), Stats(stats));
}

}  // namespace cw
