// Ticks from delimited text: rows of a time, a bid, an ask and maybe volumes, in the layouts tick
// data comes in, read in pieces as they arrive into the growing columns. Pure C++.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ingest/csv.hpp"
#include "ingest/ticks.hpp"

namespace cw::ingest {

// How a tick file writes its times.
enum class TickClock : std::uint8_t {
    compact,  // 20170102 000000600: YYYYMMDD HHMMSS and the milliseconds, no marks
    dotted,   // 02.01.2017 00:00:00.600, maybe " GMT+0200" after it
    packed,   // 20170102 00:00:00.600
    iso,      // 2017-01-02 00:00:00.600, T or a space, then Z or an offset if any
    epoch,    // an integer count of `epoch_per_second` units
};

struct TickLayout {
    char delimiter = ',';
    std::size_t skip_rows = 0;       // header rows, not counting blank lines
    std::size_t time = 0;
    TickClock clock = TickClock::iso;
    std::int64_t epoch_per_second = 1;  // for TickClock::epoch
    std::int64_t shift = 0;          // seconds added to a wall-clock time to make it UTC
    std::size_t bid = 1;
    std::size_t ask = 2;
    std::ptrdiff_t bid_volume = -1;  // -1: none
    std::ptrdiff_t ask_volume = -1;  // may be the same field as bid_volume
    std::int64_t per_second = 1'000'000'000;  // units of the times kept
};

enum class TickFault : std::uint8_t {
    fields,      // too few fields
    number,      // not a number
    time_shape,  // not a time of the layout's shape
    time_range,  // a field out of bounds, or beyond 64-bit times in the unit
    time_fine,   // a fraction finer than the unit kept
    price,       // NaN, infinite, zero or negative
    volume,      // NaN, infinite or negative
    crossed,     // ask below bid
    order,       // before the previous tick's time
    long_row,
};

// The first row refused: `column` is the field's index (for `fields`, the number the row has).
struct TickFailure {
    std::int64_t line;
    std::size_t column;
    TickFault fault;
    std::string found;
};

// Rows fed in pieces of any size: a row cut at the end of a piece is kept until the next one
// completes it. Throws TickFailure.
class TickReader {
public:
    // `expected`: the ticks to come, when they can be guessed, to size the columns once.
    explicit TickReader(const TickLayout& layout, std::size_t expected = 0);
    ~TickReader();
    TickReader(const TickReader&) = delete;
    TickReader& operator=(const TickReader&) = delete;

    void feed(std::string_view piece, Progress& progress);
    // The last row (which needs no line end) read, and the columns handed over.
    [[nodiscard]] std::shared_ptr<const TickStore> finish(Progress& progress);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace cw::ingest
