// Column: a read-only sequence of numbers (a slice, at any step, views the same values) that also
// exports its memory through the buffer protocol, so numpy.asarray(column) copies nothing.
// Trades: the table of closed trades, a column per field and a Trade record per row. Position:
// one open position. Their reductions for pickling are in backtest/keeping.cpp.
#include "account/journal_type.hpp"

#include <array>
#include <cmath>
#include <string>
#include <type_traits>

#include "backtest/keeping.hpp"
#include "binding/sequence.hpp"
#include "binding/text.hpp"

namespace cw {
namespace {

// --- Column ---

static_assert(std::is_same_v<std::ptrdiff_t, Py_ssize_t>, "a column's shape is a Py_ssize_t");

constexpr const char* format_of(ValueKind kind) noexcept {
    switch (kind) {
        case ValueKind::f64: return "d";
        case ValueKind::i64: return "q";
        case ValueKind::u64: return "Q";
        case ValueKind::boolean: return "?";
        case ValueKind::f32: return "f";
    }
    return "B";
}

constexpr Py_ssize_t itemsize_of(ValueKind kind) noexcept {
    return kind == ValueKind::boolean ? 1 : kind == ValueKind::f32 ? 4 : 8;
}

Column& column_of(PyObject* self) {
    return receiver<Column>(self, column_class).record;
}

Ref value_at(const Column& column, Py_ssize_t i) {
    const std::byte* at = column.first + i * column.stride;
    switch (column.kind) {
        case ValueKind::f64: return to_py(*reinterpret_cast<const double*>(at));
        case ValueKind::i64: return to_py(*reinterpret_cast<const std::int64_t*>(at));
        case ValueKind::u64: return to_py(*reinterpret_cast<const std::uint64_t*>(at));
        case ValueKind::boolean: return to_py(*reinterpret_cast<const bool*>(at));
        case ValueKind::f32: return to_py(static_cast<double>(*reinterpret_cast<const float*>(at)));
    }
    panic("unknown column kind");
}

Py_ssize_t column_length(PyObject* self) {
    try {
        return column_of(self).count;
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

PyObject* column_item(PyObject* self, Py_ssize_t i) {
    return boundary([&] {
        const Column& column = column_of(self);
        if (i < 0 || i >= column.count) {
            throw PyError::deferred(PyExc_IndexError, "column index out of range");
        }
        return value_at(column, i);
    });
}

// Read-only, one dimension; strided unless every value is next to the last.
int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    try {
        Column& column = column_of(self);
        const Py_ssize_t itemsize = itemsize_of(column.kind);
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
            throw PyError::deferred(PyExc_BufferError, "a column is read-only");
        }
        const bool strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
        if (!strides && column.stride != itemsize) {
            throw PyError::deferred(PyExc_BufferError,
                                    "a trade column is strided: ask for strides (numpy, "
                                    "memoryview) or copy it with list()");
        }
        view->buf = const_cast<std::byte*>(column.first);
        view->len = column.count * itemsize;
        view->readonly = 1;
        view->itemsize = itemsize;
        view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(format_of(column.kind))
                                                   : nullptr;
        view->ndim = 1;
        view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &column.count : nullptr;
        view->strides = strides ? &column.stride : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        view->obj = Ref::borrow(self).release();
        return 0;
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

// column[i] as a value, column[a:b:c] as a Column over the same values: any step is a stride.
PyObject* column_subscript(PyObject* self, PyObject* key) {
    return boundary([&] {
        const Column& column = column_of(self);
        return subscript(
            key, column.count, [self](Py_ssize_t i) { return column_item(self, i); },
            [&column](const SliceRows& picked) {
                const std::byte* first =
                    picked.count == 0 ? column.first : column.first + picked.start * column.stride;
                // With two values or more the step is at most the length, so the product fits;
                // with fewer it is never used, and col[::2**62] must not overflow it.
                const Py_ssize_t stride =
                    picked.count > 1 ? column.stride * picked.step : column.stride;
                return new_column(
                    Column{column.owner, first, picked.count, stride, column.kind});
            });
    });
}

PyObject* column_repr(PyObject* self) {
    return boundary([self] {
        const Column& column = column_of(self);
        return to_py(concat({"Column(", std::to_string(column.count), " values of '",
                             format_of(column.kind), "')"}));
    });
}

PyType_Slot g_column_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(column_length)},
    {Py_sq_item, reinterpret_cast<void*>(column_item)},
    {Py_mp_subscript, reinterpret_cast<void*>(column_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(sequence_iter)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer)},
    {0, nullptr},
};

PyMethodDef g_column_methods[] = {
    {"__reduce_ex__", column_reduce_ex, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec k_column_spec{
    "candlewright.Column",
    "A read-only column of numbers; numpy.asarray(column) views it without a copy.",
    instance_size<Column>(),
    dealloc_instance<Column>,
    nullptr,
    column_repr,
    g_column_methods,
    nullptr,
    g_column_slots,
};

// --- Trade and Position records ---

// "Trade(ticket=0, is_long=True, ...)": every attribute of the class, in its table's order.
PyObject* record_repr(PyObject* self) {
    return boundary([self] {
        PyTypeObject* type = Py_TYPE(self);
        std::string text = concat({qualname_of(reinterpret_cast<PyObject*>(type)), "("});
        for (const PyGetSetDef* def = type->tp_getset; def != nullptr && def->name != nullptr;
             ++def) {
            Ref value = require(def->get(self, def->closure));
            Ref shown = require(PyObject_Repr(value.get()));
            text += concat({def == type->tp_getset ? "" : ", ", def->name, "=",
                            utf8_lossy(shown.get())});
        }
        text += ")";
        return to_py(std::string_view(text));
    });
}

// A record is also the sequence of its attributes, in its table's order, so that it unpacks and
// converts to a tuple as a named tuple would.
Py_ssize_t record_length(PyObject* self) {
    Py_ssize_t n = 0;
    for (const PyGetSetDef* def = Py_TYPE(self)->tp_getset; def != nullptr && def->name != nullptr;
         ++def) {
        ++n;
    }
    return n;
}

PyObject* record_item(PyObject* self, Py_ssize_t i) {
    return boundary([&] {
        if (i < 0 || i >= record_length(self)) {
            throw PyError::deferred(PyExc_IndexError, "record index out of range");
        }
        const PyGetSetDef& def = Py_TYPE(self)->tp_getset[i];
        return require(def.get(self, def.closure));
    });
}

PyType_Slot g_record_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(record_length)},
    {Py_sq_item, reinterpret_cast<void*>(record_item)},
    {Py_tp_iter, reinterpret_cast<void*>(sequence_iter)},
    {0, nullptr},
};

PyMethodDef g_trade_methods[] = {
    {"__reduce__", trade_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef g_position_methods[] = {
    {"__reduce__", position_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef g_order_methods[] = {
    {"__reduce__", order_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef g_trades_methods[] = {
    {"__reduce__", trades_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <auto Field>
constexpr getter trade_field = field_getter<TradeRow, trade_class, Field>;

PyGetSetDef g_trade_getset[] = {
    {"ticket", trade_field<&TradeRow::ticket>, nullptr, "", nullptr},
    {"is_long", trade_field<&TradeRow::is_long>, nullptr, "", nullptr},
    {"lot_size", trade_field<&TradeRow::lot_size>, nullptr, "", nullptr},
    {"entry_time", trade_field<&TradeRow::entry_time>, nullptr, "", nullptr},
    {"exit_time", trade_field<&TradeRow::exit_time>, nullptr, "", nullptr},
    {"entry_bar", trade_field<&TradeRow::entry_bar>, nullptr, "", nullptr},
    {"exit_bar", trade_field<&TradeRow::exit_bar>, nullptr, "", nullptr},
    {"entry_price", trade_field<&TradeRow::entry_price>, nullptr, "", nullptr},
    {"exit_price", trade_field<&TradeRow::exit_price>, nullptr, "", nullptr},
    {"stop_loss", trade_field<&TradeRow::stop_loss>, nullptr, "", nullptr},
    {"take_profit", trade_field<&TradeRow::take_profit>, nullptr, "", nullptr},
    {"pnl", trade_field<&TradeRow::pnl>, nullptr, "", nullptr},
    {"commission", trade_field<&TradeRow::commission>, nullptr, "", nullptr},
    {"swap", trade_field<&TradeRow::swap>, nullptr, "", nullptr},
    {"exit_reason", trade_field<&TradeRow::exit_reason>, nullptr, "", nullptr},
    {"mae", trade_field<&TradeRow::mae>, nullptr, "", nullptr},
    {"mfe", trade_field<&TradeRow::mfe>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec k_trade_spec{
    "candlewright.Trade",
    "One closed trade. A stop-loss or take-profit that was not set is NaN.",
    instance_size<TradeRow>(),
    dealloc_instance<TradeRow>,
    nullptr,
    record_repr,
    g_trade_methods,
    g_trade_getset,
    g_record_slots,
};

using OpenPosition = Account::Position;

std::optional<double> level_or_none(double level) noexcept {
    return std::isnan(level) ? std::nullopt : std::optional<double>(level);
}

template <auto Read>
constexpr getter position_value = value_getter<OpenPosition, position_class, Read>;

PyGetSetDef g_position_getset[] = {
    {"ticket", position_value<[](const OpenPosition& p) { return p.extra.ticket; }>, nullptr, "",
     nullptr},
    {"id", field_getter<OpenPosition, position_class, &OpenPosition::id>, nullptr, "", nullptr},
    {"is_long", field_getter<OpenPosition, position_class, &OpenPosition::is_long>, nullptr, "",
     nullptr},
    {"lot_size", field_getter<OpenPosition, position_class, &OpenPosition::lot_size>, nullptr, "",
     nullptr},
    {"entry_price", field_getter<OpenPosition, position_class, &OpenPosition::entry_price>,
     nullptr, "", nullptr},
    {"entry_time", field_getter<OpenPosition, position_class, &OpenPosition::entry_time>, nullptr,
     "", nullptr},
    {"entry_bar", position_value<[](const OpenPosition& p) { return p.extra.entry_bar; }>,
     nullptr, "", nullptr},
    {"stop_loss", field_getter<OpenPosition, position_class, &OpenPosition::stop_loss>, nullptr,
     "", nullptr},
    {"take_profit", field_getter<OpenPosition, position_class, &OpenPosition::take_profit>,
     nullptr, "", nullptr},
    {"commission", position_value<[](const OpenPosition& p) { return p.extra.commission; }>,
     nullptr, "", nullptr},
    {"swap", position_value<[](const OpenPosition& p) { return p.extra.swap; }>, nullptr, "",
     nullptr},
    {"trail", position_value<[](const OpenPosition& p) { return level_or_none(p.extra.trail); }>,
     nullptr, "", nullptr},
    {"margin",
     position_value<[](const OpenPosition& p) { return margin_of(p); }>,
     nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec k_position_spec{
    "candlewright.Position",
    "One open position, as it was when the account's positions were read. A level that was not "
    "set is None.",
    instance_size<OpenPosition>(),
    dealloc_instance<OpenPosition>,
    nullptr,
    record_repr,
    g_position_methods,
    g_position_getset,
    g_record_slots,
};

template <auto Read>
constexpr getter order_value = value_getter<Order, order_class, Read>;

PyObject* order_kind(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        static constexpr std::array<const char*, 4> names{"buy_limit", "buy_stop", "sell_limit",
                                                          "sell_stop"};
        const Order& order = receiver<Order>(self, order_class).record;
        const char* name = names[static_cast<std::size_t>(order.kind)];
        return require_object(PyUnicode_InternFromString(name));
    });
}

PyGetSetDef g_order_getset[] = {
    {"ticket", order_value<[](const Order& o) { return o.ticket; }>, nullptr, "", nullptr},
    {"kind", order_kind, nullptr, "buy_limit, buy_stop, sell_limit or sell_stop", nullptr},
    {"price", order_value<[](const Order& o) { return o.level; }>, nullptr, "", nullptr},
    {"lot_size", order_value<[](const Order& o) { return o.lot_size; }>, nullptr, "", nullptr},
    {"placed_time", order_value<[](const Order& o) { return o.placed_time; }>, nullptr, "",
     nullptr},
    {"stop_loss", order_value<[](const Order& o) { return o.stop_loss; }>, nullptr, "", nullptr},
    {"take_profit", order_value<[](const Order& o) { return o.take_profit; }>, nullptr, "",
     nullptr},
    {"trail", order_value<[](const Order& o) { return level_or_none(o.trail); }>, nullptr, "",
     nullptr},
    {"expiry", order_value<[](const Order& o) { return o.expiry; }>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec k_order_spec{
    "candlewright.Order",
    "One pending order, as it was when the account's orders were read. A level that was not set "
    "is None.",
    instance_size<Order>(),
    dealloc_instance<Order>,
    nullptr,
    record_repr,
    g_order_methods,
    g_order_getset,
    g_record_slots,
};

// --- Trades ---

const TradeRows& rows_of(PyObject* self) {
    return receiver<TradeTable>(self, trades_class).record.rows;
}

template <auto Field, ValueKind Kind>
PyObject* trades_column(PyObject* self, void* /*closure*/) {
    return boundary([self] { return new_column(field_column(rows_of(self), Field, Kind)); });
}

PyObject* trades_reasons(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        const TradeRows& rows = rows_of(self);
        Ref list = require_object(PyList_New(static_cast<Py_ssize_t>(rows->size())));
        for (std::size_t i = 0; i < rows->size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            Ref::borrow(reason_name((*rows)[i].exit_reason)).release());
        }
        return list;
    });
}

Py_ssize_t trades_length(PyObject* self) {
    try {
        return static_cast<Py_ssize_t>(rows_of(self)->size());
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

PyObject* trades_item(PyObject* self, Py_ssize_t i) {
    return boundary([&] {
        const TradeRows& rows = rows_of(self);
        if (i < 0 || static_cast<std::size_t>(i) >= rows->size()) {
            throw PyError::deferred(PyExc_IndexError, "trade index out of range");
        }
        return new_instance(trade_class.type(), TradeRow((*rows)[static_cast<std::size_t>(i)]));
    });
}

// trades[i] as a Trade, trades[a:b:c] as a Trades of those rows.
PyObject* trades_subscript(PyObject* self, PyObject* key) {
    return boundary([&] {
        const TradeRows& rows = rows_of(self);
        return subscript(
            key, static_cast<Py_ssize_t>(rows->size()),
            [self](Py_ssize_t i) { return trades_item(self, i); },
            [&rows](const SliceRows& picked) {
                return new_trades(std::make_shared<const std::vector<TradeRow>>(picked.pick(*rows)));
            });
    });
}

PyObject* trades_repr(PyObject* self) {
    return boundary([self] {
        const std::size_t n = rows_of(self)->size();
        return to_py(concat({"Trades(", std::to_string(n), n == 1 ? " closed trade)" :
                                                                     " closed trades)"}));
    });
}

constexpr auto f64 = ValueKind::f64;
constexpr auto i64 = ValueKind::i64;

PyGetSetDef g_trades_getset[] = {
    {"ticket", trades_column<&TradeRow::ticket, ValueKind::u64>, nullptr, "", nullptr},
    {"is_long", trades_column<&TradeRow::is_long, ValueKind::boolean>, nullptr, "", nullptr},
    {"lot_size", trades_column<&TradeRow::lot_size, f64>, nullptr, "", nullptr},
    {"entry_time", trades_column<&TradeRow::entry_time, i64>, nullptr, "", nullptr},
    {"exit_time", trades_column<&TradeRow::exit_time, i64>, nullptr, "", nullptr},
    {"entry_bar", trades_column<&TradeRow::entry_bar, i64>, nullptr, "", nullptr},
    {"exit_bar", trades_column<&TradeRow::exit_bar, i64>, nullptr, "", nullptr},
    {"entry_price", trades_column<&TradeRow::entry_price, f64>, nullptr, "", nullptr},
    {"exit_price", trades_column<&TradeRow::exit_price, f64>, nullptr, "", nullptr},
    {"stop_loss", trades_column<&TradeRow::stop_loss, f64>, nullptr, "", nullptr},
    {"take_profit", trades_column<&TradeRow::take_profit, f64>, nullptr, "", nullptr},
    {"pnl", trades_column<&TradeRow::pnl, f64>, nullptr, "", nullptr},
    {"commission", trades_column<&TradeRow::commission, f64>, nullptr, "", nullptr},
    {"swap", trades_column<&TradeRow::swap, f64>, nullptr, "", nullptr},
    {"exit_reason", trades_reasons, nullptr, "a list of str", nullptr},
    {"mae", trades_column<&TradeRow::mae, f64>, nullptr, "", nullptr},
    {"mfe", trades_column<&TradeRow::mfe, f64>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_trades_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(trades_length)},
    {Py_sq_item, reinterpret_cast<void*>(trades_item)},
    {Py_mp_subscript, reinterpret_cast<void*>(trades_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(sequence_iter)},
    {0, nullptr},
};

const ClassSpec k_trades_spec{
    "candlewright.Trades",
    "The closed trades of an account, in closing order: a Trade per row, and a Column per field "
    "(exit_reason is a list of str).",
    instance_size<TradeTable>(),
    dealloc_instance<TradeTable>,
    nullptr,
    trades_repr,
    g_trades_methods,
    g_trades_getset,
    g_trades_slots,
};

OnceCell<std::array<PyObject*, 6>> g_reasons;

}  // namespace

PyObject* reason_name(ExitReason reason) {
    const auto& names = g_reasons.get([] {
        std::array<Ref, 6> made;
        const std::array<const char*, 6> texts{"stop_loss", "take_profit", "close", "close_all",
                                               "end",       "stop_out"};
        for (std::size_t i = 0; i < texts.size(); ++i) {
            made[i] = require(PyUnicode_InternFromString(texts[i]));
        }
        std::array<PyObject*, 6> kept{};
        for (std::size_t i = 0; i < made.size(); ++i) {
            kept[i] = made[i].release();  // for the life of the process
        }
        return kept;
    });
    return names[static_cast<std::size_t>(reason)];
}

ClassCell column_class{k_column_spec};
ClassCell trades_class{k_trades_spec};
ClassCell trade_class{k_trade_spec};
ClassCell position_class{k_position_spec};
ClassCell order_class{k_order_spec};

}  // namespace cw
