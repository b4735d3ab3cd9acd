"""The instruments of a portfolio: what each one is (`Instrument`: its currencies and a
`Backtest`'s options for it, from a table of typical figures unless given) and how its profit,
made in its quote currency, turns into the account currency.

A portfolio converts with its own pairs, at each step, from the last close at or before that step
of the pair that converts (the close as the bars give it, bid bars being a bid close). For an
instrument quoted in Q on an account in A (`conversion_legs`):

- Q is A: no conversion (rate 1).
- direct, a pair QA (GBPUSD for GBP into USD): rate = c, its close.
- inverted, a pair AQ (USDJPY for JPY into USD): rate = 1.0 / c. An instrument can be its own
  converter this way (USDJPY on a USD account).
- a cross through another currency X, with a pair of Q and X (close c1) and a pair of X and A
  (close c2), each direct or inverted, in this operand order:

  ======================  ===================
  legs                    rate
  ======================  ===================
  (direct, direct)        c1 * c2
  (inverted, direct)      c2 / c1
  (direct, inverted)      c1 / c2
  (inverted, inverted)    1.0 / (c1 * c2)
  ======================  ===================

One pair is preferred to two; among candidates, the instrument itself, then the first in the
portfolio's order. An instrument given a `quote_to_account` of its own is converted by that.
"""
from __future__ import annotations

import math
import numbers
import re
from collections.abc import Callable, Sequence
from typing import Any

__all__ = ["Instrument", "PAIR_DEFAULTS", "instrument", "conversion_legs", "conversion_rate",
           "check_first_bars"]

Leg = tuple[int, bool]
Legs = tuple[Leg, ...]

# Typical retail figures: (contract size, point, spread in price units). The spreads are written
# as literals, not as points * point, so that EURUSD's is Backtest's own default to the bit.
PAIR_DEFAULTS: dict[str, tuple[float, float, float]] = {
    "EURUSD": (100_000.0, 0.00001, 0.0002),
    "GBPUSD": (100_000.0, 0.00001, 0.0003),
    "USDJPY": (100_000.0, 0.001, 0.02),
    "USDCHF": (100_000.0, 0.00001, 0.0003),
    "USDCAD": (100_000.0, 0.00001, 0.0003),
    "AUDUSD": (100_000.0, 0.00001, 0.0002),
    "NZDUSD": (100_000.0, 0.00001, 0.0003),
    "EURJPY": (100_000.0, 0.001, 0.03),
    "GBPJPY": (100_000.0, 0.001, 0.04),
    "AUDJPY": (100_000.0, 0.001, 0.03),
    "NZDJPY": (100_000.0, 0.001, 0.04),
    "CADJPY": (100_000.0, 0.001, 0.04),
    "CHFJPY": (100_000.0, 0.001, 0.04),
    "EURGBP": (100_000.0, 0.00001, 0.0003),
    "EURCHF": (100_000.0, 0.00001, 0.0003),
    "EURAUD": (100_000.0, 0.00001, 0.0004),
    "EURCAD": (100_000.0, 0.00001, 0.0004),
    "EURNZD": (100_000.0, 0.00001, 0.0005),
    "GBPCHF": (100_000.0, 0.00001, 0.0005),
    "GBPAUD": (100_000.0, 0.00001, 0.0005),
    "GBPCAD": (100_000.0, 0.00001, 0.0005),
    "AUDCAD": (100_000.0, 0.00001, 0.0004),
    "AUDCHF": (100_000.0, 0.00001, 0.0004),
    "AUDNZD": (100_000.0, 0.00001, 0.0004),
    "XAUUSD": (100.0, 0.01, 0.3),
    "XAGUSD": (5_000.0, 0.001, 0.03),
}

# Quotes with three decimals when not in the table; others have five.
_THREE_DECIMALS = frozenset({"JPY", "HUF"})
_OTHERS_POINTS = 20.0
# Codes a symbol's six letters usually stand for; only used to hint that a symbol read as a pair
# is perhaps none (NATGAS).
_KNOWN = frozenset({c for pair in PAIR_DEFAULTS for c in (pair[:3], pair[3:])}
                   | {"HUF", "SEK", "NOK", "DKK", "PLN", "CZK", "TRY", "ZAR", "MXN", "SGD", "HKD",
                      "CNH", "ILS", "RUB", "THB", "XPT", "XPD", "BTC", "ETH"})

# Six letters, perhaps split by a separator, then perhaps a broker's suffix: one that starts
# with a non-letter (.m, _i, #, -ECN, 1), or lower case letters after upper case ones (m, pro).
_PAIR = re.compile(r"([A-Za-z]{3})[/_\- ]?([A-Za-z]{3})(?:[^A-Za-z/\s]\S*|(?<=[A-Z])[a-z]+)?")
_CODE = re.compile(r"[A-Z0-9]+")

_FIELDS = ("base", "quote", "contract_size", "point", "spread", "commission", "swap_long",
           "swap_short", "swap_unit", "margin_per_lot", "leverage", "quote_to_account", "ask")


class Instrument:
    """One instrument of a portfolio: its symbol, currencies and account options.

    `base` and `quote` are read from a six-letter symbol ("EURJPY", "EUR/JPY", "eurjpy",
    "EURJPY.m" or "EURJPYm" with a broker's suffix, "XAUUSD"); other symbols ("US30") need them
    given. Any figure left None comes from `PAIR_DEFAULTS` by the six letters, or for a pair not
    in it: a contract of 100,000, a point of 0.001 when the quote is JPY or HUF else 0.00001, and a
    spread of 20 points; `commission`, `leverage` and `margin_per_lot` left None are the
    portfolio's.

    `spread` is in price units, or in points when given together with `point` (as `Backtest`
    reads them); a number, a column name or a sequence per bar. `quote_to_account` (a number, a
    column name, a sequence or "1/close") replaces the portfolio's conversion, and `ask` gives the
    ask's own bars, both as `Backtest` takes them.

    Instruments are immutable and compare by identity; `replace(**changes)` makes a changed copy.
    """

    __slots__ = (*_FIELDS, "symbol", "_given")

    symbol: str
    base: str
    quote: str
    contract_size: float
    point: float
    spread: Any
    commission: float | None
    swap_long: float
    swap_short: float
    swap_unit: str
    margin_per_lot: float | None
    leverage: float | None
    quote_to_account: Any
    ask: Any
    _given: dict[str, Any]

    def __init__(self, symbol: str, *, base: str | None = None, quote: str | None = None,
                 contract_size: float | None = None, point: float | None = None,
                 spread: Any = None, commission: float | None = None, swap_long: float = 0.0,
                 swap_short: float = 0.0, swap_unit: str = "account",
                 margin_per_lot: float | None = None, leverage: float | None = None,
                 quote_to_account: Any = None, ask: Any = None) -> None:
        if not isinstance(symbol, str) or not symbol.strip():
            raise TypeError(f"Instrument() takes a symbol, a non-empty string, not {symbol!r}")
        put = object.__setattr__
        put(self, "symbol", symbol)
        where = f"Instrument({symbol!r})"
        pair = _PAIR.fullmatch(symbol.strip())
        read = (pair[1].upper(), pair[2].upper()) if pair else (None, None)
        codes = []
        for name, value, fallback in (("base", base, read[0]), ("quote", quote, read[1])):
            codes.append(_code(value, f"{where}: {name}") if value is not None else fallback)
        if codes[0] is None or codes[1] is None:
            missing = " and ".join(n for n, c in zip(("base", "quote"), codes) if c is None)
            raise ValueError(f"{where}: the currencies cannot be read from the symbol (six "
                             f"letters, as 'EURUSD' or 'EUR/USD'); give {missing}, as "
                             f"Instrument({symbol!r}, base=..., quote='USD')")
        if codes[0] == codes[1]:
            raise ValueError(f"{where}: base and quote are both {codes[0]}")
        put(self, "base", codes[0])
        put(self, "quote", codes[1])
        table = PAIR_DEFAULTS.get(codes[0] + codes[1])
        if table is None:
            default_point = 0.001 if codes[1] in _THREE_DECIMALS else 0.00001
            table = (100_000.0, default_point, _OTHERS_POINTS * default_point)
        put(self, "contract_size", _number(contract_size, where, "contract_size")
            if contract_size is not None else table[0])
        put(self, "point", _number(point, where, "point") if point is not None else table[1])
        put(self, "spread", _per_bar(spread, where, "spread", 0.0)
            if spread is not None else table[2])
        put(self, "commission", None if commission is None
            else _number(commission, where, "commission", zero=True))
        put(self, "swap_long", _number(swap_long, where, "swap_long", low=-math.inf))
        put(self, "swap_short", _number(swap_short, where, "swap_short", low=-math.inf))
        if swap_unit not in ("account", "points"):
            raise ValueError(f"{where}: swap_unit must be 'account' or 'points', "
                             f"not {swap_unit!r}")
        put(self, "swap_unit", swap_unit)
        put(self, "margin_per_lot", None if margin_per_lot is None
            else _number(margin_per_lot, where, "margin_per_lot"))
        put(self, "leverage", None if leverage is None else _number(leverage, where, "leverage"))
        if isinstance(quote_to_account, str) and quote_to_account.strip() == "":
            raise ValueError(f"{where}: quote_to_account cannot be an empty column name")
        put(self, "quote_to_account", None if quote_to_account is None
            else _per_bar(quote_to_account, where, "quote_to_account", None))
        if isinstance(ask, (bool, numbers.Real)):
            raise TypeError(f"{where}: ask takes the ask's bars or columns, not {ask!r}")
        put(self, "ask", ask)
        given = {name: value for name, value in (
            ("base", base), ("quote", quote), ("contract_size", contract_size), ("point", point),
            ("spread", spread), ("commission", commission), ("swap_long", swap_long or None),
            ("swap_short", swap_short or None),
            ("swap_unit", None if swap_unit == "account" else swap_unit),
            ("margin_per_lot", margin_per_lot), ("leverage", leverage),
            ("quote_to_account", quote_to_account), ("ask", ask)) if value is not None}
        put(self, "_given", given)

    @property
    def spread_in_points(self) -> bool:
        """Whether `spread` is in points: given together with `point`."""
        return "spread" in self._given and "point" in self._given

    def given(self) -> dict[str, Any]:
        """The keywords given to make this instrument (without the symbol)."""
        return dict(self._given)

    def replace(self, **changes: Any) -> Instrument:
        """A copy with some keywords given anew; None takes a keyword back to its default."""
        unknown = [name for name in changes if name not in _FIELDS and name != "symbol"]
        if unknown:
            raise TypeError(f"Instrument.replace() got unexpected keywords: {', '.join(unknown)}")
        given = {**self._given, **changes}
        symbol = given.pop("symbol", self.symbol)
        return Instrument(symbol, **{k: v for k, v in given.items() if v is not None})

    def options(self) -> dict[str, Any]:
        """The keywords to give `Backtest(bars, **options)` for this instrument.

        The spread and contract size are always there; commission, leverage, margin_per_lot,
        quote_to_account and ask only when given, so that the portfolio's (or Backtest's) apply.
        `point` is there unless the spread is per bar in price units: with a point `Backtest`
        reads the spread in points, and sizing's pip is ten points (without one it is 0.0001,
        wrong for a JPY pair). A spread in price units then goes in points, as the number whose
        product with the point is the spread to the bit; a spread per bar in price units
        cannot be put so, and goes without a point unless one was given (then ValueError).
        """
        options: dict[str, Any] = {"spread": self.spread, "contract_size": self.contract_size}
        # The point goes wherever the spread can be put in points: sizing reads its pip (ten
        # points) from it, which a JPY pair needs; only a spread per bar in price units cannot.
        if "point" in self._given or self.swap_unit == "points" \
                or isinstance(self.spread, numbers.Real):
            options["point"] = self.point
            if not self.spread_in_points:
                options["spread"] = self._spread_points()
        for name in ("commission", "margin_per_lot", "leverage", "quote_to_account", "ask"):
            value = getattr(self, name)
            if value is not None:
                options[name] = value
        options.update(swap_long=self.swap_long, swap_short=self.swap_short,
                       swap_unit=self.swap_unit)
        return options

    def _spread_points(self) -> float:
        # Backtest multiplies spread * point: find the number of points that gives back the
        # price spread exactly, so that giving a point changes nothing else.
        spread, point = self.spread, self.point
        where = f"Instrument({self.symbol!r})"
        if not isinstance(spread, float):
            raise ValueError(f"{where}: with a point, Backtest reads the spread in points; give "
                             f"this spread per bar in points, with point=...")
        near = spread / point
        for points in (near, float(round(near)), math.nextafter(near, math.inf),
                       math.nextafter(near, -math.inf)):
            if points * point == spread:
                return points
        raise ValueError(f"{where}: the spread {spread!r} is no whole number of points of "
                         f"{point!r}; give it in points, with point=...")

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"Instrument is immutable: use .replace({name}=...)")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Instrument is immutable")

    def __reduce__(self) -> tuple[Any, ...]:
        return _rebuild, (self.symbol, self._given)

    def __repr__(self) -> str:
        shown = "".join(f", {name}={_shown(value)}" for name, value in self._given.items())
        return f"Instrument({self.symbol!r}{shown})"


def _rebuild(symbol: str, given: dict[str, Any]) -> Instrument:
    return Instrument(symbol, **given)


def _shown(value: Any) -> str:
    if isinstance(value, (str, numbers.Real)):
        return repr(value)
    try:
        return f"<{len(value)} values>"
    except TypeError:
        return f"<{type(value).__name__}>"


def _code(value: Any, where: str) -> str:
    if not isinstance(value, str) or _CODE.fullmatch(value.strip().upper()) is None:
        raise ValueError(f"{where} must be a currency code (letters and digits, as 'USD'), "
                         f"not {value!r}")
    return value.strip().upper()


def _number(value: Any, where: str, name: str, low: float = 0.0, zero: bool = False) -> float:
    """A finite number above `low` (at `low` too with `zero`)."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        number = float(value)
        if math.isfinite(number) and (number > low or (zero and number == low)):
            return number
    wanted = ("a finite number" if low == -math.inf else
              "a number at least 0" if zero else "a positive number")
    raise ValueError(f"{where}: {name} must be {wanted}, not {value!r}")


def _per_bar(value: Any, where: str, name: str, low: float | None) -> Any:
    """A number (at least `low`; positive when None), a column name or values per bar."""
    if isinstance(value, bool):
        raise TypeError(f"{where}: {name} takes a number, a column name or values per bar, "
                        f"not {value!r}")
    if isinstance(value, numbers.Real):
        number = float(value)
        if math.isfinite(number) and (number >= low if low is not None else number > 0):
            return number
        wanted = "positive" if low is None else f"at least {low}"
        raise ValueError(f"{where}: {name} must be finite and {wanted}, not {value!r}")
    return value


def instrument(key: Instrument | str) -> Instrument:
    """A portfolio's key as an `Instrument`: itself, or one made from a symbol."""
    if isinstance(key, Instrument):
        return key
    if isinstance(key, str):
        return Instrument(key)
    raise TypeError(f"a portfolio's instruments are symbols or Instrument objects, not "
                    f"{type(key).__name__} {key!r}")


def _account_code(account_currency: Any) -> str:
    return _code(account_currency, "account_currency")


def conversion_legs(instruments: Sequence[Instrument],
                    account_currency: str) -> list[Legs | None]:
    """How each instrument's quote currency becomes the account currency through the pairs in
    `instruments`: () when it is the account's, ((j, inverted),) through one pair, two legs for a
    cross (the module's docstring gives the rates), None when the instrument has its own
    `quote_to_account`. ValueError, naming what to add, when no pair converts."""
    account = _account_code(account_currency)
    found: list[Legs | None] = []
    for i, item in enumerate(instruments):
        if item.quote_to_account is not None:
            found.append(None)
        elif item.quote == account:
            found.append(())
        else:
            legs = _path(instruments, i, item.quote, account)
            if legs is None:
                raise ValueError(_no_path(item, account))
            found.append(legs)
    return found


def _order(count: int, first: int | None = None) -> list[int]:
    """The pairs' indices in the portfolio's order, `first` moved ahead."""
    if first is None:
        return list(range(count))
    return [first, *(j for j in range(count) if j != first)]


def _one_leg(instruments: Sequence[Instrument], source: str, target: str,
             first: int | None = None) -> Leg | None:
    """The pair that turns `source` into `target`: (j, False) for a pair source+target, (j, True)
    for target+source; `first` is looked at before the others."""
    for j in _order(len(instruments), first):
        pair = instruments[j]
        if pair.base == source and pair.quote == target:
            return j, False
        if pair.base == target and pair.quote == source:
            return j, True
    return None


def _path(instruments: Sequence[Instrument], i: int, quote: str, account: str) -> Legs | None:
    leg = _one_leg(instruments, quote, account, first=i)
    if leg is not None:
        return (leg,)
    tried: set[str] = set()
    for j in _order(len(instruments), i):
        pair = instruments[j]
        if quote not in (pair.base, pair.quote):
            continue
        via = pair.quote if pair.base == quote else pair.base
        if via in tried:
            continue
        tried.add(via)
        second = _one_leg(instruments, via, account)
        if second is not None:
            return (j, pair.base != quote), second
    return None


def _no_path(item: Instrument, account: str) -> str:
    quote = item.quote
    hint = ("" if quote in _KNOWN else
            f" (if {item.symbol} is no currency pair, give its currencies: "
            f"Instrument({item.symbol!r}, base=..., quote=...))")
    return (f"{item.symbol}: no pair in the portfolio converts {quote} into {account}; add "
            f"{account}{quote} (or {quote}{account}, or a pair of {quote} and another currency "
            f"with that currency's {account} pair), or give "
            f"Instrument({item.symbol!r}, quote_to_account=...){hint}")


def conversion_rate(legs: Legs, closes: Sequence[float]) -> float:
    """The rate that `legs` give with the pairs' `closes` (by instrument), in the operand order of
    the module's docstring: what the portfolio computes at each step."""
    if not legs:
        return 1.0
    if len(legs) == 1:
        (j, inverted), = legs
        return 1.0 / closes[j] if inverted else closes[j]
    (j1, inverted1), (j2, inverted2) = legs
    c1, c2 = closes[j1], closes[j2]
    if inverted1 and inverted2:
        return 1.0 / (c1 * c2)
    if inverted1:
        return c2 / c1
    if inverted2:
        return c1 / c2
    return c1 * c2


def check_first_bars(instruments: Sequence[Instrument], legs: Sequence[Legs | None],
                     first_times: Sequence[int | None], format_time: Callable[[int], str]) -> None:
    """ValueError when a pair that converts an instrument starts after it (or has no bars while
    it has some): there would be no rate for its first steps. `first_times` are the instruments'
    first timestamps (None: no bars), shown through `format_time`."""
    faults = []
    for i, path in enumerate(legs):
        start = first_times[i]
        if not path or start is None:
            continue
        name = instruments[i].symbol
        for j in dict.fromkeys(j for j, _ in path):
            other, begins = instruments[j].symbol, first_times[j]
            if begins is None:
                faults.append(f"{name}'s P/L converts through {other}, which has no bars: no "
                              f"rate exists")
            elif begins > start:
                faults.append(f"{name}'s P/L converts through {other}, whose first bar "
                              f"({format_time(begins)}) comes after {name}'s first "
                              f"({format_time(start)}): no rate exists yet")
    if faults:
        raise ValueError("; ".join(faults))
