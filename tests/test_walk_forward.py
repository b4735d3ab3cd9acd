"""Walk-forward: each window's choice is the sweep's best on its training bars, and the
stitched test windows are the manual runs of the chosen sets."""
import pytest

from candlewright import Backtest, SmaCross, sample_bars, sweep, walk_forward
from candlewright.metrics import infer_periods_per_year

ACCOUNT = dict(initial_cash=10_000.0, commission=7.0, spread=0.0002, contract_size=100_000.0,
               quote_to_account=1.0)
GRID = {"fast": [5, 10, 20], "slow": [40, 80]}


@pytest.fixture(scope="module")
def bars():
    return sample_bars()[:6000]


@pytest.mark.parametrize("spans", [dict(train=2000, test=1000),
                                   dict(train=2000, test=500, step=1000, anchored=True),
                                   dict(train="90d", test="30d")],
                         ids=["bars", "anchored", "time"])
def test_windows_are_the_manual_runs_stitched(bars, spans):
    wf = walk_forward(SmaCross, GRID, bars, maximize="sharpe", **spans, **ACCOUNT,
                      max_workers=2)
    assert wf.windows
    equity, trades, carried = [], 0, ACCOUNT["initial_cash"]
    for window in wf.windows:
        train, test = bars[slice(*window.train)], bars[slice(*window.test)]
        assert window.params == sweep(SmaCross, GRID, train, **ACCOUNT, maximize="sharpe",
                                      max_workers=2).best.params
        run = Backtest(test, *ACCOUNT.values()).run(SmaCross(**window.params))
        assert repr(run.stats) == repr(window.out_of_sample.stats)
        equity += [e + (carried - ACCOUNT["initial_cash"]) for e in run.equity]
        carried, trades = equity[-1], trades + len(run.trades)
    assert wf.equity == equity and len(wf.trades) == trades and wf.final_cash == carried
    tests = [w.test for w in wf.windows]
    assert all(a[1] <= b[0] for a, b in zip(tests, tests[1:])), "test windows never overlap"
    if spans.get("anchored"):
        assert {w.train[0] for w in wf.windows} == {0}
    if spans["test"] == "30d":
        for w in wf.windows:
            assert bars[w.test[1] - 1].timestamp - bars[w.test[0]].timestamp < 30 * 86400


@pytest.mark.parametrize("spans, message", [
    (dict(train=100, test="30d"), "all be bar counts or all be times"),
    (dict(train=0, test=10), "train must be a number of bars >= 1"),
    (dict(train="3 fortnights", test="1d"), "train must be a time such as"),
])
def test_bad_spans(bars, spans, message):
    with pytest.raises(ValueError, match=message):
        walk_forward(SmaCross, GRID, bars, maximize="sharpe", **spans, **ACCOUNT)


def test_account_options_reach_every_run(bars):
    # A per-bar spread sliced with the windows, swaps and margin: the sweep's sets, each window's
    # choice and its test run are the direct runs on the same account.
    spreads = [0.0001 + (i % 7) * 0.00002 for i in range(len(bars))]
    account = dict(ACCOUNT, spread=spreads, quote_to_account="1/close")
    options = dict(swap_long=-6.0, swap_short=1.5, leverage=30.0, gap_fills="open")
    swept = sweep(SmaCross, GRID, bars, **account, **options, max_workers=2)
    for result in swept:
        direct = Backtest(bars, 1e4, 7.0, spreads, 1e5, "1/close", **options).run(
            SmaCross(**result.params))
        assert repr(result.figures["final_cash"]) == repr(direct.stats.final_cash)
        assert result.metrics["swaps"] == direct.metrics["swaps"] != 0
    wf = walk_forward(SmaCross, GRID, bars, train=2000, test=1000, maximize="final_cash",
                      **account, **options, max_workers=2)
    for window in wf.windows:
        start, stop = window.test
        direct = Backtest(bars[start:stop], 1e4, 7.0, spreads[start:stop], 1e5, "1/close",
                          **options).run(SmaCross(**window.params))
        assert repr(window.out_of_sample.stats.final_cash) == repr(direct.stats.final_cash)


@pytest.mark.parametrize("given", [None, 252.0], ids=["inferred", "given"])
def test_every_run_annualises_as_the_whole_series(bars, given):
    # Test windows of Monday to Friday hold no whole week: alone, they would count their bars
    # as if the market never closed.
    bars = bars[:2000]
    whole = infer_periods_per_year(bars.timestamp) if given is None else given
    options = {} if given is None else {"periods_per_year": given}
    wf = walk_forward(SmaCross, GRID, bars, train="28d", test="5d", step="7d",
                      maximize="sharpe", **ACCOUNT, **options, max_workers=2)
    assert len(wf.windows) >= 8
    for window in wf.windows:
        test = bars[slice(*window.test)]
        assert infer_periods_per_year(test.timestamp) == 24 * 365.25
        assert window.out_of_sample.metrics["periods_per_year"] == whole
        assert window.in_sample.metrics["periods_per_year"] == whole
        direct = Backtest(test, *ACCOUNT.values(), periods_per_year=whole).run(
            SmaCross(**window.params))
        for name in ("sharpe", "volatility_ann_pct"):  # NaN and 0.0 for a window with no trade
            assert repr(window.out_of_sample.metrics[name]) == repr(direct.metrics[name])


# --- dates, and the account by keyword ---

@pytest.mark.parametrize("unit, scale", [("s", 1), ("ms", 1000)], ids=["seconds", "millis"])
def test_windows_have_dates(bars, unit, scale):
    pd = pytest.importorskip("pandas")
    bars = bars[:3000]
    if scale != 1:
        data = {"timestamp": [b.timestamp * scale for b in bars],
                **{name: [getattr(b, name) for b in bars]
                   for name in ("open", "high", "low", "close", "volume")}}
        bars = Backtest(data, time_unit=unit).bars()
    wf = walk_forward(SmaCross, GRID, bars, train=1000, test=500, maximize="final_cash",
                      time_unit=unit, max_workers=1)
    table = wf.to_pandas()
    assert len(table) == len(wf.windows) == 4
    for (_, row), w in zip(table.iterrows(), wf.windows):
        assert (row.train_start, row.train_end, row.test_start, row.test_end) == (*w.train,
                                                                                  *w.test)
        for first, last, (start, end) in ((row.train_first, row.train_last, w.train),
                                          (row.test_first, row.test_last, w.test)):
            assert first == pd.Timestamp(bars[start].timestamp // scale, unit="s", tz="UTC")
            assert last == pd.Timestamp(bars[end - 1].timestamp // scale, unit="s", tz="UTC")
        assert w.test_times == (bars[w.test[0]].timestamp, bars[w.test[1] - 1].timestamp)
    assert str(table.train_first.dt.tz) == "UTC"


def test_the_account_by_keyword_equals_account_options(bars):
    options = dict(swap_long=-6.0, leverage=30.0, gap_fills="open")
    spans = dict(train=2000, test=1000, maximize="final_cash", max_workers=2)
    new = walk_forward(SmaCross, GRID, bars, **spans, **options)
    with pytest.warns(DeprecationWarning, match="walk_forward.*account_options is deprecated"):
        old = walk_forward(SmaCross, GRID, bars, **spans, **ACCOUNT, account_options=options)
    assert [w.params for w in new.windows] == [w.params for w in old.windows]
    assert repr(new.equity) == repr(old.equity) and new.windows


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(cash=1e4), TypeError, "(use initial_cash)"),
    (dict(max_worker=2), TypeError, "did you mean max_workers?"),
    (dict(leverage=30.0, account_options={"leverage": 30.0}), TypeError, "both as a keyword"),
], ids=["cash", "sweep option typo", "rule twice"])
def test_walk_forward_keywords_are_checked(bars, kwargs, error, text):
    with pytest.raises(error) as caught:
        walk_forward(SmaCross, GRID, bars, train=2000, test=1000, maximize="sharpe", **kwargs)
    assert text in str(caught.value)
