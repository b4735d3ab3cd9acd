// The account a run of a backtest starts from.
#include "backtest/backtest.hpp"

namespace cw {

Account run_account(const Backtest& backtest) {
    const Account& params = backtest.account;
    Account fresh = make_broker<Ledger>(params.initial_cash, params.commission, params.spread,
                                        params.contract_size, params.quote_to_account);
    fresh.book.rules = params.book.rules;
    fresh.book.use(backtest.values);
    fresh.book.watch = true;
    fresh.book.inside = backtest.inside.get();
    return fresh;
}

void leave_run(Ledger& book) noexcept {
    book.bar = -1;
    book.current = nullptr;
    book.use(nullptr);
    book.inside = nullptr;
    book.watch = false;
}

}  // namespace cw
