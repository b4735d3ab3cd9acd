// The common row in one pass. Each acceptance mirrors a rule of the full reading (trim, the
// exact decimal, read_time, epoch_seconds): a row is taken only where both must agree.
#include "ingest/plain_rows.hpp"

#include <cstring>
#include <limits>

namespace cw::ingest::rows {
namespace {

// Past this many fields a row is not one of bars' usual shapes: the plain reading stands aside.
constexpr std::size_t k_most_fields = 256;

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// As times.cpp's digits(): greedy up to `width`, at least `least`.
bool take_digits(const char*& at, const char* last, int least, int width, int& out) noexcept {
    int n = 0;
    int value = 0;
    while (n < width && at != last && is_digit(*at)) {
        value = value * 10 + (*at - '0');
        ++at;
        ++n;
    }
    out = value;
    return n >= least;
}

int two(const char* at) noexcept {
    return (at[0] - '0') * 10 + (at[1] - '0');
}

bool all_digits(const char* at, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (!is_digit(at[i])) {
            return false;
        }
    }
    return true;
}

// An integer epoch without sign (at most 18 digits, so within int64), or ISO 8601 as
// YYYY-MM-DD, then T or a space and HH, HH:MM or HH:MM:SS; no fraction, no offset.
bool automatic(const char* first, const char* last, TimeParts& parts) noexcept {
    const auto n = static_cast<std::size_t>(last - first);
    if (all_digits(first, n)) {
        if (n > 18) {
            return false;
        }
        std::int64_t value = 0;
        for (const char* at = first; at != last; ++at) {
            value = value * 10 + (*at - '0');
        }
        parts.epoch = value;
        return true;
    }
    if ((n != 10 && n != 13 && n != 16 && n != 19) || !all_digits(first, 4) || first[4] != '-' ||
        !all_digits(first + 5, 2) || first[7] != '-' || !all_digits(first + 8, 2)) {
        return false;
    }
    parts.year = two(first) * 100 + two(first + 2);
    parts.month = two(first + 5);
    parts.day = two(first + 8);
    if (n == 10) {
        return true;
    }
    if ((first[10] != ' ' && first[10] != 'T' && first[10] != 't') || !all_digits(first + 11, 2)) {
        return false;
    }
    parts.hour = two(first + 11);
    for (std::size_t at = 13; at < n; at += 3) {
        if (first[at] != ':' || !all_digits(first + at + 1, 2)) {
            return false;
        }
        (at == 13 ? parts.minute : parts.second) = two(first + at + 1);
    }
    return true;
}

// As times.cpp's pattern(), for the steps the constructor lets through.
bool stepped(const char* at, const char* last, const std::vector<char>& steps,
             TimeParts& parts) noexcept {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        bool ok = true;
        int year = 0;
        switch (steps[i]) {
            case '\0':
                ok = at != last && *at == steps[++i];
                at += ok ? 1 : 0;
                break;
            case 'Y':
                ok = take_digits(at, last, 4, 4, year);
                parts.year = year;
                break;
            case 'm': ok = take_digits(at, last, 1, 2, parts.month); break;
            case 'd': ok = take_digits(at, last, 1, 2, parts.day); break;
            case 'H': ok = take_digits(at, last, 1, 2, parts.hour); break;
            case 'M': ok = take_digits(at, last, 1, 2, parts.minute); break;
            case 'S': ok = take_digits(at, last, 1, 2, parts.second); break;
            case 'f': {
                const char* start = at;
                while (at != last && is_digit(*at)) {
                    parts.fraction = parts.fraction || *at != '0';
                    ++at;
                }
                ok = at != start;
                break;
            }
            default: ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    return at == last;
}

}  // namespace

PlainRows::PlainRows(const Layout& layout) : layout_(layout) {
    std::size_t last = 0;
    const auto see = [&](std::size_t column) { last = column > last ? column : last; };
    for (const TimeField& time : layout.times) {
        see(time.column);
    }
    for (const std::size_t column : layout.prices) {
        see(column);
    }
    if (layout.volume >= 0) {
        see(static_cast<std::size_t>(layout.volume));
    }
    for (const std::size_t column : layout.extras) {
        see(column);
    }
    if (last >= k_most_fields || layout.times.empty() || layout.times.size() > 2) {
        return;
    }
    roles_.assign(last + 1, Role::skip);
    bool usable = true;
    for (std::size_t k = 0; k < layout.times.size(); ++k) {
        const TimeField& time = layout.times[k];
        usable = usable && roles_[time.column] == Role::skip;
        roles_[time.column] = k == 0 ? Role::time0 : Role::time1;
        const std::vector<char>& steps = time.pattern.steps;
        for (std::size_t i = 0; !time.pattern.automatic && i < steps.size(); ++i) {
            if (steps[i] == '\0') {
                ++i;  // the literal
            } else if (std::strchr("YmdHMSf", steps[i]) == nullptr) {
                usable = false;  // %y and %z are left to the full reading
            }
        }
    }
    const auto number = [&](std::size_t column) {
        usable = usable && (roles_[column] == Role::skip || roles_[column] == Role::number);
        roles_[column] = Role::number;
    };
    for (const std::size_t column : layout.prices) {
        number(column);
    }
    if (layout.volume >= 0) {
        number(static_cast<std::size_t>(layout.volume));
    }
    for (const std::size_t column : layout.extras) {
        number(column);
    }
    values_.assign(last + 1, 0.0);
    empty_.assign(last + 1, 0);
    usable_ = usable;
}

bool PlainRows::read_time(const char* first, const char* last, std::size_t which,
                          TimeParts& parts) const noexcept {
    // The full reading trims these first; a pattern could hold one as a literal.
    if (first == last || *first == ' ' || *first == '\t' || last[-1] == ' ' || last[-1] == '\t' ||
        last[-1] == '\r') {
        return false;
    }
    const TimePattern& pattern = layout_.times[which].pattern;
    return pattern.automatic ? automatic(first, last, parts)
                             : stepped(first, last, pattern.steps, parts);
}

bool PlainRows::seconds_of(const TimeParts& parts, std::int64_t& out) noexcept {
    if (parts.epoch) {
        out = *parts.epoch;
        return true;
    }
    if (parts.fraction || parts.hour > 23 || parts.minute > 59 || parts.second > 59) {
        return false;
    }
    // Month and day have at most two digits here, and the year four: the key names one date.
    const std::int64_t key = (parts.year * 100 + parts.month) * 100 + parts.day;
    if (key != day_key_) {
        if (!date_in_range(parts)) {
            return false;
        }
        day_count_ = days_from_civil(parts.year, parts.month, parts.day);
        day_key_ = key;
    }
    out = ((day_count_ * 24 + parts.hour) * 60 + parts.minute) * 60 + parts.second - parts.offset;
    return true;
}

const char* PlainRows::read(const char* at, const char* end, std::int64_t line, Sink& sink) {
    if (!usable_) {
        return nullptr;
    }
    const char delimiter = layout_.delimiter;
    const char line_end = layout_.line_end;
    const char decimal = layout_.decimal;
    const char* const row = at;
    const std::size_t last = roles_.size() - 1;
    TimeParts parts;
    for (std::size_t column = 0;; ++column) {
        const Role role = roles_[column];
        if (role == Role::number) {
            // plain_decimal's reading, to its last step, on the field where it stands.
            const char* first = at;
            const bool negative = at != end && *at == '-';
            at += negative ? 1 : 0;
            Digits digits;
            at = scan_digits(at, end, decimal, digits);
            empty_[column] = at == first ? 1 : 0;
            if (at != first && !exact_value(digits, negative, values_[column])) {
                return nullptr;
            }
            // A CR before the line end is trimmed, as from every field; where CR is the line end
            // itself, it is one, and the CR after it ends a blank line.
            if (line_end != '\r' && at != end && *at == '\r' && at + 1 != end &&
                at[1] == line_end) {
                ++at;
            }
        } else {
            const char* first = at;
            while (at != end && *at != delimiter && *at != line_end && *at != '"') {
                ++at;
            }
            if (role != Role::skip) {
                const char* stop = at != first && at[-1] == '\r' ? at - 1 : at;
                if (!read_time(first, stop, role == Role::time0 ? 0 : 1, parts)) {
                    return nullptr;
                }
            }
        }
        if (at == end || column == last) {
            break;
        }
        if (*at != delimiter) {
            return nullptr;  // too few fields, a quote, or a character no number has
        }
        ++at;
    }
    if (at == end) {
        return nullptr;
    }
    const char* stop = at;
    if (*at == delimiter) {
        // Fields past the last one used: only their end, and that none is quoted.
        const auto rest = static_cast<std::size_t>(end - at);
        stop = static_cast<const char*>(std::memchr(at, line_end, rest));
        if (stop == nullptr ||
            std::memchr(at, '"', static_cast<std::size_t>(stop - at)) != nullptr) {
            return nullptr;
        }
    } else if (*at != line_end) {
        return nullptr;
    }
    if (static_cast<std::size_t>(stop - row) > k_longest_row) {
        return nullptr;
    }
    double prices[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t column = layout_.prices[i];
        if (empty_[column] != 0) {
            return nullptr;
        }
        prices[i] = values_[column];
    }
    std::int64_t timestamp = 0;
    if (!seconds_of(parts, timestamp)) {
        return nullptr;
    }
    double volume = 0.0;
    if (layout_.volume >= 0) {
        const auto column = static_cast<std::size_t>(layout_.volume);
        volume = empty_[column] != 0 ? 0.0 : values_[column];
    }
    for (std::size_t k = 0; k < layout_.extras.size(); ++k) {
        const std::size_t column = layout_.extras[k];
        sink.extras[k].push_back(empty_[column] != 0 ? std::numeric_limits<double>::quiet_NaN()
                                                     : values_[column]);
    }
    sink.bars.push_back(Bar{timestamp, prices[0], prices[1], prices[2], prices[3], volume});
    sink.lines.push_back(line);
    if (layout_.mark_local) {
        sink.local.push_back(parts.epoch ? 0 : 1);
    }
    return stop + 1;
}

}  // namespace cw::ingest::rows
