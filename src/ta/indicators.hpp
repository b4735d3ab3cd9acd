// Technical indicators over whole series: plain arithmetic on columns of doubles, no Python. Every
// output has the input's length, NaN during warm-up; a non-finite input value is a gap after which
// the indicator warms up again, as if the series began there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cw::ta {

// Doubles read at any byte stride: a numpy view, a column of Bars (a field of 48-byte rows).
struct Values {
    const std::byte* first = nullptr;
    std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(sizeof(double));
    std::size_t size = 0;

    [[nodiscard]] double operator[](std::size_t i) const noexcept {
        double value;
        // A strided buffer need not be aligned.
        std::memcpy(&value, first + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
        return value;
    }
    [[nodiscard]] Values from(std::size_t offset, std::size_t count) const noexcept {
        return Values{first + static_cast<std::ptrdiff_t>(offset) * stride, stride, count};
    }
};

// Three columns of one series of bars.
struct Hlc {
    Values high;
    Values low;
    Values close;
};

// Output arrays are contiguous and hold as many values as the input.
void sma(Values x, std::size_t n, double* out);
void ema(Values x, std::size_t n, double* out);
void wma(Values x, std::size_t n, double* out);
void rsi(Values x, std::size_t n, double* out);
void rolling_max(Values x, std::size_t n, double* out);
void rolling_min(Values x, std::size_t n, double* out);
void rolling_std(Values x, std::size_t n, std::size_t ddof, double* out);

void true_range(Hlc bars, double* out);
void atr(Hlc bars, std::size_t n, double* out);
void adx(Hlc bars, std::size_t n, double* out);
void cci(Hlc bars, std::size_t n, double* out);

void bollinger(Values x, std::size_t n, double k, std::size_t ddof, double* upper, double* middle,
               double* lower);
void macd(Values x, std::size_t fast, std::size_t slow, std::size_t signal, double* line,
          double* signal_line, double* histogram);
void stochastic(Hlc bars, std::size_t k, std::size_t smooth_k, std::size_t d, double* k_line,
                double* d_line);
void donchian(Values high, Values low, std::size_t n, double* upper, double* middle,
              double* lower);

// 1 at bar i when a was below b at i-1 and is above it at i (crossunder: the mirror); any NaN
// compares false.
void crossover(Values a, Values b, std::uint8_t* out);
void crossunder(Values a, Values b, std::uint8_t* out);

}  // namespace cw::ta
