"""What a run produced: `Result`, with the eleven figures, the trade journal, the equity curve and
the metrics built on them, and the names and layouts shared by everything that shows a run.

A `Result` reads what it needs of its backtest (the bars' times and closes, the account, the time
unit) through the backtest it came from, so this module imports none of the modules that run.
"""
from __future__ import annotations

import datetime as dt
import functools
import importlib
import math
from typing import Any, cast

from _candlewright import Stats

from ._backtest import Column, Trades
from .metrics import TIME_UNITS, compute_metrics

__all__ = ["Result", "FIGURES", "TRADE_COLUMNS", "SUMMARY", "json_safe"]

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
)
_ACCOUNT_SUMMARY = (
    ("swaps", "Swaps:          ", "{:.2f}"),
    ("orders_refused", "Orders refused: ", "{}"),
    ("stop_outs", "Stop-outs:      ", "{}"),
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
                 backtest: Any, orders_refused: int = 0) -> None:
        self.stats, self.trades, self.equity = stats, trades, equity
        self.exposure_bars, self.orders_refused = exposure_bars, orders_refused
        self._backtest = backtest

    @functools.cached_property
    def metrics(self) -> dict[str, Any]:
        bt = self._backtest
        stats = self.stats
        initial_cash, _, spread, contract_size, quote_to_account = bt.account
        trades = self.trades
        periods = bt.periods_per_year  # NaN with too few bars to tell: left to the metrics
        return compute_metrics(
            equity=_values(self.equity), timestamps=_values(bt.column("timestamp")),
            closes=cast(Any, bt.column("close")),  # only its first and last are read
            initial_cash=initial_cash, final_cash=stats.final_cash,
            max_drawdown_pct=stats.max_drawdown_pct,
            trades={**{name: _values(getattr(trades, name)) for name in
                        ("pnl", "commission", "swap", "lot_size", "entry_time", "exit_time")},
                    "exit_reason": trades.exit_reason},
            exposure_bars=self.exposure_bars, spread=spread, contract_size=contract_size,
            quote_to_account=quote_to_account, time_unit=bt.time_unit,
            periods_per_year=periods if periods > 0 else None,
            spread_paid=bt._spread_paid(trades),
            orders_refused=self.orders_refused)

    def plot(self, path: str | None = None, *, open_browser: bool = False) -> str:
        """Writes the interactive HTML report of the run (one file that works offline) and
        returns its path; needs Bokeh (the `report` extra). See `candlewright.report`."""
        from .report import write_report
        return write_report(self, path, open_browser=open_browser)

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
        wiped_out_at = metrics["wiped_out_at"]
        if wiped_out_at is not None:
            lines.append("Wiped out:      " + utc_time(wiped_out_at, self._backtest.time_unit))
        for name, label, form in _ACCOUNT_SUMMARY:
            if metrics[name]:
                lines.append(label + form.format(metrics[name]))
        return "\n".join(lines)

    def _duration(self, value: Any) -> str:
        if value is None:
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
        try:
            pd: Any = importlib.import_module("pandas")
        except ImportError:
            raise ImportError("Result.to_pandas needs pandas: "
                              "python -m pip install 'candlewright[pandas]'") from None
        unit = self._backtest.time_unit
        times = pd.to_datetime(_view(self._backtest.column("timestamp")), unit=unit,
                               utc=True)
        equity = pd.Series(_view(self.equity), index=times, name="equity", copy=True)
        columns = self.trade_rows()
        for name in ("entry_time", "exit_time"):
            columns[name] = pd.to_datetime(columns[name], unit=unit, utc=True)
        trades = pd.DataFrame(columns, columns=list(TRADE_COLUMNS))
        return trades, equity


def _view(column: Column) -> memoryview:
    # Typed through Any: before 3.12 a class has no __buffer__ for the checker to see.
    return memoryview(cast(Any, column))


def _values(column: Column) -> list[Any]:
    # memoryview's own list making, in C, strides and all.
    values: list[Any] = _view(column).tolist()
    return values


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


def json_safe(value: Any) -> Any:
    """Infinities and NaN as the strings "Infinity", "-Infinity" and "NaN", which `float()`
    reads back; other values as they are."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value
