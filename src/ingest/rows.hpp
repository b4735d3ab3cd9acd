// What the ways of reading a text share: the columns rows go to, where the reading stands, and
// the loop over a block of rows. Pure C++, private to the reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ingest/csv.hpp"
#include "ingest/segments.hpp"

namespace cw::ingest::rows {

struct Sink {
    Segmented<Bar> bars;
    Segmented<std::int64_t> lines;
    std::vector<Segmented<double>> extras;
    Segmented<std::uint8_t> local;
};

struct Cursor {
    std::int64_t line = 1;      // the line the next row starts on
    std::size_t skipped = 0;    // header rows passed
    std::uint32_t count = 0;    // rows, blank ones too, for the progress calls
};

// Reads the rows of `text` into `sink` and returns the bytes used. Unless `final`, a row whose
// line end is not in `text` is left unread (its start is returned), for more text to complete.
// Throws ParseFailure.
std::size_t read_block(std::string_view text, bool final, const Layout& layout, Cursor& cursor,
                       Sink& sink, Progress& progress);

Parsed hand_over(Sink& sink);

// Below this much read, the rate of rows is too rough a guess to size the columns by.
inline constexpr std::size_t k_sample = std::size_t{256} << 10;

// Room in the columns for the rows of `total` bytes, guessed from those read so far.
void reserve_for(Sink& sink, const Layout& layout, std::size_t read, std::size_t total);

// Rows fed in pieces of any size: a row cut at the end of a piece is kept until the next one
// completes it.
struct Stream {
    explicit Stream(const Layout& layout_) : layout(layout_) {
        sink.extras.resize(layout.extras.size());
    }

    const Layout& layout;
    Cursor cursor;
    Sink sink;
    std::string carry;      // a row cut at the end of the last piece
    std::size_t retry = 0;  // the carried size at which to try the row again
    std::size_t expected = 0;  // the bytes to come in all, when known: the columns are sized once
    std::size_t fed = 0;

    void feed(std::string_view piece, Progress& progress);
    // Reads what is carried as the last row when `final`; false when a row is left unended.
    bool finish(bool final, Progress& progress);
};

}  // namespace cw::ingest::rows
