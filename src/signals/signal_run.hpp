// Runs driven by per-bar signals instead of a strategy's next(): the account steps of a run and a
// fixed set of actions on each bar's close, with no Python in the loop, so many sets can run at
// once on threads. Pure C++. The actions are those of the package's SignalStrategy, done through
// the same account operations, so a signal run and a strategy run agree to the bit.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "backtest/backtest.hpp"
#include "stats/stats.hpp"

namespace cw {

// A value per bar, or one for every bar. NaN: none (a stop-loss or take-profit not set).
struct PerBar {
    double constant = std::nan("");
    std::shared_ptr<const std::vector<double>> values;  // null: the constant

    [[nodiscard]] double at(std::size_t bar) const noexcept {
        return values ? (*values)[bar] : constant;
    }
};

// A signal per bar, of which only the sign counts: signs read into a column of their own, or the
// caller's own bytes, read where they lie while `owner` keeps them.
struct Signs {
    const std::int8_t* data = nullptr;  // null: none
    std::shared_ptr<const void> owner;

    Signs() = default;
    Signs(std::nullptr_t) noexcept {}  // NOLINT: null, as for a pointer
    template <class Column>
    Signs(std::shared_ptr<Column> column) noexcept  // NOLINT: a column of signs, as it is
        : data(column ? column->data() : nullptr), owner(std::move(column)) {}
    Signs(const std::int8_t* signs, std::shared_ptr<const void> keeps) noexcept
        : data(signs), owner(std::move(keeps)) {}
    explicit operator bool() const noexcept { return data != nullptr; }
    bool operator==(std::nullptr_t) const noexcept { return data == nullptr; }
};

// Entries made inside the loop from two series, as ta::crossover and ta::crossunder find them: a
// cross above is an entry of +1; a cross below an entry of -1, or with `down_exits` an exit.
struct Crossing {
    std::shared_ptr<const std::vector<double>> fast;  // null: no crossing (the entries are given)
    std::shared_ptr<const std::vector<double>> slow;
    bool down_exits = false;
};

// One parameter set: what to do on each bar.
struct SignalSet {
    Signs entries;        // null: made from `crossing`
    Signs exits;          // null: none
    PerBar lots;
    PerBar stop_loss;     // price distance from the close
    PerBar take_profit;
    Crossing crossing;
};

enum class Side : std::uint8_t { long_only, short_only, both };

struct SignalRules {
    Side side = Side::long_only;
    std::uint64_t max_positions = 1;
};

// What a set's run produced; the journal and curve only when they are kept.
struct SignalOutcome {
    Stats stats{};
    std::shared_ptr<const std::vector<TradeRow>> trades;
    std::shared_ptr<const std::vector<double>> equity;
    std::uint64_t exposed = 0;
    std::uint64_t refused = 0;
    Guesses guesses;
};

// An order the account refuses (its rules check orders): at which bar, and why.
struct SignalRefusal {
    std::size_t bar;
    std::string reason;
    std::size_t set = 0;
};

// A run told to stop before its end (Ctrl-C): what it made so far is dropped.
struct SignalsStopped {};

// How work learns that it is to stop: a flag any thread may raise, looked at every thousand bars
// (a clock read there costs nothing beside them), and, on the caller's own thread only (the one
// that can take the interpreter lock back), `keep_going` asked every 10 ms; false raises the flag.
// So a run answers Ctrl-C within about 10 ms, however many bars or sets it has.
class Watch {
public:
    Watch(std::atomic<bool>& stop, const std::function<bool()>* keep_going) noexcept;
    // The same flag, for a thread that may not ask.
    [[nodiscard]] Watch silent() const noexcept { return Watch(stop_, nullptr); }
    // Throws SignalsStopped if the work is to stop.
    void look();
    // Asks now, whatever the time: whether to go on.
    [[nodiscard]] bool ask();
    void stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    [[nodiscard]] bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }

    static constexpr std::size_t k_bars = 1024;
    static constexpr std::chrono::milliseconds k_every{10};

private:
    std::atomic<bool>& stop_;
    const std::function<bool()>* keep_going_;  // null: not this thread's to ask
    std::chrono::steady_clock::time_point next_;
};

// Makes the sets on the threads that run them, so that reading a grid's columns is shared out too.
class SetSource {
public:
    SetSource() = default;
    SetSource(const SetSource&) = delete;
    SetSource& operator=(const SetSource&) = delete;
    virtual ~SetSource() = default;
    [[nodiscard]] virtual std::size_t count() const noexcept = 0;
    // Sets `first` to `first + out.size()`, into `out`. Called from any thread, at most once a set,
    // never for the same sets at once. Throws what its reading refuses, or SignalsStopped.
    virtual void make(std::size_t first, std::span<SignalSet> out, Watch& watch) = 0;
};

// Every set, on up to `threads` threads (on the caller's alone when one will do; otherwise the
// caller's keeps `watch` while others work). Sets go in blocks through each block of bars
// together, while its rows are in cache; each set's result is its run alone, to the bit. Stopped,
// the sets under way stop within a thousand bars, the threads are joined, and SignalsStopped is
// thrown. Otherwise the first failure of any thread is rethrown.
[[nodiscard]] std::vector<SignalOutcome> run_signal_sets(const Backtest& backtest,
                                                         SetSource& sets,
                                                         const SignalRules& rules, bool keep,
                                                         std::size_t threads, Watch& watch);
// The same for sets made beforehand.
[[nodiscard]] std::vector<SignalOutcome> run_signal_sets(const Backtest& backtest,
                                                         const std::vector<SignalSet>& sets,
                                                         const SignalRules& rules, bool keep,
                                                         std::size_t threads, Watch& watch);

}  // namespace cw
