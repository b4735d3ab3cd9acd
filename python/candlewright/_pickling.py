"""Pickling and copying of the two classes of `_candlewright` a run hands out, `Bar` and `Stats`.

Their own module gives them no reduction and names them as built-ins, where a pickle cannot
find them, so they are registered here with `copyreg` (which `copy` reads too). A `Bar` is
made again by its constructor; a `Stats`, which has none, by `_backtest._stats`. Every value
travels as it is: a float as a float, NaN and infinities included, so a round trip is exact.
The package's own classes (`Column`, `Trades`, `Trade`, `Position`, `Order`) reduce natively.
"""
from __future__ import annotations

import copyreg
from typing import Any

from _candlewright import Bar, Stats

from . import _backtest

__all__ = ["bar"]

_BAR_FIELDS = ("timestamp", "open", "high", "low", "close", "volume")
_STATS_FIELDS = ("initial_cash", "final_cash", "total_return_pct", "num_trades", "num_wins",
                 "win_rate_pct", "avg_pnl", "best_trade", "worst_trade", "profit_factor",
                 "max_drawdown_pct")


def bar(timestamp: int, open: float, high: float, low: float, close: float,
        volume: float) -> Bar:
    """A `Bar` from its six fields (what an unpickled `Bar` is made by)."""
    return Bar(timestamp, open, high, low, close, volume)


def _reduce_bar(value: Bar) -> tuple[Any, tuple[Any, ...]]:
    return bar, tuple(getattr(value, name) for name in _BAR_FIELDS)


def _reduce_stats(value: Stats) -> tuple[Any, tuple[Any, ...]]:
    return _backtest._stats, tuple(getattr(value, name) for name in _STATS_FIELDS)


copyreg.pickle(Bar, _reduce_bar)
copyreg.pickle(Stats, _reduce_stats)
