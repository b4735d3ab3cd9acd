"""Result.to_series(): every figure once, times as UTC Timestamps and Timedeltas in any time unit,
gross and net side by side; and the same net figures as backtesting.py on trades both make."""
import math
import pickle
import random

import pytest

from candlewright import Backtest
from candlewright.metrics import INSIDE_METRICS, METRICS, TIME_UNITS, compute_metrics
from candlewright.result import FIGURES, SERIES, SUMMARY, Result

pd = pytest.importorskip("pandas")

HOUR = 3600
BASE = 1_704_067_200  # 2024-01-01 00:00 UTC, a Monday
LOT, CONTRACT = 0.1, 100_000.0


def walk(n, seed=7):
    """Hourly bars whose closes are whole multiples of 2 ticks of 0.00001 from 1.1, so a trade of
    0.1 lot makes 0.2 a step: never within a float's error of the 0.7 commission, and exactly
    0 when it exits where it entered."""
    rng = random.Random(seed)
    k, rows = 0, []
    for i in range(n):
        open_ = round(1.1 + 0.00002 * k, 5)
        k += rng.randint(-3, 3)
        close = round(1.1 + 0.00002 * k, 5)
        rows.append((i, open_, max(open_, close) + 0.0001, min(open_, close) - 0.0001, close))
    return rows


def columns(rows, unit="s", offset=0):
    scale = TIME_UNITS[unit]
    return {"timestamp": [(BASE + HOUR * i) * scale + offset for i, *_ in rows],
            "open": [r[1] for r in rows], "high": [r[2] for r in rows],
            "low": [r[3] for r in rows], "close": [r[4] for r in rows]}


# From bar 5, every 8 bars: open 0.1 lot, long and short in turn, and close it 5 bars later.
PLAN = {i: "buy" if (i - 5) // 8 % 2 == 0 else "sell" for i in range(5, 280, 8)}
PLAN.update({i + 5: "close" for i in list(PLAN)})


class Planned:
    def next(self, bar, account):
        action = PLAN.get(account.bar_index)
        if action == "close":
            account.close_all()
        elif action == "buy":
            account.buy(lot_size=LOT)
        elif action == "sell":
            account.sell(lot_size=LOT)


class Idle:
    def next(self, bar, account):
        pass


class HoldTen:
    def next(self, bar, account):
        if account.bar_index == 0:
            account.buy(lot_size=10.0)


def run(strategy, rows, *, unit="s", offset=0, commission=0.0, **rules):
    bt = Backtest(columns(rows, unit, offset), initial_cash=100_000, commission=commission,
                  spread=0.0, contract_size=CONTRACT, quote_to_account=1.0, time_unit=unit,
                  **rules)
    return bt.run(strategy)


@pytest.fixture(scope="module")
def rows():
    return walk(300)


def test_every_figure_has_one_label_in_order_and_documented(rows):
    keys = [key for key, _, _ in SERIES]
    labels = [label for _, label, _ in SERIES]
    assert sorted(keys) == sorted((set(FIGURES) | set(METRICS) | set(INSIDE_METRICS))
                                  - {"final_cash"})
    assert len(set(labels)) == len(labels)
    result = run(Planned(), rows)
    series = result.to_series()
    assert list(series.index) == labels and series.dtype == object
    # A result that has travelled reads its times from what it carries.
    assert pickle.loads(pickle.dumps(result)).to_series().equals(series)
    assert [label for label in labels if label not in Result.to_series.__doc__] == []


@pytest.mark.parametrize("unit", list(TIME_UNITS))
def test_times_are_the_same_instants_in_every_unit(rows, unit):
    # One tick of the unit past the hour: a wrong scale moves every time.
    result = run(Planned(), rows, unit=unit, offset=1)
    series, metrics = result.to_series(), result.metrics
    tick = pd.Timedelta(1, unit=unit)
    start = pd.Timestamp(BASE, unit="s", tz="UTC") + tick
    assert series["Start"] == start and series["Start"].tz is not None
    assert series["End"] == start + pd.Timedelta(hours=len(rows) - 1)
    assert series["Duration"] == pd.Timedelta(hours=len(rows) - 1)
    assert series["Max. Trade Duration"] == series["Avg. Trade Duration"] == pd.Timedelta(hours=5)
    # On evenly spaced hourly bars a drawdown lasts its length in bars, in hours.
    assert series["Max. Drawdown Duration"] == pd.Timedelta(
        hours=metrics["max_drawdown_bars"])
    avg = series["Avg. Drawdown Duration"] - pd.Timedelta(hours=metrics["avg_drawdown_bars"])
    assert abs(avg) <= pd.Timedelta(1, unit="us")
    assert series["Wiped Out At"] is pd.NaT
    # The figures other than times read the same in any unit.
    same_in_seconds = run(Planned(), rows).to_series()
    plain = [label for _, label, kind in SERIES if not kind]
    assert series[plain].equals(same_in_seconds[plain])


def test_a_time_pandas_cannot_hold_stays_a_number():
    # 10**12 seconds is past the year 30000, beyond pandas' nanosecond range.
    bars = {"timestamp": [0, 10**12], "open": [1.1, 1.1], "high": [1.2, 1.2],
            "low": [1.0, 1.0], "close": [1.1, 1.15]}
    bt = Backtest(bars, initial_cash=1000, commission=0, spread=0, contract_size=1,
                  quote_to_account=1)
    series = bt.run(Idle()).to_series()
    assert series["Start"] == pd.Timestamp(0, tz="UTC") and series["End"] == 10**12
    assert series["Duration"] == 10**12


@pytest.mark.parametrize("commission", [0.0, 7.0], ids=["no-costs", "commission"])
def test_gross_figures_are_the_reports_and_net_ones_count_the_commission(rows, commission):
    result = run(Planned(), rows, commission=commission)
    series, stats, metrics = result.to_series(), result.stats, result.metrics
    pairs = {"Win Rate": ("win_rate_pct", "win_rate_net_pct"),
             "Profit Factor": ("profit_factor", "profit_factor_net"),
             "Avg. Trade": ("avg_pnl", "expectancy"),
             "Best Trade": ("best_trade", "best_trade_net"),
             "Worst Trade": ("worst_trade", "worst_trade_net")}
    for name, (gross, net) in pairs.items():
        unit = " [%]" if name == "Win Rate" else ""
        assert series[f"{name} (gross){unit}"] == getattr(stats, gross)
        assert series[f"{name} (net){unit}"] == metrics[net]
        if commission:
            assert series[f"{name} (net){unit}"] < series[f"{name} (gross){unit}"]
        else:
            assert series[f"{name} (net){unit}"] == pytest.approx(
                series[f"{name} (gross){unit}"], rel=1e-12)
    lines = result.summary().splitlines()
    assert f"Win Rate (net): {metrics['win_rate_net_pct']:.1f}%" in lines
    assert f"Prof. F. (net): {metrics['profit_factor_net']:.2f}" in lines
    assert all(len(label) == 16 for _, label, _ in SUMMARY)
    table = dict(result.figure_rows())
    assert table["Win Rate (net) [%]"] == repr(metrics["win_rate_net_pct"])
    assert table["Start"] == "2024-01-01 00:00 UTC"


@pytest.mark.parametrize("strategy, wiped", [(Idle(), False), (HoldTen(), True)],
                         ids=["no-trades", "wiped-out"])
def test_runs_with_nothing_to_measure_still_make_a_series(strategy, wiped):
    falling = [(i, 1.1 - 0.01 * i, 1.1 - 0.01 * i + 0.001, 1.1 - 0.01 * (i + 1),
                1.1 - 0.01 * (i + 1)) for i in range(60)]
    result = run(strategy, falling)
    series = result.to_series()
    table = dict(result.figure_rows())
    assert repr(result) and str(series)
    if wiped:
        first = next(i for i, e in enumerate(memoryview(result.equity)) if e <= 0)
        assert series["Wiped Out At"] == pd.Timestamp((BASE + HOUR * first), unit="s", tz="UTC")
        assert math.isnan(series["Sharpe Ratio"]) and series["# Trades"] == 1
        assert "Wiped out:      " in result.summary()
    else:
        assert series["# Trades"] == 0 and series["Wiped Out At"] is pd.NaT
        assert series["Max. Trade Duration"] is pd.NaT
        assert series["Avg. Trade Duration"] is pd.NaT
        assert math.isnan(series["Win Rate (net) [%]"]) and math.isnan(series["Best Trade (net)"])
        assert table["Avg. Trade Duration"] == "n/a" and table["Profit Factor (net)"] == "NaN"


@pytest.mark.parametrize("pnl, best, worst", [
    ([math.nan, 1.0, -2.0], 1.0, -2.0),
    ([1.0, math.nan, -2.0], 1.0, -2.0),
    ([math.nan], math.nan, math.nan),
], ids=["nan-first", "nan-between", "nan-only"])
def test_best_and_worst_net_leave_out_a_missing_result(pnl, best, worst):
    # As the engine's best and worst trade do: a NaN fails every comparison.
    n = len(pnl)
    got = compute_metrics(
        equity=[100.0, 101.0], timestamps=[0, HOUR], closes=[1.0, 1.0], initial_cash=100.0,
        final_cash=101.0, max_drawdown_pct=0.0, exposure_bars=1, spread=0.0, contract_size=1.0,
        quote_to_account=1.0,
        trades=dict(pnl=pnl, commission=[0.5] * n, lot_size=[1.0] * n, entry_time=[0] * n,
                    exit_time=[HOUR] * n))
    assert [got["best_trade_net"], got["worst_trade_net"]] == pytest.approx(
        [best - 0.5, worst - 0.5], nan_ok=True)


# The same trades in backtesting.py: filled at the close of the bar that orders them
# (trade_on_close), commission 0.35 a side, as candlewright charges 7 a lot with
# commission_at="both". backtesting.py's Win Rate, SQN and Kelly count pl after commission.
@pytest.mark.filterwarnings("ignore:.*dayofweek")  # backtesting.py's own use of pandas
@pytest.mark.parametrize("commission", [0.0, 7.0], ids=["no-costs", "commission"])
def test_net_figures_match_backtesting_py_on_the_same_trades(rows, commission):
    backtesting = pytest.importorskip("backtesting")
    np = pytest.importorskip("numpy")

    class Same(backtesting.Strategy):
        def init(self):
            pass

        def next(self):
            action = PLAN.get(len(self.data) - 1)
            if action == "close":
                self.position.close()
            elif action == "buy":
                self.buy(size=int(LOT * CONTRACT))
            elif action == "sell":
                self.sell(size=int(LOT * CONTRACT))

    frame = pd.DataFrame({"Open": [r[1] for r in rows], "High": [r[2] for r in rows],
                          "Low": [r[3] for r in rows], "Close": [r[4] for r in rows],
                          "Volume": np.ones(len(rows))},
                         index=pd.to_datetime([BASE + HOUR * r[0] for r in rows], unit="s"))
    theirs = backtesting.Backtest(frame, Same, cash=100_000, spread=0.0,
                                  commission=(LOT * commission / 2, 0.0),
                                  trade_on_close=True).run()
    result = run(Planned(), rows, commission=commission, commission_at="both")
    ours = result.to_series()

    assert ours["# Trades"] == theirs["# Trades"] == len(PLAN) // 2
    for label in ("Start", "End"):
        assert ours[label].tz_convert(None) == theirs[label]
    for label in ("Duration", "Max. Trade Duration", "Avg. Trade Duration"):
        assert ours[label] == theirs[label]
    assert ours["Win Rate (net) [%]"] == theirs["Win Rate [%]"]
    approx = {"Equity Final": "Equity Final [$]", "Return [%]": "Return [%]",
              "Buy & Hold Return [%]": "Buy & Hold Return [%]", "SQN": "SQN",
              "Kelly Criterion": "Kelly Criterion"}
    if commission:
        approx["Commissions"] = "Commissions [$]"
        # The data make some trades win before commission and lose after it.
        assert ours["Win Rate (gross) [%]"] > theirs["Win Rate [%]"]
    else:
        # Without costs the equity curves are the same bar for bar: so are the drawdowns,
        # which backtesting.py gives as negative percentages.
        for label in ("Max. Drawdown [%]", "Avg. Drawdown [%]"):
            assert ours[label] == pytest.approx(-theirs[label], rel=1e-9) and ours[label] > 0
        assert ours["Max. Drawdown Duration"] == theirs["Max. Drawdown Duration"]
    assert {mine: ours[mine] for mine in approx} == pytest.approx(
        {mine: theirs[other] for mine, other in approx.items()}, rel=1e-9)
