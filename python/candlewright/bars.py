"""Loading bars: CSV files in the layouts traders have (plain or compressed), data frames,
arrays, Parquet and Arrow files, and the bundled sample.

Every loader returns `Bars`, an immutable sequence of `Bar` kept as columns, and checks the bars
first (`validate=`): times strictly increasing, low <= open, close <= high, no price NaN or not
positive. The per-row work is native; this module finds the layout and words the messages.
"""
from __future__ import annotations

import array
import bz2
import collections.abc
import copyreg
import datetime as dt
import gzip
import importlib
import importlib.resources
import io
import lzma
import math
import os
import re
import warnings
import zipfile
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Protocol, TypeAlias

from . import _backtest
from ._backtest import Bars
from .formats import Layout, detect
from .metrics import TIME_UNITS

__all__ = ["Bars", "read_csv", "read_parquet", "read_feather", "from_dataframe", "from_arrays",
           "sample_bars", "zone", "zone_table", "VALIDATE"]

TIME_NAMES = ("timestamp", "time", "date", "datetime")
PRICE_NAMES = ("open", "high", "low", "close")
SAMPLE = "eurusd_h1.csv.gz"
VALIDATE = ("error", "warn", "off")

collections.abc.Sequence.register(Bars)


def _reduce(bars: Bars) -> tuple[Any, tuple[Any, ...]]:
    """Bars pickle as their columns (for process pools and caches)."""
    columns = (array.array("q", bars.timestamp),
               *(array.array("d", bars.column(name)) for name in (*PRICE_NAMES, "volume")))
    extras = {name: array.array("d", column) for name, column in bars.extras.items()}
    return Bars.from_columns, (*columns, extras or None)


copyreg.pickle(Bars, _reduce)

_HEAD = 1 << 16  # bytes sniffed for the layout
_FAULTS = ("out of time order", "repeating the previous time", "with a NaN price",
           "with a price not positive or not finite", "with open or close outside low..high",
           "with a volume NaN, infinite or negative")


class Readable(Protocol):
    def read(self, size: int = ..., /) -> str | bytes: ...


Source: TypeAlias = "str | os.PathLike[str] | Readable"


# --- CSV -------------------------------------------------------------------------------------

def read_csv(source: Source, *, format: str | None = None, delimiter: str | None = None,
             header: bool | None = None, date_format: str | None = None,
             tz: str | dt.tzinfo | None = None, validate: str = "error") -> Bars:
    """Reads bars from a delimited text file.

    `source` is a path or an open file (text or binary). Compressed files (gzip, bz2, xz, or a
    zip holding one file) are recognised by their first bytes; a UTF-8 or UTF-16 byte-order
    mark is honoured. Without `format`, the delimiter, the header and the layout are found from
    the first rows; `format` names one of: mt4, mt5, histdata, dukascopy, pandas, yfinance,
    csv (a header naming timestamp/time/date, open, high, low, close, volume), headerless.
    `date_format` gives the time field's pattern (%Y %y %m %d %H %M %S %f %z); by default it
    is recognised, an integer epoch or ISO 8601 in the simplest case. Times become UTC epoch
    seconds: `tz` names the zone the file's times are in when they carry no offset (MT4 and
    MT5 exports are in the broker's server time), UTC by default; a time with an offset, or an
    integer epoch, is already exact.

    More numeric columns (MT5's spread, tick and real volume; yfinance's Adj Close) are kept:
    `bars.extras`. `validate` ("error", "warn" or "off") says what bad bars do. A file newest
    bar first is reversed, with a warning. Nothing is returned half-read: any bad row raises
    ValueError naming the file, the line and the column.
    """
    _check_validate(validate)
    data, where = _read_bytes(source)
    lines = data[:_HEAD].decode("utf-8", errors="replace").splitlines()
    if len(data) > _HEAD:
        lines = lines[:-1]  # cut mid-row
    try:
        layout = detect(lines[:50], format=format, delimiter=delimiter, header=header,
                        date_format=date_format)
    except ValueError as exc:
        raise ValueError(f"{where}: {exc}") from None
    bars, numbers, local = _backtest.parse_csv(
        data, layout.delimiter, layout.skip_rows, layout.times, layout.prices, layout.volume,
        tuple(field for field, _ in layout.extras), tuple(name for _, name in layout.extras),
        validate != "off", tz is not None)
    if bars is None:
        raise ValueError(_row_error(where, layout, *numbers))
    return _finish(bars, tz, validate, where, lambda i: f"line {numbers[i]}", local)


def _read_bytes(source: Source) -> tuple[bytes, str]:
    """The whole file, uncompressed, as UTF-8 without a byte-order mark."""
    if isinstance(source, (str, os.PathLike)):
        where = os.fspath(source)
        with open(where, "rb") as stream:
            raw: bytes | str = stream.read()
    else:
        where = str(getattr(source, "name", "<file>"))
        raw = source.read()
    if isinstance(raw, str):
        return raw.lstrip("\ufeff").encode("utf-8"), where
    try:
        raw = _unpacked(raw, where)
    except (OSError, EOFError, lzma.LZMAError, zipfile.BadZipFile) as exc:
        raise ValueError(f"{where}: cannot decompress: {exc}") from None
    return _utf8(raw, where), where


def _unpacked(raw: bytes, where: str) -> bytes:
    if raw.startswith(b"\x1f\x8b"):
        return gzip.decompress(raw)
    if raw.startswith(b"BZh"):
        return bz2.decompress(raw)
    if raw.startswith(b"\xfd7zXZ\x00"):
        return lzma.decompress(raw)
    if raw.startswith(b"PK\x03\x04"):
        with zipfile.ZipFile(io.BytesIO(raw)) as archive:
            members = [m for m in archive.infolist() if not m.is_dir()]
            if len(members) != 1:
                names = ", ".join(m.filename for m in members) or "nothing"
                raise ValueError(f"{where}: a zip must hold one file to read, it holds {names}")
            return archive.read(members[0])
    return raw


def _utf8(raw: bytes, where: str) -> bytes:
    if raw.startswith(b"\xef\xbb\xbf"):
        return raw[3:]
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        return raw.decode("utf-16").encode("utf-8")
    head = raw[:200]
    if len(head) > 3 and head.count(0) * 3 > len(head):  # UTF-16 without a mark
        return raw.decode("utf-16-le" if head[1] == 0 else "utf-16-be").encode("utf-8")
    return raw


def _example(pattern: str | None) -> str:
    if pattern is None:
        return "an integer epoch or an ISO 8601 time (2020-01-02 00:00:00)"
    shown = pattern
    for directive, value in (("%Y", "2020"), ("%y", "20"), ("%m", "01"), ("%d", "02"),
                             ("%H", "13"), ("%M", "30"), ("%S", "00"), ("%f", "000"),
                             ("%z", "+0200"), ("%%", "%")):
        shown = shown.replace(directive, value)
    return f"a time like {shown!r} ({pattern})"


def _row_error(where: str, layout: Layout, line: int, field: int, fault: str,
               found: str) -> str:
    if fault == "fields":
        return (f"{where}, line {line}, column {layout.role(field)!r}: the row has {found} "
                f"field{'s' if found != '1' else ''}, this one is missing (delimiter "
                f"{layout.delimiter!r}, {layout.format} layout)")
    where_field = f"{where}, line {line}, column {layout.role(field)!r}"
    if fault == "number":
        return f"{where_field}: expected a finite number, found {found!r}"
    pattern = next(p for c, p in layout.times if c == field)
    if fault == "time":
        return f"{where_field}: expected {_example(pattern)}, found {found!r}"
    return (f"{where_field}: {found!r} is not a time in range (a field out of bounds, a "
            "fraction of a second, or beyond 64-bit epoch seconds)")


# --- frames and arrays ------------------------------------------------------------------------

def from_arrays(timestamp: Any, open: Any, high: Any, low: Any, close: Any,
                volume: Any = None, *, validate: str = "error", **extras: Any) -> Bars:
    """Bars from columns: numpy arrays, array.array, anything with the buffer protocol, or
    lists. Timestamps are integer epoch seconds or date-times (numpy datetime64, pandas ones;
    naive ones are UTC). Keyword arguments beyond these are kept as extra columns."""
    _check_validate(validate)
    o, h, l, c = (_buffer(c, "d", name) for c, name in zip((open, high, low, close), PRICE_NAMES))
    bars = Bars.from_columns(_times(timestamp, "s", floats=True), o, h, l, c,
                             None if volume is None else _buffer(volume, "d", "volume"),
                             {k: _buffer(v, "d", k) for k, v in extras.items()} or None)
    return _finish(bars, None, validate, "", lambda i: f"row {i}")


def from_dataframe(df: Any, *, validate: str = "error") -> Bars:
    """Bars from a pandas or polars DataFrame, one per row in order.

    Columns are found by name in any case: timestamp/time/date/datetime (or a DatetimeIndex),
    open, high, low, close, volume (optional). yfinance's two-level columns are read for a
    single ticker. Date-times become epoch seconds (naive ones taken as UTC); integers are
    taken as they are; strings are parsed as dates. Other numeric columns are kept as extras.
    """
    _check_validate(validate)
    df = _single_level(df)
    names = {str(name): name for name in df.columns}
    key = _pick(names, TIME_NAMES)
    index = getattr(df, "index", None)
    if key is not None:
        times = df[key]
    elif index is not None and "Datetime" in type(index).__name__:
        times = index
    else:
        raise ValueError("no timestamp/time/date column and no DatetimeIndex; found "
                         + ", ".join(map(str, names)))
    keys = [_pick(names, (name,)) for name in PRICE_NAMES]
    missing = [name for name, k in zip(PRICE_NAMES, keys) if k is None]
    if missing:
        raise ValueError(f"missing column {', '.join(missing)}; found {', '.join(names)}")
    volume_key = _pick(names, ("volume",))
    used = {key, *keys, volume_key}
    extras = {str(n).strip().lower().replace(" ", "_"): _buffer(df[k], "d", str(n))
              for n, k in names.items() if k not in used and _is_numeric(df[k])}
    labels: Sequence[Any] = range(len(df)) if index is None else index
    label = (lambda i: f"row {i}") if index is None else (lambda i: f"row {labels[i]!r}")
    try:
        stamps = _times(times, "s", label, floats=True)
        o, h, l, c = (_buffer(df[k], "d", name) for k, name in zip(keys, PRICE_NAMES))
        bars = Bars.from_columns(stamps, o, h, l, c,
                                 None if volume_key is None else _buffer(df[volume_key], "d",
                                                                        "volume"),
                                 extras or None)
    except TypeError as exc:
        raise ValueError(str(exc)) from None
    return _finish(bars, None, validate, "", label)


def _single_level(df: Any) -> Any:
    """yfinance's (Price, Ticker) columns as plain ones, for one ticker."""
    columns = df.columns
    if getattr(columns, "nlevels", 1) == 1:
        return df
    for level in range(columns.nlevels):
        values = [str(v).strip().lower() for v in columns.get_level_values(level)]
        if "close" in values:
            others = [columns.get_level_values(k).unique() for k in range(columns.nlevels)
                      if k != level]
            if any(len(o) > 1 for o in others):
                tickers = ", ".join(map(str, others[0]))
                raise ValueError(f"the columns hold several tickers ({tickers}): pick one, as "
                                 "df.xs('EURUSD=X', axis=1, level=1)")
            flat = df.copy(deep=False)
            flat.columns = columns.get_level_values(level)
            return flat
    raise ValueError("none of the column levels names a close")


def _is_numeric(column: Any) -> bool:
    kind = getattr(getattr(column, "dtype", None), "kind", None)
    if kind is not None:
        return kind in "iuf"
    dtype = str(getattr(column, "dtype", ""))
    return dtype.startswith(("Int", "UInt", "Float"))  # polars


def _pick(names: Mapping[str, Any], wanted: Sequence[str]) -> Any:
    """The key for the first of `wanted` present, by exact name, then in any case."""
    lowered: dict[str, Any] = {}
    for shown, key in names.items():
        lowered.setdefault(shown.strip().lower(), key)
    for name in wanted:
        if name in names:
            return names[name]
    for name in wanted:
        if name in lowered:
            return lowered[name]
    return None


def _buffer(values: Any, code: str, name: str) -> Any:
    """`values` as something with the buffer protocol: itself, its numpy array, or an array."""
    if hasattr(values, "to_numpy"):  # pandas and polars series, pyarrow arrays
        values = values.to_numpy()
    try:
        memoryview(values)
        return values
    except TypeError:
        pass
    try:
        return array.array(code, values)
    except (TypeError, OverflowError) as exc:
        raise TypeError(f"column {name!r} must hold numbers: {exc}") from None


def _times(values: Any, unit: str, label: Callable[[int], str] = lambda i: f"row {i}",
           floats: bool = False) -> Any:
    """Timestamps as integers in `unit`; date-times (numpy, pandas or polars, naive ones taken
    as UTC) are converted, and with `floats`, whole numbers in a float column too."""
    if getattr(getattr(values, "dtype", None), "kind", "") == "O" and hasattr(values, "to_numpy"):
        pd: Any = importlib.import_module("pandas")  # strings in a pandas column
        try:
            values = pd.to_datetime(values, utc=True)
        except (ValueError, TypeError) as exc:
            raise ValueError(f"column 'time': {exc}") from None
    dtype = getattr(values, "dtype", None)
    if getattr(dtype, "kind", "") == "M" or "datetime" in str(dtype).lower():
        values = _naive_utc(values)
        numpy: Any = importlib.import_module("numpy")
        raw = values.to_numpy() if hasattr(values, "to_numpy") else numpy.asarray(values)
        return _whole_units(numpy, raw, unit, label)
    raw = values.to_numpy() if hasattr(values, "to_numpy") else values
    if floats and getattr(getattr(raw, "dtype", None), "kind", "") == "f":
        numpy = importlib.import_module("numpy")  # integers turn to floats in a column with gaps
        whole = numpy.isfinite(raw) & (numpy.abs(raw) < 2.0**63)
        whole[whole] = raw[whole] == numpy.floor(raw[whole])
        if not whole.all():
            row = int(numpy.flatnonzero(~whole)[0])
            what = ("missing time" if math.isnan(raw[row]) else
                    f"{float(raw[row])!r} is not a whole number of seconds")
            raise ValueError(f"{label(row)}, column 'time': {what}")
        return raw.astype("int64")
    return _buffer(raw, "q", "timestamp")


def _whole_units(numpy: Any, raw: Any, unit: str, label: Callable[[int], str]) -> Any:
    """numpy date-times as integers in `unit`, refusing NaT and fractions of the unit; in as
    few passes over the column as the units allow."""
    tick, count = numpy.datetime_data(raw.dtype)
    if tick not in TIME_UNITS:
        raw, tick, count = raw.astype("datetime64[ns]"), "ns", 1
    ticks = raw.view("int64")
    missing = ticks == numpy.iinfo(numpy.int64).min
    if missing.any():
        raise ValueError(f"{label(int(numpy.flatnonzero(missing)[0]))}, column 'time': "
                         "missing time")
    scale = TIME_UNITS[unit] * count, TIME_UNITS[tick]  # wanted units per tick, as a fraction
    if scale[0] % scale[1] == 0:
        return ticks * (scale[0] // scale[1]) if scale[0] != scale[1] else ticks
    per = scale[1] // math.gcd(*scale)
    whole, rest = numpy.divmod(ticks * (scale[0] // math.gcd(*scale)), per)
    if rest.any():
        raise ValueError(f"{label(int(numpy.flatnonzero(rest)[0]))}, column 'time': "
                         f"a fraction of a {unit!r} time unit")
    return whole


def _naive_utc(values: Any) -> Any:
    """Tz-aware pandas date-times as naive UTC ones (naive ones are taken as UTC already)."""
    accessor = getattr(values, "dt", None)  # a Series: its own tz_convert moves the index
    if accessor is not None:
        if getattr(accessor, "tz", None) is None:
            return values
        return accessor.tz_convert("UTC").dt.tz_localize(None)
    if getattr(values, "tz", None) is not None:
        return values.tz_convert("UTC").tz_localize(None)
    return values


# --- Parquet and Arrow ------------------------------------------------------------------------

def read_parquet(source: Any, *, validate: str = "error") -> Bars:
    """Bars from a Parquet file (needs the `arrow` extra: pyarrow), columns named as for
    `from_dataframe`; a pandas index saved with the file gives the times."""
    parquet = _arrow("pyarrow.parquet")
    return _from_table(parquet.read_table(source), validate)


def read_feather(source: Any, *, validate: str = "error") -> Bars:
    """Bars from a Feather (Arrow IPC) file; see `read_parquet`."""
    feather = _arrow("pyarrow.feather")
    return _from_table(feather.read_table(source), validate)


def _arrow(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        raise ImportError("reading Parquet and Arrow files needs pyarrow: "
                          "pip install 'candlewright[arrow]'") from None


def _from_table(table: Any, validate: str) -> Bars:
    pa = importlib.import_module("pyarrow")
    columns = {}
    for name in table.column_names:
        column = table.column(name).combine_chunks()
        if pa.types.is_date(column.type):
            column = column.cast(pa.timestamp("s"))
        shown = "time" if name.startswith("__index_level_") else name
        columns[shown] = column.to_numpy(zero_copy_only=False)
    return from_dataframe(_Columns(columns), validate=validate)


class _Columns:
    """Named numpy columns, read as a frame without an index."""

    def __init__(self, columns: dict[str, Any]) -> None:
        self._columns = columns
        self.columns = list(columns)

    def __getitem__(self, name: str) -> Any:
        return self._columns[name]

    def __len__(self) -> int:
        return len(next(iter(self._columns.values()), ()))


# --- checks, zones, order ---------------------------------------------------------------------

def _check_validate(validate: str) -> None:
    if validate not in VALIDATE:
        raise ValueError(f"validate must be one of {', '.join(map(repr, VALIDATE))}, "
                         f"not {validate!r}")


def _finish(bars: Bars, tz: Any, validate: str, where: str, label: Callable[[int], str],
            local: bytes | None = None) -> Bars:
    """Wall-clock times moved to UTC (those marked in `local`, or all), newest-first files
    reversed, then the checks."""
    if tz is not None and len(bars):
        first, last = bars.timestamp[0], bars.timestamp[len(bars) - 1]
        bars = _backtest.to_utc(bars, *zone_table(tz, min(first, last), max(first, last)), local)
    prefix = f"{where}, " if where else ""
    n = len(bars)
    if n > 1 and bars.timestamp[0] > bars.timestamp[n - 1]:
        bars = bars[::-1]
        forward = label
        label = lambda i: forward(n - 1 - i)  # noqa: E731
        warnings.warn(f"{prefix or 'the data '}newest bar first: reversed to oldest first",
                      stacklevel=3)
    if validate == "off":
        return bars
    counts, bad, row, fault = _backtest.check_bars(bars)
    if not bad:
        return bars
    detail = _describe(bars, row, fault)
    tally = ", ".join(f"{count} {what}" for count, what in zip(counts, _FAULTS) if count)
    if validate == "warn":
        warnings.warn(f"{prefix}{bad} bad row{'s' if bad != 1 else ''} ({tally}); the first: "
                      f"{label(row)}, {detail}", stacklevel=3)
        return bars
    more = (f"; {bad - 1} more bad row{'s' if bad != 2 else ''} ({tally})" if bad > 1 else "")
    raise ValueError(f"{prefix}{label(row)}, {detail}{more}; validate='warn' loads them anyway")


def _describe(bars: Bars, row: int, fault: int) -> str:
    bar = bars[row]
    if fault in (0, 1):
        before = _shown(bars[row - 1].timestamp)
        return (f"column 'time': {_shown(bar.timestamp)} is "
                + (f"before the previous row's {before}" if fault == 0 else
                   "the previous row's time again"))
    prices = dict(zip(PRICE_NAMES, (bar.open, bar.high, bar.low, bar.close)))
    if fault == 2:
        name = next(n for n, v in prices.items() if math.isnan(v))
        return f"column {name!r}: expected a price, found nan"
    if fault == 3:
        name = next(n for n, v in prices.items() if math.isinf(v) or v <= 0)
        return f"column {name!r}: expected a positive price, found {prices[name]!r}"
    if fault == 4:
        if bar.low > bar.high:
            return f"column 'low': low {bar.low!r} is above high {bar.high!r}"
        name = next(n for n in ("open", "close") if not bar.low <= prices[n] <= bar.high)
        return (f"column {name!r}: {name} {prices[name]!r} is outside low..high "
                f"[{bar.low!r}, {bar.high!r}]")
    return f"column 'volume': expected a volume, found {bar.volume!r}"


def _shown(timestamp: int) -> str:
    try:
        return dt.datetime.fromtimestamp(timestamp, dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, ValueError, OSError):
        return str(timestamp)


_OFFSET = re.compile(r"(?:UTC|GMT)?([+-])(\d{1,2})(?::?(\d{2}))?")
_DAY = 86_400
_FIRST, _LAST = -62_135_596_800 + 2 * _DAY, 253_402_300_799 - 2 * _DAY  # datetime's range


def zone(tz: str | dt.tzinfo) -> dt.tzinfo:
    """A time zone from a name ("Europe/Athens", "UTC"), a fixed offset ("+02:00", "UTC+2")
    or a tzinfo."""
    if isinstance(tz, dt.tzinfo):
        return tz
    if not isinstance(tz, str):
        raise TypeError(f"tz must be a zone name or a tzinfo, not {type(tz).__name__}")
    if tz.upper() in ("UTC", "GMT", "Z"):
        return dt.timezone.utc
    fixed = _OFFSET.fullmatch(tz.strip())
    if fixed:
        sign, hours, minutes = fixed.groups()
        delta = dt.timedelta(hours=int(hours), minutes=int(minutes or 0))
        return dt.timezone(-delta if sign == "-" else delta)
    zoneinfo = importlib.import_module("zoneinfo")
    try:
        return zoneinfo.ZoneInfo(tz)  # type: ignore[no-any-return]
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"unknown time zone {tz!r}: give a name such as 'Europe/Athens' or "
                         "an offset such as '+02:00'") from None


def zone_table(tz: str | dt.tzinfo, first: int, last: int) -> tuple[tuple[int, ...],
                                                                     tuple[int, ...]]:
    """The zone's offsets from UTC between two instants (with two days' margin): the UTC
    instants where each starts, and the offsets in seconds east."""
    where = zone(tz)
    fixed = where.utcoffset(None)
    if fixed is not None:
        return (0,), (int(fixed.total_seconds()),)

    def offset(t: int) -> int:
        delta = dt.datetime.fromtimestamp(t, where).utcoffset()
        return int(delta.total_seconds()) if delta is not None else 0

    t = max(_FIRST, first - 2 * _DAY)
    end = min(_LAST, last + 2 * _DAY)
    starts, offsets = [t], [offset(t)]
    while t < end:
        step = t + _DAY
        if offset(step) != offsets[-1]:
            low, high = t, step  # the change falls in (low, high]
            while high - low > 1:
                mid = (low + high) // 2
                low, high = (mid, high) if offset(mid) == offsets[-1] else (low, mid)
            starts.append(high)
            offsets.append(offset(high))
        t = step
    return tuple(starts), tuple(offsets)


# --- the sample ------------------------------------------------------------------------------

def sample_bars() -> Bars:
    """The bundled sample: synthetic hourly bars of a EURUSD-like pair, 2021 to 2023."""
    with importlib.resources.files(__package__).joinpath("sample", SAMPLE).open("rb") as raw:
        return read_csv(raw)


