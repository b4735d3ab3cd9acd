"""Strategies given as signals: arrays with a value per bar, computed beforehand (with numpy,
pandas, ...), that say when to enter and when to exit.

`SignalStrategy` is what such a run does, written as an ordinary strategy; `Backtest.run_signals`
does exactly the same natively, without a Python call per bar and without the interpreter lock,
so that its result is `Backtest.run(SignalStrategy(...))`'s to the bit, only many times faster,
and many parameter sets can run at once on threads.

On each bar, after the bar's own stop-losses and take-profits (and the account's other rules),
at the bar's close:

1. an exit signal (non-zero) closes every open position (`close_all`);
2. an entry signal opens a position: long for `side="long"`, short for `"short"`, and by its
   sign for `"both"` (+1 long, -1 short). Positions of the other side are closed first (so
   `"both"` reverses), and none opens while `max_positions` are open. Its stop-loss is
   `close - stop_loss` for a long position (`close + stop_loss` for a short one) and its
   take-profit `close + take_profit` (`close - take_profit`); a distance of None or NaN sets
   no level.

Signals are booleans or numbers (only their sign counts; NaN is refused); `lots`, `stop_loss`
and `take_profit` are a number for every bar or an array with a value per bar.
"""
from __future__ import annotations

import array
import importlib
import math
import numbers
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from ._cores import cores
from .result import Result
from .strategy import Strategy

__all__ = ["SIDES", "SignalStrategy"]

SIDES = ("long", "short", "both")


class SignalStrategy(Strategy):
    """Trades on per-bar signals, as the module says: an exit signal closes what is open, and
    an entry opens a position after closing any of the other side (so with side="both" an
    entry the other way reverses the position). `Backtest.run_signals` takes the same
    arguments and gives the same result, natively. `arguments()` gives them back, for
    `run_signals`."""

    def __init__(self, entries: Any, exits: Any = None, *, side: str = "long",
                 lots: Any = 1.0, stop_loss: Any = None, take_profit: Any = None,
                 max_positions: int = 1) -> None:
        super().__init__()
        self._arguments = check_arguments(entries, exits, side=side, lots=lots,
                                          stop_loss=stop_loss, take_profit=take_profit,
                                          max_positions=max_positions)
        self.side, self.max_positions = side, max_positions

    def __repr__(self) -> str:
        return f"SignalStrategy(side={self.side!r}, max_positions={self.max_positions})"

    def arguments(self) -> dict[str, Any]:
        """The arguments of `Backtest.run_signals` that run this strategy."""
        return dict(self._arguments)

    def _run_natively(self, backtest: Any, keep: str) -> Any:
        """The run `run_strategy` makes of this strategy, without a Python call per bar."""
        return run_signals(backtest, self._arguments, 1, keep)

    def init(self) -> None:
        # Every run starts at the first bar, so one instance can be run more than once.
        a, n = self._arguments, len(self.data.close)
        self._entries = _signs(a["entries"], "entries", n)
        self._exits = None if a["exits"] is None else _signs(a["exits"], "exits", n)
        self._lots = _per_bar(a["lots"], "lots", n)
        if not all(0 < x < math.inf for x in self._lots):
            raise ValueError("lots must be positive and finite")
        self._stop_loss = _per_bar(a["stop_loss"], "stop_loss", n)
        self._take_profit = _per_bar(a["take_profit"], "take_profit", n)

    def next(self) -> None:
        i, data, account = self._clock.now - 1, self.data, self.account
        price, time = data.close[-1], data.timestamp[-1]
        if self._exits is not None and self._exits[i] and account.positions:
            account.close_all(price, time)
        entry = self._entries[i]
        if not entry:
            return
        is_long = entry > 0 if self.side == "both" else self.side == "long"
        positions = account.positions
        if positions and positions[0].is_long != is_long:
            account.close_all(price, time)
            positions = account.positions
        if len(positions) < self.max_positions:
            stop, target = self._stop_loss[i], self._take_profit[i]
            stop_level = None if math.isnan(stop) else price - stop if is_long else price + stop
            target_level = (None if math.isnan(target) else
                            price + target if is_long else price - target)
            trade = account.buy if is_long else account.sell
            trade(price, self._lots[i], time, stop_level, target_level)


def check_arguments(entries: Any, exits: Any = None, *, side: str = "long", lots: Any = 1.0,
                    stop_loss: Any = None, take_profit: Any = None,
                    max_positions: int = 1) -> dict[str, Any]:
    """The arguments of a signal run, checked where that needs no bars; arrays become buffers."""
    if side not in SIDES:
        raise ValueError(f"side must be one of {', '.join(map(repr, SIDES))}, not {side!r}")
    if isinstance(max_positions, bool) or not isinstance(max_positions, numbers.Integral) \
            or max_positions < 1:
        raise ValueError(f"max_positions must be a whole number >= 1, not {max_positions!r}")
    if entries is None:
        raise TypeError("entries must be an array of signals, not None")
    if lots is None:
        raise TypeError("lots must be a number or an array, not None")
    return {"entries": numbers_of(entries, "entries"),
            "exits": None if exits is None else numbers_of(exits, "exits"),
            "side": side, "lots": _number_or_numbers(lots, "lots"),
            "stop_loss": _number_or_numbers(stop_loss, "stop_loss"),
            "take_profit": _number_or_numbers(take_profit, "take_profit"),
            "max_positions": int(max_positions)}


def numbers_of(values: Any, name: str) -> Any:
    """`values` as something with the buffer protocol: itself, its numpy array (pandas, polars
    and pyarrow give theirs), or an array of floats."""
    if not isinstance(values, (list, tuple)) and (hasattr(values, "__array__")
                                                   or hasattr(values, "to_numpy")):
        try:
            numpy: Any = importlib.import_module("numpy")
        except ImportError:
            pass
        else:
            return numpy.asarray(values)
    try:
        memoryview(values)
        return values
    except TypeError:
        pass
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{name} must be an array of numbers, not {type(values).__name__}")
    values = list(values)
    if values and isinstance(values[0], (list, tuple)):
        try:
            numpy = importlib.import_module("numpy")
        except ImportError:
            raise TypeError(f"{name}: nested lists need numpy; give a 2-D numpy array") from None
        return numpy.asarray(values, dtype=float)
    try:
        return array.array("d", values)
    except TypeError as exc:
        raise TypeError(f"{name} must hold numbers: {exc}") from None


def _number_or_numbers(value: Any, name: str) -> Any:
    if value is None or isinstance(value, float):
        return value
    if isinstance(value, numbers.Real):
        return float(value)
    return numbers_of(value, name)


def _column(values: Any, name: str, n: int) -> list[Any]:
    view = memoryview(values)
    if view.ndim != 1 or len(view) != n:
        raise ValueError(f"{name} must have a value per bar ({n}), not shape {view.shape}")
    column: list[Any] = view.tolist()
    return column


def _signs(values: Any, name: str, n: int) -> list[int]:
    column = _column(values, name, n)
    if any(x != x for x in column):
        raise ValueError(f"{name}: signals must be numbers, not NaN; 0 is no signal")
    return [(x > 0) - (x < 0) for x in column]


def _per_bar(value: Any, name: str, n: int) -> list[float]:
    if value is None:
        return [math.nan] * n
    if isinstance(value, float):
        return [value] * n
    return _column(value, name, n)


def run_signals(backtest: Any, arguments: Mapping[str, Any], threads: int | None,
                keep: str) -> Any:
    """`Backtest.run_signals` on checked arguments: a `Result` for one set, a list for many."""
    if keep not in ("all", "figures"):
        raise ValueError(f"keep must be 'all' or 'figures', not {keep!r}")
    a = arguments
    try:
        one = memoryview(a["entries"]).ndim == 1
    except (TypeError, ValueError):
        one = True  # not numbers: the run refuses it, with the reason
    if threads is None:
        threads = 1 if one else cores()  # one set runs on the calling thread: no need to ask
    elif isinstance(threads, bool) or not isinstance(threads, numbers.Integral) or threads < 1:
        raise ValueError(f"threads must be a whole number >= 1, not {threads!r}")
    raw = backtest._runner.run_signals(a["entries"], a["exits"], a["lots"], a["stop_loss"],
                                       a["take_profit"], SIDES.index(a["side"]),
                                       a["max_positions"], int(threads), keep == "all")
    if keep == "figures":
        return raw[0] if one else raw
    results = [Result(stats, trades, equity, exposed, backtest, refused, guesses)
               for stats, trades, equity, exposed, refused, guesses in raw]
    return results[0] if one else results


def is_signal_based(strategy: Any) -> bool:
    """A strategy `run_strategy` runs natively: a `SignalStrategy`, or the mapping of its
    arguments."""
    return isinstance(strategy, (SignalStrategy, Mapping))


def run_strategy(backtest: Any, strategy: Any, keep: str = "all") -> Any:
    """`strategy`'s `Result` (its `Stats` with `keep="figures"`): natively for a signal-based
    one, otherwise by `Backtest.run`."""
    if isinstance(strategy, Mapping):
        strategy = SignalStrategy(**strategy)
    if isinstance(strategy, SignalStrategy):
        return strategy._run_natively(backtest, keep)
    result = backtest.run(strategy)
    return result.stats if keep == "figures" else result


def run_strategies(backtest: Any, factory: Callable[..., Any], sets: list[dict[str, Any]],
                   threads: int, keep: str) -> list[Any]:
    """`factory(**params)` for each set, run on `threads` threads: a `SignalStrategy` (or the
    mapping of `run_signals` arguments) natively, without the interpreter lock, so that one
    set's signals are computed while others run; any other strategy by `Backtest.run`. Each
    set's `Result` (its `Stats` with `keep="figures"`) in the order of `sets`; the first error
    stops the sets not yet started and is raised once the threads are done."""
    import threading

    outcomes: list[Any] = [None] * len(sets)
    failures: list[BaseException] = []
    todo = iter(range(len(sets)))
    lock = threading.Lock()
    stop = threading.Event()

    # Each thread takes the next set until none is left: a task and a future per set would
    # hold the interpreter lock longer than some sets' runs take.
    def work() -> None:
        while not stop.is_set():
            with lock:
                index = next(todo, None)
            if index is None:
                return
            try:
                outcomes[index] = run_strategy(backtest, factory(**sets[index]), keep)
            except BaseException as exc:  # Ctrl-C too, in this thread: raised after the join
                with lock:
                    failures.append(exc)
                stop.set()

    workers = [threading.Thread(target=work, daemon=True) for _ in range(threads - 1)]
    for worker in workers:
        worker.start()
    try:
        work()  # this thread takes sets too
    finally:
        stop.set()  # the others finish the set they are on, and no more start
        for worker in workers:
            worker.join()
    if failures:
        raise failures[0]
    return outcomes
