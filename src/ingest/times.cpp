// Reading times: one pass over the text, no allocation, no locale.
#include "ingest/times.hpp"

#include <charconv>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

namespace cw::ingest {
namespace {

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Exactly `width` digits at `at`, or between `least` and `width` when fewer stand there.
bool digits(std::string_view text, std::size_t& at, std::size_t least, std::size_t width,
            std::int64_t& out) noexcept {
    std::size_t n = 0;
    std::int64_t value = 0;
    while (n < width && at + n < text.size() && is_digit(text[at + n])) {
        value = value * 10 + (text[at + n] - '0');
        ++n;
    }
    if (n < least) {
        return false;
    }
    at += n;
    out = value;
    return true;
}

template <class Int>
bool field(std::string_view text, std::size_t& at, std::size_t least, std::size_t width,
           Int& out) noexcept {
    std::int64_t value = 0;
    if (!digits(text, at, least, width, value)) {
        return false;
    }
    out = static_cast<Int>(value);
    return true;
}

bool literal(std::string_view text, std::size_t& at, char c) noexcept {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

// Digits after the decimal point: only whether any is other than zero matters.
bool fraction(std::string_view text, std::size_t& at, TimeParts& parts) noexcept {
    const std::size_t first = at;
    while (at < text.size() && is_digit(text[at])) {
        parts.fraction = parts.fraction || text[at] != '0';
        ++at;
    }
    return at > first;
}

// Z, or +HH, +HHMM, +HH:MM (and seconds after them, as ISO allows).
bool offset(std::string_view text, std::size_t& at, TimeParts& parts) noexcept {
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
        parts.offset = 0;
        parts.has_offset = true;
        return true;
    }
    if (at >= text.size() || (text[at] != '+' && text[at] != '-')) {
        return false;
    }
    const std::int64_t sign = text[at] == '-' ? -1 : 1;
    ++at;
    std::int64_t hours = 0;
    std::int64_t minutes = 0;
    std::int64_t seconds = 0;
    if (!digits(text, at, 2, 2, hours)) {
        return false;
    }
    const bool colon = literal(text, at, ':');
    if (digits(text, at, 2, 2, minutes)) {
        const bool more = colon ? literal(text, at, ':') : true;
        if (more && !digits(text, at, 2, 2, seconds) && colon) {
            return false;
        }
    } else if (colon) {
        return false;
    }
    if (hours > 23 || minutes > 59 || seconds > 59) {
        return false;
    }
    parts.offset = sign * ((hours * 60 + minutes) * 60 + seconds);
    parts.has_offset = true;
    return true;
}

bool epoch(std::string_view text, TimeParts& parts, TimeFault& fault) noexcept {
    std::size_t at = text[0] == '+' || text[0] == '-' ? 1 : 0;
    if (at == text.size()) {
        return false;
    }
    for (std::size_t i = at; i < text.size(); ++i) {
        if (!is_digit(text[i])) {
            return false;
        }
    }
    std::int64_t value = 0;
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
    fault = error == std::errc{} && end == text.data() + text.size() ? TimeFault::none
                                                                      : TimeFault::range;
    parts.epoch = value;
    return true;
}

// YYYY-MM-DD, then optionally T or a space, HH[:MM[:SS[.fff]]] and an offset.
TimeFault iso(std::string_view text, TimeParts& parts) noexcept {
    std::size_t at = 0;
    if (!field(text, at, 4, 4, parts.year) || !literal(text, at, '-') ||
        !field(text, at, 2, 2, parts.month) || !literal(text, at, '-') ||
        !field(text, at, 2, 2, parts.day)) {
        return TimeFault::shape;
    }
    if (at < text.size()) {
        const char sep = text[at];
        if (sep != 'T' && sep != 't' && sep != ' ') {
            return TimeFault::shape;
        }
        ++at;
        if (!field(text, at, 2, 2, parts.hour)) {
            return TimeFault::shape;
        }
        if (literal(text, at, ':')) {
            if (!field(text, at, 2, 2, parts.minute)) {
                return TimeFault::shape;
            }
            if (literal(text, at, ':')) {
                if (!field(text, at, 2, 2, parts.second)) {
                    return TimeFault::shape;
                }
                if ((literal(text, at, '.') || literal(text, at, ',')) &&
                    !fraction(text, at, parts)) {
                    return TimeFault::shape;
                }
            }
        }
        if (at < text.size() && !offset(text, at, parts)) {
            return TimeFault::shape;
        }
    }
    return at == text.size() ? TimeFault::none : TimeFault::shape;
}

TimeFault pattern(std::string_view text, const TimePattern& pat, TimeParts& parts) noexcept {
    std::size_t at = 0;
    for (std::size_t i = 0; i < pat.steps.size(); ++i) {
        const char step = pat.steps[i];
        bool ok = true;
        switch (step) {
            case '\0': ok = literal(text, at, pat.steps[++i]); break;
            case 'Y': ok = field(text, at, 4, 4, parts.year); break;
            case 'y':
                ok = field(text, at, 2, 2, parts.year);
                parts.year += parts.year < 69 ? 2000 : 1900;  // as strptime reads %y
                break;
            case 'm': ok = field(text, at, 1, 2, parts.month); break;
            case 'd': ok = field(text, at, 1, 2, parts.day); break;
            case 'H': ok = field(text, at, 1, 2, parts.hour); break;
            case 'M': ok = field(text, at, 1, 2, parts.minute); break;
            case 'S': ok = field(text, at, 1, 2, parts.second); break;
            case 'f': ok = fraction(text, at, parts); break;
            case 'z': ok = offset(text, at, parts); break;
            default: ok = false;
        }
        if (!ok) {
            return TimeFault::shape;
        }
    }
    return at == text.size() ? TimeFault::none : TimeFault::shape;
}

}  // namespace

TimePattern compile_time_pattern(std::string_view format) {
    TimePattern pat;
    pat.automatic = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            pat.steps.push_back('\0');
            pat.steps.push_back(format[i]);
            continue;
        }
        if (++i == format.size()) {
            throw std::invalid_argument("a lone '%' at the end");
        }
        const char directive = format[i];
        if (directive == '%') {
            pat.steps.push_back('\0');
            pat.steps.push_back('%');
        } else if (std::string_view("YymdHMSfz").find(directive) != std::string_view::npos) {
            pat.steps.push_back(directive);
        } else {
            throw std::invalid_argument(std::string("%") + directive +
                                        " is not one of %Y %y %m %d %H %M %S %f %z");
        }
    }
    return pat;
}

TimeFault read_time(std::string_view text, const TimePattern& pat, TimeParts& parts) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return TimeFault::shape;
    }
    if (!pat.automatic) {
        return pattern(text, pat, parts);
    }
    TimeFault fault = TimeFault::none;
    if (epoch(text, parts, fault)) {
        return fault;
    }
    return iso(text, parts);
}

std::int64_t days_from_civil(std::int64_t year, int month, int day) noexcept {
    // Howard Hinnant's algorithm: days since 1970-01-01 in the proleptic Gregorian calendar.
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yoe = year - era * 400;
    const std::int64_t mp = (month + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool date_in_range(const TimeParts& parts) noexcept {
    static constexpr int k_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const std::int64_t y = parts.year;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return y >= 1 && y <= 9999 && parts.month >= 1 && parts.month <= 12 && parts.day >= 1 &&
           parts.day <= k_days[parts.month - 1] && (parts.month != 2 || parts.day != 29 || leap);
}

std::optional<std::int64_t> epoch_seconds(const TimeParts& parts) noexcept {
    if (parts.epoch) {
        return parts.epoch;
    }
    if (parts.fraction || !date_in_range(parts) || parts.hour > 23 || parts.minute > 59 ||
        parts.second > 59) {
        return std::nullopt;
    }
    const std::int64_t days = days_from_civil(parts.year, parts.month, parts.day);
    return ((days * 24 + parts.hour) * 60 + parts.minute) * 60 + parts.second - parts.offset;
}

std::string format_time(std::int64_t epoch) {
    // Floor division written so that no step leaves int64, down to the earliest second.
    std::int64_t days = epoch / 86400;
    std::int64_t rest = epoch % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    // The inverse of days_from_civil; |days| < 2^47, so nothing below overflows.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[160];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

}  // namespace cw::ingest
