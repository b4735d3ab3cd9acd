#include "portfolio/timeline.hpp"

#include <limits>

namespace cw {

std::optional<Unordered> unordered(const std::vector<std::span<const Bar>>& series) {
    for (std::size_t k = 0; k < series.size(); ++k) {
        const std::span<const Bar> bars = series[k];
        for (std::size_t i = 1; i < bars.size(); ++i) {
            if (!(bars[i - 1].timestamp < bars[i].timestamp)) {
                return Unordered{k, i};
            }
        }
    }
    return std::nullopt;
}

// A step per distinct time, taking at each the earliest next bar of every instrument: with a
// handful of instruments a scan of their cursors beats a heap.
Timeline merge_times(const std::vector<std::span<const Bar>>& series) {
    Timeline timeline;
    const std::size_t count = series.size();
    std::size_t total = 0;
    for (const std::span<const Bar> bars : series) {
        total += bars.size();
    }
    timeline.present.reserve(total);
    timeline.steps.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        timeline.steps[k].reserve(series[k].size());
    }
    std::vector<std::size_t> next(count, 0);
    timeline.starts.push_back(0);
    for (;;) {
        std::int64_t time = std::numeric_limits<std::int64_t>::max();
        bool any = false;
        for (std::size_t k = 0; k < count; ++k) {
            if (next[k] < series[k].size() && (!any || series[k][next[k]].timestamp < time)) {
                time = series[k][next[k]].timestamp;
                any = true;
            }
        }
        if (!any) {
            break;
        }
        const auto step = static_cast<std::uint32_t>(timeline.times.size());
        for (std::size_t k = 0; k < count; ++k) {
            if (next[k] < series[k].size() && series[k][next[k]].timestamp == time) {
                timeline.present.push_back(static_cast<std::uint32_t>(k));
                timeline.steps[k].push_back(step);
                ++next[k];
            }
        }
        timeline.times.push_back(time);
        timeline.starts.push_back(static_cast<std::uint32_t>(timeline.present.size()));
    }
    return timeline;
}

}  // namespace cw
