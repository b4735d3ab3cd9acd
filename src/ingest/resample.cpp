// Resampling in one forward pass. Volumes are summed with the compensated (Kahan) sum that
// pandas' resample uses, so both give the same bits.
#include "ingest/resample.hpp"

#include <algorithm>
#include <cmath>

namespace cw::ingest {
namespace {

constexpr std::int64_t k_day = 86400;

std::int64_t floor_mod(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t r = a % b;
    return r < 0 ? r + b : r;
}

std::optional<std::int64_t> minus(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out = 0;
    if (__builtin_sub_overflow(a, b, &out)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

const char* zone_fault(const ZoneTable& zone) noexcept {
    if (zone.starts.size() != zone.offsets.size()) {
        return "a zone table needs an offset for every start";
    }
    for (std::size_t k = 0; k < zone.starts.size(); ++k) {
        if (zone.starts[k] <= -ZoneTable::k_start_limit ||
            zone.starts[k] >= ZoneTable::k_start_limit) {
            return "a zone table's starts must lie within 2**62 seconds of 1970";
        }
        if (k > 0 && zone.starts[k] <= zone.starts[k - 1]) {
            return "a zone table's starts must increase";
        }
        if (zone.offsets[k] <= -ZoneTable::k_offset_limit ||
            zone.offsets[k] >= ZoneTable::k_offset_limit) {
            return "a zone table's offsets must be under a day";
        }
    }
    return nullptr;
}

std::size_t ZoneTable::index_at(std::int64_t utc) const noexcept {
    const auto after = std::upper_bound(starts.begin(), starts.end(), utc);
    return after == starts.begin() ? 0 : static_cast<std::size_t>(after - starts.begin()) - 1;
}

std::int64_t ZoneTable::offset_at(std::int64_t utc) const noexcept {
    return starts.empty() ? 0 : offsets[index_at(utc)];
}

std::optional<std::int64_t> ZoneTable::to_utc(std::int64_t local) const noexcept {
    if (starts.empty()) {
        return local;
    }
    // zoneinfo's rule: a change takes effect on the wall clock at its UTC instant plus the
    // larger of the two offsets, so a skipped time keeps the offset before and a repeated one
    // the earlier instant. The first entry is the table's edge, not a change.
    const auto wall_start = [this](std::size_t k) {
        return starts[k] + std::max(offsets[k - 1], offsets[k]);
    };
    std::size_t lo = 1;
    std::size_t hi = starts.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (local < wall_start(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return minus(local, offsets[lo - 1]);
}

std::optional<std::int64_t> ZoneTable::period_start(std::int64_t local, std::int64_t bound,
                                                    std::size_t at) const noexcept {
    if (starts.empty()) {
        return local;
    }
    // Back from the bound's own offset: the first instant found is the latest. Offsets are
    // under a day, so before a change a day earlier than `local` the clock never reads it.
    for (std::size_t k = at + 1; k-- > 0;) {
        const std::optional<std::int64_t> utc = minus(local, offsets[k]);
        if (utc && *utc <= bound && (k == 0 || *utc >= starts[k]) &&
            (k + 1 == starts.size() || *utc < starts[k + 1])) {
            return utc;
        }
        if (k == 0) {
            break;
        }
        if (starts[k] + offsets[k - 1] <= local && local < starts[k] + offsets[k]) {
            return starts[k];  // the clock jumped past `local` here
        }
        if (starts[k] + k_day <= local) {
            break;
        }
    }
    return to_utc(local);
}

std::vector<Bar> resample(const std::vector<Bar>& bars, std::int64_t period,
                          std::int64_t origin, const ZoneTable& zone) {
    std::vector<Bar> out;
    double compensation = 0.0;
    const std::int64_t origin_phase = floor_mod(origin, period);
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& bar = bars[i];
        if (i > 0 && bar.timestamp <= bars[i - 1].timestamp) {
            throw OutOfOrder{i};
        }
        const std::size_t at = zone.starts.empty() ? 0 : zone.index_at(bar.timestamp);
        std::int64_t local = 0;
        if (__builtin_add_overflow(bar.timestamp, zone.starts.empty() ? 0 : zone.offsets[at],
                                   &local)) {
            throw OutOfRange{i};
        }
        // The start is local minus its distance past the last origin + k * period; taken
        // from the two phases, it needs no difference that could leave int64.
        const std::int64_t into_period = floor_mod(floor_mod(local, period) - origin_phase, period);
        const std::optional<std::int64_t> start = minus(local, into_period);
        // By its UTC start, so the two passes of a repeated hour are two periods.
        const std::optional<std::int64_t> label =
            start ? zone.period_start(*start, bar.timestamp, at) : std::nullopt;
        if (!label) {
            throw OutOfRange{i};
        }
        if (out.empty() || *label != out.back().timestamp) {
            out.push_back(Bar{*label, bar.open, bar.high, bar.low, bar.close, 0.0});
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
