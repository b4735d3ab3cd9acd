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

On a `Portfolio` the same class sees each instrument on its own: `self.data["EURUSD"].close[-1]`,
an indicator per instrument (`self.I(ta.sma, self.data["USDJPY"].close, 20)` belongs to USDJPY,
whose data it reads), and orders that name their instrument (`self.buy(0.1, symbol="EURUSD")`).
`next` runs at every step of the timeline; an instrument without a bar at the step
(`self.has_bar(symbol)` is false) keeps showing its last bar, so a rule read on its views would
see the same signal again: act on the instruments that have a bar.

    class TwoCrosses(Strategy):
        def init(self):
            self.fast = {s: self.I(ta.ema, self.data[s].close, 12) for s in self.symbols}
            self.slow = {s: self.I(ta.ema, self.data[s].close, 26) for s in self.symbols}

        def next(self):
            for s in self.symbols:
                if self.has_bar(s) and crossover(self.fast[s], self.slow[s]):
                    self.close(symbol=s)
                    self.buy(0.1, symbol=s)

With a lone instrument the symbol may be left out everywhere, so a class written for `Backtest`
runs on a one-instrument portfolio unchanged, to the bit.
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


class _Instruments(dict[str, _Data]):
    """A portfolio's data: each instrument's `_Data` by symbol. With a lone instrument it also
    answers as that instrument's data (`self.data.close`), so a single run's class runs as it
    is."""

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        if len(self) == 1 and not name.startswith("__"):
            return getattr(next(iter(self.values())), name)
        raise AttributeError(f"a portfolio's data is per instrument: "
                             f"self.data[{next(iter(self), 'SYMBOL')!r}].{name}; its instruments: "
                             f"{', '.join(self)}")

    def __missing__(self, key: Any) -> Any:
        if len(self) == 1 and isinstance(key, str):
            return next(iter(self.values()))[key]
        raise KeyError(f"the portfolio has no instrument {key!r}; it has {', '.join(self)}")

    def __repr__(self) -> str:
        return f"<data of {', '.join(self)}>"


class _Timeline:
    """What a portfolio's run adds to a strategy: its symbols, each instrument's clock, the step
    of each of its bars as a view on that clock, and the time of every step."""

    __slots__ = ("symbols", "clocks", "steps", "times", "lone")

    def __init__(self, symbols: tuple[str, ...], clocks: dict[str, Any],
                 steps: tuple[History, ...], times: Any) -> None:
        self.symbols, self.clocks, self.steps, self.times = symbols, clocks, steps, times
        self.lone = symbols[0] if len(symbols) == 1 else None

    def step(self) -> int:
        # Some instrument has a bar at every step and none has one after it: the step is the
        # latest of the instruments' last bars'.
        return max((int(seen[-1]) for seen in self.steps if len(seen)), default=-1)


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

    On a `Portfolio`, `self.data` maps each symbol to that instrument's data, `self.symbols` lists
    them, `self.has_bar(symbol)` says whether it has a bar at this step, `self.i` and `self.time`
    are the step's and `self.equity` the whole account's; `self.account` is the
    `PortfolioAccount`. What concerns one instrument names it with `symbol=`: orders,
    `close(symbol=...)`, `position_of(symbol)` (`self.position` is a lone instrument's), and
    `self.account[symbol]` for its positions, orders and trades.

    Parameters are public class attributes; `Backtest.run(MyStrategy, fast=20)` and sweeps
    give them as keywords, each checked against its default's type.
    """

    account: Any = None
    data: _Data | _Instruments  # a portfolio's is by symbol
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
        if isinstance(self, _OnPortfolio):
            self.__class__ = self.__class__.__bases__[0]
        self._reset(options)
        clock = self._clock = _backtest.Clock()
        clock.now = len(backtest)
        self.data = self._views(backtest, clock)
        self._init_run()
        clock.now = 0
        return clock

    def _prepare_portfolio(self, portfolio: Any, options: Mapping[str, Any]) -> tuple[Any, ...]:
        """As `_prepare`, over each instrument of `portfolio` on a clock of its own; the clocks,
        in the portfolio's order, at 0. For the run the object takes on its class's portfolio
        form, so that a single backtest's run pays nothing for portfolios."""
        if not isinstance(self, _OnPortfolio):
            self.__class__ = _on_portfolio(type(self))
        self._reset(options)
        self._clock = None
        clocks = _OnPortfolio._start(cast(Any, self), portfolio)
        self._init_run()
        for clock in clocks:
            clock.now = 0
        return clocks

    def _portfolio_indicators(self) -> dict[str, dict[str, Any]]:
        """The indicators declared in a portfolio's run, as its result keeps them: by name, the
        symbol first ("EURUSD sma(close, 20)", a name used twice numbered), each with its
        symbol."""
        return _OnPortfolio._declared(cast(Any, self))

    def _reset(self, options: Mapping[str, Any]) -> None:
        self._run_options = dict(options)
        self._indicators = []
        self._names: dict[int, str] = {}
        self.orders_too_small = 0

    def _views(self, backtest: Any, clock: Any) -> _Data:
        columns = {name: History(backtest.column(name), clock) for name in _COLUMNS}
        for name, values in backtest.extra_columns().items():
            columns.setdefault(name, History(values, clock))
        for name, view in columns.items():
            self._names[id(view)] = name
        return _Data(columns)

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

    @property
    def symbols(self) -> tuple[str, ...]:
        """A portfolio's instruments, in its order; () on a single backtest."""
        return ()

    def has_bar(self, symbol: str | None = None) -> bool:
        """Whether `symbol` has a bar at this step: false while its market is closed (its views
        then show its last bar) and before its first bar. Always true on a single backtest."""
        _single(symbol, "has_bar")
        return True

    def position_of(self, symbol: str | None = None) -> NetPosition:
        """The open positions of `symbol` taken together (`self.position` on a single
        backtest); on a portfolio, `pl` is their value in the account currency at the
        instrument's current close."""
        _single(symbol, "position_of")
        return self.position

    # --- indicators ---

    def I(self, func: Callable[..., Any], *args: Any, name: str | None = None,  # noqa: E743
          overlay: bool | None = None, color: str | None = None, plot: bool = True,
          symbol: str | None = None, **kwargs: Any) -> Any:
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
        (None); `plot=False` leaves it out.

        On a portfolio the indicator belongs to the instrument whose data (or indicators) its
        arguments are, or to `symbol`: it has one value per bar of that instrument, moves on
        with its bars, and is named with its symbol first in the result."""
        on_portfolio = isinstance(self, _OnPortfolio)
        if on_portfolio:
            clock, owner = _OnPortfolio._owner(cast(Any, self), args, kwargs, symbol)
        else:
            if getattr(self, "_clock", None) is None:
                raise RuntimeError("declare indicators in init(), which a run calls")
            _single(symbol, "I")
            clock, owner = self._clock, ""
        np = _numpy()
        n = int(clock.now)
        label = name if name is not None else self._label(func, args, kwargs)
        full = self._call(func, args, kwargs, n, n)
        outputs = _outputs(np, full, n, label)
        self._check_ahead(np, func, args, kwargs, n, outputs, label)
        views = [History(values, clock) for _, values in outputs]
        several = len(outputs) > 1 or _is_several(full)
        for (suffix, values), view in zip(outputs, views):
            shown = f"{label}.{suffix}" if several else label
            self._names[id(view)] = shown
            if on_portfolio:
                _OnPortfolio._owned(cast(Any, self), view, owner, plot)
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
            expiry: int | None = None, symbol: str | None = None) -> int | None:
        """Opens a long position at the current close (at the ask on the broker's model), or
        places a pending order with `limit=` or `stop=` (the entry level). Its size is `lots`,
        or `risk`, a fraction of the equity lost if `stop_loss` is hit (see
        `Account.lots_for_risk`), rounded down to the account's lot step. Returns the ticket, or
        None when the margin is not free or the size by risk is below the minimum (counted in
        `Result.orders_too_small`).

        On a portfolio `symbol` names the instrument (it may be left out with a lone one); its
        risk is sized on that instrument's pip and rate against the whole account's equity."""
        if symbol is not None:
            _single(symbol, "buy")
        return self._open(True, self.account, self.data, lots, risk, stop_loss, take_profit,
                          trail, limit, stop, expiry)

    def sell(self, lots: float | None = None, *, risk: float | None = None,
             stop_loss: float | None = None, take_profit: float | None = None,
             trail: float | None = None, limit: float | None = None, stop: float | None = None,
             expiry: int | None = None, symbol: str | None = None) -> int | None:
        """Opens a short position, or places a pending sell order; as `buy`."""
        if symbol is not None:
            _single(symbol, "sell")
        return self._open(False, self.account, self.data, lots, risk, stop_loss, take_profit,
                          trail, limit, stop, expiry)

    def _open(self, is_long: bool, account: Any, data: Any, lots: float | None,
              risk: float | None, stop_loss: float | None, take_profit: float | None,
              trail: float | None, limit: float | None, stop: float | None,
              expiry: int | None) -> int | None:
        options = self._run_options
        if risk is not None or lots is None or limit is not None or stop is not None \
                or account is None:
            return self._order(is_long, account, data, lots, risk, stop_loss, take_profit,
                               trail, limit, stop, expiry)
        # A market order in lots: the common case, kept short.
        if options["check_orders"]:
            _check_size("buy" if is_long else "sell", lots, options)
        # The close and time given, as the plain Broker of Engine.run needs them.
        trade = account.buy if is_long else account.sell
        opened: int | None = (
            trade(data.close[-1], lots, data.timestamp[-1], stop_loss, take_profit)
            if trail is None else
            trade(data.close[-1], lots, data.timestamp[-1], stop_loss, take_profit, trail=trail))
        return opened

    def _order(self, is_long: bool, account: Any, data: Any, lots: float | None,
               risk: float | None, stop_loss: float | None, take_profit: float | None,
               trail: float | None, limit: float | None, stop: float | None,
               expiry: int | None) -> int | None:
        """An order by risk, or a pending one: the checks and sizing before it goes in."""
        side = "buy" if is_long else "sell"
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
            trade = account.buy if is_long else account.sell
            opened: int | None = trade(data.close[-1], lots, data.timestamp[-1], stop_loss,
                                       take_profit, **({} if trail is None else {"trail": trail}))
            return opened
        kind = f"{side}_{'limit' if limit is not None else 'stop'}"
        ticket: int | None = getattr(account, kind)(
            limit if limit is not None else stop, lots, stop_loss=stop_loss,
            take_profit=take_profit, trail=trail, expiry=expiry)
        return ticket

    def close(self, ticket: int | None = None, lots: float | None = None, *,
              symbol: str | None = None) -> None:
        """Closes every open position at the current close, or the one with `ticket` (`lots` of
        it, if given). On a portfolio, every open position of `symbol`, or the one with
        `ticket` whatever its instrument; an instrument without a bar at the step that has
        nothing open has nothing to close."""
        if symbol is not None:
            _single(symbol, "close")
        if ticket is None:
            if lots is not None:
                raise TypeError("close(lots=...) needs the ticket of the position to reduce")
            self.account.close_all(self.data.close[-1], self.data.timestamp[-1])
        else:
            self.account.close_ticket(ticket, lots=lots)

    def cancel(self, ticket: int, *, symbol: str | None = None) -> bool:
        """Cancels the pending order with `ticket`; whether there was one."""
        _single(symbol, "cancel")
        cancelled: bool = self.account.cancel(ticket)
        return cancelled

    def modify(self, ticket: int, *, symbol: str | None = None, **levels: Any) -> bool:
        """Changes `stop_loss`, `take_profit` or `trail` of a position or pending order."""
        _single(symbol, "modify")
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
    if isinstance(bars, Mapping):
        return  # a portfolio's plain init: its data by symbol, no views to make
    strategy._prepare(_BarList(bars), _ENGINE_OPTIONS)


def _engine_next(strategy: Strategy, bar: Any, broker: Any) -> None:
    clock = strategy._clock
    clock.now = clock.now + 1
    strategy.account = broker
    strategy._next_bar()


Strategy.init = _Hook(Strategy._init_run, _engine_init)  # type: ignore[method-assign,assignment]
Strategy.next = _Hook(Strategy._next_bar, _engine_next)  # type: ignore[method-assign,assignment]


# --- on a portfolio ---

class _OnPortfolio(Strategy):
    """What a strategy class does on a portfolio. For a portfolio's run the object's class
    becomes one made from its own and this (its own methods first, this before Strategy's), so
    that a single backtest's class keeps Strategy's methods as they are."""

    __timeline: _Timeline
    # Each view of an instrument, by id, with its symbol: kept alive here, so that an id is
    # never another view's.
    __owners: dict[int, tuple[str, History]]
    __indicator_symbols: list[str | None]

    def _start(self, portfolio: Any) -> tuple[Any, ...]:
        """The views of every instrument, each on a clock of its own at its last bar; the
        clocks."""
        self.__owners, self.__indicator_symbols = {}, []
        clocks: dict[str, Any] = {}
        data = _Instruments()
        steps = []
        for k, (symbol, member) in enumerate(portfolio.members.items()):
            clock = clocks[symbol] = _backtest.Clock()
            clock.now = len(member)
            data[symbol] = self._views(member, clock)
            for view in vars(data[symbol]).values():
                if isinstance(view, History):
                    self.__owners[id(view)] = (symbol, view)
            steps.append(History(portfolio._runner.steps_of(k), clock))
        self.__timeline = _Timeline(tuple(clocks), clocks, tuple(steps), portfolio.timestamp)
        self.data = data
        return tuple(clocks.values())

    def _owner(self, args: tuple[Any, ...], kwargs: Mapping[str, Any],
               symbol: str | None) -> tuple[Any, str]:
        """The instrument an indicator belongs to (the one whose views are among its
        arguments, or `symbol`) and its clock."""
        timeline, owners = self.__timeline, self.__owners
        found = {owners[id(value)][0] for value in (*args, *kwargs.values())
                 if isinstance(value, History) and id(value) in owners}
        if len(found) > 1:
            raise ValueError(f"I(): its arguments are the data of {', '.join(sorted(found))}; "
                             "an indicator reads one instrument's bars")
        if symbol is None:
            if not found and timeline.lone is None:
                raise TypeError("I() needs symbol= when no argument is an instrument's data: "
                                f"one of {', '.join(timeline.symbols)}")
            symbol = next(iter(found)) if found else timeline.lone
        else:
            symbol = self.__symbol(symbol, "I")
            if found and symbol not in found:
                raise ValueError(f"I(symbol={symbol!r}): its arguments are the data of "
                                 f"{next(iter(found))}")
        assert symbol is not None
        return timeline.clocks[symbol], symbol

    def _owned(self, view: History, symbol: str, plot: bool) -> None:
        self.__owners[id(view)] = (symbol, view)
        if plot:
            self.__indicator_symbols.append(symbol)

    def _declared(self) -> dict[str, dict[str, Any]]:
        seen: dict[str, int] = {}
        found = {}
        for (name, values, overlay, color), symbol in zip(self._indicators,
                                                          self.__indicator_symbols):
            name = f"{symbol} {name}"
            seen[name] = seen.get(name, 0) + 1
            shown = name if seen[name] == 1 else f"{name} ({seen[name]})"
            found[shown] = {"values": values, "overlay": overlay, "color": color,
                            "symbol": symbol}
        return found

    # --- the step ---

    @property
    def i(self) -> int:
        """The step's number, 0 at the first."""
        return self.__timeline.step()

    @property
    def time(self) -> int:
        """The step's timestamp."""
        timeline = self.__timeline
        step = timeline.step()
        if step < 0:
            raise IndexError("the run has no step yet")
        return int(timeline.times[step])

    @property
    def equity(self) -> float:
        """The whole account's equity, each instrument at its current close."""
        value: float = self.account.equity()
        return value

    @property
    def symbols(self) -> tuple[str, ...]:
        return self.__timeline.symbols

    def has_bar(self, symbol: str | None = None) -> bool:
        account = self.__target(symbol, "has_bar")[0]
        if account is not None:
            present: bool = account.has_bar
            return present
        timeline = self.__timeline  # in init: from the steps of the bars seen
        seen = timeline.steps[timeline.symbols.index(self.__symbol(symbol, "has_bar"))]
        return len(seen) > 0 and int(seen[-1]) == timeline.step()

    @property
    def position(self) -> NetPosition:
        account = self.__target(None, "position")[0]
        positions = account.positions
        lots = math.fsum(p.lot_size if p.is_long else -p.lot_size for p in positions)
        # Only a lone instrument answers here: its open value is the account's.
        pl = self.equity - account.cash if positions else 0.0
        return NetPosition(lots, pl, len(positions))

    def position_of(self, symbol: str | None = None) -> NetPosition:
        account = self.__target(symbol, "position_of")[0]
        if self.__timeline.lone is not None:
            return self.position
        positions = account.positions
        lots = math.fsum(p.lot_size if p.is_long else -p.lot_size for p in positions)
        return NetPosition(lots, _backtest.open_value(account) if positions else 0.0,
                           len(positions))

    @property
    def positions(self) -> list[Any]:
        return list(self.__target(None, "positions")[0].positions)

    @property
    def orders(self) -> list[Any]:
        return list(self.__target(None, "orders")[0].orders)

    @property
    def last_trade(self) -> Any:
        return self.__target(None, "last_trade")[0].last_trade

    def __symbol(self, symbol: str | None, asked: str) -> str:
        """The instrument `symbol` names (the lone one when None)."""
        timeline = self.__timeline
        if symbol is None:
            if timeline.lone is None:
                raise _no_symbol(asked, timeline.symbols)
            return timeline.lone
        if symbol not in timeline.clocks:
            raise ValueError(f"{asked}(symbol={symbol!r}): the portfolio has no such "
                             f"instrument; it has {', '.join(timeline.symbols)}")
        return symbol

    def __target(self, symbol: str | None, asked: str) -> tuple[Any, _Data]:
        """The account (None outside a run) and the data of the instrument `symbol` names."""
        symbol = self.__symbol(symbol, asked)
        account = self.account
        return (None if account is None else account[symbol]), \
            cast(_Instruments, self.data)[symbol]

    # --- orders ---

    def buy(self, lots: float | None = None, *, risk: float | None = None,
            stop_loss: float | None = None, take_profit: float | None = None,
            trail: float | None = None, limit: float | None = None, stop: float | None = None,
            expiry: int | None = None, symbol: str | None = None) -> int | None:
        account, data = self.__target(symbol, "buy")
        return self._open(True, account, data, lots, risk, stop_loss, take_profit, trail,
                          limit, stop, expiry)

    def sell(self, lots: float | None = None, *, risk: float | None = None,
             stop_loss: float | None = None, take_profit: float | None = None,
             trail: float | None = None, limit: float | None = None, stop: float | None = None,
             expiry: int | None = None, symbol: str | None = None) -> int | None:
        account, data = self.__target(symbol, "sell")
        return self._open(False, account, data, lots, risk, stop_loss, take_profit, trail,
                          limit, stop, expiry)

    def close(self, ticket: int | None = None, lots: float | None = None, *,
              symbol: str | None = None) -> None:
        if ticket is not None:
            holder = self.__holder(ticket, symbol, "close")
            if holder is not None:
                holder.close_ticket(ticket, lots=lots)
            return
        if lots is not None:
            raise TypeError("close(lots=...) needs the ticket of the position to reduce")
        account, data = self.__target(symbol, "close")
        if account is None:
            raise RuntimeError("close() trades during a run, from next()")
        # Closing nothing is nothing, even where the market is closed.
        if account.has_bar or account.positions:
            account.close_all(data.close[-1], data.timestamp[-1])

    def cancel(self, ticket: int, *, symbol: str | None = None) -> bool:
        holder = self.__holder(ticket, symbol, "cancel")
        cancelled: bool = holder is not None and holder.cancel(ticket)
        return cancelled

    def modify(self, ticket: int, *, symbol: str | None = None, **levels: Any) -> bool:
        holder = self.__holder(ticket, symbol, "modify")
        found: bool = holder is not None and holder.modify(ticket, **levels)
        return found

    def __holder(self, ticket: int, symbol: str | None, asked: str) -> Any:
        """The account of the instrument that holds `ticket` as a position or an order (tickets
        are the whole account's), or `symbol`'s; None when none holds it, which a lone account
        answers as a ticket it does not know."""
        account = self.account
        if account is None:
            raise RuntimeError(f"{asked}() trades during a run, from next()")
        if symbol is not None or self.__timeline.lone is not None:
            return self.__target(symbol, asked)[0]
        for member in account.values():
            if any(held.ticket == ticket for held in (*member.positions, *member.orders)):
                return member
        return None


def _on_portfolio(cls: type[Strategy]) -> type[Strategy]:
    """`cls` in its portfolio form, made once per class."""
    made: type[Strategy] | None = cls.__dict__.get("_portfolio_form")
    if made is None:
        made = cast(type[Strategy], type(cls.__name__, (cls, _OnPortfolio),
                                         {"__qualname__": cls.__qualname__,
                                          "__module__": cls.__module__, "__doc__": cls.__doc__}))
        setattr(cls, "_portfolio_form", made)
    return made


def _single(symbol: str | None, asked: str) -> None:
    if symbol is not None:
        raise TypeError(f"{asked}(symbol={symbol!r}): a Backtest runs one instrument; symbol= "
                        "names one of a Portfolio's")


def _no_symbol(asked: str, symbols: tuple[str, ...]) -> TypeError:
    shown = ", ".join(symbols)
    if asked in ("position", "positions", "orders", "last_trade"):
        each = "position_of(symbol)" if asked == "position" else f"self.account[symbol].{asked}"
        return TypeError(f"self.{asked} is per instrument on a portfolio of {shown}: {each}")
    return TypeError(f"{asked}() needs symbol=, one of {shown}")


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
