// The signal loop and the threads that share the sets out.
#include "signals/signal_run.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "broker/exits.hpp"
#include "broker/ledger.hpp"
#include "signals/actions.hpp"

namespace cw {
namespace {

// One set's run, taken a block of bars at a time: the sets of a block go through each block of
// bars in turn while its rows are in cache, and each set's figures are those of its run alone.
class SetRun {
public:
    SetRun(const Backtest& backtest, const SignalSet& set, const SignalRules& rules, bool keep,
           std::vector<double> storage)
        : account_(run_account(backtest)),
          actions_(set, rules),
          curve_(std::move(storage)),
          keep_(keep),
          crossed_(set.entries == nullptr) {
        curve_.clear();
        if (keep_) {
            curve_.reserve(backtest.data->size());
        }
    }

    // Bars [first, end), after those before them.
    void advance(const std::vector<Bar>& data, std::size_t first, std::size_t end) {
        // Compiled for the account's fill rules and what is kept, chosen here, not on every bar.
        const Rules& ruled = account_.book.rules;
        with_quotes(ruled.quotes, [&](auto quotes) {
            constexpr Quotes Q = decltype(quotes)::value;
            if (ruled.gap_open) {
                advance_by<true, Q>(data.data(), first, end);
            } else {
                advance_by<false, Q>(data.data(), first, end);
            }
        });
        // Only the figures are wanted: the trades so far go into them and leave the journal,
        // which so stays small enough to live in cache.
        if (!keep_ && account_.trades.size() >= k_tally_at) {
            for (const TradeRow& trade : account_.trades) {
                tallied_.add(trade.pnl);
            }
            account_.trades.clear();
        }
    }

    // After the last bar: what is open closes at its close; `storage` gets working storage back.
    SignalOutcome finish(const Backtest& backtest, std::vector<double>& storage) {
        const std::vector<Bar>& data = *backtest.data;
        if (!data.empty()) {
            close_all(account_, data.back().close, data.back().timestamp, ExitReason::end);
        }
        SignalOutcome out;
        out.stats = compute_stats(account_, drawdown_, tallied_);
        out.refused = account_.book.refusals;
        out.exposed = exposed_;
        if (keep_) {
            out.guesses = std::move(account_.book.guesses);
            out.trades = std::make_shared<const std::vector<TradeRow>>(std::move(account_.trades));
            out.equity = recycled(std::move(curve_), backtest.curves);
            curve_ = take_spare(*backtest.curves);
        }
        storage = std::move(curve_);
        return out;
    }

private:
    static constexpr std::size_t k_tally_at = 256;
    static constexpr std::size_t k_ahead = 16;

    template <bool GapOpen, Quotes Q>
    void advance_by(const Bar* data, std::size_t first, std::size_t end) {
        if (keep_) {
            crossed_ ? loop<GapOpen, Q, true, true>(data, first, end)
                     : loop<GapOpen, Q, true, false>(data, first, end);
        } else {
            crossed_ ? loop<GapOpen, Q, false, true>(data, first, end)
                     : loop<GapOpen, Q, false, false>(data, first, end);
        }
    }

    // Every bar: the account's own steps, the set's actions at the close, the equity point. The
    // curve, the drawdown and the count are locals that no call can see, so they stay in
    // registers.
    template <bool GapOpen, Quotes Q, bool Keep, bool Crossed>
    void loop(const Bar* data, std::size_t first, std::size_t end) {
        Account& account = account_;
        const Actions& actions = actions_;
        std::vector<double> curve;
        if constexpr (Keep) {
            curve = std::move(curve_);
        }
        Drawdown drawdown = drawdown_;
        std::uint64_t exposed = 0;
        const bool margin = account.book.rules.margin();
        for (std::size_t i = first; i < end; ++i) {
            if (account.positions.empty() && account.book.orders.empty()) {
                // Nothing open and nothing pending: until the next signal a bar changes nothing,
                // and its point is the cash (seen once, the drawdown sees nothing new again).
                const std::size_t next = actions.template next_at<Crossed>(i, end);
                if (next != i) {
                    const double point = -0.0 + account.cash;
                    if constexpr (Keep) {
                        curve.insert(curve.end(), next - i, point);
                    }
                    drawdown.see(point);
                    account.book.bar = static_cast<std::int64_t>(next) - 1;
                    account.book.current = data + next - 1;
                    i = next;
                    if (i == end) {
                        break;
                    }
                }
            }
            const Bar& bar = data[i];
            // The rows stream from memory: ask for them ahead of the work on them.
            // (An address past the end is no fault for a prefetch.)
            __builtin_prefetch(reinterpret_cast<const void*>(
                reinterpret_cast<std::uintptr_t>(&bar) + k_ahead * sizeof(Bar)));
            if (!begin_bar(account, bar)) {
                if (!account.positions.empty()) {
                    check_exits_by<GapOpen, Q>(account, bar);
                }
                if (margin) {
                    end_exits(account, bar);
                }
            }
            if (actions.template any_at<Crossed>(i)) [[unlikely]] {
                actions.at(account, bar, i);
            }
            // Longs and shorts valued on the side each closes on, worked out only with some open.
            double long_at = bar.close;
            double short_at = bar.close;
            if constexpr (Q != Quotes::engine) {
                if (!account.positions.empty()) {
                    long_at = closing_price<Q>(true, bar.close, account.spread);
                    short_at = closing_price<Q>(false, bar.close, account.spread);
                }
            }
            const double point = equity_at(account, long_at, short_at);
            if constexpr (Keep) {
                curve.push_back(point);
            }
            drawdown.see(point);
            exposed += account.positions.empty() ? 0U : 1U;
        }
        if constexpr (Keep) {
            curve_ = std::move(curve);
        }
        drawdown_ = drawdown;
        exposed_ += exposed;
    }

    Account account_;
    Actions actions_;
    std::vector<double> curve_;
    Drawdown drawdown_;
    TradeTally tallied_;
    std::uint64_t exposed_ = 0;
    bool keep_;
    bool crossed_;
};

// Sets made beforehand, handed out as they are.
class GivenSets final : public SetSource {
public:
    explicit GivenSets(const std::vector<SignalSet>& sets) noexcept : sets_(sets) {}
    [[nodiscard]] std::size_t count() const noexcept override { return sets_.size(); }
    void make(std::size_t first, std::span<SignalSet> out, Watch& /*watch*/) override {
        std::copy_n(sets_.begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
    }

private:
    const std::vector<SignalSet>& sets_;
};

// How many sets go through the bars together: enough to share each block of bars among them,
// few enough that their accounts stay in cache beside it, and at least two blocks a thread, so a
// thread that finishes early takes work from the others.
std::size_t block_size(std::size_t sets, std::size_t threads) {
    constexpr std::size_t k_most = 16;
    const std::size_t shares = std::max<std::size_t>(1, threads * 2);
    return std::clamp<std::size_t>((sets + shares - 1) / shares, 1, k_most);
}

// Sets [first, first + count): made, then run together, block of bars after block of bars.
void run_block(const Backtest& backtest, SetSource& source, std::size_t first, std::size_t count,
               const SignalRules& rules, bool keep, std::vector<double>& storage, Watch& watch,
               std::vector<SignalOutcome>& outcomes) {
    std::vector<SignalSet> sets(count);
    source.make(first, sets, watch);
    std::vector<SetRun> runs;
    runs.reserve(count);
    for (const SignalSet& set : sets) {
        // One spare for the first; the others' curves are fresh (kept, each is a result's).
        runs.emplace_back(backtest, set, rules, keep,
                          runs.empty() ? std::move(storage) : std::vector<double>());
    }
    const std::vector<Bar>& data = *backtest.data;
    std::size_t k = 0;
    try {
        for (std::size_t bar = 0; bar < data.size(); bar += Watch::k_bars) {
            const std::size_t end = std::min(data.size(), bar + Watch::k_bars);
            for (k = 0; k < count; ++k) {
                runs[k].advance(data, bar, end);
            }
            watch.look();
        }
        for (k = 0; k < count; ++k) {
            outcomes[first + k] = runs[k].finish(backtest, storage);
        }
    } catch (SignalRefusal& refusal) {
        refusal.set = first + k;
        throw;
    }
}

}  // namespace

Watch::Watch(std::atomic<bool>& stop, const std::function<bool()>* keep_going) noexcept
    : stop_(stop), keep_going_(keep_going), next_(std::chrono::steady_clock::now() + k_every) {}

void Watch::look() {
    if (keep_going_ != nullptr && std::chrono::steady_clock::now() >= next_) {
        (void)ask();
    }
    if (stopped()) [[unlikely]] {
        throw SignalsStopped{};
    }
}

bool Watch::ask() {
    next_ = std::chrono::steady_clock::now() + k_every;
    if (keep_going_ != nullptr && !stopped() && !(*keep_going_)()) {
        stop();
    }
    return !stopped();
}

std::vector<SignalOutcome> run_signal_sets(const Backtest& backtest,
                                           const std::vector<SignalSet>& sets,
                                           const SignalRules& rules, bool keep,
                                           std::size_t threads, Watch& watch) {
    GivenSets given(sets);
    return run_signal_sets(backtest, given, rules, keep, threads, watch);
}

std::vector<SignalOutcome> run_signal_sets(const Backtest& backtest, SetSource& sets,
                                           const SignalRules& rules, bool keep,
                                           std::size_t threads, Watch& watch) {
    const std::size_t total = sets.count();
    std::vector<SignalOutcome> outcomes(total);
    const std::size_t block = block_size(total, threads);
    const std::size_t blocks = (total + block - 1) / block;
    // A curve of a million bars fresh from the system costs thousands of page faults: each
    // thread works in one the backtest kept, and leaves its own there when done.
    auto park = [&](std::vector<double> curve) noexcept {
        try {
            (void)recycled(std::move(curve), backtest.curves);
        } catch (...) {  // a spare not kept is only a slower next run
        }
    };
    auto run_blocks = [&](std::atomic<std::size_t>& next, Watch& looking) {
        std::vector<double> curve = keep ? take_spare(*backtest.curves) : std::vector<double>();
        try {
            for (std::size_t b = next++; b < blocks && !looking.stopped(); b = next++) {
                const std::size_t first = b * block;
                run_block(backtest, sets, first, std::min(block, total - first), rules, keep,
                          curve, looking, outcomes);
            }
        } catch (...) {
            park(std::move(curve));
            throw;
        }
        park(std::move(curve));
    };
    // Blocks are taken one at a time from a shared counter, so a slow one holds up no other.
    std::atomic<std::size_t> next{0};
    if (std::min(threads, blocks) <= 1) {
        run_blocks(next, watch);  // on the caller's thread, which asks about Ctrl-C itself
        if (watch.stopped()) {
            throw SignalsStopped{};
        }
        return outcomes;
    }
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr failure;

    auto work = [&] {
        Watch silent = watch.silent();
        try {
            run_blocks(next, silent);
        } catch (SignalsStopped&) {  // told to: nothing failed
        } catch (...) {
            const std::lock_guard lock(mutex);
            if (!failure) {
                failure = std::current_exception();
            }
            silent.stop();
        }
        const std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
    };

    std::vector<std::thread> pool;
    const std::size_t count = std::min(threads, blocks);
    pool.reserve(count);
    for (std::size_t t = 0; t < count; ++t) {
        {
            const std::lock_guard lock(mutex);
            ++running;
        }
        try {
            pool.emplace_back(work);
        } catch (...) {
            const std::lock_guard lock(mutex);
            --running;
            if (pool.empty()) {
                throw;  // not even one thread: nothing ran
            }
            break;  // the threads there are share the sets
        }
    }
    {
        // Waited for with a timeout, not in a join: the caller's thread is the one that hears
        // Ctrl-C, and asks about it every few milliseconds while the others work.
        std::unique_lock lock(mutex);
        while (running != 0) {
            if (finished.wait_for(lock, Watch::k_every) == std::cv_status::timeout &&
                !watch.stopped()) {
                lock.unlock();
                try {
                    (void)watch.ask();
                } catch (...) {
                    const std::lock_guard failed(mutex);
                    if (!failure) {
                        failure = std::current_exception();
                    }
                    watch.stop();
                }
                lock.lock();
            }
        }
    }
    for (std::thread& thread : pool) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (watch.stopped()) {
        throw SignalsStopped{};
    }
    return outcomes;
}

}  // namespace cw
