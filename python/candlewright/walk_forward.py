"""Walk-forward analysis: choose the parameters on a training window, trade them on the window
that follows, move on, and judge the strategy by the test windows alone.

Each choice is a `sweep` over the training bars; each test is a `Backtest` run of the chosen
set over the test bars, on a fresh account. The test windows' equity curves are stitched end to
end: each value of a window is shifted by `previous_end - initial_cash` (computed first), so a
window continues from the equity the one before ended at, as one account would have shown had
each window's profit or loss been carried into the next. A portfolio walks the same way over its
timeline, each window the portfolio cut to the window's times (`Portfolio.between`).
"""
from __future__ import annotations

import bisect
import importlib
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from _candlewright import Bar

from ._account import (COMMISSION, CONTRACT_SIZE, INITIAL_CASH, QUOTE_TO_ACCOUNT, SPREAD,
                       merge_rules, refuse)
from .backtest import RULES, Backtest
from .bars import Bars
from .fx import fixed_account, window
from .metrics import infer_periods_per_year
from .portfolio import Portfolio
from .recipes import CrossStrategy
from .resample import span_seconds
from .result import Result
from .signals import run_strategy
from .strategies import AnyStrategy
from .sweeps import SweepResult, _own_account, sweep

__all__ = ["walk_forward", "WalkForward", "Window"]



@dataclass(frozen=True)
class Window:
    """One step: the bars it trained and tested on (index ranges, end excluded), the set the
    training chose (None when no set scored), its training result, and the test run; and the
    times of the first and last bar of each range (in the run's time unit)."""

    train: tuple[int, int]
    test: tuple[int, int]
    params: dict[str, Any] | None
    in_sample: SweepResult | None
    out_of_sample: Result | None
    train_times: tuple[int, int] | None = None
    test_times: tuple[int, int] | None = None


@dataclass(frozen=True)
class WalkForward:
    """The windows, and the test windows stitched: timestamps and equity at every test bar,
    and the closed trades of every test run, in order."""

    windows: list[Window]
    timestamps: list[int] = field(repr=False)
    equity: list[float] = field(repr=False)
    trades: list[Any] = field(repr=False)
    initial_cash: float
    time_unit: str = "s"

    @property
    def final_cash(self) -> float:
        return self.equity[-1] if self.equity else self.initial_cash

    @property
    def total_return_pct(self) -> float:
        return (self.final_cash - self.initial_cash) / self.initial_cash * 100.0

    def to_pandas(self) -> Any:
        """One row per window: its spans, as bar numbers (`train_start`, `train_end`, end
        excluded) and as the UTC times of their first and last bars (`train_first`,
        `train_last`: pandas Timestamps), the chosen parameters, the in-sample score and the
        out-of-sample figures (needs pandas)."""
        pd: Any = importlib.import_module("pandas")

        def times(span: tuple[int, int] | None) -> tuple[Any, Any]:
            if span is None:
                return None, None
            first, last = pd.to_datetime(list(span), unit=self.time_unit, utc=True)
            return first, last

        rows = []
        for w in self.windows:
            stats = w.out_of_sample.stats if w.out_of_sample is not None else None
            train_first, train_last = times(w.train_times)
            test_first, test_last = times(w.test_times)
            rows.append({"train_start": w.train[0], "train_end": w.train[1],
                         "test_start": w.test[0], "test_end": w.test[1],
                         "train_first": train_first, "train_last": train_last,
                         "test_first": test_first, "test_last": test_last, **(w.params or {}),
                         "in_sample_score": None if w.in_sample is None else w.in_sample.score,
                         "test_final_cash": None if stats is None else stats.final_cash,
                         "test_trades": None if stats is None else stats.num_trades})
        return pd.DataFrame(rows)


def walk_forward(strategy_factory: Callable[..., AnyStrategy],
                 grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
                 bars: Sequence[Bar] | Portfolio, *, train: int | str, test: int | str,
                 step: int | str | None = None, anchored: bool = False,
                 maximize: str | Callable[[Any], float], initial_cash: float = INITIAL_CASH,
                 commission: float = COMMISSION, spread: Any = SPREAD,
                 contract_size: float = CONTRACT_SIZE, quote_to_account: Any = QUOTE_TO_ACCOUNT,
                 account_options: Mapping[str, Any] | None = None,
                 **options: Any) -> WalkForward:
    """Walks forward over `bars`: windows of `train` bars to choose on, then `test` bars to
    trade on, moved by `step` (by default `test`, so the test windows follow each other). A
    span is a number of bars or a time such as "90d", "12w", "6h". `anchored` keeps every
    training window starting at the first bar. The set chosen is the one `maximize` scores
    highest (see `sweep`, whose other keywords it takes too: method, constraint, executor...).
    The account is given as `sweep` and `Backtest` take it: the five figures, each with its
    default, and the account's rules as keywords (`account_options`, deprecated, as a dict).
    Only windows whose test span lies wholly within the bars are made. Every run annualises
    its metrics with the `periods_per_year` given or, by default, with the one inferred from
    all the bars, which a window too short to hold a whole week could not infer.

    A `Portfolio` may stand for `bars`, on its own account (no account keyword is taken): the
    windows are then spans of its timeline (a bar count counts its steps), and each window is
    `portfolio.between(first, end)` over the times of its steps, so every instrument is cut to
    the same time range; an instrument without a bar in a window is in it without bars, and
    does not trade there. Each test run is then a `PortfolioResult`, and the stitched equity
    has a value per step of the test windows.
    """
    if isinstance(bars, Portfolio):
        _own_account("walk_forward()", (initial_cash, commission, spread, contract_size,
                                        quote_to_account),
                     {k: v for k, v in options.items() if k in RULES}, account_options)
        unknown = [k for k in options if k not in RULES and k not in _SWEEP_OPTIONS]
        if unknown:
            refuse("walk_forward()", unknown, _SWEEP_OPTIONS)
        return _walk_portfolio(strategy_factory, grid, bars, train, test, step, anchored,
                               maximize, options)
    unknown = [k for k in options if k not in RULES and k not in _SWEEP_OPTIONS]
    if unknown:
        refuse("walk_forward()", unknown, (*RULES, *_SWEEP_OPTIONS))
    searching = {k: v for k, v in options.items() if k in _SWEEP_OPTIONS}
    rules = merge_rules("walk_forward()", {k: v for k, v in options.items() if k in RULES},
                        account_options, RULES, stacklevel=2)
    data = bars if isinstance(bars, Bars) else Bars(bars)
    spread, quote_to_account = fixed_account(data, spread, quote_to_account)
    unit = rules.get("time_unit", "s")
    if rules.get("periods_per_year") is None:
        periods = infer_periods_per_year(data.timestamp, unit)
        if periods > 0:  # not NaN: there are two bars or more
            rules["periods_per_year"] = periods

    def choose(span: tuple[int, int]) -> Any:
        return sweep(strategy_factory, grid, data[span[0]:span[1]],
                     initial_cash=initial_cash, commission=commission,
                     spread=window(spread, *span), contract_size=contract_size,
                     quote_to_account=window(quote_to_account, *span),
                     maximize=maximize, **searching, **rules).best

    def tested(span: tuple[int, int], params: dict[str, Any]) -> tuple[Any, Any]:
        test_bars = data[span[0]:span[1]]
        backtest = Backtest(test_bars, initial_cash, commission, window(spread, *span),
                            contract_size, window(quote_to_account, *span), **rules)
        strategy = strategy_factory(**params)
        # A recipe's set runs natively, as its sweep did: the same run, without Python per bar.
        return (run_strategy(backtest, strategy) if isinstance(strategy, CrossStrategy)
                else backtest.run(strategy), test_bars.timestamp)

    return _stitched(_windows(data, train, test, step, anchored), data.timestamp,
                     float(initial_cash), unit, choose, tested)


def _walk_portfolio(strategy_factory: Callable[..., AnyStrategy], grid: Any,
                    portfolio: Portfolio, train: int | str, test: int | str,
                    step: int | str | None, anchored: bool,
                    maximize: str | Callable[[Any], float],
                    searching: dict[str, Any]) -> WalkForward:
    times = list(portfolio.timestamp)

    def cut(span: tuple[int, int]) -> Portfolio:
        # The window's steps as a time range: to the next step's time, or past the last one.
        end = times[span[1]] if span[1] < len(times) else times[-1] + 1
        return portfolio.between(times[span[0]], end)

    def choose(span: tuple[int, int]) -> Any:
        return sweep(strategy_factory, grid, cut(span), maximize=maximize, **searching).best

    def tested(span: tuple[int, int], params: dict[str, Any]) -> tuple[Any, Any]:
        part = cut(span)
        return part.run(strategy_factory(**params)), part.timestamp

    return _stitched(_windows(portfolio, train, test, step, anchored), times,
                     float(portfolio.initial_cash), portfolio.time_unit, choose, tested)


def _stitched(spans: Any, times: Any, initial_cash: float, unit: str,
              choose: Callable[[tuple[int, int]], Any],
              tested: Callable[[tuple[int, int], dict[str, Any]], tuple[Any, Any]]
              ) -> WalkForward:
    """Each window's choice on its training span and run on its test span, the test runs'
    equity stitched end to end, each starting from the cash the one before ended with."""
    windows = []
    stamps: list[int] = []
    equity: list[float] = []
    trades: list[Any] = []
    carried = initial_cash
    for train_span, test_span in spans:
        chosen = choose(train_span)
        run = None
        if chosen is not None:
            run, test_times = tested(test_span, chosen.params)
            shift = carried - initial_cash
            equity.extend(value + shift for value in run.equity)
            stamps.extend(test_times)
            trades.extend(run.trades)
            carried = equity[-1] if equity else carried
        windows.append(Window(train_span, test_span, None if chosen is None else chosen.params,
                              chosen, run, (times[train_span[0]], times[train_span[1] - 1]),
                              (times[test_span[0]], times[test_span[1] - 1])))
    return WalkForward(windows, stamps, equity, trades, initial_cash, unit)


# What walk_forward passes on to each window's sweep, beside the account.
_SWEEP_OPTIONS = ("executor", "max_workers", "progress", "constraint", "method", "max_tries",
                  "random_state", "metrics")


def _windows(bars: Bars | Portfolio, train: int | str, test: int | str, step: int | str | None,
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
