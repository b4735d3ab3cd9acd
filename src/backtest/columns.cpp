// Reading bar columns through the buffer protocol: any native integer or float format, any
// stride, whole or in chunks, checked for one dimension and equal lengths before anything is
// copied, then transposed into rows a block at a time with the item type settled once per chunk.
#include "backtest/columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "binding/buffer.hpp"
#include "binding/errors.hpp"
#include "binding/signals.hpp"
#include "binding/text.hpp"

namespace cw {
namespace {

constexpr std::array<const char*, 6> k_names{"timestamp", "open", "high", "low", "close", "volume"};

[[noreturn, gnu::cold]] void refuse_non_buffer(PyObject* obj, const char* name) {
    PyError cause = PyError::fetch();
    throw PyError::deferred(
        PyExc_TypeError,
        concat({"column '", name, "' must support the buffer protocol (a numpy array, "
                "array.array or memoryview of numbers), not '",
                qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj))), "'"}))
        .caused_by(std::move(cause).into_exception());
}

// A column's buffer, refused with a message that names the column.
class Buffer {
public:
    void take(PyObject* obj, const char* name) {
        if (!held_.try_take(obj, PyBUF_RECORDS_RO)) {
            refuse_non_buffer(obj, name);
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

// Item i as the native type Out, for every format the code allows. A boolean is read as its byte
// (any byte but 0 is true): a bool object holding another byte would be undefined behaviour.
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
        case '?': return static_cast<Out>(load<unsigned char>(at) != 0);
        default: return Out{};
    }
}

// Calls `each` with a value of the native type the code names (bool as its byte), so that a
// loop inside is compiled once per type and chooses nothing per item.
template <class Each>
decltype(auto) with_type(char code, Each&& each) {
    switch (code) {
        case 'b': return each(static_cast<signed char*>(nullptr));
        case 'B': return each(static_cast<unsigned char*>(nullptr));
        case 'h': return each(static_cast<short*>(nullptr));
        case 'H': return each(static_cast<unsigned short*>(nullptr));
        case 'i': return each(static_cast<int*>(nullptr));
        case 'I': return each(static_cast<unsigned int*>(nullptr));
        case 'l': return each(static_cast<long*>(nullptr));
        case 'L': return each(static_cast<unsigned long*>(nullptr));
        case 'q': return each(static_cast<long long*>(nullptr));
        case 'Q': return each(static_cast<unsigned long long*>(nullptr));
        case 'n': return each(static_cast<Py_ssize_t*>(nullptr));
        case 'N': return each(static_cast<std::size_t*>(nullptr));
        case 'f': return each(static_cast<float*>(nullptr));
        case '?': return each(static_cast<bool*>(nullptr));
        default: return each(static_cast<double*>(nullptr));
    }
}

// One item of type T as Out; a bool is its byte, non-zero true.
template <class T, class Out>
Out item(const std::byte* at) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
        return static_cast<Out>(load<unsigned char>(at) != 0);
    } else {
        return static_cast<Out>(load<T>(at));
    }
}

bool is_float(char code) noexcept {
    return code == 'f' || code == 'd';
}

bool is_unsigned_64(char code) noexcept {
    return code == 'Q' || code == 'L' || code == 'N';
}

bool is_native_int64(char code) noexcept {
    return code == 'q' || code == 'l' || code == 'n';
}

// One stretch of a column: a buffer, or one chunk of it.
struct Part {
    const std::byte* first;
    Py_ssize_t stride;
    std::size_t rows;
    char code;
};

// A bar column: one buffer, or a tuple of them read one after another, each held for the call.
class Column {
public:
    void take(PyObject* obj, const char* name) {
        if (PyTuple_Check(obj)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(obj);
            for (Py_ssize_t i = 0; i < n; ++i) {
                add(PyTuple_GET_ITEM(obj, i), name);
            }
        } else {
            add(obj, name);
        }
    }
    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] const std::vector<Part>& parts() const noexcept { return parts_; }

private:
    void add(PyObject* obj, const char* name) {
        HeldBuffer& held = held_.emplace_back();
        if (!held.try_take(obj, PyBUF_RECORDS_RO)) {
            held_.pop_back();
            refuse_non_buffer(obj, name);
        }
        const Py_buffer& view = held.view();
        if (view.ndim != 1) {
            throw PyError::deferred(PyExc_ValueError,
                                    concat({"column '", name, "' must be one-dimensional, not of ",
                                            std::to_string(view.ndim), " dimensions"}));
        }
        const char code = item_code(view, name);
        if (code == '?') {
            throw PyError::deferred(
                PyExc_TypeError,
                concat({"column '", name, "' must hold numbers, not booleans"}));
        }
        const auto rows = static_cast<std::size_t>(view.shape[0]);
        parts_.push_back(Part{static_cast<const std::byte*>(view.buf), view.strides[0], rows, code});
        rows_ += rows;
    }

    std::deque<HeldBuffer> held_;  // a deque: a held view never moves
    std::vector<Part> parts_;
    std::size_t rows_ = 0;
};

// Where a column stands in the transposition: its part, and the row within it.
struct Cursor {
    std::size_t part = 0;
    std::size_t row = 0;
};

// Rows filled at a time: a block of bars stays in the first-level cache while each column's
// values are written into it, so that the rows reach memory once, whole.
constexpr std::size_t k_block = 512;

// `count` values of one column into one field of `out`.
template <auto Field, class T>
void put(Bar* out, std::size_t count, const std::byte* at, Py_ssize_t stride) noexcept {
    using Out = std::remove_reference_t<decltype(std::declval<Bar&>().*Field)>;
    if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i].*Field = item<T, Out>(at + i * sizeof(T));
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i, at += stride) {
        out[i].*Field = item<T, Out>(at);
    }
}

template <auto Field>
void put_part(Bar* out, std::size_t count, const Part& part, std::size_t row) {
    const std::byte* at = part.first + static_cast<Py_ssize_t>(row) * part.stride;
    with_type(part.code, [&](auto* type) {
        put<Field, std::remove_pointer_t<decltype(type)>>(out, count, at, part.stride);
    });
}

// Date-time ticks as whole seconds; true if any is missing (the smallest int64) or a fraction.
template <std::int64_t Per>
bool put_ticks(Bar* out, std::size_t count, const std::byte* at, Py_ssize_t stride,
               std::int64_t per_runtime) noexcept {
    const std::int64_t per = Per != 0 ? Per : per_runtime;
    bool bad = false;
    for (std::size_t i = 0; i < count; ++i, at += stride) {
        const auto ticks = load<std::int64_t>(at);
        const std::int64_t seconds = ticks / per;
        bad |= (ticks == std::numeric_limits<std::int64_t>::min()) | (seconds * per != ticks);
        out[i].timestamp = seconds;
    }
    return bad;
}

bool put_ticks_part(Bar* out, std::size_t count, const Part& part, std::size_t row,
                    std::int64_t per) noexcept {
    const std::byte* at = part.first + static_cast<Py_ssize_t>(row) * part.stride;
    // The usual units with a constant divisor: a multiplication, not a division, per item.
    switch (per) {
        case 1: return put_ticks<1>(out, count, at, part.stride, per);
        case 1'000: return put_ticks<1'000>(out, count, at, part.stride, per);
        case 1'000'000: return put_ticks<1'000'000>(out, count, at, part.stride, per);
        case 1'000'000'000: return put_ticks<1'000'000'000>(out, count, at, part.stride, per);
        default: return put_ticks<0>(out, count, at, part.stride, per);
    }
}

// True if an unsigned timestamp does not fit 64 signed bits.
bool too_large(std::size_t count, const Part& part, std::size_t row) noexcept {
    const std::byte* at = part.first + static_cast<Py_ssize_t>(row) * part.stride;
    std::uint64_t high = 0;
    for (std::size_t i = 0; i < count; ++i, at += part.stride) {
        high |= load<std::uint64_t>(at);
    }
    return high > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

// The first row of a faulty timestamp block, found again, for the message.
[[noreturn, gnu::cold]] void refuse_time(const Part& part, std::size_t row, std::size_t bar,
                                         std::int64_t per) {
    for (const std::byte* at = part.first + static_cast<Py_ssize_t>(row) * part.stride;;
         at += part.stride, ++bar) {
        if (per == 0) {
            if (read_as<std::uint64_t>(part.code, at) >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw PyError::deferred(
                    PyExc_OverflowError,
                    concat({"column 'timestamp': value at row ", std::to_string(bar),
                            " does not fit a 64-bit timestamp"}));
            }
            continue;
        }
        const auto ticks = load<std::int64_t>(at);
        if (ticks == std::numeric_limits<std::int64_t>::min()) {
            throw PyError::deferred(PyExc_ValueError,
                                    concat({"column 'timestamp': row ", std::to_string(bar),
                                            " is a missing time"}));
        }
        if (ticks % per != 0) {
            throw PyError::deferred(PyExc_ValueError,
                                    concat({"column 'timestamp': row ", std::to_string(bar),
                                            " is not a whole number of seconds"}));
        }
    }
}

// Asks the kernel for huge pages under a large new array: a load's cost is otherwise mostly
// the faults of its first touch, one per 4 KiB page.
void prefer_huge_pages([[maybe_unused]] const void* first, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t k_page = 4096;
    if (bytes < (std::size_t{4} << 20)) {
        return;
    }
    const auto begin = (reinterpret_cast<std::uintptr_t>(first) + k_page - 1) & ~(k_page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(first) + bytes) & ~(k_page - 1);
    // Advice only: a kernel without transparent huge pages refuses it, and nothing changes.
    static_cast<void>(madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE));
#endif
}

}  // namespace

std::vector<Bar> bars_from_columns(const std::array<PyObject*, 6>& columns,
                                   std::int64_t ticks_per_second) {
    std::array<Column, 6> taken;
    const bool has_volume = columns[5] != nullptr && columns[5] != Py_None;
    const std::size_t given = has_volume ? 6 : 5;
    for (std::size_t i = 0; i < given; ++i) {
        taken[i].take(columns[i], k_names[i]);
        if (taken[i].rows() != taken[0].rows()) {
            throw PyError::deferred(
                PyExc_ValueError,
                concat({"columns differ in length: 'timestamp' has ",
                        std::to_string(taken[0].rows()), " values, '", k_names[i], "' has ",
                        std::to_string(taken[i].rows())}));
        }
    }
    for (const Part& part : taken[0].parts()) {
        if (is_float(part.code)) {
            throw PyError::deferred(PyExc_TypeError,
                                    "column 'timestamp' must hold integers, not floats");
        }
        if (ticks_per_second > 0 && !is_native_int64(part.code)) {
            throw PyError::deferred(PyExc_TypeError,
                                    "column 'timestamp' must hold date-time ticks as int64");
        }
    }

    const std::size_t rows = taken[0].rows();
    std::vector<Bar> bars;
    bars.reserve(rows);
    prefer_huge_pages(bars.data(), rows * sizeof(Bar));
    std::array<Bar, k_block> block{};
    if (!has_volume) {
        for (Bar& bar : block) {
            bar.volume = 0.0;
        }
    }
    std::array<Cursor, 6> at{};
    SignalCheck signals;
    while (bars.size() < rows) {
        // The next stretch that lies within one part of every column, at most a block.
        std::size_t count = std::min(k_block, rows - bars.size());
        for (std::size_t c = 0; c < given; ++c) {
            const std::vector<Part>& parts = taken[c].parts();
            while (at[c].row == parts[at[c].part].rows) {  // empty chunks, ended chunks
                ++at[c].part;
                at[c].row = 0;
            }
            count = std::min(count, parts[at[c].part].rows - at[c].row);
        }
        const Part& times = taken[0].parts()[at[0].part];
        if (ticks_per_second > 0) {
            if (put_ticks_part(block.data(), count, times, at[0].row, ticks_per_second)) {
                refuse_time(times, at[0].row, bars.size(), ticks_per_second);
            }
        } else {
            if (is_unsigned_64(times.code) && too_large(count, times, at[0].row)) {
                refuse_time(times, at[0].row, bars.size(), 0);
            }
            put_part<&Bar::timestamp>(block.data(), count, times, at[0].row);
        }
        put_part<&Bar::open>(block.data(), count, taken[1].parts()[at[1].part], at[1].row);
        put_part<&Bar::high>(block.data(), count, taken[2].parts()[at[2].part], at[2].row);
        put_part<&Bar::low>(block.data(), count, taken[3].parts()[at[3].part], at[3].row);
        put_part<&Bar::close>(block.data(), count, taken[4].parts()[at[4].part], at[4].row);
        if (has_volume) {
            put_part<&Bar::volume>(block.data(), count, taken[5].parts()[at[5].part], at[5].row);
        }
        bars.insert(bars.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(count));
        for (std::size_t c = 0; c < given; ++c) {
            at[c].row += count;
        }
        signals.after();
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
    std::vector<double> values(rows);
    const auto* at = static_cast<const std::byte*>(view.buf);
    with_type(code, [&](auto* type) {
        using T = std::remove_pointer_t<decltype(type)>;
        for (std::size_t i = 0; i < rows; ++i) {
            values[i] = item<T, double>(at + static_cast<Py_ssize_t>(i) * view.strides[0]);
        }
    });
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
    const Py_ssize_t stride = view.strides[0];
    const auto* at = static_cast<const std::byte*>(view.buf) +
                     static_cast<Py_ssize_t>(set) * set_stride_ +
                     static_cast<Py_ssize_t>(first) * stride;
    with_type(code_, [&](auto* type) {
        using T = std::remove_pointer_t<decltype(type)>;
        for (std::size_t i = 0; i < count; ++i, at += stride) {
            out[i] = item<T, double>(at);
        }
    });
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
            return with_type(code_, [&](auto* type) -> std::size_t {
                using T = std::remove_pointer_t<decltype(type)>;
                for (std::size_t i = 0; i < count; ++i, at += stride) {
                    const auto v = item<T, double>(at);
                    if (std::isnan(v)) {
                        return i;
                    }
                    out[i] = static_cast<std::int8_t>((v > 0.0) - (v < 0.0));
                }
                return count;
            });
    }
}

const std::int8_t* NumberTable::signs_in_place(std::size_t set) const noexcept {
    const Py_buffer& view = held_.view();
    if ((code_ != 'b' && code_ != '?') || view.strides[0] != 1) {
        return nullptr;
    }
    const auto* first = static_cast<const std::int8_t*>(view.buf) +
                        static_cast<Py_ssize_t>(set) * set_stride_;
    // A boolean's byte is read as true when it is not 0: as a signed byte, one over 127 would be
    // a negative signal.
    if (code_ == '?' &&
        std::any_of(first, first + rows_, [](std::int8_t b) { return b < 0 || b > 1; })) {
        return nullptr;
    }
    return first;
}

}  // namespace cw
