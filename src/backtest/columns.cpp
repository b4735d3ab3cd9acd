// Reading bar columns through the buffer protocol: any native integer or float format, any
// stride, checked for one dimension and equal lengths before anything is copied.
#include "backtest/columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "binding/buffer.hpp"
#include "binding/errors.hpp"
#include "binding/signals.hpp"
#include "binding/text.hpp"

namespace cw {
namespace {

constexpr std::array<const char*, 6> k_names{"timestamp", "open", "high", "low", "close", "volume"};

// A column's buffer, refused with a message that names the column.
class Buffer {
public:
    void take(PyObject* obj, const char* name) {
        if (!held_.try_take(obj, PyBUF_RECORDS_RO)) {
            PyError cause = PyError::fetch();
            throw PyError::deferred(
                PyExc_TypeError,
                concat({"column '", name, "' must support the buffer protocol (a numpy array, "
                        "array.array or memoryview of numbers), not '",
                        qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj))), "'"}))
                .caused_by(std::move(cause).into_exception());
        }
    }
    const Py_buffer& view() const noexcept { return held_.view(); }

private:
    HeldBuffer held_;
};

// The struct-module code of a buffer's items, native byte order only.
char item_code(const Py_buffer& view, const char* name) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    const std::string_view code(format);
    if (code.size() == 1 && std::string_view("bBhHiIlLqQnNfd?").find(code[0]) !=
                                std::string_view::npos) {
        return code[0];
    }
    throw PyError::deferred(PyExc_TypeError,
                            concat({"column '", name, "' must hold numbers, not items of format '",
                                    view.format != nullptr ? view.format : "B", "'"}));
}

template <class T>
T load(const std::byte* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof(T));  // a strided buffer need not be aligned
    return value;
}

// Item i as the native type Out, for every format the code allows.
template <class Out>
Out read_as(char code, const std::byte* at) noexcept {
    switch (code) {
        case 'b': return static_cast<Out>(load<signed char>(at));
        case 'B': return static_cast<Out>(load<unsigned char>(at));
        case 'h': return static_cast<Out>(load<short>(at));
        case 'H': return static_cast<Out>(load<unsigned short>(at));
        case 'i': return static_cast<Out>(load<int>(at));
        case 'I': return static_cast<Out>(load<unsigned int>(at));
        case 'l': return static_cast<Out>(load<long>(at));
        case 'L': return static_cast<Out>(load<unsigned long>(at));
        case 'q': return static_cast<Out>(load<long long>(at));
        case 'Q': return static_cast<Out>(load<unsigned long long>(at));
        case 'n': return static_cast<Out>(load<Py_ssize_t>(at));
        case 'N': return static_cast<Out>(load<std::size_t>(at));
        case 'f': return static_cast<Out>(load<float>(at));
        case 'd': return static_cast<Out>(load<double>(at));
        case '?': return static_cast<Out>(load<bool>(at));
        default: return Out{};
    }
}

bool is_float(char code) noexcept {
    return code == 'f' || code == 'd';
}

// Timestamps are whole numbers; an unsigned one must fit in 64 signed bits.
void check_times(const Py_buffer& view, char code, std::size_t count) {
    if (is_float(code)) {
        throw PyError::deferred(PyExc_TypeError,
                                "column 'timestamp' must hold integers, not floats");
    }
    if (code != 'Q' && code != 'L' && code != 'N') {
        return;
    }
    const auto* first = static_cast<const std::byte*>(view.buf);
    for (std::size_t i = 0; i < count; ++i) {
        if (read_as<std::uint64_t>(code, first + static_cast<Py_ssize_t>(i) * view.strides[0]) >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw PyError::deferred(PyExc_OverflowError,
                                    concat({"column 'timestamp': value at row ", std::to_string(i),
                                            " does not fit a 64-bit timestamp"}));
        }
    }
}

// Fills one field of every bar from the column.
template <class Field>
void fill(std::vector<Bar>& bars, Field Bar::*field, const Py_buffer& view, char code) {
    const auto* at = static_cast<const std::byte*>(view.buf);
    const Py_ssize_t stride = view.strides[0];
    SignalCheck signals;
    if constexpr (std::is_same_v<Field, double>) {
        if (code == 'd') {
            // The common case, numpy float64, without the switch.
            for (Bar& bar : bars) {
                bar.*field = load<double>(at);
                at += stride;
                signals.after();
            }
            return;
        }
    }
    for (Bar& bar : bars) {
        bar.*field = read_as<Field>(code, at);
        at += stride;
        signals.after();
    }
}

bool is_native_int64(char code) noexcept {
    return code == 'q' || code == 'l' || code == 'n';
}

// The common case (numpy int64 times, float64 prices): each bar written once, in one pass.
std::vector<Bar> read_rows(const std::array<Buffer, 6>& buffers, bool has_volume,
                           std::size_t rows) {
    std::array<const std::byte*, 6> at{};
    std::array<Py_ssize_t, 6> stride{};
    for (std::size_t c = 0; c < (has_volume ? 6U : 5U); ++c) {
        at[c] = static_cast<const std::byte*>(buffers[c].view().buf);
        stride[c] = buffers[c].view().strides[0];
    }
    std::vector<Bar> bars;
    bars.reserve(rows);
    SignalCheck signals;
    for (std::size_t i = 0; i < rows; ++i) {
        const double volume = has_volume ? load<double>(at[5]) : 0.0;
        bars.push_back(Bar{load<std::int64_t>(at[0]), load<double>(at[1]), load<double>(at[2]),
                           load<double>(at[3]), load<double>(at[4]), volume});
        for (std::size_t c = 0; c < 6; ++c) {
            at[c] += stride[c];
        }
        signals.after();
    }
    return bars;
}

}  // namespace

std::vector<Bar> bars_from_columns(const std::array<PyObject*, 6>& columns) {
    std::array<Buffer, 6> buffers;
    std::array<char, 6> codes{};
    const bool has_volume = columns[5] != nullptr && columns[5] != Py_None;
    const std::size_t given = has_volume ? 6 : 5;
    Py_ssize_t count = -1;
    for (std::size_t i = 0; i < given; ++i) {
        buffers[i].take(columns[i], k_names[i]);
        const Py_buffer& view = buffers[i].view();
        if (view.ndim != 1) {
            throw PyError::deferred(PyExc_ValueError,
                                    concat({"column '", k_names[i], "' must be one-dimensional, "
                                            "not of ", std::to_string(view.ndim), " dimensions"}));
        }
        codes[i] = item_code(view, k_names[i]);
        if (count < 0) {
            count = view.shape[0];
        } else if (view.shape[0] != count) {
            throw PyError::deferred(
                PyExc_ValueError,
                concat({"columns differ in length: 'timestamp' has ", std::to_string(count),
                        " values, '", k_names[i], "' has ", std::to_string(view.shape[0])}));
        }
    }
    const auto rows = static_cast<std::size_t>(count);
    check_times(buffers[0].view(), codes[0], rows);

    if (is_native_int64(codes[0]) &&
        std::all_of(codes.begin() + 1, codes.begin() + static_cast<std::ptrdiff_t>(given),
                    [](char code) { return code == 'd'; })) {
        return read_rows(buffers, has_volume, rows);
    }
    std::vector<Bar> bars(rows, Bar{0, 0.0, 0.0, 0.0, 0.0, 0.0});
    fill(bars, &Bar::timestamp, buffers[0].view(), codes[0]);
    fill(bars, &Bar::open, buffers[1].view(), codes[1]);
    fill(bars, &Bar::high, buffers[2].view(), codes[2]);
    fill(bars, &Bar::low, buffers[3].view(), codes[3]);
    fill(bars, &Bar::close, buffers[4].view(), codes[4]);
    if (has_volume) {
        fill(bars, &Bar::volume, buffers[5].view(), codes[5]);
    }
    return bars;
}

std::vector<double> doubles_from_column(PyObject* column, const std::string& name,
                                        std::size_t rows) {
    Buffer buffer;
    buffer.take(column, name.c_str());
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || static_cast<std::size_t>(view.shape[0]) != rows) {
        throw PyError::deferred(
            PyExc_ValueError,
            concat({"column '", name, "' must be one-dimensional with ", std::to_string(rows),
                    " values, like the others"}));
    }
    const char code = item_code(view, name.c_str());
    std::vector<double> values;
    values.reserve(rows);
    const auto* at = static_cast<const std::byte*>(view.buf);
    for (std::size_t i = 0; i < rows; ++i) {
        values.push_back(read_as<double>(code, at));
        at += view.strides[0];
    }
    return values;
}

NumberTable::NumberTable(PyObject* obj, std::string name, std::size_t rows)
    : name_(std::move(name)), rows_(rows) {
    if (!held_.try_take(obj, PyBUF_RECORDS_RO)) {
        PyError cause = PyError::fetch();
        throw PyError::deferred(
            PyExc_TypeError,
            concat({name_, " must be a number or an array of numbers with the buffer protocol "
                           "(numpy, array.array), not '",
                    qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj))), "'"}))
            .caused_by(std::move(cause).into_exception());
    }
    const Py_buffer& view = held_.view();
    if ((view.ndim != 1 && view.ndim != 2) || static_cast<std::size_t>(view.shape[0]) != rows ||
        (view.ndim == 2 && view.shape[1] < 1)) {
        std::string shape;
        for (int d = 0; d < view.ndim; ++d) {
            shape += (d != 0 ? ", " : "") + std::to_string(view.shape[d]);
        }
        throw PyError::deferred(
            PyExc_ValueError,
            concat({name_, " must have a value per bar (", std::to_string(rows),
                    "), or a row per bar with a value per set; got shape (", shape,
                    view.ndim == 1 ? ",)" : ")"}));
    }
    code_ = item_code(view, name_.c_str());
    if (view.ndim == 2) {
        sets_ = static_cast<std::size_t>(view.shape[1]);
        set_stride_ = view.strides[1];
    }
}

void NumberTable::read(std::size_t set, std::size_t first, std::size_t count,
                       double* out) const {
    const Py_buffer& view = held_.view();
    const auto* at = static_cast<const std::byte*>(view.buf) +
                     static_cast<Py_ssize_t>(set) * set_stride_ +
                     static_cast<Py_ssize_t>(first) * view.strides[0];
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = read_as<double>(code_, at);
        at += view.strides[0];
    }
}

std::size_t NumberTable::read_signs(std::size_t set, std::size_t first, std::size_t count,
                                    std::int8_t* out) const {
    const Py_buffer& view = held_.view();
    const Py_ssize_t stride = view.strides[0];
    const auto* at = static_cast<const std::byte*>(view.buf) +
                     static_cast<Py_ssize_t>(set) * set_stride_ +
                     static_cast<Py_ssize_t>(first) * stride;
    auto each = [&](auto sign) {
        for (std::size_t i = 0; i < count; ++i, at += stride) {
            out[i] = sign(at);
        }
    };
    // Booleans and bytes, the usual signals, without a detour through doubles. A boolean is read
    // as its byte: any non-zero byte is true, and no byte is an invalid bool.
    switch (code_) {
        case '?':
        case 'B':
            each([](const std::byte* p) {
                return static_cast<std::int8_t>(load<unsigned char>(p) != 0);
            });
            return count;
        case 'b':
            each([](const std::byte* p) {
                const auto v = load<signed char>(p);
                return static_cast<std::int8_t>((v > 0) - (v < 0));
            });
            return count;
        default:
            for (std::size_t i = 0; i < count; ++i, at += stride) {
                const double v = read_as<double>(code_, at);
                if (std::isnan(v)) {
                    return i;
                }
                out[i] = static_cast<std::int8_t>((v > 0.0) - (v < 0.0));
            }
            return count;
    }
}

}  // namespace cw
