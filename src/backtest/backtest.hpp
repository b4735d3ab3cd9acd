// A backtest's record: its bars, shared with the columns that view them, the account every run
// starts from, and the values that account takes bar by bar.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "broker/intrabar.hpp"
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
    std::shared_ptr<const BarValues> values;  // null: the account's own spread and rate throughout
    std::shared_ptr<const Intrabar> inside;   // finer data exits are resolved on; null: none
};

// A run's account, fresh from the backtest's: its values, its finer data, and the count of the
// bars the bar rules guess.
[[nodiscard]] Account run_account(const Backtest& backtest);
// The account's run no longer has its values or finer data (the account may outlive them).
void leave_run(Ledger& book) noexcept;

// The storage a finished run left behind, if any; runs may overlap, so each takes it whole.
[[nodiscard]] std::vector<double> take_spare(CurveStore& store);

// The curve as a column's values; once they are gone, the storage goes back to the store, if the
// backtest still exists and the store holds nothing larger.
[[nodiscard]] std::shared_ptr<const std::vector<double>> recycled(
    std::vector<double> curve, const std::shared_ptr<CurveStore>& store);

}  // namespace cw
