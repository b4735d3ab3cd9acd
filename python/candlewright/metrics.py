"""Figures of a finished run, from its equity curve, its bars and its closed trades.

`compute_metrics` returns a dict whose keys are `METRICS`, in that order. Times are integers in
`time_unit` ("s", "ms", "us" or "ns"); YEAR = 365.25 days in that unit. A figure that cannot be
formed (no bars, no trades, a zero divisor, a root of a negative ratio) is NaN rather than an
exception, unless stated otherwise below; with no trade, every per-trade figure but the counts,
sums and `max_trade_duration` (None) is NaN. Sums are correctly rounded (`math.fsum`), and stdev
is the sample one (ddof=1).

Notation: n bars; equity e[0..n-1]; E = [initial_cash, e[0], ..., e[n-1]];
returns r_i = E[i] / E[i-1] - 1 for i = 1..n (NaN where E[i-1] == 0, and NaN returns are left
out of every statistic of r); N closed trades, net_i = pnl_i - commission_i (+ swap_i when a
trade has a swap).

Time span
  start, end          first and last timestamp (None with no bar).
  duration            end - start (None with no bar).
  num_bars            n.
  periods_per_year    the argument if given (must be > 0), else `infer_periods_per_year`:
                      the bars per week over the whole weeks the data covers, times
                      365.25 / 7 weeks a year. Weeks run from Saturday 12:00 to Saturday
                      12:00 in the timestamps' own clock: an instant inside the weekend gap of
                      FX (Friday ~21:00 to Sunday ~21:00 UTC) labelled in any zone up to
                      UTC+14 (a broker's server time, New York time), and of a market closed
                      on Saturday and Sunday labelled in UTC or in its own zone, from UTC-12
                      (Saturday 00:00 there is Saturday 12:00 UTC) to UTC+14 (Monday 00:00
                      there is Sunday 10:00 UTC). The whole weeks run from the first boundary
                      at or after `start` to the last at or before `end`; the bars outside
                      are left out. With no whole week, (n - 1) * YEAR / (end - start).
  exposure_time_pct   exposure_bars / n * 100: the bars at whose close (after the strategy's
                      `next`) a position was open.

Returns and risk (P = periods_per_year)
  equity_final        final_cash.
  equity_peak         max(initial_cash, max(e)), NaN values left out.
  wiped_out_at        the timestamp of the first bar with e[i] <= 0, else the last bar's when
                      final_cash <= 0 (the run's last close), else None. From then on the
                      returns change sign with the equity and mean nothing, so every figure
                      built on them (annual_return_pct, cagr_pct, volatility_ann_pct, sharpe,
                      sortino, calmar) is NaN for a wiped-out account.
  total_return_pct    (final_cash - initial_cash) / initial_cash * 100.
  buy_and_hold_return_pct   (close[n-1] - close[0]) / close[0] * 100.
  annual_return_pct   mean(r) * P * 100 (arithmetic, not compounded).
  cagr_pct            ((final_cash / initial_cash) ** (1 / years) - 1) * 100,
                      years = (end - start) / YEAR; NaN unless n >= 2, years > 0 and ratio > 0,
                      +inf when the power overflows (a large gain over a tiny span).
  volatility_ann_pct  stdev(r) * sqrt(P) * 100.
  sharpe              mean(r) / stdev(r) * sqrt(P), risk-free rate 0.
  sortino             mean(r) / sqrt(mean(min(r_i, 0) ** 2)) * sqrt(P), the mean of squares
                      taken over all returns.
  calmar              cagr_pct / max_drawdown_pct.

Drawdowns, over e alone (NaN values skipped as if absent)
  max_drawdown_pct    the engine's own figure, passed through unchanged.
  A drawdown period starts at the first value below the running peak (which starts at e[0] and
  is set again by every value >= it) and ends at the first value back at or above that peak, or
  at the last value if it never gets back. Its peak bar is the bar just before it starts; its
  depth is (peak - min(e over the period)) / peak * 100; its duration is timestamp(end) -
  timestamp(peak bar), and its length in bars is the same difference of bar indices. Periods
  whose peak is <= 0 are ignored.
  avg_drawdown_pct        mean depth (0.0 with no period).
  max_drawdown_duration   longest duration, in time units (0 with no period).
  avg_drawdown_duration   mean duration (0.0 with no period).
  max_drawdown_bars       longest length in bars (0 with no period).
  avg_drawdown_bars       mean length in bars (0.0 with no period).

Trades (commission counted in every figure; a trade with net 0 is neither win nor loss)
  num_trades          N.
  win_rate_net_pct    wins / N * 100, a win being net > 0.
  expectancy          mean(net).
  best_trade_net, worst_trade_net
                      max(net), min(net), NaN values left out: the engine's best_trade and
                      worst_trade count pnl before commission.
  avg_win, avg_loss   mean net of the wins (net > 0), of the losses (net < 0, so negative).
  payoff_ratio        avg_win / abs(avg_loss).
  profit_factor_net   sum(net of wins) / abs(sum(net of losses)); +inf with wins and no loss,
                      NaN with neither (no trade, or only trades with net 0).
  kelly               W - (1 - W) / payoff_ratio, W = wins / N.
  sqn                 sqrt(N) * mean(net) / stdev(net).
  max_consecutive_wins, max_consecutive_losses
                      longest run of wins, of losses, in closing order; any other trade ends
                      both runs.
  avg_trade_duration  mean(exit_time - entry_time).
  max_trade_duration  max(exit_time - entry_time) (None with no trade).

Costs
  commissions         sum(commission).
  spread_paid         sum of 2 * spread * lot_size * contract_size * quote_to_account over the
                      trades: the spread is paid once on entry and once on exit. With a spread
                      or rate per bar, or the spread at entry only, the caller's figure.
  swaps               sum(swap): charged (< 0) or paid (> 0) at the rollovers.

Account
  orders_refused      orders the account refused for want of free margin.
  stop_outs           trades closed by a stop-out.

Inside the bars (counted by the run, and added to these by `Result.metrics`)
  ambiguous_bars        bars whose outcome the bar rules had to guess: one that reaches both a
                        position's stop and its target, fills an order and reaches its
                        position's stop or target, or could move a trailing stop and reach it.
  bars_resolved_inside  bars with a position open or an order pending decided on the finer data
                        of `Backtest(intrabar=)`; None without it.
  inside_fallbacks      such bars the finer data does not cover (a hole in it, or a low or high
                        it does not reach), decided by the bar rules; None without it.
"""
from __future__ import annotations

import bisect
import math
import re
import sys
from array import array
from collections.abc import Callable, Collection, Mapping, Sequence
from itertools import accumulate, chain, groupby, repeat
from operator import add, lt, mul, sub, truediv
from typing import Any, Protocol, TypeVar

from . import _backtest

__all__ = ["INSIDE_METRICS", "METRICS", "TIME_UNITS", "compute_metrics",
           "infer_periods_per_year"]

METRICS = (
    "start", "end", "duration", "num_bars", "periods_per_year", "exposure_time_pct",
    "equity_final", "equity_peak", "wiped_out_at", "total_return_pct", "buy_and_hold_return_pct",
    "annual_return_pct", "cagr_pct", "volatility_ann_pct", "sharpe", "sortino", "calmar",
    "max_drawdown_pct", "avg_drawdown_pct", "max_drawdown_duration", "avg_drawdown_duration",
    "max_drawdown_bars", "avg_drawdown_bars",
    "num_trades", "win_rate_net_pct", "expectancy", "best_trade_net", "worst_trade_net",
    "avg_win", "avg_loss", "payoff_ratio", "profit_factor_net", "kelly", "sqn",
    "max_consecutive_wins", "max_consecutive_losses",
    "avg_trade_duration", "max_trade_duration",
    "commissions", "spread_paid", "swaps", "orders_refused", "stop_outs",
)
INSIDE_METRICS = ("ambiguous_bars", "bars_resolved_inside", "inside_fallbacks")

TIME_UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
_WEEK_DAYS = 7
_YEAR_DAYS = 365.25
# The epoch fell on a Thursday: Saturday noon is two and a half days after it.
_WEEK_BOUNDARY_DAYS = 2.5
_TRADE_COLUMNS = ("pnl", "commission", "lot_size", "entry_time", "exit_time")
_NAN = math.nan
_RUNS = re.compile(rb"\x01+")

T = TypeVar("T")


class Timestamps(Protocol):
    """Integer timestamps in increasing order, read by index: a list, an `array.array`, a
    numpy array, a `Column`."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...


def _as_list(seq: Sequence[T]) -> list[T]:
    # Never mutated, so a list is used as is. array.array, memoryview, numpy and pandas all have
    # tolist(), much faster than iterating and giving plain Python numbers.
    if type(seq) is list:
        return seq
    tolist = getattr(seq, "tolist", None)
    out = tolist() if callable(tolist) else seq
    return out if type(out) is list else list(out)


def _fsum(xs: list[float]) -> float:
    try:
        return math.fsum(xs)
    except OverflowError:  # finite values whose exact sum is out of range
        return sum(xs)
    except ValueError:  # +inf and -inf together
        return _NAN


if sys.version_info >= (3, 12):
    def _sum_squares(xs: list[float]) -> float:
        return math.sumprod(xs, xs)  # as exact as fsum, and several times faster
else:
    def _sum_squares(xs: list[float]) -> float:
        try:
            return math.fsum(map(mul, xs, xs))
        except OverflowError:
            return math.inf


# Running peak: max(peak, x) keeps the peak unless x is strictly above it. The builtin only got
# fast two-argument calls in 3.13; before, a lambda is twice as fast.
_higher: Callable[[float, float], float] = (
    max if sys.version_info >= (3, 13) else (lambda peak, x: x if x > peak else peak))


def _div(a: float, b: float) -> float:
    return a / b if b else _NAN


def _without_nan(xs: list[float]) -> list[float]:
    # sum() is a cheap NaN detector; inf - inf makes it a false alarm at worst.
    s = sum(xs)
    return [x for x in xs if x == x] if s != s else xs


def _mean_stdev(xs: list[float]) -> tuple[float, float]:
    m = len(xs)
    if m == 0:
        return _NAN, _NAN
    mean = _fsum(xs) / m
    if m < 2:
        return mean, _NAN
    # Two passes: the one-pass formula cancels badly when the mean dwarfs the spread.
    return mean, math.sqrt(_sum_squares(list(map(sub, xs, repeat(mean)))) / (m - 1))


def _mean(xs: list[float]) -> float:
    return _fsum(xs) / len(xs) if xs else _NAN


def _returns(equity: list[float], initial_cash: float) -> list[float]:
    prev = chain((initial_cash,), equity)
    # Only the initial cash can be zero: equity at or below zero makes no returns at all.
    if initial_cash == 0:
        ratios = iter([c / p if p else _NAN for c, p in zip(equity, prev)])
    else:
        ratios = map(truediv, equity, prev)
    return _without_nan(list(map(sub, ratios, repeat(1.0))))


def _drawdowns(equity: list[float], timestamps: list[int]
               ) -> tuple[list[float], list[int], list[int]]:
    """Depth, duration and length in bars of every drawdown period with a positive peak."""
    values = _without_nan(equity)
    if values is equity:
        times, bars = timestamps, None
    else:
        kept = [i for i, e in enumerate(equity) if e == e]
        times, bars = [timestamps[i] for i in kept], kept
    depths: list[float] = []
    durations: list[int] = []
    lengths: list[int] = []
    if not values:
        return depths, durations, lengths
    # A value equal to the peak is not below it, so it ends a period.
    below = bytes(map(lt, values, accumulate(values, _higher)))
    last = len(values) - 1
    for run in _RUNS.finditer(below):
        start, stop = run.span()
        peak_at, end_at = start - 1, min(stop, last)
        peak = values[peak_at]
        if not peak > 0:
            continue
        depths.append((peak - min(values[start:stop])) / peak * 100)
        durations.append(times[end_at] - times[peak_at])
        lengths.append(bars[end_at] - bars[peak_at] if bars is not None else end_at - peak_at)
    return depths, durations, lengths


def _longest_runs(net: list[float]) -> tuple[int, int]:
    longest = {1: 0, -1: 0, 0: 0}
    for sign, run in groupby(net, lambda x: (x > 0) - (x < 0)):
        longest[sign] = max(longest[sign], sum(1 for _ in run))
    return longest[1], longest[-1]


def infer_periods_per_year(timestamps: Timestamps, time_unit: str = "s") -> float:
    """Bars per year, from the bars per week of the whole weeks `timestamps` cover (see
    `periods_per_year` in the module documentation); NaN with fewer than two bars or no span.

    `timestamps` are integers in `time_unit`, in increasing order (a pandas Series is read by
    position). Two binary searches find the bars, so the cost does not grow with their number.
    """
    unit = _unit(time_unit)
    to_numpy = getattr(timestamps, "to_numpy", None)  # pandas indexes a Series by label
    ts: Timestamps = to_numpy() if callable(to_numpy) else timestamps
    n = len(ts)
    if n < 2:
        return _NAN
    start, end = int(ts[0]), int(ts[-1])
    week = _WEEK_DAYS * 86400 * unit
    boundary = int(_WEEK_BOUNDARY_DAYS * 86400) * unit
    first = start + (boundary - start) % week
    last = end - (end - boundary) % week
    weeks = (last - first) // week
    if weeks >= 1:
        bars = bisect.bisect_left(ts, last) - bisect.bisect_left(ts, first)
        return bars / weeks * (_YEAR_DAYS / _WEEK_DAYS)
    span = end - start
    return (n - 1) * (_YEAR_DAYS * 86400 * unit) / span if span > 0 else _NAN


def _unit(time_unit: str) -> int:
    if time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(map(repr, TIME_UNITS))},"
                         f" not {time_unit!r}")
    return TIME_UNITS[time_unit]


def compute_metrics(*, equity: Sequence[float], timestamps: Sequence[int],
                    closes: Sequence[float], initial_cash: float, final_cash: float,
                    max_drawdown_pct: float, trades: Mapping[str, Sequence[Any]],
                    exposure_bars: int, spread: float, contract_size: float,
                    quote_to_account: float, time_unit: str = "s",
                    periods_per_year: float | None = None, spread_paid: float | None = None,
                    orders_refused: int = 0) -> dict[str, float | int | None]:
    """The figures of `METRICS` for one run; the module documentation gives their formulas.

    `trades` maps column names to equal-length columns, one row per closed trade in closing
    order; 'pnl', 'commission', 'lot_size', 'entry_time' and 'exit_time' are read, and
    'swap' and 'exit_reason' if present. Columns of float64 and int64 held in buffers (numpy
    arrays, `array.array`, a `Result`'s columns) are read where they lie, natively.
    Raises ValueError for an unknown `time_unit`, a `periods_per_year` that is not > 0, or
    columns of different lengths.
    """
    return _metrics(equity=equity, timestamps=timestamps, closes=closes,
                    initial_cash=initial_cash, final_cash=final_cash,
                    max_drawdown_pct=max_drawdown_pct, trades=trades,
                    exposure_bars=exposure_bars, spread=spread, contract_size=contract_size,
                    quote_to_account=quote_to_account, time_unit=time_unit,
                    periods_per_year=periods_per_year, spread_paid=spread_paid,
                    orders_refused=orders_refused)


def _compute_metrics_python(**arguments: Any) -> dict[str, float | int | None]:
    """`compute_metrics` with every pass in Python: the reference the native passes match."""
    return _metrics(**arguments, native=False)


# The metrics that need each pass; the others cost next to nothing.
_CURVE_METRICS = frozenset((
    "equity_peak", "wiped_out_at", "annual_return_pct", "cagr_pct", "volatility_ann_pct",
    "sharpe", "sortino", "calmar", "avg_drawdown_pct", "max_drawdown_duration",
    "avg_drawdown_duration", "max_drawdown_bars", "avg_drawdown_bars"))
_TRADE_METRICS = frozenset((
    "win_rate_net_pct", "expectancy", "best_trade_net", "worst_trade_net", "avg_win",
    "avg_loss", "payoff_ratio", "profit_factor_net", "kelly", "sqn", "max_consecutive_wins",
    "max_consecutive_losses", "avg_trade_duration", "max_trade_duration", "commissions",
    "spread_paid", "swaps"))
# What a skipped pass leaves: never shown, as only the metrics asked for are kept.
_NO_CURVE = (_NAN, -1, _NAN, _NAN, _NAN, 0.0, 0, 0.0, 0, 0.0)
_NO_TRADES = (_NAN, _NAN, 0, 0.0, 0, 0.0, _NAN, _NAN, 0, 0, _NAN, None, 0.0, 0.0, 0.0)


def _metrics(*, equity: Sequence[float], timestamps: Sequence[int], closes: Sequence[float],
             initial_cash: float, final_cash: float, max_drawdown_pct: float,
             trades: Mapping[str, Sequence[Any]], exposure_bars: int, spread: float,
             contract_size: float, quote_to_account: float, time_unit: str = "s",
             periods_per_year: float | None = None, spread_paid: float | None = None,
             orders_refused: int = 0, native: bool = True,
             wanted: Collection[str] | None = None) -> dict[str, float | int | None]:
    """`compute_metrics`, natively where the columns allow, and only the metrics `wanted`
    (all by default): a pass no wanted metric needs is skipped."""
    unit = _unit(time_unit)
    if periods_per_year is not None and not periods_per_year > 0:
        raise ValueError(f"periods_per_year must be > 0, not {periods_per_year!r}")
    year = _YEAR_DAYS * 86400 * unit

    eq: Sequence[float] = equity
    ts: Sequence[int] = timestamps
    curve_columns = (_column(eq, float), _column(ts, int)) if native else None
    if curve_columns is None or curve_columns[0] is None or curve_columns[1] is None:
        eq, ts, curve_columns = _as_list(equity), _as_list(timestamps), None
    n = len(eq)
    if len(ts) != n or len(closes) != n:
        raise ValueError(f"equity, timestamps and closes must have the same length, not "
                         f"{n}, {len(ts)} and {len(closes)}")
    # Only the first and last close are read.
    first_close, last_close = (float(closes[0]), float(closes[-1])) if n else (_NAN, _NAN)
    columns = [trades.get(name, ()) for name in _TRADE_COLUMNS]
    num_trades = len(columns[0])
    for name, column in zip(_TRADE_COLUMNS, columns):
        if len(column) != num_trades:
            raise ValueError(f"trade column {name!r} has {len(column)} rows, 'pnl' has "
                             f"{num_trades}")

    # A buffer's items may be numpy scalars; a list's are the caller's own.
    at: Callable[[int], Any] = (lambda i: int(ts[i])) if curve_columns is not None else \
        ts.__getitem__
    start, end = (at(0), at(-1)) if n else (None, None)
    span = end - start if start is not None and end is not None else None
    ppy = infer_periods_per_year(ts, time_unit) if periods_per_year is None \
        else periods_per_year
    root_ppy = math.sqrt(ppy) if ppy == ppy else _NAN

    # Only the initial cash can be zero: equity at or below zero makes no returns at all.
    returns = not final_cash <= 0
    curve: tuple[Any, ...] | None = None
    if wanted is not None and _CURVE_METRICS.isdisjoint(wanted):
        curve = _NO_CURVE
    elif curve_columns is not None:
        curve = _native_curve(*curve_columns, initial_cash, returns)
    if curve is None:
        curve = _curve_passes(_as_list(eq), _as_list(ts), initial_cash, returns)
    (max_present, first_nonpositive, mean_r, stdev_r, downside_dev, avg_depth, max_dd_duration,
     avg_dd_duration, max_dd_bars, avg_dd_bars) = curve

    peak_candidates = [x for x in (initial_cash, max_present) if x == x]
    equity_peak = max(peak_candidates, default=_NAN)
    wiped_out_at = None
    if first_nonpositive >= 0:
        wiped_out_at = at(first_nonpositive)
    elif n and final_cash <= 0:
        wiped_out_at = end
    wiped_out = wiped_out_at is not None or final_cash <= 0

    cagr = _NAN
    ratio = _div(final_cash, initial_cash)
    if n >= 2 and span is not None and span > 0 and ratio > 0 and not wiped_out:
        try:
            cagr = (ratio ** (1 / (span / year)) - 1) * 100
        except OverflowError:  # a large gain over a very short span
            cagr = math.inf

    spread_per_lot = 2 * spread * contract_size * quote_to_account
    swap = trades.get("swap", ())
    figures: tuple[Any, ...] | None = None
    if wanted is not None and _TRADE_METRICS.isdisjoint(wanted):
        figures = _NO_TRADES
    elif native:
        figures = _native_trades(columns, swap, spread_per_lot)
    if figures is None:
        pnl, commission, lot_size, entry_time, exit_time = map(_as_list, columns)
        figures = _trade_passes(pnl, commission, lot_size, entry_time, exit_time, _as_list(swap),
                                spread_per_lot)
    (mean_net, stdev_net, wins, sum_wins, losses, sum_losses, best, worst, run_wins, run_losses,
     avg_trade_duration, max_trade_duration, commissions, spreads, swaps) = figures

    win_share = _div(wins, num_trades)
    avg_win = sum_wins / wins if wins else _NAN
    avg_loss = sum_losses / losses if losses else _NAN
    payoff = _div(avg_win, abs(avg_loss))
    profit_factor = sum_wins / abs(sum_losses) if losses and abs(sum_losses) else (
        math.inf if wins else _NAN)
    reasons = trades.get("exit_reason", ())
    stop_outs = reasons.count("stop_out") if type(reasons) in (list, tuple) else \
        sum(1 for reason in reasons if reason == "stop_out")

    values: tuple[float | int | None, ...] = (
        start, end, span, n, ppy, _div(exposure_bars, n) * 100,
        final_cash, equity_peak, wiped_out_at, (final_cash - initial_cash) / initial_cash * 100
        if initial_cash else _NAN,
        _div(last_close - first_close, first_close) * 100,
        mean_r * ppy * 100, cagr, stdev_r * root_ppy * 100,
        _div(mean_r, stdev_r) * root_ppy, _div(mean_r, downside_dev) * root_ppy,
        _div(cagr, max_drawdown_pct),
        max_drawdown_pct, avg_depth, max_dd_duration, avg_dd_duration, max_dd_bars, avg_dd_bars,
        num_trades, win_share * 100, mean_net, best, worst, avg_win, avg_loss, payoff,
        profit_factor, win_share - _div(1 - win_share, payoff),
        math.sqrt(num_trades) * _div(mean_net, stdev_net), run_wins, run_losses,
        avg_trade_duration, max_trade_duration, commissions,
        spreads if spread_paid is None else spread_paid, swaps, orders_refused, stop_outs,
    )
    if wanted is None:
        return dict(zip(METRICS, values, strict=True))
    return {name: value for name, value in zip(METRICS, values, strict=True) if name in wanted}


def _column(seq: Any, kind: type) -> Any:
    """`seq` as the native passes read it: a buffer as it is (the pass refuses the wrong kind),
    a list or tuple of exactly `kind` as an array; None for anything else."""
    if isinstance(seq, (list, tuple)):
        if not all(type(x) is kind for x in seq):
            return None  # ints among floats divide otherwise; bools are no timestamps
        try:
            return array("d" if kind is float else "q", seq)
        except OverflowError:  # an integer past 64 bits
            return None
    try:
        memoryview(seq)
    except TypeError:
        return None
    return seq


def _native_curve(equity: Any, timestamps: Any, initial_cash: float,
                  returns: bool) -> tuple[Any, ...] | None:
    try:
        curve: tuple[Any, ...] | None = _backtest._curve_metrics(
            equity, timestamps, float(initial_cash), returns)
    except TypeError:  # not float64 and int64 buffers: the Python passes read them
        return None
    return curve


def _native_trades(columns: list[Any], swap: Any, spread_per_lot: float
                   ) -> tuple[Any, ...] | None:
    pnl, commission, lot_size, entry_time, exit_time = columns
    held = [_column(c, kind) for c, kind in ((pnl, float), (commission, float), (swap, float),
                                             (lot_size, float), (entry_time, int),
                                             (exit_time, int))]
    if any(c is None for c in held):
        return None
    try:
        figures: tuple[Any, ...] | None = _backtest._trade_metrics(
            held[0], held[1], held[2], held[3], held[4], held[5], float(spread_per_lot))
    except TypeError:
        return None
    return figures


def _curve_passes(eq: list[float], ts: list[int], initial_cash: float, returns: bool
                  ) -> tuple[Any, ...]:
    """The figures of the equity curve that `_backtest._curve_metrics` gives, in Python:
    (max of the values present, first bar at or below zero or -1, mean, stdev and downside
    deviation of the returns, then mean depth, longest and mean duration, longest and mean
    length in bars of the drawdowns)."""
    present = _without_nan(eq)
    first_nonpositive = -1
    if present and min(present) <= 0:
        first_nonpositive = next(i for i, e in enumerate(eq) if e <= 0)
    r = _returns(eq, initial_cash) if returns and first_nonpositive < 0 else []
    mean_r, stdev_r = _mean_stdev(r)
    downside = [x for x in r if x < 0]
    downside_dev = math.sqrt(_sum_squares(downside) / len(r)) if r else _NAN
    depths, durations, lengths = _drawdowns(eq, ts)
    return (max(present, default=_NAN), first_nonpositive, mean_r, stdev_r, downside_dev,
            _mean(depths) if depths else 0.0, max(durations, default=0),
            _mean(list(map(float, durations))) if durations else 0.0,
            max(lengths, default=0), _mean(list(map(float, lengths))) if lengths else 0.0)


def _trade_passes(pnl: list[float], commission: list[float], lot_size: list[float],
                  entry_time: list[int], exit_time: list[int], swap: list[float],
                  spread_per_lot: float) -> tuple[Any, ...]:
    """The figures of the trades that `_backtest._trade_metrics` gives, in Python: (mean and
    stdev of net, count and sum of the wins, of the losses, best and worst net, longest runs
    of wins and of losses, mean and longest duration, sums of commissions, spreads and swaps)."""
    net = list(map(sub, pnl, commission))
    if any(swap):  # a zero swap must not turn a -0.0 net into +0.0
        net = list(map(add, net, swap))
    wins = [x for x in net if x > 0]
    present_net = _without_nan(net)  # max() would keep a NaN that comes first
    losses = [x for x in net if x < 0]
    mean_net, stdev_net = _mean_stdev(net)
    run_wins, run_losses = _longest_runs(net)
    durations = list(map(sub, exit_time, entry_time))
    return (mean_net, stdev_net, len(wins), _fsum(wins), len(losses), _fsum(losses),
            max(present_net, default=_NAN), min(present_net, default=_NAN), run_wins,
            run_losses, _mean(list(map(float, durations))),
            max(durations) if durations else None, _fsum(list(map(float, commission))),
            _fsum(list(map(mul, lot_size, repeat(spread_per_lot)))), _fsum(list(map(float, swap))))
