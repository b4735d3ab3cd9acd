"""Loading bars: CSV files in the layouts traders have (plain or compressed), data frames,
arrays, Parquet and Arrow files, and the bundled sample.

Every loader returns `Bars`, an immutable sequence of `Bar` kept as columns, and checks the bars
first (`validate=`): times strictly increasing, low <= open, close <= high, no price NaN or not
positive. The per-row work is native; this module finds the layout and words the messages.
"""
from __future__ import annotations

import array
import bz2
import codecs
import collections.abc
import contextlib
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
import stat
import warnings
import zipfile
import zlib
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Protocol, TypeAlias, cast

from . import _backtest, _zones
from ._backtest import Bars
from ._cores import cores
from .formats import SERVER_TIME, ZONES, Layout, detect
from .metrics import TIME_UNITS

__all__ = ["Bars", "read_csv", "read_parquet", "read_feather", "from_dataframe", "from_arrays",
           "sample_bars", "zone", "zone_table", "VALIDATE", "ServerTimeWarning"]

TIME_NAMES = ("timestamp", "time", "date", "datetime")
PRICE_NAMES = ("open", "high", "low", "close")
SAMPLES = {"EURUSD": "eurusd_h1.csv.gz", "USDJPY": "usdjpy_h1.csv.gz"}
SAMPLE = SAMPLES["EURUSD"]
# Finer samples, by symbol and timeframe; "H1" is SAMPLES.
FINE_SAMPLES = {("EURUSD", "M1"): "eurusd_m1.csv.gz"}
VALIDATE = ("error", "warn", "off")

collections.abc.Sequence.register(Bars)


def _reduce(bars: Bars) -> tuple[Any, tuple[Any, ...]]:
    """Bars pickle as their columns (for process pools and caches), each as its bytes."""
    columns = (bars.timestamp, *(bars.column(name) for name in (*PRICE_NAMES, "volume")))
    return Bars.from_columns, (*columns, bars.extras or None)


copyreg.pickle(Bars, _reduce)

_FAULTS = ("out of time order", "repeating the previous time", "with a NaN price",
           "with a price not positive or not finite", "with open or close outside low..high",
           "with a volume NaN, infinite or negative")


class ServerTimeWarning(UserWarning):
    """A file's times are a broker's server clock, which it does not name: read as UTC."""


class Readable(Protocol):
    def read(self, size: int = ..., /) -> str | bytes: ...


Source: TypeAlias = "str | os.PathLike[str] | Readable"


# --- CSV -------------------------------------------------------------------------------------

def read_csv(source: Source, *, format: str | None = None, delimiter: str | None = None,
             header: bool | None = None, date_format: str | None = None,
             tz: str | dt.tzinfo | None = None, validate: str = "error",
             decimal: str = ".") -> Bars:
    """Reads bars from a delimited text file.

    `source` is a path or an open file (text or binary). Compressed files (gzip, bz2, xz, or a
    zip holding one file) are recognised by their first bytes and decompressed as they are
    read; a UTF-8 or UTF-16 byte-order mark is honoured. Without `format`, the delimiter, the
    header and the layout are found from the first rows; `format` names one of: mt4, mt5,
    histdata, dukascopy, pandas, yfinance, csv (a header naming timestamp/time/date, open,
    high, low, close, volume), headerless. `date_format` gives the time field's pattern (%Y %y
    %m %d %H %M %S %f %z); by default it is recognised, an integer epoch or ISO 8601 in the
    simplest case. `decimal=","` reads numbers written with a decimal comma (1,0716), as
    European spreadsheets save them. Times become UTC epoch seconds: `tz` names the zone the
    file's times are in when they carry no offset, UTC by default; a time with an offset, or an
    integer epoch, is already exact. A HistData file's times are read in the zone HistData
    documents, EST all year (UTC-05:00), unless `tz` is given (`tz="UTC"` reads them as UTC).
    MT4 and MT5 exports are in the broker's server time, which the file does not say: without
    `tz` they are read as UTC with a `ServerTimeWarning`.

    More numeric columns (MT5's spread, tick and real volume; yfinance's Adj Close) are kept:
    `bars.extras`. `validate` ("error", "warn" or "off") says what bad bars do. A file newest
    bar first is reversed, with a warning. Nothing is returned half-read: any bad row raises
    ValueError naming the file, the line and the column, and so does a file that cannot be
    decompressed or decoded.
    """
    _check_validate(validate)
    if decimal not in (".", ","):
        raise ValueError(f"decimal must be '.' or ',', not {decimal!r}")
    if delimiter is not None and delimiter == decimal:
        raise ValueError(f"the delimiter and the decimal mark cannot both be {decimal!r}")
    with contextlib.ExitStack() as stack:
        text, where = _read_bytes(source, stack)
        head, ended = text.head()
        line_end = "\r" if b"\n" not in head and b"\r" in head else "\n"
        lines = head.decode("utf-8", errors="replace").split(line_end)
        if not ended:
            if len(lines) == 1:
                raise ValueError(f"{where}, line 1: no line end in the first "
                                 f"{len(head) >> 20} MiB: this is not a text file of bars")
            lines = lines[:-1]  # cut mid-row

        def layout_of(whole: bytes) -> Layout:
            return detect(lines[:50], format=format, delimiter=delimiter, header=header,
                          date_format=date_format, decimal=decimal, text=whole)

        try:
            try:
                layout = layout_of(text.whole if text.whole is not None else head)
            except ValueError:
                # A file read by position was looked at only as far as its first rows; the
                # rest of its text can settle what they leave open (the order of day and
                # month), and the same rows give the same layout whatever else is searched.
                if text.file is None:
                    raise
                layout = layout_of(text.read_whole())
        except ValueError as exc:
            from .ticks import tick_format
            ticks = tick_format(lines[:50])
            if ticks is not None:
                raise ValueError(f"{where}: this is a file of ticks ({ticks} layout), not bars: "
                                 "read it with read_ticks, and make bars of it with "
                                 "ticks.bars('1h')") from None
            raise ValueError(f"{where}: {exc}{_comma_hint(lines, decimal)}") from None
        if tz is None:
            tz = ZONES.get(layout.format)
        try:
            bars, numbers, local = _backtest.parse_csv(
                text.data(), layout.delimiter,
                layout.skip_rows, layout.times, layout.prices, layout.volume,
                tuple(field for field, _ in layout.extras),
                tuple(name for _, name in layout.extras), validate != "off", tz is not None,
                decimal, line_end, cores(), text.start)
        except MemoryError:
            raise ValueError(f"{where}: not enough memory for its bars (line {text.line()} "
                             "reached): load a shorter stretch of it") from None
    if bars is None:
        line, field, fault, found = numbers
        raise ValueError(_row_error(where, layout, line, field, fault, found, decimal))
    if not len(bars) and sum(1 for line in lines if line.strip()) > layout.skip_rows:
        # The first lines hold rows after the header, yet none was read as one.
        raise ValueError(f"{where}: no bars: the rows after the header were not found as rows "
                         f"(line ends {line_end!r}, delimiter {layout.delimiter!r}, "
                         f"{layout.format} layout); name the format with format=")
    bars = _finish(bars, tz, validate, where, lambda i: f"line {numbers[i]}", local)
    if tz is None and layout.format in SERVER_TIME and len(bars):
        warnings.warn(ServerTimeWarning(
            f"{where}: the times of an {layout.format.upper()} export are the broker's server "
            "time, read as UTC: give tz= your broker's server zone, such as "
            "tz='Europe/Athens' for a server at UTC+2 in winter and UTC+3 in summer, or "
            "tz='UTC' when they are UTC"), stacklevel=2)
    return bars


_PIECE = 1 << 20  # bytes decompressed at a time; no row of bars is longer
_UNPACKING = (OSError, EOFError, zlib.error, lzma.LZMAError, zipfile.BadZipFile, RuntimeError,
              NotImplementedError)


class _Text:
    """A file's text as UTF-8 without a byte-order mark: `whole` when it was plain and small or
    not a file on disk; a plain file on disk (`file`, its text from byte `start`) read natively
    by position, so its text is never held whole; else read in pieces as it is decompressed and
    decoded, so that memory holds only the bars and a piece. Every failure to decompress or
    decode is a ValueError naming the file and the line reached."""

    def __init__(self, where: str, whole: bytes | None = None, stream: Any = None,
                 file: Any = None, start: int = 0, first: bytes = b"") -> None:
        self.where, self.whole, self._stream = where, whole, stream
        self.file, self.start = file, start
        self._first = first
        self._decoder: Any = None
        self._lines = 1  # line ends passed, for messages
        self._ended = stream is None

    def head(self) -> tuple[bytes, bool]:
        """The first rows (a piece's worth), and whether they are the whole file."""
        if self.whole is not None:
            return self.whole[:_PIECE], len(self.whole) <= _PIECE
        if self.file is not None:
            return self._first, False
        raw = self._read()
        self._decoder = _decoder_for(raw)
        if raw.startswith(b"\xef\xbb\xbf"):
            raw = raw[3:]
        self._first = self._decode(raw, final=self._ended)
        return self._first, self._ended

    def pieces(self) -> Iterator[bytes]:
        yield self._first
        self._lines += self._first.count(b"\n")
        while not self._ended:
            piece = self._decode(self._read(), final=self._ended)
            self._lines += piece.count(b"\n")
            yield piece

    def line(self) -> int:
        return self._lines

    def data(self) -> Any:
        """What the native reader takes: the text, a file's descriptor, or the pieces."""
        if self.whole is not None:
            return self.whole
        if self.file is not None:
            return self.file.fileno()
        return self.pieces()

    def read_whole(self) -> bytes:
        self.file.seek(self.start)
        return cast(bytes, self.file.read())

    def _read(self) -> bytes:
        try:
            raw = self._stream.read(_PIECE)
        except _UNPACKING as exc:
            raise ValueError(f"{self.where}: cannot decompress it (after line {self._lines}"
                             f"): {_reason(exc)}") from None
        self._ended = len(raw) < _PIECE
        return bytes(raw)

    def _decode(self, raw: bytes, final: bool) -> bytes:
        if self._decoder is None:
            return raw
        try:
            return cast(bytes, self._decoder.decode(raw, final).encode("utf-8", "surrogatepass"))
        except UnicodeDecodeError as exc:
            line = self._lines + _lines_before(raw, exc)
            raise ValueError(_undecodable(self.where, line, exc)) from None


def _read_bytes(source: Source, stack: contextlib.ExitStack) -> tuple[_Text, str]:
    """The text of a path or an open file: read whole when it is plain, else in pieces."""
    if isinstance(source, (str, os.PathLike)):
        where = os.fspath(source)
        raw = stack.enter_context(open(where, "rb"))
        magic = raw.read(6)
        raw.seek(0)
        if not _packed(magic):
            return _plain(raw, where), where
        return _Text(where, stream=_unpacked(raw, magic, where, stack)), where
    where = str(getattr(source, "name", "<file>"))
    first = source.read(6)
    if isinstance(first, str):
        text = (first + cast(str, source.read())).lstrip("\ufeff")
        return _Text(where, text.encode("utf-8", "surrogatepass")), where
    if not _packed(first):
        return _Text(where, _utf8(first + cast(bytes, source.read()), where)), where
    return _Text(where, stream=_unpacked(_Prefixed(first, source), first, where, stack)), where


def _plain(raw: Any, where: str) -> _Text:
    """An uncompressed file: a large one in UTF-8 on disk is left for the reader to read by
    position; any other is read whole here."""
    if stat.S_ISREG(os.fstat(raw.fileno()).st_mode):
        first = raw.read(_PIECE + 4)
        start = 3 if first.startswith(b"\xef\xbb\xbf") else 0
        text = first[start:]
        if len(text) > _PIECE and (start or _decoder_for(first) is None):
            return _Text(where, file=raw, start=start, first=text[:_PIECE])
        if len(text) <= _PIECE:
            return _Text(where, _utf8(first, where))
        raw.seek(0)
    return _Text(where, _utf8(raw.read(), where))


def _packed(magic: bytes) -> bool:
    return magic.startswith((b"\x1f\x8b", b"BZh", b"\xfd7zXZ\x00", b"PK\x03\x04"))


class _Prefixed:
    """An open file whose first bytes were already read."""

    def __init__(self, first: bytes, rest: Any) -> None:
        self._first, self._rest = first, rest

    def read(self, size: int = -1) -> bytes:
        if self._first:
            if size < 0:
                out, self._first = self._first + self._rest.read(), b""
                return cast(bytes, out)
            out, self._first = self._first[:size], self._first[size:]
            return out
        return cast(bytes, self._rest.read(size))


def _unpacked(raw: Any, magic: bytes, where: str, stack: contextlib.ExitStack) -> Any:
    """A stream that decompresses `raw` as it is read."""
    try:
        if magic.startswith(b"\x1f\x8b"):
            return stack.enter_context(gzip.GzipFile(fileobj=raw, mode="rb"))
        if magic.startswith(b"BZh"):
            return stack.enter_context(bz2.BZ2File(raw))
        if magic.startswith(b"\xfd7zXZ\x00"):
            return stack.enter_context(lzma.LZMAFile(raw))
        if not (hasattr(raw, "seek") and getattr(raw, "seekable", lambda: False)()):
            raw = io.BytesIO(raw.read())  # a zip's directory is at its end
        archive = stack.enter_context(zipfile.ZipFile(raw))
        members = [m for m in archive.infolist() if not m.is_dir()]
        if len(members) > 1:
            # HistData's archives hold the bars' .csv beside a .txt report of gaps.
            csvs = [m for m in members if m.filename.lower().endswith(".csv")]
            members = csvs if len(csvs) == 1 else members
        if len(members) != 1:
            names = ", ".join(m.filename for m in members) or "nothing"
            raise ValueError(f"{where}: a zip must hold one file to read, it holds {names}")
        return stack.enter_context(archive.open(members[0]))
    except _UNPACKING as exc:
        raise ValueError(f"{where}: cannot decompress it: {_reason(exc)}") from None


def _reason(exc: BaseException) -> str:
    """Why a file could not be decompressed, and what to do."""
    if isinstance(exc, RuntimeError) and "encrypted" in str(exc):
        return "the zip is encrypted: unpack it with its password first"
    text = str(exc) or type(exc).__name__
    text = text[0].lower() + text[1:] if text[1:2].islower() else text
    if isinstance(exc, (NotImplementedError, RuntimeError)):
        return f"{text}: unpack it with another tool first"
    return f"{text}; the file is damaged or cut short"


def _decoder_for(raw: bytes) -> Any:
    """The incremental decoder for a text in UTF-16, or None for UTF-8."""
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        return codecs.getincrementaldecoder("utf-16")()
    head = raw[:200]
    if len(head) > 3 and head.count(0) * 3 > len(head):  # UTF-16 without a mark
        return codecs.getincrementaldecoder("utf-16-le" if head[1] == 0 else "utf-16-be")()
    return None


def _utf8(raw: bytes, where: str) -> bytes:
    if raw.startswith(b"\xef\xbb\xbf"):
        return raw[3:]
    decoder = _decoder_for(raw)
    if decoder is None:
        return raw
    try:
        return cast(bytes, decoder.decode(raw, True).encode("utf-8", "surrogatepass"))
    except UnicodeDecodeError as exc:
        raise ValueError(_undecodable(where, 1 + _lines_before(raw, exc), exc)) from None


def _lines_before(raw: bytes, exc: UnicodeDecodeError) -> int:
    return raw[:exc.start].decode(exc.encoding, "replace").count("\n")


def _undecodable(where: str, line: int, exc: UnicodeDecodeError) -> str:
    cut = "truncated" in exc.reason or "end of data" in exc.reason
    return (f"{where}, line {line}: not valid {exc.encoding.upper()} text ({exc.reason}"
            + ("; the file ends inside a character: it is cut short" if cut else "")
            + "): save it again as UTF-8 or UTF-16")


def _comma_hint(lines: Sequence[str], decimal: str) -> str:
    if decimal == "," or not any(_COMMA_NUMBER.search(line) for line in lines[1:6]):
        return ""
    return "; the numbers seem to have decimal commas (1,0716): pass decimal=','"


_COMMA_NUMBER = re.compile(r"(?:^|[;\t|])\s*[+-]?\d+,\d+\s*(?:[;\t|]|$)")


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
               found: str, decimal: str = ".") -> str:
    if fault == "long_row":
        return (f"{where}, line {line}: a row over {_PIECE >> 20} MiB long starts here (a "
                "double quote never closed, or not a text file of bars)")
    if fault == "fields":
        return (f"{where}, line {line}, column {layout.role(field)!r}: the row has {found} "
                f"field{'s' if found != '1' else ''}, this one is missing (delimiter "
                f"{layout.delimiter!r}, {layout.format} layout)")
    where_field = f"{where}, line {line}, column {layout.role(field)!r}"
    if fault == "number":
        hint = ""
        if decimal == "." and re.fullmatch(r"\s*[+-]?\d*,\d+\s*", found):
            hint = ": a decimal comma? pass decimal=','"
        elif decimal == "," and "." in found:
            hint = " (with decimal=',', a point is not a decimal mark)"
        return f"{where_field}: expected a finite number, found {found!r}{hint}"
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
    bars = _bars(timestamp, lambda i: f"row {i}", lambda: (
        o, h, l, c, None if volume is None else _buffer(volume, "d", "volume"),
        {k: _buffer(v, "d", k) for k, v in extras.items()} or None))
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
        bars = _bars(times, label, lambda: (
            *(_column(df[k], name) for k, name in zip(keys, PRICE_NAMES)),
            None if volume_key is None else _column(df[volume_key], "volume"), extras or None))
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


def _column(values: Any, name: str) -> Any:
    """A bar column for Bars.from_columns: an Arrow column's chunks as they are, or `_buffer`."""
    return values.parts if isinstance(values, _Chunks) else _buffer(values, "d", name)


def _bars(times: Any, label: Callable[[int], str], others: Callable[[], tuple[Any, ...]]) -> Bars:
    """Bars.from_columns of the times as `_times` makes them and the `others` made after them.
    Date-times in a unit that divides a second go in as their ticks, made seconds in the same
    pass as the copy; a fault found there (or any after the times) is worded by `_times`,
    which raises it first, as it would have before anything else."""
    ticks = _ticks(times)
    if ticks is None:
        return Bars.from_columns(_times(times, "s", label, floats=True), *others())
    try:
        return Bars.from_columns(ticks[0], *others(), ticks_per_second=ticks[1])
    except (TypeError, ValueError, OverflowError):
        _times(times, "s", label, floats=True)
        raise


def _ticks(values: Any) -> tuple[Any, int] | None:
    """Date-times as their int64 ticks (a chunked column's as a tuple of them) and the ticks in
    a second, a chunked column of integers as its chunks and 0, or None where `_times` has more
    to do (strings, floats, units that are not a whole fraction of a second, time zones)."""
    dtype: Any = getattr(values, "dtype", None)
    if isinstance(values, _Chunks) and dtype.kind in "iu":
        return values.parts, 0
    if getattr(dtype, "kind", "") != "M":
        return None
    if isinstance(values, _Chunks):
        raws = values.parts
    else:
        if getattr(getattr(values, "dt", None), "tz", None) is not None:
            return None
        if getattr(values, "tz", None) is not None:
            return None
        raws = (values.to_numpy() if hasattr(values, "to_numpy") else values,)
    numpy: Any = importlib.import_module("numpy")
    if not all(isinstance(raw, numpy.ndarray) and raw.dtype == dtype for raw in raws):
        return None
    tick, count = numpy.datetime_data(dtype)
    if tick not in TIME_UNITS or TIME_UNITS[tick] % count:
        return None
    per = TIME_UNITS[tick] // count
    stamps = tuple(raw.view("int64") for raw in raws)
    return (stamps if isinstance(values, _Chunks) else stamps[0]), per


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
    return _from_table(parquet.read_table(source, memory_map=_is_path(source)), validate)


def read_feather(source: Any, *, validate: str = "error") -> Bars:
    """Bars from a Feather (Arrow IPC) file; see `read_parquet`."""
    feather = _arrow("pyarrow.feather")
    # Mapped, an uncompressed file's columns are read where they lie, copied only into the bars.
    return _from_table(feather.read_table(source, memory_map=_is_path(source)), validate)


def _is_path(source: Any) -> bool:
    return isinstance(source, (str, os.PathLike))


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
        column = table.column(name)
        if pa.types.is_date(column.type):
            column = column.cast(pa.timestamp("s"))
        shown = "time" if name.startswith("__index_level_") else name
        columns[shown] = _arrow_column(column)
    return from_dataframe(_Columns(columns), validate=validate)


def _arrow_column(column: Any) -> Any:
    """A chunked Arrow column as numpy: its chunks in place where each is numbers or date-times
    of one type, read in place without nulls; otherwise combined, as one array."""
    if column.num_chunks == 1:
        return column.chunk(0).to_numpy(zero_copy_only=False)
    parts = tuple(chunk.to_numpy(zero_copy_only=False) for chunk in column.chunks)
    if parts and all(p.dtype == parts[0].dtype for p in parts) and parts[0].dtype.kind in "iufM":
        return _Chunks(parts)
    return column.combine_chunks().to_numpy(zero_copy_only=False)


class _Chunks:
    """A column in numpy chunks of one dtype, given to Bars.from_columns as they are; anything
    else sees them joined (`to_numpy`)."""

    def __init__(self, parts: tuple[Any, ...]) -> None:
        self.parts = parts
        self.dtype = parts[0].dtype

    def __len__(self) -> int:
        return sum(len(part) for part in self.parts)

    def to_numpy(self) -> Any:
        numpy: Any = importlib.import_module("numpy")
        return numpy.concatenate(self.parts)


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
    prefix = f"{where}, " if where else ""
    if tz is not None and len(bars):
        bars = _in_utc(bars, tz, local, prefix, label)
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
    low = min(max(_FIRST, first - 2 * _DAY), _LAST)
    return _zones.table(where, low, max(min(_LAST, last + 2 * _DAY), low))


def _in_utc(bars: Bars, tz: Any, local: bytes | None, prefix: str,
            label: Callable[[int], str]) -> Bars:
    """The wall-clock times moved to UTC, with a table over the first and last rows' times, or
    over all of them when some row lies out of time order (so beyond those two, maybe)."""
    stamps = bars.timestamp
    n = len(bars)
    low, high = sorted((stamps[0], stamps[n - 1]))
    out_of_order = _backtest.check_bars(bars)[0][0]
    if 0 < out_of_order < n - 1:  # not merely newest first
        view = memoryview(cast(Any, stamps))  # a buffer, which 3.11's typing cannot say
        low, high = min(view), max(view)
    moved = _backtest.to_utc(bars, *zone_table(tz, low, high), local)
    if isinstance(moved, tuple):
        row = moved[1]
        raise ValueError(f"{prefix}{label(row)}, column 'time': {_shown(stamps[row])} on the "
                         f"clock of {tz} is beyond 64-bit epoch seconds in UTC")
    return moved


# --- the sample ------------------------------------------------------------------------------

def sample_bars(symbol: str = "EURUSD", timeframe: str = "H1") -> Bars:
    """A bundled sample: synthetic hourly bars of a EURUSD-like or a USDJPY-like pair, 2021 to
    2023. USDJPY moves against EURUSD a little (hourly correlation about -0.3) and misses a few
    hours EURUSD has (early Friday closes, holidays), as a basket's second leg would.

    `timeframe="M1"` gives EURUSD's minute bars from 2023-04-01 to the end of 2023, made so
    that resampled to "1h" they are the hourly sample's bars exactly: the finer bars for
    settling which of an hour's high and low came first."""
    for arg, value in (("symbol", symbol), ("timeframe", timeframe)):
        if not isinstance(value, str):
            raise TypeError(f"sample_bars() {arg} must be a str, not {type(value).__name__}")
    key = (symbol.upper(), timeframe.upper())
    name = SAMPLES.get(key[0]) if key[1] == "H1" else FINE_SAMPLES.get(key)
    if name is None:
        bundled = [f"{s!r} H1" for s in SAMPLES] + [f"{s!r} {t}" for s, t in FINE_SAMPLES]
        raise ValueError(f"sample_bars() has no sample {symbol!r} {timeframe}; the bundled "
                         "ones are " + ", ".join(bundled))
    with importlib.resources.files(__package__).joinpath("sample", name).open("rb") as raw:
        return read_csv(raw)


