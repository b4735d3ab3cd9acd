// One pass; a row's faults are independent bits so every kind is counted.
#include "ingest/checks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace cw::ingest {
namespace {

unsigned bit(Fault fault) noexcept {
    return 1U << static_cast<unsigned>(fault);
}

unsigned price_faults(double price) noexcept {
    if (std::isnan(price)) {
        return bit(Fault::price_missing);
    }
    return std::isinf(price) || price <= 0.0 ? bit(Fault::price_bad) : 0U;
}

// True if no bar of the stretch has any fault, the time of the one before being `previous`. The
// same conditions as the faults', joined without a branch per bar, so that sound bars pass at
// the speed memory gives them: all four prices finite and positive follows from low > 0,
// low <= open, close <= high and high finite; NaN fails every comparison.
bool all_sound(const Bar* bars, std::size_t count, std::int64_t previous) noexcept {
    constexpr double k_inf = std::numeric_limits<double>::infinity();
    bool sound = true;
    for (std::size_t i = 0; i < count; ++i) {
        const Bar& bar = bars[i];
        sound &= (bar.timestamp > previous) & (bar.low > 0.0) & (bar.low <= bar.open) &
                 (bar.low <= bar.close) & (bar.open <= bar.high) & (bar.close <= bar.high) &
                 (bar.high < k_inf) & (bar.volume >= 0.0) & (bar.volume < k_inf);
        previous = bar.timestamp;
    }
    return sound;
}

void check_rows(const std::vector<Bar>& bars, std::size_t first, std::size_t last,
                CheckReport& report) noexcept {
    for (std::size_t i = first; i < last; ++i) {
        const Bar& bar = bars[i];
        unsigned faults = 0;
        if (i > 0) {
            const std::int64_t previous = bars[i - 1].timestamp;
            faults |= bar.timestamp < previous ? bit(Fault::time_order) : 0U;
            faults |= bar.timestamp == previous ? bit(Fault::time_repeat) : 0U;
        }
        faults |= price_faults(bar.open) | price_faults(bar.high) | price_faults(bar.low) |
                  price_faults(bar.close);
        // NaN compares false, so a missing price is not also counted out of range.
        if (bar.low > bar.high || bar.open < bar.low || bar.close < bar.low ||
            bar.open > bar.high || bar.close > bar.high) {
            faults |= bit(Fault::range);
        }
        if (!(bar.volume >= 0.0) || std::isinf(bar.volume)) {
            faults |= bit(Fault::volume_bad);
        }
        if (faults == 0) [[likely]] {
            continue;
        }
        if (report.bad_rows++ == 0) {
            report.first_row = i;
            report.first_fault = static_cast<Fault>(__builtin_ctz(faults));
        }
        for (std::size_t k = 0; k < k_faults; ++k) {
            report.counts[k] += (faults >> k) & 1U;
        }
    }
}

}  // namespace

CheckReport check_bars(const std::vector<Bar>& bars) noexcept {
    constexpr std::size_t k_block = 1024;
    CheckReport report;
    for (std::size_t first = 0; first < bars.size(); first += k_block) {
        const std::size_t count = std::min(k_block, bars.size() - first);
        const std::int64_t previous = first > 0 ? bars[first - 1].timestamp
                                                : std::numeric_limits<std::int64_t>::min();
        if (!all_sound(bars.data() + first, count, previous)) {
            check_rows(bars, first, first + count, report);
        }
    }
    return report;
}

}  // namespace cw::ingest
