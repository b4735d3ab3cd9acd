// Ticks: columns viewed without a copy, slices that share the store, bars of the bid and the ask;
// and the reading of tick text in pieces, each read without the interpreter lock.
#include "backtest/ticks_type.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "account/journal_type.hpp"
#include "backtest/bars_type.hpp"
#include "binding/buffer.hpp"
#include "binding/params.hpp"
#include "binding/sequence.hpp"
#include "binding/signals.hpp"
#include "binding/text.hpp"
#include "backtest/unlocked_reading.hpp"
#include "binding/unlocked.hpp"
#include "ingest/tick_bars.hpp"
#include "ingest/tick_reader.hpp"
#include "ingest/times.hpp"

namespace cw {

const TickSeries& ticks_of(PyObject* obj) {
    return receiver<TickSeries>(obj, ticks_class).record;
}

namespace {

Ref new_ticks(TickSeries series) {
    return new_instance(ticks_class.type(), std::move(series));
}

template <class Value>
Column column_over(const TickSeries& series, const std::vector<Value>& values, ValueKind kind) {
    static const Value none{};
    const Value* first = values.empty() ? &none : values.data() + series.begin;
    return Column{series.store, reinterpret_cast<const std::byte*>(first),
                  static_cast<std::ptrdiff_t>(values.empty() ? 0 : series.size()),
                  static_cast<std::ptrdiff_t>(sizeof(Value)), kind};
}

PyObject* ticks_time(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        const TickSeries& series = ticks_of(self);
        return new_column(column_over(series, series.store->time, ValueKind::i64));
    });
}

template <std::vector<double> TickStore::*Field>
PyObject* ticks_price(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        const TickSeries& series = ticks_of(self);
        return new_column(column_over(series, (*series.store).*Field, ValueKind::f64));
    });
}

template <std::vector<float> TickStore::*Field>
PyObject* ticks_volume(PyObject* self, void* /*closure*/) {
    return boundary([self]() -> Ref {
        const TickSeries& series = ticks_of(self);
        const std::vector<float>& values = (*series.store).*Field;
        if (values.empty()) {
            return none();
        }
        return new_column(column_over(series, values, ValueKind::f32));
    });
}

PyObject* ticks_per_second(PyObject* self, void* /*closure*/) {
    return boundary([self] { return to_py(ticks_of(self).per_second); });
}

Py_ssize_t ticks_length(PyObject* self) {
    try {
        return static_cast<Py_ssize_t>(ticks_of(self).size());
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

// (time, bid, ask) of tick i.
Ref tick_at(const TickSeries& series, Py_ssize_t i) {
    if (i < 0 || static_cast<std::size_t>(i) >= series.size()) {
        throw PyError::deferred(PyExc_IndexError, "tick index out of range");
    }
    const std::size_t at = series.begin + static_cast<std::size_t>(i);
    const TickStore& store = *series.store;
    Ref time = to_py(store.time[at]);
    Ref bid = to_py(store.bid[at]);
    Ref ask = to_py(store.ask[at]);
    return require(PyTuple_Pack(3, time.get(), bid.get(), ask.get()));
}

// ticks[i] as (time, bid, ask); ticks[a:b] as Ticks sharing the store.
PyObject* ticks_subscript(PyObject* self, PyObject* key) {
    return boundary([&]() -> Ref {
        const TickSeries& series = ticks_of(self);
        const auto n = static_cast<Py_ssize_t>(series.size());
        if (PySlice_Check(key)) {
            Py_ssize_t start = 0;
            Py_ssize_t stop = 0;
            Py_ssize_t step = 0;
            if (PySlice_Unpack(key, &start, &stop, &step) < 0) {
                throw_pending();
            }
            if (step != 1) {
                throw PyError::deferred(PyExc_ValueError,
                                        "ticks are sliced with step 1 only: a slice is a view");
            }
            PySlice_AdjustIndices(n, &start, &stop, step);
            stop = std::max(start, stop);
            TickSeries cut = series;
            cut.begin = series.begin + static_cast<std::size_t>(start);
            cut.end = series.begin + static_cast<std::size_t>(stop);
            return new_ticks(std::move(cut));
        }
        const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred() != nullptr) {
            throw_pending();
        }
        return tick_at(series, i < 0 ? i + n : i);
    });
}

PyObject* ticks_item(PyObject* self, Py_ssize_t i) {
    return boundary([&] { return tick_at(ticks_of(self), i); });
}

std::string unit_name(std::int64_t per_second) {
    switch (per_second) {
        case 1: return "s";
        case 1000: return "ms";
        case 1'000'000: return "us";
        default: return "ns";
    }
}

// A time in the series' unit as "YYYY-MM-DD HH:MM:SS" and its fraction.
std::string shown_time(std::int64_t time, std::int64_t per_second) {
    std::int64_t seconds = time / per_second;
    std::int64_t rest = time % per_second;
    if (rest < 0) {
        rest += per_second;
        seconds -= 1;
    }
    std::string text = ingest::format_time(seconds);
    if (per_second > 1) {
        std::string digits = std::to_string(rest + per_second).substr(1);
        text += "." + digits;
    }
    return text;
}

PyObject* ticks_repr(PyObject* self) {
    return boundary([self] {
        const TickSeries& series = ticks_of(self);
        const TickStore& store = *series.store;
        std::string text = concat({"Ticks(", std::to_string(series.size()),
                                   series.size() == 1 ? " tick" : " ticks"});
        if (series.size() != 0) {
            text += concat({", ", shown_time(store.time[series.begin], series.per_second), " to ",
                            shown_time(store.time[series.end - 1], series.per_second)});
        }
        text += concat({", time in ", unit_name(series.per_second)});
        if (!store.bid_volume.empty() || !store.ask_volume.empty()) {
            text += ", with volumes";
        }
        return to_py(text + ")");
    });
}

constexpr Signature<2> k_bars{"Ticks", "_bars", {"period", "origin"}};

// Bars of the bid with the ask's as extras (ask_open ... ask_close, spread); the volume is the
// number of ticks. None for a tick whose period cannot be told (its index in a tuple).
PyObject* ticks_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&]() -> Ref {
        const auto bound = bind(k_bars, args, nargs, kwnames);
        const std::int64_t period = bound.get<to_i64>(0);
        const std::int64_t origin = bound.get<to_i64>(1);
        if (period <= 0) {
            throw PyError::deferred(PyExc_ValueError, "the period must be positive");
        }
        const TickSeries& series = ticks_of(self);
        ingest::TickBars made;
        std::size_t fault = 0;
        bool failed = false;
        {
            WithoutInterpreterLock unlocked;
            try {
                made = ingest::tick_bars(series, period, origin);
            } catch (const ingest::TickOutOfRange& out) {
                failed = true;
                fault = out.tick;
            }
        }
        if (failed) {
            Ref row = to_py(static_cast<std::int64_t>(fault));
            return require(PyTuple_Pack(1, row.get()));
        }
        const auto share = [](std::vector<double>& values) {
            return std::make_shared<const std::vector<double>>(std::move(values));
        };
        std::vector<ExtraColumn> extras;
        extras.push_back(ExtraColumn{"ask_open", share(made.ask_open)});
        extras.push_back(ExtraColumn{"ask_high", share(made.ask_high)});
        extras.push_back(ExtraColumn{"ask_low", share(made.ask_low)});
        extras.push_back(ExtraColumn{"ask_close", share(made.ask_close)});
        extras.push_back(ExtraColumn{"spread", share(made.spread)});
        return new_series(std::move(made.bid), std::move(extras));
    });
}

constexpr Signature<2> k_span{"Ticks", "_span", {"start", "end"}};

// The ticks at times start <= t < end, in the series' unit.
PyObject* ticks_span(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_span, args, nargs, kwnames);
        const std::int64_t start = bound.get<to_i64>(0);
        const std::int64_t end = bound.get<to_i64>(1);
        const TickSeries& series = ticks_of(self);
        const std::int64_t* times = series.store->time.data();
        const std::int64_t* first = times + series.begin;
        const std::int64_t* last = times + series.end;
        const std::int64_t* from = std::lower_bound(first, last, start);
        const std::int64_t* to = std::max(from, std::lower_bound(first, last, end));
        TickSeries cut = series;
        cut.begin = static_cast<std::size_t>(from - times);
        cut.end = static_cast<std::size_t>(to - times);
        return new_ticks(std::move(cut));
    });
}

// --- reading ---


std::ptrdiff_t optional_field(PyObject* obj) {
    return obj == Py_None ? -1 : static_cast<std::ptrdiff_t>(to_place(obj));
}

bool valid_unit(std::int64_t per_second) noexcept {
    return per_second == 1 || per_second == 1000 || per_second == 1'000'000 ||
           per_second == 1'000'000'000;
}



constexpr Signature<13> k_parse{
    "_backtest",
    "parse_ticks",
    {"pieces", "delimiter", "skip_rows", "time", "clock", "epoch_per_second", "shift", "bid",
     "ask", "bid_volume", "ask_volume", "per_second", "expected"}};

constexpr const char* k_clocks[] = {"compact", "dotted", "packed", "iso", "epoch"};
constexpr const char* k_faults[] = {"fields",    "number", "time",    "time_range", "time_fine",
                                    "price",     "volume", "crossed", "order",      "long_row"};

Ref failure(const ingest::TickFailure& failed) {
    Ref found = require(PyUnicode_DecodeUTF8(failed.found.data(),
                                             static_cast<Py_ssize_t>(failed.found.size()),
                                             "backslashreplace"));
    return require(Py_BuildValue("(O(LnsO))", Py_None, static_cast<long long>(failed.line),
                                 static_cast<Py_ssize_t>(failed.column),
                                 k_faults[static_cast<std::size_t>(failed.fault)], found.get()));
}

// (Ticks, None), or (None, (line, field, fault, text found)) for the first row refused: the
// package words the message with the file's name. `pieces` is an iterator of bytes-like pieces
// of the text, each read without the interpreter lock.
PyObject* parse_ticks(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return boundary([&]() -> Ref {
        const auto bound = bind(k_parse, args, nargs, kwnames);
        ingest::TickLayout layout;
        const std::string delimiter = utf8_of(bound.get<to_object>(1).get());
        if (delimiter.size() != 1 || delimiter[0] == '\n') {
            throw PyError::deferred(PyExc_ValueError, "the delimiter must be one character");
        }
        layout.delimiter = delimiter[0];
        layout.skip_rows = to_place(bound.get<to_object>(2).get());
        layout.time = to_place(bound.get<to_object>(3).get());
        const std::string clock = utf8_of(bound.get<to_object>(4).get());
        const auto* known = std::find_if(std::begin(k_clocks), std::end(k_clocks),
                                         [&](const char* name) { return clock == name; });
        if (known == std::end(k_clocks)) {
            throw PyError::deferred(PyExc_ValueError, concat({"unknown clock ", clock}));
        }
        layout.clock = static_cast<ingest::TickClock>(known - std::begin(k_clocks));
        layout.epoch_per_second = bound.get<to_i64>(5);
        layout.shift = bound.get<to_i64>(6);
        layout.bid = to_place(bound.get<to_object>(7).get());
        layout.ask = to_place(bound.get<to_object>(8).get());
        layout.bid_volume = optional_field(bound.get<to_object>(9).get());
        layout.ask_volume = optional_field(bound.get<to_object>(10).get());
        layout.per_second = bound.get<to_i64>(11);
        const std::size_t expected = to_place(bound.get<to_object>(12).get());
        if (!valid_unit(layout.per_second) || !valid_unit(layout.epoch_per_second)) {
            throw PyError::deferred(PyExc_ValueError,
                                    "a time unit is 1, 10^3, 10^6 or 10^9 a second");
        }
        if (layout.shift < -86400 * 2 || layout.shift > 86400 * 2) {
            throw PyError::deferred(PyExc_ValueError, "the shift must be under two days");
        }
        std::shared_ptr<const TickStore> store;
        try {
            ingest::TickReader reader(layout, expected);
            store = read_pieces(bound.get<to_object>(0).get(), reader);
        } catch (const ingest::TickFailure& failed) {
            return failure(failed);
        }
        const std::size_t n = store->time.size();
        Ref ticks = new_ticks(TickSeries{std::move(store), 0, n, layout.per_second});
        return require(PyTuple_Pack(2, ticks.get(), Py_None));
    });
}

// A one-dimensional buffer of numbers of one of the formats `codes`, held for the call.
class NumberColumn {
public:
    NumberColumn(PyObject* obj, std::string_view name) {
        held_.take(obj, PyBUF_FORMAT | PyBUF_ND | PyBUF_C_CONTIGUOUS);
        const Py_buffer& view = held_.view();
        std::string_view format = view.format == nullptr ? "B" : view.format;
        while (!format.empty() && std::strchr("@=<", format.front()) != nullptr) {
            format.remove_prefix(1);
        }
        if (view.ndim != 1 || format.size() != 1) {
            throw PyError::deferred(PyExc_TypeError,
                                    concat({name, " must be a one-dimensional buffer of numbers"}));
        }
        code_ = format[0];
        size_ = static_cast<std::size_t>(view.shape[0]);
        const bool integer = (code_ == 'q' || code_ == 'l') && view.itemsize == 8;
        const bool real = code_ == 'd' || code_ == 'f';
        if (!integer && !real) {
            throw PyError::deferred(
                PyExc_TypeError,
                concat({name, " must hold int64 or floats, not format '", format, "'"}));
        }
    }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool integer() const noexcept { return code_ == 'q' || code_ == 'l'; }
    template <class Out>
    void read(std::vector<Out>& out) const {
        const void* buf = held_.view().buf;
        out.resize(size_);
        for (std::size_t i = 0; i < size_; ++i) {
            switch (code_) {
                case 'd': out[i] = static_cast<Out>(static_cast<const double*>(buf)[i]); break;
                case 'f': out[i] = static_cast<Out>(static_cast<const float*>(buf)[i]); break;
                default: out[i] = static_cast<Out>(static_cast<const std::int64_t*>(buf)[i]);
            }
        }
    }

private:
    HeldBuffer held_;
    char code_ = 'd';
    std::size_t size_ = 0;
};

constexpr Signature<6> k_from_columns{
    "_backtest",
    "ticks_from_columns",
    {"time", "bid", "ask", "bid_volume", "ask_volume", "per_second"}};

[[gnu::cold]] PyError column_fault(std::size_t row, std::string_view what) {
    return PyError::deferred(PyExc_ValueError,
                             concat({"tick ", std::to_string(row), ": ", what}));
}

// Ticks from columns (int64 times in the unit, float prices and volumes), copied and checked as
// a file's are: prices finite and positive, the ask at or above the bid, times ascending.
PyObject* ticks_from_columns(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_from_columns, args, nargs, kwnames);
        const std::int64_t per_second = bound.get<to_i64>(5);
        if (!valid_unit(per_second)) {
            throw PyError::deferred(PyExc_ValueError, "per_second is 1, 10^3, 10^6 or 10^9");
        }
        const NumberColumn time(bound.get<to_object>(0).get(), "time");
        if (!time.integer()) {
            throw PyError::deferred(PyExc_TypeError, "time must hold int64 values");
        }
        const NumberColumn bid(bound.get<to_object>(1).get(), "bid");
        const NumberColumn ask(bound.get<to_object>(2).get(), "ask");
        const std::size_t n = time.size();
        auto store = std::make_shared<TickStore>();
        const auto volume = [&](std::size_t arg, std::string_view name, std::vector<float>& out) {
            PyObject* obj = bound.get<to_object>(arg).get();
            if (obj != Py_None) {
                const NumberColumn column(obj, name);
                if (column.size() != n) {
                    throw PyError::deferred(PyExc_ValueError,
                                            concat({name, " must be as long as time"}));
                }
                column.read(out);
            }
        };
        if (bid.size() != n || ask.size() != n) {
            throw PyError::deferred(PyExc_ValueError, "bid and ask must be as long as time");
        }
        time.read(store->time);
        bid.read(store->bid);
        ask.read(store->ask);
        volume(3, "bid_volume", store->bid_volume);
        volume(4, "ask_volume", store->ask_volume);
        constexpr double k_inf = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < n; ++i) {
            const double b = store->bid[i];
            const double a = store->ask[i];
            if (!(b > 0.0 && b < k_inf && a > 0.0 && a < k_inf)) {
                throw column_fault(i, "a bid or ask not finite and positive");
            }
            if (a < b) {
                throw column_fault(i, "the ask is below the bid");
            }
            if (i > 0 && store->time[i] < store->time[i - 1]) {
                throw column_fault(i, "its time is before the previous tick's");
            }
        }
        for (const std::vector<float>* volumes : {&store->bid_volume, &store->ask_volume}) {
            for (std::size_t i = 0; i < volumes->size(); ++i) {
                const float v = (*volumes)[i];
                if (!(v >= 0.0F && v < std::numeric_limits<float>::infinity())) {
                    throw column_fault(i, "a volume NaN, infinite or negative");
                }
            }
        }
        return new_ticks(TickSeries{std::move(store), 0, n, per_second});
    });
}

PyGetSetDef g_getset[] = {
    {"time", ticks_time, nullptr, "the times, int64 in the series' unit", nullptr},
    {"bid", ticks_price<&TickStore::bid>, nullptr, "", nullptr},
    {"ask", ticks_price<&TickStore::ask>, nullptr, "", nullptr},
    {"bid_volume", ticks_volume<&TickStore::bid_volume>, nullptr,
     "float32 volumes, or None when the source had none", nullptr},
    {"ask_volume", ticks_volume<&TickStore::ask_volume>, nullptr,
     "float32 volumes, or None when the source had none", nullptr},
    {"per_second", ticks_per_second, nullptr, "time units a second: 1, 10^3, 10^6 or 10^9",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"_bars", method_entry(ticks_bars), METH_FASTCALL | METH_KEYWORDS,
     "_bars($self, period, origin)\n--\n\n"},
    {"_span", method_entry(ticks_span), METH_FASTCALL | METH_KEYWORDS,
     "_span($self, start, end)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(ticks_length)},
    {Py_sq_item, reinterpret_cast<void*>(ticks_item)},
    {Py_tp_iter, reinterpret_cast<void*>(sequence_iter)},
    {Py_mp_length, reinterpret_cast<void*>(ticks_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(ticks_subscript)},
    {0, nullptr},
};

const ClassSpec k_spec{
    "candlewright.Ticks",
    "Ticks as loaded by read_ticks: columns time, bid, ask and volumes, viewed without a copy. "
    "A slice ticks[a:b] is a view of the same ticks.",
    instance_size<TickSeries>(),
    dealloc_instance<TickSeries>,
    nullptr,
    ticks_repr,
    g_methods,
    g_getset,
    g_slots,
};

}  // namespace

ClassCell ticks_class{k_spec};

PyMethodDef ticks_functions[] = {
    {"parse_ticks", method_entry(parse_ticks), METH_FASTCALL | METH_KEYWORDS,
     "parse_ticks(pieces, delimiter, skip_rows, time, clock, epoch_per_second, shift, bid, ask, "
     "bid_volume, ask_volume, per_second, expected)\n--\n\n"},
    {"ticks_from_columns", method_entry(ticks_from_columns), METH_FASTCALL | METH_KEYWORDS,
     "ticks_from_columns(time, bid, ask, bid_volume, ask_volume, per_second)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace cw
