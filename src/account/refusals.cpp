// The words of each refusal.
#include "account/refusals.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <tuple>

#include "ingest/times.hpp"

namespace cw {
namespace {

// Epoch seconds from 1970 to 2100 are shown as dates; other units' times as the numbers they are.
constexpr std::int64_t k_last_date = 4'102'444'800;

std::string time_shown(std::int64_t timestamp) {
    if (timestamp >= 0 && timestamp < k_last_date) {
        return ingest::format_time(timestamp);
    }
    return "time " + std::to_string(timestamp);
}

}  // namespace

std::string shown(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    // The shortest digits that read back, laid out as repr lays them out: positionally for
    // exponents from -4 to 15, with ".0" on a whole number; else as d.ddde+XX.
    std::array<char, 32> text{};
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value,
                                   std::chars_format::scientific)
                         .ptr;
    const std::string sci(text.data(), end);
    const std::size_t e = sci.find('e');
    const int exponent = std::stoi(sci.substr(e + 1));
    const bool negative = sci[0] == '-';
    std::string digits;
    for (const char c : sci.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    if (exponent < -4 || exponent >= 16) {
        return sci;
    }
    std::string out = negative ? "-" : "";
    if (exponent < 0) {
        out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out += digits + std::string(whole - digits.size(), '0') + ".0";
        } else {
            out += digits.substr(0, whole) + "." + digits.substr(whole);
        }
    }
    return out;
}

namespace refusal {

std::string number(double value, std::string_view name, std::string_view what) {
    return std::string(name) + " must be " + std::string(what) + ", not " + shown(value);
}

std::string outside(double price, const Bar& bar, std::int64_t index) {
    return "price " + shown(price) + " is outside bar " + std::to_string(index) + " (" +
           time_shown(bar.timestamp) + "), which traded from " + shown(bar.low) + " to " +
           shown(bar.high) + ": a fill must be at a price the bar traded";
}

std::string levels(bool is_long, double reference, std::string_view what,
                   std::optional<double> stop_loss, std::optional<double> take_profit) {
    const std::string side = is_long ? "a long" : "a short";
    for (const auto& [level, name, below] :
         {std::tuple{stop_loss, "stop_loss", is_long}, std::tuple{take_profit, "take_profit",
                                                                  !is_long}}) {
        if (on_side(level, reference, below)) {
            continue;
        }
        if (!std::isfinite(*level)) {
            return std::string(name) + " must be a finite price, not " + shown(*level);
        }
        return std::string(name) + " " + shown(*level) + " of " + side + " must be " +
               (below ? "below " : "above ") + std::string(what) + " " + shown(reference);
    }
    return {};
}

}  // namespace refusal

}  // namespace cw
