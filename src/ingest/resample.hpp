// Bars of a coarser period from finer ones, and the clock shifts of a time zone. Pure C++.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "market/bar.hpp"

namespace cw::ingest {

// A zone's offset from UTC: offsets[k] seconds east from the instant starts[k] (UTC epoch
// seconds, increasing) until the next; before starts[0], offsets[0]. Empty: UTC.
struct ZoneTable {
    // Limits a table is held to (zone_fault), so that a start plus an offset stays in int64.
    static constexpr std::int64_t k_offset_limit = 86400;         // |offset| below a day
    static constexpr std::int64_t k_start_limit = std::int64_t{1} << 62;

    std::vector<std::int64_t> starts;
    std::vector<std::int64_t> offsets;

    // The k whose offset is in force at `utc`.
    [[nodiscard]] std::size_t index_at(std::int64_t utc) const noexcept;
    [[nodiscard]] std::int64_t offset_at(std::int64_t utc) const noexcept;
    // The UTC instant of a wall-clock time as zoneinfo reads it with fold=0: in a repeated
    // hour the earlier instant; in a skipped one, the offset in force before the change.
    // nullopt when the instant is beyond int64.
    [[nodiscard]] std::optional<std::int64_t> to_utc(std::int64_t local) const noexcept;
    // Where a period whose wall-clock start is `local` began, for an instant `bound` inside it
    // (index_at(bound) is `at`): the latest instant not after `bound` at which the clock read
    // `local`, or jumped past it. nullopt when that is beyond int64.
    [[nodiscard]] std::optional<std::int64_t> period_start(std::int64_t local, std::int64_t bound,
                                                           std::size_t at) const noexcept;
};

// Why a table cannot be used (sizes differ, starts not increasing or beyond the limit, an
// offset of a day or more), or nullptr.
[[nodiscard]] const char* zone_fault(const ZoneTable& zone) noexcept;

struct OutOfOrder {
    std::size_t row;
};

// A bar whose period would start before the earliest 64-bit time, or whose wall-clock time
// is beyond int64.
struct OutOfRange {
    std::size_t row;
};

// Periods of `period` seconds of the zone's wall clock, starting at `origin` + k * period;
// each bar labelled by its period's start (UTC). Throws OutOfOrder when a time is not after
// the previous one, OutOfRange when a bar's period cannot be told in 64-bit seconds.
[[nodiscard]] std::vector<Bar> resample(const std::vector<Bar>& bars, std::int64_t period,
                                        std::int64_t origin, const ZoneTable& zone);

}  // namespace cw::ingest
