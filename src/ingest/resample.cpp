// Resampling in one forward pass. Volumes are summed with the compensated (Kahan) sum that
// pandas' resample uses, so both give the same bits.
#include "ingest/resample.hpp"

#include <algorithm>
#include <cmath>

namespace cw::ingest {
namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

std::int64_t ZoneTable::offset_at(std::int64_t utc) const noexcept {
    if (starts.empty()) {
        return 0;
    }
    const auto after = std::upper_bound(starts.begin(), starts.end(), utc);
    const auto k = after == starts.begin() ? 0 : (after - starts.begin()) - 1;
    return offsets[static_cast<std::size_t>(k)];
}

std::int64_t ZoneTable::to_utc(std::int64_t local) const noexcept {
    // Offsets change at most once a day: the one in force a day before and the one a day
    // after are the candidates. Both fit in a repeated hour (the earlier instant is taken, as
    // zoneinfo does with fold=0); neither fits in a skipped one (the offset before is used).
    constexpr std::int64_t k_day = 86400;
    const std::int64_t before = offset_at(local - k_day);
    const std::int64_t after = offset_at(local + k_day);
    const bool before_fits = offset_at(local - before) == before;
    const bool after_fits = offset_at(local - after) == after;
    if (before_fits && after_fits) {
        return std::min(local - before, local - after);
    }
    return after_fits ? local - after : local - before;
}

std::vector<Bar> resample(const std::vector<Bar>& bars, std::int64_t period,
                          std::int64_t origin, const ZoneTable& zone) {
    std::vector<Bar> out;
    double compensation = 0.0;
    std::int64_t key = 0;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& bar = bars[i];
        if (i > 0 && bar.timestamp <= bars[i - 1].timestamp) {
            throw OutOfOrder{i};
        }
        const std::int64_t local = bar.timestamp + zone.offset_at(bar.timestamp);
        const std::int64_t k = floor_div(local - origin, period);
        if (out.empty() || k != key) {
            key = k;
            const std::int64_t start = k * period + origin;
            out.push_back(Bar{zone.to_utc(start), bar.open, bar.high, bar.low, bar.close, 0.0});
            compensation = 0.0;
        }
        Bar& into = out.back();
        into.high = std::max(into.high, bar.high);
        into.low = std::min(into.low, bar.low);
        into.close = bar.close;
        const double y = bar.volume - compensation;
        const double t = into.volume + y;
        compensation = t - into.volume - y;
        if (std::isnan(compensation)) {
            compensation = 0.0;
        }
        into.volume = t;
    }
    return out;
}

}  // namespace cw::ingest
