// The one-pass reading of the common row: fields walked in file order, numbers and times read
// where they stand. Whatever it does not take for certain is left to the full reading, which
// also words the failure. Pure C++, private to the reader.
#pragma once

#include <cstdint>
#include <vector>

#include "ingest/csv.hpp"
#include "ingest/rows.hpp"

namespace cw::ingest::rows {

// Exactly representable powers of ten: a decimal of at most 15 digits divided by one of them
// is the correctly rounded double, the same as from_chars gives (Clinger's fast path).
inline constexpr double k_exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A decimal's digits as read so far: at most one decimal mark, no sign, no exponent.
struct Digits {
    std::uint64_t mantissa = 0;
    std::size_t count = 0;
    std::size_t decimals = 0;
};

// Reads digits and one decimal mark from `at` and returns where they stop. One loop for the
// whole-field reading and the one-pass one, so that both give the same bits.
inline const char* scan_digits(const char* at, const char* end, char decimal,
                               Digits& digits) noexcept {
    bool point = false;
    for (; at != end; ++at) {
        const char c = *at;
        if (c >= '0' && c <= '9') {
            digits.mantissa = digits.mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits.count;
            digits.decimals += point ? 1 : 0;
        } else if (c == decimal && !point) {
            point = true;
        } else {
            break;
        }
    }
    return at;
}

// The correctly rounded double of digits the fast path can take (1 to 15 of them), or false.
inline bool exact_value(const Digits& digits, bool negative, double& out) noexcept {
    if (digits.count == 0 || digits.count > 15) {
        return false;
    }
    const double value = static_cast<double>(digits.mantissa) / k_exact_powers[digits.decimals];
    out = negative ? -value : value;
    return true;
}

class PlainRows {
public:
    explicit PlainRows(const Layout& layout);

    // Reads the row starting at `at` into `sink` and returns where the next row starts, or
    // nullptr (nothing added) unless the row is plain: its line end in the text, no double
    // quote, no blank around a field, each number one the exact fast path reads, each time one
    // of the shapes below. Rows it takes give the full reading's values to the bit.
    const char* read(const char* at, const char* end, std::int64_t line, Sink& sink);

private:
    enum class Role : std::uint8_t { skip, number, time0, time1 };

    bool read_time(const char* first, const char* last, std::size_t which,
                   TimeParts& parts) const noexcept;
    bool seconds_of(const TimeParts& parts, std::int64_t& out) noexcept;

    const Layout& layout_;
    bool usable_ = false;
    std::vector<Role> roles_;     // by field, up to the last one used
    std::vector<double> values_;  // this row's numbers, by field
    std::vector<std::uint8_t> empty_;
    // The days of the last date seen: rows of one day repeat it.
    std::int64_t day_key_ = -1;
    std::int64_t day_count_ = 0;
};

}  // namespace cw::ingest::rows
