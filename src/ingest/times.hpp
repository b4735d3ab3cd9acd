// Times of day as files write them: an integer epoch, ISO 8601, or a strptime-like pattern
// ("%Y.%m.%d", "%d.%m.%Y %H:%M:%S.%f"). Pure C++.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cw::ingest {

// What a time text states; fields it leaves out keep these values, so a date column and a
// time column can fill one moment between them.
struct TimeParts {
    std::int64_t year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::int64_t offset = 0;  // seconds east of UTC, when the text names its offset
    bool has_offset = false;
    bool fraction = false;    // a fraction of a second other than zero
    std::optional<std::int64_t> epoch;  // an integer epoch, taken as it is
};

struct TimePattern {
    bool automatic = true;  // an integer epoch or ISO 8601; else the steps
    std::vector<char> steps;  // a directive letter after '%', or '\0' then the literal
};

// Throws std::invalid_argument naming the directive it does not know.
[[nodiscard]] TimePattern compile_time_pattern(std::string_view format);

enum class TimeFault : std::uint8_t { none, shape, range };

// Reads `text` (trimmed) into `parts`: shape when it does not match the pattern, range when
// it does but a field is out of bounds.
[[nodiscard]] TimeFault read_time(std::string_view text, const TimePattern& pattern,
                                  TimeParts& parts) noexcept;

// The moment as UTC epoch seconds, or nullopt when a field is out of range or there is a
// fraction of a second (bar times are whole seconds: dropping it could merge two bars).
[[nodiscard]] std::optional<std::int64_t> epoch_seconds(const TimeParts& parts) noexcept;

// Whether the year, month and day name a day of the calendar.
[[nodiscard]] bool date_in_range(const TimeParts& parts) noexcept;

[[nodiscard]] std::int64_t days_from_civil(std::int64_t year, int month, int day) noexcept;

// "YYYY-MM-DD HH:MM:SS" in UTC, for messages and reprs: right for any int64, in the proleptic
// Gregorian calendar (years past 9999 in full, years before 1 as 0 and negative).
[[nodiscard]] std::string format_time(std::int64_t epoch);

}  // namespace cw::ingest
