// Read-only views of what a run produced: a column of numbers over a shared, immutable array (the
// equity curve, one field of every trade row), and the table of trade rows. Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "broker/ledger.hpp"

namespace cw {

enum class ValueKind : std::uint8_t { f64, i64, u64, boolean, f32 };

// Values `stride` bytes apart from `first`, kept alive by `owner`. The array never changes, so a
// view taken before the account traded on stays valid and correct.
struct Column {
    std::shared_ptr<const void> owner;
    const std::byte* first;
    std::ptrdiff_t count;  // the buffer protocol's shape and strides point at these two
    std::ptrdiff_t stride;
    ValueKind kind;
};

using TradeRows = std::shared_ptr<const std::vector<TradeRow>>;

struct TradeTable {
    TradeRows rows;
};

// The column of one field of every row of a shared array of rows (trades, bars).
template <class Row, class Value>
Column field_column(const std::shared_ptr<const std::vector<Row>>& rows, Value Row::*field,
                    ValueKind kind) {
    static const Row none{};  // an empty table still needs somewhere to point
    const Row* base = rows->empty() ? &none : rows->data();
    return Column{rows, reinterpret_cast<const std::byte*>(&(base->*field)),
                  static_cast<std::ptrdiff_t>(rows->size()),
                  static_cast<std::ptrdiff_t>(sizeof(Row)), kind};
}

// A column of its own values.
inline Column owned_column(std::shared_ptr<const std::vector<double>> values) {
    static const double none = 0.0;
    const std::byte* first =
        reinterpret_cast<const std::byte*>(values->empty() ? &none : values->data());
    const auto count = static_cast<std::ptrdiff_t>(values->size());
    return Column{std::move(values), first, count, static_cast<std::ptrdiff_t>(sizeof(double)),
                  ValueKind::f64};
}

}  // namespace cw
