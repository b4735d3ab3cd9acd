"""Loading bars: CSV files (plain or gzip), pandas data frames and the bundled sample."""
from __future__ import annotations

import contextlib
import csv
import datetime as dt
import gzip
import importlib
import importlib.resources
import io
import math
import os
import re
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Protocol, TypeAlias, cast

from _candlewright import Bar

__all__ = ["read_csv", "from_dataframe", "sample_bars"]

TIME_NAMES = ("timestamp", "time", "date")
PRICE_NAMES = ("open", "high", "low", "close")
SAMPLE = "eurusd_h1.csv.gz"

_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
_SECOND = dt.timedelta(seconds=1)
_INTEGER = re.compile(r"[+-]?[0-9]+")
_INT64 = range(-(2**63), 2**63)


class Readable(Protocol):
    def read(self, size: int = ..., /) -> str | bytes: ...


Source: TypeAlias = "str | os.PathLike[str] | Readable"


def parse_time(text: str) -> int:
    """An integer epoch as it is, or an ISO date or date-time as epoch seconds (UTC if naive)."""
    text = text.strip()
    if _INTEGER.fullmatch(text):
        value = int(text)
        if value not in _INT64:
            raise ValueError(f"{text!r} does not fit a 64-bit timestamp")
        return value
    try:
        moment = dt.datetime.fromisoformat(text)
    except ValueError:
        raise ValueError(f"{text!r} is neither an integer epoch nor an ISO date or time") from None
    return _epoch_seconds(moment, text)


def _epoch_seconds(moment: dt.datetime, shown: object) -> int:
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=dt.timezone.utc)
    seconds, rest = divmod(moment - _EPOCH, _SECOND)
    if rest:  # bar times are whole seconds; silently dropping a fraction could merge two bars
        raise ValueError(f"{shown!r} has a fraction of a second")
    return int(seconds)


def _price(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text.strip()!r} is not a finite number")
    return value


def _volume(text: str) -> float:
    return _price(text) if text.strip() else 0.0


def _columns(header: list[str], where: str) -> tuple[int, list[int], int | None]:
    """Where the time, the four prices and the volume are, by case-insensitive name."""
    # A byte-order mark survives when the caller opened the file as text without "utf-8-sig".
    names = [name.strip().lstrip("\ufeff").strip().lower() for name in header]

    def find(*wanted: str) -> int | None:
        found = [i for i, name in enumerate(names) if name in wanted]
        if len(found) > 1:
            raise ValueError(f"{where}: more than one column for {'/'.join(wanted)}: "
                             + ", ".join(header[i] for i in found))
        return found[0] if found else None

    time = find(*TIME_NAMES)
    prices = [find(name) for name in PRICE_NAMES]
    missing = ["/".join(TIME_NAMES)] if time is None else []
    missing += [name for name, i in zip(PRICE_NAMES, prices) if i is None]
    if missing:
        raise ValueError(f"{where}: missing column {', '.join(missing)} "
                         f"(the header has {', '.join(map(repr, header)) or 'nothing'})")
    assert time is not None
    return time, [i for i in prices if i is not None], find("volume")


@contextlib.contextmanager
def _text(source: Source) -> Iterator[tuple[Any, str]]:
    """The source as a text stream, with its name for messages; a caller's file stays open."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        opener: Any = gzip.open if path.lower().endswith(".gz") else open
        with opener(path, "rt", encoding="utf-8-sig", newline="") as stream:
            yield stream, path
        return
    name = str(getattr(source, "name", "<file>"))
    if not isinstance(source.read(0), bytes):
        yield source, name
        return
    wrapper = io.TextIOWrapper(cast(Any, source), encoding="utf-8-sig", newline="")
    try:
        yield wrapper, name
    finally:
        # Detached, the wrapper no longer closes the caller's file when it is collected.
        wrapper.detach()


def _bars_from_rows(rows: Iterator[list[str]], where: str,
                    line: Callable[[], int]) -> list[Bar]:
    header = next(rows, None)
    if header is None:
        raise ValueError(f"{where}: empty file, expected a header row")
    time, prices, volume = _columns(header, where)
    bars = []
    for row in rows:
        if not row or (len(row) == 1 and not row[0].strip()):
            continue
        column = "time"
        try:
            timestamp = parse_time(row[time])
            values = []
            for name, i in zip(PRICE_NAMES, prices):
                column = name
                values.append(_price(row[i]))
            column = "volume"
            size = 0.0 if volume is None else _volume(row[volume])
        except IndexError:
            raise ValueError(f"{where}, line {line()}: row has {len(row)} fields, "
                             f"column {column!r} is missing") from None
        except ValueError as exc:
            raise ValueError(f"{where}, line {line()}, column {column!r}: {exc}") from None
        bars.append(Bar(timestamp, values[0], values[1], values[2], values[3], size))
    return bars


def read_csv(source: Source) -> list[Bar]:
    """Reads bars from a CSV file with a header row.

    `source` is a path, read as gzip when it ends in ``.gz``, or an open file, text or
    binary, read as it is (wrap a compressed one in `gzip.open` first). Columns are found by
    name, in any case and order: timestamp, time or date; open, high, low, close; volume
    (optional, 0.0 when absent or empty). Other columns are ignored.
    A time is an integer, taken as it is, or an ISO 8601 date or date-time, turned into
    epoch seconds (UTC when it carries no offset). Any bad row raises `ValueError` naming
    its line and column; no bars are returned then.
    """
    with _text(source) as (stream, where):
        reader = csv.reader(stream)
        try:
            return _bars_from_rows(iter(reader), where, lambda: reader.line_num)
        except csv.Error as exc:
            raise ValueError(f"{where}, line {reader.line_num}: {exc}") from None


def sample_bars() -> list[Bar]:
    """The bundled sample: synthetic hourly bars of a EURUSD-like pair, 2021 to 2023."""
    with importlib.resources.files(__package__).joinpath("sample", SAMPLE).open("rb") as raw:
        with gzip.GzipFile(fileobj=raw, mode="rb") as unpacked:
            return read_csv(unpacked)


def from_dataframe(df: Any) -> list[Bar]:
    """Bars from a pandas DataFrame, one per row in order.

    Columns are named as for `read_csv`; without a time column a DatetimeIndex gives the times.
    Date-times become epoch seconds (naive ones taken as UTC), integers are taken as they are,
    strings are parsed as in `read_csv`. Missing or non-finite values raise `ValueError`
    naming the row's index label and the column.
    """
    # Imported here and untyped: pandas is optional and ships no type information of its own.
    pd: Any = importlib.import_module("pandas")

    labels = {str(name).strip().lower(): name for name in df.columns}
    found = [labels[name] for name in TIME_NAMES if name in labels]
    if len(found) > 1:
        raise ValueError(f"more than one time column: {', '.join(map(str, found))}")
    if found:
        times: Iterable[Any] = df[found[0]]
        time_kind = "datetime" if pd.api.types.is_datetime64_any_dtype(df[found[0]]) else "value"
    elif isinstance(df.index, pd.DatetimeIndex):
        times, time_kind = df.index, "datetime"
    else:
        raise ValueError("no timestamp/time/date column and no DatetimeIndex")
    missing = [name for name in PRICE_NAMES if name not in labels]
    if missing:
        raise ValueError(f"missing column {', '.join(missing)}")
    columns = [df[labels[name]].tolist() for name in PRICE_NAMES]
    volumes = df[labels["volume"]].tolist() if "volume" in labels else [0.0] * len(df)
    bars = []
    for row, (label, when) in enumerate(zip(df.index, times)):
        column = "time"
        try:
            timestamp = _frame_time(pd, when, time_kind)
            values = []
            for name, series in zip(PRICE_NAMES, columns):
                column = name
                values.append(_price(str(series[row])) if isinstance(series[row], str)
                              else _finite(series[row]))
            column = "volume"
            size = _finite(volumes[row])
        except (ValueError, TypeError, OverflowError) as exc:
            raise ValueError(f"row {label!r}, column {column!r}: {exc}") from None
        bars.append(Bar(timestamp, values[0], values[1], values[2], values[3], size))
    return bars


def _finite(value: Any) -> float:
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{value!r} is not a finite number")
    return number


def _frame_time(pd: Any, value: Any, kind: str) -> int:
    if kind == "datetime" or isinstance(value, (dt.datetime, pd.Timestamp)):
        if pd.isna(value):
            raise ValueError("missing time")
        stamp = pd.Timestamp(value)
        if stamp.nanosecond:
            raise ValueError(f"{str(value)!r} has a fraction of a second")
        return _epoch_seconds(stamp.to_pydatetime(), str(value))
    if isinstance(value, str):
        return parse_time(value)
    if isinstance(value, float):  # integers turn to floats in a column that has gaps
        if math.isnan(value):
            raise ValueError("missing time")
        if not value.is_integer():
            raise ValueError(f"{value!r} is not a whole number of seconds")
    elif not hasattr(value, "__index__"):
        raise ValueError(f"{value!r} is neither an integer epoch nor a date-time")
    number = int(value)
    if number not in _INT64:
        raise ValueError(f"{number} does not fit a 64-bit timestamp")
    return number
