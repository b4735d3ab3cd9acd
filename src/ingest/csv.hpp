// Bars from delimited text: the rows of a file already sniffed into a layout (which field holds
// what, how times are written). Pure C++.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ingest/times.hpp"
#include "market/bar.hpp"

namespace cw::ingest {

struct TimeField {
    std::size_t column;
    TimePattern pattern;
};

struct Layout {
    char delimiter = ',';
    std::size_t skip_rows = 0;         // header rows, not counting blank lines
    std::vector<TimeField> times;      // one field, or a date field then a time-of-day field
    std::size_t prices[4] = {1, 2, 3, 4};  // open, high, low, close
    std::ptrdiff_t volume = -1;        // -1: none, 0.0 throughout
    std::vector<std::size_t> extras;   // more numeric fields kept as columns
    bool finite = true;                // a price or volume NaN or infinite is unreadable
    bool mark_local = false;           // note which times are wall-clock ones, without offset
};

struct Parsed {
    std::vector<Bar> bars;
    std::vector<std::int64_t> lines;  // the file line each bar starts on, from 1
    std::vector<std::vector<double>> extras;
    std::vector<std::uint8_t> local;  // with mark_local: 1 where the time named no offset
};

enum class RowFault : std::uint8_t { fields, number, time_shape, time_range };

// The first row that could not be read; `column` is the field's index (for `fields`, the
// number of fields the row has).
struct ParseFailure {
    std::int64_t line;
    std::size_t column;
    RowFault fault;
    std::string found;
};

// Called every few thousand rows, so a long read can be interrupted.
class Progress {
public:
    virtual void step() = 0;

protected:
    ~Progress() = default;
};

// Throws ParseFailure.
[[nodiscard]] Parsed parse_csv(std::string_view text, const Layout& layout, Progress& progress);

// A number as Python's float() reads it (surrounding blanks and a leading '+' allowed; no
// underscores); false when the text is not one.
[[nodiscard]] bool read_number(std::string_view text, double& out) noexcept;

}  // namespace cw::ingest
