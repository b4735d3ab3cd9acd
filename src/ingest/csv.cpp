// The row loop: fields split in one pass (double quotes honoured), numbers read with
// from_chars, which rounds as correctly as Python's float(), so both give the same bits.
#include "ingest/csv.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace cw::ingest {
namespace {

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    return text;
}

// The fields of the row starting at `at`, which is left at the start of the next row;
// `line` counts the line ends passed (a quoted field may hold some).
void split_quoted(std::string_view text, std::size_t& at, char delimiter,
                  std::vector<std::string_view>& fields, std::int64_t& line);

void split_row(std::string_view text, std::size_t& at, char delimiter,
               std::vector<std::string_view>& fields, std::int64_t& line) {
    fields.clear();
    const char* first = text.data() + at;
    const char* end = text.data() + text.size();
    const auto* newline = static_cast<const char*>(std::memchr(first, '\n', static_cast<std::size_t>(end - first)));
    const char* stop = newline != nullptr ? newline : end;
    if (std::memchr(first, '"', static_cast<std::size_t>(stop - first)) != nullptr) {
        split_quoted(text, at, delimiter, fields, line);
        return;
    }
    // The common row, without quotes: its end found with memchr, its fields, short, by a
    // plain loop (a call per field would cost more than the scan).
    const char* field = first;
    for (const char* c = first; c != stop; ++c) {
        if (*c == delimiter) {
            fields.emplace_back(field, static_cast<std::size_t>(c - field));
            field = c + 1;
        }
    }
    fields.emplace_back(field, static_cast<std::size_t>(stop - field));
    at = static_cast<std::size_t>(stop - text.data()) + (newline != nullptr ? 1 : 0);
    line += newline != nullptr ? 1 : 0;
}

// A row with a double-quoted field, which may hold delimiters and line ends.
void split_quoted(std::string_view text, std::size_t& at, char delimiter,
                  std::vector<std::string_view>& fields, std::int64_t& line) {
    const std::size_t n = text.size();
    for (;;) {
        const std::size_t start = at;
        if (at < n && text[at] == '"') {
            ++at;
            for (; at < n; ++at) {
                if (text[at] == '"') {
                    if (at + 1 < n && text[at + 1] == '"') {
                        ++at;
                        continue;
                    }
                    break;
                }
                if (text[at] == '\n') {
                    ++line;
                }
            }
        }
        while (at < n && text[at] != delimiter && text[at] != '\n') {
            ++at;
        }
        fields.push_back(text.substr(start, at - start));
        if (at >= n) {
            return;
        }
        if (text[at] == '\n') {
            ++at;
            ++line;
            return;
        }
        ++at;  // the delimiter
    }
}

bool blank(const std::vector<std::string_view>& fields) noexcept {
    return fields.size() == 1 && trim(fields[0]).empty();
}

[[noreturn, gnu::cold]] void fail(std::int64_t line, std::size_t column, RowFault fault,
                                  std::string_view found) {
    constexpr std::size_t k_shown = 60;
    std::string shown(found.substr(0, k_shown));
    if (found.size() > k_shown) {
        shown += "...";
    }
    throw ParseFailure{line, column, fault, std::move(shown)};
}

}  // namespace

namespace {

// Exactly representable powers of ten: a decimal of at most 15 digits divided by one of them
// is the correctly rounded double, the same as from_chars gives (Clinger's fast path).
constexpr double k_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool plain_decimal(std::string_view text, double& out) noexcept {
    std::size_t at = 0;
    const bool negative = text[0] == '-';
    at += negative ? 1 : 0;
    std::uint64_t mantissa = 0;
    std::size_t digits = 0;
    std::size_t decimals = 0;
    bool point = false;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
            decimals += point ? 1 : 0;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (digits == 0 || digits > 15) {
        return false;
    }
    const double value = static_cast<double>(mantissa) / k_powers[decimals];
    out = negative ? -value : value;
    return true;
}

// The power of ten of a decimal's first significant digit (1.5e3: 3; 0.002: -3), for a text
// from_chars has already read whole; only its sign matters, and the exponent is clamped.
std::int64_t decimal_exponent(std::string_view text) noexcept {
    std::int64_t exponent = 0;
    const std::size_t e = text.find_first_of("eE");
    if (e != std::string_view::npos) {
        std::size_t at = e + 1;
        const bool minus = at < text.size() && text[at] == '-';
        at += at < text.size() && (text[at] == '-' || text[at] == '+') ? 1U : 0U;
        for (; at < text.size(); ++at) {
            exponent = std::min<std::int64_t>(exponent * 10 + (text[at] - '0'), 1'000'000'000);
        }
        exponent = minus ? -exponent : exponent;
        text = text.substr(0, e);
    }
    const std::size_t point = std::min(text.find('.'), text.size());
    const std::size_t first = text.find_first_of("123456789");
    if (first == std::string_view::npos) {
        return std::numeric_limits<std::int64_t>::min();  // zero
    }
    const auto place = first < point ? static_cast<std::int64_t>(point - first) - 1
                                     : -static_cast<std::int64_t>(first - point);
    return exponent + place;
}

}  // namespace

bool read_number(std::string_view text, double& out) noexcept {
    text = trim(text);
    if (!text.empty() && plain_decimal(text, out)) [[likely]] {
        return true;
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return false;
        }
    }
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, out, std::chars_format::general);
    if (stop != end) {
        return false;
    }
    if (error == std::errc::result_out_of_range) {
        // Beyond the range of a double: float() gives an infinity, or zero on underflow.
        out = decimal_exponent(text) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        out = text.front() == '-' ? -out : out;
        return true;
    }
    return error == std::errc{};
}

Parsed parse_csv(std::string_view text, const Layout& layout, Progress& progress) {
    Parsed out;
    out.extras.resize(layout.extras.size());
    // Counting the line ends costs less than growing the columns, and leaves nothing to trim.
    std::size_t rows_guess = 1;
    for (const char* c = text.data(); c != nullptr; ++rows_guess) {
        const auto left = static_cast<std::size_t>(text.data() + text.size() - c);
        c = static_cast<const char*>(std::memchr(c, '\n', left));
        c = c != nullptr ? c + 1 : nullptr;
    }
    out.bars.reserve(rows_guess);
    out.lines.reserve(rows_guess);
    out.local.reserve(layout.mark_local ? rows_guess : 0);
    for (auto& column : out.extras) {
        column.reserve(rows_guess);
    }

    std::vector<std::string_view> fields;
    fields.reserve(16);
    std::size_t at = 0;
    std::int64_t line = 1;
    std::size_t skipped = 0;
    std::size_t count = 0;
    while (at < text.size()) {
        split_row(text, at, layout.delimiter, fields, line);
        // The line the row ends on, as csv readers count (a quoted field may span lines).
        const std::int64_t row_line = at > 0 && text[at - 1] == '\n' ? line - 1 : line;
        if (blank(fields)) {
            continue;
        }
        if (skipped < layout.skip_rows) {
            ++skipped;
            continue;
        }
        // Fields are looked at in the order time, prices, volume, extras: the first missing
        // or unreadable one is the one reported.
        const auto field = [&](std::size_t i) {
            if (i >= fields.size()) {
                fail(row_line, i, RowFault::fields, std::to_string(fields.size()));
            }
            return fields[i];
        };
        TimeParts parts;
        for (const TimeField& time : layout.times) {
            const TimeFault fault = read_time(trim(field(time.column)), time.pattern, parts);
            if (fault != TimeFault::none) {
                fail(row_line, time.column,
                     fault == TimeFault::shape ? RowFault::time_shape : RowFault::time_range,
                     trim(fields[time.column]));
            }
        }
        const std::optional<std::int64_t> timestamp = epoch_seconds(parts);
        if (!timestamp) {
            // With a date field and a time field, the one out of range is named.
            const std::size_t column = layout.times.size() == 2 && !date_in_range(parts)
                                           ? layout.times.front().column
                                           : layout.times.back().column;
            fail(row_line, column, RowFault::time_range, trim(fields[column]));
        }
        double prices[4];
        for (std::size_t i = 0; i < 4; ++i) {
            if (!read_number(field(layout.prices[i]), prices[i]) ||
                (layout.finite && !std::isfinite(prices[i]))) {
                fail(row_line, layout.prices[i], RowFault::number, trim(fields[layout.prices[i]]));
            }
        }
        double volume = 0.0;
        if (layout.volume >= 0) {
            const auto v = static_cast<std::size_t>(layout.volume);
            if (!trim(field(v)).empty() &&
                (!read_number(fields[v], volume) || (layout.finite && !std::isfinite(volume)))) {
                fail(row_line, v, RowFault::number, trim(fields[v]));
            }
        }
        for (std::size_t k = 0; k < layout.extras.size(); ++k) {
            const std::size_t e = layout.extras[k];
            double value = std::numeric_limits<double>::quiet_NaN();
            if (!trim(field(e)).empty() && !read_number(fields[e], value)) {
                fail(row_line, e, RowFault::number, trim(fields[e]));
            }
            out.extras[k].push_back(value);
        }
        out.bars.push_back(Bar{*timestamp, prices[0], prices[1], prices[2], prices[3], volume});
        out.lines.push_back(row_line);
        if (layout.mark_local) {
            out.local.push_back(parts.epoch || parts.has_offset ? 0 : 1);
        }
        if ((++count & 4095U) == 0) {
            progress.step();
        }
    }
    return out;
}

}  // namespace cw::ingest
