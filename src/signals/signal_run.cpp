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

// Every bar: the account's own steps, the set's actions at the close, the equity point. The
// curve, the drawdown and the count are locals that no call can see, so they stay in registers.
// Bars go in blocks, the watch looked at after each: the bar loop itself stays as tight as before.
template <bool GapOpen, Quotes Q>
void signal_loop(Account& account, const std::vector<Bar>& data, const Actions& actions,
                 std::vector<double>& storage, Drawdown& followed, SignalOutcome& out,
                 Watch& watch) {
    std::vector<double> curve = std::move(storage);
    Drawdown drawdown = followed;
    std::uint64_t exposed = 0;
    const bool margin = account.book.rules.margin();
    const std::size_t count = data.size();
    for (std::size_t first = 0; first < count; first += Watch::k_bars) {
        const std::size_t end = std::min(count, first + Watch::k_bars);
        for (std::size_t i = first; i < end; ++i) {
            const Bar& bar = data[i];
            if (!begin_bar(account, bar)) {
                if (!account.positions.empty()) {
                    check_exits_by<GapOpen, Q>(account, bar);
                }
                if (margin) {
                    end_exits(account, bar);
                }
            }
            if (actions.any_at(i)) [[unlikely]] {
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
            curve.push_back(point);
            drawdown.see(point);
            exposed += account.positions.empty() ? 0U : 1U;
        }
        watch.look();
    }
    storage = std::move(curve);
    followed = drawdown;
    out.exposed = exposed;
}

}  // namespace

SignalOutcome run_signal_set(const Backtest& backtest, const SignalSet& set,
                             const SignalRules& rules, bool keep, std::vector<double>& storage,
                             Watch& watch) {
    // A local vector, which no call can see, keeps its ends in registers through the loop.
    std::vector<double> curve = std::move(storage);
    const std::vector<Bar>& data = *backtest.data;
    Account account = run_account(backtest);
    curve.clear();
    curve.reserve(data.size());

    const Actions actions(set, rules);
    SignalOutcome out;
    Drawdown drawdown;  // followed here: a second pass over the curve costs a tenth of the run
    // The loop is compiled for the account's fill rules, chosen once here, not on every bar.
    const Rules& ruled = account.book.rules;
    with_quotes(ruled.quotes, [&](auto quotes) {
        constexpr Quotes Q = decltype(quotes)::value;
        if (ruled.gap_open) {
            signal_loop<true, Q>(account, data, actions, curve, drawdown, out, watch);
        } else {
            signal_loop<false, Q>(account, data, actions, curve, drawdown, out, watch);
        }
    });
    if (!data.empty()) {
        close_all(account, data.back().close, data.back().timestamp, ExitReason::end);
    }
    out.stats = compute_stats(account, drawdown);
    out.refused = account.book.refusals;
    if (keep) {
        out.guesses = std::move(account.book.guesses);
        out.trades = std::make_shared<const std::vector<TradeRow>>(std::move(account.trades));
        out.equity = recycled(std::move(curve), backtest.curves);
        curve = take_spare(*backtest.curves);
    }
    storage = std::move(curve);
    return out;
}

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
    std::vector<SignalOutcome> outcomes(sets.size());
    // A curve of a million bars fresh from the system costs thousands of page faults: each
    // thread works in one the backtest kept, and leaves its own there when done.
    auto park = [&](std::vector<double> curve) noexcept {
        try {
            (void)recycled(std::move(curve), backtest.curves);
        } catch (...) {  // a spare not kept is only a slower next run
        }
    };
    if (sets.size() == 1) {
        std::vector<double> curve = take_spare(*backtest.curves);
        outcomes[0] = run_signal_set(backtest, sets[0], rules, keep, curve, watch);
        park(std::move(curve));
        return outcomes;
    }
    auto run_set = [&](std::size_t i, std::vector<double>& curve, Watch& silent) {
        try {
            outcomes[i] = run_signal_set(backtest, sets[i], rules, keep, curve, silent);
        } catch (SignalRefusal& refusal) {
            refusal.set = i;
            throw;
        }
    };
    // Sets are taken one at a time from a shared counter, so a slow set holds up no other.
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr failure;

    auto work = [&] {
        std::vector<double> curve = take_spare(*backtest.curves);
        Watch silent = watch.silent();
        try {
            for (std::size_t i = next++; i < sets.size() && !silent.stopped(); i = next++) {
                run_set(i, curve, silent);
            }
        } catch (SignalsStopped&) {  // told to: nothing failed
        } catch (...) {
            const std::lock_guard lock(mutex);
            if (!failure) {
                failure = std::current_exception();
            }
            silent.stop();
        }
        park(std::move(curve));
        const std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
    };

    std::vector<std::thread> pool;
    const std::size_t count = std::max<std::size_t>(1, std::min(threads, sets.size()));
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
