"""The native passes of the metrics against the Python reference, bit for bit, and sweeps that
keep only the metrics asked for."""

import math
import struct
from array import array

import pytest
from hypothesis import given, settings, strategies as st

import candlewright.result
from candlewright import Backtest, _backtest, sample_bars, sweep
from candlewright.metrics import (INSIDE_METRICS, METRICS, _compute_metrics_python,
                                  _curve_passes, _trade_passes, compute_metrics)
from candlewright.signals import SignalStrategy

np = pytest.importorskip("numpy")

NAN, INF = math.nan, math.inf


def bits(value):
    """A value as the bits that tell it apart: floats by their IEEE bits (any NaN alike),
    everything else by type and value."""
    if isinstance(value, float):
        return "nan" if value != value else struct.pack("<d", value)
    return type(value).__name__, value


def assert_same(got, want):
    assert len(got) == len(want)
    for k, (a, b) in enumerate(zip(got, want)):
        assert bits(a) == bits(b), (k, a, b)


def assert_same_metrics(got, want):
    assert list(got) == list(want)
    for name in want:
        assert bits(got[name]) == bits(want[name]), (name, got[name], want[name])


special = st.sampled_from([NAN, 0.0, -0.0, -1.0, 1e-300, 5e-324, 1e154, 1e300])
amounts = st.floats(-1e6, 1e7, allow_nan=False) | special
positive = st.floats(1.0, 1e7)


@st.composite
def curves(draw):
    """An equity curve: mostly a positive walk, with NaN, zero, negative or huge values mixed
    in, over increasing (or, rarely, arbitrary) timestamps."""
    n = draw(st.integers(0, 60))
    if draw(st.booleans()):
        steps = draw(st.lists(st.floats(-0.05, 0.05), min_size=n, max_size=n))
        equity = list(np.cumprod(1.0 + np.asarray(steps, dtype=float)) * 1000.0) if n else []
        equity = [float(x) for x in equity]
        for i in draw(st.lists(st.integers(0, max(n - 1, 0)), max_size=4)) if n else []:
            equity[i] = draw(special)
    else:
        equity = draw(st.lists(amounts, min_size=n, max_size=n))
    if draw(st.integers(0, 9)) == 0:
        times = sorted(draw(st.lists(st.integers(-2**63, 2**63 - 1), min_size=n, max_size=n)))
    else:
        start = draw(st.integers(0, 2**40))
        gaps = draw(st.lists(st.integers(1, 10**6), min_size=n, max_size=n))
        times = [start + sum(gaps[:i]) for i in range(n)]
    initial = draw(st.sampled_from([1000.0, 0.0, -5.0]) | positive)
    return equity, times, initial


@st.composite
def trade_sets(draw):
    n = draw(st.integers(0, 30))
    column = lambda values: draw(st.lists(values, min_size=n, max_size=n))  # noqa: E731
    pnl = column(st.floats(-500, 500) | st.sampled_from([0.0, -0.0, NAN, 1e300]))
    commission = column(st.sampled_from([0.0, 0.5, 7.0]) | st.floats(0, 10))
    swap = draw(st.sampled_from(["none", "zero", "some"]))
    swaps = [] if swap == "none" else [0.0] * n if swap == "zero" else column(
        st.floats(-5, 5) | st.just(0.0))
    lots = column(st.sampled_from([0.01, 0.1, 1.0]) | st.floats(0.01, 100))
    entry = column(st.integers(0, 2**40))
    exit_ = [e + draw(st.integers(0, 10**6)) for e in entry]
    return dict(pnl=pnl, commission=commission, swap=swaps, lot_size=lots, entry_time=entry,
                exit_time=exit_)


def arguments(equity, times, initial, trades, as_arrays):
    wrap = (lambda xs, t: np.asarray(xs, dtype=t)) if as_arrays else (lambda xs, t: list(xs))
    columns = {k: wrap(v, np.int64 if k.endswith("_time") else float)
               for k, v in trades.items()}
    columns["exit_reason"] = ["stop_out" if i % 3 == 0 else "signal"
                              for i in range(len(trades["pnl"]))]
    final = equity[-1] if equity else initial
    return dict(equity=wrap(equity, float), timestamps=wrap(times, np.int64),
                closes=wrap([1.1] * len(equity), float), initial_cash=initial,
                final_cash=final, max_drawdown_pct=7.5, trades=columns,
                exposure_bars=len(equity) // 2, spread=0.0002, contract_size=100000.0,
                quote_to_account=1.0, time_unit="ms", periods_per_year=None,
                spread_paid=None, orders_refused=1)


@settings(max_examples=400, deadline=None)
@given(curves(), trade_sets(), st.booleans())
def test_every_metric_matches_the_reference(curve, trades, as_arrays):
    equity, times, initial = curve
    want = _compute_metrics_python(**arguments(equity, times, initial, trades, False))
    got = compute_metrics(**arguments(equity, times, initial, trades, as_arrays))
    assert_same_metrics(got, want)


@settings(max_examples=300, deadline=None)
@given(curves(), st.booleans())
def test_curve_pass_matches_the_reference(curve, returns):
    equity, times, initial = curve
    got = _backtest._curve_metrics(array("d", equity), array("q", times), initial, returns)
    want = _curve_passes(equity, times, initial, returns)
    if got is None:
        # Left to Python only where the interpreter's own result cannot be matched.
        assert any(math.isinf(x) for x in want[2:5] + want[5:6]) or \
            any(x in (1e300, 1e154) for x in equity) or \
            any(abs(t) > 2**62 for t in times)
    else:
        assert_same(got, want)


@settings(max_examples=300, deadline=None)
@given(trade_sets(), st.sampled_from([0.0, 40.0, 3.5]))
def test_trade_pass_matches_the_reference(trades, spread_per_lot):
    cols = [trades[k] for k in ("pnl", "commission", "lot_size", "entry_time", "exit_time")]
    got = _backtest._trade_metrics(*(array("d", c) for c in cols[:2]),
                                   array("d", trades["swap"]), array("d", cols[2]),
                                   array("q", cols[3]), array("q", cols[4]), spread_per_lot)
    want = _trade_passes(*cols, trades["swap"], spread_per_lot)
    if got is None:
        assert any(not math.isfinite(x) or abs(x) >= 1e300 for x in trades["pnl"])
    else:
        assert_same(got, want)


# Curves the passes must get exactly right, named for what they exercise.
CURVES = {
    "empty": [],
    "one bar": [1001.0],
    "flat": [1000.0] * 5,
    "NaN among values": [1000.0, NAN, 990.0, NAN, 1010.0, 1005.0],
    "all NaN": [NAN, NAN],
    "wiped out": [1000.0, 500.0, 0.0, -20.0, 10.0],
    "negative zero": [1000.0, -0.0, 5.0],
    "never recovers": [1000.0, 1100.0, 900.0, 950.0, 800.0],
    "tie with the peak": [1000.0, 990.0, 1000.0, 990.0, 1000.0],
    "cancelling returns": [1e6, 1e6 + 1e-7, 1e6, 1e6 + 1e-7, 1e6],
    "overflowing sum": [1e308, 1e308, 1e308, 1e308],
    "infinite": [1000.0, INF, 1000.0],
}


@pytest.mark.parametrize("equity", CURVES.values(), ids=CURVES.keys())
@pytest.mark.parametrize("initial", [1000.0, 0.0, 1e-300])
def test_curves_at_the_edges(equity, initial):
    trades = dict(pnl=[5.0, -0.0, -3.0], commission=[0.5, 0.0, 0.5], swap=[0.0, -0.2, 0.0],
                  lot_size=[1.0, 0.1, 2.0], entry_time=[0, 5, 9], exit_time=[3, 9, 9])
    times = [1_600_000_000_000 + 3_600_000 * i for i in range(len(equity))]
    want = _compute_metrics_python(**arguments(equity, times, initial, trades, False))
    for as_arrays in (False, True):
        assert_same_metrics(compute_metrics(**arguments(equity, times, initial, trades,
                                                        as_arrays)), want)


@pytest.mark.parametrize("pnl", [
    [], [3.0], [-0.0, 0.0], [1e308, 1e308, -1e308], [NAN, 2.0], [2.0, 2.0, 2.0],
    [1.0, -1.0, 0.0, 1.0, 1.0, -2.0, -2.0, -2.0],
], ids=["none", "one", "zeros", "overflowing sum", "NaN", "equal", "runs"])
def test_trades_at_the_edges(pnl):
    n = len(pnl)
    trades = dict(pnl=pnl, commission=[0.0] * n, swap=[], lot_size=[1.0] * n,
                  entry_time=list(range(n)), exit_time=[2 * i for i in range(n)])
    equity = [1000.0, 1010.0, 1005.0]
    times = [0, 3_600_000, 7_200_000]
    want = _compute_metrics_python(**arguments(equity, times, 1000.0, trades, False))
    assert_same_metrics(compute_metrics(**arguments(equity, times, 1000.0, trades, True)), want)


def test_wrong_buffers_are_refused_by_the_pass_and_read_in_python():
    with pytest.raises(TypeError, match="'timestamps' must be a one-dimensional buffer"):
        _backtest._curve_metrics(array("d", [1.0]), array("i", [1]), 1.0, True)
    with pytest.raises(ValueError, match="'timestamps' holds 2 values, not 1"):
        _backtest._curve_metrics(array("d", [1.0]), array("q", [1, 2]), 1.0, True)
    equity, times = [1000.0, 1010.0, 990.0], [0, 3_600_000, 7_200_000]
    trades = dict(pnl=[1.0], commission=[0.0], swap=[], lot_size=[1.0], entry_time=[0],
                  exit_time=[1])
    args = arguments(equity, times, 1000.0, trades, True)
    want = compute_metrics(**args)
    args["equity"] = np.asarray(equity, dtype=np.float32).astype(np.float64)[::-1][::-1]
    args["timestamps"] = np.asarray(times, dtype=np.int32)
    args["trades"] = {**args["trades"], "pnl": (1.0,)}
    assert_same_metrics(compute_metrics(**args), want)


@pytest.mark.parametrize("equity", [
    None, 1.0, b"12345678", np.zeros((2, 2)), np.zeros(2, dtype=np.float32), [1.0, 2.0],
], ids=["None", "float", "bytes", "2-D", "float32", "list"])
def test_the_curve_pass_refuses_what_is_no_column_of_floats(equity):
    with pytest.raises(TypeError, match="'equity' must be a one-dimensional buffer of float64"):
        _backtest._curve_metrics(equity, np.zeros(2, dtype=np.int64), 1.0, True)


def test_the_passes_read_strided_columns_where_they_lie():
    equity = np.array([1000.0, -1.0, 990.0, -1.0, 1010.0, -1.0, 1005.0])[::2]
    times = np.arange(8, dtype=np.int64)[::2] * 60
    assert_same(_backtest._curve_metrics(equity, times, 1000.0, True),
                _curve_passes(equity.tolist(), times.tolist(), 1000.0, True))
    pnl, lots = np.array([3.0, 0.0, -1.0, 0.0])[::2], np.ones(2)
    ends = np.array([5, 0, 9, 0], dtype=np.int64)[::2]
    assert_same(_backtest._trade_metrics(pnl, np.zeros(2), np.zeros(0), lots,
                                         np.zeros(2, dtype=np.int64), ends, 2.0),
                _trade_passes(pnl.tolist(), [0.0, 0.0], [1.0, 1.0], [0, 0], ends.tolist(), [],
                              2.0))


def signal_run(bars, bt):
    close = np.asarray(bars.close)
    fast = np.convolve(close, np.ones(8) / 8, "same")
    slow = np.convolve(close, np.ones(30) / 30, "same")
    above = fast > slow
    return bt.run_signals(above & ~np.roll(above, 1), stop_loss=0.002, take_profit=0.003)


def test_a_run_matches_the_reference(monkeypatch):
    bars = sample_bars()
    bt = Backtest(bars)
    got = signal_run(bars, bt).metrics
    monkeypatch.setattr(candlewright.result, "_metrics_of",
                        lambda wanted, **kw: _compute_metrics_python(**kw))
    want = signal_run(bars, bt).metrics
    assert got["num_trades"] > 10
    assert_same_metrics(got, want)


SWEPT = sample_bars()[:3000]


def crossing(fast, slow):
    close = np.asarray(SWEPT.close)
    above = np.convolve(close, np.ones(fast) / fast, "same") > \
        np.convolve(close, np.ones(slow) / slow, "same")
    return SignalStrategy(above & ~np.roll(above, 1), ~above & np.roll(above, 1), lots=0.05)


@pytest.mark.parametrize("asked, kept", [
    (None, (*METRICS, *INSIDE_METRICS)),
    ((), ("sharpe",)),
    (["num_trades", "avg_drawdown_pct"], ("sharpe", "avg_drawdown_pct", "num_trades")),
    (["ambiguous_bars"], ("sharpe", "ambiguous_bars")),
], ids=["all", "score only", "some", "inside"])
def test_a_sweep_keeps_the_metrics_asked_for(asked, kept):
    grid = {"fast": [5, 8], "slow": [20, 40]}
    full = sweep(crossing, grid, SWEPT, maximize="sharpe", progress=False)
    some = sweep(crossing, grid, SWEPT, maximize="sharpe", progress=False, metrics=asked)
    for a, b in zip(full, some):
        assert set(b.metrics) == set(kept)
        assert bits(b.score) == bits(a.score)
        assert_same_metrics(b.metrics, {k: v for k, v in a.metrics.items() if k in kept})


@pytest.mark.parametrize("asked, error, message", [
    ("sharpe", TypeError, "a list of names"),
    (["sharpe", "shape"], ValueError, "unknown metrics: 'shape'"),
])
def test_a_sweep_refuses_metrics_it_does_not_know(asked, error, message):
    with pytest.raises(error, match=message):
        sweep(crossing, {"fast": [5], "slow": [20]}, SWEPT, metrics=asked,
              progress=False)
