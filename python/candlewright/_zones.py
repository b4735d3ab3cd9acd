"""A zone's offsets from UTC over a span, as the table the native code reads (UTC instants
where each offset starts, the offsets in seconds east).

For a zoneinfo zone the table comes from the zone's own data, as zoneinfo reads it: the
transitions of its TZif file, then the yearly rule of the file's footer. Every other tzinfo
is sampled a day at a time. Either way the offsets are those the tzinfo gives."""
from __future__ import annotations

import bisect
import calendar
import datetime as dt
import functools
import importlib
import importlib.resources
import os
import re
import struct
from collections.abc import Iterable
from typing import Any, TypeAlias

Table: TypeAlias = "tuple[tuple[int, ...], tuple[int, ...]]"

_DAY = 86_400
_EPOCH = dt.date(1970, 1, 1).toordinal()
_CYCLE_YEARS = 400
_CYCLE = 146_097 * _DAY  # 400 Gregorian years: whole weeks, so a yearly rule repeats exactly
_CHECKED = 400  # transitions compared with the tzinfo itself, from each end of the table


def table(where: dt.tzinfo, first: int, last: int) -> Table:
    """The offsets in force from `first` to `last` (UTC epoch seconds, first <= last, both in
    datetime's range)."""
    zone = _zone_of(where)
    if zone is not None:
        found = zone.table(first, last)
        if _agrees(found, where, last):
            return found
    return _stepped(where, first, last)


def _offset(where: dt.tzinfo, t: int) -> int:
    """The offset the tzinfo applies to the UTC instant `t`: its wall clock minus `t`."""
    wall = dt.datetime.fromtimestamp(t, where)
    return ((wall.toordinal() - _EPOCH) * _DAY + wall.hour * 3600 + wall.minute * 60
            + wall.second - t)


def _agrees(found: Table, where: dt.tzinfo, last: int) -> bool:
    """Whether the tzinfo gives the table's offsets on both sides of its first and last changes
    (a zone's file read from another place than the one the tzinfo was, or read differently,
    shows there)."""
    starts, offsets = found
    n = len(starts)
    if _offset(where, starts[0]) != offsets[0] or _offset(where, last) != offsets[-1]:
        return False
    picked = range(1, n) if n <= 2 * _CHECKED else [*range(1, _CHECKED), *range(n - _CHECKED, n)]
    return all(_offset(where, starts[k] - 1) == offsets[k - 1]
               and _offset(where, starts[k]) == offsets[k] for k in picked)


def _stepped(where: dt.tzinfo, first: int, last: int) -> Table:
    """Any tzinfo: its offset each day, and each change found to the second between two days
    that differ. (A change and its reversal within one day would go unseen; zones do not.)"""
    t = first
    starts, offsets = [t], [_offset(where, t)]
    while t < last:
        step = min(t + _DAY, last)
        if _offset(where, step) != offsets[-1]:
            low, high = t, step  # the change falls in (low, high]
            while high - low > 1:
                mid = (low + high) // 2
                low, high = (mid, high) if _offset(where, mid) == offsets[-1] else (low, mid)
            starts.append(high)
            offsets.append(_offset(where, high))
        t = step
    return tuple(starts), tuple(offsets)


# --- a zone's own data ---------------------------------------------------------------------

def _zone_of(where: dt.tzinfo) -> _Zone | None:
    zoneinfo: Any = importlib.import_module("zoneinfo")
    key = getattr(where, "key", None)
    if not isinstance(where, zoneinfo.ZoneInfo) or not isinstance(key, str):
        return None
    return _load(key)


@functools.lru_cache(maxsize=64)
def _load(key: str) -> _Zone | None:
    """The zone as zoneinfo finds it: a file under TZPATH, else the tzdata package."""
    zoneinfo: Any = importlib.import_module("zoneinfo")
    try:
        for folder in zoneinfo.TZPATH:
            path = os.path.join(folder, key)
            if os.path.isfile(path):
                with open(path, "rb") as stream:
                    return _parse(stream.read())
        package, _, name = ("tzdata.zoneinfo/" + key).rpartition("/")
        data = importlib.resources.files(package.replace("/", ".")).joinpath(name).read_bytes()
        return _parse(data)
    except (OSError, ImportError, ValueError, struct.error, IndexError):
        return None


def _parse(data: bytes) -> _Zone:
    """A TZif file (RFC 8536): its transitions, offsets and footer rule."""
    def header(at: int) -> tuple[int, tuple[int, ...]]:
        if data[at:at + 4] != b"TZif":
            raise ValueError("not a TZif file")
        return data[at + 4], struct.unpack_from(">6l", data, at + 20)

    version, counts = header(0)
    at = 44
    size = 4
    if version >= ord("2"):  # skip the 32-bit block for the 64-bit one
        isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt = counts
        at += timecnt * 5 + typecnt * 6 + charcnt + leapcnt * 8 + isstdcnt + isutcnt
        version, counts = header(at)
        at += 44
        size = 8
    isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt = counts
    times = struct.unpack_from(f">{timecnt}{'q' if size == 8 else 'l'}", data, at)
    at += timecnt * size
    kinds = data[at:at + timecnt]
    at += timecnt
    types = [struct.unpack_from(">lbB", data, at + 6 * i)[:2] for i in range(typecnt)]
    if not types or any(k >= typecnt for k in kinds):
        raise ValueError("a transition to a type the file lacks")
    at += typecnt * 6 + charcnt + leapcnt * (size + 4) + isstdcnt + isutcnt
    offsets = [types[k][0] for k in kinds]
    # Before the first transition zoneinfo uses the first standard-time type.
    before = next((off for off, dst in types if not dst), offsets[0] if offsets else types[0][0])
    after: int | _Rule = offsets[-1] if offsets else types[-1][0]
    if size == 8:
        footer = data[at:].split(b"\n")
        if len(footer) >= 2 and footer[1]:
            after = _rule(footer[1].decode("ascii"))
    return _Zone(list(times), offsets, before, after)


class _Zone:
    """Offsets as zoneinfo's fromutc gives them: `before` until the first transition, each
    transition's offset until the next, then the footer's rule (or fixed offset)."""

    def __init__(self, times: list[int], offsets: list[int], before: int,
                 after: int | _Rule) -> None:
        self.times, self.offsets, self.before, self.after = times, offsets, before, after

    def offset(self, t: int) -> int:
        times = self.times
        if times and t < times[0]:
            return self.before
        if not times or t > times[-1]:
            return self.after.offset(t) if isinstance(self.after, _Rule) else self.after
        return self.offsets[bisect.bisect_right(times, t) - 1]

    def table(self, first: int, last: int) -> Table:
        points: list[tuple[int, int]] = [(first, self.offset(first))]
        lo, hi = bisect.bisect_right(self.times, first), bisect.bisect_right(self.times, last)
        points += zip(self.times[lo:hi], self.offsets[lo:hi])
        rule = self.after
        if isinstance(rule, _Rule):
            begin = max(first, self.times[-1] + 1 if self.times else first)
            if first < begin <= last:
                points.append((begin, rule.offset(begin)))
            points += ((p, off) for p, off in rule.points(_year(begin), _year(last))
                       if begin < p <= last)
        starts: list[int] = []
        offsets: list[int] = []
        for start, off in points:
            if not offsets or off != offsets[-1]:
                starts.append(start)
                offsets.append(off)
        return tuple(starts), tuple(offsets)


# --- the footer's rule, read as zoneinfo reads it ---------------------------------------------

_NAME, _SHIFT = r"[a-zA-Z]+|<[a-zA-Z0-9+-]+>", r"[+-]?\d{1,3}(?::\d{2}(?::\d{2})?)?"
_TZ = re.compile(rf"(?P<std>{_NAME})(?P<stdoff>{_SHIFT})(?:(?P<dst>{_NAME})(?P<dstoff>{_SHIFT})?)?",
                 re.ASCII)
_CLOCK = re.compile(r"([+-])?(\d{1,3})(?::(\d{2})(?::(\d{2}))?)?", re.ASCII)
_DAYS_BEFORE_MONTH = (-1, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334)


def _seconds(text: str) -> int:
    match = _CLOCK.fullmatch(text)
    if match is None:
        raise ValueError(f"not a time: {text!r}")
    sign, h, m, s = match.groups()
    total = int(h) * 3600 + int(m or 0) * 60 + int(s or 0)
    return -total if sign == "-" else total


def _rule(text: str) -> int | _Rule:
    head, _, tail = text.partition(",")
    match = _TZ.fullmatch(head)
    if match is None:
        raise ValueError(f"not a TZ string: {text!r}")
    std = -_seconds(match["stdoff"])  # POSIX counts west
    if match["dst"] is None:
        if tail:
            raise ValueError(f"a rule without daylight time: {text!r}")
        return std
    dst = -_seconds(match["dstoff"]) if match["dstoff"] else std + 3600
    start, _, end = tail.partition(",")
    if not end:
        raise ValueError(f"no transition rule: {text!r}")
    return _Rule(std, dst, _day_rule(start), _day_rule(end))


def _day_rule(text: str) -> tuple[str, int, int, int, int]:
    """(kind, a, b, c, seconds after midnight): ("M", month, week, weekday), ("J", day) or
    ("n", day)."""
    date, _, clock = text.partition("/")
    seconds = _seconds(clock) if clock else 7200
    found = re.fullmatch(r"M(\d{1,2})\.(\d)\.(\d)", date, re.ASCII)
    if found:
        m, w, d = map(int, found.groups())
        if not (1 <= m <= 12 and 1 <= w <= 5 and 0 <= d <= 6):
            raise ValueError(f"not a rule day: {text!r}")
        return "M", m, w, d, seconds
    julian = date.startswith("J")
    if not re.fullmatch(r"\d{1,3}", date[julian:], re.ASCII) or \
            not int(julian) <= int(date[julian:]) <= 365:
        raise ValueError(f"not a rule day: {text!r}")
    return ("J" if julian else "n"), int(date[julian:]), 0, 0, seconds


def _days_before(year: int) -> int:
    """zoneinfo's days from 1970-01-01 to the day before the year's first."""
    y = year - 1
    return y * 365 + y // 4 - y // 100 + y // 400 - _EPOCH


def _on_day(rule: tuple[str, int, int, int, int], year: int) -> int:
    """The rule's wall-clock moment in `year`, as seconds counted like epoch seconds."""
    kind, a, b, c, seconds = rule
    leap = calendar.isleap(year)
    if kind == "M":
        first_day, days = calendar.monthrange(year, a)
        day = (c - (first_day + 1)) % 7 + 1 + (b - 1) * 7
        if day > days:
            day -= 7
        days_in = _days_before(year) + _DAYS_BEFORE_MONTH[a] + (a > 2 and leap) + day
    else:
        days_in = _days_before(year) + a + (kind == "J" and a >= 60 and leap)
    return days_in * _DAY + seconds


def _year(t: int) -> int:
    return dt.date.fromordinal(t // _DAY + _EPOCH).year


class _Rule:
    """Daylight time each year from `start` to `end` (wall-clock rules)."""

    def __init__(self, std: int, dst: int, start: tuple[str, int, int, int, int],
                 end: tuple[str, int, int, int, int]) -> None:
        self.std, self.dst, self.start, self.end = std, dst, start, end

    def _bounds(self, year: int) -> tuple[int, int]:
        return _on_day(self.start, year) - self.std, _on_day(self.end, year) - self.dst

    def _at(self, t: int, bounds: tuple[int, int]) -> int:
        # zoneinfo reckons an instant by the rule of its UTC year.
        start, end = bounds
        daylight = start <= t < end if start < end else not end <= t < start
        return self.dst if daylight else self.std

    def offset(self, t: int) -> int:
        return self._at(t, self._bounds(_year(t)))

    def _year_points(self, year: int) -> list[tuple[int, int]]:
        opens = (_days_before(year) + 1) * _DAY
        closes = (_days_before(year + 1) + 1) * _DAY
        bounds = self._bounds(year)
        changes = sorted({opens, *(b for b in bounds if opens < b < closes)})
        return [(p, self._at(p, bounds)) for p in changes]

    def points(self, first: int, last: int) -> Iterable[tuple[int, int]]:
        """Where the offset may change, from the first year to the last, with the offset
        from there: the rule's years repeat every 400, shifted by a whole cycle."""
        cycle = [self._year_points(y)
                 for y in range(first, min(last, first + _CYCLE_YEARS - 1) + 1)]
        for y in range(first, last + 1):
            turns, k = divmod(y - first, _CYCLE_YEARS)
            shift = turns * _CYCLE
            for p, off in cycle[k]:
                yield p + shift, off
