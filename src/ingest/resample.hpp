// Bars of a coarser period from finer ones, and the clock shifts of a time zone. Pure C++.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "market/bar.hpp"

namespace cw::ingest {

// A zone's offset from UTC: offsets[k] seconds east from the instant starts[k] (UTC epoch
// seconds, increasing) until the next; before starts[0], offsets[0]. Empty: UTC.
struct ZoneTable {
    std::vector<std::int64_t> starts;
    std::vector<std::int64_t> offsets;

    [[nodiscard]] std::int64_t offset_at(std::int64_t utc) const noexcept;
    // The UTC instant of a wall-clock time; in a repeated hour, the earlier of the two.
    [[nodiscard]] std::int64_t to_utc(std::int64_t local) const noexcept {
        return to_utc(local, std::numeric_limits<std::int64_t>::max());
    }
    // The same, but in a repeated hour the later instant that is not after `bound`: the start
    // of the period an instant `bound` falls in.
    [[nodiscard]] std::int64_t to_utc(std::int64_t local, std::int64_t bound) const noexcept;
};

struct OutOfOrder {
    std::size_t row;
};

// Periods of `period` seconds of the zone's wall clock, starting at `origin` + k * period;
// each bar labelled by its period's start (UTC). Throws OutOfOrder when a time is not after
// the previous one.
[[nodiscard]] std::vector<Bar> resample(const std::vector<Bar>& bars, std::int64_t period,
                                        std::int64_t origin, const ZoneTable& zone);

}  // namespace cw::ingest
