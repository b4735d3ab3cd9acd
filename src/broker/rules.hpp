// The account's rules beyond its five parameters: how fills, costs and margin are reckoned. The
// defaults are the plain account's own rules, and the plain book holds them as constants, so for
// it every rule below compiles away.
#pragma once

#include <cstdint>

namespace cw {

// Which side of the market the bars' prices are. `engine` is the plain account's model: the
// spread is added at the entry and (spread_on_exit) again at the exit, and every level is read on
// the bars as they are. The others are a broker's: buys fill at the ask and sells at the bid, so
// the spread is paid once per round trip, and a position's levels are read on the side it closes
// on (a long's on the bid, a short's on the ask); `mid` bars are half a spread from either side.
enum class Quotes : std::uint8_t { engine, bid, ask, mid };

struct Rules {
    bool gap_open = false;          // a level the bar opens beyond fills at the open
    bool spread_on_exit = true;     // the engine model pays the spread at the exit as well
    Quotes quotes = Quotes::engine;
    bool commission_split = false;  // half the commission at the opening, half at the closing
    bool trail_from_close = false;  // a trailing stop follows the close, not the high or low
    bool fill_bar_exits = true;     // a pending order's position may close on its fill bar
    bool check_orders = false;      // refuse the orders a broker would refuse
    bool swap_in_points = false;    // swaps are points per lot, not account currency per lot
    double swap_long = 0.0;         // per lot per night; negative is a charge
    double swap_short = 0.0;
    double point = 0.0;             // price units per point
    double leverage = 0.0;          // 0: no margin kept unless margin_per_lot is set
    double margin_per_lot = 0.0;    // account currency; 0: contract value / leverage
    double stop_out = 50.0;         // margin level (percent) that closes positions; NaN: never

    [[nodiscard]] constexpr bool margin() const noexcept {
        return leverage > 0.0 || margin_per_lot > 0.0;
    }
    [[nodiscard]] constexpr bool sides() const noexcept { return quotes != Quotes::engine; }
};

}  // namespace cw
