"""Sweeps and walk-forward over a portfolio: the same figures in this process, on a process
pool and on a Dask cluster, and walk-forward windows that are the portfolio cut by time."""
import bisect
import concurrent.futures as cf
import multiprocessing
import pickle

import pytest

from candlewright import Instrument, Portfolio, PortfolioResult, sample_bars, sweep, walk_forward
from candlewright.sweeps import FIGURES, expand_grid

GRID = {"lookback": [3, 12], "lots": [0.1, 0.3]}


class TwoPairs:
    """Long each pair whose close is above its close `lookback` bars back, short otherwise."""

    def __init__(self, lookback=5, lots=0.1):
        self.lookback, self.lots, self.closes = lookback, lots, {}

    def next(self, step, account):
        for symbol, bar in step.items():
            seen = self.closes.setdefault(symbol, [])
            seen.append(bar.close)
            if len(seen) <= self.lookback:
                continue
            rising = bar.close > seen[-1 - self.lookback]
            held = account[symbol].positions
            if held and held[0].is_long != rising:
                account[symbol].close_all()
                held = ()
            if not held:
                (account.buy if rising else account.sell)(symbol, self.lots)


@pytest.fixture(scope="module")
def portfolio():
    return Portfolio({"EURUSD": sample_bars()[:2500], "USDJPY": sample_bars("USDJPY")[:2500]},
                     initial_cash=50_000.0, commission=5.0, leverage=100.0)


def figures(results):
    # repr keeps every bit of a float, and NaN equal to NaN.
    return repr([(r.params, r.figures, r.metrics, r.score, r.error) for r in results])


def one_by_one(portfolio, sets, maximize="sharpe"):
    out = []
    for params in sets:
        result = portfolio.run(TwoPairs(**params))
        out.append((params, dict(zip(FIGURES, (getattr(result.stats, n) for n in FIGURES))),
                    result.metrics, float(result.metrics[maximize]), None))
    return repr(out)


def same_run(a, b):
    assert repr(a.stats) == repr(b.stats)
    assert list(a.equity) == list(b.equity)
    assert a.trade_symbols == b.trade_symbols
    assert list(a.trades.pnl) == list(b.trades.pnl)


@pytest.mark.parametrize("where", ["one worker", "two processes", "spawned pool"])
def test_a_portfolio_sweep_equals_its_sets_run_one_by_one(portfolio, where):
    executor = {"one worker": None, "two processes": None,
                "spawned pool": cf.ProcessPoolExecutor(
                    2, mp_context=multiprocessing.get_context("spawn"))}[where]
    kwargs = {"max_workers": 1} if where == "one worker" else (
        {"max_workers": 2} if executor is None else {"executor": executor})
    try:
        results = sweep(TwoPairs, GRID, portfolio, maximize="sharpe", **kwargs)
    finally:
        if executor is not None:
            executor.shutdown()
    assert figures(results) == one_by_one(portfolio, expand_grid(GRID))
    assert all(r.figures["num_trades"] > 0 for r in results)
    best = results.best_result
    assert isinstance(best, PortfolioResult)
    same_run(best, portfolio.run(TwoPairs(**results.best.params)))


def test_dask_cluster_gives_the_same_figures(portfolio):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        results = sweep(TwoPairs, GRID, portfolio, maximize="sharpe",
                        executor=client.get_executor())
    assert figures(results) == one_by_one(portfolio, expand_grid(GRID))


def test_a_pickled_portfolio_runs_the_same(portfolio):
    # A spread per bar given as a list, and an instrument with its own figures, travel too.
    eurusd = sample_bars()[:800]
    spreads = [0.0001 + (i % 7) * 0.00001 for i in range(len(eurusd))]
    own = Portfolio({Instrument("EURUSD", spread=spreads): eurusd,
                     Instrument("USDJPY", commission=3.0): sample_bars("USDJPY")[:800]},
                    initial_cash=20_000.0, stop_out=30.0, leverage=50.0)
    for original in (portfolio, own):
        copy = pickle.loads(pickle.dumps(original))
        assert copy.symbols == original.symbols and len(copy) == len(original)
        same_run(copy.run(TwoPairs()), original.run(TwoPairs()))
    # Each instrument's bars go once: the pickle is about the size of their columns.
    columns = sum(len(bt) * 6 * 8 for bt in portfolio.members.values())
    assert len(pickle.dumps(portfolio)) < 1.2 * columns


def test_between_cuts_every_instrument_to_the_same_times(portfolio):
    times = list(portfolio.timestamp)
    start, end = times[400], times[1700]
    cut = portfolio.between(start, end)
    by_hand = {}
    for symbol in ("EURUSD", "USDJPY"):
        bars = sample_bars(symbol)[:2500]
        stamps = list(bars.timestamp)
        by_hand[symbol] = bars[bisect.bisect_left(stamps, start):bisect.bisect_left(stamps, end)]
    direct = Portfolio(by_hand, initial_cash=50_000.0, commission=5.0, leverage=100.0,
                       periods_per_year=portfolio.periods_per_year)
    assert list(cut.timestamp) == [t for t in times if start <= t < end]
    same_run(cut.run(TwoPairs()), direct.run(TwoPairs()))


def test_an_instrument_without_bars_in_the_range_stays_and_never_trades():
    eurusd, usdjpy = sample_bars()[:600], sample_bars("USDJPY")[:300]
    portfolio = Portfolio({"EURUSD": eurusd, "USDJPY": usdjpy})
    after = portfolio.between(usdjpy.timestamp[-1] + 1, eurusd.timestamp[-1] + 1)
    assert after.symbols == ("EURUSD", "USDJPY") and len(after.members["USDJPY"]) == 0
    result = after.run(TwoPairs())
    assert set(result.trade_symbols) == {"EURUSD"}


@pytest.mark.parametrize("spans", [
    pytest.param(dict(train=900, test=400), id="steps"),
    pytest.param(dict(train="40d", test="20d", anchored=True), id="times-anchored"),
])
def test_walk_forward_windows_are_the_cut_portfolio_run_directly(portfolio, spans):
    walked = walk_forward(TwoPairs, GRID, portfolio, maximize="total_return_pct",
                          max_workers=1, **spans)
    assert len(walked.windows) >= 2
    times = list(portfolio.timestamp)
    stitched = 0
    for w in walked.windows:
        end = times[w.test[1]] if w.test[1] < len(times) else times[-1] + 1
        tested = portfolio.between(times[w.test[0]], end)
        assert len(tested) == w.test[1] - w.test[0]
        same_run(w.out_of_sample, tested.run(TwoPairs(**w.params)))
        trained = portfolio.between(times[w.train[0]], times[w.train[1]])
        chosen = sweep(TwoPairs, GRID, trained, maximize="total_return_pct", max_workers=1)
        assert repr(w.in_sample) == repr(chosen.best)  # NaN metrics equal by their repr
        stitched += len(tested)
    assert len(walked.equity) == len(walked.timestamps) == stitched
    first = walked.windows[0].out_of_sample
    assert walked.equity[:len(first.equity)] == list(first.equity)


@pytest.mark.parametrize("call, kwargs", [
    pytest.param(sweep, dict(initial_cash=10_000.0), id="sweep-cash"),
    pytest.param(sweep, dict(leverage=30.0), id="sweep-rule"),
    pytest.param(walk_forward, dict(commission=1.0, train=900, test=400), id="walk-commission"),
    pytest.param(walk_forward, dict(stop_out=20.0, train=900, test=400), id="walk-rule"),
])
def test_an_account_given_beside_a_portfolio_is_refused(portfolio, call, kwargs):
    with pytest.raises(TypeError, match="on its own account"):
        call(TwoPairs, GRID, portfolio, maximize="sharpe", **kwargs)
