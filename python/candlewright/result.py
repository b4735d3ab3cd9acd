"""What a run produced: `Result`, with the eleven figures, the trade journal, the equity curve and
the metrics built on them, and the names and layouts shared by everything that shows a run.

A `Result` reads what it needs of its backtest (the bars' times and closes, the account, the time
unit) through the backtest it came from, so this module imports none of the modules that run.
Pickled, copied or saved, it takes a `RunRecord` of those instead, so that it travels without the
backtest and reads the same everywhere.
"""
from __future__ import annotations

import datetime as dt
import functools
import importlib
import math
import weakref
from collections.abc import Collection, Mapping
from typing import Any, cast

from _candlewright import Stats

from ._backtest import Bars, Column, Trades
from .metrics import TIME_UNITS
from .metrics import _metrics as _metrics_of

__all__ = ["Result", "RunRecord", "FIGURES", "TRADE_COLUMNS", "SUMMARY", "SERIES", "json_safe"]

# The eleven figures of the engine's report, by name, in its order.
FIGURES = ("initial_cash", "final_cash", "total_return_pct", "num_trades", "num_wins",
           "win_rate_pct", "avg_pnl", "best_trade", "worst_trade", "profit_factor",
           "max_drawdown_pct")

TRADE_COLUMNS = ("ticket", "is_long", "lot_size", "entry_time", "exit_time", "entry_bar",
                 "exit_bar", "entry_price", "exit_price", "stop_loss", "take_profit", "pnl",
                 "commission", "swap", "exit_reason", "mae", "mfe")

# The extra figures shown under the report, with their labels (16 characters, as the report's)
# and formats.
SUMMARY = (
    ("sharpe", "Sharpe Ratio:   ", "{:.2f}"),
    ("sortino", "Sortino Ratio:  ", "{:.2f}"),
    ("cagr_pct", "CAGR:           ", "{:.2f}%"),
    ("volatility_ann_pct", "Volatility:     ", "{:.2f}%"),
    ("max_drawdown_duration", "Longest DD:     ", ""),
    ("exposure_time_pct", "Exposure:       ", "{:.1f}%"),
    ("expectancy", "Expectancy:     ", "{:.5f}"),
    ("sqn", "SQN:            ", "{:.2f}"),
    ("commissions", "Commissions:    ", "{:.2f}"),
    # The report's Win Rate and Profit Factor count pnl before commission; these count it.
    ("win_rate_net_pct", "Win Rate (net): ", "{:.1f}%"),
    ("profit_factor_net", "Prof. F. (net): ", "{:.2f}"),
)
_ACCOUNT_SUMMARY = (
    ("swaps", "Swaps:          ", "{:.2f}"),
    ("orders_refused", "Orders refused: ", "{}"),
    ("stop_outs", "Stop-outs:      ", "{}"),
)
# The bars a bar's own prices cannot settle, always shown; then, with finer data only (None
# without it), how many bars were decided on it and how many fell back to the bar rules.
_INSIDE_SUMMARY = (
    ("ambiguous_bars", "Ambiguous bars: ", "{}"),
    ("bars_resolved_inside", "Resolved finer: ", "{}"),
    ("inside_fallbacks", "Fell back:      ", "{}"),
)

# Every figure and metric once, as `Result.to_series()` names them, in its order (backtesting.py's
# where it has the figure): (key in `figures()` or `metrics`, label, kind). A time is a "time"
# or a "duration" in the run's time unit; "" is shown as it is. `final_cash` is `equity_final`.
# Where the report's figure counts pnl before commission and a metric counts it after, both
# are here, side by side, labelled (gross) and (net).
SERIES = (
    ("start", "Start", "time"),
    ("end", "End", "time"),
    ("duration", "Duration", "duration"),
    ("exposure_time_pct", "Exposure Time [%]", ""),
    ("initial_cash", "Initial Cash", ""),
    ("equity_final", "Equity Final", ""),
    ("equity_peak", "Equity Peak", ""),
    ("commissions", "Commissions", ""),
    ("spread_paid", "Spread Paid", ""),
    ("swaps", "Swaps", ""),
    ("total_return_pct", "Return [%]", ""),
    ("buy_and_hold_return_pct", "Buy & Hold Return [%]", ""),
    ("annual_return_pct", "Return (Ann., arithmetic) [%]", ""),
    ("volatility_ann_pct", "Volatility (Ann.) [%]", ""),
    ("cagr_pct", "CAGR [%]", ""),
    ("sharpe", "Sharpe Ratio", ""),
    ("sortino", "Sortino Ratio", ""),
    ("calmar", "Calmar Ratio", ""),
    ("max_drawdown_pct", "Max. Drawdown [%]", ""),
    ("avg_drawdown_pct", "Avg. Drawdown [%]", ""),
    ("max_drawdown_duration", "Max. Drawdown Duration", "duration"),
    ("avg_drawdown_duration", "Avg. Drawdown Duration", "duration"),
    ("max_drawdown_bars", "Max. Drawdown Bars", ""),
    ("avg_drawdown_bars", "Avg. Drawdown Bars", ""),
    ("num_trades", "# Trades", ""),
    ("num_wins", "# Wins (gross)", ""),
    ("win_rate_pct", "Win Rate (gross) [%]", ""),
    ("win_rate_net_pct", "Win Rate (net) [%]", ""),
    ("best_trade", "Best Trade (gross)", ""),
    ("best_trade_net", "Best Trade (net)", ""),
    ("worst_trade", "Worst Trade (gross)", ""),
    ("worst_trade_net", "Worst Trade (net)", ""),
    ("avg_pnl", "Avg. Trade (gross)", ""),
    ("expectancy", "Avg. Trade (net)", ""),
    ("max_trade_duration", "Max. Trade Duration", "duration"),
    ("avg_trade_duration", "Avg. Trade Duration", "duration"),
    ("profit_factor", "Profit Factor (gross)", ""),
    ("profit_factor_net", "Profit Factor (net)", ""),
    ("avg_win", "Avg. Win", ""),
    ("avg_loss", "Avg. Loss", ""),
    ("payoff_ratio", "Payoff Ratio", ""),
    ("sqn", "SQN", ""),
    ("kelly", "Kelly Criterion", ""),
    ("max_consecutive_wins", "Max. Consecutive Wins", ""),
    ("max_consecutive_losses", "Max. Consecutive Losses", ""),
    ("num_bars", "# Bars", ""),
    ("periods_per_year", "Periods per Year", ""),
    ("wiped_out_at", "Wiped Out At", "time"),
    ("orders_refused", "Orders Refused", ""),
    ("stop_outs", "Stop-outs", ""),
    ("ambiguous_bars", "Ambiguous Bars", ""),
    ("bars_resolved_inside", "Bars Resolved Inside", ""),
    ("inside_fallbacks", "Inside Fallbacks", ""),
)


class Result:
    """What a run produced.

    - `stats`: the eleven figures, the `Stats` that `Engine.run` returns for the same run;
    - `trades`: the closed trades in closing order (`Trades`: iterate it for `Trade` rows, or
      read a column, e.g. `numpy.asarray(result.trades.pnl)`, without a copy);
    - `equity`: the equity at every bar's close (a `Column` of floats);
    - `metrics`: the figures built on them, by name (see `candlewright.metrics`).
    """

    def __init__(self, stats: Stats, trades: Trades, equity: Column, exposure_bars: int,
                 backtest: Any, orders_refused: int = 0,
                 guesses: tuple[int, int | None, int | None, list[tuple[int, str]]] | None = None
                 ) -> None:
        self.stats, self.trades, self.equity = stats, trades, equity
        self.exposure_bars, self.orders_refused = exposure_bars, orders_refused
        # The bars whose outcome the bar rules had to guess, by count and one by one with how
        # each went ("guessed", "resolved" on finer data, "fell back"); and the bars with
        # something open resolved on finer data or fallen back (None without finer data).
        ambiguous, resolved, fell_back, marks = guesses or (0, None, None, [])
        self.ambiguous: list[tuple[int, str]] = marks
        self._inside = (ambiguous, resolved, fell_back)
        # What a strategy class declared with I(), by name, as the report takes them; and the
        # orders it sized by risk below the minimum lots, so not placed.
        self.indicators: dict[str, dict[str, Any]] = {}
        self.orders_too_small = 0
        # The live backtest, or the RunRecord that stands for it once the result has travelled.
        self._backtest = backtest

    @property
    def bars(self) -> Bars:
        """The bars of the run, as `Bars` (shared with the backtest, not copied)."""
        return self._record().bars

    def save(self, path: Any) -> str:
        """Writes the run to one file: its figures, trades, equity, metrics, account, rules
        and bars. The suffix chooses the format: ".parquet" (needs pyarrow, the `arrow` extra)
        or ".npz" (numpy). `candlewright.load(path)` reads it back, exact to the bit."""
        from .saving import save
        return save(self, path)

    def _record(self) -> RunRecord:
        bt = self._backtest
        return bt if isinstance(bt, RunRecord) else RunRecord.of(bt)

    def _spread_paid(self) -> float | None:
        bt = self._backtest
        if isinstance(bt, RunRecord):
            return cast(float | None, self.__dict__.get("_paid"))
        paid: float | None = bt._spread_paid(self.trades)
        return paid

    def __getstate__(self) -> dict[str, Any]:
        # The backtest holds the native runner: a copy or a pickle takes the record instead, and
        # the metrics are made again from it rather than carried.
        state = {k: v for k, v in self.__dict__.items() if k != "metrics"}
        state["_backtest"], state["_paid"] = self._record(), self._spread_paid()
        return state

    @functools.cached_property
    def metrics(self) -> dict[str, Any]:
        return self._metrics(None)

    def _metrics_named(self, names: Collection[str]) -> dict[str, Any]:
        """The metrics of `names` only (as `metrics` has them, in its order), computing no
        pass over the curve or the trades that none of them needs."""
        known = self.__dict__.get("metrics")
        if known is not None:
            return {name: value for name, value in known.items() if name in names}
        return self._metrics(frozenset(names))

    def _metrics(self, wanted: frozenset[str] | None) -> dict[str, Any]:
        bt: Any = self._backtest
        stats = self.stats
        initial_cash, _, spread, contract_size, quote_to_account = bt.account
        trades = self.trades
        periods = bt.periods_per_year  # NaN with too few bars to tell: left to the metrics
        # The columns go as buffers, read natively where they lie.
        figures = _metrics_of(
            equity=_view(self.equity), timestamps=_view(bt.column("timestamp")),
            closes=cast(Any, bt.column("close")),  # only its first and last are read
            initial_cash=initial_cash, final_cash=stats.final_cash,
            max_drawdown_pct=stats.max_drawdown_pct,
            trades={**{name: _view(getattr(trades, name)) for name in
                        ("pnl", "commission", "swap", "lot_size", "entry_time", "exit_time")},
                    "exit_reason": trades.exit_reason},
            exposure_bars=self.exposure_bars, spread=spread, contract_size=contract_size,
            quote_to_account=quote_to_account, time_unit=bt.time_unit,
            periods_per_year=periods if periods > 0 else None,
            spread_paid=self._spread_paid(), orders_refused=self.orders_refused,
            wanted=wanted)
        inside = self._inside_metrics()
        return figures | (inside if wanted is None else
                          {name: value for name, value in inside.items() if name in wanted})

    def _inside_metrics(self) -> dict[str, int | None]:
        ambiguous, resolved, fell_back = self.__dict__.get("_inside", (0, None, None))
        return {"ambiguous_bars": ambiguous, "bars_resolved_inside": resolved,
                "inside_fallbacks": fell_back}

    def plot(self, path: str | None = None, *, open_browser: bool = False,
             indicators: Any = None, time_axis: str = "bars") -> str:
        """Writes the interactive HTML report of the run (one file that works offline) and
        returns its path; needs Bokeh (the `report` extra).

        `indicators` maps a name to one value per bar (NaN where there is none yet), or to
        (values, overlay): an indicator in the price's range is drawn on the candles, any other
        in a panel of its own. The x axis counts bars, labelled with their dates, so that gaps
        such as weekends leave no holes; `time_axis="time"` draws real time instead. See
        `candlewright.report`."""
        from .report import write_report
        if self.indicators:
            indicators = _with_declared(self.indicators, indicators)
        return write_report(self, path, open_browser=open_browser, indicators=indicators,
                            time_axis=time_axis)

    def figures(self) -> dict[str, Any]:
        """The eleven figures by name."""
        return {name: getattr(self.stats, name) for name in FIGURES}

    def summary(self) -> str:
        """The main extra figures, one per line, laid out as the report."""
        metrics = self.metrics
        lines = []
        for name, label, form in SUMMARY:
            value = metrics[name]
            if name == "max_drawdown_duration":
                text = self._duration(value)
            elif value is None or not math.isfinite(value):
                text = _special(value)
            else:
                text = form.format(value)
            lines.append(label + text)
        # Shown only when they happen, so a plain run reads as before.
        for name, label, form in _INSIDE_SUMMARY:
            if metrics.get(name) is not None:
                lines.append(label + form.format(metrics[name]))
        wiped_out_at = metrics["wiped_out_at"]
        if wiped_out_at is not None:
            lines.append("Wiped out:      " + utc_time(wiped_out_at, self._backtest.time_unit))
        for name, label, form in _ACCOUNT_SUMMARY:
            if metrics[name]:
                lines.append(label + form.format(metrics[name]))
        return "\n".join(lines)

    def to_series(self) -> Any:
        """Every figure and metric as a pandas `Series` (dtype object) laid out as
        backtesting.py's statistics, with times as UTC `pandas.Timestamp` and durations as
        `pandas.Timedelta` (`NaT` where the metric is None or NaN; a time too far from 1970 for
        pandas stays the number it is). Needs pandas (the `pandas` extra).

        Amounts are in the account currency. "(gross)" figures are the report's, which count
        each trade's pnl before commission; "(net)" ones, and every other trade figure, count
        net = pnl - commission (+ swap). The names and what they hold (`metrics` key, or the
        report's figure; `help(candlewright.metrics)` gives each formula):

        - Start, End, Duration: `start`, `end`, `duration`.
        - Exposure Time [%]: `exposure_time_pct`, the bars at whose close a position was open.
        - Initial Cash: the report's Initial Cash.
        - Equity Final, Equity Peak: `equity_final` (the report's Final Cash), `equity_peak`.
        - Commissions, Spread Paid, Swaps: `commissions`, `spread_paid`, `swaps`.
        - Return [%]: `total_return_pct`.
        - Buy & Hold Return [%]: `buy_and_hold_return_pct`, from the first close to the last.
        - Return (Ann., arithmetic) [%]: `annual_return_pct`, the mean bar return times the
          periods per year: not compounded, unlike backtesting.py's Return (Ann.) [%].
        - Volatility (Ann.) [%]: `volatility_ann_pct`, from the bar returns.
        - CAGR [%]: `cagr_pct`.
        - Sharpe Ratio, Sortino Ratio, Calmar Ratio: `sharpe`, `sortino`, `calmar`.
        - Max. Drawdown [%], Avg. Drawdown [%]: `max_drawdown_pct`, `avg_drawdown_pct`, as
          positive percentages (backtesting.py shows them negative).
        - Max. Drawdown Duration, Avg. Drawdown Duration: `max_drawdown_duration`,
          `avg_drawdown_duration`.
        - Max. Drawdown Bars, Avg. Drawdown Bars: `max_drawdown_bars`, `avg_drawdown_bars`.
        - # Trades: `num_trades`.
        - # Wins (gross): the report's count of trades with pnl > 0.
        - Win Rate (gross) [%]: the report's Win Rate; Win Rate (net) [%]: `win_rate_net_pct`.
        - Best Trade (gross), Worst Trade (gross): the report's, the highest and lowest pnl;
          Best Trade (net), Worst Trade (net): `best_trade_net`, `worst_trade_net`.
        - Avg. Trade (gross): the report's Avg PnL; Avg. Trade (net): `expectancy` (the
          summary's Expectancy).
        - Max. Trade Duration, Avg. Trade Duration: `max_trade_duration`, `avg_trade_duration`.
        - Profit Factor (gross): the report's; Profit Factor (net): `profit_factor_net`.
        - Avg. Win, Avg. Loss, Payoff Ratio: `avg_win`, `avg_loss`, `payoff_ratio`.
        - SQN, Kelly Criterion: `sqn`, `kelly`.
        - Max. Consecutive Wins, Max. Consecutive Losses: `max_consecutive_wins`,
          `max_consecutive_losses`.
        - # Bars, Periods per Year: `num_bars`, `periods_per_year`.
        - Wiped Out At: `wiped_out_at`, NaT when the account never reached zero.
        - Orders Refused, Stop-outs: `orders_refused`, `stop_outs`.
        - Ambiguous Bars: `ambiguous_bars`; Bars Resolved Inside, Inside Fallbacks:
          `bars_resolved_inside`, `inside_fallbacks`, None without `intrabar=` data.

        Beside backtesting.py's on the same trades: its Win Rate [%], SQN and Kelly Criterion
        count each trade's result after commission, as the (net) figures and SQN and Kelly
        Criterion here do. Its Best, Worst and Avg. Trade [%], Expectancy [%] and Profit Factor
        come from each trade's return in percent rather than its amount; its Return (Ann.),
        Volatility, Sharpe, Sortino and Calmar from compounded daily returns; and its Exposure
        Time counts each trade's exit bar.
        """
        pd = _pandas("Result.to_series")
        unit = self._backtest.time_unit
        values = {**self.figures(), **self.metrics}
        shown: dict[str, Any] = {}
        for key, label, kind in SERIES:
            value = values[key]
            if kind == "time":
                value = _timestamp(pd, value, unit)
            elif kind == "duration":
                value = _timedelta(pd, value, unit)
            shown[label] = value
        return pd.Series(shown, dtype=object)

    def figure_rows(self) -> list[tuple[str, str]]:
        """Every figure and metric as (label, text) rows, labelled and ordered as
        `to_series()`, times as UTC dates and durations in days: the table of the report."""
        unit = self._backtest.time_unit
        values = {**self.figures(), **self.metrics}
        rows = []
        for key, label, kind in SERIES:
            value = values[key]
            if kind == "time":
                text = "n/a" if value is None else _when(value, unit)
            elif kind == "duration":
                text = self._duration(value)
            elif value is None:
                text = "n/a"
            elif isinstance(value, float):
                text = repr(value) if math.isfinite(value) else _special(value)
            else:
                text = str(value)
            rows.append((label, text))
        return rows

    def _duration(self, value: Any) -> str:
        if value is None or value != value:  # no trade, or no bar: nothing to measure
            return "n/a"
        seconds = value / TIME_UNITS[self._backtest.time_unit]
        days, rest = divmod(seconds, 86_400)
        return f"{int(days)} days {int(rest // 3600):02d}:{int(rest % 3600 // 60):02d}"

    def __repr__(self) -> str:
        return f"{self.stats!r}\n{self.summary()}"

    def to_dict(self) -> dict[str, Any]:
        """The eleven figures and, under "metrics", the metrics; JSON-safe (an infinite or NaN
        value is the string "Infinity", "-Infinity" or "NaN")."""
        out = {name: json_safe(value) for name, value in self.figures().items()}
        out["metrics"] = {name: json_safe(value) for name, value in self.metrics.items()}
        return out

    def trade_rows(self) -> dict[str, list[Any]]:
        """The trade table as lists, one per column."""
        return {name: list(getattr(self.trades, name)) for name in TRADE_COLUMNS}

    def to_pandas(self) -> tuple[Any, Any]:
        """The trades as a `DataFrame` (times as UTC date-times) and the equity as a `Series`
        indexed by the bars' times. Needs pandas (the `pandas` extra)."""
        pd = _pandas("Result.to_pandas")
        unit = self._backtest.time_unit
        times = pd.to_datetime(_view(self._backtest.column("timestamp")), unit=unit,
                               utc=True)
        equity = pd.Series(_view(self.equity), index=times, name="equity", copy=True)
        columns = self.trade_rows()
        for name in ("entry_time", "exit_time"):
            columns[name] = pd.to_datetime(columns[name], unit=unit, utc=True)
        trades = pd.DataFrame(columns, columns=list(TRADE_COLUMNS))
        return trades, equity


class RunRecord:
    """What a result reads of the backtest that made it, without the backtest: the bars, the
    account's figures (initial_cash, commission, spread, contract_size, quote_to_account), the
    rules in force, the time unit and the metrics' annualisation. It answers as a backtest does
    for what a result reads; one is made for each backtest, when a result of it first travels."""

    __slots__ = ("bars", "account", "rules", "time_unit", "periods_per_year", "__weakref__")

    def __init__(self, bars: Bars, account: tuple[float, ...], rules: dict[str, Any],
                 time_unit: str, periods_per_year: float) -> None:
        if time_unit not in TIME_UNITS:
            raise ValueError(f"time_unit must be one of {', '.join(map(repr, TIME_UNITS))}, "
                             f"not {time_unit!r}")
        self.bars, self.account, self.rules = bars, tuple(account), dict(rules)
        self.time_unit, self.periods_per_year = time_unit, float(periods_per_year)

    _made: weakref.WeakKeyDictionary[Any, RunRecord] = weakref.WeakKeyDictionary()

    @classmethod
    def of(cls, backtest: Any) -> RunRecord:
        """The record of `backtest`, the same object for every result of it (so that a pickle
        of many results holds their bars once)."""
        record = cls._made.get(backtest)
        if record is None:
            record = cls(backtest._runner.bars, backtest.account, backtest.rules,
                         backtest.time_unit, backtest.periods_per_year)
            cls._made[backtest] = record
        return record

    def column(self, name: str) -> Column:
        """One column of the bars, without a copy."""
        if name not in ("timestamp", "open", "high", "low", "close", "volume"):
            raise ValueError(f"no bar column {name!r}")
        column: Column = self.bars.column(name)
        return column

    def __len__(self) -> int:
        return len(self.bars)

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        return RunRecord, (self.bars, self.account, self.rules, self.time_unit,
                           self.periods_per_year)

    def __repr__(self) -> str:
        return (f"RunRecord({len(self.bars)} bars, account={self.account!r}, "
                f"time_unit={self.time_unit!r})")


def _with_declared(declared: dict[str, Any], given: Any) -> Any:
    """The strategy's indicators, then those given to plot (in the forms the report takes)."""
    if given is None:
        return declared
    if isinstance(given, Mapping):
        return {**declared, **given}
    return [*((name, spec) for name, spec in declared.items()),
            *(item if len(item) == 3 else (item[0], item[1]) for item in given)]


def _view(column: Column) -> memoryview:
    # Typed through Any: before 3.12 a class has no __buffer__ for the checker to see.
    return memoryview(cast(Any, column))


def _special(value: Any) -> str:
    if value is None:
        return "n/a"
    return "NaN" if math.isnan(value) else ("inf" if value > 0 else "-inf")


_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
# Seconds outside these years are taken for a count on a clock of the data's own.
_FIRST_SECOND, _END_SECOND = (
    (dt.datetime(year, 1, 1, tzinfo=dt.timezone.utc) - _EPOCH) // dt.timedelta(seconds=1)
    for year in (1900, 2200))


def utc_time(timestamp: int, time_unit: str) -> str:
    """`timestamp` as a UTC date-time "YYYY-MM-DD HH:MM" when it falls in 1900-2199, else
    the number as it is."""
    seconds = int(timestamp) // TIME_UNITS[time_unit]
    if not _FIRST_SECOND <= seconds < _END_SECOND:
        return str(timestamp)
    return (_EPOCH + dt.timedelta(seconds=seconds)).strftime("%Y-%m-%d %H:%M")


def _pandas(what: str) -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError:
        raise ImportError(f"{what} needs pandas: "
                          "python -m pip install 'candlewright[pandas]'") from None


def _timestamp(pd: Any, value: Any, unit: str) -> Any:
    if value is None:
        return pd.NaT
    try:
        return _in_ns(pd.Timestamp(int(value), unit=unit, tz="UTC"))
    except (OverflowError, ValueError):  # pandas' OutOfBoundsDatetime is a ValueError
        return value


def _timedelta(pd: Any, value: Any, unit: str) -> Any:
    if value is None or value != value:
        return pd.NaT
    try:
        return _in_ns(pd.Timedelta(value, unit=unit))
    except (OverflowError, ValueError):
        return value


def _in_ns(value: Any) -> Any:
    # Nanoseconds whatever the pandas version and the unit: exact for every unit, and a time
    # past what Python's datetime can print is refused here rather than when shown.
    as_unit = getattr(value, "as_unit", None)  # pandas < 2 has nanoseconds only
    return as_unit("ns") if as_unit is not None else value


def _when(timestamp: int, time_unit: str) -> str:
    shown = utc_time(timestamp, time_unit)
    return shown if shown == str(timestamp) else f"{shown} UTC"


def json_safe(value: Any) -> Any:
    """Infinities and NaN as the strings "Infinity", "-Infinity" and "NaN", which `float()`
    reads back; other values as they are."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value
