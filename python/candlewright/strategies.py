"""The strategy protocol, and a moving-average crossover written the way strategies should be."""
from __future__ import annotations

import inspect
from collections import deque
from collections.abc import Mapping
from typing import Any, Callable, Protocol

from _candlewright import Bar, Broker

__all__ = ["Strategy", "SmaCross"]


class Strategy(Protocol):
    """What `Engine.run` needs: `next(bar, broker)`, called once per bar in order.

    A strategy may also define `init(self, bars: list[Bar]) -> object`, called once per run
    with the whole series before the first bar. It is optional (an `AttributeError` from it
    is ignored), so it is not part of the protocol's type.
    """

    def next(self, bar: Bar, broker: Broker, /) -> object: ...


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


class _StartOfRun:
    """`init` that the engine finds on none but the subclasses that define one of their own.

    For a strategy with an init the engine builds every bar of the run as a Bar object before
    the first `next`. It looks the attribute up once at the start of each run: here the lookup
    calls `start` and then finds nothing, so the state is fresh for every run at no cost per bar
    and no list is built. A subclass that keeps more state can define an init and call this one
    through super(); the engine then calls the subclass's init with the bars, as for any other.

    It reads as the method it stands for (name, signature, `start`'s docstring), so that help()
    on a strategy shows an init, not this class.
    """

    def __init__(self, start: Callable[[Any], None]) -> None:
        self.start = start
        self.__doc__ = start.__doc__
        self.__signature__ = inspect.Signature(
            [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY),
             inspect.Parameter("bars", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=None)])

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = self.__name__ = name
        self.__qualname__ = f"{owner.__qualname__}.{name}"
        self.__module__ = owner.__module__

    def __repr__(self) -> str:
        return f"<method {self.__qualname__}>"

    def __call__(self, strategy: Any, bars: Any = None) -> None:
        # Class.init(strategy) as for a plain method.
        self.start(strategy)

    def __get__(self, obj: Any, owner: type | None = None) -> Any:
        if obj is None:
            return self
        for klass in type(obj).__mro__:
            if self.name in vars(klass):
                if vars(klass)[self.name] is not self:
                    # super().init from a subclass's own init.
                    return lambda bars=None: self.start(obj)
                break
        self.start(obj)
        raise AttributeError(f"{type(obj).__name__!r} object has no attribute {self.name!r}")


class SmaCross:
    """Long when the fast simple moving average of closes crosses above the slow one, short
    when it crosses below; one position at a time, each with a stop-loss and a take-profit.

    Distances are in pips of `pip` price units. Both averages are running sums over a window
    of recent closes, so each bar costs the same however long the windows are; such sums drift
    in the last bits, so an exact tie between the averages may fall either way.

    One instance can be run more than once: every run starts afresh.
    """

    def __init__(self, fast: int = 10, slow: int = 40, lots: float = 0.1,
                 stop_pips: float = 30.0, target_pips: float = 60.0, pip: float = 0.0001) -> None:
        if not 0 < fast < slow:
            raise ValueError(f"need 0 < fast < slow, got fast={fast}, slow={slow}")
        self.fast, self.slow, self.lots = fast, slow, lots
        self.stop, self.target = stop_pips * pip, target_pips * pip
        self._start()

    def _start(self) -> None:
        """Starts every run afresh. The engine never calls it with the bars, so it builds no
        list of them; a subclass's own init(bars) may call it through super()."""
        self._fast_window: deque[float] = deque(maxlen=self.fast)
        self._slow_window: deque[float] = deque(maxlen=self.slow)
        self._fast_sum = self._slow_sum = 0.0
        self._was_above: bool | None = None

    init = _StartOfRun(_start)

    def next(self, bar: Bar, broker: Broker) -> None:
        close, fast, slow = bar.close, self._fast_window, self._slow_window
        # A full window drops its oldest close as the new one goes in.
        if len(fast) == self.fast:
            self._fast_sum -= fast[0]
        if len(slow) == self.slow:
            self._slow_sum -= slow[0]
        fast.append(close)
        slow.append(close)
        self._fast_sum += close
        self._slow_sum += close
        if len(slow) < self.slow:
            return
        # Comparing sums scaled to a common length avoids two divisions per bar.
        above = self._fast_sum * self.slow > self._slow_sum * self.fast
        if self._was_above is not None and above != self._was_above:
            # A stop or target may have closed the last position already; then this does nothing.
            broker.close_all(close, bar.timestamp)
            if above:
                broker.buy(close, self.lots, bar.timestamp, close - self.stop, close + self.target)
            else:
                broker.sell(close, self.lots, bar.timestamp, close + self.stop, close - self.target)
        self._was_above = above
