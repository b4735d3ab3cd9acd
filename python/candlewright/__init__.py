"""Bar-by-bar simulation of a lot-based currency trading account.

The four classes come from the native module `_candlewright`; this package adds loading of
bars, a protocol for strategies, an example strategy, parameter sweeps over every core or a
cluster, and the command `python -m candlewright`.
"""
from _candlewright import Bar, Broker, Engine, Stats

from .bars import from_dataframe, read_csv, sample_bars
from .strategies import SmaCross, Strategy
from .sweeps import SweepError, SweepResult, sweep

__all__ = ["Bar", "Broker", "Engine", "Stats", "Strategy", "SmaCross",
           "read_csv", "from_dataframe", "sample_bars", "sweep", "SweepResult", "SweepError"]
