// Finer data inside a run's bars: which of its steps lie inside each bar, and whether they account
// for the bar. A bar with something open or pending has its fills, exits and stop-out decided on
// those steps in time order, by the same rules a bar is (one step is then a finer bar, or a tick
// as a bar of one price), and falls back to the bar itself where the finer data has a hole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "broker/ledger.hpp"
#include "ingest/ticks.hpp"
#include "market/bar.hpp"

namespace cw {

struct Intrabar {
    BarRows bars;                                  // finer bars; null with ticks
    std::shared_ptr<const std::vector<Bar>> asks;  // their ask's own bars, if any
    TickSeries ticks;                              // ticks, when there are no finer bars
    bool tick_asks = false;                        // read a tick's ask as the ask's side
    std::int64_t scale_up = 1;                     // a tick's time in the run's unit:
    std::int64_t scale_down = 1;                   // time * up, floored by down
    // Per bar of the run: its finer steps [first, end), and whether they account for the bar.
    std::vector<std::uint64_t> first;
    std::vector<std::uint64_t> end;
    std::vector<std::uint8_t> covered;

    [[nodiscard]] std::int64_t tick_time(std::size_t k) const noexcept {
        const std::int64_t t = ticks.store->time[ticks.begin + k] * scale_up;
        const std::int64_t q = t / scale_down;
        return q * scale_down > t ? q - 1 : q;
    }
};

// The finer steps of each of `bars`: a finer step lies inside a bar when its time is at or after
// the bar's and before both the next bar's and the bar's own length later (the shortest gap
// between bars: a finer step in a gap of the bars belongs to none). Finer bars account for a bar
// when all of them are there (its length over theirs, without a hole) and their lowest low and
// highest high are the bar's; ticks, when there is at least one and their prices reach exactly
// the bar's low and high. Throws std::invalid_argument with the user's message where the finer
// data cannot be read inside these bars.
[[nodiscard]] Intrabar finer_bars(std::span<const Bar> bars, BarRows finer,
                                  std::shared_ptr<const std::vector<Bar>> asks);
[[nodiscard]] Intrabar finer_ticks(std::span<const Bar> bars, TickSeries ticks, bool asks,
                                   std::int64_t run_per_second);

// bar_steps' part for a bar with something open or pending in a run with finer data: the guess
// the bar rules would make, then the bar's fills, exits and stop-out on its finer steps when it
// has them (true), or nothing (false: the bar's own rules follow).
bool inside_bar(Account& account, const Bar& bar);

// Whether the bar rules would guess on this bar for what is open and pending before its fills,
// as the exit pass counts them (Ledger::guesses_on, for a position; an order it fills whose
// position's stop or target it also reaches) (account_ops.cpp).
[[nodiscard]] bool bar_guesses(const Account& account, const Bar& bar);

// The pending orders' fills on one bar or finer step (account_ops.cpp).
void fill_orders(Account& account, const Bar& bar);

}  // namespace cw
