// Backtest.run: Engine.run's loop on an Account, keeping what the run produced.
#include "account/account_type.hpp"
#include "account/journal_type.hpp"
#include "backtest/backtest_type.hpp"
#include "backtest/history_type.hpp"
#include "binding/once.hpp"
#include "engine/loop.hpp"
#include "stats/stats_type.hpp"

namespace cw {
namespace {

PyObject* interned(OnceCell<PyObject*>& cell, const char* text) {
    return cell.get([text] { return require(PyUnicode_InternFromString(text)).release(); });
}

PyObject* account_name() {
    static OnceCell<PyObject*> name;
    return interned(name, "account");
}

// A strategy class's own next: its `next` answers the plain protocol.
PyObject* next_bar_name() {
    static OnceCell<PyObject*> name;
    return interned(name, "_next_bar");
}

}  // namespace

Ref run_backtest(const Backtest& backtest, Ref strategy, PyObject* clock) {
    const std::vector<Bar>& data = *backtest.data;
    std::vector<double> equity_curve = take_spare(*backtest.curves);
    equity_curve.clear();
    equity_curve.reserve(data.size());

    // A strategy with a clock prepared itself (its views, its indicators) before the run.
    Ref init_result = clock == nullptr ? call_init(data, strategy.get(), true) : Ref();
    Ref account_object = new_account(run_account(backtest));
    auto& account = *reinterpret_cast<AccountObject*>(account_object.get());

    std::uint64_t exposed = 0;
    if (data.empty()) {
        leave_run(account.record.book);
    } else {
        // A strategy that kept the account may trade on it afterwards, outside any bar, however
        // the run ended: the account then knows no bar, and holds none of the backtest's.
        struct LeaveRun {
            Ledger& book;
            ~LeaveRun() { leave_run(book); }
        } leave{account.record.book};
        if (clock == nullptr) {
            exposed = run_bars(std::span<const Bar>(data), strategy.get(), account, equity_curve);
        } else {
            // next() without arguments: the strategy reads the bar through its views, which the
            // clock ends at the bar the run is at.
            require_ok(PyObject_SetAttr(strategy.get(), account_name(), account_object.get()));
            Clock& time = clock_of(clock);
            const Bar* const first = data.data();
            PyObject* const next = next_bar_name();
            PyObject* const target = strategy.get();
            exposed = run_bars_with<Ledger>(std::span<const Bar>(data), account, equity_curve,
                                            [&](const Bar& bar) {
                                                time.now = &bar - first + 1;
                                                call_method(next, target,
                                                            std::array<PyObject*, 0>{});
                                            });
        }
        const Bar& last = data.back();
        ExclusiveStep step(account.access);
        close_all(account.record, last.close, last.timestamp, ExitReason::end);
    }
    if (clock != nullptr) {
        // Let go of the account, so that its journal moves into the result rather than copied.
        require_ok(PyObject_SetAttr(strategy.get(), account_name(), Py_None));
    }
    Stats stats;
    TradeRows rows;
    std::uint64_t refused = 0;
    Guesses guesses;
    {
        SharedStep step(account.access);
        refused = account.record.book.refusals;
        guesses = std::move(account.record.book.guesses);
        account.record.book.guesses = Guesses{};
        stats = compute_stats(account.record, equity_curve);
        // An account nobody else holds gives up its journal; one the strategy kept keeps a copy.
        std::vector<TradeRow>& trades = account.record.trades;
        rows = Py_REFCNT(account_object.get()) == 1
                   ? std::make_shared<const std::vector<TradeRow>>(std::move(trades))
                   : std::make_shared<const std::vector<TradeRow>>(trades);
    }
    account_object.reset();
    init_result.reset();
    strategy.reset();

    Ref stats_object = new_stats(stats);
    Ref trades_object = new_trades(std::move(rows));
    Ref equity_object =
        new_column(owned_column(recycled(std::move(equity_curve), backtest.curves)));
    Ref exposed_object = to_py(exposed);
    Ref refused_object = to_py(refused);
    Ref guesses_object = new_guesses(guesses, backtest.inside != nullptr);
    return require_object(PyTuple_Pack(6, stats_object.get(), trades_object.get(),
                                       equity_object.get(), exposed_object.get(),
                                       refused_object.get(), guesses_object.get()));
}

}  // namespace cw
