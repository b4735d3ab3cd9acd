// One pass over the ticks: a period's bar is kept open in registers until a tick falls past it.
#include "ingest/tick_bars.hpp"

namespace cw::ingest {
namespace {

std::int64_t floor_mod(std::int64_t value, std::int64_t by) noexcept {
    const std::int64_t rest = value % by;
    return rest < 0 ? rest + by : rest;
}

}  // namespace

TickBars tick_bars(const TickSeries& ticks, std::int64_t period, std::int64_t origin) {
    TickBars out;
    const std::size_t n = ticks.size();
    if (n == 0) {
        return out;
    }
    const TickStore& store = *ticks.store;
    const std::int64_t* time = store.time.data() + ticks.begin;
    const double* bid = store.bid.data() + ticks.begin;
    const double* ask = store.ask.data() + ticks.begin;
    const std::int64_t unit = ticks.per_second;
    std::int64_t span = 0;
    std::int64_t base = 0;
    if (__builtin_mul_overflow(period, unit, &span) ||
        __builtin_mul_overflow(floor_mod(origin, period), unit, &base)) {
        throw TickOutOfRange{0};
    }
    std::size_t first = 0;
    while (first < n) {
        // The period of tick `first`: its start, found without forming time - origin, which
        // could leave int64 at the ends of the range.
        const std::int64_t into = floor_mod(floor_mod(time[first], span) - base, span);
        std::int64_t start = 0;
        std::int64_t stop = 0;
        if (__builtin_sub_overflow(time[first], into, &start)) {
            throw TickOutOfRange{first};
        }
        const bool open_ended = __builtin_add_overflow(start, span, &stop);
        double bid_high = bid[first];
        double bid_low = bid[first];
        double ask_high = ask[first];
        double ask_low = ask[first];
        std::size_t last = first + 1;
        for (; last < n && (open_ended || time[last] < stop); ++last) {
            const double b = bid[last];
            const double a = ask[last];
            bid_high = b > bid_high ? b : bid_high;
            bid_low = b < bid_low ? b : bid_low;
            ask_high = a > ask_high ? a : ask_high;
            ask_low = a < ask_low ? a : ask_low;
        }
        const std::size_t end = last - 1;
        // Labels are whole seconds: the start is a whole number of them from the origin.
        out.bid.push_back(Bar{start / unit, bid[first], bid_high, bid_low, bid[end],
                              static_cast<double>(last - first)});
        out.ask_open.push_back(ask[first]);
        out.ask_high.push_back(ask_high);
        out.ask_low.push_back(ask_low);
        out.ask_close.push_back(ask[end]);
        out.spread.push_back(ask[end] - bid[end]);
        first = last;
    }
    return out;
}

}  // namespace cw::ingest
