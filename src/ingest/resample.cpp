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

std::int64_t ZoneTable::to_utc(std::int64_t local, std::int64_t bound) const noexcept {
    // Offsets change at most once a day: the one in force a day before and the one a day
    // after are the candidates. Both fit in a repeated hour; neither fits in a skipped one,
    // where the offset before is used (as zoneinfo does with fold=0).
    constexpr std::int64_t k_day = 86400;
    const std::int64_t before = local - offset_at(local - k_day);
    const std::int64_t after = local - offset_at(local + k_day);
    const bool before_fits = local - offset_at(before) == before;
    const bool after_fits = local - offset_at(after) == after;
    if (before_fits && after_fits && before != after) {
        const std::int64_t earlier = std::min(before, after);
        const std::int64_t later = std::max(before, after);
        return later <= bound ? later : earlier;
    }
    return after_fits && !before_fits ? after : before;
}

std::vector<Bar> resample(const std::vector<Bar>& bars, std::int64_t period,
                          std::int64_t origin, const ZoneTable& zone) {
    std::vector<Bar> out;
    double compensation = 0.0;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& bar = bars[i];
        if (i > 0 && bar.timestamp <= bars[i - 1].timestamp) {
            throw OutOfOrder{i};
        }
        const std::int64_t local = bar.timestamp + zone.offset_at(bar.timestamp);
        const std::int64_t start = floor_div(local - origin, period) * period + origin;
        // By its UTC start, so the two passes of a repeated hour are two periods.
        const std::int64_t label = zone.to_utc(start, bar.timestamp);
        if (out.empty() || label != out.back().timestamp) {
            out.push_back(Bar{label, bar.open, bar.high, bar.low, bar.close, 0.0});
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
