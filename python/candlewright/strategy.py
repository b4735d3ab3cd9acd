"""Strategies as classes: indicators declared once over the whole series, a `next` per bar that
sees the bars up to the current one, and orders in lots or by risk.

    class SmaCross(Strategy):
        fast = 10
        slow = 40

        def init(self):
            self.fast_ma = self.I(ta.sma, self.data.close, self.fast)
            self.slow_ma = self.I(ta.sma, self.data.close, self.slow)

        def next(self):
            if crossover(self.fast_ma, self.slow_ma):
                self.close()
                self.buy(risk=0.01, stop_loss=self.data.close[-1] - 0.0030)

`Backtest(bars).run(SmaCross, fast=20)` runs it: parameters are the class's public attributes,
given as keywords and checked against the type of their defaults. `init` runs once before the
first bar, with every bar visible; `next` runs at the close of each bar, after the bar's own
stop-losses, take-profits and pending orders, and its market orders fill at that close. Every
view (`self.data.close`, an indicator) shows the values up to the current bar only: `[-1]` is the
current bar's, `[-2]` the one before, and a slice gives a numpy array of those values. So a
strategy cannot read a bar it has not reached, and `self.I` checks once, on a prefix of the bars,
that an indicator does not read ahead either.
"""
from __future__ import annotations

import functools
import importlib
import inspect
import math
import numbers
import types
from collections.abc import Callable, Mapping
from typing import Any, ClassVar, cast

from . import _backtest

__all__ = ["Strategy", "History", "crossover", "crossunder", "NetPosition", "LookAheadError"]

crossover: Callable[[Any, Any], bool] = _backtest.crossover
crossunder: Callable[[Any, Any], bool] = _backtest.crossunder

_COLUMNS = ("timestamp", "open", "high", "low", "close", "volume")


def _numpy() -> Any:
    try:
        return importlib.import_module("numpy")
    except ImportError:
        raise ImportError("strategy classes need numpy: pip install numpy") from None


class LookAheadError(ValueError):
    """An indicator whose value at some bar depends on bars after it."""


class History(_backtest.History):
    """A column's values up to the bar the run is at (all of them while `init` runs).

    `h[-1]` is the current bar's value and `h[-2]` the one before; `len(h)` the bars seen so
    far. A slice (`h[-20:]`), numpy (`numpy.asarray(h)`, `h.mean()`) and arithmetic (`h * 2`)
    see the same values as a numpy array, without a copy where numpy can view them."""

    __slots__ = ()

    def _take(self, key: Any) -> Any:
        return _numpy().asarray(self)[key]

    def __array__(self, dtype: Any = None, copy: Any = None) -> Any:
        array = _numpy().asarray(memoryview(self))
        return array if dtype is None else array.astype(dtype, copy=False)

    def __getattr__(self, name: str) -> Any:
        # numpy's methods and properties (mean, std, shape, ...) on the values so far.
        if name.startswith("__"):
            raise AttributeError(name)
        return getattr(_numpy().asarray(self), name)

    def to_numpy(self) -> Any:
        """The values so far as a numpy array (a view, not a copy)."""
        return _numpy().asarray(self)


def _arithmetic(name: str) -> Callable[..., Any]:
    def apply(self: History, *others: Any) -> Any:
        return getattr(_numpy().asarray(self), name)(*others)
    apply.__name__ = name
    return apply


for _name in ("add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "radd", "rsub", "rmul",
              "rtruediv", "rfloordiv", "rmod", "rpow", "neg", "pos", "abs", "lt", "le", "gt",
              "ge"):
    setattr(History, f"__{_name}__", _arithmetic(f"__{_name}__"))
del _name


class _Data:
    """The bars as History views: timestamp, open, high, low, close, volume, and the data's
    other columns (a loaded file's spread, ...) by name."""

    def __init__(self, columns: dict[str, History]) -> None:
        self.__dict__.update(columns)
        self._names = tuple(columns)

    def __len__(self) -> int:
        first: History = getattr(self, self._names[0])
        return len(first)

    def __getitem__(self, name: str) -> History:
        try:
            found: History = getattr(self, name) if name in self._names else self._missing(name)
            return found
        except AttributeError:
            raise KeyError(name) from None

    def __getattr__(self, name: str) -> Any:
        return self._missing(name)

    def _missing(self, name: str) -> Any:
        lowered = name.lower()
        if lowered != name and lowered in self.__dict__.get("_names", ()):
            return getattr(self, lowered)  # backtesting.py's Close, High, ...
        raise AttributeError(f"the data has no column {name!r}; it has "
                             f"{', '.join(self.__dict__.get('_names', ()))}")

    def __repr__(self) -> str:
        return f"<data: {len(self)} bars so far; {', '.join(self._names)}>"


class NetPosition:
    """The open positions taken together: `lots` signed (long above 0, short below), `pl` their
    open profit or loss in the account currency at the current close, and `count`. It is false
    when nothing is open."""

    __slots__ = ("lots", "pl", "count")

    def __init__(self, lots: float, pl: float, count: int) -> None:
        self.lots, self.pl, self.count = lots, pl, count

    @property
    def is_long(self) -> bool:
        return self.lots > 0

    @property
    def is_short(self) -> bool:
        return self.lots < 0

    def __bool__(self) -> bool:
        return self.count > 0

    def __repr__(self) -> str:
        return f"NetPosition(lots={self.lots!r}, pl={self.pl!r}, count={self.count})"


def parameters(cls: type) -> dict[str, Any]:
    """A strategy class's parameters and their defaults: its public class attributes that are
    plain values, its own and its bases' up to `Strategy`."""
    found: dict[str, Any] = {}
    for klass in reversed(cls.__mro__):
        if klass is object or klass is Strategy or not issubclass(klass, Strategy):
            continue
        for name, value in vars(klass).items():
            if name.startswith("_") or callable(value) or isinstance(
                    value, (property, classmethod, staticmethod)) or hasattr(value, "__get__"):
                found.pop(name, None)
                continue
            found[name] = value
    return found


def _checked(owner: str, name: str, default: Any, value: Any) -> Any:
    """`value` for a parameter whose default is `default`: of its type, or a TypeError."""
    def refuse(kind: str) -> TypeError:
        return TypeError(f"{owner}.{name} is {kind} (its default is {default!r}), "
                         f"not {value!r}")
    if default is None:
        return value
    if isinstance(default, bool):
        if not isinstance(value, (bool, _numpy_bool())):
            raise refuse("True or False")
        return bool(value)
    if isinstance(default, numbers.Integral):
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise refuse("a whole number")
        if not isinstance(value, numbers.Integral):
            if not (math.isfinite(value) and float(value).is_integer()):
                raise refuse("a whole number")
        return int(cast(Any, value))
    if isinstance(default, numbers.Real):
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise refuse("a number")
        return float(value)
    if not isinstance(value, type(default)):
        raise refuse(f"a {type(default).__name__}")
    return value


def _numpy_bool() -> type:
    try:
        numpy: Any = importlib.import_module("numpy")
    except ImportError:
        return bool
    return type(numpy.True_)


class Strategy:
    """The base of strategy classes; see the module for an example.

    Subclasses define `init(self)`, run once with the whole series visible, where they declare
    indicators with `self.I(...)`, and `next(self)`, run at the close of every bar. While a run
    goes on they see:

    - `self.data`: the bars' columns as `History` views (`self.data.close[-1]`);
    - `self.i`: the bar number (0 at the first bar), `self.time` its timestamp;
    - `self.account`: the run's `Account` (cash, equity, positions, orders, trades);
    - `self.position` (the open positions taken together, a `NetPosition`), `self.positions`,
      `self.orders` and `self.last_trade` (the last closed trade, or None);
    - `self.buy(...)`, `self.sell(...)`, `self.close(...)`, `self.cancel(ticket)` and
      `self.modify(ticket, ...)` to trade.

    Parameters are public class attributes; `Backtest.run(MyStrategy, fast=20)` and sweeps
    give them as keywords, each checked against its default's type.
    """

    account: Any = None
    _plain: ClassVar[bool] = False  # next(bar, account) of its own: runs by the plain protocol
    _run_options: dict[str, Any] = {"lot_step": 0.01, "min_lots": 0.01, "max_lots": None,
                                    "check_orders": True}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        # A Backtest run calls the class's own next and init by other names; under these
        # names they also answer the plain protocol of Engine.run.
        # A subclass may also keep the plain protocol in methods of its own (next(bar,
        # account), init(bars), calling the parent's through super()): the class then runs that
        # way, and its parent's methods answer the same calls.
        for name, kept, engine_call, plain in (("next", "_next_bar", _engine_next, 2),
                                               ("init", "_init_run", _engine_init, 1)):
            own = cls.__dict__.get(name)
            if own is None or isinstance(own, _Hook):
                continue
            if _positional(own) >= plain:
                cls._plain = True
                continue
            setattr(cls, kept, own)
            setattr(cls, name, _Hook(own, engine_call))
        # help() and inspect show the parameters, in the order they are declared.
        if _takes_parameters(cls):
            kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
            cls.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
                [inspect.Parameter(name, kind, default=value)
                 for name, value in parameters(cls).items()])

    def __init__(self, *args: Any, **params: Any) -> None:
        cls = type(self)
        declared = parameters(cls)
        if len(args) > len(declared):
            raise TypeError(f"{cls.__qualname__} takes {len(declared)} parameters "
                            f"({', '.join(declared) or 'none'}), not {len(args)}")
        for name, value in zip(declared, args):
            if name in params:
                raise TypeError(f"{cls.__qualname__} got {name!r} twice")
            params[name] = value
        for name, value in params.items():
            if name not in declared:
                raise TypeError(f"{cls.__qualname__} takes no parameter {name!r}; its "
                                f"parameters: {', '.join(declared) or 'none'}")
            setattr(self, name, _checked(cls.__qualname__, name, declared[name], value))
        self._clock: Any = None
        self._indicators: list[tuple[str, Any, bool | None, str | None]] = []
        self.orders_too_small = 0

    def init(self) -> None:
        """Runs once before the first bar, with every bar visible: declare indicators here."""

    def next(self) -> None:
        """Runs at the close of every bar."""

    _init_run = init
    _next_bar = next

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in parameters(type(self)))
        return f"{type(self).__qualname__}({shown})"

    # --- the run ---

    def _prepare(self, backtest: Any, options: Mapping[str, Any]) -> Any:
        """Makes the views on `backtest`'s bars and runs `init` with all of them visible; the
        clock the run moves on, at 0."""
        clock = _backtest.Clock()
        n = len(backtest)
        clock.now = n
        self._clock = clock
        self._run_options = dict(options)
        self._indicators = []
        self._names: dict[int, str] = {}
        self.orders_too_small = 0
        columns = {name: History(backtest.column(name), clock) for name in _COLUMNS}
        for name, values in backtest.extra_columns().items():
            columns.setdefault(name, History(values, clock))
        for name, view in columns.items():
            self._names[id(view)] = name
        self.data = _Data(columns)
        self._init_run()
        clock.now = 0
        return clock

    @property
    def i(self) -> int:
        """The current bar's number, 0 at the first."""
        return int(self._clock.now) - 1

    @property
    def time(self) -> int:
        """The current bar's timestamp (in the backtest's time unit)."""
        stamp: int = self.data.timestamp[-1]
        return stamp

    @property
    def equity(self) -> float:
        """The account's equity at the current close."""
        value: float = self.account.equity(self.data.close[-1])
        return value

    @property
    def position(self) -> NetPosition:
        positions = self.account.positions
        lots = math.fsum(p.lot_size if p.is_long else -p.lot_size for p in positions)
        pl = self.equity - self.account.cash if positions else 0.0
        return NetPosition(lots, pl, len(positions))

    @property
    def positions(self) -> list[Any]:
        return list(self.account.positions)

    @property
    def orders(self) -> list[Any]:
        return list(self.account.orders)

    @property
    def last_trade(self) -> Any:
        """The last closed trade (a `Trade`), or None."""
        return self.account.last_trade

    # --- indicators ---

    def I(self, func: Callable[..., Any], *args: Any, name: str | None = None,  # noqa: E743
          overlay: bool | None = None, color: str | None = None, plot: bool = True,
          **kwargs: Any) -> Any:
        """Declares an indicator: `func(*args, **kwargs)` runs once over the whole series and
        gives one value per bar (or several such arrays: a tuple, a namedtuple, a 2-D array of
        one row per output, a DataFrame of one column per output). History arguments reach it
        as numpy arrays. It returns the indicator as a `History` view (a tuple of them, or the
        same namedtuple, for several outputs), so that `next` sees its values up to the
        current bar.

        Its values are checked once: one per bar, and the same when the bars after some point
        are removed, so that an indicator that reads ahead (a centred average, a shift the
        wrong way, a scaling by the whole series' maximum) is refused with `LookAheadError`.
        `name` labels it (by default the call, e.g. "sma(close, 20)"); the report draws it on
        the candles (`overlay=True`), in a panel of its own (False), or where its values lie
        (None); `plot=False` leaves it out."""
        if getattr(self, "_clock", None) is None:
            raise RuntimeError("declare indicators in init(), which a run calls")
        np = _numpy()
        n = int(self._clock.now)
        label = name if name is not None else self._label(func, args, kwargs)
        full = self._call(func, args, kwargs, n, n)
        outputs = _outputs(np, full, n, label)
        self._check_ahead(np, func, args, kwargs, n, outputs, label)
        views = [History(values, self._clock) for _, values in outputs]
        several = len(outputs) > 1 or _is_several(full)
        for (suffix, values), view in zip(outputs, views):
            shown = f"{label}.{suffix}" if several else label
            self._names[id(view)] = shown
            if plot:
                self._indicators.append((shown, values, overlay, color))
        if not several:
            return views[0]
        if isinstance(full, tuple) and hasattr(full, "_fields"):
            return type(full)(*views)
        return tuple(views)

    def _label(self, func: Callable[..., Any], args: tuple[Any, ...],
               kwargs: Mapping[str, Any]) -> str:
        def shown(value: Any) -> str:
            if isinstance(value, History):
                return self._names.get(id(value), "…")
            if isinstance(value, (numbers.Number, str)):
                return repr(value)
            return "…"
        parts = [shown(a) for a in args] + [f"{k}={shown(v)}" for k, v in kwargs.items()]
        return f"{getattr(func, '__name__', 'indicator')}({', '.join(parts)})"

    @staticmethod
    def _call(func: Callable[..., Any], args: tuple[Any, ...], kwargs: Mapping[str, Any],
              n: int, m: int) -> Any:
        """func on the first `m` of the `n` bars: every argument with a value per bar cut."""
        def cut(value: Any) -> Any:
            if isinstance(value, History):
                array = value.to_numpy()
                return array if m == n else array[:m]
            if m == n:
                return value
            try:
                if len(value) != n or isinstance(value, (str, bytes)):
                    return value
            except TypeError:
                return value
            if hasattr(value, "iloc"):
                return value.iloc[:m]
            try:
                return value[:m]
            except (TypeError, KeyError, IndexError):
                return value
        return func(*map(cut, args), **{k: cut(v) for k, v in kwargs.items()})

    def _check_ahead(self, np: Any, func: Callable[..., Any], args: tuple[Any, ...],
                     kwargs: Mapping[str, Any], n: int, outputs: list[tuple[str, Any]],
                     label: str) -> None:
        # One prefix, past any warm-up but leaving most bars out: an indicator that reads k bars
        # ahead differs in the prefix's last k values. The package's own indicators are known
        # not to, and are tested so.
        m = n // 2
        if m < 2 or getattr(func, "__module__", None) == "candlewright.ta" \
                or getattr(func, "_causal", False):
            return
        prefix = _outputs(np, self._call(func, args, kwargs, n, m), m, label)
        for (suffix, values), (_, cut) in zip(outputs, prefix):
            whole = values[:m]
            if np.array_equal(whole, cut, equal_nan=True):
                continue  # the common case, and ten times quicker to tell than closeness
            # A few ulps of slack: a function may sum in blocks whose edges depend on the length.
            same = np.isclose(whole, cut, rtol=1e-9, atol=0.0, equal_nan=True)
            if not np.all(same):
                at = int(np.argmin(same))
                raise LookAheadError(
                    f"indicator {label!r} reads ahead: its value at bar {at} is "
                    f"{float(whole[at])!r} with every bar but {float(cut[at])!r} with the bars "
                    f"up to {m - 1} only; an indicator may use the bars up to its own")

    # --- orders ---

    def buy(self, lots: float | None = None, *, risk: float | None = None,
            stop_loss: float | None = None, take_profit: float | None = None,
            trail: float | None = None, limit: float | None = None, stop: float | None = None,
            expiry: int | None = None) -> int | None:
        """Opens a long position at the current close (at the ask on the broker's model), or
        places a pending order with `limit=` or `stop=` (the entry level). Its size is `lots`,
        or `risk`, a fraction of the equity lost if `stop_loss` is hit (see
        `Account.lots_for_risk`), rounded down to the account's lot step. Returns the ticket, or
        None when the margin is not free or the size by risk is below the minimum (counted in
        `Result.orders_too_small`)."""
        return self._open(True, lots, risk, stop_loss, take_profit, trail, limit, stop, expiry)

    def sell(self, lots: float | None = None, *, risk: float | None = None,
             stop_loss: float | None = None, take_profit: float | None = None,
             trail: float | None = None, limit: float | None = None, stop: float | None = None,
             expiry: int | None = None) -> int | None:
        """Opens a short position, or places a pending sell order; as `buy`."""
        return self._open(False, lots, risk, stop_loss, take_profit, trail, limit, stop, expiry)

    def _open(self, is_long: bool, lots: float | None, risk: float | None,
              stop_loss: float | None, take_profit: float | None, trail: float | None,
              limit: float | None, stop: float | None, expiry: int | None) -> int | None:
        account, options = self.account, self._run_options
        if risk is not None or lots is None or limit is not None or stop is not None \
                or account is None:
            return self._order(is_long, lots, risk, stop_loss, take_profit, trail, limit, stop,
                               expiry)
        # A market order in lots: the common case, kept short.
        if options["check_orders"]:
            _check_size("buy" if is_long else "sell", lots, options)
        # The close and time given, as the plain Broker of Engine.run needs them.
        data = self.data
        trade = account.buy if is_long else account.sell
        opened: int | None = (
            trade(data.close[-1], lots, data.timestamp[-1], stop_loss, take_profit)
            if trail is None else
            trade(data.close[-1], lots, data.timestamp[-1], stop_loss, take_profit, trail))
        return opened

    def _order(self, is_long: bool, lots: float | None, risk: float | None,
               stop_loss: float | None, take_profit: float | None, trail: float | None,
               limit: float | None, stop: float | None, expiry: int | None) -> int | None:
        """An order by risk, or a pending one: the checks and sizing before it goes in."""
        side = "buy" if is_long else "sell"
        account = self.account
        if account is None:
            raise RuntimeError(f"{side}() trades during a run, from next()")
        if limit is not None and stop is not None:
            raise ValueError(f"{side}() takes limit= or stop=, not both")
        options = self._run_options
        if (lots is None) == (risk is None):
            raise TypeError(f"{side}() needs lots= or risk= (with a stop_loss), one of them")
        if risk is not None:
            if stop_loss is None:
                raise ValueError(f"{side}(risk=...) needs a stop_loss: the risk is what the "
                                 "position loses there")
            lots = account.lots_for_risk(risk, stop_loss, price=limit if limit is not None
                                         else stop, lot_step=options["lot_step"],
                                         min_lots=options["min_lots"],
                                         max_lots=options["max_lots"])
            if not lots:
                self.orders_too_small += 1
                return None
        elif options["check_orders"]:
            _check_size(side, lots, options)
        if limit is None and stop is None:
            data = self.data
            trade = account.buy if is_long else account.sell
            opened: int | None = trade(data.close[-1], lots, data.timestamp[-1], stop_loss,
                                       take_profit, *(() if trail is None else (trail,)))
            return opened
        kind = f"{side}_{'limit' if limit is not None else 'stop'}"
        ticket: int | None = getattr(account, kind)(
            limit if limit is not None else stop, lots, stop_loss=stop_loss,
            take_profit=take_profit, trail=trail, expiry=expiry)
        return ticket

    def close(self, ticket: int | None = None, lots: float | None = None) -> None:
        """Closes every open position at the current close, or the one with `ticket` (`lots` of
        it, if given)."""
        if ticket is None:
            if lots is not None:
                raise TypeError("close(lots=...) needs the ticket of the position to reduce")
            self.account.close_all(self.data.close[-1], self.data.timestamp[-1])
        else:
            self.account.close_ticket(ticket, lots=lots)

    def cancel(self, ticket: int) -> bool:
        """Cancels the pending order with `ticket`; whether there was one."""
        cancelled: bool = self.account.cancel(ticket)
        return cancelled

    def modify(self, ticket: int, **levels: Any) -> bool:
        """Changes `stop_loss`, `take_profit` or `trail` of a position or pending order."""
        found: bool = self.account.modify(ticket, **levels)
        return found


def _positional(function: Any) -> int:
    """How many arguments a method takes after self, by position."""
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return 0
    kinds = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    taken = [p for p in signature.parameters.values() if p.kind in kinds]
    if any(p.kind is inspect.Parameter.VAR_POSITIONAL for p in signature.parameters.values()):
        return 99
    return len(taken) - 1


def _takes_parameters(cls: type) -> bool:
    """Whether the class is made from its parameters: its constructor is Strategy's, or one that
    passes on whatever it is given."""
    init = next(klass.__dict__["__init__"] for klass in cls.__mro__
                if "__init__" in klass.__dict__)
    if init is Strategy.__init__:
        return True
    variable = (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)
    return all(p.kind in variable for p in list(inspect.signature(init).parameters.values())[1:])


class _Hook:
    """A strategy class's `next` or `init` as the plain protocol calls it (`Engine.run`: init
    with the list of bars, then next with each bar and the broker), and, called without
    arguments (super().next()), the method itself."""

    def __init__(self, function: Callable[..., Any], engine_call: Callable[..., Any]) -> None:
        functools.update_wrapper(self, function)
        self.function, self.engine_call = function, engine_call

    def __get__(self, obj: Any, owner: type | None = None) -> Any:
        return self if obj is None else types.MethodType(self, obj)

    def __call__(self, strategy: Any, *args: Any) -> Any:
        if not args:
            return self.function(strategy)
        return self.engine_call(strategy, *args)


class _BarList:
    """A list of Bar as the views are made from: the columns of Engine.run's bars."""

    def __init__(self, bars: Any) -> None:
        np = _numpy()
        n = len(bars)
        self._columns = {"timestamp": np.fromiter((b.timestamp for b in bars), "int64", n)}
        for name in _COLUMNS[1:]:
            self._columns[name] = np.fromiter((getattr(b, name) for b in bars), "float64", n)

    def __len__(self) -> int:
        return len(self._columns["close"])

    def column(self, name: str) -> Any:
        return self._columns[name]

    def extra_columns(self) -> dict[str, Any]:
        return {}


# Engine.run accepts every order: no lot sizes to check.
_ENGINE_OPTIONS = {"lot_step": 0.01, "min_lots": 0.01, "max_lots": None, "check_orders": False}


def _engine_init(strategy: Strategy, bars: Any) -> None:
    strategy._prepare(_BarList(bars), _ENGINE_OPTIONS)


def _engine_next(strategy: Strategy, bar: Any, broker: Any) -> None:
    clock = strategy._clock
    clock.now = clock.now + 1
    strategy.account = broker
    strategy._next_bar()


Strategy.init = _Hook(Strategy._init_run, _engine_init)  # type: ignore[method-assign,assignment]
Strategy.next = _Hook(Strategy._next_bar, _engine_next)  # type: ignore[method-assign,assignment]


def _check_size(side: str, lots: Any, options: Mapping[str, Any]) -> None:
    """Lots a broker with this lot step and these limits takes."""
    step, low, high = options["lot_step"], options["min_lots"], options["max_lots"]
    if type(lots) is not float and (not isinstance(lots, numbers.Real) or isinstance(lots, bool)):
        raise TypeError(f"{side}(lots=...) must be a number, not {lots!r}")
    steps = lots / step
    if not (lots >= low and (high is None or lots <= high)
            and abs(steps - round(steps)) <= 1e-9 * max(1.0, abs(steps))):
        limits = f"{low!r} to {high!r}" if high is not None else f"{low!r} or more"
        raise ValueError(f"{side}(lots={lots!r}): the account trades {limits} lots in steps of "
                         f"{step!r} (Backtest's lot_step, min_lots, max_lots)")


def _is_several(value: Any) -> bool:
    return isinstance(value, (tuple, list)) or (
        hasattr(value, "columns") and hasattr(value, "iloc"))


def _outputs(np: Any, value: Any, n: int, label: str) -> list[tuple[str, Any]]:
    """An indicator's outputs as (suffix, float64 array of n values)."""
    if isinstance(value, tuple) and hasattr(value, "_fields"):
        items = list(zip(value._fields, value))
    elif isinstance(value, (tuple, list)):
        items = [(str(j), v) for j, v in enumerate(value)]
    elif hasattr(value, "columns") and hasattr(value, "iloc"):
        items = [(str(c), value[c]) for c in value.columns]
    else:
        try:
            array = np.asarray(value, dtype="float64")
        except (TypeError, ValueError) as error:
            raise TypeError(f"indicator {label!r} gave values that are not numbers "
                            f"({error})") from None
        if array.ndim == 2 and array.shape[1] == n and array.shape[0] != n:
            items = [(str(j), row) for j, row in enumerate(array)]
        else:
            items = [("", array)]
    outputs = []
    for suffix, values in items:
        try:
            array = np.asarray(values, dtype="float64")
        except (TypeError, ValueError) as error:
            raise TypeError(f"indicator {label!r} gave values that are not numbers "
                            f"({error})") from None
        if array.ndim != 1 or len(array) != n:
            raise ValueError(f"indicator {label!r} gave {array.shape} for {n} bars: it needs "
                             "one value per bar (NaN where there is none yet)")
        outputs.append((suffix, array))
    if not outputs:
        raise ValueError(f"indicator {label!r} gave no values")
    return outputs
