// libFuzzer target for the bar reader: an input picks one of the layouts real files come in (or
// brings its own time pattern on its first line), the rest is the file's text. Whatever parses
// is then checked, shifted by a zone with clock changes, resampled and printed, so every pure
// step of loading sees the hostile rows.
#include <cstddef>
#include <cstdint>
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

// Europe-like clock changes around 2021, and one far beyond any calendar, so that shifts near
// the ends of the epoch range are exercised too.
ZoneTable zone() {
    return ZoneTable{{0, 1616893200, 1635642000, 4102444800, 9223372036854775000},
                     {3600, 7200, 3600, -36000, 50400}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const Preset& preset = k_presets[data[0] % std::size(k_presets)];
    const std::uint8_t flags = data[1];
    std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

    Layout layout;
    layout.delimiter = preset.delimiter;
    layout.skip_rows = preset.skip_rows;
    layout.finite = (flags & 1U) != 0;
    layout.mark_local = (flags & 2U) != 0;
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
    try {
        parsed = parse_csv(text, layout, quiet);
    } catch (const ParseFailure&) {
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
    std::vector<cw::Bar> shifted = parsed.bars;
    for (cw::Bar& bar : shifted) {
        (void)format_time(bar.timestamp);
        bar.timestamp = shifts.to_utc(bar.timestamp);
        (void)shifts.offset_at(bar.timestamp);
    }
    constexpr std::int64_t k_periods[] = {60, 3600, 86400, 604800};
    try {
        (void)resample(parsed.bars, k_periods[(flags >> 2) % 4], 0, flags & 16U ? shifts : ZoneTable{});
    } catch (const OutOfOrder&) {
    }
    return 0;
}
