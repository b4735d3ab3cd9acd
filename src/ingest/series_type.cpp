// Bars: an immutable sequence of Bar kept as rows, read by Backtest without a copy and by
// Engine like any sequence. The functions below do the per-row work of loading natively; the
// package decides layouts, zones and messages.
#include "ingest/series_type.hpp"

#include <cmath>

#include "account/journal_type.hpp"
#include "backtest/columns.hpp"
#include "binding/buffer.hpp"
#include "binding/params.hpp"
#include "binding/sequence.hpp"
#include "binding/signals.hpp"
#include "binding/text.hpp"
#include "engine/intake.hpp"
#include "ingest/checks.hpp"
#include "ingest/csv.hpp"
#include "ingest/resample.hpp"
#include "market/bar_type.hpp"

namespace cw {
namespace {

Ref new_series(BarSeries series) {
    return new_instance(bars_class.type(), std::move(series));
}

Ref new_series(std::vector<Bar> rows, std::vector<ExtraColumn> extras = {}) {
    return new_series(BarSeries{std::make_shared<const std::vector<Bar>>(std::move(rows)),
                                std::move(extras), nullptr});
}

const BarSeries& series_of(PyObject* self) {
    return receiver<BarSeries>(self, bars_class).record;
}

// --- the class ---

constexpr Signature<1> k_new{"Bars", "__new__", {"data"}};
constexpr Signature<7> k_from_columns{
    "Bars", "from_columns", {"timestamp", "open", "high", "low", "close", "volume", "extras"}};
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

// A name given as str, as UTF-8; a str that cannot be encoded is refused.
std::string utf8_of(PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        throw_pending();
    }
    return {text, static_cast<std::size_t>(size)};
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
        std::vector<Bar> rows = cw::bars_from_columns(column_args(bound));
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
            require_ok(PyDict_SetItemString(out.get(), extra.name.c_str(), column.get()));
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
            text += concat({i == 0 ? "; also " : ", ", series.extras[i].name});
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
     "from_columns($cls, timestamp, open, high, low, close, volume, extras)\n--\n\n"},
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

// --- the functions ---

std::size_t to_index(PyObject* obj) {
    const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    if (value < 0) {
        throw PyError::deferred(PyExc_ValueError, "a column index must not be negative");
    }
    return static_cast<std::size_t>(value);
}

// The items of a tuple, checked.
PyObject* const* tuple_items(PyObject* obj, Py_ssize_t& n, std::string_view what) {
    if (!PyTuple_Check(obj)) {
        throw PyError::deferred(PyExc_TypeError, concat({what, " must be a tuple"}));
    }
    n = PyTuple_GET_SIZE(obj);
    return &PyTuple_GET_ITEM(obj, 0);
}

ingest::Layout to_layout(PyObject* delimiter, PyObject* skip, PyObject* times, PyObject* prices,
                         PyObject* volume, PyObject* extras) {
    ingest::Layout layout;
    const std::string sep = utf8_of(delimiter);
    if (sep.size() != 1) {
        throw PyError::deferred(PyExc_ValueError, "the delimiter must be one ASCII character");
    }
    layout.delimiter = sep[0];
    layout.skip_rows = to_index(skip);
    Py_ssize_t n = 0;
    PyObject* const* items = tuple_items(times, n, "times");
    if (n < 1 || n > 2) {
        throw PyError::deferred(PyExc_ValueError, "one or two time fields");
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t pair_size = 0;
        PyObject* const* pair = tuple_items(items[i], pair_size, "a time field");
        if (pair_size != 2) {
            throw PyError::deferred(PyExc_ValueError, "a time field is (column, format)");
        }
        ingest::TimeField field{to_index(pair[0]), {}};
        if (pair[1] != Py_None) {
            try {
                field.pattern = ingest::compile_time_pattern(utf8_of(pair[1]));
            } catch (const std::invalid_argument& error) {
                throw PyError::deferred(PyExc_ValueError,
                                        concat({"date_format: ", error.what()}));
            }
        }
        layout.times.push_back(std::move(field));
    }
    items = tuple_items(prices, n, "prices");
    if (n != 4) {
        throw PyError::deferred(PyExc_ValueError, "four price fields");
    }
    for (std::size_t i = 0; i < 4; ++i) {
        layout.prices[i] = to_index(items[i]);
    }
    layout.volume = volume == Py_None ? -1 : static_cast<std::ptrdiff_t>(to_index(volume));
    items = tuple_items(extras, n, "extras");
    for (Py_ssize_t i = 0; i < n; ++i) {
        layout.extras.push_back(to_index(items[i]));
    }
    return layout;
}

bool truth(PyObject* obj) {
    const int value = PyObject_IsTrue(obj);
    if (value < 0) {
        throw_pending();
    }
    return value == 1;
}

class Signals final : public ingest::Progress {
public:
    void step() override { check_.after(); }

private:
    SignalCheck check_;
};

// The bytes of a buffer, held for the call.
class Bytes {
public:
    explicit Bytes(PyObject* obj) { held_.take(obj, PyBUF_SIMPLE); }
    std::string_view text() const noexcept {
        const Py_buffer& view = held_.view();
        return {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
    }

private:
    HeldBuffer held_;
};

constexpr Signature<10> k_parse{
    "_backtest", "parse_csv",
    {"data", "delimiter", "skip_rows", "times", "prices", "volume", "extras", "extra_names",
     "finite", "mark_local"}};

constexpr const char* k_row_faults[] = {"fields", "number", "time", "time_range"};

Ref failure(const ingest::ParseFailure& failed) {
    return require(Py_BuildValue("(O(Lnss)O)", Py_None, static_cast<long long>(failed.line),
                                 static_cast<Py_ssize_t>(failed.column),
                                 k_row_faults[static_cast<std::size_t>(failed.fault)],
                                 failed.found.c_str(), Py_None));
}

// (Bars, line numbers, which times were wall-clock ones as bytes or None) or, for the first row
// that cannot be read, (None, (line, field, what, text found), None): the package words the
// message, with the file's name.
PyObject* parse_csv(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_parse, args, nargs, kwnames);
        ingest::Layout layout =
            to_layout(bound.get<to_object>(1).get(), bound.get<to_object>(2).get(),
                      bound.get<to_object>(3).get(), bound.get<to_object>(4).get(),
                      bound.get<to_object>(5).get(), bound.get<to_object>(6).get());
        Py_ssize_t names_count = 0;
        PyObject* const* names = tuple_items(bound.get<to_object>(7).get(), names_count,
                                             "extra_names");
        if (static_cast<std::size_t>(names_count) != layout.extras.size()) {
            throw PyError::deferred(PyExc_ValueError, "a name for every extra field");
        }
        layout.finite = truth(bound.get<to_object>(8).get());
        layout.mark_local = truth(bound.get<to_object>(9).get());
        std::vector<std::string> extra_names;
        for (Py_ssize_t i = 0; i < names_count; ++i) {
            extra_names.push_back(utf8_of(names[i]));
        }
        const Bytes data(bound.get<to_object>(0).get());
        Signals signals;
        ingest::Parsed parsed;
        try {
            parsed = ingest::parse_csv(data.text(), layout, signals);
        } catch (const ingest::ParseFailure& failed) {
            return failure(failed);
        }
        std::vector<ExtraColumn> extras;
        for (std::size_t i = 0; i < extra_names.size(); ++i) {
            extras.push_back(ExtraColumn{
                std::move(extra_names[i]),
                std::make_shared<const std::vector<double>>(std::move(parsed.extras[i]))});
        }
        Ref bars = new_series(std::move(parsed.bars), std::move(extras));
        auto lines = std::make_shared<const std::vector<std::int64_t>>(std::move(parsed.lines));
        static const std::int64_t empty = 0;
        const std::byte* first = reinterpret_cast<const std::byte*>(
            lines->empty() ? &empty : lines->data());
        const auto count = static_cast<std::ptrdiff_t>(lines->size());
        Ref line_column = new_column(Column{std::move(lines), first, count,
                                            static_cast<std::ptrdiff_t>(sizeof(std::int64_t)),
                                            ValueKind::i64});
        Ref local = layout.mark_local
                        ? require(PyBytes_FromStringAndSize(
                              reinterpret_cast<const char*>(parsed.local.data()),
                              static_cast<Py_ssize_t>(parsed.local.size())))
                        : none();
        return require(PyTuple_Pack(3, bars.get(), line_column.get(), local.get()));
    });
}

const BarSeries& series_arg(PyObject* obj) {
    return series_of(obj);
}

constexpr Signature<1> k_check{"_backtest", "check_bars", {"bars"}};

// (rows with each fault, rows with any, first bad row, its fault) for the package to word.
PyObject* check_bars(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_check, args, nargs, kwnames);
        const ingest::CheckReport report =
            ingest::check_bars(*series_arg(bound.get<to_object>(0).get()).rows);
        Ref counts = require(PyTuple_New(static_cast<Py_ssize_t>(ingest::k_faults)));
        for (std::size_t k = 0; k < ingest::k_faults; ++k) {
            PyTuple_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(k),
                             to_py(static_cast<std::uint64_t>(report.counts[k])).release());
        }
        return require(Py_BuildValue("(Onnn)", counts.get(),
                                     static_cast<Py_ssize_t>(report.bad_rows),
                                     static_cast<Py_ssize_t>(report.first_row),
                                     static_cast<Py_ssize_t>(report.first_fault)));
    });
}

std::vector<std::int64_t> int_list(PyObject* obj, std::string_view what) {
    Py_ssize_t n = 0;
    PyObject* const* items = tuple_items(obj, n, what);
    std::vector<std::int64_t> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.push_back(to_i64(items[i]));
    }
    return out;
}

ingest::ZoneTable to_zone(PyObject* starts, PyObject* offsets) {
    ingest::ZoneTable zone{int_list(starts, "starts"), int_list(offsets, "offsets")};
    if (zone.starts.size() != zone.offsets.size()) {
        throw PyError::deferred(PyExc_ValueError, "a zone table needs an offset for every start");
    }
    return zone;
}

constexpr Signature<4> k_to_utc{"_backtest", "to_utc", {"bars", "starts", "offsets", "local"}};

// The bars with wall-clock times of the zone turned into UTC ones: all, or those marked in
// `local` (bytes, one per bar).
PyObject* to_utc(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_to_utc, args, nargs, kwnames);
        const BarSeries& series = series_arg(bound.get<to_object>(0).get());
        const ingest::ZoneTable zone =
            to_zone(bound.get<to_object>(1).get(), bound.get<to_object>(2).get());
        std::vector<Bar> rows(*series.rows);
        PyObject* local = bound.get<to_object>(3).get();
        if (local == Py_None) {
            for (Bar& bar : rows) {
                bar.timestamp = zone.to_utc(bar.timestamp);
            }
        } else {
            const Bytes marks(local);
            const std::string_view mark = marks.text();
            if (mark.size() != rows.size()) {
                throw PyError::deferred(PyExc_ValueError, "a mark for every bar");
            }
            for (std::size_t i = 0; i < rows.size(); ++i) {
                rows[i].timestamp = mark[i] != 0 ? zone.to_utc(rows[i].timestamp)
                                                 : rows[i].timestamp;
            }
        }
        return new_series(BarSeries{std::make_shared<const std::vector<Bar>>(std::move(rows)),
                                    series.extras, nullptr});
    });
}

constexpr Signature<5> k_resample{
    "_backtest", "resample", {"bars", "period", "origin", "starts", "offsets"}};

// Bars of the coarser period, or (None, row) for the first row not after the one before.
PyObject* resample(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_resample, args, nargs, kwnames);
        const BarSeries& series = series_arg(bound.get<to_object>(0).get());
        const std::int64_t period = bound.get<to_i64>(1);
        if (period <= 0) {
            throw PyError::deferred(PyExc_ValueError, "the period must be positive");
        }
        const ingest::ZoneTable zone =
            to_zone(bound.get<to_object>(3).get(), bound.get<to_object>(4).get());
        try {
            return new_series(ingest::resample(*series.rows, period, bound.get<to_i64>(2), zone));
        } catch (const ingest::OutOfOrder& failed) {
            return require(Py_BuildValue("(On)", Py_None, static_cast<Py_ssize_t>(failed.row)));
        }
    });
}

}  // namespace

ClassCell bars_class{k_spec};

PyMethodDef ingest_functions[] = {
    {"parse_csv", method_entry(parse_csv), METH_FASTCALL | METH_KEYWORDS,
     "parse_csv(data, delimiter, skip_rows, times, prices, volume, extras, extra_names, finite, "
     "mark_local)\n--\n\n"},
    {"check_bars", method_entry(check_bars), METH_FASTCALL | METH_KEYWORDS,
     "check_bars(bars)\n--\n\n"},
    {"to_utc", method_entry(to_utc), METH_FASTCALL | METH_KEYWORDS,
     "to_utc(bars, starts, offsets, local)\n--\n\n"},
    {"resample", method_entry(resample), METH_FASTCALL | METH_KEYWORDS,
     "resample(bars, period, origin, starts, offsets)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace cw
