// Bars from delimited text: the rows of a file already sniffed into a layout (which field holds
// what, how times are written), read whole, in pieces as they arrive, or split over threads.
// Pure C++.
#pragma once

#include <cstdint>
#include <memory>
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
    char decimal = '.';                // ',' for European spreadsheets' 1,0716
    char line_end = '\n';              // '\r' for files with old Mac line ends
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

// No row of bars is this long: a longer one is refused rather than held (an unclosed double
// quote, or a file that is not text), so a piece's carried row stays small.
inline constexpr std::size_t k_longest_row = std::size_t{1} << 20;

enum class RowFault : std::uint8_t { fields, number, time_shape, time_range, long_row };

// The first row that could not be read; `column` is the field's index (for `fields`, the
// number of fields the row has; for `long_row`, 0, and `line` is where the row starts).
struct ParseFailure {
    std::int64_t line;
    std::size_t column;
    RowFault fault;
    std::string found;
};

// Called every few thousand rows (blank ones too), so a long read can be interrupted; with
// threads, called on the calling thread every few milliseconds while it waits.
class Progress {
public:
    virtual void step() = 0;

protected:
    ~Progress() = default;
};

// Throws ParseFailure.
[[nodiscard]] Parsed parse_csv(std::string_view text, const Layout& layout, Progress& progress);

// The same rows, bars, lines and first failure as the above, the text cut at row ends and the
// pieces read on up to `threads` threads of their own; the calling thread only waits and calls
// `progress`, whose exception stops the threads and is passed on.
[[nodiscard]] Parsed parse_csv(std::string_view text, const Layout& layout, std::size_t threads,
                               Progress& progress);

// A read of a file that failed: the errno it gave.
struct ReadFailure {
    int code;
};

// The rows of the regular file open as `fd`, from byte `start` to its end, read by position in
// pieces (so the text is never held whole) on up to `threads` threads, with the same results as
// the above. Throws ParseFailure and ReadFailure.
[[nodiscard]] Parsed parse_csv_file(int fd, std::uint64_t start, const Layout& layout,
                                    std::size_t threads, Progress& progress);

// Rows fed in pieces of any size, as a decompressor gives them: a row cut at the end of a
// piece is kept until the next one completes it. Throws ParseFailure.
class CsvReader {
public:
    // `expected`: the bytes to come in all, when known, to size the columns once.
    explicit CsvReader(const Layout& layout, std::size_t expected = 0);
    ~CsvReader();
    CsvReader(const CsvReader&) = delete;
    CsvReader& operator=(const CsvReader&) = delete;

    void feed(std::string_view piece, Progress& progress);
    // The last row (which needs no line end) read, and the columns handed over.
    [[nodiscard]] Parsed finish(Progress& progress);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A number as Python's float() reads it (surrounding blanks and a leading '+' allowed; no
// underscores); false when the text is not one. With a decimal comma, "1,5" reads as 1.5 and
// a point is refused.
[[nodiscard]] bool read_number(std::string_view text, double& out, char decimal = '.') noexcept;

}  // namespace cw::ingest
