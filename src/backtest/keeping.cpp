// Pickling the results of a run: each class reduces to a builder of this module and the values it
// needs, compactly (a column's values as one bytes object, not an object per value) and exactly
// (floats travel as their bits). A builder checks what it is given, since a pickle can be made
// by hand: a wrong type is a TypeError, a wrong value a ValueError, never a record out of range.
#include "backtest/keeping.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "account/journal_type.hpp"
#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/params.hpp"
#include "binding/text.hpp"
#include "stats/stats_type.hpp"

namespace cw {
namespace {

// A builder of this module, by name: a pickle names it as candlewright._backtest.<name>.
Ref reduction(const char* builder, Ref args) {
    Ref module = require(PyImport_ImportModule("candlewright._backtest"));
    Ref function = require(PyObject_GetAttrString(module.get(), builder));
    return require(PyTuple_Pack(2, function.get(), args.get()));
}

constexpr std::array<const char*, 4> k_order_kinds{"buy_limit", "buy_stop", "sell_limit",
                                                   "sell_stop"};

inline std::optional<std::int64_t> to_optional_i64(PyObject* obj) {
    if (obj == Py_None) {
        return std::nullopt;
    }
    return to_i64(obj);
}

// Exactly True or False: a flag read from a pickle is not a truth test of anything.
bool to_flag(PyObject* obj) {
    if (obj == Py_True || obj == Py_False) {
        return obj == Py_True;
    }
    throw type_mismatch(obj, &PyBool_Type);
}

// A figure: a float or an int, not a bool or a number-like object.
double to_figure(PyObject* obj) {
    if (PyBool_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj))) {
        throw type_mismatch(obj, &PyFloat_Type);
    }
    return to_f64(obj);
}

std::uint64_t to_count(PyObject* obj) {
    if (PyBool_Check(obj) || !PyLong_Check(obj)) {
        throw type_mismatch(obj, &PyLong_Type);
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        throw PyError::deferred(PyExc_ValueError, "a count cannot be negative");
    }
    return to_u64(obj);
}

ExitReason to_reason(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        throw type_mismatch(obj, &PyUnicode_Type);
    }
    for (std::uint8_t r = 0; r <= static_cast<std::uint8_t>(ExitReason::stop_out); ++r) {
        const auto reason = static_cast<ExitReason>(r);
        if (PyUnicode_Compare(obj, reason_name(reason)) == 0) {
            return reason;
        }
    }
    if (PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    throw PyError::deferred(PyExc_ValueError,
                            concat({"unknown exit reason '", utf8_lossy(obj), "'"}));
}

OrderKind to_order_kind(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        throw type_mismatch(obj, &PyUnicode_Type);
    }
    for (std::size_t k = 0; k < k_order_kinds.size(); ++k) {
        if (PyUnicode_CompareWithASCIIString(obj, k_order_kinds[k]) == 0) {
            return static_cast<OrderKind>(k);
        }
    }
    throw PyError::deferred(PyExc_ValueError,
                            concat({"unknown order kind '", utf8_lossy(obj), "'"}));
}

// `count` values of `size` bytes (8 or 1) from `from` on, `from_stride` bytes apart, to `to` on,
// `to_stride` apart. The size is made a constant, so that a value is a load and a store, not a
// call to memcpy.
void copy_strided(std::byte* to, Py_ssize_t to_stride, const std::byte* from,
                  Py_ssize_t from_stride, std::size_t count, std::size_t size) noexcept {
    auto each = [&](auto item) {
        for (std::size_t i = 0; i < count; ++i, to += to_stride, from += from_stride) {
            std::memcpy(&item, from, sizeof(item));
            std::memcpy(to, &item, sizeof(item));
        }
    };
    if (size == 8) {
        each(std::uint64_t{});
    } else {
        each(std::uint8_t{});
    }
}

// --- Stats ---

constexpr Signature<11> k_stats{
    "_backtest",
    "_stats",
    {"initial_cash", "final_cash", "total_return_pct", "num_trades", "num_wins", "win_rate_pct",
     "avg_pnl", "best_trade", "worst_trade", "profit_factor", "max_drawdown_pct"}};

PyObject* make_stats(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_stats, args, nargs, kwnames);
        const Stats stats{bound.get<to_figure>(0),  bound.get<to_figure>(1),
                          bound.get<to_figure>(2),  bound.get<to_count>(3),
                          bound.get<to_count>(4),   bound.get<to_figure>(5),
                          bound.get<to_figure>(6),  bound.get<to_figure>(7),
                          bound.get<to_figure>(8),  bound.get<to_figure>(9),
                          bound.get<to_figure>(10)};
        if (stats.num_wins > stats.num_trades) {
            throw PyError::deferred(PyExc_ValueError, "num_wins exceeds num_trades");
        }
        return new_stats(stats);
    });
}

// --- Column ---

struct Kind {
    char code;
    ValueKind kind;
    Py_ssize_t size;
};

constexpr std::array<Kind, 5> k_kinds{Kind{'d', ValueKind::f64, 8}, Kind{'q', ValueKind::i64, 8},
                                      Kind{'Q', ValueKind::u64, 8},
                                      Kind{'?', ValueKind::boolean, 1}, Kind{'f', ValueKind::f32, 4}};

const Kind& kind_of(ValueKind kind) noexcept {
    for (const Kind& k : k_kinds) {
        if (k.kind == kind) {
            return k;
        }
    }
    return k_kinds[0];
}

// The values one after another, whatever the column's stride.
Ref column_bytes(const Column& column) {
    const Py_ssize_t size = kind_of(column.kind).size;
    Ref bytes = require(PyBytes_FromStringAndSize(nullptr, column.count * size));
    char* out = PyBytes_AS_STRING(bytes.get());
    if (column.stride == size) {
        std::memcpy(out, column.first, static_cast<std::size_t>(column.count * size));
        return bytes;
    }
    copy_strided(reinterpret_cast<std::byte*>(out), size, column.first, column.stride,
                 static_cast<std::size_t>(column.count), static_cast<std::size_t>(size));
    return bytes;
}

[[noreturn, gnu::cold]] void refuse_flags() {
    throw PyError::deferred(PyExc_ValueError, "a boolean column holds bytes other than 0 and 1");
}

bool all_flags(const std::byte* at, std::size_t count) noexcept {
    unsigned char high = 0;
    for (std::size_t i = 0; i < count; ++i) {
        high |= static_cast<unsigned char>(at[i]);
    }
    return high <= 1;
}

constexpr Signature<2> k_column{"_backtest", "_column", {"format", "data"}};

// The buffer is viewed where it lies when its values are aligned (the bytes of an unpickled
// column are), and copied otherwise.
PyObject* make_column(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_column, args, nargs, kwnames);
        PyObject* format = bound.get<to_object>(0).get();
        if (!PyUnicode_Check(format)) {
            throw type_mismatch(format, &PyUnicode_Type);
        }
        const Kind* kind = nullptr;
        for (const Kind& k : k_kinds) {
            const std::array<char, 2> code{k.code, '\0'};
            if (PyUnicode_CompareWithASCIIString(format, code.data()) == 0) {
                kind = &k;
            }
        }
        if (kind == nullptr) {
            throw PyError::deferred(PyExc_ValueError,
                                    concat({"a column's format is one of d, q, Q, ?, not '",
                                            utf8_lossy(format), "'"}));
        }
        auto held = std::make_shared<HeldBuffer>();
        held->take(bound.get<to_object>(1).get(), PyBUF_SIMPLE);
        const Py_buffer& view = held->view();
        if (view.len % kind->size != 0) {
            throw PyError::deferred(
                PyExc_ValueError,
                concat({"a column of '", std::string(1, kind->code), "' needs a multiple of ",
                        std::to_string(kind->size), " bytes, not ", std::to_string(view.len)}));
        }
        const auto* first = static_cast<const std::byte*>(view.buf);
        const auto bytes = static_cast<std::size_t>(view.len);
        if (kind->kind == ValueKind::boolean && !all_flags(first, bytes)) {
            refuse_flags();
        }
        const Py_ssize_t count = view.len / kind->size;
        if (reinterpret_cast<std::uintptr_t>(first) % static_cast<std::uintptr_t>(kind->size) ==
            0) {
            return new_column(Column{held, first, count, kind->size, kind->kind});
        }
        auto copy = std::make_shared<std::vector<std::uint64_t>>((bytes + 7) / 8);
        std::memcpy(copy->data(), first, bytes);
        const auto* at = reinterpret_cast<const std::byte*>(copy->data());
        return new_column(Column{std::move(copy), at, count, kind->size, kind->kind});
    });
}

// --- Trades ---

// The fields of a trade row by name, where they lie, and how they travel: an exit reason as a
// byte that indexes the names sent with the table, so a reordering of reasons between two
// builds of the package reads right.
struct TradeField {
    const char* name;
    std::size_t offset;
    std::size_t size;
    char code;  // as a column's format; 'r' for the exit reason
};

constexpr std::array<TradeField, 17> k_trade_fields{{
    {"ticket", offsetof(TradeRow, ticket), 8, 'Q'},
    {"is_long", offsetof(TradeRow, is_long), 1, '?'},
    {"lot_size", offsetof(TradeRow, lot_size), 8, 'd'},
    {"entry_time", offsetof(TradeRow, entry_time), 8, 'q'},
    {"exit_time", offsetof(TradeRow, exit_time), 8, 'q'},
    {"entry_bar", offsetof(TradeRow, entry_bar), 8, 'q'},
    {"exit_bar", offsetof(TradeRow, exit_bar), 8, 'q'},
    {"entry_price", offsetof(TradeRow, entry_price), 8, 'd'},
    {"exit_price", offsetof(TradeRow, exit_price), 8, 'd'},
    {"stop_loss", offsetof(TradeRow, stop_loss), 8, 'd'},
    {"take_profit", offsetof(TradeRow, take_profit), 8, 'd'},
    {"pnl", offsetof(TradeRow, pnl), 8, 'd'},
    {"commission", offsetof(TradeRow, commission), 8, 'd'},
    {"swap", offsetof(TradeRow, swap), 8, 'd'},
    {"exit_reason", offsetof(TradeRow, exit_reason), 1, 'r'},
    {"mae", offsetof(TradeRow, mae), 8, 'd'},
    {"mfe", offsetof(TradeRow, mfe), 8, 'd'},
}};
static_assert(sizeof(ExitReason) == 1 && sizeof(bool) == 1, "a reason and a flag are one byte");

constexpr std::size_t k_reasons = static_cast<std::size_t>(ExitReason::stop_out) + 1;

const TradeRows& trade_rows(PyObject* self) {
    return receiver<TradeTable>(self, trades_class).record.rows;
}

constexpr Signature<3> k_trades{"_backtest", "_trades", {"fields", "data", "reasons"}};

[[noreturn, gnu::cold]] void refuse_table(const std::string& why) {
    throw PyError::deferred(PyExc_ValueError, concat({"not a table of trades: ", why}));
}

PyObject* make_trades(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_trades, args, nargs, kwnames);
        PyObject* fields = bound.get<to_object>(0).get();
        PyObject* data = bound.get<to_object>(1).get();
        PyObject* reasons = bound.get<to_object>(2).get();
        for (PyObject* given : {fields, data, reasons}) {
            if (!PyTuple_Check(given)) {
                throw type_mismatch(given, &PyTuple_Type);
            }
        }
        if (PyTuple_GET_SIZE(fields) != static_cast<Py_ssize_t>(k_trade_fields.size()) ||
            PyTuple_GET_SIZE(data) != PyTuple_GET_SIZE(fields)) {
            refuse_table(concat({"it needs the ", std::to_string(k_trade_fields.size()),
                                 " fields and their data"}));
        }
        std::vector<ExitReason> reason_of;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(reasons) && i < 256; ++i) {
            reason_of.push_back(to_reason(PyTuple_GET_ITEM(reasons, i)));
        }
        // Each field found by its name, its data held for the call.
        std::array<HeldBuffer, k_trade_fields.size()> held;
        std::array<bool, k_trade_fields.size()> seen{};
        std::size_t rows = 0;
        for (std::size_t i = 0; i < k_trade_fields.size(); ++i) {
            PyObject* name = PyTuple_GET_ITEM(fields, static_cast<Py_ssize_t>(i));
            if (!PyUnicode_Check(name)) {
                throw type_mismatch(name, &PyUnicode_Type);
            }
            std::size_t f = 0;
            while (f < k_trade_fields.size() &&
                   PyUnicode_CompareWithASCIIString(name, k_trade_fields[f].name) != 0) {
                ++f;
            }
            if (f == k_trade_fields.size() || seen[f]) {
                refuse_table(concat({"field '", utf8_lossy(name), "' is unknown or repeated"}));
            }
            seen[f] = true;
            held[f].take(PyTuple_GET_ITEM(data, static_cast<Py_ssize_t>(i)), PyBUF_SIMPLE);
            const auto len = static_cast<std::size_t>(held[f].view().len);
            const std::size_t count = len / k_trade_fields[f].size;
            if (len % k_trade_fields[f].size != 0 || (i > 0 && count != rows)) {
                refuse_table(concat({"field '", k_trade_fields[f].name, "' has ",
                                     std::to_string(len), " bytes"}));
            }
            rows = count;
        }
        std::vector<TradeRow> table(rows);
        for (std::size_t f = 0; f < k_trade_fields.size(); ++f) {
            const TradeField& field = k_trade_fields[f];
            const auto* from = static_cast<const std::byte*>(held[f].view().buf);
            if (field.code == '?' && !all_flags(from, rows)) {
                refuse_flags();
            }
            if (field.code != 'r') {
                copy_strided(reinterpret_cast<std::byte*>(table.data()) + field.offset,
                             sizeof(TradeRow), from, static_cast<Py_ssize_t>(field.size), rows,
                             field.size);
                continue;
            }
            for (std::size_t r = 0; r < rows; ++r) {
                const auto code = static_cast<std::size_t>(from[r]);
                if (code >= reason_of.size()) {
                    refuse_table(concat({"row ", std::to_string(r),
                                         " has no exit reason among those named"}));
                }
                table[r].exit_reason = reason_of[code];
            }
        }
        return new_trades(std::make_shared<const std::vector<TradeRow>>(std::move(table)));
    });
}

// --- Trade, Position, Order ---

constexpr Signature<17> k_trade{
    "_backtest",
    "_trade",
    {"ticket", "is_long", "lot_size", "entry_time", "exit_time", "entry_bar", "exit_bar",
     "entry_price", "exit_price", "stop_loss", "take_profit", "pnl", "commission", "swap",
     "exit_reason", "mae", "mfe"}};

PyObject* make_trade(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_trade, args, nargs, kwnames);
        TradeRow row{};
        row.ticket = bound.get<to_u64>(0);
        row.is_long = bound.get<to_flag>(1);
        row.lot_size = bound.get<to_f64>(2);
        row.entry_time = bound.get<to_i64>(3);
        row.exit_time = bound.get<to_i64>(4);
        row.entry_bar = bound.get<to_i64>(5);
        row.exit_bar = bound.get<to_i64>(6);
        row.entry_price = bound.get<to_f64>(7);
        row.exit_price = bound.get<to_f64>(8);
        row.stop_loss = bound.get<to_f64>(9);
        row.take_profit = bound.get<to_f64>(10);
        row.pnl = bound.get<to_f64>(11);
        row.commission = bound.get<to_f64>(12);
        row.swap = bound.get<to_f64>(13);
        row.exit_reason = bound.get<to_reason>(14);
        row.mae = bound.get<to_f64>(15);
        row.mfe = bound.get<to_f64>(16);
        return new_instance(trade_class.type(), std::move(row));
    });
}

// A position travels as the whole record, the book's part included (its extremes, its margin
// per lot, its place in opening order): what its attributes show is computed from those.
constexpr Signature<17> k_position{
    "_backtest",
    "_position",
    {"stop_loss", "take_profit", "id", "entry_price", "lot_size", "entry_time", "is_long",
     "ticket", "entry_bar", "commission", "low", "high", "margin_per_lot", "trail", "swap", "seq",
     "closed"}};

PyObject* make_position(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_position, args, nargs, kwnames);
        Account::Position position{};
        position.stop_loss = bound.get<to_optional_f64>(0);
        position.take_profit = bound.get<to_optional_f64>(1);
        position.id = bound.get<to_u64>(2);
        position.entry_price = bound.get<to_f64>(3);
        position.lot_size = bound.get<to_f64>(4);
        position.entry_time = bound.get<to_i64>(5);
        position.is_long = bound.get<to_flag>(6);
        position.extra.ticket = bound.get<to_u64>(7);
        position.extra.entry_bar = bound.get<to_i64>(8);
        position.extra.commission = bound.get<to_f64>(9);
        position.extra.low = bound.get<to_f64>(10);
        position.extra.high = bound.get<to_f64>(11);
        position.extra.margin_per_lot = bound.get<to_f64>(12);
        position.extra.trail = bound.get<to_f64>(13);
        position.extra.swap = bound.get<to_f64>(14);
        position.extra.seq = bound.get<to_u64>(15);
        position.extra.closed = bound.get<to_flag>(16);
        return new_instance(position_class.type(), std::move(position));
    });
}

constexpr Signature<10> k_order{"_backtest",
                                "_order",
                                {"stop_loss", "take_profit", "expiry", "ticket", "price",
                                 "lot_size", "trail", "placed_time", "kind", "cancelled"}};

PyObject* make_order(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_order, args, nargs, kwnames);
        Order order{};
        order.stop_loss = bound.get<to_optional_f64>(0);
        order.take_profit = bound.get<to_optional_f64>(1);
        order.expiry = bound.get<to_optional_i64>(2);
        order.ticket = bound.get<to_u64>(3);
        order.level = bound.get<to_f64>(4);
        order.lot_size = bound.get<to_f64>(5);
        order.trail = bound.get<to_f64>(6);
        order.placed_time = bound.get<to_i64>(7);
        order.kind = bound.get<to_order_kind>(8);
        order.cancelled = bound.get<to_flag>(9);
        return new_instance(order_class.type(), std::move(order));
    });
}

}  // namespace

PyObject* column_reduce_ex(PyObject* self, PyObject* protocol) {
    return boundary([&] {
        const Column& column = receiver<Column>(self, column_class).record;
        const Kind& kind = kind_of(column.kind);
        const long level = PyLong_AsLong(protocol);
        if (level == -1 && PyErr_Occurred() != nullptr) {
            throw_pending();
        }
        // From protocol 5 a contiguous column is written from its own memory, or handed out of
        // band, without a bytes object in between.
        Ref data = level >= 5 && column.stride == kind.size
                       ? require(PyPickleBuffer_FromObject(self))
                       : column_bytes(column);
        Ref format = to_py(std::string_view(&kind.code, 1));
        return reduction("_column", require(PyTuple_Pack(2, format.get(), data.get())));
    });
}

PyObject* trades_reduce(PyObject* self, PyObject* /*unused*/) {
    return boundary([self] {
        const std::vector<TradeRow>& rows = *trade_rows(self);
        const auto n = static_cast<Py_ssize_t>(k_trade_fields.size());
        Ref fields = require(PyTuple_New(n));
        Ref data = require(PyTuple_New(n));
        for (Py_ssize_t f = 0; f < n; ++f) {
            const TradeField& field = k_trade_fields[static_cast<std::size_t>(f)];
            Ref name = require(PyUnicode_InternFromString(field.name));
            PyTuple_SET_ITEM(fields.get(), f, name.release());
            const auto size = static_cast<Py_ssize_t>(field.size);
            Ref bytes = require(
                PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows.size()) * size));
            auto* out = reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.get()));
            const auto* first = reinterpret_cast<const std::byte*>(rows.data()) + field.offset;
            copy_strided(out, size, first, sizeof(TradeRow), rows.size(), field.size);
            PyTuple_SET_ITEM(data.get(), f, bytes.release());
        }
        Ref reasons = require(PyTuple_New(static_cast<Py_ssize_t>(k_reasons)));
        for (std::size_t r = 0; r < k_reasons; ++r) {
            PyTuple_SET_ITEM(reasons.get(), static_cast<Py_ssize_t>(r),
                             Ref::borrow(reason_name(static_cast<ExitReason>(r))).release());
        }
        return reduction("_trades",
                         require(PyTuple_Pack(3, fields.get(), data.get(), reasons.get())));
    });
}

PyObject* trade_reduce(PyObject* self, PyObject* /*unused*/) {
    return boundary([self] {
        // A Trade is the sequence of its attributes, in the builder's order.
        return reduction("_trade", require(PySequence_Tuple(self)));
    });
}

PyObject* position_reduce(PyObject* self, PyObject* /*unused*/) {
    return boundary([self] {
        const Account::Position& p = receiver<Account::Position>(self, position_class).record;
        return reduction(
            "_position",
            tuple_of(p.stop_loss, p.take_profit, p.id, p.entry_price, p.lot_size, p.entry_time,
                     p.is_long, p.extra.ticket, p.extra.entry_bar, p.extra.commission,
                     p.extra.low, p.extra.high, p.extra.margin_per_lot, p.extra.trail,
                     p.extra.swap, p.extra.seq, p.extra.closed));
    });
}

PyObject* order_reduce(PyObject* self, PyObject* /*unused*/) {
    return boundary([self] {
        const Order& o = receiver<Order>(self, order_class).record;
        return reduction("_order", tuple_of(o.stop_loss, o.take_profit, o.expiry, o.ticket,
                                            o.level, o.lot_size, o.trail, o.placed_time,
                                            std::string_view(
                                                k_order_kinds[static_cast<std::size_t>(o.kind)]),
                                            o.cancelled));
    });
}

PyMethodDef keeping_functions[] = {
    {"_stats", method_entry(make_stats), METH_FASTCALL | METH_KEYWORDS,
     "_stats(initial_cash, final_cash, total_return_pct, num_trades, num_wins, win_rate_pct, "
     "avg_pnl, best_trade, worst_trade, profit_factor, max_drawdown_pct)\n--\n\n"
     "A Stats from its eleven figures (how a pickled Stats is rebuilt)."},
    {"_column", method_entry(make_column), METH_FASTCALL | METH_KEYWORDS,
     "_column(format, data)\n--\n\nA Column of the values in a bytes-like object."},
    {"_trades", method_entry(make_trades), METH_FASTCALL | METH_KEYWORDS,
     "_trades(fields, data, reasons)\n--\n\nA Trades from a bytes object per field."},
    {"_trade", method_entry(make_trade), METH_FASTCALL | METH_KEYWORDS,
     "_trade(ticket, is_long, ...)\n--\n\nA Trade from its attributes, in their order."},
    {"_position", method_entry(make_position), METH_FASTCALL | METH_KEYWORDS,
     "_position(...)\n--\n\nA Position from its record."},
    {"_order", method_entry(make_order), METH_FASTCALL | METH_KEYWORDS,
     "_order(...)\n--\n\nAn Order from its record."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace cw
