"""Loading ticks (a bid and an ask per quote) from the files tick data comes in, and making bars
of the bid with the ask's own bars beside them, from ticks or from a bid and an ask bar file.

The layout is found from the first rows, as `read_csv` finds bar layouts; the rows are read
natively in pieces into the columns (`_backtest.parse_ticks`), so the text is never held whole.
"""
from __future__ import annotations

import contextlib
import copyreg
import datetime as dt
import importlib
import os
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from . import _backtest
from ._backtest import Bars, Ticks
from .bars import Source, _read_bytes, read_csv, zone
from .formats import _is_number, column_named, sniff_delimiter
from .resample import period_seconds

__all__ = ["Ticks", "read_ticks", "bid_ask_bars", "tick_format"]

UNITS = {"s": 1, "ms": 1_000, "us": 1_000_000, "ns": 1_000_000_000}
_DAY = 86_400
_MONDAY = 4 * _DAY  # 1970-01-05, the first Monday after the epoch
_BLOCK = 4 << 20  # bytes read from a plain file at a time

# Time shapes of tick files, each with the native reader's clock for it.
_CLOCKS = (
    (re.compile(r"[+-]?\d{1,19}"), "epoch"),
    (re.compile(r"\d{8} \d{6}\d*"), "compact"),
    (re.compile(r"\d{2}\.\d{2}\.\d{4} \d{2}:\d{2}:\d{2}(\.\d+)?( GMT[+-]\d{4})?"), "dotted"),
    (re.compile(r"\d{8} \d{2}:\d{2}:\d{2}(\.\d+)?"), "packed"),
    (re.compile(r"\d{4}-\d{2}-\d{2}[Tt ]\d{2}:\d{2}(:\d{2}([.,]\d+)?)?"
                r"([Zz]|[+-]\d{2}(:?\d{2})?)?"), "iso"),
)
_PAIR = re.compile(r"[A-Za-z]{3}/?[A-Za-z]{3}")
_TIME_NAMES = ("timestamp", "time", "date", "datetime", "gmt time", "local time", "time (utc)",
               "utc")
_BID_VOLUMES = ("bid_volume", "bidvolume", "bid volume", "bid_size", "bidsize")
_ASK_VOLUMES = ("ask_volume", "askvolume", "ask volume", "ask_size", "asksize")


@dataclass(frozen=True)
class TickLayout:
    format: str               # histdata, truefx, dukascopy, csv, headerless
    delimiter: str
    skip_rows: int
    time: int
    clock: str
    bid: int
    ask: int
    bid_volume: int | None = None
    ask_volume: int | None = None
    zone: str | None = None   # the zone a layout's times are documented to be in
    names: tuple[str, ...] = ()

    def role(self, field: int) -> str:
        if self.names and field < len(self.names):
            return self.names[field]
        roles = {self.time: "time", self.bid: "bid", self.ask: "ask"}
        for volume, name in ((self.bid_volume, "bid_volume"), (self.ask_volume, "ask_volume")):
            if volume is not None:
                roles.setdefault(volume, "volume" if self.bid_volume == self.ask_volume else name)
        return roles.get(field, f"field {field + 1}")


class _NoFit(ValueError):
    pass


def _clock(sample: str) -> str:
    text = sample.strip().strip('"')
    for shape, clock in _CLOCKS:
        if shape.fullmatch(text):
            return clock
    raise _NoFit(f"{text!r} is not a tick time this reader knows")


def _split(lines: Sequence[str]) -> tuple[str, list[list[str]]]:
    delimiter = sniff_delimiter(lines)
    return delimiter, [line.split(delimiter) for line in lines]


def _detect(lines: Sequence[str]) -> TickLayout:
    """The tick layout of a file whose first non-blank lines are `lines`, or _NoFit."""
    lines = [line.rstrip("\r\n") for line in lines if line.strip()]
    if not lines:
        raise _NoFit("empty file")
    delimiter, rows = _split(lines)
    first = rows[0]
    if len(first) < 3:
        raise _NoFit(f"its rows have {len(first)} field{'s' if len(first) != 1 else ''}, "
                     "too few for a time, a bid and an ask")
    if _PAIR.fullmatch(first[0].strip()) and len(first) in (4, 5, 6) \
            and _is_number(first[2]) and _is_number(first[3]):
        return TickLayout("truefx", delimiter, 0, 1, _clock(first[1]), 2, 3)
    numbers = sum(_is_number(field) for field in first[1:])
    if not _is_number(first[0]) or _CLOCKS[0][0].fullmatch(first[0].strip()):
        try:
            clock: str | None = _clock(first[0])
        except _NoFit:
            clock = None
        if clock is not None and numbers == len(first) - 1:
            if len(first) > 4:
                raise _NoFit(f"its rows have {len(first)} fields: a time and "
                             f"{len(first) - 1} numbers are bars, not ticks")
            histdata = clock == "compact"
            volume = 3 if len(first) == 4 and not histdata else None
            # HistData's fourth field is always 0: no volume is kept from it.
            return TickLayout("histdata" if histdata else "headerless", delimiter, 0, 0,
                              clock, 1, 2, volume, volume,
                              zone="UTC-05:00" if histdata else None)
    return _named(rows, delimiter)


def _named(rows: list[list[str]], delimiter: str) -> TickLayout:
    names = [n.strip().strip('"').lstrip("\ufeff").strip().strip("<>").lower() for n in rows[0]]
    if sum(_is_number(n) for n in names) >= 2:
        raise _NoFit("its first row is neither a header nor a tick row")

    def find(*wanted: str) -> int | None:
        return column_named(names, *wanted)

    time = find(*_TIME_NAMES)
    bid, ask = find("bid"), find("ask")
    missing = [name for name, i in (("time", time), ("bid", bid), ("ask", ask)) if i is None]
    if missing:
        raise _NoFit(f"its header has no {'/'.join(missing)} column")
    assert time is not None and bid is not None and ask is not None
    if len(rows) < 2:
        raise _NoFit("no tick row after the header")
    clock = _clock(rows[1][time]) if time < len(rows[1]) else "iso"
    volume = find("volume", "vol")
    bid_volume = find(*_BID_VOLUMES)
    ask_volume = find(*_ASK_VOLUMES)
    if bid_volume is None and ask_volume is None:
        bid_volume = ask_volume = volume
    fmt = "dukascopy" if names[time] in ("gmt time", "local time") or ask < bid else "csv"
    return TickLayout(fmt, delimiter, 1, time, clock, bid, ask, bid_volume, ask_volume,
                      names=tuple(n for n in names))


def tick_format(lines: Sequence[str]) -> str | None:
    """The tick layout the first lines of a file are in (histdata, truefx, dukascopy, csv,
    headerless), or None: for read_csv's refusal to name read_ticks."""
    try:
        return _detect(lines).format
    except ValueError:
        return None


def _epoch_unit(samples: Sequence[str]) -> int:
    """Units a second of integer epoch times, from their size: seconds up to 10^11 (the year
    5138), then milliseconds, microseconds and nanoseconds."""
    texts = (s.strip().strip('"') for s in samples)
    value = max((abs(int(t)) for t in texts if _CLOCKS[0][0].fullmatch(t)), default=0)
    for limit, unit in ((10**11, 1), (10**14, 1_000), (10**17, 1_000_000)):
        if value < limit:
            return unit
    return 1_000_000_000


def _shift(tz: Any, layout: TickLayout) -> int:
    """Seconds added to the file's wall-clock times to make them UTC: a fixed offset only."""
    if tz is None:
        tz = layout.zone
    if tz is None or layout.clock == "epoch":
        return 0
    offset = zone(tz).utcoffset(None)
    if offset is None:
        raise ValueError(f"tz={tz!r} shifts with the seasons: ticks are read with a fixed "
                         "offset only, such as 'UTC' or '-05:00'")
    return -int(offset.total_seconds())


def read_ticks(source: Source, *, time_unit: str = "ns", tz: str | dt.tzinfo | None = None
               ) -> Ticks:
    """Reads ticks (a time, a bid and an ask per row, maybe volumes) from a delimited text file.

    `source` is a path or an open binary file, compressed (gzip, bz2, xz, a zip of one file) or
    not. The layout is found from the first rows:

    - HistData: no header, `20170102 000000600,1.05147,1.05159,0` (time with milliseconds, bid,
      ask, a volume that is always 0 and is not kept). Its times are EST all year (UTC-05:00),
      as HistData documents, and read so unless `tz` is given, as `read_csv` reads HistData bars;
    - Dukascopy: a header `Gmt time,Ask,Bid,AskVolume,BidVolume`, times `02.01.2017 00:00:00.600`
      (the ask comes before the bid);
    - TrueFX: no header, `EUR/USD,20170102 00:00:00.600,1.05147,1.05159`;
    - a header naming time (or timestamp, date, datetime), bid, ask and maybe volume or
      bid_volume/ask_volume, times in ISO 8601 or an integer epoch (its unit told by its size);
    - no header: a time, a bid, an ask and maybe a volume.

    Times become int64 in `time_unit` ("s", "ms", "us", "ns") since the epoch, UTC; a time with
    a finer fraction than the unit is refused. `tz` is the fixed offset the file's times are in
    (UTC unless the layout documents one). Every tick is checked: bid and ask finite and
    positive, the ask at or above the bid, times ascending (equal ones allowed); a bad row
    raises ValueError naming the file, the line and the column.
    """
    if time_unit not in UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(map(repr, UNITS))}, "
                         f"not {time_unit!r}")
    with contextlib.ExitStack() as stack:
        text, where = _read_bytes(source, stack)
        head, ended = text.head()
        lines = head.decode("utf-8", errors="replace").split("\n")
        if not ended:
            lines = lines[:-1]
        lines = [line for line in lines if line.strip()][:50]
        try:
            layout = _detect(lines)
        except ValueError as exc:
            raise ValueError(f"{where}: {exc}{_bars_hint(lines)}") from None
        shift = _shift(tz, layout)
        rows = [line.rstrip("\r").split(layout.delimiter) for line in lines[layout.skip_rows:]]
        samples = [row[layout.time] for row in rows if layout.time < len(row)]
        epoch_unit = 1
        if layout.clock == "epoch":
            epoch_unit = _epoch_unit(samples)
        pieces, expected = _pieces(text, head, lines)
        if not expected and isinstance(source, (str, os.PathLike)):
            expected = _gzip_expected(source, lines)
        ticks, fault = _backtest.parse_ticks(
            pieces, layout.delimiter, layout.skip_rows, layout.time, layout.clock, epoch_unit,
            shift, layout.bid, layout.ask, layout.bid_volume, layout.ask_volume, UNITS[time_unit],
            expected)
    if ticks is None:
        assert fault is not None
        raise ValueError(_row_error(where, layout, fault, rows, time_unit))
    return ticks


def _pieces(text: Any, head: bytes, lines: Sequence[str]) -> tuple[Iterator[bytes] | list[bytes],
                                                                    int]:
    """The text in pieces, and the ticks to expect from a plain file's size (0: unknown)."""
    if text.whole is not None:
        return [text.whole], 0
    if text.file is None:
        return text.pieces(), 0
    file, start = text.file, text.start
    size = os.fstat(file.fileno()).st_size - start
    expected = int(size / _average_row(lines) * 1.05) + 16

    def blocks() -> Iterator[bytes]:
        file.seek(start)
        while True:
            block = file.read(_BLOCK)
            if not block:
                return
            yield block
    return blocks(), expected


def _average_row(lines: Sequence[str]) -> float:
    return max(8.0, sum(len(line) + 1 for line in lines[1:]) / max(1, len(lines) - 1))


def _gzip_expected(path: str | os.PathLike[str], lines: Sequence[str]) -> int:
    """The ticks to expect in a gzip file, from the size its trailer states: that of the last
    member, modulo 2^32, so never above the text's (a larger file's columns grow as read)."""
    with open(path, "rb") as raw:
        if raw.read(2) != b"\x1f\x8b":
            return 0
        raw.seek(-4, os.SEEK_END)
        size = int.from_bytes(raw.read(4), "little")
    return int(size / _average_row(lines) * 1.05) + 16


def _bars_hint(lines: Sequence[str]) -> str:
    from .formats import detect
    try:
        layout = detect(lines)
    except ValueError:
        return ""
    return f"; it looks like a file of bars ({layout.format} layout): read it with read_csv"


_FAULTS = {
    "number": "expected a number, found {found!r}",
    "time": "expected a time like {example}, found {found!r}",
    "time_range": "{found!r} is not a time in range (a field out of bounds, or beyond 64-bit "
                  "times in {unit!r})",
    "time_fine": "{found!r} is finer than time_unit={unit!r}: pass a finer time_unit",
    "price": "expected a finite positive price, found {found!r}",
    "volume": "expected a volume, found {found!r}",
    "crossed": "the ask {found} is below the bid",
    "order": "{found!r} is before the previous tick's time",
}
_EXAMPLES = {"compact": "'20170102 000000600'", "dotted": "'02.01.2017 00:00:00.600'",
             "packed": "'20170102 00:00:00.600'", "iso": "'2017-01-02 00:00:00.600'",
             "epoch": "an integer epoch"}


def _row_error(where: str, layout: TickLayout, fault: tuple[int, int, str, str],
               rows: Sequence[Sequence[str]], unit: str) -> str:
    line, field, kind, found = fault
    if kind == "long_row":
        return f"{where}, line {line}: a row over 1 MiB long starts here (not a text file of ticks)"
    if kind == "fields":
        return (f"{where}, line {line}, column {layout.role(int(found))!r}: the row has {found} "
                f"field{'s' if found != '1' else ''}, this one is missing (delimiter "
                f"{layout.delimiter!r}, {layout.format} layout)")
    text = _FAULTS[kind].format(found=found, unit=unit, example=_EXAMPLES[layout.clock])
    if kind == "crossed" and _all_crossed(layout, rows):
        text += ": are bid and ask swapped?"
    return f"{where}, line {line}, column {layout.role(field)!r}: {text}"


def _all_crossed(layout: TickLayout, rows: Sequence[Sequence[str]]) -> bool:
    """Whether every one of the first rows has its ask below its bid."""
    pairs = []
    for row in rows:
        try:
            pairs.append((float(row[layout.bid]), float(row[layout.ask])))
        except (IndexError, ValueError):
            continue
    return bool(pairs) and all(ask < bid for bid, ask in pairs)


# --- the class's Python side -----------------------------------------------------------------

def _bars(self: Ticks, rule: str) -> Bars:
    """Bars of `rule` ("1min", "5min", "1h", "4h", "1d", "1w"; as `resample` reads it), in UTC:
    each labelled by its start in epoch seconds, left-closed, a period without ticks giving no
    bar. Open, high, low and close are the bid's; the extras ask_open, ask_high, ask_low and
    ask_close are the ask's, and spread is ask_close - close. The volume is the number of ticks
    (the files' volumes are often absent or zero)."""
    period = period_seconds(rule)
    origin = _MONDAY if period == 7 * _DAY else 0
    made = self._bars(period, origin)
    if isinstance(made, tuple):
        raise ValueError(f"tick {made[0]}: its {rule!r} period cannot be told in 64-bit times")
    return made


def _instant(value: Any, per_second: int) -> int:
    """A time as int64 in the series' unit: an int as it is, a datetime (naive ones UTC), a
    date, an ISO 8601 string, or a numpy or pandas date-time."""
    if isinstance(value, bool):
        raise TypeError("a time cannot be a bool")
    if isinstance(value, int):
        return value
    if isinstance(value, str):
        try:
            value = dt.datetime.fromisoformat(value.strip())
        except ValueError:
            raise ValueError(f"{value!r} is not an ISO 8601 time") from None
    if hasattr(value, "to_datetime64") and not isinstance(value, dt.datetime):
        value = value.to_datetime64()
    if type(value).__name__ == "datetime64":
        numpy: Any = importlib.import_module("numpy")
        return int(numpy.datetime64(value, "ns").astype("int64")) // (10**9 // per_second)
    if isinstance(value, dt.date) and not isinstance(value, dt.datetime):
        value = dt.datetime(value.year, value.month, value.day)
    if not isinstance(value, dt.datetime):
        raise TypeError(f"a time must be an int, a datetime or an ISO 8601 str, not "
                        f"{type(value).__name__}")
    if value.tzinfo is None:
        value = value.replace(tzinfo=dt.timezone.utc)
    delta = value - dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
    micros = (delta.days * _DAY + delta.seconds) * 1_000_000 + delta.microseconds
    return int(micros * per_second // 1_000_000)


def _between(self: Ticks, start: Any, end: Any) -> Ticks:
    """The ticks at times start <= t < end: ints in the series' unit, datetimes (naive ones
    UTC), dates or ISO 8601 strings. A view of the same ticks."""
    per = self.per_second
    return self._span(_instant(start, per), _instant(end, per))


def _time_unit(self: Ticks) -> str:
    return next(name for name, per in UNITS.items() if per == self.per_second)


def _to_pandas(self: Ticks) -> Any:
    """A DataFrame of bid, ask (and volumes) indexed by UTC time. Needs pandas."""
    try:
        pd: Any = importlib.import_module("pandas")
    except ImportError:
        raise ImportError("Ticks.to_pandas needs pandas: pip install 'candlewright[pandas]'"
                          ) from None
    numpy: Any = importlib.import_module("numpy")
    unit = _time_unit(self)
    index = pd.DatetimeIndex(numpy.asarray(self.time).astype(f"datetime64[{unit}]"), name="time")
    data = {"bid": numpy.asarray(self.bid), "ask": numpy.asarray(self.ask)}
    for name in ("bid_volume", "ask_volume"):
        column = getattr(self, name)
        if column is not None:
            data[name] = numpy.asarray(column)
    return pd.DataFrame(data, index=index)


def _reduce(ticks: Ticks) -> tuple[Any, tuple[Any, ...]]:
    """Ticks pickle as their columns: a slice as its own ticks only."""
    return _backtest.ticks_from_columns, (ticks.time, ticks.bid, ticks.ask, ticks.bid_volume,
                                          ticks.ask_volume, ticks.per_second)


setattr(Ticks, "bars", _bars)
setattr(Ticks, "between", _between)
setattr(Ticks, "to_pandas", _to_pandas)
setattr(Ticks, "time_unit", property(_time_unit))
copyreg.pickle(Ticks, _reduce)


# --- a bid and an ask bar file -----------------------------------------------------------------

def bid_ask_bars(bid: Bars | Source, ask: Bars | Source) -> Bars:
    """One pair's bid bars with its ask bars beside them (extras ask_open, ask_high, ask_low,
    ask_close and spread, the ask's close less the bid's), as `Ticks.bars` makes them: from two
    Bars or two files read with `read_csv` (Dukascopy exports a BID and an ASK candle file).
    Both must have the same times, bar for bar: the first row where they differ is refused,
    rather than joined silently, since a gap in one side is a fault of the export."""
    bid_bars = bid if isinstance(bid, Bars) else read_csv(bid)
    ask_bars = ask if isinstance(ask, Bars) else read_csv(ask)
    n, m = len(bid_bars), len(ask_bars)
    bid_times, ask_times = bid_bars.timestamp, ask_bars.timestamp
    row = next((i for i in range(min(n, m)) if bid_times[i] != ask_times[i]), None)
    if row is not None:
        raise ValueError(f"the bid and ask bars differ at row {row}: the bid's time is "
                         f"{_shown(bid_times[row])}, the ask's {_shown(ask_times[row])}")
    if n != m:
        longer = "bid" if n > m else "ask"
        raise ValueError(f"the bid has {n} bars and the ask {m}: the {longer}'s row "
                         f"{min(n, m)} ({_shown((bid_times if n > m else ask_times)[min(n, m)])}) "
                         "has no match")
    import array
    bid_close, ask_close = bid_bars.close, ask_bars.close
    spread = array.array("d", (ask_close[i] - bid_close[i] for i in range(n)))
    extras: dict[str, Any] = dict(bid_bars.extras)
    extras.update({f"ask_{name}": ask_bars.column(name)
                   for name in ("open", "high", "low", "close")})
    extras["spread"] = spread
    return Bars.from_columns(bid_bars.timestamp, bid_bars.open, bid_bars.high, bid_bars.low,
                             bid_bars.close, bid_bars.volume, extras)


def _shown(timestamp: int) -> str:
    try:
        return dt.datetime.fromtimestamp(timestamp, dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, ValueError, OSError):
        return str(timestamp)
