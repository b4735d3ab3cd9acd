// The words of each refusal.
#include "account/refusals.hpp"

#include <array>
#include <charconv>
#include <cmath>

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

bool positive(double value) noexcept {
    return value > 0.0 && std::isfinite(value);
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

Refusal check_lots(double lots, std::string_view name) {
    if (positive(lots)) {
        return std::nullopt;
    }
    return std::string(name) + " must be a finite number above 0, not " + shown(lots);
}

Refusal check_price(double price, std::string_view name) {
    if (positive(price)) {
        return std::nullopt;
    }
    return std::string(name) + " must be a finite price above 0, not " + shown(price);
}

Refusal check_in_bar(double price, const Bar& bar, std::int64_t index) {
    if (bar.low <= price && price <= bar.high) {
        return std::nullopt;
    }
    return "price " + shown(price) + " is outside bar " + std::to_string(index) + " (" +
           time_shown(bar.timestamp) + "), which traded from " + shown(bar.low) + " to " +
           shown(bar.high) + ": a fill must be at a price the bar traded";
}

Refusal check_trail(double trail) {
    if (positive(trail)) {
        return std::nullopt;
    }
    return "trail must be a finite distance above 0, not " + shown(trail);
}

Refusal check_levels(bool is_long, double reference, std::string_view what,
                     std::optional<double> stop_loss, std::optional<double> take_profit) {
    const std::string side = is_long ? "a long" : "a short";
    if (stop_loss) {
        if (!std::isfinite(*stop_loss)) {
            return "stop_loss must be a finite price, not " + shown(*stop_loss);
        }
        if (is_long ? !(*stop_loss < reference) : !(*stop_loss > reference)) {
            return "stop_loss " + shown(*stop_loss) + " of " + side + " must be " +
                   (is_long ? "below " : "above ") + std::string(what) + " " + shown(reference);
        }
    }
    if (take_profit) {
        if (!std::isfinite(*take_profit)) {
            return "take_profit must be a finite price, not " + shown(*take_profit);
        }
        if (is_long ? !(*take_profit > reference) : !(*take_profit < reference)) {
            return "take_profit " + shown(*take_profit) + " of " + side + " must be " +
                   (is_long ? "above " : "below ") + std::string(what) + " " + shown(reference);
        }
    }
    return std::nullopt;
}

}  // namespace cw
