// The Account's book: what it keeps beyond the Broker's records so that a run can be inspected
// afterwards (a ticket per position, bar numbers, exit reasons, commission, excursions). It reads
// the account's results and never takes part in their arithmetic, so an Account and a Broker
// given the same calls agree to the bit.
#pragma once

#include <cstdint>
#include <limits>

#include "broker/broker.hpp"

namespace cw {

// One closed trade as the journal keeps it; 120 bytes. A level that was not set is NaN.
struct TradeRow {
    std::uint64_t ticket;
    std::int64_t entry_time;
    std::int64_t exit_time;
    std::int64_t entry_bar;  // -1 outside a run
    std::int64_t exit_bar;
    double entry_price;
    double exit_price;
    double lot_size;
    double stop_loss;
    double take_profit;
    double pnl;
    double commission;  // paid at the opening
    double mae;         // worst move against the entry while open (<= 0), price units
    double mfe;         // best move for it (>= 0)
    bool is_long;
    ExitReason exit_reason;
};

struct Ledger {
    struct Extra {
        std::uint64_t ticket;
        std::int64_t entry_bar;
        double commission;
        double low;   // lowest low seen while open; starts at the entry price
        double high;  // highest high
    };
    using Position = PositionOf<Extra>;
    using TradeRow = cw::TradeRow;
    static constexpr bool journal = true;

    std::uint64_t next_ticket = 0;
    std::int64_t bar = -1;  // the bar a run is at; -1 outside a run

    [[nodiscard]] Extra opening(double entry_price, double commission) const noexcept {
        return Extra{next_ticket, bar, commission, entry_price, entry_price};
    }
    // After the position is in: a ticket is used only once it names a position.
    void opened() noexcept { ++next_ticket; }

    // Every bar the position is open for, including the one that closes it.
    static void observe(Position& position, const Bar& bar) noexcept {
        if (bar.low < position.extra.low) {
            position.extra.low = bar.low;
        }
        if (bar.high > position.extra.high) {
            position.extra.high = bar.high;
        }
    }

    [[nodiscard]] TradeRow closed(const Position& p, double exit_price, double pnl,
                                  std::int64_t time, ExitReason reason) const noexcept {
        constexpr double none = std::numeric_limits<double>::quiet_NaN();
        // Each side subtracts in its own order, so no move comes out as -0.0.
        const double mae = p.is_long ? p.extra.low - p.entry_price : p.entry_price - p.extra.high;
        const double mfe = p.is_long ? p.extra.high - p.entry_price : p.entry_price - p.extra.low;
        return TradeRow{p.extra.ticket,
                        p.entry_time,
                        time,
                        p.extra.entry_bar,
                        bar,
                        p.entry_price,
                        exit_price,
                        p.lot_size,
                        p.stop_loss.value_or(none),
                        p.take_profit.value_or(none),
                        pnl,
                        p.extra.commission,
                        mae,
                        mfe,
                        p.is_long,
                        reason};
    }
};

using Account = BrokerOf<Ledger>;

// Closes the open position with this ticket by the closing rule; false if there is none.
bool close_ticket(Account& account, std::uint64_t ticket, double price, std::int64_t timestamp);

}  // namespace cw
