"""Parameter recipes: a rule given as the lines it crosses and their parameters, so that a whole
grid of it runs natively in one call, each distinct line computed once and shared by every set
that crosses it, the crossings found inside the loop.

`Cross` is such a rule, and a strategy factory whose parameters are the lines' windows (`fast`,
`slow`) and the orders' `lots`, `stop_loss` and `take_profit`::

    sweep(Cross("sma", "sma"), {"fast": range(5, 45, 5), "slow": range(50, 210, 20),
                                "stop_loss": [0.002, 0.004]}, bars)
    for params, result in backtest.run_recipe(Cross("ema", "sma"), grid): ...

Called with one set's parameters it gives the equivalent `SignalStrategy`, whose signals are
those of `candlewright.ta` over the closes, so every way of running a set agrees to the bit.
"""
from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Mapping
from typing import Any

from .grids import expand_grid
from .result import Result
from .signals import SIDES, SignalStrategy, check_arguments
from .strategy import Strategy

__all__ = ["Cross", "CrossStrategy", "FAST_LINES", "SLOW_LINES"]

FAST_LINES = ("sma", "ema", "close")
SLOW_LINES = ("sma", "ema", "level")

# The native kinds of line, in the order the runner numbers them.
_KINDS = ("close", "sma", "ema", "level")

_Line = tuple[int, float]
# A set as the runner takes it: its two lines, lots, stop-loss and take-profit (NaN: none).
_Set = tuple[_Line, _Line, float, float, float]


class Cross:
    """Trades the crossings of a fast line and a slow one. A line is an average of the closes
    (`"sma"`, `"ema"`, over a window given as the `fast` or `slow` parameter), the closes
    themselves (`fast="close"`, no parameter), or a price level (`slow="level"`, the level as
    the `slow` parameter).

    `side="long"` buys when the fast line crosses above the slow one and closes on the cross
    below; `"short"` the mirror; `"both"` goes long on a cross above and short on a cross below,
    each reversing the other. Each entry's stop-loss and take-profit are price distances from
    the close (None: none), as `SignalStrategy` takes them. A cross is as `ta.crossover` finds
    it: below at the bar before and above at this one, so a line still warming up (NaN) does
    not cross."""

    def __init__(self, fast: str = "sma", slow: str = "sma", *, side: str = "long",
                 max_positions: int = 1) -> None:
        if fast not in FAST_LINES:
            raise ValueError(f"fast must be one of {', '.join(map(repr, FAST_LINES))}, not "
                             f"{fast!r}")
        if slow not in SLOW_LINES:
            raise ValueError(f"slow must be one of {', '.join(map(repr, SLOW_LINES))}, not "
                             f"{slow!r}")
        check_arguments((), side=side, max_positions=max_positions)
        self.fast, self.slow, self.side, self.max_positions = fast, slow, side, max_positions

    def __repr__(self) -> str:
        return (f"Cross({self.fast!r}, {self.slow!r}, side={self.side!r}, "
                f"max_positions={self.max_positions})")

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Cross) and vars(self) == vars(other)

    def __hash__(self) -> int:
        return hash(tuple(vars(self).values()))

    @property
    def parameters(self) -> tuple[str, ...]:
        """The names a set may give; all but `lots`, `stop_loss` and `take_profit` must be."""
        lines = (() if self.fast == "close" else ("fast",)) + ("slow",)
        return (*lines, "lots", "stop_loss", "take_profit")

    def __call__(self, **params: Any) -> CrossStrategy:
        return CrossStrategy(self, params)

    def checked(self, params: Mapping[str, Any], bars: int | None = None) -> _Set:
        """One set's parameters as the runner takes them, refused with the reason if they are
        not a set of this recipe (or, given the number of bars, a window is longer)."""
        unknown = [name for name in params if name not in self.parameters]
        if unknown:
            raise TypeError(f"{self!r} takes no parameter {unknown[0]!r}; it takes "
                            f"{', '.join(self.parameters)}")
        missing = [name for name in self.parameters[:-3] if name not in params]
        if missing:
            raise TypeError(f"{self!r} needs the parameter {missing[0]!r}")
        fast = (0, math.nan) if self.fast == "close" else _line(self.fast, params["fast"],
                                                                  "fast", bars)
        slow = _line(self.slow, params["slow"], "slow", bars)
        lots = _number(params.get("lots", 1.0), "lots")
        if not 0 < lots < math.inf:
            raise ValueError(f"lots must be positive and finite, not {lots!r}")
        return (fast, slow, lots, _distance(params.get("stop_loss"), "stop_loss"),
                _distance(params.get("take_profit"), "take_profit"))

    def run(self, backtest: Any, sets: Iterable[Mapping[str, Any]], *,
            threads: int | None = None, keep: str = "all") -> list[Any]:
        """Every set natively, in one call: each set's `Result` (its `Stats` with
        `keep="figures"`), in order. See `Backtest.run_recipe`."""
        if keep not in ("all", "figures"):
            raise ValueError(f"keep must be 'all' or 'figures', not {keep!r}")
        runner = getattr(backtest, "_runner", None)
        if runner is None or not hasattr(runner, "run_recipe"):
            raise TypeError(f"a recipe runs on a Backtest, not {type(backtest).__name__}")
        if threads is None:
            from ._cores import cores
            threads = cores()
        elif isinstance(threads, bool) or not isinstance(threads, numbers.Integral) \
                or threads < 1:
            raise ValueError(f"threads must be a whole number >= 1, not {threads!r}")
        bars = len(backtest)
        checked = [self.checked(params, bars) for params in sets]
        if not checked:
            return []
        lines: dict[_Line, int] = {}
        rows = []
        for fast, slow, lots, stop_loss, take_profit in checked:
            # The mirror of a cross above is a cross below: a short side swaps the lines.
            pair = (slow, fast) if self.side == "short" else (fast, slow)
            indices = [lines.setdefault(line, len(lines)) for line in pair]
            rows.append((*indices, lots, stop_loss, take_profit))
        raw = runner.run_recipe(tuple(lines), tuple(rows), SIDES.index(self.side),
                                self.side != "both", self.max_positions, int(threads),
                                keep == "all")
        if keep == "figures":
            return list(raw)
        return [Result(stats, trades, equity, exposed, backtest, refused, guesses)
                for stats, trades, equity, exposed, refused, guesses in raw]


class CrossStrategy(SignalStrategy):
    """A `Cross` recipe with one set's parameters: the `SignalStrategy` of the arrays
    `candlewright.ta` gives over the bars' closes (made when it runs, for the bars it runs
    on). A native run (`run_sets`, a sweep) crosses the lines inside the loop instead, to the
    same bit."""

    def __init__(self, recipe: Cross, params: Mapping[str, Any]) -> None:
        Strategy.__init__(self)
        recipe.checked(params)
        self.recipe, self.params = recipe, dict(params)
        self.side, self.max_positions = recipe.side, recipe.max_positions

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={v!r}" for k, v in self.params.items())
        return f"{self.recipe!r}({shown})"

    def arguments_for(self, closes: Any) -> dict[str, Any]:
        """The arguments of `Backtest.run_signals` that run this set over bars with these
        closes."""
        import numpy as np

        from . import ta

        closes = np.asarray(closes, dtype=np.float64)
        fast, slow, lots, stop_loss, take_profit = self.recipe.checked(self.params, len(closes))

        def drawn(line: _Line) -> Any:
            kind, value = _KINDS[line[0]], line[1]
            if kind == "close":
                return closes
            if kind == "level":
                return np.full(len(closes), value)
            average: Any = getattr(ta, kind)
            return average(closes, int(value))

        f, s = drawn(fast), drawn(slow)
        up, down = ta.crossover(f, s), ta.crossunder(f, s)
        if self.side == "both":
            entries, exits = up.astype(np.int8) - down.astype(np.int8), None
        else:
            entries, exits = (up, down) if self.side == "long" else (down, up)
        return check_arguments(entries, exits, side=self.side, lots=lots,
                               stop_loss=None if math.isnan(stop_loss) else stop_loss,
                               take_profit=None if math.isnan(take_profit) else take_profit,
                               max_positions=self.max_positions)

    def arguments(self) -> dict[str, Any]:
        if not hasattr(self, "_arguments"):
            raise RuntimeError("a recipe's set has its signals only once run on bars: use "
                               "arguments_for(closes)")
        return super().arguments()

    def init(self) -> None:
        self._arguments = self.arguments_for(self.data.close)
        super().init()

    def _run_natively(self, backtest: Any, keep: str) -> Any:
        result: Any = self.recipe.run(backtest, [self.params], threads=1, keep=keep)[0]
        return result


def run_recipe(backtest: Any, recipe: Cross,
               grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
               threads: int | None, keep: str) -> list[tuple[dict[str, Any], Any]]:
    """`Backtest.run_recipe`: each set of `grid` with its result."""
    if not isinstance(recipe, Cross):
        raise TypeError(f"recipe must be a Cross, not {type(recipe).__name__}")
    sets = expand_grid(grid)
    return list(zip(sets, recipe.run(backtest, sets, threads=threads, keep=keep)))


def _number(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _distance(value: Any, name: str) -> float:
    return math.nan if value is None else _number(value, name)


def _line(kind: str, value: Any, name: str, bars: int | None) -> _Line:
    number = _number(value, name)
    if kind == "level":
        if not math.isfinite(number):
            raise ValueError(f"{name}: a level must be a finite price, not {value!r}")
        return (_KINDS.index(kind), number)
    if not number.is_integer() or number < 1:
        raise ValueError(f"{name}: a window must be a whole number of bars >= 1, not {value!r}")
    if bars is not None and number > bars:
        raise ValueError(f"{name}: a window of {int(number)} bars is longer than the {bars} "
                         "bars")
    return (_KINDS.index(kind), number)
