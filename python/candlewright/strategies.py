"""The plain strategy protocol, the making of a strategy for a run, and the moving-average
crossover written as a strategy class."""
from __future__ import annotations

import inspect
from collections.abc import Mapping
from typing import Any, Protocol

from _candlewright import Bar, Broker

from .strategy import Strategy

__all__ = ["StrategyProtocol", "AnyStrategy", "SmaCross"]


class StrategyProtocol(Protocol):
    """What `Engine.run` needs: `next(bar, broker)`, called once per bar in order. (A
    `candlewright.Strategy` subclass is the other kind of strategy, run by `Backtest.run`.)

    A strategy may also define `init(self, bars: list[Bar]) -> object`, called once per run
    with the whole series before the first bar. It is optional (an `AttributeError` from it
    is ignored), so it is not part of the protocol's type.
    """

    def next(self, bar: Bar, broker: Broker, /) -> object: ...


# What Backtest.run and the sweeps run: either kind.
AnyStrategy = StrategyProtocol | Strategy


def made(strategy: Any, params: Mapping[str, Any]) -> Any:
    """The strategy a run runs: `strategy` itself, or, for a class, `strategy(**params)`, with
    a message naming the class when the parameters do not fit its constructor."""
    if not isinstance(strategy, type):
        if params:
            name = type(strategy).__name__
            raise TypeError(f"parameters ({', '.join(params)}) go with a strategy class, as "
                            f"run({name}, {next(iter(params))}=...); this {name} is made "
                            f"already: give them to its constructor instead")
        return strategy
    try:
        signature = inspect.signature(strategy)
    except (TypeError, ValueError):
        return strategy(**params)  # nothing to check against: its own error will do
    name, kinds = strategy.__qualname__, inspect.Parameter
    accepted = [p.name for p in signature.parameters.values()
                if p.kind in (kinds.POSITIONAL_OR_KEYWORD, kinds.KEYWORD_ONLY)]
    if not any(p.kind is kinds.VAR_KEYWORD for p in signature.parameters.values()):
        unknown = [key for key in params if key not in accepted]
        if unknown:
            raise TypeError(f"{name} takes no parameter {unknown[0]!r}; its parameters: "
                            f"{', '.join(accepted) or 'none'}")
    missing = [p.name for p in signature.parameters.values() if p.default is p.empty
               and p.kind not in (kinds.VAR_POSITIONAL, kinds.VAR_KEYWORD)
               and p.name not in params]
    if missing:
        raise TypeError(f"{name} needs {', '.join(missing)}: give "
                        f"{'it' if len(missing) == 1 else 'them'} to run, as run({name}, "
                        f"{', '.join(f'{m}=...' for m in missing)})")
    return strategy(**params)


class SmaCross(Strategy):
    """The moving-average crossover: when the fast simple moving average of closes crosses above
    the slow one, whatever is open is closed and a long position opens; when it crosses below,
    the same with a short one. So a cross reverses an open position, and one position at most is
    open, each with a stop-loss `stop_pips` and a take-profit `target_pips` away from the close
    it opened at (pips of `pip` price units), which may close it before the next cross.

    A cross is backtesting.py's: fast[-2] < slow[-2] and fast[-1] > slow[-1] (and the mirror),
    so nothing trades before both averages have a value for two bars. Both averages are
    `ta.sma`, drawn on the candles in the report; the crossings are found once, over the whole
    series, by `ta.crossover` and `ta.crossunder`, which is what `crossover(self.fast_ma,
    self.slow_ma)` in `next` would find bar by bar, at a third of the cost.
    """

    fast = 10
    slow = 40
    lots = 0.1
    stop_pips = 30.0
    target_pips = 60.0
    pip = 0.0001

    def __init__(self, *args: Any, **params: Any) -> None:
        super().__init__(*args, **params)
        if not 0 < self.fast < self.slow:
            raise ValueError(f"need 0 < fast < slow, got fast={self.fast}, slow={self.slow}")

    def init(self) -> None:
        from . import ta
        close = self.data.close
        self.fast_ma = self.I(ta.sma, close, self.fast, overlay=True)
        self.slow_ma = self.I(ta.sma, close, self.slow, overlay=True)
        # +1 where the fast average crosses above, -1 below, 0 elsewhere.
        self.crossed = self.I(_crossings, self.fast_ma, self.slow_ma, name="crossed", plot=False)
        self._stop, self._target = self.stop_pips * self.pip, self.target_pips * self.pip

    def next(self) -> None:
        crossed = self.crossed[-1]
        if crossed:
            self.close()
            close = self.data.close[-1]
            if crossed > 0:
                self.buy(self.lots, stop_loss=close - self._stop,
                         take_profit=close + self._target)
            else:
                self.sell(self.lots, stop_loss=close + self._stop,
                          take_profit=close - self._target)


def _crossings(fast: Any, slow: Any) -> Any:
    from . import ta
    return ta.crossover(fast, slow).astype("float64") - ta.crossunder(fast, slow)


_crossings._causal = True  # type: ignore[attr-defined]  # ta's crossings, nothing more
