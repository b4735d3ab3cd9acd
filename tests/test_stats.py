"""Statistics of a run and their text report, observed through Engine.run."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _candlewright
from _candlewright import Bar, Stats

NAN, INF = math.nan, math.inf


def engine(closes, initial_cash):
    # No costs, unit contract and factor: a trade bought at 0 and closed at x has pnl x exactly.
    bars = [Bar(i, c, c, c, c, 0.0) for i, c in enumerate(closes)]
    return _candlewright.Engine(bars, initial_cash, 0.0, 0.0, 1.0, 1.0)


class Trades:  # on bar i, one trade per pnl in script[i], opened and closed at once
    def __init__(self, script):
        self.script = script

    def next(self, bar, broker):
        for pnl in self.script[bar.timestamp]:
            broker.buy(0.0, 1.0, bar.timestamp, None, None)
            broker.close_position(0, pnl, bar.timestamp)


class Hold:  # one lot held from 0 with no cash: every equity point is the bar's close
    def next(self, bar, broker):
        if bar.timestamp == 0:
            broker.buy(0.0, 1.0, 0, None, None)


def run_trades(script, initial_cash=10000.0):
    return engine([1.0] * len(script), initial_cash).run(Trades(script))


def lines(stats):
    return repr(stats).split("\n")


def same(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1, a) == math.copysign(1, b)


def test_class_cannot_be_made_or_extended_from_python():
    with pytest.raises(TypeError):
        Stats()
    with pytest.raises(TypeError):
        class Sub(Stats):
            pass
    assert (Stats.__module__, Stats.__qualname__) == ("builtins", "Stats")
    assert Stats.__text_signature__ is None


def test_report_of_four_trades():
    stats = run_trades([[], [10.0], [-5.0], [20.0], [-10.0]])
    assert repr(stats) == str(stats) == "\n".join([
        "--- Backtest Results ---",
        "Initial Cash:   10000.00",
        "Final Cash:     10015.00",
        "Total Return:   0.15%",
        "Trades:         4",
        "Win Rate:       50.0%",
        "Avg PnL:        3.75000",
        "Best Trade:     20.00000",
        "Worst Trade:    -10.00000",
        "Profit Factor:  2.00",
        "Max Drawdown:   0.10%",
    ])
    assert (stats.num_wins, stats.avg_pnl, stats.profit_factor) == (2, 3.75, 2.0)


@pytest.mark.parametrize("closes", [[], [5.0, 5.0, 7.0]], ids=["no-bars", "rising"])
def test_run_without_trades(closes):
    stats = engine(closes, 1000.0).run(Trades([[]] * len(closes)))
    assert lines(stats)[4:] == [
        "Trades:         0", "Win Rate:       0.0%", "Avg PnL:        0.00000",
        "Best Trade:     0.00000", "Worst Trade:    0.00000", "Profit Factor:  inf",
        "Max Drawdown:   0.00%",
    ]


@pytest.mark.parametrize("cash, pnls, name, value, line", [
    (10.0, [-1.0, -2.0], "profit_factor", -0.0, "Profit Factor:  -0.00"),
    (10.0, [1.0, 0.0, -0.0], "num_wins", 1, "Profit Factor:  inf"),
    # Running totals in list order: each 1.0 vanishes into 1e16 (any other grouping keeps 2.0).
    (10.0, [1e16, 1.0, 1.0, -1.0], "profit_factor", 1e16, "Profit Factor:  10000000000000000.00"),
    (10.0, [10.0, NAN, -5.0], "avg_pnl", NAN, "Avg PnL:        NaN"),
    (10.0, [10.0, NAN, -5.0], "num_wins", 1, "Worst Trade:    -5.00000"),
    (10.0, [NAN, NAN], "best_trade", -INF, "Best Trade:     -inf"),
    (10.0, [NAN, NAN], "worst_trade", INF, "Worst Trade:    inf"),
    (10.0, [1.0, 1.0, -1.0], "win_rate_pct", 66.66666666666666, "Win Rate:       66.7%"),
    (3.0, [1.0], "total_return_pct", 33.33333333333333, "Total Return:   33.33%"),
], ids=["losses-only", "no-losses", "list-order", "nan-avg", "nan-ignored", "nan-best",
        "nan-worst", "two-thirds", "return-third"])
def test_figure_and_its_line(cash, pnls, name, value, line):
    stats = run_trades([pnls], cash)
    assert same(getattr(stats, name), value)
    assert line in lines(stats)


@pytest.mark.parametrize("closes, drawdown", [
    ([100.0, 120.0, 90.0, 130.0, 65.0], 50.0),
    ([100.0, -50.0], 150.0),
    ([0.0, -5.0, -1.0], 0.0),
    ([100.0, NAN, 50.0, 120.0], 50.0),
], ids=["deepest", "below-zero", "never-positive", "nan-skipped"])
def test_max_drawdown(closes, drawdown):
    stats = engine(closes, 0.0).run(Hold())
    assert same(stats.max_drawdown_pct, drawdown)
    assert lines(stats)[-1] == f"Max Drawdown:   {drawdown:.2f}%"


@pytest.mark.parametrize("name", [
    "initial_cash", "final_cash", "total_return_pct", "num_trades", "num_wins", "win_rate_pct",
    "avg_pnl", "best_trade", "worst_trade", "profit_factor", "max_drawdown_pct"])
def test_figures_are_read_only(name):
    stats = run_trades([[10.0, -5.0]])
    before = getattr(stats, name)
    assert type(before) is (int if name.startswith("num_") else float)
    with pytest.raises(AttributeError):
        setattr(stats, name, 1)
    with pytest.raises(AttributeError):
        delattr(stats, name)
    assert getattr(stats, name) == before


@pytest.mark.parametrize("x", [-0.0, -0.001, 2.675, 1.005, 0.125, 0.375, 0.015625, 1e20, 5e-324,
                               -1.7976931348623157e308, NAN, -NAN, INF, -INF])
def test_fixed_point_edges(x):
    check_fixed_point(x)


@given(st.floats())
def test_fixed_point_is_exact_decimal_rounding(x):
    check_fixed_point(x)


def check_fixed_point(x):
    # Python's own fixed-point text, except NaN; the cash and a lone trade's average carry x as is.
    def fixed(decimals):
        return "NaN" if math.isnan(x) else format(x, f".{decimals}f")
    report = lines(run_trades([[x]], initial_cash=x))
    assert (report[1], report[6]) == ("Initial Cash:   " + fixed(2), "Avg PnL:        " + fixed(5))


def _drawdown_every_bar(curve):
    # The drawdown as defined: the fall from the running positive peak, divided at every bar.
    peak, drawdown = -math.inf, 0.0
    for e in curve:
        if e > peak:
            peak = e
        if peak > 0.0 and peak - e > 0.0:
            drawdown = max(drawdown, ((peak - e) / peak) * 100.0)
    return drawdown


@settings(max_examples=30, deadline=None)
@given(seed=st.integers(0, 2**31), cash=st.sampled_from([50.0, 1_000.0, 1e6]))
def test_max_drawdown_divides_only_where_it_can_grow(seed, cash):
    import numpy as np
    from candlewright import Backtest

    rng = np.random.default_rng(seed)
    close = 1.0 + np.cumsum(rng.normal(0.0, 1e-3, 600))
    data = {"timestamp": np.arange(600), "open": close, "high": close + 1e-3,
            "low": close - 1e-3, "close": close}
    result = Backtest(data, cash, 1.0, 1e-4, 10_000.0, 1.0).run_signals(
        rng.choice([-1, 0, 1], 600, p=[0.05, 0.9, 0.05]), side="both", lots=2.0)
    assert same(result.stats.max_drawdown_pct, _drawdown_every_bar(list(result.equity)))
