// Loaded bars: the rows, shared with the columns that view them, and the extra numeric columns
// a file carried (a spread, a second volume), one value per row.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "market/bar.hpp"

namespace cw {

using Values = std::shared_ptr<const std::vector<double>>;

struct ExtraColumn {
    std::string name;
    Values values;
};

struct BarSeries {
    BarRows rows;
    std::vector<ExtraColumn> extras;
    BarRows whole;  // the series a run of consecutive bars was cut from; null if not a cut
};

}  // namespace cw
