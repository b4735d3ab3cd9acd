"""The layouts of the bar files traders have, and telling them apart by their first rows.

Each format is a recognizer: given the first rows of a file, split by its delimiter, it returns
the file's `Layout` (which field holds what, how its times are written) or the reason it does
not fit. Without `format=`, the recognizers are tried in turn; the rows themselves are then
read natively (`_backtest.parse_csv`).
"""
from __future__ import annotations

import datetime as dt
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import cast

__all__ = ["Layout", "FORMATS", "ZONES", "SERVER_TIME", "detect", "sniff_delimiter",
           "time_pattern"]

PRICES = ("open", "high", "low", "close")
TIME_NAMES = ("timestamp", "time", "date", "datetime", "gmt time", "local time")
DELIMITERS = (",", ";", "\t", "|")


@dataclass(frozen=True)
class Layout:
    format: str
    delimiter: str
    skip_rows: int                        # header rows
    times: tuple[tuple[int, str | None], ...]  # (field, pattern); None: an epoch or ISO 8601
    prices: tuple[int, int, int, int]
    volume: int | None
    extras: tuple[tuple[int, str], ...] = ()
    names: tuple[str, ...] = ()           # the header's names, for messages

    def role(self, field: int) -> str:
        """What the layout reads from a field, as messages name it."""
        for i, (column, _) in enumerate(self.times):
            if column == field:
                return "date" if len(self.times) == 2 and i == 0 else "time"
        for name, column in zip(PRICES, self.prices):
            if column == field:
                return name
        if field == self.volume:
            return "volume"
        return dict((c, n) for c, n in self.extras).get(field, f"field {field + 1}")


class NoFit(ValueError):
    """A recognizer's reason for refusing the rows."""


# Time shapes, tried in order on a sample; each gives the pattern the native reader follows.
_SHAPES: tuple[tuple[re.Pattern[str], str | None], ...] = tuple(
    (re.compile(shape), pattern) for shape, pattern in (
        (r"[+-]?\d+", None),
        (r"\d{4}-\d{2}-\d{2}([T ]\d{2}(:\d{2}(:\d{2}([.,]\d+)?)?)?)?(Z|[+-]\d{2}(:?\d{2})?)?",
         None),
        (r"\d{4}\.\d{2}\.\d{2}", "%Y.%m.%d"),
        (r"\d{4}\.\d{2}\.\d{2} \d{1,2}:\d{2}", "%Y.%m.%d %H:%M"),
        (r"\d{4}\.\d{2}\.\d{2} \d{1,2}:\d{2}:\d{2}", "%Y.%m.%d %H:%M:%S"),
        (r"\d{8} \d{6}", "%Y%m%d %H%M%S"),
        (r"\d{8} \d{4}", "%Y%m%d %H%M"),
        (r"\d{2}\.\d{2}\.\d{4} \d{2}:\d{2}:\d{2}\.\d+", "%d.%m.%Y %H:%M:%S.%f"),
        (r"\d{2}\.\d{2}\.\d{4} \d{2}:\d{2}:\d{2}\.\d+ GMT[+-]\d{4}", "%d.%m.%Y %H:%M:%S.%f GMT%z"),
        (r"\d{2}\.\d{2}\.\d{4} \d{2}:\d{2}:\d{2}", "%d.%m.%Y %H:%M:%S"),
        (r"\d{2}\.\d{2}\.\d{4}", "%d.%m.%Y"),
        (r"\d{4}/\d{2}/\d{2}", "%Y/%m/%d"),
        (r"\d{4}/\d{2}/\d{2} \d{1,2}:\d{2}(:\d{2})?", "%Y/%m/%d %H:%M:%S"),
    ))
_TIME_OF_DAY: tuple[tuple[re.Pattern[str], str], ...] = tuple(
    (re.compile(shape), pattern) for shape, pattern in (
        (r"\d{1,2}:\d{2}", "%H:%M"),
        (r"\d{1,2}:\d{2}:\d{2}", "%H:%M:%S"),
        (r"\d{1,2}:\d{2}:\d{2}\.\d+", "%H:%M:%S.%f"),
        (r"\d{6}", "%H%M%S"),
    ))
_SLASHED = re.compile(r"(\d{1,2})/(\d{1,2})/\d{4}(.*)")
_EIGHT = re.compile(r"\d{8}")


def time_pattern(sample: str, date_format: str | None = None) -> str | None:
    """The pattern a time field like `sample` is read with; None for an epoch or ISO 8601.
    Raises NoFit when the shape is not one known."""
    return _column_pattern([sample], date_format)


def _column_pattern(samples: Sequence[str], date_format: str | None, dated: bool = False,
                    settle: Callable[[], str | None] | None = None) -> str | None:
    """The pattern for a time column whose first rows hold `samples`. `dated`: the column is
    named a date, or a time column stands beside it, so eight digits are a day (20200102),
    never epoch seconds. `settle` finds the order of day and month in the rest of the file,
    "day" or "month", when the samples leave it open."""
    if date_format is not None:
        return date_format
    texts = [t for t in (s.strip().strip('"') for s in samples) if t] or [""]
    if all(_EIGHT.fullmatch(t) for t in texts) and (dated or all(map(_is_day, texts))):
        return "%Y%m%d"
    text = texts[0]
    for shape, pattern in _SHAPES:
        if shape.fullmatch(text):
            if pattern is not None and pattern.startswith("%Y/%m/%d %H:%M") \
                    and text.count(":") == 1:
                return "%Y/%m/%d %H:%M"
            return pattern
    slashed = _SLASHED.fullmatch(text)
    if slashed:
        return _slashed_pattern(texts, slashed.group(3), settle)
    raise NoFit(f"{text!r} is not a time this reader knows: give date_format")


def _is_day(text: str) -> bool:
    """Eight digits that name a day of the calendar, as YYYYMMDD."""
    try:
        dt.date(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        return False
    return True


def _slashed_pattern(texts: Sequence[str], rest: str,
                     settle: Callable[[], str | None] | None) -> str:
    """Dates like 19/04/2017 or 4/19/2017: a day above 12 tells which is which. Refused (a
    ValueError, not a misfit of the layout) when nothing tells."""
    clock = ""
    if rest:
        tod = _time_of_day(rest[1:]) if rest[:1] in (" ", "T") else None
        if tod is None:
            raise NoFit(f"{texts[0]!r} is not a time this reader knows: give date_format")
        clock = rest[0] + tod
    seen = [(t, int(m.group(1)), int(m.group(2))) for t in texts if (m := _SLASHED.fullmatch(t))]
    day_first = next((t for t, first, _ in seen if first > 12), None)
    month_first = next((t for t, _, second in seen if second > 12), None)
    if day_first and month_first:
        raise ValueError(f"the dates are neither all day/month nor all month/day "
                         f"({day_first!r}, {month_first!r}): give date_format")
    order = "day" if day_first else "month" if month_first else settle() if settle else None
    if order == "day":
        return f"%d/%m/%Y{clock}"
    if order == "month":
        return f"%m/%d/%Y{clock}"
    raise ValueError(f"{texts[0]!r} could be day/month or month/day, and so could every date "
                     f"read: give date_format, such as '%d/%m/%Y{clock}' or '%m/%d/%Y{clock}'")


def _order_in(text: bytes, field: int, delimiter: str) -> str | None:
    """The order of day and month in a file's text, from the first date in the field whose
    first or second number is above 12; None when every one could be either."""
    sep = re.escape(delimiter).encode()
    row = (rb"(?:[^" + sep + rb"\n]*" + sep + rb"){" + str(field).encode() + rb"}"
           rb'[ \t"]*(?:(?:1[3-9]|[2-9]\d)/\d{1,2}|\d{1,2}/(1[3-9]|[2-9]\d))/\d{4}')
    # A pattern that opens with a literal line end is searched for at C speed.
    found = re.match(row, text) or re.search(b"\n" + row, text)
    if found is None:
        return None
    return "month" if found.group(1) else "day"


def _time_of_day(sample: str) -> str | None:
    text = sample.strip().strip('"')
    for shape, pattern in _TIME_OF_DAY:
        if shape.fullmatch(text):
            return pattern
    return None


def _is_number(text: str) -> bool:
    try:
        float(text.strip().strip('"'))
    except ValueError:
        return False
    return True


def _is_data(row: Sequence[str]) -> bool:
    return sum(_is_number(field) for field in row) >= 4


def _normal(name: str) -> str:
    return name.strip().strip('"').lstrip("\ufeff").strip().strip("<>").strip().lower()


def sniff_delimiter(lines: Sequence[str], decimal: str = ".") -> str:
    """The delimiter that splits the first lines into the same number of fields, the most; never
    the decimal mark."""
    candidates = [d for d in DELIMITERS if d != decimal]
    best, best_count = candidates[0], 0
    for delimiter in candidates:
        counts = {line.count(delimiter) for line in lines[1:6] or lines[:1]}
        count = min(counts) if counts else 0
        if len(counts) == 1 and count > best_count:
            best, best_count = delimiter, count
    if best_count == 0:
        for delimiter in candidates:
            if lines and lines[0].count(delimiter) > best_count:
                best, best_count = delimiter, lines[0].count(delimiter)
    return best


@dataclass(frozen=True)
class Sample:
    """What recognizers see: the first rows, split, and the caller's settings."""
    rows: list[list[str]]
    delimiter: str
    header: bool | None
    date_format: str | None
    text: bytes | None = None  # the file's text, or its first part, for what rows leave open

    def column(self, skip: int, field: int) -> list[str]:
        return [row[field] for row in self.rows[skip:] if field < len(row)]

    def settle(self, field: int) -> Callable[[], str | None] | None:
        """A search of the text for the order of day and month in a field."""
        text = self.text
        if text is None:
            return None
        return lambda: _order_in(text, field, self.delimiter)

    def data_row(self, skip: int) -> list[str]:
        if len(self.rows) <= skip:
            raise NoFit("no data row after the header")
        return self.rows[skip]


def _header_times(names: list[str], sample: Sample,
                  skip: int) -> tuple[tuple[int, str | None], ...]:
    """The time fields a header names: one, or a date field and a time field."""
    date = [i for i, n in enumerate(names) if n == "date"]
    time = [i for i, n in enumerate(names) if n == "time"]
    if len(date) == 1 and len(time) == 1:
        row = sample.rows[skip] if len(sample.rows) > skip else None
        tod = None if row is None or time[0] >= len(row) else _time_of_day(row[time[0]])
        if tod is not None:
            fmt = sample.date_format
            date_fmt, time_fmt = (fmt.split(" ", 1) if fmt and " " in fmt else (fmt, tod))
            pattern = _date_pattern(sample, skip, date[0], date_fmt)
            return ((date[0], pattern), (time[0], time_fmt or "%H:%M:%S"))
    found = [i for i, n in enumerate(names) if _is_time_name(n)]
    if len(found) > 1:
        raise ValueError("more than one column for the time: "
                         + ", ".join(repr(names[i]) for i in found))
    if not found:
        if names and names[0] == "":
            found = [0]  # the unnamed index pandas writes first
        else:
            raise NoFit("missing column timestamp/time/date")
    row = sample.rows[skip] if len(sample.rows) > skip else None
    pattern = None if row is None or found[0] >= len(row) else _column_pattern(
        sample.column(skip, found[0]), sample.date_format, dated="date" in names[found[0]],
        settle=sample.settle(found[0]))
    return ((found[0], pattern),)


def _date_pattern(sample: Sample, skip: int, field: int, date_format: str | None) -> str | None:
    """The pattern of a date with a time of day in the next field: an integer there is a day
    as YYYYMMDD, or nothing this reader can join to the time."""
    values = sample.column(skip, field)
    pattern = _column_pattern(values, date_format, dated=True, settle=sample.settle(field))
    if pattern is None and _SHAPES[0][0].fullmatch(values[0].strip().strip('"')):
        raise ValueError(f"{values[0].strip()!r} beside a time of day is not a date (an epoch "
                         "would drop the time): give date_format")
    return pattern


def _is_time_name(name: str) -> bool:
    """timestamp, time, date, ...; also "Time (UTC)" and "Time (EET)", as some exports name it."""
    return name in TIME_NAMES or (name.startswith("time (") and name.endswith(")"))


def column_named(names: Sequence[str], *wanted: str) -> int | None:
    """The place of the one column named one of `wanted`; None if none is, ValueError if
    several are."""
    hits = [i for i, n in enumerate(names) if n in wanted]
    if len(hits) > 1:
        raise ValueError(f"more than one column for {'/'.join(wanted)}: "
                         + ", ".join(repr(names[i]) for i in hits))
    return hits[0] if hits else None


def _named(names: list[str], fmt: str, sample: Sample, skip: int, volume_names: Sequence[str],
           extra_names: dict[str, str]) -> Layout:
    def find(*wanted: str) -> int | None:
        return column_named(names, *wanted)

    times = _header_times(names, sample, skip)
    prices = [find(name) for name in PRICES]
    missing = [name for name, i in zip(PRICES, prices) if i is None]
    if missing:
        raise NoFit(f"missing column {', '.join(missing)}")
    volume = next((i for i in (find(n) for n in volume_names) if i is not None), None)
    # A format's own extras are kept even when one is the volume too (MT5's tick volume).
    used = {c for c, _ in times} | set(prices) | ({volume} - {find(n) for n in extra_names})
    extras = _unique(tuple((i, extra_names.get(n, n.replace(" ", "_")))
                           for i, n in enumerate(names)
                           if i not in used and n and (n in extra_names or fmt == "csv")
                           and _numeric_column(sample, skip, i)))
    found = cast("tuple[int, int, int, int]", tuple(prices))
    return Layout(fmt, sample.delimiter, skip, times, found, volume, extras, tuple(names))


def _unique(extras: tuple[tuple[int, str], ...]) -> tuple[tuple[int, str], ...]:
    """Extras under names of their own: a name met again gets .1, .2, ... as pandas gives it,
    so that no column is lost under another's key."""
    taken: set[str] = set()
    out = []
    for i, name in extras:
        unique, k = name, 0
        while unique in taken:
            k += 1
            unique = f"{name}.{k}"
        taken.add(unique)
        out.append((i, unique))
    return tuple(out)


def _numeric_column(sample: Sample, skip: int, i: int) -> bool:
    rows = sample.rows[skip:]
    return bool(rows) and all(i < len(r) and (_is_number(r[i]) or not r[i].strip()) for r in rows)


def _header(sample: Sample) -> list[str]:
    if sample.header is False:
        raise NoFit("it has no header")
    if not sample.rows:
        raise NoFit("empty file, expected a header row")
    first = sample.rows[0]
    if sample.header is None and _is_data(first):
        raise NoFit("its first row is data, not a header")
    return [_normal(name) for name in first]


def _mt5(sample: Sample) -> Layout:
    if not sample.rows or not all(f.strip().startswith("<") for f in sample.rows[0] if f.strip()):
        raise NoFit("its header is not <DATE> <TIME> <OPEN> ...")
    names = _header(sample)
    return _named(names, "mt5", sample, 1, ("tickvol",),
                  {"tickvol": "tick_volume", "vol": "real_volume", "spread": "spread"})


def _dukascopy(sample: Sample) -> Layout:
    names = _header(sample)
    if not {"gmt time", "local time"} & set(names) and \
            not any(n.startswith("time (") for n in names):
        raise NoFit("it has no 'Gmt time', 'Local time' or 'Time (zone)' column")
    return _named(names, "dukascopy", sample, 1, ("volume",), {})


def _yfinance(sample: Sample) -> Layout:
    names = _header(sample)
    skip = 1
    if names and names[0] == "price" and len(sample.rows) > 2 \
            and _normal(sample.rows[1][0]) == "ticker":
        # Two more rows: the tickers, then the index's name alone.
        skip = 3
        names = [_normal(sample.rows[2][0])] + names[1:]
    if "adj close" not in names and skip == 1:
        raise NoFit("it has no 'Adj Close' column")
    return _named(names, "yfinance", sample, skip, ("volume",), {"adj close": "adj_close"})


def _pandas(sample: Sample) -> Layout:
    names = _header(sample)
    if not names or names[0] != "":
        raise NoFit("its first header field is not the unnamed index")
    return _named(names, "pandas", sample, 1, ("volume",), {})


def _csv(sample: Sample) -> Layout:
    return _named(_header(sample), "csv", sample, 1, ("volume", "vol", "tickvol", "tick_volume"),
                  {})


def _no_header(sample: Sample) -> list[str]:
    if sample.header is True:
        raise NoFit("it has a header")
    if not sample.rows:
        raise NoFit("empty file")
    row = sample.rows[0]
    if not _is_data(row):
        raise NoFit("its first row is not data")
    return row


def _mt4(sample: Sample) -> Layout:
    row = _no_header(sample)
    if len(row) < 6 or not re.fullmatch(r"\d{4}\.\d{2}\.\d{2}", row[0].strip()) \
            or _time_of_day(row[1]) is None:
        raise NoFit("its rows do not start with a date like 2020.01.02 and a time like 00:00")
    return Layout("mt4", sample.delimiter, 0, ((0, sample.date_format or "%Y.%m.%d"),
                                               (1, _time_of_day(row[1]))),
                  (2, 3, 4, 5), 6 if len(row) > 6 else None)


def _histdata(sample: Sample) -> Layout:
    row = _no_header(sample)
    if len(row) < 5 or not re.fullmatch(r"\d{8} \d{6}", row[0].strip()):
        raise NoFit("its rows do not start with a time like 20200102 000000")
    return Layout("histdata", sample.delimiter, 0, ((0, sample.date_format or "%Y%m%d %H%M%S"),),
                  (1, 2, 3, 4), 5 if len(row) > 5 else None)


def _plain(sample: Sample) -> Layout:
    """No header: a time (or a date and a time), four prices, maybe a volume."""
    row = _no_header(sample)
    split = len(row) > 1 and _time_of_day(row[1]) is not None and not _is_number(row[1])
    first = 2 if split else 1
    if len(row) < first + 4:
        raise NoFit(f"its rows have {len(row)} fields, too few for a time and four prices")
    times: tuple[tuple[int, str | None], ...]
    if split:
        times = ((0, _date_pattern(sample, 0, 0, sample.date_format)),
                 (1, _time_of_day(row[1])))
    else:
        times = ((0, _column_pattern(sample.column(0, 0), sample.date_format,
                                     settle=sample.settle(0))),)
    return Layout("headerless", sample.delimiter, 0, times,
                  (first, first + 1, first + 2, first + 3),
                  first + 4 if len(row) > first + 4 else None)


# Tried in this order without format=: the distinctive layouts first.
FORMATS: dict[str, tuple[Callable[[Sample], Layout], str | None, str]] = {
    "mt5": (_mt5, "\t", "MT5 export: tab-separated, <DATE> <TIME> <OPEN> ... <SPREAD>"),
    "dukascopy": (_dukascopy, None, "Dukascopy: 'Gmt time' 02.01.2020 00:00:00.000, ..."),
    "yfinance": (_yfinance, ",", "yfinance: Date, Open, High, Low, Close, Adj Close, Volume"),
    "pandas": (_pandas, None, "pandas to_csv: the time in an unnamed first column"),
    "csv": (_csv, None, "a header naming timestamp/time/date, open, high, low, close, volume"),
    "mt4": (_mt4, ",", "MT4 history: no header, 2020.01.02,00:00,open,high,low,close,volume"),
    "histdata": (_histdata, ";", "HistData ASCII: no header, 20200102 000000;open;...;volume, "
                                 "in EST all year (UTC-05:00)"),
    "headerless": (_plain, None, "no header: a time, open, high, low, close, volume"),
}


# The zone a layout's times are documented to be in, taken when the caller names none. HistData
# writes Eastern Standard Time the whole year, never shifting for daylight saving.
ZONES = {"histdata": "UTC-05:00"}
# Layouts whose times are a broker's server clock, which the file does not name.
SERVER_TIME = frozenset({"mt4", "mt5"})


def detect(lines: Sequence[str], *, format: str | None = None, delimiter: str | None = None,
           header: bool | None = None, date_format: str | None = None,
           decimal: str = ".", text: bytes | None = None) -> Layout:
    """The layout of a file whose first lines are `lines`. Raises ValueError with the reasons,
    and the format to try when the rows fit another one. With `decimal=","`, numbers are
    written 1,0716 (and the delimiter is not a comma). `text`, the file's text (or as much of
    it as is at hand), settles what the first lines may leave open: whether 04/05/2020 is
    day/month or month/day."""
    if format is not None and format not in FORMATS:
        raise ValueError(f"unknown format {format!r}; known: {', '.join(FORMATS)}")
    lines = [line for line in lines if line.strip()]
    if decimal == ",":
        # Recognized as the same numbers with points; the native reader takes the commas.
        lines = [_DECIMAL_COMMA.sub(".", line) for line in lines]

    def sample_for(name: str | None) -> Sample:
        default = FORMATS[name][1] if name else None
        if default == decimal:
            default = None
        sep = delimiter or default or sniff_delimiter(lines, decimal)
        rows = [_split(line, sep) for line in lines]
        return Sample(rows, sep, header, date_format, text)

    if format is not None:
        try:
            return FORMATS[format][0](sample_for(format))
        except NoFit as refusal:
            hint = _fitting(lambda name: sample_for(None), exclude=format)
            raise ValueError(f"not in the {format} layout: {refusal}"
                             + (f"; it looks like {hint}: try format={hint!r}" if hint else "")
                             ) from None
    sample = sample_for(None)
    reasons = []
    for name, (recognize, _, _) in FORMATS.items():
        try:
            return recognize(sample)
        except NoFit as refusal:
            reasons.append((name, str(refusal)))
    first = (sample.delimiter.join(sample.rows[0])[:80]) if sample.rows else ""
    header_reason = dict(reasons)["csv"]
    raise ValueError(f"cannot tell the columns ({header_reason}; the first line is {first!r}); "
                     f"name the format with format= ({', '.join(FORMATS)})")


def _fitting(sample_for: Callable[[str], Sample], exclude: str) -> str | None:
    for name, (recognize, _, _) in FORMATS.items():
        if name in (exclude, "headerless", "csv"):
            continue
        try:
            recognize(sample_for(name))
        except (NoFit, ValueError):
            continue
        return name
    return None


_DECIMAL_COMMA = re.compile(r"(?<=\d),(?=\d)")


def _split(line: str, delimiter: str) -> list[str]:
    if '"' not in line:
        return line.rstrip("\r\n").split(delimiter)
    import csv
    return next(csv.reader([line.rstrip("\r\n")], delimiter=delimiter), [])
