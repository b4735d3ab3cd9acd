// A backtest's record: its bars, shared with the columns that view them, and the account every
// run starts from.
#pragma once

#include <memory>
#include <vector>

#include "broker/ledger.hpp"
#include "market/bar.hpp"

namespace cw {

using BarRows = std::shared_ptr<const std::vector<Bar>>;

struct Backtest {
    BarRows data;     // never changed after construction
    Account account;  // template: read by each run, never traded on
};

}  // namespace cw
