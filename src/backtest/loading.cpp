// The module functions that do the per-row work of loading natively: parse delimited text,
// check, shift to UTC and resample bars. The package decides layouts, zones and messages.
#include <cerrno>
#include <climits>
#include <cmath>

#include "account/journal_type.hpp"
#include "backtest/bars_type.hpp"
#include "binding/buffer.hpp"
#include "binding/params.hpp"
#include "binding/signals.hpp"
#include "binding/text.hpp"
#include "backtest/unlocked_reading.hpp"
#include "binding/unlocked.hpp"
#include "ingest/checks.hpp"
#include "ingest/csv.hpp"
#include "ingest/resample.hpp"

namespace cw {
namespace {


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
    layout.skip_rows = to_place(skip);
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
        ingest::TimeField field{to_place(pair[0]), {}};
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
        layout.prices[i] = to_place(items[i]);
    }
    layout.volume = volume == Py_None ? -1 : static_cast<std::ptrdiff_t>(to_place(volume));
    items = tuple_items(extras, n, "extras");
    for (Py_ssize_t i = 0; i < n; ++i) {
        layout.extras.push_back(to_place(items[i]));
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

constexpr Signature<14> k_parse{
    "_backtest", "parse_csv",
    {"data", "delimiter", "skip_rows", "times", "prices", "volume", "extras", "extra_names",
     "finite", "mark_local", "decimal", "line_end", "threads", "start"},
    10};

constexpr const char* k_row_faults[] = {"fields", "number", "time", "time_range", "long_row"};

Ref failure(const ingest::ParseFailure& failed) {
    // The text found may be any bytes: shown escaped where it is not UTF-8.
    Ref found = require(PyUnicode_DecodeUTF8(failed.found.data(),
                                             static_cast<Py_ssize_t>(failed.found.size()),
                                             "backslashreplace"));
    return require(Py_BuildValue("(O(LnsO)O)", Py_None, static_cast<long long>(failed.line),
                                 static_cast<Py_ssize_t>(failed.column),
                                 k_row_faults[static_cast<std::size_t>(failed.fault)],
                                 found.get(), Py_None));
}

char one_char(PyObject* obj, const char* what) {
    const std::string text = utf8_of(obj);
    if (text.size() != 1) {
        throw PyError::deferred(PyExc_ValueError, concat({what, " must be one ASCII character"}));
    }
    return text[0];
}

// The rows of a whole text, without the interpreter lock, on up to `threads` threads.
ingest::Parsed parse_whole(PyObject* data, const ingest::Layout& layout, std::size_t threads) {
    const Bytes bytes(data);
    bool interrupted = false;
    ingest::Parsed parsed;
    {
        WithoutInterpreterLock unlocked;
        UnlockedSignals signals(unlocked);
        try {
            parsed = ingest::parse_csv(bytes.text(), layout, threads, signals);
        } catch (const Interrupted&) {
            interrupted = true;
        }
    }
    if (interrupted) {
        throw_pending();
    }
    return parsed;
}

// The rows of a regular file open as `fd`, from byte `start`, read by position without the
// interpreter lock: the text is never held whole.
ingest::Parsed parse_file(int fd, std::uint64_t start, const ingest::Layout& layout,
                          std::size_t threads) {
    bool interrupted = false;
    int failed = 0;
    ingest::Parsed parsed;
    {
        WithoutInterpreterLock unlocked;
        UnlockedSignals signals(unlocked);
        try {
            parsed = ingest::parse_csv_file(fd, start, layout, threads, signals);
        } catch (const Interrupted&) {
            interrupted = true;
        } catch (const ingest::ReadFailure& failure) {
            failed = failure.code;
        }
    }
    if (interrupted) {
        throw_pending();
    }
    if (failed != 0) {
        errno = failed;
        PyErr_SetFromErrno(PyExc_OSError);
        throw_pending();
    }
    return parsed;
}

// The rows of a text that arrives in pieces (bytes-like, from an iterator), each read without
// the interpreter lock while the next is not yet asked for.
ingest::Parsed parse_pieces(PyObject* data, const ingest::Layout& layout) {
    ingest::CsvReader reader(layout);
    return read_pieces(data, reader);
}

// (Bars, line numbers, which times were wall-clock ones as bytes or None) or, for the first row
// that cannot be read, (None, (line, field, what, text found), None): the package words the
// message, with the file's name. `data` is the whole text (a buffer), an iterator of its
// pieces, for a file decompressed as it is read, or the descriptor of a regular file open for
// reading, whose text begins at byte `start`.
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
        if (bound.given(10)) {
            layout.decimal = one_char(bound.get<to_object>(10).get(), "the decimal mark");
        }
        if (bound.given(11)) {
            layout.line_end = one_char(bound.get<to_object>(11).get(), "the line end");
        }
        if (layout.decimal == layout.delimiter || (layout.line_end != '\n' && layout.line_end != '\r')) {
            throw PyError::deferred(PyExc_ValueError,
                                    "the decimal mark must differ from the delimiter, and the "
                                    "line end be \\n or \\r");
        }
        const std::size_t threads =
            bound.given(12) ? std::max<std::size_t>(1, to_place(bound.get<to_object>(12).get())) : 1;
        std::vector<std::string> extra_names;
        for (Py_ssize_t i = 0; i < names_count; ++i) {
            extra_names.push_back(utf8_of(names[i]));
        }
        const std::uint64_t start = bound.given(13) ? to_place(bound.get<to_object>(13).get()) : 0;
        PyObject* data = bound.get<to_object>(0).get();
        ingest::Parsed parsed;
        try {
            if (PyLong_Check(data)) {
                const long fd = PyLong_AsLong(data);
                if (fd == -1 && PyErr_Occurred() != nullptr) {
                    throw_pending();
                }
                if (fd < 0 || fd > INT_MAX) {
                    throw PyError::deferred(PyExc_ValueError, "not a file descriptor");
                }
                parsed = parse_file(static_cast<int>(fd), start, layout, threads);
            } else {
                parsed = PyObject_CheckBuffer(data) != 0 ? parse_whole(data, layout, threads)
                                                         : parse_pieces(data, layout);
            }
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
    if (const char* fault = ingest::zone_fault(zone)) {
        throw PyError::deferred(PyExc_ValueError, fault);
    }
    return zone;
}

Ref refused_row(std::size_t row) {
    return require(Py_BuildValue("(On)", Py_None, static_cast<Py_ssize_t>(row)));
}

constexpr Signature<4> k_to_utc{"_backtest", "to_utc", {"bars", "starts", "offsets", "local"}};

// The bars with wall-clock times of the zone turned into UTC ones: all, or those marked in
// `local` (bytes, one per bar); or (None, row) for the first whose instant is beyond int64.
PyObject* to_utc(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_to_utc, args, nargs, kwnames);
        const BarSeries& series = series_arg(bound.get<to_object>(0).get());
        const ingest::ZoneTable zone =
            to_zone(bound.get<to_object>(1).get(), bound.get<to_object>(2).get());
        std::vector<Bar> rows(*series.rows);
        PyObject* local = bound.get<to_object>(3).get();
        std::optional<Bytes> marks;
        std::string_view mark;
        if (local != Py_None) {
            marks.emplace(local);
            mark = marks->text();
            if (mark.size() != rows.size()) {
                throw PyError::deferred(PyExc_ValueError, "a mark for every bar");
            }
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (mark.empty() || mark[i] != 0) {
                const std::optional<std::int64_t> utc = zone.to_utc(rows[i].timestamp);
                if (!utc) {
                    return refused_row(i);
                }
                rows[i].timestamp = *utc;
            }
        }
        return new_series(BarSeries{std::make_shared<const std::vector<Bar>>(std::move(rows)),
                                    series.extras, nullptr});
    });
}

constexpr Signature<5> k_resample{
    "_backtest", "resample", {"bars", "period", "origin", "starts", "offsets"}};

// Bars of the coarser period, or (None, row, fault) for the first row not after the one
// before ("order") or whose period cannot be told in 64-bit seconds ("range").
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
            return require(Py_BuildValue("(Ons)", Py_None, static_cast<Py_ssize_t>(failed.row),
                                         "order"));
        } catch (const ingest::OutOfRange& failed) {
            return require(Py_BuildValue("(Ons)", Py_None, static_cast<Py_ssize_t>(failed.row),
                                         "range"));
        }
    });
}

}  // namespace

PyMethodDef loading_functions[] = {
    {"parse_csv", method_entry(parse_csv), METH_FASTCALL | METH_KEYWORDS,
     "parse_csv(data, delimiter, skip_rows, times, prices, volume, extras, extra_names, finite, "
     "mark_local, decimal='.', line_end='\\n', threads=1, start=0)\n--\n\n"},
    {"check_bars", method_entry(check_bars), METH_FASTCALL | METH_KEYWORDS,
     "check_bars(bars)\n--\n\n"},
    {"to_utc", method_entry(to_utc), METH_FASTCALL | METH_KEYWORDS,
     "to_utc(bars, starts, offsets, local)\n--\n\n"},
    {"resample", method_entry(resample), METH_FASTCALL | METH_KEYWORDS,
     "resample(bars, period, origin, starts, offsets)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace cw
