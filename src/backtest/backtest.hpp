// A backtest's record: its bars, shared with the columns that view them, and the account every
// run starts from.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "broker/ledger.hpp"
#include "market/bar.hpp"

namespace cw {

// The storage of an equity curve whose column is gone, kept for the backtest's next run: a curve
// of a million bars is 8 MB, which fresh from the system costs thousands of page faults a run.
struct CurveStore {
    std::mutex mutex;
    std::vector<double> spare;
};

struct Backtest {
    BarRows data;     // never changed after construction
    Account account;  // template: read by each run, never traded on
    std::shared_ptr<CurveStore> curves;
};

}  // namespace cw
