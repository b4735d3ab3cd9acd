// The module functions that do the per-row work of loading natively: parse delimited text,
// check, shift to UTC and resample bars. The package decides layouts, zones and messages.
#include <cmath>

#include "account/journal_type.hpp"
#include "backtest/bars_type.hpp"
#include "binding/buffer.hpp"
#include "binding/params.hpp"
#include "binding/signals.hpp"
#include "binding/text.hpp"
#include "ingest/checks.hpp"
#include "ingest/csv.hpp"
#include "ingest/resample.hpp"

namespace cw {
namespace {

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

PyMethodDef loading_functions[] = {
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
