"""Bar-by-bar simulation of a lot-based currency trading account.

The four classes come from the native module `_candlewright`; this package adds `Backtest`,
which runs a strategy on an `Account` and returns a `Result` with the trade journal, the equity
curve and metrics, loading of bars, a protocol for strategies, an example strategy, signal runs
(`Backtest.run_signals`, natively and on threads), parameter
sweeps over every core or a cluster, portfolios of several pairs on one account (`Portfolio`),
and the command `python -m candlewright`.
"""
from _candlewright import Bar, Broker, Engine, Stats

from . import _pickling  # noqa: F401  (registers the reductions of Bar and Stats)
from .backtest import Account, Backtest, Column, Order, Position, Result, Trade, Trades
from .bars import (Bars, ServerTimeWarning, from_arrays, from_dataframe, read_csv, read_feather,
                   read_parquet, sample_bars)
from .instruments import Instrument
from .portfolio import Portfolio, PortfolioAccount, PortfolioResult
from .recipes import Cross
from .resample import resample
from .saving import load
from .signals import SignalStrategy
from .strategies import SmaCross, StrategyProtocol
from .strategy import History, LookAheadError, NetPosition, Strategy, crossover, crossunder
from .sweeps import SweepError, SweepResult, SweepResults, sweep
from .ticks import Ticks, bid_ask_bars, read_ticks
from .walk_forward import WalkForward, Window, walk_forward

__all__ = ["Bar", "Broker", "Engine", "Stats", "Backtest", "Result", "Account", "Order", "Position",
           "Trade", "Trades", "Column", "Strategy", "StrategyProtocol", "SmaCross",
           "SignalStrategy", "Cross", "History", "NetPosition", "LookAheadError", "crossover", "crossunder",
           "Bars", "read_csv", "read_parquet", "read_feather", "from_dataframe", "from_arrays",
           "resample", "sample_bars", "sweep", "SweepResult", "SweepResults", "SweepError",
           "walk_forward", "WalkForward", "Window", "load", "ServerTimeWarning", "Portfolio",
           "PortfolioAccount", "PortfolioResult", "Instrument", "Ticks", "read_ticks",
           "bid_ask_bars"]


def __getattr__(name: str) -> object:
    # candlewright.ta needs numpy: imported on first use, so the package itself does not.
    if name == "ta":
        import importlib
        return importlib.import_module(".ta", __name__)
    raise AttributeError(f"module 'candlewright' has no attribute {name!r}")
