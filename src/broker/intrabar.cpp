// Exits resolved on the finer data inside a bar, and where that data lies.
#include "broker/intrabar.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <string>

#include "broker/exits.hpp"

namespace cw {
namespace {

constexpr std::int64_t k_endless = std::numeric_limits<std::int64_t>::max();

// The shortest gap between the bars: how long one lasts (endless for a single bar).
std::int64_t bar_length(std::span<const Bar> bars) {
    std::int64_t length = k_endless;
    for (std::size_t i = 1; i < bars.size(); ++i) {
        const std::int64_t gap = bars[i].timestamp - bars[i - 1].timestamp;
        if (gap <= 0) {
            throw std::invalid_argument(
                "intrabar= needs the bars in rising time order: bar " + std::to_string(i) +
                " is not after the one before");
        }
        length = std::min(length, gap);
    }
    return length;
}

// Where each bar's finer steps lie, as time(k) gives each step's time in the bars' unit, and
// what the steps inside a bar reach: `take(k, low, high)` widens the range by step k.
template <class Time, class Take, class Covers>
void place_steps(std::span<const Bar> bars, std::size_t steps, std::int64_t length, Intrabar& out,
                 Time&& time, Take&& take, Covers&& covers) {
    const std::size_t n = bars.size();
    out.first.resize(n);
    out.end.resize(n);
    out.covered.resize(n);
    // Finer data may run far before the bars (a month of ticks under a week's bars): the first
    // bar's steps are found by halving, the rest by walking on.
    std::size_t k = 0;
    for (std::size_t count = steps; count > 0;) {
        const std::size_t half = count / 2;
        if (n > 0 && time(k + half) < bars[0].timestamp) {
            k += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t start = bars[i].timestamp;
        std::int64_t stop = length == k_endless || start > k_endless - length ? k_endless
                                                                                : start + length;
        if (i + 1 < n) {
            stop = std::min(stop, bars[i + 1].timestamp);
        }
        while (k < steps && time(k) < start) {
            ++k;
        }
        const std::size_t first = k;
        double low = std::numeric_limits<double>::infinity();
        double high = -std::numeric_limits<double>::infinity();
        while (k < steps && time(k) < stop) {
            take(k, low, high);
            ++k;
        }
        out.first[i] = first;
        out.end[i] = k;
        out.covered[i] = k > first && low == bars[i].low && high == bars[i].high &&
                         covers(i, first, k);
    }
}

}  // namespace

Intrabar finer_bars(std::span<const Bar> bars, BarRows finer,
                    std::shared_ptr<const std::vector<Bar>> asks) {
    const std::vector<Bar>& f = *finer;
    if (asks && asks->size() != f.size()) {
        throw std::invalid_argument("the finer bars' ask has not one bar for each of them");
    }
    const std::int64_t length = bar_length(bars);
    std::int64_t step = k_endless;
    for (std::size_t k = 1; k < f.size(); ++k) {
        const std::int64_t gap = f[k].timestamp - f[k - 1].timestamp;
        if (gap <= 0) {
            throw std::invalid_argument("intrabar= bar " + std::to_string(k) +
                                        " is not after the one before: finer bars must be in "
                                        "rising time order");
        }
        step = std::min(step, gap);
    }
    if (step == k_endless) {
        step = length;
    }
    if (length != k_endless && (step > length || length % step != 0)) {
        throw std::invalid_argument(
            "intrabar= bars are " + std::to_string(step) + " time units apart and the bars " +
            std::to_string(length) + ": finer bars must divide the bars' length evenly");
    }
    const std::uint64_t per_bar =
        length == k_endless ? 0 : static_cast<std::uint64_t>(length / step);
    Intrabar out;
    out.bars = std::move(finer);
    out.asks = std::move(asks);
    place_steps(
        bars, f.size(), length, out, [&](std::size_t k) { return f[k].timestamp; },
        [&](std::size_t k, double& low, double& high) {
            low = std::min(low, f[k].low);
            high = std::max(high, f[k].high);
        },
        [&](std::size_t i, std::size_t first, std::size_t end) {
            // Rising times at least `step` apart: as many as fit, from the bar's own time, is
            // every one of them.
            return per_bar == 0 ||
                   (end - first == per_bar && f[first].timestamp == bars[i].timestamp);
        });
    return out;
}

Intrabar finer_ticks(std::span<const Bar> bars, TickSeries ticks, bool asks,
                     std::int64_t run_per_second) {
    Intrabar out;
    if (ticks.per_second >= run_per_second) {
        out.scale_down = ticks.per_second / run_per_second;
    } else {
        out.scale_up = run_per_second / ticks.per_second;
    }
    out.ticks = std::move(ticks);
    out.tick_asks = asks;
    const TickSeries& t = out.ticks;
    const TickStore& store = *t.store;
    const std::size_t count = t.size();
    if (out.scale_up > 1) {
        const std::int64_t limit = k_endless / out.scale_up;
        for (std::size_t k = 0; k < count; ++k) {
            if (store.time[t.begin + k] > limit || store.time[t.begin + k] < -limit) {
                throw std::invalid_argument("the ticks' times do not fit the bars' time unit");
            }
        }
    }
    const std::int64_t length = bar_length(bars);
    const double* bid = store.bid.data() + t.begin;
    place_steps(
        bars, count, length, out, [&](std::size_t k) { return out.tick_time(k); },
        [&](std::size_t k, double& low, double& high) {
            low = std::min(low, bid[k]);
            high = std::max(high, bid[k]);
        },
        [](std::size_t, std::size_t, std::size_t) { return true; });
    return out;
}

namespace {

// Puts back what the bar's own steps and the strategy read, however the finer steps ended.
struct LeaveSteps {
    Account& account;
    double spread;
    ~LeaveSteps() {
        Ledger& book = account.book;
        book.in_step = false;
        book.step_ask = nullptr;
        book.fresh_from = 0;
        account.spread = spread;
    }
};

// Lows and highs seen over steps: a position's excursions over them are the same as step by step.
struct Seen {
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -std::numeric_limits<double>::infinity();

    void take(double low, double high) noexcept {
        lowest = std::min(lowest, low);
        highest = std::max(highest, high);
    }
    [[nodiscard]] double low() const noexcept { return lowest; }
    [[nodiscard]] double high() const noexcept { return highest; }
};

// A trailing stop, as Ledger::follow moves it.
struct Trailer {
    bool is_long;
    double trail;
    std::optional<double> stop;

    // Whether a step whose side (of this position) ends at `close` and reaches `low`..`high`
    // moves the stop: follow's own test, with its own arithmetic.
    [[nodiscard]] bool moves(bool from_close, double low, double high,
                             double close) const noexcept {
        if (is_long) {
            const double level = (from_close ? close : high) - trail;
            return !stop || level > *stop;
        }
        const double level = (from_close ? close : low) + trail;
        return !stop || level < *stop;
    }
};

// What the steps passed over read of a step: the bars' side's low, high and close, and the ask's
// when the finer data has its own (a value, so that it stays in registers).
struct Prices {
    double low;
    double high;
    double close;
    double ask_low;
    double ask_high;
    double ask_close;
    bool asked;
};

// From step k on, the steps where nothing can happen: no order pending, no stop-out to look for,
// each side's range inside every level of the positions that read it (a level NaN never
// triggers), and no trailing stop moved. Their only effect, the excursions, is taken in one go;
// the first step that may do more is returned, for the full rules. A range inside the levels has
// its open inside them too, so gap fills change nothing here. `peek(k)` gives step k's Prices.
template <Quotes Q, class Peek>
std::size_t skip_quiet(Account& account, std::size_t k, std::size_t end, Peek& peek) {
    Ledger& book = account.book;
    book.tidy(account.positions);
    constexpr double inf = std::numeric_limits<double>::infinity();
    double long_down = -inf;  // a long's stop, hit from above; its target, from below
    double long_up = inf;
    double short_down = -inf;  // a short's target, hit from above; its stop, from below
    double short_up = inf;
    constexpr std::size_t k_trailers = 4;  // more than this few, and each step takes the full rules
    std::array<Trailer, k_trailers> trailers{};
    std::size_t trailing = 0;
    for (const Account::Position& position : account.positions) {
        if (book.trailing && !std::isnan(position.extra.trail)) {
            if (trailing == k_trailers) {
                return k;
            }
            trailers[trailing++] =
                Trailer{position.is_long, position.extra.trail, position.stop_loss};
        }
        const auto& stop = position.stop_loss;
        const auto& target = position.take_profit;
        if (position.is_long) {
            if (stop && *stop > long_down) {
                long_down = *stop;
            }
            if (target && *target < long_up) {
                long_up = *target;
            }
        } else {
            if (target && *target > short_down) {
                short_down = *target;
            }
            if (stop && *stop < short_up) {
                short_up = *stop;
            }
        }
    }
    Seen longs;
    Seen shorts;
    const std::size_t from = k;
    const bool from_close = book.rules.trail_from_close;
    for (; k < end; ++k) {
        const Prices step = peek(k);
        double long_low = step.low;
        double long_high = step.high;
        double long_close = step.close;
        double short_low = step.low;
        double short_high = step.high;
        double short_close = step.close;
        if constexpr (Q != Quotes::engine) {
            const double spread = step.asked ? step.ask_close - step.close : account.spread;
            if (side_moved<Q>(true)) {
                const double by = side_offset<Q>(true, spread);
                long_low = step.low + by;
                long_high = step.high + by;
                long_close = step.close + by;
            }
            if (Q == Quotes::bid && step.asked) {
                short_low = step.ask_low;
                short_high = step.ask_high;
                short_close = step.ask_close;
            } else if (side_moved<Q>(false)) {
                const double by = side_offset<Q>(false, spread);
                short_low = step.low + by;
                short_high = step.high + by;
                short_close = step.close + by;
            }
        }
        if (!(long_low > long_down && long_high < long_up && short_low > short_down &&
              short_high < short_up)) {
            break;
        }
        bool moved = false;
        for (std::size_t t = 0; t < trailing; ++t) {
            const Trailer& trailer = trailers[t];
            moved = moved || (trailer.is_long
                                  ? trailer.moves(from_close, long_low, long_high, long_close)
                                  : trailer.moves(from_close, short_low, short_high, short_close));
        }
        if (moved) {
            break;
        }
        longs.take(long_low, long_high);
        shorts.take(short_low, short_high);
    }
    if (k != from) {
        for (Account::Position& position : account.positions) {
            Ledger::observe(position, position.is_long ? longs : shorts);
        }
    }
    return k;
}

// The bar's fills, exits and stop-out on each finer step in turn, until nothing is left open or
// pending. `load(k, step, ask)` makes step k and its ask's side, and says whether it has one;
// `peek(k)` reads its Prices, for the steps passed over.
template <bool GapOpen, Quotes Q, class Load, class Peek>
void resolve(Account& account, std::size_t first, std::size_t end, Load&& load, Peek&& peek) {
    Ledger& book = account.book;
    const bool margin = book.rules.margin();
    LeaveSteps leave{account, account.spread};
    book.in_step = true;
    Bar step{};
    Bar ask{};
    for (std::size_t k = first; k < end; ++k) {
        if (!margin && book.orders.empty()) {
            k = skip_quiet<Q>(account, k, end, peek);
            if (k == end) {
                break;
            }
        }
        if (load(k, step, ask)) {
            book.step_ask = &ask;
            account.spread = ask.close - step.close;
        }
        book.fresh_from = book.next_seq;
        if (!book.orders.empty()) {
            fill_orders(account, step);
        }
        if (!account.positions.empty()) {
            book.tidy(account.positions);
            check_exits_by<GapOpen, Q>(account, step);
        }
        if (margin) {
            end_exits(account, step);
        }
        if (account.positions.empty() && book.orders.empty()) {
            break;
        }
    }
}

template <bool GapOpen, Quotes Q>
void resolve_on(Account& account, const Intrabar& inside, std::size_t i) {
    const std::size_t first = inside.first[i];
    const std::size_t end = inside.end[i];
    if (inside.bars) {
        const Bar* const bars = inside.bars->data();
        const Bar* const asks = inside.asks ? inside.asks->data() : nullptr;
        auto load = [&](std::size_t k, Bar& step, Bar& ask) {
            step = bars[k];
            if (asks == nullptr) {
                return false;
            }
            ask = asks[k];
            return true;
        };
        auto peek = [&](std::size_t k) {
            const Bar& step = bars[k];
            if (asks == nullptr) {
                return Prices{step.low, step.high, step.close, 0.0, 0.0, 0.0, false};
            }
            const Bar& ask = asks[k];
            return Prices{step.low, step.high, step.close, ask.low, ask.high, ask.close, true};
        };
        resolve<GapOpen, Q>(account, first, end, load, peek);
        return;
    }
    // A tick is a bar of one price, which is where any level beyond it fills.
    const TickStore& store = *inside.ticks.store;
    const double* const bid = store.bid.data() + inside.ticks.begin;
    const double* const asked = store.ask.data() + inside.ticks.begin;
    const bool with_asks = inside.tick_asks;
    // A tick's time takes a division: only the steps the full rules take read it.
    auto peek = [&](std::size_t k) {
        const double price = bid[k];
        const double a = with_asks ? asked[k] : 0.0;
        return Prices{price, price, price, a, a, a, with_asks};
    };
    auto load = [&](std::size_t k, Bar& step, Bar& ask) {
        const std::int64_t time = inside.tick_time(k);
        const double price = bid[k];
        step = Bar{time, price, price, price, price, 0.0};
        if (!with_asks) {
            return false;
        }
        const double a = asked[k];
        ask = Bar{time, a, a, a, a, 0.0};
        return true;
    };
    resolve<true, Q>(account, first, end, load, peek);
}

// A bar the bar rules guess on, and how it went; a mark the memory cannot hold is dropped (the
// count stays right), so that no exit pass can fail half-way.
void note(Ledger& book, Guess how) noexcept {
    if (book.guessed_at == book.bar) {
        return;
    }
    book.guessed_at = book.bar;
    ++book.guesses.ambiguous;
    try {
        book.guesses.marks.emplace_back(book.bar, how);
    } catch (...) {
    }
}

}  // namespace

void Ledger::guessed() noexcept {
    note(*this, Guess::guessed);
}

bool inside_bar(Account& account, const Bar& bar) {
    Ledger& book = account.book;
    const bool guessed = bar_guesses(account, bar);
    const Intrabar& inside = *book.inside;
    const auto i = static_cast<std::size_t>(book.bar);
    if (inside.covered[i] == 0) {
        if (guessed) {
            note(book, Guess::fell_back);
        }
        ++book.guesses.fell_back;
        return false;
    }
    if (guessed) {
        note(book, Guess::resolved);
    }
    ++book.guesses.resolved;
    with_quotes(book.rules.quotes, [&](auto quotes) {
        constexpr Quotes Q = decltype(quotes)::value;
        if (book.rules.gap_open) {
            resolve_on<true, Q>(account, inside, i);
        } else {
            resolve_on<false, Q>(account, inside, i);
        }
    });
    return true;
}

}  // namespace cw
