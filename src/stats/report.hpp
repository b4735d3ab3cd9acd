// The text report of a run's figures, and the fixed-point number format it uses. Pure C++; writes
// into fixed storage, so it cannot fail.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

#include "stats/stats.hpp"

namespace cw {

// Longest text write_fixed makes: sign, every integer digit of the largest double, point, decimals.
constexpr std::size_t fixed_capacity(int decimals) noexcept {
    constexpr auto integer_digits = std::numeric_limits<double>::max_exponent10 + 1;
    return static_cast<std::size_t>(1 + integer_digits + 1 + decimals);
}

// `x` with exactly `decimals` decimals: the exact binary value rounded half to even,
// "-" exactly when the sign bit is set (so -0.0 and -0.001 keep it), no exponent; "NaN", "inf",
// "-inf". Writes at most fixed_capacity(decimals) characters at `first`, returns the end.
char* write_fixed(char* first, double x, int decimals) noexcept;

class ReportText {
public:
    [[nodiscard]] std::string_view view() const noexcept { return {chars_.data(), size_}; }

private:
    friend ReportText render_report(const Stats& stats) noexcept;
    // Eleven lines: labels and line feeds, nine numbers at their widest, one count.
    static constexpr std::size_t k_capacity = 512 + 9 * fixed_capacity(5) + 20;
    std::array<char, k_capacity> chars_;
    std::size_t size_ = 0;
};

[[nodiscard]] ReportText render_report(const Stats& stats) noexcept;

}  // namespace cw
