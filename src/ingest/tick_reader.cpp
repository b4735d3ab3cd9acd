// Reading tick rows: each field found once, numbers by the bar reader's exact fast path, times by
// the few shapes tick files use, every tick checked as it is added.
#include "ingest/tick_reader.hpp"

#include <cstring>
#include <limits>
#include <vector>

#include "ingest/plain_rows.hpp"
#include "ingest/times.hpp"

namespace cw::ingest {
namespace {

constexpr std::uint32_t k_progress_rows = 4096;

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// `count` digits at `at` as a number, or -1.
int fixed(const char* at, const char* last, int count) noexcept {
    if (last - at < count) {
        return -1;
    }
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (!is_digit(at[i])) {
            return -1;
        }
        value = value * 10 + (at[i] - '0');
    }
    return value;
}

struct Clock {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::int64_t offset = 0;  // seconds east of UTC, as an ISO time states it
    const char* fraction = nullptr;  // the digits after the seconds, if any
    const char* fraction_end = nullptr;
};

// Digits after the seconds, from `at` to the first that is not one.
const char* take_fraction(const char* at, const char* last, Clock& clock) noexcept {
    clock.fraction = at;
    while (at != last && is_digit(*at)) {
        ++at;
    }
    clock.fraction_end = at;
    return at;
}

bool read_compact(const char* at, const char* last, Clock& c) noexcept {
    // 20170102 000000600
    const int ymd = last - at >= 15 && at[8] == ' ' ? fixed(at, last, 8) : -1;
    if (ymd < 0 || (c.hour = fixed(at + 9, last, 2)) < 0 ||
        (c.minute = fixed(at + 11, last, 2)) < 0 || (c.second = fixed(at + 13, last, 2)) < 0) {
        return false;
    }
    c.year = ymd / 10000;
    c.month = ymd / 100 % 100;
    c.day = ymd % 100;
    return take_fraction(at + 15, last, c) == last;
}

bool clock_of_day(const char*& at, const char* last, Clock& c, bool minutes_only_allowed) noexcept {
    // HH:MM[:SS[.fff]]
    if ((c.hour = fixed(at, last, 2)) < 0 || last - at < 5 || at[2] != ':' ||
        (c.minute = fixed(at + 3, last, 2)) < 0) {
        return false;
    }
    at += 5;
    if (at != last && *at == ':') {
        if ((c.second = fixed(at + 1, last, 2)) < 0) {
            return false;
        }
        at += 3;
        if (at != last && (*at == '.' || *at == ',')) {
            const char* start = at + 1;
            at = take_fraction(start, last, c);
            if (at == start) {
                return false;
            }
        }
    } else if (!minutes_only_allowed) {
        return false;
    }
    return true;
}

bool read_dotted(const char* at, const char* last, Clock& c) noexcept {
    // 02.01.2017 00:00:00.600
    if (last - at < 19 || at[2] != '.' || at[5] != '.' || at[10] != ' ' ||
        (c.day = fixed(at, last, 2)) < 0 || (c.month = fixed(at + 3, last, 2)) < 0 ||
        (c.year = fixed(at + 6, last, 4)) < 0) {
        return false;
    }
    at += 11;
    if (!clock_of_day(at, last, c, false)) {
        return false;
    }
    if (at == last) {
        return true;
    }
    // Dukascopy's local times: " GMT+0200" after the time.
    if (last - at != 9 || std::memcmp(at, " GMT", 4) != 0 || (at[4] != '+' && at[4] != '-')) {
        return false;
    }
    const int hours = fixed(at + 5, last, 2);
    const int minutes = fixed(at + 7, last, 2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) {
        return false;
    }
    c.offset = (at[4] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

bool read_packed(const char* at, const char* last, Clock& c) noexcept {
    // 20170102 00:00:00.600
    const int ymd = last - at >= 17 && at[8] == ' ' ? fixed(at, last, 8) : -1;
    if (ymd < 0) {
        return false;
    }
    c.year = ymd / 10000;
    c.month = ymd / 100 % 100;
    c.day = ymd % 100;
    at += 9;
    return clock_of_day(at, last, c, false) && at == last;
}

bool read_iso(const char* at, const char* last, Clock& c) noexcept {
    if (last - at < 16 || at[4] != '-' || at[7] != '-' ||
        (at[10] != ' ' && at[10] != 'T' && at[10] != 't') || (c.year = fixed(at, last, 4)) < 0 ||
        (c.month = fixed(at + 5, last, 2)) < 0 || (c.day = fixed(at + 8, last, 2)) < 0) {
        return false;
    }
    at += 11;
    if (!clock_of_day(at, last, c, true)) {
        return false;
    }
    if (at == last) {
        return true;
    }
    if ((*at == 'Z' || *at == 'z') && at + 1 == last) {
        return true;
    }
    if (*at != '+' && *at != '-') {
        return false;
    }
    const std::int64_t sign = *at == '-' ? -1 : 1;
    ++at;
    const int hours = fixed(at, last, 2);
    if (hours < 0 || hours > 23) {
        return false;
    }
    at += 2;
    at += at != last && *at == ':' ? 1 : 0;
    int minutes = 0;
    if (at != last && ((minutes = fixed(at, last, 2)) < 0 || minutes > 59 || (at += 2) != last)) {
        return false;
    }
    c.offset = sign * (hours * 3600 + minutes * 60);
    return true;
}

}  // namespace

struct TickReader::State {
    State(const TickLayout& layout_, std::size_t expected) : layout(layout_) {
        auto store_ = std::make_shared<TickStore>();
        store_->time.reserve(expected);
        store_->bid.reserve(expected);
        store_->ask.reserve(expected);
        if (layout.bid_volume >= 0) {
            store_->bid_volume.reserve(expected);
        }
        if (layout.ask_volume >= 0) {
            store_->ask_volume.reserve(expected);
        }
        store = std::move(store_);
        last_field = std::max(layout.time, std::max(layout.bid, layout.ask));
        for (const std::ptrdiff_t volume : {layout.bid_volume, layout.ask_volume}) {
            if (volume >= 0) {
                last_field = std::max(last_field, static_cast<std::size_t>(volume));
            }
        }
        fields.resize(last_field + 1);
        for (std::int64_t p = layout.per_second; p > 1; p /= 10) {
            ++unit_digits;
        }
    }

    const TickLayout& layout;
    std::shared_ptr<TickStore> store;
    std::string carry;
    std::int64_t line = 1;
    std::size_t skipped = 0;
    std::uint32_t count = 0;
    std::size_t last_field = 0;
    int unit_digits = 0;
    std::int64_t previous = std::numeric_limits<std::int64_t>::min();
    int day_key = -1;
    std::int64_t day_count = 0;
    std::vector<std::string_view> fields;

    [[noreturn]] [[gnu::cold]] void fail(std::size_t column, TickFault fault,
                                         std::string_view found) const {
        throw TickFailure{line, column, fault, std::string(found)};
    }

    double number(std::size_t column) const {
        const std::string_view text = fields[column];
        rows::Digits digits;
        const char* first = text.data();
        const char* end = first + text.size();
        const bool negative = first != end && *first == '-';
        const char* stop = rows::scan_digits(first + (negative ? 1 : 0), end, '.', digits);
        double value = 0.0;
        if (stop == end && rows::exact_value(digits, negative, value)) [[likely]] {
            return value;
        }
        if (!read_number(text, value)) {
            fail(column, TickFault::number, text);
        }
        return value;
    }

    std::int64_t time_of(std::string_view text) {
        const std::size_t column = layout.time;
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
            text.remove_prefix(1);
        }
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
            text.remove_suffix(1);
        }
        const char* at = text.data();
        const char* last = at + text.size();
        if (layout.clock == TickClock::epoch) {
            return epoch_of(text);
        }
        Clock c;
        bool ok = false;
        switch (layout.clock) {
            case TickClock::compact: ok = read_compact(at, last, c); break;
            case TickClock::dotted: ok = read_dotted(at, last, c); break;
            case TickClock::packed: ok = read_packed(at, last, c); break;
            case TickClock::iso: ok = read_iso(at, last, c); break;
            case TickClock::epoch: break;
        }
        if (!ok) {
            fail(column, TickFault::time_shape, text);
        }
        if (c.hour > 23 || c.minute > 59 || c.second > 59) {
            fail(column, TickFault::time_range, text);
        }
        const int key = (c.year * 100 + c.month) * 100 + c.day;
        if (key != day_key) {
            TimeParts parts;
            parts.year = c.year;
            parts.month = c.month;
            parts.day = c.day;
            if (!date_in_range(parts)) {
                fail(column, TickFault::time_range, text);
            }
            day_count = days_from_civil(c.year, c.month, c.day);
            day_key = key;
        }
        std::int64_t fraction = 0;
        int digits = 0;
        for (const char* d = c.fraction; d != c.fraction_end; ++d, ++digits) {
            if (digits < unit_digits) {
                fraction = fraction * 10 + (*d - '0');
            } else if (*d != '0') {
                fail(column, TickFault::time_fine, text);
            }
        }
        for (; digits < unit_digits; ++digits) {
            fraction *= 10;
        }
        const std::int64_t seconds = ((day_count * 24 + c.hour) * 60 + c.minute) * 60 + c.second -
                                     c.offset + layout.shift;
        std::int64_t out = 0;
        if (__builtin_mul_overflow(seconds, layout.per_second, &out) ||
            __builtin_add_overflow(out, fraction, &out)) {
            fail(column, TickFault::time_range, text);
        }
        return out;
    }

    std::int64_t epoch_of(std::string_view text) const {
        const std::size_t column = layout.time;
        const bool negative = !text.empty() && text.front() == '-';
        const std::string_view digits = text.substr(negative ? 1 : 0);
        if (digits.empty()) {
            fail(column, TickFault::time_shape, text);
        }
        std::int64_t value = 0;
        bool over = false;
        for (const char d : digits) {
            if (!is_digit(d)) {
                fail(column, TickFault::time_shape, text);
            }
            // Negative while read, so that the earliest int64 is read too.
            over = over || __builtin_mul_overflow(value, 10, &value) ||
                   __builtin_sub_overflow(value, d - '0', &value);
        }
        if (over || (!negative && __builtin_sub_overflow(0, value, &value))) {
            fail(column, TickFault::time_range, text);
        }
        const std::int64_t from = layout.epoch_per_second;
        const std::int64_t to = layout.per_second;
        if (to >= from) {
            std::int64_t out = 0;
            if (__builtin_mul_overflow(value, to / from, &out)) {
                fail(column, TickFault::time_range, text);
            }
            return out;
        }
        if (value % (from / to) != 0) {
            fail(column, TickFault::time_fine, text);
        }
        return value / (from / to);
    }

    // One row, from `at` to its line end (excluded).
    void row(const char* at, const char* end) {
        if (end != at && end[-1] == '\r') {
            --end;
        }
        const char* probe = at;
        while (probe != end && (*probe == ' ' || *probe == '\t')) {
            ++probe;
        }
        if (probe == end) {
            return;  // a blank line
        }
        if (skipped < layout.skip_rows) {
            ++skipped;
            return;
        }
        const char delimiter = layout.delimiter;
        std::size_t column = 0;
        for (;; ++column) {
            const char* stop = static_cast<const char*>(
                std::memchr(at, delimiter, static_cast<std::size_t>(end - at)));
            stop = stop == nullptr ? end : stop;
            fields[column] = std::string_view(at, static_cast<std::size_t>(stop - at));
            if (column == last_field) {
                break;
            }
            if (stop == end) {
                fail(column + 1, TickFault::fields, std::to_string(column + 1));
            }
            at = stop + 1;
        }
        const std::int64_t time = time_of(fields[layout.time]);
        const double bid = number(layout.bid);
        const double ask = number(layout.ask);
        constexpr double k_inf = std::numeric_limits<double>::infinity();
        if (!(bid > 0.0 && bid < k_inf)) {
            fail(layout.bid, TickFault::price, fields[layout.bid]);
        }
        if (!(ask > 0.0 && ask < k_inf)) {
            fail(layout.ask, TickFault::price, fields[layout.ask]);
        }
        if (ask < bid) {
            fail(layout.ask, TickFault::crossed, fields[layout.ask]);
        }
        if (time < previous) {
            fail(layout.time, TickFault::order, fields[layout.time]);
        }
        previous = time;
        TickStore& into = *store;
        if (layout.bid_volume >= 0) {
            into.bid_volume.push_back(volume(static_cast<std::size_t>(layout.bid_volume)));
        }
        if (layout.ask_volume >= 0) {
            into.ask_volume.push_back(volume(static_cast<std::size_t>(layout.ask_volume)));
        }
        into.time.push_back(time);
        into.bid.push_back(bid);
        into.ask.push_back(ask);
    }

    float volume(std::size_t column) const {
        const double value = number(column);
        if (!(value >= 0.0 && value < std::numeric_limits<double>::infinity())) {
            fail(column, TickFault::volume, fields[column]);
        }
        return static_cast<float>(value);
    }

    // The rows of `text`; unless `final`, a row without its line end is left, and its start
    // returned.
    std::size_t block(std::string_view text, bool final, Progress& progress) {
        const char* at = text.data();
        const char* const end = at + text.size();
        while (at != end) {
            const char* stop = static_cast<const char*>(
                std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
            if (stop == nullptr && !final) {
                break;
            }
            stop = stop == nullptr ? end : stop;
            if (static_cast<std::size_t>(stop - at) > k_longest_row) {
                fail(0, TickFault::long_row, {});
            }
            row(at, stop);
            at = stop == end ? end : stop + 1;
            ++line;
            if (++count == k_progress_rows) {
                count = 0;
                progress.step();
            }
        }
        return static_cast<std::size_t>(at - text.data());
    }
};

TickReader::TickReader(const TickLayout& layout, std::size_t expected)
    : state_(std::make_unique<State>(layout, expected)) {}

TickReader::~TickReader() = default;

void TickReader::feed(std::string_view piece, Progress& progress) {
    State& s = *state_;
    if (!s.carry.empty()) {
        const void* found = std::memchr(piece.data(), '\n', piece.size());
        if (found == nullptr) {
            s.carry.append(piece);
            if (s.carry.size() > k_longest_row) {
                s.fail(0, TickFault::long_row, {});
            }
            return;
        }
        const auto upto = static_cast<std::size_t>(static_cast<const char*>(found) - piece.data());
        s.carry.append(piece.substr(0, upto + 1));
        s.block(s.carry, false, progress);
        s.carry.clear();
        piece.remove_prefix(upto + 1);
    }
    const std::size_t used = s.block(piece, false, progress);
    s.carry.assign(piece.substr(used));
    if (s.carry.size() > k_longest_row) {
        s.fail(0, TickFault::long_row, {});
    }
}

std::shared_ptr<const TickStore> TickReader::finish(Progress& progress) {
    State& s = *state_;
    s.block(s.carry, true, progress);
    s.carry.clear();
    return std::move(s.store);
}

}  // namespace cw::ingest
