"""Bars of a coarser period from finer ones: "15m", "1h", "4h", "1d", "1w".

Each period is labelled by its start and made of the bars whose times fall in it: the open of
the first, the highest high, the lowest low, the close of the last and the sum of the volumes.
Periods without bars are left out, and nothing is taken from a later bar, so a strategy run
on the result sees no more than it could have. The work is native (`_backtest.resample`).
"""
from __future__ import annotations

import datetime as dt
import re
from collections.abc import Sequence
from typing import Any

from . import _backtest
from ._backtest import Bars
from .bars import zone_table

__all__ = ["resample", "period_seconds", "span_seconds"]

_RULE = re.compile(r"\s*(\d*)\s*(s|sec|m|min|t|h|d|w)\s*", re.IGNORECASE)
_UNIT = {"s": 1, "sec": 1, "m": 60, "min": 60, "t": 60, "h": 3600, "d": 86400, "w": 604800}
_DAY = 86400
_MONDAY = 4 * _DAY  # 1970-01-05, the first Monday after the epoch


def span_seconds(text: str) -> int | None:
    """The seconds of a span such as "15m", "1h", "90d" (a count of 1 may be left out), or
    None when `text` is not one."""
    match = _RULE.fullmatch(text) if isinstance(text, str) else None
    if match is None:
        return None
    return int(match.group(1) or 1) * _UNIT[match.group(2).lower()]


def period_seconds(rule: str) -> int:
    """The length of a period such as "1h" or "15min", in seconds. A period must divide a day
    evenly, or be a week: then periods start at the same times every day."""
    seconds = span_seconds(rule)
    if seconds is None:
        raise ValueError(f"unknown period {rule!r}: give one such as '15m', '1h', '4h', '1d', "
                         "'1w'")
    if seconds <= 0 or (seconds != 7 * _DAY and _DAY % seconds):
        raise ValueError(f"period {rule!r} must divide a day evenly (1m to 1d) or be '1w'")
    return seconds


def resample(bars: Sequence[Any], rule: str, *, tz: str | dt.tzinfo | None = None,
             day_start: str = "00:00", fx_day: bool = False) -> Bars:
    """Resamples `bars` (times strictly increasing) into periods of `rule`.

    Days (and the periods within them) start at `day_start` on the clock of `tz` (UTC by
    default); weeks start with Monday's day, which for a `day_start` after noon opens the evening
    before. `fx_day=True` is the currency market's day:
    from 17:00 New York time, so that a week opens on Sunday at 17:00 there. Labels are the
    UTC epoch second of each period's start.
    """
    period = period_seconds(rule)
    if fx_day:
        tz, day_start = "America/New_York", "17:00"
    start = _clock(day_start)
    origin = start + (_MONDAY if period == 7 * _DAY else 0)
    if period == 7 * _DAY and start >= _DAY // 2:
        origin -= _DAY  # Monday's day opens the evening before: Sunday 17:00 for fx_day
    if period < _DAY:
        origin %= period
    source = bars if isinstance(bars, Bars) else Bars(bars)
    starts: tuple[int, ...] = ()
    offsets: tuple[int, ...] = ()
    if tz is not None and len(source):
        first, last = source.timestamp[0], source.timestamp[len(source) - 1]
        # A period may open up to its length before its first bar: the table reaches back.
        starts, offsets = zone_table(tz, min(first, last) - period, max(first, last))
    result = _backtest.resample(source, period, origin, starts, offsets)
    if isinstance(result, tuple):
        _, row, fault = result
        if fault == "range":
            raise ValueError(f"bar {row} ({source[row].timestamp}): its {rule!r} period cannot "
                             "be told in 64-bit epoch seconds")
        raise ValueError(f"bars must be in time order to resample: bar {row} "
                         f"({source[row].timestamp}) is not after bar {row - 1} "
                         f"({source[row - 1].timestamp})")
    return result


def _clock(text: str) -> int:
    match = re.fullmatch(r"(\d{1,2}):(\d{2})", text.strip()) if isinstance(text, str) else None
    if match is None or int(match.group(1)) > 23 or int(match.group(2)) > 59:
        raise ValueError(f"day_start must be a time of day such as '17:00', not {text!r}")
    return (int(match.group(1)) * 60 + int(match.group(2))) * 60
