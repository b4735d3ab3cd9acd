// The Python classes Column, Trades and Trade, and the classes Position and Order of open
// positions and pending orders.
#pragma once

#include "account/journal.hpp"
#include "binding/classes.hpp"

namespace cw {

extern ClassCell column_class;
extern ClassCell trades_class;
extern ClassCell trade_class;
extern ClassCell position_class;
extern ClassCell order_class;

// "stop_loss", "take_profit", "close", "close_all", "end" or "stop_out", made once.
[[nodiscard]] PyObject* reason_name(ExitReason reason);
inline Ref to_py(ExitReason reason) {
    return Ref::borrow(reason_name(reason));
}

[[nodiscard]] inline Ref new_column(Column column) {
    return new_instance(column_class.type(), std::move(column));
}
[[nodiscard]] inline Ref new_trades(TradeRows rows) {
    return new_instance(trades_class.type(), TradeTable{std::move(rows)});
}
[[nodiscard]] inline Ref new_position(const Account::Position& position) {
    return new_instance(position_class.type(), Account::Position(position));
}
[[nodiscard]] inline Ref new_order(const Order& order) {
    return new_instance(order_class.type(), Order(order));
}

}  // namespace cw
