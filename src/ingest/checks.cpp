// One pass; a row's faults are independent bits so every kind is counted.
#include "ingest/checks.hpp"

#include <cmath>

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

}  // namespace

CheckReport check_bars(const std::vector<Bar>& bars) noexcept {
    CheckReport report;
    for (std::size_t i = 0; i < bars.size(); ++i) {
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
    return report;
}

}  // namespace cw::ingest
