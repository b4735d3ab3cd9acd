// The account's rules beyond its five parameters: how fills, costs and margin are reckoned. The
// defaults are the plain account's own rules, and the plain book holds them as constants, so for
// it every rule below compiles away.
#pragma once

#include <cstdint>

namespace cw {

struct Rules {
    bool gap_open = false;          // a level the bar opens beyond fills at the open
    bool spread_on_exit = true;     // the spread is paid at the exit as well as at the entry
    bool commission_split = false;  // half the commission at the opening, half at the closing
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
};

}  // namespace cw
