"""compute_metrics against an independent numpy computation, and its degenerate cases."""

import datetime as dt
import json
import math
import re
from array import array

import pytest

from candlewright import Backtest, sample_bars
from candlewright.metrics import METRICS, compute_metrics, infer_periods_per_year
from conftest import Hold

np = pytest.importorskip("numpy")

NAN, INF = math.nan, math.inf
UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
HOUR, DAY, WEEK = 3600, 86400, 7 * 86400
WEEKS_A_YEAR = 365.25 / 7
RETURN_FIGURES = ("annual_return_pct", "cagr_pct", "volatility_ann_pct", "sharpe", "sortino",
                  "calmar")
# Saturday 2021-01-02 12:00 UTC; the data below starts after it.
SATURDAY_NOON = int(dt.datetime(2021, 1, 2, 12, tzinfo=dt.timezone.utc).timestamp())


def metrics(equity=(100.0, 101.0), pnl=(), initial_cash=100.0, step=3600, **kw):
    equity, m = list(equity), len(pnl)
    trades = dict(pnl=list(pnl), commission=[0.0] * m, lot_size=[1.0] * m, entry_time=[0] * m,
                  exit_time=list(range(m)))
    args = dict(equity=equity, timestamps=[i * step for i in range(len(equity))],
                closes=equity, initial_cash=initial_cash, final_cash=(equity or [0.0])[-1],
                max_drawdown_pct=5.0, trades=trades, exposure_bars=len(equity) // 2,
                spread=0.5, contract_size=1.0, quote_to_account=1.0)
    return compute_metrics(**{**args, **kw})


def drawdowns(e, t):
    keep = ~np.isnan(e)
    v, t, bar = e[keep], t[keep], np.flatnonzero(keep)
    below = np.r_[False, v < np.maximum.accumulate(v), False]
    starts, stops = np.flatnonzero(below[1:] > below[:-1]), np.flatnonzero(below[:-1] > below[1:])
    ends, peaks = np.minimum(stops, len(v) - 1), v[starts - 1]
    depths = np.array([(p - v[i:j].min()) / p * 100 for p, i, j in zip(peaks, starts, stops)])
    ok = peaks > 0
    return depths[ok], (t[ends] - t[starts - 1])[ok], (bar[ends] - bar[starts - 1])[ok]


def weekly_bars(t, unit):
    """Bars per year from the weeks labelled by floor division, Saturday 12:00 to Saturday 12:00,
    that hold the data from end to end."""
    label = (t // UNITS[unit] - SATURDAY_NOON) // WEEK
    start = label[0] + (t[0] // UNITS[unit] > SATURDAY_NOON + label[0] * WEEK)
    whole = np.arange(start, label[-1])
    return np.isin(label, whole).sum() / len(whole) * WEEKS_A_YEAR


def reference(a, unit):
    e, t, tr = a["equity"], a["timestamps"], {k: np.asarray(v) for k, v in a["trades"].items()}
    years = (t[-1] - t[0]) / (365.25 * 86400 * UNITS[unit])
    ppy = a["periods_per_year"] or weekly_bars(t, unit)
    E = np.r_[a["initial_cash"], e]
    with np.errstate(all="ignore"):
        r = np.where(E[:-1] == 0, NAN, E[1:] / E[:-1] - 1)
    r, root = r[~np.isnan(r)], np.sqrt(ppy)
    cagr = ((a["final_cash"] / a["initial_cash"]) ** (1 / years) - 1) * 100
    bust = np.flatnonzero(e <= 0)
    wiped = t[bust[0]] if len(bust) else t[-1] if a["final_cash"] <= 0 else None
    depth, dd_time, dd_bars = drawdowns(e, t)
    net = tr["pnl"] - tr["commission"] + tr["swap"]
    wins, losses, dur = net[net > 0], net[net < 0], tr["exit_time"] - tr["entry_time"]
    signs = "".join("W" if x > 0 else "L" if x < 0 else "." for x in net)
    payoff, w = wins.mean() / -losses.mean(), len(wins) / len(net)
    out = dict(
        start=t[0], end=t[-1], duration=t[-1] - t[0], num_bars=len(e), periods_per_year=ppy,
        exposure_time_pct=a["exposure_bars"] / len(e) * 100, equity_final=a["final_cash"],
        equity_peak=max(a["initial_cash"], np.nanmax(e)), wiped_out_at=wiped,
        total_return_pct=(a["final_cash"] / a["initial_cash"] - 1) * 100,
        buy_and_hold_return_pct=(a["closes"][-1] / a["closes"][0] - 1) * 100,
        annual_return_pct=r.mean() * ppy * 100, cagr_pct=cagr,
        volatility_ann_pct=r.std(ddof=1) * root * 100, sharpe=r.mean() / r.std(ddof=1) * root,
        sortino=r.mean() / np.sqrt(np.mean(np.minimum(r, 0) ** 2)) * root,
        calmar=cagr / a["max_drawdown_pct"], max_drawdown_pct=a["max_drawdown_pct"],
        avg_drawdown_pct=depth.mean(), max_drawdown_duration=dd_time.max(),
        avg_drawdown_duration=dd_time.mean(), max_drawdown_bars=dd_bars.max(),
        avg_drawdown_bars=dd_bars.mean(), num_trades=len(net), win_rate_net_pct=w * 100,
        expectancy=net.mean(), best_trade_net=net.max(), worst_trade_net=net.min(),
        avg_win=wins.mean(), avg_loss=losses.mean(), payoff_ratio=payoff,
        profit_factor_net=wins.sum() / -losses.sum(), kelly=w - (1 - w) / payoff,
        sqn=np.sqrt(len(net)) * net.mean() / net.std(ddof=1),
        max_consecutive_wins=max(map(len, re.findall("W+", signs))),
        max_consecutive_losses=max(map(len, re.findall("L+", signs))),
        avg_trade_duration=dur.mean(), max_trade_duration=dur.max(),
        commissions=tr["commission"].sum(), spread_paid=np.sum(
            2 * a["spread"] * tr["lot_size"] * a["contract_size"] * a["quote_to_account"]),
        swaps=tr["swap"].sum(), orders_refused=a.get("orders_refused", 0),
        stop_outs=int(np.sum(np.asarray(tr["exit_reason"]) == "stop_out")))
    return out if wiped is None else {**out, **dict.fromkeys(RETURN_FIGURES, NAN)}


def same(got, want):
    if want is None or got is None:
        return got is want
    return (math.isnan(got) and math.isnan(want)) or math.isclose(got, want, rel_tol=1e-9)


@pytest.mark.parametrize("seed, unit, ppy, kind", [
    (1, "s", None, "list"), (2, "ms", 252.0, "array"), (3, "ns", None, "numpy"),
    (4, "us", None, "holes"), (5, "s", None, "bust"), (6, "ms", None, "fx")])
def test_against_numpy(seed, unit, ppy, kind):
    rng = np.random.default_rng(seed)
    n, hour, m = 3000, 3600 * UNITS[unit], 150
    equity = 1e4 * np.cumprod(1 + rng.normal(2e-4, 5e-3, n))
    if kind in ("holes", "bust"):  # missing values; a bust bar, after which returns mean nothing
        equity[rng.choice(n, 20)] = NAN
    if kind == "bust":
        equity[1234] = 0.0
    # Hourly from a Wednesday 17:00, around the clock or on FX days (Sunday 22:00 to Friday
    # 21:00), with a day off: the reference counts the weeks its own way.
    hours = np.arange(SATURDAY_NOON // 3600 + 4 * 24 + 5, SATURDAY_NOON // 3600 + 2000 * 24)
    if kind == "fx":
        hours = hours[(hours * 3600 - (SATURDAY_NOON + 34 * HOUR)) % WEEK < 120 * HOUR]
        hours = np.r_[hours[:400], hours[424:]]
    timestamps = hours[:n] * hour
    entry = timestamps[rng.integers(0, n, m)]
    trades = dict(pnl=rng.integers(-30, 31, m) * 0.5, commission=rng.choice([0.0, 0.5], m),
                  lot_size=rng.uniform(0.01, 2, m), entry_time=entry,
                  exit_time=entry + rng.integers(1, 50, m) * hour, side=np.ones(m),
                  swap=rng.choice([0.0, -0.25, 0.5], m),
                  exit_reason=rng.choice(["close", "stop_out"], m))
    a = dict(equity=equity, timestamps=timestamps, closes=equity * 1.1,
             initial_cash=1e4, final_cash=float(equity[-1]), max_drawdown_pct=7.5,
             trades=trades, exposure_bars=1900, spread=1.5e-4, contract_size=1e5,
             quote_to_account=0.9, periods_per_year=ppy)
    convert = {"list": np.ndarray.tolist,
               "array": lambda x: array("q" if x.dtype.kind == "i" else "d", x)}.get(kind, np.copy)
    given = {k: convert(v) if isinstance(v, np.ndarray) else v for k, v in a.items()}
    given["trades"] = {k: convert(v) if k != "exit_reason" else list(v)
                       for k, v in trades.items()}
    got = compute_metrics(**given, time_unit=unit)
    assert tuple(got) == METRICS
    want = reference(a, unit)
    assert [k for k in METRICS if not same(got[k], want[k])] == []


@pytest.mark.parametrize("case, expected", [
    (dict(equity=[]), dict(start=None, duration=None, num_bars=0, periods_per_year=NAN,
                           exposure_time_pct=NAN, equity_peak=100.0, buy_and_hold_return_pct=NAN,
                           annual_return_pct=NAN, sharpe=NAN, avg_drawdown_pct=0.0,
                           max_drawdown_duration=0, avg_drawdown_bars=0.0)),
    (dict(equity=[110.0], periods_per_year=2.0),
     dict(duration=0, annual_return_pct=20.0, cagr_pct=NAN, volatility_ann_pct=NAN, sharpe=NAN,
          sortino=NAN)),
    (dict(equity=[100.0] * 5), dict(volatility_ann_pct=0.0, cagr_pct=0.0, sharpe=NAN,
                                    sortino=NAN, avg_drawdown_duration=0.0)),
    # The 10 at bar 2 recovers and becomes the next peak bar; the fall to 6 never recovers.
    (dict(equity=[10.0, 8.0, 10.0, 9.0, 12.0, 6.0], initial_cash=10.0),
     dict(avg_drawdown_pct=80 / 3, max_drawdown_duration=7200, avg_drawdown_duration=6000.0,
          max_drawdown_bars=2, avg_drawdown_bars=5 / 3, equity_peak=12.0)),
    (dict(equity=[-5.0, -6.0, -4.0]), dict(avg_drawdown_pct=0.0, max_drawdown_bars=0)),
    # No return into the first bar; one from it on.
    (dict(equity=[50.0, 100.0], initial_cash=0.0, max_drawdown_pct=0.0),
     dict(total_return_pct=NAN, cagr_pct=NAN, calmar=NAN, annual_return_pct=876600.0,
          volatility_ann_pct=NAN, wiped_out_at=None)),
    (dict(equity=[1.0, 2.0], step=1, initial_cash=1.0), dict(cagr_pct=INF)),
    (dict(pnl=[]), dict(num_trades=0, win_rate_net_pct=NAN, expectancy=NAN, avg_win=NAN,
                        avg_loss=NAN, payoff_ratio=NAN, profit_factor_net=NAN, kelly=NAN,
                        sqn=NAN, max_consecutive_wins=0, avg_trade_duration=NAN,
                        max_trade_duration=None, commissions=0.0, spread_paid=0.0)),
    (dict(pnl=[3.0]), dict(win_rate_net_pct=100.0, sqn=NAN, avg_loss=NAN, payoff_ratio=NAN,
                           kelly=NAN, profit_factor_net=INF, max_trade_duration=0,
                           spread_paid=1.0)),
    (dict(pnl=[0.0, 0.0]), dict(win_rate_net_pct=0.0, avg_win=NAN, profit_factor_net=NAN,
                                sqn=NAN, max_consecutive_wins=0, max_consecutive_losses=0)),
    (dict(pnl=[-1.0, -3.0, 0.0, -1.0]), dict(profit_factor_net=0.0, avg_loss=-5 / 3, kelly=NAN,
                                             max_consecutive_losses=2, avg_trade_duration=1.5)),
])
def test_degenerate(case, expected):
    got = metrics(**case)
    assert [k for k in expected if not same(got[k], expected[k])] == []


@pytest.mark.parametrize("equity, final_cash, at", [
    # Once at or below zero the returns flip sign with the equity: a recovery afterwards, or a
    # fall further below zero, would read as a gain.
    pytest.param([100.0, 50.0, 0.0, 20.0, 150.0], 150.0, 2, id="zero-then-recovery"),
    pytest.param([100.0, -20.0, -500.0, -1313.0], -1313.0, 1, id="deeper-below-zero"),
    pytest.param([NAN, -1.0, 5.0], 5.0, 1, id="after-a-missing-value"),
    pytest.param([100.0, 90.0, 10.0], -0.5, 2, id="final-cash-alone"),
    pytest.param([100.0, 90.0, 10.0], 0.0, 2, id="final-cash-zero"),
])
def test_wiped_out(equity, final_cash, at):
    got = metrics(equity=equity, final_cash=final_cash)
    assert got["wiped_out_at"] == at * 3600
    assert all(math.isnan(got[name]) for name in RETURN_FIGURES)
    assert got["total_return_pct"] == pytest.approx(final_cash - 100.0)  # not return-based


def test_a_run_wiped_out_then_back_in_profit():
    # Fifty lots on 1,000 with no margin rule: the curve crosses zero at the eleventh bar,
    # sinks far below, and the trade still ends in profit. The swap adds a line after it.
    bars = sample_bars()
    result = Backtest(bars, 1000, 0, 0.0, 100_000, 1, swap_long=-1.0).run(Hold(50))
    got = result.metrics
    equity = list(result.equity)
    assert equity[9] > 0 >= equity[10] and min(equity) < -400_000 < 0 < result.stats.final_cash
    assert got["wiped_out_at"] == bars[10].timestamp
    assert all(math.isnan(got[name]) for name in RETURN_FIGURES)
    lines = result.summary().splitlines()
    # First of the lines shown only when they happen: before the swaps.
    assert lines[-2:] == ["Wiped out:      2021-01-04 08:00",
                          f"Swaps:          {got['swaps']:.2f}"]
    as_json = json.loads(json.dumps(result.to_dict()))
    assert as_json["metrics"]["wiped_out_at"] == bars[10].timestamp


def test_no_trade_per_trade_figures_are_nan():
    idle = type("Idle", (), {"next": lambda self, bar, account: None})()
    result = Backtest(sample_bars()[:300], 10_000, 7, 0.0002, 100_000, 1).run(idle)
    got = result.metrics
    names = ("win_rate_net_pct", "expectancy", "avg_win", "avg_loss", "payoff_ratio",
             "profit_factor_net", "kelly", "sqn", "avg_trade_duration")
    assert [name for name in names if not math.isnan(got[name])] == []
    summary = dict(line.split(":", 1) for line in result.summary().splitlines())
    assert summary["Expectancy"].strip() == summary["SQN"].strip() == "NaN"
    # The engine's own figure keeps its rule.
    assert result.stats.profit_factor == INF


def calendar(week_hours, weeks, start_day=0, shift=0, step=HOUR):
    """Timestamps every `step` over `weeks` weeks from the Sunday after SATURDAY_NOON plus
    `start_day` days, keeping the hours of the week (from Sunday 00:00) that `week_hours`
    accepts, then moved by `shift` seconds (a zone's offset)."""
    sunday = SATURDAY_NOON + 12 * HOUR
    first = sunday + start_day * DAY
    times = range(first, first + weeks * WEEK, step)
    return [t + shift for t in times if week_hours((t - sunday) % WEEK // HOUR)]


def fx(hour):  # Sunday 22:00 to Friday 21:00, 120 bars
    return 22 <= hour < 142


@pytest.mark.parametrize("timestamps, per_week", [
    pytest.param(calendar(fx, 10), 120, id="fx-utc"),
    # Begins on a Wednesday and ends mid-week: the broken weeks are left out.
    pytest.param(calendar(fx, 10, start_day=3), 120, id="fx-mid-week"),
    pytest.param(calendar(fx, 10, shift=2 * HOUR), 120, id="fx-server-time-utc+2"),
    pytest.param(calendar(fx, 10, shift=-5 * HOUR), 120, id="fx-new-york-time"),
    pytest.param(calendar(lambda h: True, 10, start_day=2), 168, id="around-the-clock"),
    pytest.param(calendar(lambda h: 1 <= h // 24 <= 5, 10, step=DAY), 5, id="daily"),
    # A Monday off in one of the eight whole weeks (the first Sunday's two bars are before
    # the first of them, the last Friday's after the last).
    pytest.param([t for t in calendar(fx, 10) if not 708 * HOUR <= t - SATURDAY_NOON
                  < 732 * HOUR], 120 - 24 / 8, id="fx-holiday"),
])
def test_periods_per_year_from_whole_weeks(timestamps, per_week):
    assert infer_periods_per_year(timestamps) == pytest.approx(per_week * WEEKS_A_YEAR,
                                                               rel=1e-15)


@pytest.mark.parametrize("kind", ["ns", "numpy", "pandas"])
def test_periods_per_year_in_any_unit_and_container(kind):
    times = calendar(fx, 5)
    unit = kind if kind in UNITS else "s"
    if kind == "pandas":  # read by position, whatever its index
        pd = pytest.importorskip("pandas")
        given = pd.Series(times, index=range(len(times), 0, -1))
    else:
        given = np.array(times) if kind == "numpy" else [t * UNITS[unit] for t in times]
    assert infer_periods_per_year(given, unit) == infer_periods_per_year(times)


@pytest.mark.parametrize("timestamps, expected", [
    # Monday to Friday of H1 FX holds no whole week: bars per span of time, around the clock.
    pytest.param(calendar(lambda h: 24 <= h < 142, 1), 8766.0, id="one-working-week"),
    pytest.param([5], NAN, id="one-bar"),
    pytest.param([5, 5], NAN, id="no-span"),
])
def test_periods_per_year_without_a_whole_week(timestamps, expected):
    assert same(infer_periods_per_year(timestamps), expected)


def test_periods_per_year_of_the_sample():
    assert infer_periods_per_year(sample_bars().timestamp) == 120 * WEEKS_A_YEAR


@pytest.mark.parametrize("kw, message", [
    (dict(time_unit="min"), "'s', 'ms', 'us', 'ns'"),
    (dict(periods_per_year=0.0), "periods_per_year"), (dict(periods_per_year=NAN), "> 0"),
    (dict(closes=[1.0]), "same length"), (dict(trades={"pnl": [1.0]}), "'commission'")])
def test_rejects(kw, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        metrics(**kw)
