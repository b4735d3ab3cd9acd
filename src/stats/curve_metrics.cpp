// The passes of the metrics over the equity curve and the trades. Every sum follows the
// interpreter's algorithm step by step: math.fsum's partials (Shewchuk), math.sumprod's
// triple-length accumulation, int-to-float conversions rounded to nearest.
#include "stats/curve_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

// Elsewhere fused multiply-add is either always there or never, and the compiler knows which.
#if defined(__x86_64__) && defined(__linux__)
#define CW_FMA_CLONES [[gnu::target_clones("fma", "default")]]
#else
#define CW_FMA_CLONES
#endif

namespace cw::metrics {

std::int64_t Times::operator[](std::size_t i) const noexcept {
    std::int64_t value;
    std::memcpy(&value, first + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
    return value;
}

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

// math.fsum over finite values: the exact sum, rounded once. A partial sum that overflows is
// where the interpreter raises and the caller falls back, so it marks the sum as failed.
class ExactSum {
public:
    [[gnu::always_inline]] void add(double x) {
        if (!std::isfinite(x)) {
            failed_ = true;
            return;
        }
        std::size_t kept = 0;
        for (std::size_t j = 0; j < count_; ++j) {
            double y = partials_[j];
            if (std::fabs(x) < std::fabs(y)) {
                std::swap(x, y);
            }
            const double hi = x + y;
            const double yr = hi - x;
            const double lo = y - yr;
            if (lo != 0.0) {
                partials_[kept++] = lo;
            }
            x = hi;
        }
        count_ = kept;
        if (x != 0.0) {
            if (!std::isfinite(x)) {
                failed_ = true;
                return;
            }
            if (count_ == partials_.size()) {
                partials_.resize(2 * count_);
            }
            partials_[count_++] = x;
        }
    }

    [[nodiscard]] bool failed() const noexcept { return failed_; }

    [[nodiscard]] double result() const noexcept {
        std::size_t n = count_;
        double hi = 0.0;
        double lo = 0.0;
        if (n > 0) {
            hi = partials_[--n];
            // From the top, until the sum becomes inexact.
            while (n > 0) {
                const double x = hi;
                const double y = partials_[--n];
                hi = x + y;
                const double yr = hi - x;
                lo = y - yr;
                if (lo != 0.0) {
                    break;
                }
            }
            // Half-even rounding across partials: the rest below may tip a tie.
            if (n > 0 && ((lo < 0.0 && partials_[n - 1] < 0.0) ||
                          (lo > 0.0 && partials_[n - 1] > 0.0))) {
                const double y = lo * 2.0;
                const double x = hi + y;
                const double yr = x - hi;
                if (y == yr) {
                    hi = x;
                }
            }
        }
        return hi;
    }

private:
    // A few dozen partials at most: their exponents do not overlap.
    std::vector<double> partials_ = std::vector<double>(32);
    std::size_t count_ = 0;
    bool failed_ = false;
};

struct DoubleLength {
    double hi;
    double lo;
};

// Error-free sum of two doubles, whatever their magnitudes.
[[gnu::always_inline]] inline DoubleLength dl_sum(double a, double b) noexcept {
    const double x = a + b;
    const double z = x - a;
    const double y = (a - (x - z)) + (b - z);
    return {x, y};
}

// Error-free product, through a fused multiply-add as the interpreter does.
[[gnu::always_inline]] inline DoubleLength dl_mul(double x, double y) noexcept {
    const double z = x * y;
    const double zz = std::fma(x, y, -z);
    return {z, zz};
}

// The sum of squares the interpreter forms: math.sumprod(xs, xs) or math.fsum(x * x).
class SquareSum {
public:
    explicit SquareSum(Squares how) noexcept : how_(how) {}

    [[gnu::always_inline]] void add(double x) {
        if (how_ == Squares::fsum) {
            exact_.add(x * x);
            return;
        }
        const DoubleLength pr = dl_mul(x, x);
        const DoubleLength sm = dl_sum(hi_, pr.hi);
        const DoubleLength r1 = dl_sum(lo_, pr.lo);
        const DoubleLength r2 = dl_sum(r1.hi, sm.lo);
        hi_ = sm.hi;
        lo_ = r2.hi;
        tiny_ = tiny_ + r1.lo + r2.lo;
    }

    // The interpreter leaves the accumulation for plain arithmetic at the first non-finite
    // total: that path is the caller's. A non-finite part never turns finite again, so the
    // last totals tell.
    [[nodiscard]] bool failed() const noexcept {
        return how_ == Squares::fsum
                   ? exact_.failed()
                   : !std::isfinite(hi_) || !std::isfinite(lo_) || !std::isfinite(tiny_);
    }

    [[nodiscard]] double result() const noexcept {
        if (how_ == Squares::fsum) {
            return exact_.result();
        }
        const DoubleLength last = dl_sum(lo_, hi_);
        // Added to the integer 0 the sum starts from.
        return 0.0 + (tiny_ + last.lo + last.hi);
    }

private:
    Squares how_;
    ExactSum exact_;
    double hi_ = 0.0;
    double lo_ = 0.0;
    double tiny_ = 0.0;
};

// The mean and sample stdev of m values, NaN with too few, as metrics' _mean_stdev forms them.
double mean_of(const ExactSum& sum, std::int64_t m) noexcept {
    return m == 0 ? k_nan : sum.result() / static_cast<double>(m);
}

double stdev_of(const SquareSum& squares, std::int64_t m) noexcept {
    return m < 2 ? k_nan : std::sqrt(squares.result() / static_cast<double>(m - 1));
}

// Drawdown periods over the values present, as metrics._drawdowns forms them.
class Drawdowns {
public:
    explicit Drawdowns(Times timestamps) noexcept : times_(timestamps) {}

    // `value` is not NaN; `bar` is its index in the curve.
    void step(double value, std::size_t bar) {
        if (!started_) {
            started_ = true;
            peak_ = value;
        } else {
            if (value > peak_) {
                peak_ = value;
            }
            // A value equal to the peak is not below it, so it ends a period.
            if (value < peak_) {
                if (!open_) {
                    open_ = true;
                    peak_bar_ = previous_bar_;
                    peak_value_ = previous_value_;
                    low_ = value;
                } else if (value < low_) {
                    low_ = value;
                }
            } else if (open_) {
                close(bar);
            }
        }
        previous_bar_ = bar;
        previous_value_ = value;
    }

    // Ends a period still open at the last value present.
    void finish() {
        if (open_) {
            close(previous_bar_);
        }
    }

    [[nodiscard]] bool failed() const noexcept {
        return failed_ || depths_.failed() || durations_.failed() || lengths_.failed();
    }

    void fill(CurveFigures& out) const noexcept {
        if (count_ == 0) {
            out.avg_depth = 0.0;
            out.avg_duration = 0.0;
            out.avg_bars = 0.0;
            out.max_duration = 0;
            out.max_bars = 0;
            return;
        }
        out.avg_depth = mean_of(depths_, count_);
        out.avg_duration = mean_of(durations_, count_);
        out.avg_bars = mean_of(lengths_, count_);
        out.max_duration = max_duration_;
        out.max_bars = max_bars_;
    }

private:
    void close(std::size_t end_bar) {
        open_ = false;
        const double peak = peak_value_;
        if (!(peak > 0)) {
            return;
        }
        const double depth = (peak - low_) / peak * 100;
        std::int64_t duration = 0;
        if (__builtin_sub_overflow(times_[end_bar], times_[peak_bar_], &duration)) {
            failed_ = true;  // the interpreter's integers do not overflow
            return;
        }
        const auto length = static_cast<std::int64_t>(end_bar - peak_bar_);
        depths_.add(depth);
        durations_.add(static_cast<double>(duration));
        lengths_.add(static_cast<double>(length));
        if (count_ == 0 || duration > max_duration_) {
            max_duration_ = duration;
        }
        if (count_ == 0 || length > max_bars_) {
            max_bars_ = length;
        }
        ++count_;
    }

    Times times_;
    bool started_ = false;
    bool open_ = false;
    bool failed_ = false;
    double peak_ = 0;
    double peak_value_ = 0;
    double low_ = 0;
    double previous_value_ = 0;
    std::size_t peak_bar_ = 0;
    std::size_t previous_bar_ = 0;
    ExactSum depths_;
    ExactSum durations_;
    ExactSum lengths_;
    std::int64_t count_ = 0;
    std::int64_t max_duration_ = 0;
    std::int64_t max_bars_ = 0;
};

// r_i = E[i] / E[i-1] - 1, NaN (left out) where E[i-1] is zero.
[[gnu::always_inline]] inline double return_of(double value, double previous) noexcept {
    return previous == 0 ? k_nan : value / previous - 1.0;
}

// Every pass over the curve; false where Python must form the figures. The returns are summed
// in the first pass already, and dropped if the account turns out wiped out. A copy for
// processors with fused multiply-add runs the interpreter's exact product inline rather than
// through the library: the same bits, faster.
CW_FMA_CLONES bool curve_passes(Values equity, Times timestamps, double initial_cash,
                                bool returns, Squares squares, CurveFigures& out) {
    out.max_present = k_nan;
    out.mean_return = k_nan;
    out.stdev_return = k_nan;
    out.downside_deviation = k_nan;
    Drawdowns drawdowns(timestamps);
    ExactSum sum;
    SquareSum downside(squares);
    std::int64_t m = 0;
    bool finite = true;
    double previous = initial_cash;
    bool any_present = false;
    for (std::size_t i = 0; i < equity.size; ++i) {
        const double value = equity[i];
        if (returns) {
            const double r = return_of(value, previous);
            previous = value;
            if (r == r) {
                finite = finite && std::isfinite(r);
                sum.add(r);
                if (r < 0) {
                    downside.add(r);
                }
                ++m;
            }
        }
        if (value != value) {
            continue;
        }
        if (std::isinf(value)) {
            return false;
        }
        // The first of equal values stays, as max() keeps it.
        if (!any_present || value > out.max_present) {
            out.max_present = value;
        }
        any_present = true;
        if (value <= 0 && out.first_nonpositive < 0) {
            out.first_nonpositive = static_cast<std::int64_t>(i);
        }
        drawdowns.step(value, i);
    }
    drawdowns.finish();
    if (drawdowns.failed()) {
        return false;
    }
    drawdowns.fill(out);

    if (!returns || out.first_nonpositive >= 0 || m == 0) {
        return true;
    }
    if (!finite || sum.failed() || downside.failed()) {
        return false;
    }
    const double mean = mean_of(sum, m);
    // Two passes: the one-pass formula cancels badly when the mean dwarfs the spread.
    SquareSum spread(squares);
    previous = initial_cash;
    for (std::size_t i = 0; i < equity.size; ++i) {
        const double value = equity[i];
        const double r = return_of(value, previous);
        previous = value;
        if (r == r) {
            spread.add(r - mean);
        }
    }
    if (spread.failed()) {
        return false;
    }
    out.mean_return = mean;
    out.stdev_return = stdev_of(spread, m);
    out.downside_deviation = std::sqrt(downside.result() / static_cast<double>(m));
    return true;
}

}  // namespace

std::optional<CurveFigures> curve_figures(Values equity, Times timestamps, double initial_cash,
                                          bool returns, Squares squares) {
    CurveFigures out;
    if (!curve_passes(equity, timestamps, initial_cash, returns, squares, out)) {
        return std::nullopt;
    }
    return out;
}

std::optional<TradeFigures> trade_figures(const TradeColumns& trades, double spread_per_lot,
                                          Squares squares) {
    const std::size_t n = trades.pnl.size;
    const bool with_swap = trades.swap.size == n && n > 0;
    bool any_swap = false;
    // A zero swap must not turn a -0.0 net into +0.0, so swaps count only when one is not zero.
    ExactSum swaps;
    for (std::size_t i = 0; i < trades.swap.size; ++i) {
        const double swap = trades.swap[i];
        any_swap = any_swap || swap != 0.0;
        swaps.add(swap);
    }
    if (any_swap && !with_swap) {
        return std::nullopt;
    }
    auto net_of = [&](std::size_t i) {
        const double net = trades.pnl[i] - trades.commission[i];
        return any_swap ? net + trades.swap[i] : net;
    };

    TradeFigures out;
    ExactSum net_sum;
    ExactSum wins;
    ExactSum losses;
    ExactSum durations;
    ExactSum commissions;
    ExactSum spreads;
    std::int64_t run_wins = 0;
    std::int64_t run_losses = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double net = net_of(i);
        if (!std::isfinite(net)) {
            return std::nullopt;
        }
        net_sum.add(net);
        if (net > 0) {
            wins.add(net);
            ++out.wins;
            ++run_wins;
            run_losses = 0;
        } else if (net < 0) {
            losses.add(net);
            ++out.losses;
            ++run_losses;
            run_wins = 0;
        } else {
            run_wins = 0;
            run_losses = 0;
        }
        out.run_wins = std::max(out.run_wins, run_wins);
        out.run_losses = std::max(out.run_losses, run_losses);
        // The first of equal values stays, as max() and min() keep it.
        if (i == 0 || net > out.best) {
            out.best = net;
        }
        if (i == 0 || net < out.worst) {
            out.worst = net;
        }
        std::int64_t duration = 0;
        if (__builtin_sub_overflow(trades.exit_time[i], trades.entry_time[i], &duration)) {
            return std::nullopt;
        }
        durations.add(static_cast<double>(duration));
        if (i == 0 || duration > *out.max_duration) {
            out.max_duration = duration;
        }
        commissions.add(trades.commission[i]);
        spreads.add(trades.lot_size[i] * spread_per_lot);
    }
    if (net_sum.failed() || wins.failed() || losses.failed() || durations.failed() ||
        commissions.failed() || spreads.failed() || swaps.failed()) {
        return std::nullopt;
    }
    const auto count = static_cast<std::int64_t>(n);
    out.mean_net = mean_of(net_sum, count);
    out.stdev_net = k_nan;
    if (n >= 2) {
        SquareSum spread(squares);
        for (std::size_t i = 0; i < n; ++i) {
            spread.add(net_of(i) - out.mean_net);
        }
        if (spread.failed()) {
            return std::nullopt;
        }
        out.stdev_net = stdev_of(spread, count);
    }
    if (n == 0) {
        out.best = k_nan;
        out.worst = k_nan;
    }
    out.sum_wins = wins.result();
    out.sum_losses = losses.result();
    out.avg_duration = mean_of(durations, count);
    out.commissions = commissions.result();
    out.spread_paid = spreads.result();
    out.swaps = swaps.result();
    return out;
}

}  // namespace cw::metrics
