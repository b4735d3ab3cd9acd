// libFuzzer target for the bar reader: an input picks one of the layouts real files come in (or
// brings its own time pattern on its first line), the rest is the file's text. The text is read
// whole and again in pieces cut where the input says, as a decompressor hands them over: both
// must give the same bars or the same first failure. Whatever parses is then checked, shifted by
// a zone with clock changes, resampled and printed, so every pure step of loading sees the
// hostile rows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ingest/checks.hpp"
#include "ingest/csv.hpp"
#include "ingest/resample.hpp"
#include "ingest/times.hpp"

namespace {

using namespace cw::ingest;

struct Preset {
    char delimiter;
    std::size_t skip_rows;
    const char* date;  // nullptr: an epoch or ISO 8601
    const char* time_of_day;  // a second field, or nullptr
    std::size_t first_price;
    std::ptrdiff_t volume;
    std::vector<std::size_t> extras;
};

// MT4-style, MT5 export, HistData, Dukascopy (with and without its offset), ISO with a header,
// a yfinance-like file with an extra column, integer epochs, a file with its own pattern.
const Preset k_presets[] = {
    {',', 0, "%Y.%m.%d", "%H:%M", 2, 6, {}},
    {'\t', 1, "%Y.%m.%d", "%H:%M:%S", 2, 6, {7, 8}},
    {';', 0, "%Y%m%d %H%M%S", nullptr, 1, 5, {}},
    {',', 1, "%d.%m.%Y %H:%M:%S.%f", nullptr, 1, 5, {}},
    {',', 1, "%d.%m.%Y %H:%M:%S.%f GMT%z", nullptr, 1, 5, {}},
    {',', 1, nullptr, nullptr, 1, 5, {}},
    {',', 1, nullptr, nullptr, 1, 6, {5}},
    {',', 0, nullptr, nullptr, 1, -1, {}},
    {'|', 0, "", nullptr, 1, 5, {6}},  // the pattern is the input's first line
};

class Quiet final : public Progress {
public:
    void step() override {}
};

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same(const Parsed& a, const Parsed& b) {
    if (a.bars.size() != b.bars.size() || a.lines != b.lines || a.local != b.local ||
        a.extras.size() != b.extras.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.bars.size(); ++i) {
        const cw::Bar& x = a.bars[i];
        const cw::Bar& y = b.bars[i];
        if (x.timestamp != y.timestamp || !same_bits(x.open, y.open) ||
            !same_bits(x.high, y.high) || !same_bits(x.low, y.low) ||
            !same_bits(x.close, y.close) || !same_bits(x.volume, y.volume)) {
            return false;
        }
    }
    for (std::size_t k = 0; k < a.extras.size(); ++k) {
        if (a.extras[k].size() != b.extras[k].size()) {
            return false;
        }
        for (std::size_t i = 0; i < a.extras[k].size(); ++i) {
            if (!same_bits(a.extras[k][i], b.extras[k][i])) {
                return false;
            }
        }
    }
    return true;
}

bool same(const ParseFailure& a, const ParseFailure& b) {
    return a.line == b.line && a.column == b.column && a.fault == b.fault && a.found == b.found;
}

// The text fed in pieces whose lengths follow the cut byte (1 to 64 bytes, a different length
// for each piece), as the streaming reader takes a decompressor's output.
Parsed read_in_pieces(std::string_view text, const Layout& layout, std::uint8_t cut,
                      Progress& progress) {
    CsvReader reader(layout);
    std::size_t at = 0;
    for (unsigned step = cut; at < text.size(); step = step * 33U + 7U) {
        const std::size_t length = std::min<std::size_t>(1 + step % 64U, text.size() - at);
        reader.feed(text.substr(at, length), progress);
        at += length;
    }
    return reader.finish(progress);
}

// Europe-like clock changes around 2021, and one at the farthest start a table may have, so that
// shifts near the ends of the epoch range are exercised too.
ZoneTable zone() {
    return ZoneTable{{0, 1616893200, 1635642000, 4102444800, ZoneTable::k_start_limit - 1},
                     {3600, 7200, 3600, -36000, 50400}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const Preset& preset = k_presets[data[0] % std::size(k_presets)];
    const std::uint8_t flags = data[1];
    const std::uint8_t cut = data[2];
    std::string_view text(reinterpret_cast<const char*>(data) + 3, size - 3);

    Layout layout;
    layout.delimiter = preset.delimiter;
    layout.skip_rows = preset.skip_rows;
    layout.finite = (flags & 1U) != 0;
    layout.mark_local = (flags & 2U) != 0;
    layout.decimal = (flags & 32U) != 0 && preset.delimiter != ',' ? ',' : '.';
    layout.line_end = (flags & 64U) != 0 ? '\r' : '\n';
    try {
        if (preset.date == nullptr) {
            layout.times.push_back({0, {}});
        } else if (*preset.date == '\0') {
            const std::size_t end = text.find('\n');
            if (end == std::string_view::npos) {
                return 0;
            }
            layout.times.push_back({0, compile_time_pattern(text.substr(0, end))});
            text.remove_prefix(end + 1);
        } else {
            layout.times.push_back({0, compile_time_pattern(preset.date)});
            if (preset.time_of_day != nullptr) {
                layout.times.push_back({1, compile_time_pattern(preset.time_of_day)});
            }
        }
    } catch (const std::invalid_argument&) {
        return 0;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        layout.prices[i] = preset.first_price + i;
    }
    layout.volume = preset.volume;
    layout.extras = preset.extras;

    Quiet quiet;
    Parsed parsed;
    std::optional<ParseFailure> failed;
    try {
        parsed = parse_csv(text, layout, quiet);
    } catch (const ParseFailure& failure) {
        failed = failure;
    }
    try {
        const Parsed pieces = read_in_pieces(text, layout, cut, quiet);
        if (failed || !same(parsed, pieces)) {
            __builtin_trap();
        }
    } catch (const ParseFailure& failure) {
        if (!failed || !same(*failed, failure)) {
            __builtin_trap();
        }
    }
    if (failed) {
        return 0;
    }
    if (parsed.lines.size() != parsed.bars.size()) {
        __builtin_trap();
    }
    for (const auto& column : parsed.extras) {
        if (column.size() != parsed.bars.size()) {
            __builtin_trap();
        }
    }
    (void)check_bars(parsed.bars);
    const ZoneTable shifts = zone();
    if (zone_fault(shifts) != nullptr) {
        __builtin_trap();
    }
    std::vector<cw::Bar> shifted = parsed.bars;
    for (cw::Bar& bar : shifted) {
        (void)format_time(bar.timestamp);
        // A shift past either end of the epoch range is refused, not wrapped.
        const std::optional<std::int64_t> utc = shifts.to_utc(bar.timestamp);
        bar.timestamp = utc.value_or(bar.timestamp);
        (void)shifts.offset_at(bar.timestamp);
    }
    constexpr std::int64_t k_periods[] = {60, 3600, 86400, 604800};
    try {
        (void)resample(parsed.bars, k_periods[(flags >> 2) % 4], 0, flags & 16U ? shifts : ZoneTable{});
    } catch (const OutOfOrder&) {
    } catch (const OutOfRange&) {
    }
    return 0;
}
