"""Runs you can inspect: `Backtest` runs a strategy on an `Account` and returns a `Result` with
the eleven figures, the trade journal, the equity curve and the metrics built on them.

The run is `Engine.run`'s, on the same native arithmetic: for every strategy,
`Backtest(...).run(s).stats` equals `Engine(...).run(s)` to the bit. What it adds is kept
natively as the run goes (a ticket, bar numbers, the exit reason and the excursions of every
trade; the equity at every bar), so recording costs almost nothing.
"""
from __future__ import annotations

import functools
import importlib
import inspect
import math
import numbers
import operator
import os
import re
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Never, cast

from _candlewright import Bar

from . import _backtest
from ._account import COMMISSION, CONTRACT_SIZE, INITIAL_CASH, QUOTE_TO_ACCOUNT, SPREAD, refuse
from ._backtest import Account, Column, Order, Position, Ticks, Trade, Trades
from ._cores import cores
from ._progress import run_watched
from .bars import (PRICE_NAMES, TIME_NAMES, Bars, _buffer, _pick, _times, from_dataframe,
                   read_csv)
from .fx import per_bar, rollover_nights, rollover_rule
from .metrics import TIME_UNITS, infer_periods_per_year
from .result import SUMMARY, TRADE_COLUMNS, Result, json_safe
from .signals import check_arguments, run_signals, run_strategies
from .strategies import made
from .strategy import Strategy

__all__ = ["Backtest", "Result", "Account", "Order", "Position", "Trade", "Trades", "Column",
           "TRADE_COLUMNS", "SUMMARY", "json_safe"]

class Backtest:
    """Bars and an account, ready to run strategies on.

    The account figures may be given in this order or by name, and each defaults to a typical
    EURUSD retail account's, so that a run is never free of costs unless asked to be:
    `initial_cash=10_000` (account currency), `commission=7` (per lot, charged at the
    opening), `spread=0.0002` (2 pips, in price units), `contract_size=100_000` (units per lot)
    and `quote_to_account=1` (the quote currency is the account's).

    `data` is a sequence of `Bar`, or columns: a mapping, a pandas `DataFrame` or any object with
    `timestamp`, `open`, `high`, `low`, `close` and optionally `volume` columns (as keys or
    attributes, in any case; `time` or `date` may name the timestamps, and a DataFrame may give
    them as a DatetimeIndex). Columns are read natively through the buffer protocol (numpy
    arrays, `array.array`), without a `Bar` per row; lists are accepted too. Date-times become
    integer timestamps in `time_unit` ("s", "ms", "us" or "ns" since the epoch, UTC), which is
    also the unit the metrics read timestamps in. `periods_per_year` fixes the annualisation of
    the metrics; by default it is inferred from the whole weeks of the bars, or of the series
    they were cut from for `bars[a:b]` of loaded `Bars`.

    The account's rules come in two sets (the README's account model gives each rule's
    formula):

    - `rules="broker"` (the default) fills as a retail FX broker does and refuses what one
      refuses: `spread` is the whole bid-ask spread, paid once per round trip; the bars are bid
      prices (`prices="ask"` or `"mid"` for others), so buys fill at the ask (price + spread) and
      sells at the bid, a short's stop-loss and take-profit trigger when the ask reaches them,
      and open positions are valued on the side they close on; a level the bar opens beyond
      fills at the open; orders with lots, prices or levels a broker refuses, and fills at a
      price outside the current bar's range, raise ValueError; trailing stops move after the bar
      that tested them, from its close; a pending order's position is first examined on the
      next bar. Where the data has the ask's own bars (`ask=`, or columns `ask_open`,
      `ask_high`, `ask_low`, `ask_close`), they are used instead of bid + spread.
    - `rules="engine"` is `Engine`/`Broker`'s arithmetic wholesale: the spread added at the
      entry and again at the exit, levels read on the bars as they are and filled at the level
      through a gap, any order accepted. `run(s).stats` then equals `Engine(...).run(s)` to the
      bit.

    Each rule may also be given on its own, over either set (None: the set's):
    `prices`/`spread_at` (the spread model: "bid", "ask", "mid", or the engine's "both"/"entry"),
    `gap_fills` ("open" or "level"), `trail_from` ("close" or "extremes"), `fill_bar_exits`
    (whether a pending order's position may close on its fill bar), `check_orders`.

    The account's other options:

    - `spread` a number, or per bar: the name of a data column (a loaded file's `spread`) or a
      sequence; with `point` (e.g. 0.00001) it is in points, as such files write it. The
      spread of the bar a fill happens in applies.
    - `quote_to_account` a number, or per bar: a column name or a sequence of rates (account
      currency per unit of the quote currency), or "1/close" when the account currency is the
      quote's base (USDJPY on a USD account). It applies at each close and each equity point.
    - `commission_at="both"`: half the commission at the opening, half at the closing.
    - `swap_long`, `swap_short`: per lot per night, account currency (or points with
      `swap_unit="points"`), charged at the `rollover` ("17:00" in `rollover_tz`), three nights
      on `triple_swap` day; see `candlewright.fx`.
    - `leverage` or `margin_per_lot`: margin is kept, orders without free margin are refused
      (no ticket), and at a margin level (percent) at or below `stop_out` on a bar's worst price
      positions are closed there, largest loss first (`stop_out=None`: never).

    Inside the bars: a bar cannot say whether its high or its low came first. Where it matters
    (it reaches both a position's stop and its target, a pending order fills and its stop or
    target is reached too, a trailing stop would move and the moved stop is reached) the rules
    above choose the order that does not favour the strategy (the stop first; the trailing stop
    moved only after the bar). `intrabar=` gives finer data inside the bars: `Bars` (M1 bars
    under H1, with their ask's columns if they have them; or a file or DataFrame of them) or
    `Ticks` (`read_ticks`). The
    strategy still runs at each bar's close; a bar with a position open or an order pending has
    its fills, exits, trailing stops and stop-out decided on the finer steps inside it, in time
    order, by the same rules (a tick is a bar of one price: every level fills at a tick's bid or
    ask, and its ask is read when the bars are the bid's). A bar falls back to its own rules where
    the finer data has a hole in it or does not reach exactly its low and high.
    `result.metrics` counts the ambiguous bars, those resolved on finer data and those that fell
    back; `result.ambiguous` lists the ambiguous bars and how each went.
    """

    def __init__(self, data: Any, initial_cash: float = INITIAL_CASH,
                 commission: float = COMMISSION, spread: Any = SPREAD,
                 contract_size: float = CONTRACT_SIZE, quote_to_account: Any = QUOTE_TO_ACCOUNT,
                 *, rules: str = "broker",
                 prices: str | None = None, ask: Any = None, time_unit: str = "s",
                 periods_per_year: float | None = None, point: float | None = None,
                 spread_at: str | None = None, gap_fills: str | None = None,
                 trail_from: str | None = None, fill_bar_exits: bool | None = None,
                 check_orders: bool | None = None, commission_at: str = "open",
                 swap_long: float = 0.0, swap_short: float = 0.0, swap_unit: str = "account",
                 rollover: str = "17:00", rollover_tz: Any = "America/New_York",
                 triple_swap: str | int = "wednesday", leverage: float | None = None,
                 margin_per_lot: float | None = None, stop_out: float | None = 50.0,
                 lot_step: float = 0.01, min_lots: float = 0.01, max_lots: float | None = None,
                 intrabar: Any = None, **unexpected: Never) -> None:
        if unexpected:
            refuse("Backtest()", unexpected, _KEYWORDS)
        if isinstance(initial_cash, type) or hasattr(initial_cash, "next"):
            name = getattr(initial_cash, "__name__", type(initial_cash).__name__)
            raise TypeError(f"Backtest(data, ...) takes the account, not the strategy: give "
                            f"{name} to run(), as Backtest(data).run({name}, **params)")
        if time_unit not in TIME_UNITS:
            raise ValueError(f"time_unit must be one of {', '.join(map(repr, TIME_UNITS))}, "
                             f"not {time_unit!r}")
        if periods_per_year is not None and not periods_per_year > 0:
            raise ValueError(f"periods_per_year must be positive, not {periods_per_year!r}")
        if point is not None and not (isinstance(point, (int, float)) and 0 < point < math.inf):
            raise ValueError(f"point must be a positive number, not {point!r}")
        self.time_unit, self._periods_per_year = time_unit, periods_per_year
        self._lots = _lot_options(lot_step, min_lots, max_lots)
        self._data = data
        # A run of bars cut from a series annualises by the series' calendar (see `metrics`).
        self._series = data.series_timestamp if isinstance(data, Bars) else None
        rule = rollover_rule(rollover, rollover_tz, triple_swap)
        spread_each = _is_per_bar(spread)
        rate_each = _is_per_bar(quote_to_account)
        spread_value = 0.0 if spread_each else spread * point if point is not None else spread
        account = Account(initial_cash, commission, spread_value, contract_size,
                          1.0 if rate_each else quote_to_account, rules=rules, prices=prices,
                          gap_fills=gap_fills, spread_at=spread_at, trail_from=trail_from,
                          fill_bar_exits=fill_bar_exits, check_orders=check_orders,
                          commission_at=commission_at, swap_long=swap_long,
                          swap_short=swap_short, swap_unit=swap_unit, point=point,
                          leverage=leverage, margin_per_lot=margin_per_lot, stop_out=stop_out)
        self._rules = account.rules
        self._lots["check_orders"] = self._rules["check_orders"]
        columns = _columns_of(data, time_unit)
        if columns is None:
            runner = _backtest.Runner(data, account)
        else:
            runner = _backtest.Runner.from_columns(*columns, account)
        values: dict[str, Any] = {}
        n = len(runner)
        asks = _ask_columns(ask, data, runner, time_unit, self._rules["prices"])
        if asks is not None:
            values.update(asks)
        elif spread_each:
            values["spread"] = per_bar(spread, "spread", data, runner.__getattribute__, n)
            if point is not None:
                values["spread_scale"] = point
        if rate_each:
            if isinstance(quote_to_account, str) and quote_to_account == "1/close":
                values.update(quote_to_account=runner.close, invert_rate=True)
            else:
                values["quote_to_account"] = per_bar(quote_to_account, "quote_to_account", data,
                                                     runner.__getattribute__, n)
        if swap_long or swap_short:
            nights = rollover_nights(_view(runner.timestamp), TIME_UNITS[time_unit], rule)
            if nights is not None:
                values["nights"] = nights
        self._runner = runner.with_values(**values) if values else runner
        self.intrabar = intrabar
        if intrabar is not None:
            self._runner = _with_intrabar(self._runner, intrabar, self._rules["prices"],
                                          TIME_UNITS[time_unit])
        self._options = {"spread": "<ask - bid>" if asks is not None else spread,
                         "quote_to_account": quote_to_account,
                         "per_bar": spread_each or rate_each or asks is not None}

    @property
    def rules(self) -> dict[str, Any]:
        """The rules in force, each by its keyword (a copy)."""
        return dict(self._rules)

    @property
    def periods_per_year(self) -> float:
        """The metrics' annualisation: the value given, or the one inferred from the bars'
        whole weeks (see `candlewright.metrics.infer_periods_per_year`)."""
        if self._periods_per_year is None:
            series = self._runner.timestamp if self._series is None else self._series
            self._periods_per_year = infer_periods_per_year(_view(series), self.time_unit)
        return self._periods_per_year

    def __len__(self) -> int:
        return len(self._runner)

    def __repr__(self) -> str:
        r = self._runner

        def shown(given: Any, value: float) -> str:
            return repr(given) if isinstance(given, str) else (
                "<per bar>" if _is_per_bar(given) else repr(value))
        spread = shown(self._options["spread"], r.spread)
        rate = shown(self._options["quote_to_account"], r.quote_to_account)
        prices = self._rules["prices"]
        model = f"prices={prices!r}" if prices else f"spread_at={self._rules['spread_at']!r}"
        return (f"Backtest({len(r)} bars, initial_cash={r.initial_cash!r}, "
                f"commission={r.commission!r}, spread={spread}, "
                f"contract_size={r.contract_size!r}, quote_to_account={rate}, {model}, "
                f"gap_fills={self._rules['gap_fills']!r}, "
                f"check_orders={self._rules['check_orders']!r})")

    def column(self, name: str) -> Column:
        """One column of the bars ("timestamp", "open", ..., "volume"), without a copy."""
        if name not in ("timestamp", *PRICE_NAMES, "volume"):
            raise ValueError(f"no bar column {name!r}")
        column: Column = getattr(self._runner, name)
        return column

    def extra_columns(self) -> dict[str, Any]:
        """The data's columns besides the bars' own (a loaded file's spread, a DataFrame's
        signal column, ...), by name, as float64 buffers; those that are not numbers are left
        out."""
        data, found = self._data, {}
        if isinstance(data, Bars):
            found = dict(data.extras)
        elif _is_frame(data) or isinstance(data, Mapping):
            np: Any = importlib.import_module("numpy")
            standard = {"timestamp", "time", "date", "datetime", *PRICE_NAMES, "volume"}
            for key in list(data.columns if _is_frame(data) else data):
                name = str(key)
                if name.lower() in standard:
                    continue
                try:
                    values = np.asarray(data[key], dtype="float64")
                except (TypeError, ValueError):
                    continue
                if values.ndim == 1 and len(values) == len(self):
                    found[name] = values
        return found

    def bars(self) -> list[Bar]:
        """The bars as `Bar` objects, for an `Engine` or a strategy's own use."""
        r = self._runner
        return list(map(Bar, r.timestamp, r.open, r.high, r.low, r.close, r.volume))

    def run(self, strategy: Any, /, *, progress: bool = False, **params: Any) -> Result:
        """Runs `strategy` as `Engine.run` does (`init(bars)` if it has one, then `next(bar,
        account)` for every bar), on a fresh `Account`.

        `strategy` is an object with a `next`, or a strategy class, made for the run with
        `params`: `run(SmaCross, fast=20)` is `run(SmaCross(fast=20))`. `progress=True` draws a
        progress bar on standard error (tqdm's when installed) once the run has taken half a
        second; the run is the same, to the bit, with no extra Python call per bar (a thread
        reads the bar number a few times a second).
        """
        strategy = made(strategy, params)
        run: Any = self._runner.run
        clock = None
        declared = isinstance(strategy, Strategy) and not strategy._plain
        if declared:
            clock = strategy._prepare(self, self._lots)
            run = functools.partial(run, clock=clock)
        if progress and len(self._runner):
            outcome = run_watched(run, strategy, len(self._runner), clock=clock)
        else:
            outcome = run(strategy)
        stats, trades, equity, exposed, refused, guesses = outcome
        result = Result(stats, trades, equity, exposed, self, refused, guesses)
        if declared:
            result.indicators = {name: {"values": values, "overlay": overlay, "color": color}
                                 for name, values, overlay, color in _unique(strategy)}
            result.orders_too_small = strategy.orders_too_small
        return result

    def run_signals(self, entries: Any, exits: Any = None, *, side: str = "long",
                    lots: Any = 1.0, stop_loss: Any = None, take_profit: Any = None,
                    max_positions: int = 1, threads: int | None = None,
                    keep: str = "all") -> Any:
        """Runs per-bar signals natively, with no Python call per bar and without the
        interpreter lock: the `Result` of `run(SignalStrategy(entries, exits, ...))`, to the bit
        (see `candlewright.signals` for what the signals do).

        `entries` and `exits` are arrays with a value per bar (numpy, pandas, pyarrow, polars,
        `array.array`, lists; booleans or numbers, by sign); `lots`, `stop_loss` and
        `take_profit` (price distances from the close) a number or an array per bar.

        Many parameter sets run in one call: give arrays of shape (bars, sets), one column per
        set (the other arrays then have one column, shared, or one per set). The result is then
        a list, one item per set, and the sets are spread over `threads` threads (by default
        one per core). `keep="figures"` keeps only each set's `Stats`, not its journal and
        equity curve.
        """
        arguments = check_arguments(entries, exits, side=side, lots=lots, stop_loss=stop_loss,
                                    take_profit=take_profit, max_positions=max_positions)
        return run_signals(self, arguments, threads, keep)

    def run_recipe(self, recipe: Any,
                   grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]], *,
                   threads: int | None = None,
                   keep: str = "all") -> list[tuple[dict[str, Any], Any]]:
        """Runs every parameter set of `grid` (as `sweep` takes it) of a recipe such as
        `Cross("sma", "sma")`, natively in one call: each distinct line is computed once, the
        crossings are found inside the loop, and the sets run on `threads` threads (by default
        one per core). Returns `(params, result)` for each set in grid order, the `Result` of
        `run(recipe(**params))` to the bit (its `Stats` with `keep="figures"`)."""
        from .recipes import run_recipe
        return run_recipe(self, recipe, grid, threads, keep)

    def run_sets(self, factory: Any, sets: Iterable[Mapping[str, Any]], *,
                 threads: int | None = None, keep: str = "all") -> list[Any]:
        """Runs `factory(**params)` for each parameter set, on `threads` threads (by default one
        per core), and returns each set's `Result` (its `Stats` with `keep="figures"`) in the
        order of `sets`. A factory that returns a `SignalStrategy` (or a mapping of
        `run_signals` arguments) runs natively without the interpreter lock, so one set's
        signals are computed while others run; other strategies run as `run` runs them. The
        first error raised stops the sets not yet started and is raised."""
        if keep not in ("all", "figures"):
            raise ValueError(f"keep must be 'all' or 'figures', not {keep!r}")
        chosen = [dict(params) for params in sets]
        count = cores() if threads is None else operator.index(threads)
        if count < 1:
            raise ValueError(f"threads must be at least 1, not {threads!r}")
        return run_strategies(self, factory, chosen, min(count, len(chosen)), keep) \
            if chosen else []

    @property
    def account(self) -> tuple[float, float, float, float, float]:
        """initial_cash, commission, spread, contract_size, quote_to_account (a spread or rate
        given per bar shows here as 0.0 and 1.0)."""
        r = self._runner
        return (r.initial_cash, r.commission, r.spread, r.contract_size, r.quote_to_account)

    def _spread_paid(self, trades: Trades, rates: Any = None) -> float | None:
        """The spread the trades paid, from the values of their bars; None when the spread and
        rate are constants paid at both ends, for which the metric has its own formula.
        `rates` (per bar) stand for the account's when a portfolio converts at each step."""
        options, rules = self._options, self._rules
        prices = rules["prices"]
        if not options["per_bar"] and rates is None and prices is None \
                and rules["spread_at"] == "both":
            return None
        r = self._runner
        spreads = r.bar_spread
        if rates is None:
            rates = r.bar_rate
        total = []
        for is_long, lot, entry_bar, exit_bar in zip(trades.is_long, trades.lot_size,
                                                     trades.entry_bar, trades.exit_bar):
            at_entry, at_exit = _spread_shares(prices, rules["spread_at"], bool(is_long))
            entry = spreads[entry_bar] if spreads is not None else r.spread
            exit_ = spreads[exit_bar] if spreads is not None else r.spread
            rate = rates[exit_bar] if rates is not None else r.quote_to_account
            total.append((entry * at_entry + exit_ * at_exit) * lot * r.contract_size * rate)
        return math.fsum(total)


def _lot_options(lot_step: float, min_lots: float, max_lots: float | None) -> dict[str, Any]:
    """The account's lot sizes: what sizing by risk rounds to, and what a strategy class's
    orders in lots are checked against."""
    for name, value in (("lot_step", lot_step), ("min_lots", min_lots)):
        if isinstance(value, bool) or not isinstance(value, numbers.Real) \
                or not 0 < value < math.inf:
            raise ValueError(f"{name} must be a positive number of lots, not {value!r}")
    if max_lots is not None and (isinstance(max_lots, bool)
                                 or not isinstance(max_lots, numbers.Real)
                                 or not min_lots <= max_lots < math.inf):
        raise ValueError(f"max_lots must be None or a number of lots >= min_lots ({min_lots!r}), "
                         f"not {max_lots!r}")
    return {"lot_step": float(lot_step), "min_lots": float(min_lots),
            "max_lots": None if max_lots is None else float(max_lots)}


def _unique(strategy: Strategy) -> list[tuple[str, Any, bool | None, str | None]]:
    """The indicators a strategy declared, a name used twice numbered."""
    seen: dict[str, int] = {}
    named = []
    for name, values, overlay, color in strategy._indicators:
        seen[name] = seen.get(name, 0) + 1
        named.append((name if seen[name] == 1 else f"{name} ({seen[name]})", values, overlay,
                      color))
    return named


def _documented(init: Any) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The keywords of `Backtest` (all of them, and the account's rules: the keyword-only ones),
    and its signature without the catch-all that only turns a misnamed keyword into a helpful
    error, so that help() and inspect show what may be given."""
    signature = inspect.signature(init)
    shown = [p for p in signature.parameters.values() if p.kind is not p.VAR_KEYWORD]
    init.__signature__ = signature.replace(parameters=shown)
    return (tuple(p.name for p in shown[2:]),
            tuple(p.name for p in shown if p.kind is p.KEYWORD_ONLY))


_KEYWORDS, RULES = _documented(Backtest.__init__)


# The share of the spread a position pays at its entry and at its exit: the side it crosses to.
_SHARES = {("bid", True): (1.0, 0.0), ("bid", False): (0.0, 1.0),
           ("ask", True): (0.0, 1.0), ("ask", False): (1.0, 0.0),
           ("mid", True): (0.5, 0.5), ("mid", False): (0.5, 0.5)}


def _spread_shares(prices: str | None, spread_at: str | None,
                   is_long: bool) -> tuple[float, float]:
    if prices is None:
        return (1.0, 1.0) if spread_at == "both" else (1.0, 0.0)
    return _SHARES[prices, is_long]


def _is_per_bar(value: Any) -> bool:
    return not isinstance(value, numbers.Real)


def _view(column: Column) -> memoryview:
    # Typed through Any: before 3.12 a class has no __buffer__ for the checker to see.
    return memoryview(cast(Any, column))


# --- columns in ---

def _with_intrabar(runner: Any, finer: Any, prices: str | None, per_second: int) -> Any:
    """The runner with exits resolved on `finer` (Bars, Ticks, a file or a DataFrame of bars)."""
    if isinstance(finer, (str, os.PathLike)):
        finer = read_csv(finer)
    elif _is_frame(finer):
        finer = from_dataframe(finer)
    if isinstance(finer, Ticks):
        if prices not in (None, "bid"):
            raise ValueError(f"intrabar= ticks need bid bars (prices='bid') or the engine's "
                             f"model, not prices={prices!r}: a tick's bid and ask are read as "
                             f"they are")
        _warn_uncovered(runner, finer.time, finer.per_second, per_second)
        return runner.with_intrabar(finer, tick_asks=prices == "bid", per_second=per_second)
    if not isinstance(finer, Bars):
        raise TypeError(f"intrabar= takes finer Bars (read_csv), Ticks (read_ticks), or a file "
                        f"or a DataFrame of bars, not {type(finer).__name__}")
    found = _ask_in(finer) if prices == "bid" else None
    asks = {} if found is None else {f"ask_{name}": _buffer(column, "d", f"ask_{name}")
                                     for name, column in zip(PRICE_NAMES, found)}
    inside = runner.with_intrabar(finer, **asks)
    _warn_uncovered(runner, finer.timestamp, per_second, per_second)
    return inside


def _warn_uncovered(runner: Any, times: Any, per_second: int, bars_per_second: int) -> None:
    """A warning when the finer data starts after the first bar or ends before the last one
    starts: every bar outside it with something open falls back to the bar rules (metrics
    count them)."""
    bars = runner.timestamp
    if not len(bars):
        return
    if not len(times):
        warnings.warn("the finer data is empty: every bar falls back to the bar rules",
                      stacklevel=4)
        return
    first, last = times[0] * bars_per_second // per_second, times[-1] * bars_per_second // per_second
    if (len(bars) > 1 and first >= bars[1]) or last < bars[-1]:
        def shown(t: int) -> str:
            return str(_instant(t, bars_per_second))
        warnings.warn(f"the finer data runs from {shown(first)} to {shown(last)}, the bars from "
                      f"{shown(bars[0])} to {shown(bars[-1])}: the bars outside it fall back to "
                      f"the bar rules", stacklevel=4)


def _instant(t: int, per_second: int) -> Any:
    import datetime as dt
    return (dt.datetime(1970, 1, 1) + dt.timedelta(seconds=t // per_second)).isoformat(" ")


def _ask_columns(ask: Any, data: Any, runner: Any, time_unit: str,
                 prices: str | None) -> dict[str, Any] | None:
    """The ask's own bars as the runner's per-bar values, or None: given as `ask` (bars or
    columns with the data's times), or found in the data as ask_open ... ask_close columns.
    Under the engine's spread model the data's ask columns are left alone."""
    if ask is None:
        found = _ask_in(data)
        if found is None or prices is None:
            return None
    elif prices is None:
        raise ValueError("ask= needs a broker's spread model (prices='bid'): the engine's adds "
                         "the spread to the bars instead")
    else:
        found = _ask_bars(ask, runner, time_unit)
    if prices != "bid":
        raise ValueError(f"with the ask's own bars, the data's prices must be the bid's "
                         f"(prices='bid'), not prices={prices!r}")
    return {f"ask_{name}": _buffer(column, "d", f"ask_{name}")
            for name, column in zip(PRICE_NAMES, found)}


def _ask_in(data: Any) -> list[Any] | None:
    """The data's own ask columns (ask_open, AskOpen, "Ask Open", ...), if it has them."""
    if isinstance(data, Bars):
        names: dict[str, Any] = {name: name for name in data.extras}
        get: Any = data.extras.__getitem__
    elif _is_frame(data):
        names, get = {str(c): c for c in data.columns}, data.__getitem__
    elif isinstance(data, Mapping):
        names, get = {str(k): k for k in data}, data.__getitem__
    else:
        return None
    squashed = {re.sub(r"[\s_\-]", "", name).lower(): key for name, key in names.items()}
    keys = [squashed.get("ask" + name) for name in PRICE_NAMES]
    if all(key is None for key in keys):
        return None
    if any(key is None for key in keys):
        missing = [f"ask_{name}" for name, key in zip(PRICE_NAMES, keys) if key is None]
        raise ValueError(f"the data has ask columns but not {', '.join(missing)}: the ask needs "
                         f"its open, high, low and close")
    return [get(key) for key in keys]


def _ask_bars(ask: Any, runner: Any, time_unit: str) -> list[Any]:
    """The open, high, low and close of `ask`, which must have the data's times."""
    account = Account(1.0, 0.0, 0.0, 1.0, 1.0, rules="engine")
    columns = _columns_of(ask, time_unit)
    other = (_backtest.Runner(ask, account) if columns is None
             else _backtest.Runner.from_columns(*columns, account))
    if len(other) != len(runner):
        raise ValueError(f"ask= has {len(other)} bars for the data's {len(runner)}")
    times, own = _view(other.timestamp), _view(runner.timestamp)
    if times.tobytes() != own.tobytes():
        row = next(i for i, (a, b) in enumerate(zip(times, own)) if a != b)
        raise ValueError(f"ask= bar {row} is at {times[row]}, the data's at {own[row]}: the "
                         f"two sides must have the same times")
    return [other.open, other.high, other.low, other.close]


Columns = tuple[Any, Any, Any, Any, Any, Any]


def _columns_of(data: Any, unit: str) -> Columns | None:
    """The six columns of `data` ready for the native intake, or None for a sequence of Bar."""
    if isinstance(data, Bars):
        return None  # shared as they are
    if _is_frame(data):
        return _frame_columns(data, unit)
    if isinstance(data, Mapping):
        return _named_columns({str(k): k for k in data}, data.__getitem__, unit)
    if isinstance(data, (Sequence, str, bytes)) or not hasattr(data, "close"):
        return None
    names = {name: name for name in dir(data) if not name.startswith("_")}
    return _named_columns(names, lambda name: getattr(data, name), unit)


def _is_frame(data: Any) -> bool:
    return type(data).__module__.startswith("pandas") and hasattr(data, "columns")


def _named_columns(names: Mapping[str, Any], get: Any, unit: str,
                   times: Any = None) -> Columns:
    if times is None:
        key = _pick(names, TIME_NAMES)
        if key is None:
            raise ValueError("no timestamp column (looked for "
                             f"{', '.join(TIME_NAMES)}); found {', '.join(map(str, names))}")
        times = get(key)
    keys = [_pick(names, (name,)) for name in PRICE_NAMES]
    missing = [name for name, key in zip(PRICE_NAMES, keys) if key is None]
    if missing:
        raise ValueError(f"missing column {', '.join(missing)}; found "
                         f"{', '.join(map(str, names))}")
    volume_key = _pick(names, ("volume",))
    volume = None if volume_key is None else _buffer(get(volume_key), "d", "volume")
    return (_times(times, unit), *(_buffer(get(key), "d", name)
                                   for key, name in zip(keys, PRICE_NAMES)), volume)


def _frame_columns(df: Any, unit: str) -> Columns:
    names = {str(name): name for name in df.columns}
    times = None
    if _pick(names, TIME_NAMES) is None:
        pd: Any = importlib.import_module("pandas")
        if not isinstance(df.index, pd.DatetimeIndex):
            raise ValueError("the DataFrame has no timestamp/time/date column and no "
                             "DatetimeIndex")
        times = df.index
    return _named_columns(names, df.__getitem__, unit, times)
