"""The FX account's options of a `Backtest`, resolved into what the native run reads: a spread
and a conversion rate per bar, and the rollovers each bar crosses.

Swaps are charged at the daily rollover, 17:00 New York by default, Monday to Friday: that is
when the value date moves on. A rollover is charged at the first bar whose time is at or after
it, to the positions open when that bar starts; the rule is exact whenever rollovers fall on bar
boundaries (intraday bars, daily bars in a server time whose day starts at the rollover). One
weekday's rollover counts three nights (Wednesday by default: its value date spans the weekend).
"""
from __future__ import annotations

import array
import bisect
import datetime as dt
import numbers
import re
from collections.abc import Mapping, Sequence
from typing import Any

from .bars import Bars, _buffer, zone

__all__ = ["WEEKDAYS", "rollover_rule", "rollover_nights", "per_bar", "fixed_account", "window"]

WEEKDAYS = ("monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday")
_CLOCK = re.compile(r"(\d{1,2}):(\d{2})")


def weekday(day: str | int) -> int:
    """0 for Monday ... 6 for Sunday, from a name (or its first three letters) or a number."""
    if isinstance(day, int) and not isinstance(day, bool) and 0 <= day <= 6:
        return day
    if isinstance(day, str):
        for i, name in enumerate(WEEKDAYS):
            if day.strip().lower() in (name, name[:3]):
                return i
    raise ValueError(f"triple_swap must be a weekday ('wednesday', 'wed' or 0-6 from Monday), "
                     f"not {day!r}")


Rollover = tuple[int, int, dt.tzinfo, int]


def rollover_rule(at: str = "17:00", tz: str | dt.tzinfo = "America/New_York",
                  triple: str | int = "wednesday") -> Rollover:
    """Hour, minute, zone and triple weekday of the rollover, checked."""
    clock = _CLOCK.fullmatch(at.strip()) if isinstance(at, str) else None
    if clock is None or int(clock[1]) > 23 or int(clock[2]) > 59:
        raise ValueError(f"rollover must be a time of day as 'HH:MM', not {at!r}")
    try:
        where = zone(tz)
    except (KeyError, ValueError) as exc:  # zoneinfo's unknown zone is a KeyError
        raise ValueError(f"rollover_tz: unknown time zone {tz!r}") from exc
    return int(clock[1]), int(clock[2]), where, weekday(triple)


def rollover_nights(timestamps: Sequence[int], per_second: int,
                    rule: Rollover | None = None) -> array.array[float] | None:
    """Nights of swap charged at each bar: for every weekday rollover R (by `rule`, 17:00 New
    York with Wednesday triple by default), the first bar at or after R gets 1, or 3 on the
    triple day; bars must be in time order. None when no rollover falls after the first bar."""
    hour, minute, where, triple_day = rule if rule is not None else rollover_rule()
    n = len(timestamps)
    if n < 2:
        return None
    first, last = timestamps[0], timestamps[-1]
    day = dt.datetime.fromtimestamp(first // per_second, where).date()
    end = dt.datetime.fromtimestamp(last // per_second, where).date()
    nights = array.array("d", bytes(8 * n))
    charged = False
    while day <= end:
        if day.weekday() < 5:
            local = dt.datetime(day.year, day.month, day.day, hour, minute, tzinfo=where)
            instant = int(local.timestamp()) * per_second
            i = bisect.bisect_left(timestamps, instant)
            if 0 < i < n:
                nights[i] += 3.0 if day.weekday() == triple_day else 1.0
                charged = True
        day += dt.timedelta(days=1)
    return nights if charged else None


def per_bar(value: Any, name: str, data: Any, bar_column: Any, n: int) -> Any:
    """A per-bar option as a buffer of n numbers: a column of the bars named by a string, or a
    sequence or array of its own."""
    if isinstance(value, str):
        column = _named(data, value)
        if column is None and value in ("open", "high", "low", "close", "volume"):
            column = bar_column(value)
        if column is None:
            raise ValueError(f"{name}={value!r}: the data has no column {value!r}"
                             f"{_found(data)}")
    else:
        column = value
    values = _buffer(column, "d", name)
    if len(memoryview(values)) != n:
        raise ValueError(f"{name} has {len(memoryview(values))} values for {n} bars")
    return values


def fixed_account(data: Sequence[Any], spread: Any, quote_to_account: Any) -> tuple[Any, Any]:
    """A spread and a rate given per bar (a column name, a sequence) as arrays over `data`, so
    that they travel and slice with the bars; numbers and "1/close" stay as they are."""
    def fixed(value: Any, name: str) -> Any:
        if isinstance(value, numbers.Real) or (name == "quote_to_account"
                                               and isinstance(value, str) and value == "1/close"):
            return value
        column = per_bar(value, name, data, lambda key: [getattr(bar, key) for bar in data],
                         len(data))
        return column if isinstance(column, array.array) else array.array("d", column)
    return fixed(spread, "spread"), fixed(quote_to_account, "quote_to_account")


def window(value: Any, start: int, stop: int) -> Any:
    """A value of `fixed_account` for the bars start..stop."""
    return value[start:stop] if isinstance(value, array.array) else value


def _named(data: Any, key: str) -> Any:
    if isinstance(data, Bars):
        return data.extras.get(key)
    if hasattr(data, "columns") and key in data.columns:
        return data[key]
    if isinstance(data, Mapping):
        return data.get(key)
    if not isinstance(data, Sequence):
        return getattr(data, key, None)
    return None


def _found(data: Any) -> str:
    if isinstance(data, Bars):
        names = list(data.extras)
    elif hasattr(data, "columns"):
        names = [str(c) for c in data.columns]
    elif isinstance(data, Mapping):
        names = [str(k) for k in data]
    else:
        return ""
    return f" (it has {', '.join(names)})" if names else " (it has no other column)"
