// What a signal run does at a bar's close, shared by the runs of one instrument and of a
// portfolio, so that both act as SignalStrategy does, to the bit. Pure C++.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "account/refusals.hpp"
#include "broker/ledger.hpp"
#include "signals/signal_run.hpp"

namespace cw {

inline std::optional<double> signal_level(double price, double distance, bool above) noexcept {
    if (std::isnan(distance)) {
        return std::nullopt;
    }
    return above ? price + distance : price - distance;
}

// A set's values as plain pointers, read once: the loop calls into the account, after which the
// compiler could not assume the set's shared pointers unchanged.
struct SetValues {
    const double* values;  // null: the constant
    double constant;

    explicit SetValues(const PerBar& per_bar) noexcept
        : values(per_bar.values ? per_bar.values->data() : nullptr), constant(per_bar.constant) {}
    [[nodiscard]] double at(std::size_t i) const noexcept {
        return values != nullptr ? values[i] : constant;
    }
};

struct Actions {
    const std::int8_t* entries;  // null: from the crossing of `fast` and `slow`
    const std::int8_t* exits;    // null: none
    const double* fast;
    const double* slow;
    bool down_exits;
    SetValues lots;
    SetValues stop_loss;
    SetValues take_profit;
    SignalRules rules;

    Actions(const SignalSet& set, const SignalRules& given) noexcept
        : entries(set.entries.data),
          exits(set.exits.data),
          fast(set.crossing.fast ? set.crossing.fast->data() : nullptr),
          slow(set.crossing.slow ? set.crossing.slow->data() : nullptr),
          down_exits(set.crossing.down_exits),
          lots(set.lots),
          stop_loss(set.stop_loss),
          take_profit(set.take_profit),
          rules(given) {}

    // Whether the set does anything at bar i: inline, on every bar; `Crossed` when the entries
    // are made from a crossing.
    template <bool Crossed = false>
    [[nodiscard]] bool any_at(std::size_t i) const noexcept {
        if constexpr (Crossed) {
            return (i != 0 && (up(i) || down(i))) || (exits != nullptr && exits[i] != 0);
        } else {
            return entries[i] != 0 || (exits != nullptr && exits[i] != 0);
        }
    }
    // The first bar from i (before `end`) at which the set does anything; `end` if none.
    template <bool Crossed = false>
    [[nodiscard]] std::size_t next_at(std::size_t i, std::size_t end) const noexcept {
        if constexpr (!Crossed) {
            // Eight bars at a time while none has a signal: most have none.
            auto word = [](const std::int8_t* signs, std::size_t at) {
                std::uint64_t eight;
                std::memcpy(&eight, signs + at, sizeof eight);
                return eight;
            };
            while (i + 8 <= end &&
                   (word(entries, i) | (exits != nullptr ? word(exits, i) : 0U)) == 0) {
                i += 8;
            }
        }
        if constexpr (Crossed) {
            if (exits == nullptr && i < end) {
                // Each bar's pair compared once, and carried to the next bar.
                if (i == 0) {
                    i = 1;  // nothing crosses at the first bar
                }
                bool below = i < end && fast[i - 1] < slow[i - 1];
                bool above = i < end && fast[i - 1] > slow[i - 1];
                for (; i < end; ++i) {
                    const double f = fast[i];
                    const double s = slow[i];
                    if ((below && f > s) || (above && f < s)) {
                        return i;
                    }
                    below = f < s;
                    above = f > s;
                }
                return end;
            }
        }
        while (i < end && !any_at<Crossed>(i)) {
            ++i;
        }
        return i;
    }
    // NaN compares false either way: no cross into or out of a gap.
    [[nodiscard]] bool up(std::size_t i) const noexcept {
        return fast[i - 1] < slow[i - 1] && fast[i] > slow[i];
    }
    [[nodiscard]] bool down(std::size_t i) const noexcept {
        return fast[i - 1] > slow[i - 1] && fast[i] < slow[i];
    }
    [[nodiscard]] bool exit_at(std::size_t i) const noexcept {
        return (exits != nullptr && exits[i] != 0) ||
               (entries == nullptr && down_exits && i != 0 && down(i));
    }
    [[nodiscard]] std::int8_t entry_at(std::size_t i) const noexcept {
        if (entries != nullptr) {
            return entries[i];
        }
        if (i == 0) {
            return 0;
        }
        if (up(i)) {
            return 1;
        }
        return !down_exits && down(i) ? -1 : 0;
    }

    // What SignalStrategy.next does at the bar's close, after the bar's exits, on a bar with a
    // signal; an order the account refuses is refused here as the account refuses it. Out of
    // line: the loop around it keeps its values in registers.
    [[gnu::noinline]] void at(Account& account, const Bar& bar, std::size_t i) const {
        const double price = bar.close;
        const bool checked = account.book.rules.check_orders;
        if (!account.positions.empty() && exit_at(i)) {
            if (checked) {
                check_fill(bar, i);
            }
            close_all(account, price, bar.timestamp);
        }
        const std::int8_t entry = entry_at(i);
        if (entry == 0) {
            return;
        }
        const bool is_long = rules.side == Side::both ? entry > 0 : rules.side == Side::long_only;
        if (!account.positions.empty() && account.positions.front().is_long != is_long) {
            if (checked) {
                check_fill(bar, i);
            }
            close_all(account, price, bar.timestamp);
        }
        if (account.positions.size() < rules.max_positions) {
            const std::optional<double> stop = signal_level(price, stop_loss.at(i), !is_long);
            const std::optional<double> target = signal_level(price, take_profit.at(i), is_long);
            if (checked) {
                check_fill(bar, i);
                refuse_if(i, check_levels(is_long, open_at(account, is_long, price), "its entry",
                                          stop, target));
            }
            (void)open_position(account, is_long, price, lots.at(i), bar.timestamp, stop, target);
        }
    }

    // The close, as a fill the account checks.
    static void check_fill(const Bar& bar, std::size_t i) {
        refuse_if(i, cw::check_fill(bar.close, &bar, static_cast<std::int64_t>(i)));
    }
    static void refuse_if(std::size_t i, Refusal refusal) {
        if (refusal) [[unlikely]] {
            throw SignalRefusal{i, std::move(*refusal)};
        }
    }
};

}  // namespace cw
