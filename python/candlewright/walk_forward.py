"""Walk-forward analysis: choose the parameters on a training window, trade them on the window
that follows, move on, and judge the strategy by the test windows alone.

Each choice is a `sweep` over the training bars; each test is a `Backtest` run of the chosen
set over the test bars, on a fresh account. The test windows' equity curves are stitched end to
end: each value of a window is shifted by `previous_end - initial_cash` (computed first), so a
window continues from the equity the one before ended at, as one account would have shown had
each window's profit or loss been carried into the next.
"""
from __future__ import annotations

import bisect
import importlib
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from _candlewright import Bar

from .backtest import Backtest
from .bars import Bars
from .fx import fixed_account, window
from .metrics import infer_periods_per_year
from .resample import span_seconds
from .result import Result
from .strategies import Strategy
from .sweeps import SweepResult, sweep, with_rules

__all__ = ["walk_forward", "WalkForward", "Window"]



@dataclass(frozen=True)
class Window:
    """One step: the bars it trained and tested on (index ranges, end excluded), the set the
    training chose (None when no set scored), its training result, and the test run."""

    train: tuple[int, int]
    test: tuple[int, int]
    params: dict[str, Any] | None
    in_sample: SweepResult | None
    out_of_sample: Result | None


@dataclass(frozen=True)
class WalkForward:
    """The windows, and the test windows stitched: timestamps and equity at every test bar,
    and the closed trades of every test run, in order."""

    windows: list[Window]
    timestamps: list[int] = field(repr=False)
    equity: list[float] = field(repr=False)
    trades: list[Any] = field(repr=False)
    initial_cash: float

    @property
    def final_cash(self) -> float:
        return self.equity[-1] if self.equity else self.initial_cash

    @property
    def total_return_pct(self) -> float:
        return (self.final_cash - self.initial_cash) / self.initial_cash * 100.0

    def to_pandas(self) -> Any:
        """One row per window: its spans, the chosen parameters, the in-sample score and the
        out-of-sample figures (needs pandas)."""
        pd: Any = importlib.import_module("pandas")
        rows = []
        for w in self.windows:
            stats = w.out_of_sample.stats if w.out_of_sample is not None else None
            rows.append({"train_start": w.train[0], "train_end": w.train[1],
                         "test_start": w.test[0], "test_end": w.test[1], **(w.params or {}),
                         "in_sample_score": None if w.in_sample is None else w.in_sample.score,
                         "test_final_cash": None if stats is None else stats.final_cash,
                         "test_trades": None if stats is None else stats.num_trades})
        return pd.DataFrame(rows)


def walk_forward(strategy_factory: Callable[..., Strategy],
                 grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
                 bars: Sequence[Bar], *, train: int | str, test: int | str,
                 step: int | str | None = None, anchored: bool = False,
                 maximize: str | Callable[[Any], float], initial_cash: float,
                 commission: float, spread: Any, contract_size: float,
                 quote_to_account: Any, account_options: Mapping[str, Any] | None = None,
                 rules: str | None = None, **sweep_options: Any) -> WalkForward:
    """Walks forward over `bars`: windows of `train` bars to choose on, then `test` bars to
    trade on, moved by `step` (by default `test`, so the test windows follow each other). A
    span is a number of bars or a time such as "90d", "12w", "6h". `anchored` keeps every
    training window starting at the first bar. The set chosen is the one `maximize` scores
    highest (see `sweep`, which also takes `sweep_options`: method, constraint, executor...);
    `rules` and `account_options` are the account's, as `sweep` takes them.
    Only windows whose test span lies wholly within the bars are made. Every run annualises
    its metrics with the `periods_per_year` of `account_options` or, by default, with the one
    inferred from all the bars, which a window too short to hold a whole week could not infer.
    """
    data = bars if isinstance(bars, Bars) else Bars(bars)
    spread, quote_to_account = fixed_account(data, spread, quote_to_account)
    options = with_rules(account_options, rules)
    if options.get("periods_per_year") is None:
        periods = infer_periods_per_year(data.timestamp, options.get("time_unit", "s"))
        if periods > 0:  # not NaN: there are two bars or more
            options["periods_per_year"] = periods
    windows = []
    stamps: list[int] = []
    equity: list[float] = []
    trades: list[Any] = []
    carried = float(initial_cash)
    for train_span, test_span in _windows(data, train, test, step, anchored):
        chosen = sweep(strategy_factory, grid, data[train_span[0]:train_span[1]],
                       initial_cash=initial_cash, commission=commission,
                       spread=window(spread, *train_span), contract_size=contract_size,
                       quote_to_account=window(quote_to_account, *train_span),
                       maximize=maximize, account_options=options, **sweep_options).best
        run = None
        if chosen is not None:
            test_bars = data[test_span[0]:test_span[1]]
            run = Backtest(test_bars, initial_cash, commission, window(spread, *test_span),
                           contract_size, window(quote_to_account, *test_span),
                           **options).run(strategy_factory(**chosen.params))
            shift = carried - float(initial_cash)
            equity.extend(value + shift for value in run.equity)
            stamps.extend(test_bars.timestamp)
            trades.extend(run.trades)
            carried = equity[-1] if equity else carried
        windows.append(Window(train_span, test_span, None if chosen is None else chosen.params,
                              chosen, run))
    return WalkForward(windows, stamps, equity, trades, float(initial_cash))


def _windows(bars: Bars, train: int | str, test: int | str, step: int | str | None,
             anchored: bool) -> list[tuple[tuple[int, int], tuple[int, int]]]:
    """The (train, test) index ranges."""
    step = test if step is None else step
    kinds = {isinstance(span, str) for span in (train, test, step)}
    if len(kinds) != 1:
        raise ValueError("train, test and step must all be bar counts or all be times")
    n = len(bars)
    out = []
    if kinds == {False}:
        train_n, test_n, step_n = (_count(v, name) for v, name in
                                   ((train, "train"), (test, "test"), (step, "step")))
        start = 0
        while start + train_n + test_n <= n:
            out.append(((0 if anchored else start, start + train_n),
                        (start + train_n, start + train_n + test_n)))
            start += step_n
        return out
    times = list(bars.timestamp)
    if not times:
        return out
    train_s, test_s, step_s = (_seconds(v, name) for v, name in
                               ((train, "train"), (test, "test"), (step, "step")))
    origin, last = times[0], times[-1]
    start = origin
    while start + train_s + test_s <= last + 1:
        edges = [bisect.bisect_left(times, t) for t in
                 (origin if anchored else start, start + train_s, start + train_s + test_s)]
        if edges[1] > edges[0] and edges[2] > edges[1]:
            out.append(((edges[0], edges[1]), (edges[1], edges[2])))
        start += step_s
    return out


def _count(value: int | str, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a number of bars >= 1 or a time such as '90d', not "
                         f"{value!r}")
    return value


def _seconds(value: int | str, name: str) -> int:
    seconds = span_seconds(value) if isinstance(value, str) else None
    if seconds is None or seconds < 1:
        raise ValueError(f"{name} must be a time such as '90d', '12w', '6h' or a number of bars,"
                         f" not {value!r}")
    return seconds
