// A portfolio's one timeline: the union of its instruments' bar times, in order, and at each step
// the instruments that have a bar then. Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "market/bar.hpp"

namespace cw {

struct Timeline {
    std::vector<std::int64_t> times;     // one per step
    std::vector<std::uint32_t> starts;   // step s's instruments are present[starts[s]:starts[s+1]]
    std::vector<std::uint32_t> present;  // instrument numbers, in instrument order within a step
    std::vector<std::vector<std::uint32_t>> steps;  // per instrument, the step of each of its bars

    [[nodiscard]] std::size_t size() const noexcept { return times.size(); }
    [[nodiscard]] std::span<const std::uint32_t> at(std::size_t step) const noexcept {
        return {present.data() + starts[step], present.data() + starts[step + 1]};
    }
};

// Where an instrument's times do not rise: its number and the bar.
struct Unordered {
    std::size_t instrument;
    std::size_t bar;
};

// The timeline of these series, or the first place where one's times do not rise.
[[nodiscard]] std::optional<Unordered> unordered(const std::vector<std::span<const Bar>>& series);
[[nodiscard]] Timeline merge_times(const std::vector<std::span<const Bar>>& series);

}  // namespace cw
