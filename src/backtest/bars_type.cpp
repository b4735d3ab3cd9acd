// Bars: an immutable sequence of Bar kept as rows, read by Backtest without a copy and by
// Engine like any sequence.
#include "backtest/bars_type.hpp"

#include <cmath>

#include "account/journal_type.hpp"
#include "backtest/columns.hpp"
#include "binding/params.hpp"
#include "binding/sequence.hpp"
#include "binding/text.hpp"
#include "engine/intake.hpp"
#include "ingest/times.hpp"
#include "market/bar_type.hpp"

namespace cw {

Ref new_series(BarSeries series) {
    return new_instance(bars_class.type(), std::move(series));
}

Ref new_series(std::vector<Bar> rows, std::vector<ExtraColumn> extras) {
    return new_series(BarSeries{std::make_shared<const std::vector<Bar>>(std::move(rows)),
                                std::move(extras), nullptr});
}

const BarSeries& series_of(PyObject* self) {
    return receiver<BarSeries>(self, bars_class).record;
}

// A name given as str, as UTF-8; a str that cannot be encoded is refused.
std::string utf8_of(PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        throw_pending();
    }
    return {text, static_cast<std::size_t>(size)};
}

namespace {

// --- the class ---

constexpr Signature<1> k_new{"Bars", "__new__", {"data"}};
// ticks_per_second, keyword only: the timestamps are date-time ticks (see bars_from_columns).
constexpr Signature<8> k_from_columns{
    "Bars",
    "from_columns",
    {"timestamp", "open", "high", "low", "close", "volume", "extras", "ticks_per_second"},
    7,
    7};
constexpr Signature<1> k_column{"Bars", "column", {"name"}};

PyObject* bars_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(k_new, args, kwargs);
        PyObject* data = bound.get<to_object>(0).get();
        if (PyObject_TypeCheck(data, bars_class.type())) {
            return new_instance(cls, BarSeries(series_of(data)));
        }
        return new_instance(
            cls, BarSeries{std::make_shared<const std::vector<Bar>>(bound.get<to_bars>(0)), {},
                           nullptr});
    });
}

// extras: None or a mapping of names to columns, in its own order.
std::vector<ExtraColumn> extra_columns(PyObject* extras, std::size_t rows) {
    std::vector<ExtraColumn> out;
    if (extras == Py_None) {
        return out;
    }
    Ref items = require(PyMapping_Items(extras));
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(item, 0))) {
            throw PyError::deferred(PyExc_TypeError, "extras must map str names to columns");
        }
        std::string name = utf8_of(PyTuple_GET_ITEM(item, 0));
        auto values = std::make_shared<const std::vector<double>>(
            doubles_from_column(PyTuple_GET_ITEM(item, 1), name, rows));
        out.push_back(ExtraColumn{std::move(name), std::move(values)});
    }
    return out;
}

PyObject* bars_from_buffers(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_from_columns, args, nargs, kwnames);
        const std::int64_t ticks = bound.get_or<to_i64>(7, std::int64_t{0});
        if (ticks < 0) {
            throw PyError::deferred(PyExc_ValueError, "ticks_per_second must not be negative");
        }
        std::vector<Bar> rows = cw::bars_from_columns(column_args(bound), ticks);
        std::vector<ExtraColumn> extras = extra_columns(bound.get<to_object>(6).get(), rows.size());
        return new_instance(reinterpret_cast<PyTypeObject*>(cls),
                            BarSeries{std::make_shared<const std::vector<Bar>>(std::move(rows)),
                                      std::move(extras), nullptr});
    });
}

Py_ssize_t bars_length(PyObject* self) {
    try {
        return static_cast<Py_ssize_t>(series_of(self).rows->size());
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

PyObject* bars_item(PyObject* self, Py_ssize_t i) {
    return boundary([&] {
        const BarRows& rows = series_of(self).rows;
        if (i < 0 || static_cast<std::size_t>(i) >= rows->size()) {
            throw PyError::deferred(PyExc_IndexError, "bar index out of range");
        }
        return new_bar((*rows)[static_cast<std::size_t>(i)]);
    });
}

// bars[i] as a Bar, bars[a:b:c] as Bars of those rows (with their extra columns).
PyObject* bars_subscript(PyObject* self, PyObject* key) {
    return boundary([&] {
        const BarSeries& series = series_of(self);
        return subscript(
            key, static_cast<Py_ssize_t>(series.rows->size()),
            [self](Py_ssize_t i) { return bars_item(self, i); },
            [&series](const SliceRows& rows) {
                std::vector<ExtraColumn> extras;
                for (const ExtraColumn& extra : series.extras) {
                    extras.push_back(ExtraColumn{
                        extra.name,
                        std::make_shared<const std::vector<double>>(rows.pick(*extra.values))});
                }
                // A run of consecutive bars remembers its series, whose calendar the metrics
                // annualise by; every other pick is a series of its own.
                BarRows whole;
                if (rows.step == 1) {
                    whole = series.whole ? series.whole : series.rows;
                }
                return new_series(BarSeries{
                    std::make_shared<const std::vector<Bar>>(rows.pick(*series.rows)),
                    std::move(extras), std::move(whole)});
            });
    });
}

template <auto Field, ValueKind Kind>
PyObject* bars_field(PyObject* self, void* /*closure*/) {
    return boundary([self] { return new_column(field_column(series_of(self).rows, Field, Kind)); });
}

PyObject* bars_extras(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        Ref out = require(PyDict_New());
        for (const ExtraColumn& extra : series_of(self).extras) {
            Ref column = new_column(owned_column(extra.values));
            // By length, not as a C string: a name may hold a NUL.
            Ref key = to_py(std::string_view(extra.name));
            require_ok(PyDict_SetItem(out.get(), key.get(), column.get()));
        }
        return out;
    });
}

PyObject* bars_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_column, args, nargs, kwnames);
        PyObject* name = bound.get<to_object>(0).get();
        if (!PyUnicode_Check(name)) {
            throw type_mismatch(name, &PyUnicode_Type);
        }
        const std::string wanted = utf8_of(name);
        const BarSeries& series = series_of(self);
        const BarRows& rows = series.rows;
        if (wanted == "timestamp") {
            return new_column(field_column(rows, &Bar::timestamp, ValueKind::i64));
        }
        constexpr std::pair<std::string_view, double Bar::*> k_prices[] = {
            {"open", &Bar::open},   {"high", &Bar::high},     {"low", &Bar::low},
            {"close", &Bar::close}, {"volume", &Bar::volume},
        };
        for (const auto& [field, member] : k_prices) {
            if (field == wanted) {
                return new_column(field_column(rows, member, ValueKind::f64));
            }
        }
        for (const ExtraColumn& extra : series.extras) {
            if (extra.name == wanted) {
                return new_column(owned_column(extra.values));
            }
        }
        throw PyError::deferred(PyExc_KeyError, concat({"no column '", wanted, "'"}));
    });
}

// A column name as a repr shows it: control characters escaped as Python escapes them, so a
// NUL or a line break in a header cannot hide or cut the rest.
std::string shown_name(std::string_view name) {
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static constexpr char k_hex[] = "0123456789abcdef";
            out += "\\x";
            out += k_hex[byte >> 4];
            out += k_hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

PyObject* bars_repr(PyObject* self) {
    return boundary([self] {
        const BarSeries& series = series_of(self);
        const std::vector<Bar>& rows = *series.rows;
        std::string text = concat({"Bars(", std::to_string(rows.size()),
                                   rows.size() == 1 ? " bar" : " bars"});
        if (!rows.empty()) {
            text += concat({", ", ingest::format_time(rows.front().timestamp), " to ",
                            ingest::format_time(rows.back().timestamp)});
        }
        for (std::size_t i = 0; i < series.extras.size(); ++i) {
            text += concat({i == 0 ? "; also " : ", ", shown_name(series.extras[i].name)});
        }
        return to_py(text + ")");
    });
}

PyObject* bars_series_timestamp(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        const BarSeries& series = series_of(self);
        return new_column(field_column(series.whole ? series.whole : series.rows,
                                       &Bar::timestamp, ValueKind::i64));
    });
}

PyGetSetDef g_getset[] = {
    {"timestamp", bars_field<&Bar::timestamp, ValueKind::i64>, nullptr, "", nullptr},
    {"open", bars_field<&Bar::open, ValueKind::f64>, nullptr, "", nullptr},
    {"high", bars_field<&Bar::high, ValueKind::f64>, nullptr, "", nullptr},
    {"low", bars_field<&Bar::low, ValueKind::f64>, nullptr, "", nullptr},
    {"close", bars_field<&Bar::close, ValueKind::f64>, nullptr, "", nullptr},
    {"volume", bars_field<&Bar::volume, ValueKind::f64>, nullptr, "", nullptr},
    {"extras", bars_extras, nullptr, "the file's other numeric columns, by name", nullptr},
    {"series_timestamp", bars_series_timestamp, nullptr,
     "the times of the whole series a run of consecutive bars was cut from (bars[a:b]); its own "
     "for any other Bars",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"from_columns", method_entry(bars_from_buffers), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_columns($cls, timestamp, open, high, low, close, volume, extras, *, "
     "ticks_per_second=0)\n--\n\n"},
    {"column", method_entry(bars_column), METH_FASTCALL | METH_KEYWORDS,
     "column($self, name)\n--\n\nOne column by name, a bar field or an extra, without a copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(bars_length)},
    {Py_sq_item, reinterpret_cast<void*>(bars_item)},
    {Py_mp_subscript, reinterpret_cast<void*>(bars_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(sequence_iter)},
    {0, nullptr},
};

const ClassSpec k_spec{
    "candlewright.Bars",
    "Bars(data)\n--\n\nBars as loaded: an immutable sequence of Bar, kept as columns. "
    "Backtest reads them without a copy; Engine takes them like a list.",
    instance_size<BarSeries>(),
    dealloc_instance<BarSeries>,
    bars_new,
    bars_repr,
    g_methods,
    g_getset,
    g_slots,
};

}  // namespace

ClassCell bars_class{k_spec};

}  // namespace cw
