// The indicators' arithmetic. Where a widely used reference exists the recurrences follow its
// operand order, so that results agree to the last bits; each run of finite values is computed
// as a series of its own.
#include "ta/indicators.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace cw::ta {
namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
// A double's exponent bits, and the lowest of them: the exponent plus one reaches the sign bit only
// when it is all ones, a NaN or an infinity.
constexpr std::uint64_t k_exponent = 0x7ff0000000000000ULL;
constexpr std::uint64_t k_exponent_one = 0x0010000000000000ULL;
constexpr std::uint64_t k_sign = 0x8000000000000000ULL;
// Window sums are summed afresh at least every this many bars, so their rounding cannot drift.
constexpr std::size_t k_min_block = 256;

void fill_nan(double* out, std::size_t count) noexcept {
    std::fill_n(out, count, k_nan);
}

// NaN over the first `first` outputs (all of them if there are no more); whether values follow.
bool warm_up(double* out, std::size_t m, std::size_t first) noexcept {
    fill_nan(out, std::min(m, first));
    return m > first;
}

// The plain sum of the n values ending at `end`, oldest first.
template <class X>
double window_total(const X& x, std::size_t end, std::size_t n) {
    double total = 0.0;
    for (std::size_t j = end + 1 - n; j <= end; ++j) {
        total += x[j];
    }
    return total;
}

// The first bar at or after `from` whose value is NaN or infinite (x.size if none). Whole chunks
// are tested with integer operations and no early exit, which the compiler vectorises.
std::size_t next_gap(Values x, std::size_t from) noexcept {
    constexpr std::size_t chunk = 64;
    std::size_t i = from;
    if (x.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        for (; i + chunk <= x.size; i += chunk) {
            const std::byte* at = x.first + i * sizeof(double);
            std::uint64_t seen = 0;
            for (std::size_t j = 0; j < chunk; ++j) {
                std::uint64_t bits;
                std::memcpy(&bits, at + j * sizeof(double), sizeof bits);
                seen |= (bits & k_exponent) + k_exponent_one;
            }
            if ((seen & k_sign) != 0) {
                break;
            }
        }
    }
    while (i < x.size && std::isfinite(x[i])) {
        ++i;
    }
    return i;
}

std::size_t next_gap(const Hlc& bars, std::size_t from) noexcept {
    return std::min({next_gap(bars.high, from), next_gap(bars.low, from),
                     next_gap(bars.close, from)});
}

// run(begin, count) for each stretch of bars with finite values, gap(i) for each bar between them.
template <class Series, class Run, class Gap>
void for_each_run(const Series& series, std::size_t size, Run run, Gap gap) {
    std::size_t i = 0;
    while (i < size) {
        const std::size_t end = next_gap(series, i);
        if (end > i) {
            run(i, end - i);
        }
        if (end < size) {
            gap(end);
        }
        i = end + 1;
    }
}

Hlc hlc_from(const Hlc& bars, std::size_t offset, std::size_t count) noexcept {
    return Hlc{bars.high.from(offset, count), bars.low.from(offset, count),
               bars.close.from(offset, count)};
}

// An aligned, contiguous column: the common case, read without stride arithmetic.
struct Dense {
    const double* first;
    std::size_t size;
    [[nodiscard]] double operator[](std::size_t i) const noexcept { return first[i]; }
};

bool is_dense(Values x) noexcept {
    return x.stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
           reinterpret_cast<std::uintptr_t>(x.first) % alignof(double) == 0;
}

// kernel(x) with x read as Dense where it can be.
template <class Kernel>
void dense_or_strided(Values x, Kernel kernel) {
    if (is_dense(x)) {
        kernel(Dense{reinterpret_cast<const double*>(x.first), x.size});
    } else {
        kernel(x);
    }
}

// High, low and close read as Dense.
struct DenseBars {
    Dense high;
    Dense low;
    Dense close;
};

template <class Kernel>
void dense_or_strided(const Hlc& bars, Kernel kernel) {
    if (is_dense(bars.high) && is_dense(bars.low) && is_dense(bars.close)) {
        const auto dense = [](Values x) {
            return Dense{reinterpret_cast<const double*>(x.first), x.size};
        };
        kernel(DenseBars{dense(bars.high), dense(bars.low), dense(bars.close)});
    } else {
        kernel(bars);
    }
}

// A column whose every read also notes whether the value was finite: a kernel that reads each
// value at least once can run on the whole column before knowing whether it has gaps.
template <class X>
struct Checked {
    X values;
    std::uint64_t& seen;
    std::size_t size;

    [[nodiscard]] double operator[](std::size_t i) const noexcept {
        const double value = values[i];
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        seen |= (bits & k_exponent) + k_exponent_one;
        return value;
    }
};

// kernel(values, out) over a single column: at once, in one pass, and only if a value turned out
// not to be finite, again run by run. The kernel must read every value.
template <class Kernel>
void over_runs(Values x, double* out, Kernel kernel) {
    std::uint64_t seen = 0;
    dense_or_strided(x, [&](auto values) {
        kernel(Checked<decltype(values)>{values, seen, x.size}, out);
    });
    if ((seen & k_sign) == 0) {
        return;
    }
    for_each_run(
        x, x.size,
        [&](std::size_t begin, std::size_t count) {
            dense_or_strided(x.from(begin, count),
                             [&](auto values) { kernel(values, out + begin); });
        },
        [&](std::size_t i) { out[i] = k_nan; });
}

// Checked columns of high, low and close.
template <class X>
struct CheckedBars {
    Checked<X> high;
    Checked<X> low;
    Checked<X> close;
};

// over_runs for high, low and close. A kernel over bars may leave the first high and low and the
// last close unread (a true range reads the close before its bar), so those are checked here.
template <class Kernel>
void per_run(const Hlc& bars, double* out, Kernel kernel) {
    const std::size_t m = bars.close.size;
    std::uint64_t seen = 0;
    dense_or_strided(bars, [&](const auto& columns) {
        using X = decltype(columns.high);
        kernel(CheckedBars<X>{Checked<X>{columns.high, seen, m}, Checked<X>{columns.low, seen, m},
                              Checked<X>{columns.close, seen, m}},
               out);
    });
    if (m > 0) {
        for (const Values x : {bars.high, bars.low, bars.close}) {
            const Checked<Values> edges{x, seen, m};
            static_cast<void>(edges[0]);
            static_cast<void>(edges[m - 1]);
        }
    }
    if ((seen & k_sign) == 0) {
        return;
    }
    for_each_run(
        bars, m,
        [&](std::size_t begin, std::size_t count) {
            dense_or_strided(hlc_from(bars, begin, count),
                             [&](const auto& columns) { kernel(columns, out + begin); });
        },
        [&](std::size_t i) { out[i] = k_nan; });
}

// The kernels below see finite values only, and write every output of their run.

template <class X>
void sma_run(X x, std::size_t n, double* out) {
    const std::size_t m = x.size;
    if (!warm_up(out, m, n - 1)) {
        return;
    }
    const double count = static_cast<double>(n);
    const std::size_t block = std::max(n, k_min_block);
    for (std::size_t start = n - 1; start < m; start += block) {
        double total = window_total(x, start, n);
        out[start] = total / count;
        const std::size_t stop = std::min(m, start + block);
        for (std::size_t i = start + 1; i < stop; ++i) {
            // The leaving value first, then the new one: the reference's order of operations.
            total -= x[i - n];
            total += x[i];
            out[i] = total / count;
        }
    }
}

// An exponential average seeded at `seed_end` with the mean of the n values ending there.
template <class X>
void ema_seeded(X x, std::size_t n, std::size_t seed_end, double* out) {
    const std::size_t m = x.size;
    if (!warm_up(out, m, seed_end)) {
        return;
    }
    double value = window_total(x, seed_end, n) / static_cast<double>(n);
    out[seed_end] = value;
    const double k = 2.0 / static_cast<double>(n + 1);
    for (std::size_t i = seed_end + 1; i < m; ++i) {
        value = ((x[i] - value) * k) + value;
        out[i] = value;
    }
}

template <class X>
void wma_run(X x, std::size_t n, double* out) {
    const std::size_t m = x.size;
    if (!warm_up(out, m, n - 1)) {
        return;
    }
    const double divider = static_cast<double>(n * (n + 1) / 2);
    const double weight = static_cast<double>(n);
    const std::size_t block = std::max(n, k_min_block);
    for (std::size_t start = n - 1; start < m; start += block) {
        // `sum` is the weighted sum, `plain` the window's plain sum that lowers every weight by
        // one as the window moves on.
        double plain = 0.0;
        double sum = 0.0;
        std::size_t w = 1;
        for (std::size_t j = start + 1 - n; j < start; ++j, ++w) {
            const double value = x[j];
            plain += value;
            sum += value * static_cast<double>(w);
        }
        double trailing = 0.0;
        std::size_t trail = start + 1 - n;
        const std::size_t stop = std::min(m, start + block);
        for (std::size_t i = start; i < stop; ++i) {
            const double value = x[i];
            plain += value;
            plain -= trailing;
            sum += value * weight;
            trailing = x[trail++];
            out[i] = sum / divider;
            sum -= plain;
        }
    }
}

// A flat stretch has neither gains nor losses: it reads as the middle of the scale.
double rsi_of(double gain, double loss) noexcept {
    const double total = gain + loss;
    return total != 0.0 ? 100.0 * (gain / total) : 50.0;
}

template <class X>
void rsi_run(X x, std::size_t n, double* out) {
    const std::size_t m = x.size;
    if (!warm_up(out, m, n)) {
        return;
    }
    const double count = static_cast<double>(n);
    const double keep = static_cast<double>(n - 1);
    double gain = 0.0;
    double loss = 0.0;
    double previous = x[0];
    // A change goes to the losses or the gains, as its sign says.
    const auto add = [&gain, &loss, &previous](double value) {
        const double change = value - previous;
        previous = value;
        if (change < 0.0) {
            loss -= change;
        } else {
            gain += change;
        }
    };
    for (std::size_t i = 1; i <= n; ++i) {
        add(x[i]);
    }
    loss /= count;
    gain /= count;
    out[n] = rsi_of(gain, loss);
    for (std::size_t i = n + 1; i < m; ++i) {
        loss *= keep;
        gain *= keep;
        add(x[i]);
        loss /= count;
        gain /= count;
        out[i] = rsi_of(gain, loss);
    }
}

// The extreme of each window, without branches: within blocks of n bars, running extremes from
// each block's start (into out) and to each block's end (into `back`); a window spans at most two
// blocks, the end of one and the start of the next. `pick` returns the better of two values.
template <class X, class Pick>
void rolling_extreme_run(X x, std::size_t n, double* out, double* back, Pick pick) {
    const std::size_t m = x.size;
    if (m < n) {
        fill_nan(out, m);
        return;
    }
    for (std::size_t start = 0; start < m; start += n) {
        const std::size_t stop = std::min(m, start + n);
        double forward = x[start];
        out[start] = forward;
        for (std::size_t i = start + 1; i < stop; ++i) {
            forward = pick(forward, x[i]);
            out[i] = forward;
        }
        double backward = x[stop - 1];
        back[stop - 1] = backward;
        for (std::size_t i = stop - 1; i-- > start;) {
            backward = pick(backward, x[i]);
            back[i] = backward;
        }
    }
    for (std::size_t i = n - 1; i < m; ++i) {
        out[i] = pick(back[i + 1 - n], out[i]);
    }
    fill_nan(out, n - 1);
}

constexpr auto take_higher = [](double a, double b) noexcept { return a > b ? a : b; };
constexpr auto take_lower = [](double a, double b) noexcept { return a < b ? a : b; };

template <class X>
void rolling_std_run(X x, std::size_t n, std::size_t ddof, double* out) {
    const std::size_t m = x.size;
    if (!warm_up(out, m, n - 1)) {
        return;
    }
    const double count = static_cast<double>(n);
    const double divisor = static_cast<double>(n - ddof);
    const auto deviation = [&](double s, double q) {
        const double variance = (q - ((s * s) / count)) / divisor;
        return variance > 0.0 ? std::sqrt(variance) : 0.0;
    };
    // Bars in a row equal to their predecessor: a window of one value has no deviation at all,
    // whatever the rounding of the sums says.
    std::size_t equal = 1;
    for (std::size_t j = 1; j < n; ++j) {
        equal = x[j] == x[j - 1] ? equal + 1 : 1;
    }
    // Deviations are summed afresh every n bars: a trend moves the mean away from the shift they
    // are taken from, and the squares lose digits in proportion.
    const std::size_t block = n;
    for (std::size_t start = n - 1; start < m; start += block) {
        double total = window_total(x, start, n);
        // Sums of deviations from the window's mean, not of the values: squares of prices
        // would cancel to a few digits.
        const double shift = total / count;
        double s = 0.0;
        double q = 0.0;
        for (std::size_t j = start + 1 - n; j <= start; ++j) {
            const double d = x[j] - shift;
            s += d;
            q += d * d;
        }
        if (start >= n) {
            equal = x[start] == x[start - 1] ? equal + 1 : 1;
        }
        out[start] = equal >= n ? 0.0 : deviation(s, q);
        const std::size_t stop = std::min(m, start + block);
        for (std::size_t i = start + 1; i < stop; ++i) {
            const double entering = x[i] - shift;
            const double leaving = x[i - n] - shift;
            s += entering;
            s -= leaving;
            q += entering * entering;
            q -= leaving * leaving;
            equal = x[i] == x[i - 1] ? equal + 1 : 1;
            out[i] = equal >= n ? 0.0 : deviation(s, q);
        }
    }
}

template <class Bars>
double true_range_at(const Bars& bars, std::size_t i) noexcept {
    const double high = bars.high[i];
    const double low = bars.low[i];
    const double previous_close = bars.close[i - 1];
    double greatest = high - low;
    const double up = std::fabs(previous_close - high);
    if (up > greatest) {
        greatest = up;
    }
    const double down = std::fabs(low - previous_close);
    if (down > greatest) {
        greatest = down;
    }
    return greatest;
}

template <class Bars>
void true_range_run(const Bars& bars, double* out) {
    if (bars.close.size == 0) {
        return;
    }
    out[0] = k_nan;
    for (std::size_t i = 1; i < bars.close.size; ++i) {
        out[i] = true_range_at(bars, i);
    }
}

// Wilder's average of the true range, seeded with the plain mean of the first n ranges.
template <class Bars>
void atr_run(const Bars& bars, std::size_t n, double* out) {
    const std::size_t m = bars.close.size;
    if (!warm_up(out, m, n)) {
        return;
    }
    const double count = static_cast<double>(n);
    const double keep = static_cast<double>(n - 1);
    double total = 0.0;
    for (std::size_t i = 1; i <= n; ++i) {
        total += true_range_at(bars, i);
    }
    double value = total / count;
    out[n] = value;
    for (std::size_t i = n + 1; i < m; ++i) {
        value *= keep;
        value += true_range_at(bars, i);
        value /= count;
        out[i] = value;
    }
}

// Wilder's directional movement: smoothed +DM, -DM and true range, their DX averaged into ADX.
template <class Bars>
class Directional {
public:
    Directional(const Bars& bars, std::size_t n) noexcept
        : bars_(bars), count_(static_cast<double>(n)), previous_high_(bars.high[0]),
          previous_low_(bars.low[0]), previous_close_(bars.close[0]) {}

    // Moves to bar i; `smooth` decays the running sums first (every bar after the first n).
    void step(std::size_t i, bool smooth) noexcept {
        const double high = bars_.high[i];
        const double up = high - previous_high_;
        previous_high_ = high;
        const double low = bars_.low[i];
        const double down = previous_low_ - low;
        previous_low_ = low;
        if (smooth) {
            minus_dm_ -= minus_dm_ / count_;
            plus_dm_ -= plus_dm_ / count_;
        }
        if (down > 0.0 && up < down) {
            minus_dm_ += down;
        } else if (up > 0.0 && up > down) {
            plus_dm_ += up;
        }
        double range = high - low;
        const double from_close_up = std::fabs(high - previous_close_);
        if (from_close_up > range) {
            range = from_close_up;
        }
        const double from_close_down = std::fabs(low - previous_close_);
        if (from_close_down > range) {
            range = from_close_down;
        }
        tr_ = smooth ? (tr_ - (tr_ / count_)) + range : tr_ + range;
        previous_close_ = bars_.close[i];
    }

    // This bar's DX, or false when it is undefined (no range, or no movement either way).
    [[nodiscard]] bool dx(double& out) const noexcept {
        if (tr_ == 0.0) {
            return false;
        }
        const double minus_di = 100.0 * (minus_dm_ / tr_);
        const double plus_di = 100.0 * (plus_dm_ / tr_);
        const double total = minus_di + plus_di;
        if (total == 0.0) {
            return false;
        }
        out = 100.0 * (std::fabs(minus_di - plus_di) / total);
        return true;
    }

private:
    Bars bars_;
    double count_;
    double previous_high_;
    double previous_low_;
    double previous_close_;
    double minus_dm_ = 0.0;
    double plus_dm_ = 0.0;
    double tr_ = 0.0;
};

template <class Bars>
void adx_run(const Bars& bars, std::size_t n, double* out) {
    const std::size_t m = bars.close.size;
    const std::size_t first = 2 * n - 1;
    if (!warm_up(out, m, first)) {
        return;
    }
    Directional<Bars> movement(bars, n);
    std::size_t today = 0;
    for (std::size_t i = 1; i < n; ++i) {
        movement.step(++today, false);
    }
    double total_dx = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        movement.step(++today, true);
        double dx = 0.0;
        if (movement.dx(dx)) {
            total_dx += dx;
        }
    }
    const double count = static_cast<double>(n);
    const double keep = static_cast<double>(n - 1);
    double value = total_dx / count;
    out[first] = value;
    while (today + 1 < m) {
        movement.step(++today, true);
        double dx = 0.0;
        if (movement.dx(dx)) {
            value = ((value * keep) + dx) / count;
        }
        out[today] = value;
    }
}

// The window's values are summed in the order of a ring buffer of n slots (bar j in slot j mod n),
// the reference's order, so that a deviation near zero keeps the reference's sign and digits.
template <class Bars>
void cci_run(const Bars& bars, std::size_t n, double* out, double* typical) {
    const std::size_t m = bars.close.size;
    if (!warm_up(out, m, n - 1)) {
        return;
    }
    for (std::size_t i = 0; i < m; ++i) {
        typical[i] = ((bars.high[i] + bars.low[i]) + bars.close[i]) / 3.0;
    }
    const double count = static_cast<double>(n);
    for (std::size_t i = n - 1; i < m; ++i) {
        const std::size_t wrap = i - (i % n);  // bar in slot 0
        const std::size_t oldest = i + 1 - n;
        double total = 0.0;
        for (std::size_t j = wrap; j <= i; ++j) {
            total += typical[j];
        }
        for (std::size_t j = oldest; j < wrap; ++j) {
            total += typical[j];
        }
        const double mean = total / count;
        double spread = 0.0;
        for (std::size_t j = wrap; j <= i; ++j) {
            spread += std::fabs(typical[j] - mean);
        }
        for (std::size_t j = oldest; j < wrap; ++j) {
            spread += std::fabs(typical[j] - mean);
        }
        const double deviation = typical[i] - mean;
        out[i] = (deviation != 0.0 && spread != 0.0) ? deviation / (0.015 * (spread / count)) : 0.0;
    }
}

}  // namespace

void sma(Values x, std::size_t n, double* out) {
    over_runs(x, out, [n](auto values, double* o) { sma_run(values, n, o); });
}

void ema(Values x, std::size_t n, double* out) {
    over_runs(x, out, [n](auto values, double* o) { ema_seeded(values, n, n - 1, o); });
}

void wma(Values x, std::size_t n, double* out) {
    over_runs(x, out, [n](auto values, double* o) { wma_run(values, n, o); });
}

void rsi(Values x, std::size_t n, double* out) {
    over_runs(x, out, [n](auto values, double* o) { rsi_run(values, n, o); });
}

void rolling_max(Values x, std::size_t n, double* out) {
    std::vector<double> back(x.size);
    over_runs(x, out, [&](auto values, double* o) {
        rolling_extreme_run(values, n, o, back.data() + (o - out), take_higher);
    });
}

void rolling_min(Values x, std::size_t n, double* out) {
    std::vector<double> back(x.size);
    over_runs(x, out, [&](auto values, double* o) {
        rolling_extreme_run(values, n, o, back.data() + (o - out), take_lower);
    });
}

void rolling_std(Values x, std::size_t n, std::size_t ddof, double* out) {
    over_runs(x, out, [=](auto values, double* o) { rolling_std_run(values, n, ddof, o); });
}

void true_range(Hlc bars, double* out) {
    per_run(bars, out, [](const auto& run, double* o) { true_range_run(run, o); });
}

void atr(Hlc bars, std::size_t n, double* out) {
    per_run(bars, out, [n](const auto& run, double* o) { atr_run(run, n, o); });
}

void adx(Hlc bars, std::size_t n, double* out) {
    per_run(bars, out, [n](const auto& run, double* o) { adx_run(run, n, o); });
}

void cci(Hlc bars, std::size_t n, double* out) {
    std::vector<double> typical(bars.close.size);
    per_run(bars, out, [&](const auto& run, double* o) {
        cci_run(run, n, o, typical.data() + (o - out));
    });
}

void bollinger(Values x, std::size_t n, double k, std::size_t ddof, double* upper, double* middle,
               double* lower) {
    sma(x, n, middle);
    rolling_std(x, n, ddof, lower);
    for (std::size_t i = 0; i < x.size; ++i) {
        const double width = lower[i] * k;
        upper[i] = middle[i] + width;
        lower[i] = middle[i] - width;
    }
}

void macd(Values x, std::size_t fast, std::size_t slow, std::size_t signal, double* line,
          double* signal_line, double* histogram) {
    if (slow < fast) {
        std::swap(fast, slow);
    }
    const std::size_t first = (slow - 1) + (signal - 1);
    for_each_run(
        x, x.size,
        [&](std::size_t begin, std::size_t count) {
            double* l = line + begin;
            double* s = signal_line + begin;
            double* h = histogram + begin;
            if (count <= first) {
                fill_nan(l, count);
                fill_nan(s, count);
                fill_nan(h, count);
                return;
            }
            // Both averages start at the slow one's first bar: the fast one is seeded with the
            // mean of its last `fast` values there, not at its own first bar.
            dense_or_strided(x.from(begin, count), [&](auto run) {
                ema_seeded(run, slow, slow - 1, h);
                ema_seeded(run, fast, slow - 1, l);
            });
            for (std::size_t i = slow - 1; i < count; ++i) {
                l[i] -= h[i];
            }
            ema_seeded(Dense{l + (slow - 1), count - (slow - 1)}, signal, signal - 1,
                       s + (slow - 1));
            for (std::size_t i = first; i < count; ++i) {
                h[i] = l[i] - s[i];
            }
            fill_nan(l, first);
            fill_nan(s, first);
            fill_nan(h, first);
        },
        [&](std::size_t i) { line[i] = signal_line[i] = histogram[i] = k_nan; });
}

void stochastic(Hlc bars, std::size_t k, std::size_t smooth_k, std::size_t d, double* k_line,
                double* d_line) {
    const std::size_t size = bars.close.size;
    std::vector<double> fast(size);
    const std::size_t first = (k - 1) + (smooth_k - 1) + (d - 1);
    for_each_run(
        bars, size,
        [&](std::size_t begin, std::size_t count) {
            double* kl = k_line + begin;
            double* dl = d_line + begin;
            // Each period checked alone first: their sum can wrap around for absurd periods.
            if (count < k || count < smooth_k || count < d || count <= first) {
                fill_nan(kl, count);
                fill_nan(dl, count);
                return;
            }
            const Hlc run = hlc_from(bars, begin, count);
            double* highest = kl;
            double* lowest = dl;
            double* raw = fast.data() + begin;
            rolling_extreme_run(run.high, k, highest, raw, take_higher);
            rolling_extreme_run(run.low, k, lowest, raw, take_lower);
            for (std::size_t i = k - 1; i < count; ++i) {
                const double range = (highest[i] - lowest[i]) / 100.0;
                // A flat window puts the close in the middle of its range, not at either end.
                raw[i] = range != 0.0 ? (run.close[i] - lowest[i]) / range : 50.0;
            }
            sma_run(Dense{raw + (k - 1), count - (k - 1)}, smooth_k, kl + (k - 1));
            const std::size_t smoothed = (k - 1) + (smooth_k - 1);
            sma_run(Dense{kl + smoothed, count - smoothed}, d, dl + smoothed);
            fill_nan(kl, first);
            fill_nan(dl, first);
        },
        [&](std::size_t i) { k_line[i] = d_line[i] = k_nan; });
}

void donchian(Values high, Values low, std::size_t n, double* upper, double* middle,
              double* lower) {
    std::vector<double> back(high.size);
    for_each_run(
        Hlc{high, low, low}, high.size,
        [&](std::size_t begin, std::size_t count) {
            rolling_extreme_run(high.from(begin, count), n, upper + begin, back.data() + begin,
                                take_higher);
            rolling_extreme_run(low.from(begin, count), n, lower + begin, back.data() + begin,
                                take_lower);
        },
        [&](std::size_t i) { upper[i] = lower[i] = k_nan; });
    for (std::size_t i = 0; i < high.size; ++i) {
        middle[i] = (upper[i] + lower[i]) / 2.0;
    }
}

void crossover(Values a, Values b, std::uint8_t* out) {
    if (a.size == 0) {
        return;
    }
    out[0] = 0;
    for (std::size_t i = 1; i < a.size; ++i) {
        out[i] = (a[i - 1] < b[i - 1] && a[i] > b[i]) ? 1 : 0;
    }
}

void crossunder(Values a, Values b, std::uint8_t* out) {
    if (a.size == 0) {
        return;
    }
    out[0] = 0;
    for (std::size_t i = 1; i < a.size; ++i) {
        out[i] = (a[i - 1] > b[i - 1] && a[i] < b[i]) ? 1 : 0;
    }
}

}  // namespace cw::ta
