// Binding of the indicators: columns taken through the buffer protocol where they lie (any stride,
// no copy), outputs written into arrays the caller allocated, the arithmetic run unlocked.
#include "ta/ta_type.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/boundary.hpp"
#include "binding/buffer.hpp"
#include "binding/classes.hpp"
#include "binding/params.hpp"
#include "binding/text.hpp"
#include "binding/unlocked.hpp"
#include "ta/indicators.hpp"

namespace cw {
namespace {

// The struct-module code of a one-dimensional buffer's items, byte order marks of native order
// skipped; 0 for a buffer of another shape.
char item_code(const Py_buffer& view) noexcept {
    if (view.ndim != 1 || view.format == nullptr) {
        return 0;
    }
    const char* format = view.format;
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    return (format[0] != 0 && format[1] == 0) ? format[0] : 0;
}

[[noreturn, gnu::cold]] void refuse_buffer(std::string_view name, std::string_view wanted) {
    throw PyError::deferred(PyExc_TypeError,
                            concat({"'", name, "' must be a one-dimensional buffer of ", wanted}));
}

[[noreturn, gnu::cold]] void refuse_length(std::string_view name, Py_ssize_t got,
                                           std::size_t wanted) {
    throw PyError::deferred(PyExc_ValueError,
                            concat({"'", name, "' holds ", std::to_string(got), " values, not ",
                                    std::to_string(wanted)}));
}

// A column of doubles, read where it lies.
class Input {
public:
    ta::Values take(PyObject* obj, std::string_view name) {
        if (!held_.try_take(obj, PyBUF_RECORDS_RO)) {
            PyErr_Clear();
            refuse_buffer(name, "float64 values");
        }
        const Py_buffer& view = held_.view();
        if (item_code(view) != 'd' || view.itemsize != static_cast<Py_ssize_t>(sizeof(double))) {
            refuse_buffer(name, "float64 values");
        }
        return ta::Values{static_cast<const std::byte*>(view.buf), view.strides[0],
                          static_cast<std::size_t>(view.shape[0])};
    }

private:
    HeldBuffer held_;
};

// An array to write `size` values of type T (format `code`) into, contiguous.
template <class T, char Code>
class Output {
public:
    T* take(PyObject* obj, std::string_view name, std::size_t size) {
        if (!held_.try_take(obj, PyBUF_CONTIG | PyBUF_FORMAT)) {
            PyErr_Clear();
            refuse_buffer(name, "writable contiguous values");
        }
        const Py_buffer& view = held_.view();
        if (item_code(view) != Code || view.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
            refuse_buffer(name, Code == 'd' ? "writable float64 values" : "writable booleans");
        }
        if (view.shape[0] != static_cast<Py_ssize_t>(size)) {
            refuse_length(name, view.shape[0], size);
        }
        return static_cast<T*>(view.buf);
    }

private:
    HeldBuffer held_;
};

using Doubles = Output<double, 'd'>;
using Flags = Output<std::uint8_t, '?'>;

template <std::size_t N>
PyObject* arg(const Args<N>& bound, std::size_t i) {
    return bound.template get<to_object>(i).get();
}

// A whole-number parameter of at least `least`.
template <std::size_t N>
std::size_t count_arg(const Args<N>& bound, std::size_t i, std::int64_t least) {
    const std::int64_t value = bound.template get<to_i64>(i);
    if (value < least) {
        throw PyError::deferred(PyExc_ValueError,
                                concat({"'", bound.name(i), "' must be at least ",
                                        std::to_string(least), ", not ", std::to_string(value)}));
    }
    return static_cast<std::size_t>(value);
}

// The columns of one series, all of one length.
template <std::size_t N, std::size_t K>
std::array<ta::Values, K> inputs(const Args<N>& bound, std::array<Input, K>& held) {
    std::array<ta::Values, K> values{};
    for (std::size_t i = 0; i < K; ++i) {
        values[i] = held[i].take(arg(bound, i), bound.name(i));
        if (values[i].size != values[0].size) {
            refuse_length(bound.name(i), static_cast<Py_ssize_t>(values[i].size), values[0].size);
        }
    }
    return values;
}

template <class Compute>
void unlocked(Compute&& compute) {
    WithoutInterpreterLock released;
    compute();
}

using WindowKernel = void (*)(ta::Values, std::size_t, double*);
using BarsKernel = void (*)(ta::Hlc, std::size_t, double*);
using CrossKernel = void (*)(ta::Values, ta::Values, std::uint8_t*);

constexpr Signature<3> k_sma{"_backtest", "_ta_sma", {"x", "n", "out"}};
constexpr Signature<3> k_ema{"_backtest", "_ta_ema", {"x", "n", "out"}};
constexpr Signature<3> k_wma{"_backtest", "_ta_wma", {"x", "n", "out"}};
constexpr Signature<3> k_rsi{"_backtest", "_ta_rsi", {"x", "n", "out"}};
constexpr Signature<3> k_max{"_backtest", "_ta_rolling_max", {"x", "n", "out"}};
constexpr Signature<3> k_min{"_backtest", "_ta_rolling_min", {"x", "n", "out"}};
constexpr Signature<5> k_atr{"_backtest", "_ta_atr", {"high", "low", "close", "n", "out"}};
constexpr Signature<5> k_adx{"_backtest", "_ta_adx", {"high", "low", "close", "n", "out"}};
constexpr Signature<5> k_cci{"_backtest", "_ta_cci", {"high", "low", "close", "n", "out"}};
constexpr Signature<4> k_true_range{"_backtest", "_ta_true_range", {"high", "low", "close", "out"}};
constexpr Signature<4> k_std{"_backtest", "_ta_rolling_std", {"x", "n", "ddof", "out"}};
constexpr Signature<7> k_bollinger{
    "_backtest", "_ta_bollinger", {"x", "n", "k", "ddof", "upper", "middle", "lower"}};
constexpr Signature<7> k_macd{
    "_backtest", "_ta_macd", {"x", "fast", "slow", "signal", "macd", "signal_out", "histogram"}};
constexpr Signature<8> k_stochastic{
    "_backtest", "_ta_stochastic", {"high", "low", "close", "k", "smooth_k", "d", "k_out", "d_out"}};
constexpr Signature<6> k_donchian{
    "_backtest", "_ta_donchian", {"high", "low", "n", "upper", "middle", "lower"}};
constexpr Signature<3> k_crossover{"_backtest", "_ta_crossover", {"a", "b", "out"}};
constexpr Signature<3> k_crossunder{"_backtest", "_ta_crossunder", {"a", "b", "out"}};

template <const Signature<3>& Sig, WindowKernel Kernel>
PyObject* window_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        std::array<Input, 1> held;
        const auto [x] = inputs(bound, held);
        const std::size_t n = count_arg(bound, 1, 1);
        Doubles out;
        double* o = out.take(arg(bound, 2), bound.name(2), x.size);
        unlocked([&] { Kernel(x, n, o); });
        return none();
    });
}

template <const Signature<5>& Sig, BarsKernel Kernel>
PyObject* bars_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        std::array<Input, 3> held;
        const auto [high, low, close] = inputs(bound, held);
        const std::size_t n = count_arg(bound, 3, 1);
        Doubles out;
        double* o = out.take(arg(bound, 4), bound.name(4), close.size);
        unlocked([&] { Kernel(ta::Hlc{high, low, close}, n, o); });
        return none();
    });
}

template <const Signature<3>& Sig, CrossKernel Kernel>
PyObject* cross_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        std::array<Input, 2> held;
        const auto [a, b] = inputs(bound, held);
        Flags out;
        std::uint8_t* o = out.take(arg(bound, 2), bound.name(2), a.size);
        unlocked([&] { Kernel(a, b, o); });
        return none();
    });
}

PyObject* true_range_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_true_range, args, nargs, kwnames);
        std::array<Input, 3> held;
        const auto [high, low, close] = inputs(bound, held);
        Doubles out;
        double* o = out.take(arg(bound, 3), bound.name(3), close.size);
        unlocked([&] { ta::true_range(ta::Hlc{high, low, close}, o); });
        return none();
    });
}

template <std::size_t N>
std::size_t ddof_arg(const Args<N>& bound, std::size_t i, std::size_t n) {
    const std::int64_t ddof = bound.template get<to_i64>(i);
    if (ddof < 0 || static_cast<std::size_t>(ddof) >= n) {
        throw PyError::deferred(PyExc_ValueError,
                                concat({"'ddof' must be at least 0 and less than n (",
                                        std::to_string(n), "), not ", std::to_string(ddof)}));
    }
    return static_cast<std::size_t>(ddof);
}

PyObject* rolling_std_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_std, args, nargs, kwnames);
        std::array<Input, 1> held;
        const auto [x] = inputs(bound, held);
        const std::size_t n = count_arg(bound, 1, 1);
        const std::size_t ddof = ddof_arg(bound, 2, n);
        Doubles out;
        double* o = out.take(arg(bound, 3), bound.name(3), x.size);
        unlocked([&] { ta::rolling_std(x, n, ddof, o); });
        return none();
    });
}

PyObject* bollinger_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_bollinger, args, nargs, kwnames);
        std::array<Input, 1> held;
        const auto [x] = inputs(bound, held);
        const std::size_t n = count_arg(bound, 1, 1);
        const double k = bound.get<to_f64>(2);
        const std::size_t ddof = ddof_arg(bound, 3, n);
        std::array<Doubles, 3> outs;
        std::array<double*, 3> o{};
        for (std::size_t i = 0; i < o.size(); ++i) {
            o[i] = outs[i].take(arg(bound, 4 + i), bound.name(4 + i), x.size);
        }
        unlocked([&] {
            ta::bollinger(x, n, k, ddof, o[0], o[1], o[2]);
        });
        return none();
    });
}

PyObject* macd_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_macd, args, nargs, kwnames);
        std::array<Input, 1> held;
        const auto [x] = inputs(bound, held);
        const std::size_t fast = count_arg(bound, 1, 1);
        const std::size_t slow = count_arg(bound, 2, 1);
        const std::size_t signal = count_arg(bound, 3, 1);
        std::array<Doubles, 3> outs;
        std::array<double*, 3> o{};
        for (std::size_t i = 0; i < o.size(); ++i) {
            o[i] = outs[i].take(arg(bound, 4 + i), bound.name(4 + i), x.size);
        }
        unlocked([&] { ta::macd(x, fast, slow, signal, o[0], o[1], o[2]); });
        return none();
    });
}

PyObject* stochastic_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_stochastic, args, nargs, kwnames);
        std::array<Input, 3> held;
        const auto [high, low, close] = inputs(bound, held);
        const std::size_t k = count_arg(bound, 3, 1);
        const std::size_t smooth_k = count_arg(bound, 4, 1);
        const std::size_t d = count_arg(bound, 5, 1);
        std::array<Doubles, 2> outs;
        std::array<double*, 2> o{};
        for (std::size_t i = 0; i < o.size(); ++i) {
            o[i] = outs[i].take(arg(bound, 6 + i), bound.name(6 + i), close.size);
        }
        unlocked([&] { ta::stochastic(ta::Hlc{high, low, close}, k, smooth_k, d, o[0], o[1]); });
        return none();
    });
}

PyObject* donchian_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_donchian, args, nargs, kwnames);
        std::array<Input, 2> held;
        const auto [high, low] = inputs(bound, held);
        const std::size_t n = count_arg(bound, 2, 1);
        std::array<Doubles, 3> outs;
        std::array<double*, 3> o{};
        for (std::size_t i = 0; i < o.size(); ++i) {
            o[i] = outs[i].take(arg(bound, 3 + i), bound.name(3 + i), high.size);
        }
        unlocked([&] { ta::donchian(high, low, n, o[0], o[1], o[2]); });
        return none();
    });
}

constexpr int k_flags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef ta_functions[] = {
    {"_ta_sma", method_entry(window_entry<k_sma, ta::sma>), k_flags,
     "_ta_sma(x, n, out)\n--\n\nSimple moving average of x into out."},
    {"_ta_ema", method_entry(window_entry<k_ema, ta::ema>), k_flags,
     "_ta_ema(x, n, out)\n--\n\nExponential moving average of x into out."},
    {"_ta_wma", method_entry(window_entry<k_wma, ta::wma>), k_flags,
     "_ta_wma(x, n, out)\n--\n\nLinearly weighted moving average of x into out."},
    {"_ta_rsi", method_entry(window_entry<k_rsi, ta::rsi>), k_flags,
     "_ta_rsi(x, n, out)\n--\n\nWilder's relative strength index of x into out."},
    {"_ta_rolling_max", method_entry(window_entry<k_max, ta::rolling_max>), k_flags,
     "_ta_rolling_max(x, n, out)\n--\n\nHighest of each n values into out."},
    {"_ta_rolling_min", method_entry(window_entry<k_min, ta::rolling_min>), k_flags,
     "_ta_rolling_min(x, n, out)\n--\n\nLowest of each n values into out."},
    {"_ta_rolling_std", method_entry(rolling_std_entry), k_flags,
     "_ta_rolling_std(x, n, ddof, out)\n--\n\nStandard deviation of each n values into out."},
    {"_ta_true_range", method_entry(true_range_entry), k_flags,
     "_ta_true_range(high, low, close, out)\n--\n\nTrue range of each bar into out."},
    {"_ta_atr", method_entry(bars_entry<k_atr, ta::atr>), k_flags,
     "_ta_atr(high, low, close, n, out)\n--\n\nWilder's average true range into out."},
    {"_ta_adx", method_entry(bars_entry<k_adx, ta::adx>), k_flags,
     "_ta_adx(high, low, close, n, out)\n--\n\nWilder's average directional index into out."},
    {"_ta_cci", method_entry(bars_entry<k_cci, ta::cci>), k_flags,
     "_ta_cci(high, low, close, n, out)\n--\n\nCommodity channel index into out."},
    {"_ta_bollinger", method_entry(bollinger_entry), k_flags,
     "_ta_bollinger(x, n, k, ddof, upper, middle, lower)\n--\n\nBollinger bands into three "
     "arrays."},
    {"_ta_macd", method_entry(macd_entry), k_flags,
     "_ta_macd(x, fast, slow, signal, macd, signal_out, histogram)\n--\n\nMACD into three "
     "arrays."},
    {"_ta_stochastic", method_entry(stochastic_entry), k_flags,
     "_ta_stochastic(high, low, close, k, smooth_k, d, k_out, d_out)\n--\n\nSlow stochastic "
     "into two arrays."},
    {"_ta_donchian", method_entry(donchian_entry), k_flags,
     "_ta_donchian(high, low, n, upper, middle, lower)\n--\n\nDonchian channel into three "
     "arrays."},
    {"_ta_crossover", method_entry(cross_entry<k_crossover, ta::crossover>), k_flags,
     "_ta_crossover(a, b, out)\n--\n\nWhere a crosses above b, into a boolean array."},
    {"_ta_crossunder", method_entry(cross_entry<k_crossunder, ta::crossunder>), k_flags,
     "_ta_crossunder(a, b, out)\n--\n\nWhere a crosses below b, into a boolean array."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace cw
