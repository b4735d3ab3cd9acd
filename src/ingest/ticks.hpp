// Loaded ticks: one column per field, so that a tick costs at most 32 bytes and each column is
// viewed without a copy. A slice shares the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace cw {

struct TickStore {
    std::vector<std::int64_t> time;   // in the series' unit, ascending (equal times allowed)
    std::vector<double> bid;
    std::vector<double> ask;          // at or above the bid
    std::vector<float> bid_volume;    // empty when the source has none
    std::vector<float> ask_volume;
};

struct TickSeries {
    std::shared_ptr<const TickStore> store;
    std::size_t begin = 0;  // the ticks [begin, end) of the store
    std::size_t end = 0;
    std::int64_t per_second = 1'000'000'000;  // time units a second: 1, 10^3, 10^6 or 10^9

    [[nodiscard]] std::size_t size() const noexcept { return end - begin; }
};

}  // namespace cw
