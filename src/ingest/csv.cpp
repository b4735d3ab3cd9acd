// The row loop: fields split in one pass (double quotes honoured), numbers read with
// from_chars, which rounds as correctly as Python's float(), so both give the same bits; and
// the reader that takes its text in pieces.
#include "ingest/csv.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "ingest/plain_rows.hpp"
#include "ingest/rows.hpp"

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

[[noreturn, gnu::cold]] void fail(std::int64_t line, std::size_t column, RowFault fault,
                                  std::string_view found) {
    constexpr std::size_t k_shown = 60;
    std::size_t cut = std::min(found.size(), k_shown);
    // Never inside a UTF-8 character: the message shows the text, not a broken byte.
    while (cut < found.size() && cut > 0 && (static_cast<unsigned char>(found[cut]) & 0xC0U) == 0x80U) {
        --cut;
    }
    std::string shown(found.substr(0, cut));
    if (found.size() > cut) {
        shown += "...";
    }
    throw ParseFailure{line, column, fault, std::move(shown)};
}

[[noreturn, gnu::cold]] void too_long(std::int64_t line) {
    fail(line, 0, RowFault::long_row, {});
}

// The fields of a row with a double-quoted field, which may hold delimiters and line ends;
// true when the row's line end was reached, false when the text ended first.
bool split_quoted(std::string_view text, std::size_t& at, char delimiter, char line_end,
                  std::vector<std::string_view>& fields, std::int64_t& line) {
    const std::size_t n = text.size();
    const std::size_t row_start = at;
    const std::int64_t row_line = line;
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
                if (text[at] == line_end) {
                    ++line;
                }
            }
        }
        while (at < n && text[at] != delimiter && text[at] != line_end) {
            ++at;
        }
        if (at - row_start > k_longest_row) {
            too_long(row_line);
        }
        fields.push_back(text.substr(start, at - start));
        if (at >= n) {
            return false;
        }
        if (text[at] == line_end) {
            ++at;
            ++line;
            return true;
        }
        ++at;  // the delimiter
    }
}

// The fields of the row starting at `at`, which is left at the start of the next row; `line`
// counts the line ends passed (a quoted field may hold some). True when the row's line end was
// reached, false when the text ended first.
bool split_row(std::string_view text, std::size_t& at, char delimiter, char line_end,
               std::vector<std::string_view>& fields, std::int64_t& line) {
    fields.clear();
    const char* first = text.data() + at;
    const char* end = text.data() + text.size();
    const auto* found = static_cast<const char*>(
        std::memchr(first, line_end, static_cast<std::size_t>(end - first)));
    const char* stop = found != nullptr ? found : end;
    if (std::memchr(first, '"', static_cast<std::size_t>(stop - first)) != nullptr) {
        return split_quoted(text, at, delimiter, line_end, fields, line);
    }
    if (static_cast<std::size_t>(stop - first) > k_longest_row) {
        too_long(line);
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
    at = static_cast<std::size_t>(stop - text.data()) + (found != nullptr ? 1 : 0);
    line += found != nullptr ? 1 : 0;
    return found != nullptr;
}

bool blank(const std::vector<std::string_view>& fields) noexcept {
    return fields.size() == 1 && trim(fields[0]).empty();
}

bool plain_decimal(std::string_view text, double& out, char decimal) noexcept {
    const char* const end = text.data() + text.size();
    const bool negative = text[0] == '-';
    rows::Digits digits;
    const char* stop = rows::scan_digits(text.data() + (negative ? 1 : 0), end, decimal, digits);
    return stop == end && rows::exact_value(digits, negative, out);
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

bool general_number(std::string_view text, double& out) noexcept {
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

// A decimal comma's number the long way: as its text with a point would read.
[[gnu::cold]] bool comma_number(std::string_view text, double& out) {
    if (text.find('.') != std::string_view::npos) {
        return false;
    }
    std::string pointed(text);
    std::replace(pointed.begin(), pointed.end(), ',', '.');
    return general_number(pointed, out);
}

// One row of bars from its fields. Fields are looked at in the order time, prices, volume,
// extras: the first missing or unreadable one is the one reported.
void read_row(const std::vector<std::string_view>& fields, std::int64_t row_line,
              const Layout& layout, rows::Sink& sink) {
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
    const char decimal = layout.decimal;
    double prices[4];
    for (std::size_t i = 0; i < 4; ++i) {
        if (!read_number(field(layout.prices[i]), prices[i], decimal) ||
            (layout.finite && !std::isfinite(prices[i]))) {
            fail(row_line, layout.prices[i], RowFault::number, trim(fields[layout.prices[i]]));
        }
    }
    double volume = 0.0;
    if (layout.volume >= 0) {
        const auto v = static_cast<std::size_t>(layout.volume);
        if (!trim(field(v)).empty() && (!read_number(fields[v], volume, decimal) ||
                                        (layout.finite && !std::isfinite(volume)))) {
            fail(row_line, v, RowFault::number, trim(fields[v]));
        }
    }
    for (std::size_t k = 0; k < layout.extras.size(); ++k) {
        const std::size_t e = layout.extras[k];
        double value = std::numeric_limits<double>::quiet_NaN();
        if (!trim(field(e)).empty() && !read_number(fields[e], value, decimal)) {
            fail(row_line, e, RowFault::number, trim(fields[e]));
        }
        sink.extras[k].push_back(value);
    }
    sink.bars.push_back(Bar{*timestamp, prices[0], prices[1], prices[2], prices[3], volume});
    sink.lines.push_back(row_line);
    if (layout.mark_local) {
        sink.local.push_back(parts.epoch || parts.has_offset ? 0 : 1);
    }
}

}  // namespace

bool read_number(std::string_view text, double& out, char decimal) noexcept {
    text = trim(text);
    if (!text.empty() && plain_decimal(text, out, decimal)) [[likely]] {
        return true;
    }
    if (decimal != '.') {
        try {
            return comma_number(text, out);
        } catch (...) {  // no memory for the copy
            return false;
        }
    }
    return general_number(text, out);
}

namespace rows {

std::size_t read_block(std::string_view text, bool final, const Layout& layout, Cursor& cursor,
                       Sink& sink, Progress& progress) {
    std::vector<std::string_view> fields;
    fields.reserve(16);
    PlainRows plain(layout);
    const char* const end = text.data() + text.size();
    std::size_t at = 0;
    while (at < text.size()) {
        if (cursor.skipped >= layout.skip_rows) {
            if (const char* next = plain.read(text.data() + at, end, cursor.line, sink)) {
                at = static_cast<std::size_t>(next - text.data());
                ++cursor.line;
                if ((++cursor.count & 4095U) == 0) {
                    progress.step();
                }
                continue;
            }
        }
        const std::size_t start = at;
        std::int64_t line = cursor.line;
        const bool ended =
            split_row(text, at, layout.delimiter, layout.line_end, fields, line);
        if (!ended && !final) {
            return start;  // the rest of the row is still to come
        }
        // The line the row ends on, as csv readers count (a quoted field may span lines).
        const std::int64_t row_line = ended ? line - 1 : line;
        cursor.line = line;
        if ((++cursor.count & 4095U) == 0) {
            progress.step();
        }
        if (blank(fields)) {
            continue;
        }
        if (cursor.skipped < layout.skip_rows) {
            ++cursor.skipped;
            continue;
        }
        read_row(fields, row_line, layout, sink);
    }
    return at;
}

Parsed hand_over(Sink& sink) {
    Parsed out;
    out.bars = sink.bars.take();
    out.lines = sink.lines.take();
    for (Segmented<double>& column : sink.extras) {
        out.extras.push_back(column.take());
    }
    out.local = sink.local.take();
    return out;
}

void reserve_for(Sink& sink, const Layout& layout, std::size_t read, std::size_t total) {
    const std::size_t rows = sink.bars.size();
    if (rows == 0 || read == 0 || total <= read) {
        return;
    }
    // A few per cent over the rate so far: rows a little longer further on leave no
    // segment to join.
    const double rate = static_cast<double>(rows) / static_cast<double>(read);
    const auto rest = static_cast<double>(total - read);
    const auto count = rows + static_cast<std::size_t>(rate * 1.03 * rest) + 256;
    sink.bars.reserve(count);
    sink.lines.reserve(count);
    for (Segmented<double>& column : sink.extras) {
        column.reserve(count);
    }
    if (layout.mark_local) {
        sink.local.reserve(count);
    }
}

void Stream::feed(std::string_view piece, Progress& progress) {
    const bool sized = fed >= k_sample;
    fed += piece.size();
    const auto read = [&](std::string_view text) {
        return read_block(text, false, layout, cursor, sink, progress);
    };
    const auto size_columns = [&] {
        if (!sized && expected != 0 && fed >= k_sample) {
            reserve_for(sink, layout, fed - carry.size(), expected);
        }
    };
    if (!carry.empty()) {
        // Tried again only once it has doubled: a row arriving a byte at a time is not
        // read over and over.
        if (carry.size() + piece.size() < retry) {
            carry.append(piece);
            return;
        }
        // The piece's first line completes the carried row, unless a quoted field holds
        // line ends; only that much is copied.
        const std::size_t first_end = piece.find(layout.line_end);
        const std::size_t head = first_end == std::string_view::npos ? piece.size() : first_end + 1;
        carry.append(piece.substr(0, head));
        piece.remove_prefix(head);
        carry.erase(0, read(carry));
        if (!carry.empty()) {
            if (!piece.empty()) {
                carry.append(piece);
                carry.erase(0, read(carry));
            }
            retry = 2 * carry.size();
            size_columns();
            return;
        }
    }
    const std::size_t used = read(piece);
    carry.assign(piece.substr(used));
    retry = 0;
    size_columns();
}

bool Stream::finish(bool final, Progress& progress) {
    if (!final) {
        return carry.empty();
    }
    read_block(carry, true, layout, cursor, sink, progress);
    carry.clear();
    return true;
}

}  // namespace rows

Parsed parse_csv(std::string_view text, const Layout& layout, Progress& progress) {
    rows::Sink sink;
    sink.extras.resize(layout.extras.size());
    rows::Cursor cursor;
    std::size_t used = 0;
    if (text.size() > 2 * rows::k_sample) {
        // The first rows tell how many the rest will be, so the columns are sized once.
        const std::size_t cut = text.find(layout.line_end, rows::k_sample);
        if (cut != std::string_view::npos) {
            used = rows::read_block(text.substr(0, cut + 1), false, layout, cursor, sink, progress);
            rows::reserve_for(sink, layout, used, text.size());
        }
    }
    rows::read_block(text.substr(used), true, layout, cursor, sink, progress);
    return rows::hand_over(sink);
}

struct CsvReader::State {
    explicit State(const Layout& layout_) : layout(layout_), stream(layout) {}
    Layout layout;
    rows::Stream stream;
};

CsvReader::CsvReader(const Layout& layout, std::size_t expected)
    : state_(std::make_unique<State>(layout)) {
    state_->stream.expected = expected;
}

CsvReader::~CsvReader() = default;

void CsvReader::feed(std::string_view piece, Progress& progress) {
    state_->stream.feed(piece, progress);
}

Parsed CsvReader::finish(Progress& progress) {
    rows::Stream& stream = state_->stream;
    stream.finish(true, progress);
    return rows::hand_over(stream.sink);
}

}  // namespace cw::ingest
