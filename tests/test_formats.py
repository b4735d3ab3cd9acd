"""The layouts bar files come in: each one, however packed or encoded, must give the same bars,
to the bit, and a file that cannot be read must say where and why in one line."""
import bz2
import datetime as dt
import gzip
import io
import lzma
import re
import struct
import warnings
import zipfile
from zoneinfo import ZoneInfo

import pytest
from hypothesis import example, given, settings, strategies as st

from candlewright.bars import (ServerTimeWarning, from_arrays, from_dataframe, read_csv,
                               read_feather, read_parquet)

# Asserted where it is the subject; elsewhere an MT4 file's warning is noise.
pytestmark = pytest.mark.filterwarnings("ignore::candlewright.bars.ServerTimeWarning")

UTC = dt.timezone.utc
EST = dt.timezone(dt.timedelta(hours=-5))  # HistData's clock, the whole year
# Short and long reprs, an exponent, sums that are not what they look like.
AWKWARD = [1.12345, 0.1 + 0.2, 1.1 + 0.2, 1 / 3, 1.2345678901234567, 3 * 1e-5, 99999.99999, 1.5,
           150.123, 7e-05, 0.1 * 3, 1.0000000000000002]
VOLUMES = [120.0, 0.1 + 0.2, 0.0, 1e3, 12.5, 7.0, 3.3, 1 / 7, 250.0, 1.0, 2.5e6, 42.0]
# Friday evening, the weekend, Sunday evening into Monday (January 2020, UTC).
TIMES = [(3, 20, 0), (3, 20, 1), (3, 20, 2), (3, 21, 30), (3, 21, 58), (3, 21, 59), (5, 22, 0),
         (5, 22, 1), (5, 22, 5), (5, 23, 59), (6, 0, 0), (6, 0, 1)]


def _bar(t, i):
    o, c = AWKWARD[i % 12], AWKWARD[(i + 5) % 12]
    return (t, o, max(o, c) * 1.0001, min(o, c) * 0.9999, c, VOLUMES[i % 12])


BARS = [_bar(int(dt.datetime(2020, 1, *t, tzinfo=UTC).timestamp()), i)
        for i, t in enumerate(TIMES)]
REAL, SPREAD = [i * 1000 for i in range(12)], [10 + i % 4 for i in range(12)]  # MT5's extras


def rows(bars):
    return [(b.timestamp, b.open, b.high, b.low, b.close, b.volume) for b in bars]


def _num(x):
    return x if isinstance(x, str) else repr(x)


def _count(x):  # trading platforms write whole volumes without a point
    return str(int(x)) if isinstance(x, float) and x.is_integer() else _num(x)


def _table(header, when, sep=",", order="tohlcv", volume=_num):
    """A writer: `when` formats a row's time, `order` places its fields."""
    def write(bars):
        out = list(header)
        for i, (t, o, h, l, c, v) in enumerate(bars):
            cell = {"t": when(t), "o": _num(o), "h": _num(h), "l": _num(l), "c": _num(c),
                    "a": _num(c), "v": volume(v), "r": str(REAL[i % 12]),
                    "s": str(SPREAD[i % 12])}
            out.append(sep.join(cell[k] for k in order))
        return "".join(line + "\n" for line in out)
    return write


def _clock(fmt, zone=UTC):
    return lambda t: t if isinstance(t, str) else dt.datetime.fromtimestamp(t, zone).strftime(fmt)


TICKER = "EURUSD=X"
WRITERS = {
    "mt4": _table([], _clock("%Y.%m.%d,%H:%M"), volume=_count),
    "mt5": _table(["<DATE>\t<TIME>\t<OPEN>\t<HIGH>\t<LOW>\t<CLOSE>\t<TICKVOL>\t<VOL>\t<SPREAD>"],
                  _clock("%Y.%m.%d\t%H:%M:%S"), "\t", "tohlcvrs", _count),
    "histdata": _table([], _clock("%Y%m%d %H%M%S", EST), ";", volume=_count),
    "dukascopy": _table(["Gmt time,Open,High,Low,Close,Volume"], _clock("%d.%m.%Y %H:%M:%S.000")),
    "pandas": _table([",open,high,low,close,volume"], _clock("%Y-%m-%d %H:%M:%S+00:00")),
    "yfinance": _table(["Date,Open,High,Low,Close,Adj Close,Volume"],
                       _clock("%Y-%m-%d %H:%M:%S+00:00"), order="tohlcav", volume=_count),
    "yfinance-3-rows": _table(["Price,Adj Close,Close,High,Low,Open,Volume",
                               "Ticker" + f",{TICKER}" * 6, "Datetime,,,,,,"],
                              _clock("%Y-%m-%d %H:%M:%S+00:00"), order="tachlov"),
    "csv-epoch": _table(["timestamp,open,high,low,close,volume"], str),
    "csv-date-and-time": _table(["Date,Time,Open,High,Low,Close,Volume"],
                                _clock("%Y-%m-%d,%H:%M:%S")),
    "csv-shuffled-iso": _table(["Close;Low;Time;High;Open;Volume"], _clock("%Y-%m-%dT%H:%M:%SZ"),
                               ";", "clthov"),
    "headerless": _table([], _clock("%Y-%m-%d %H:%M:%S")),
    "headerless-epoch-pipes": _table([], str, "|"),
}


def _zip(data):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        archive.writestr("EURUSD.csv", data)
    return out.getvalue()


def _file(data):
    def make(tmp_path, text):
        path = tmp_path / "bars.dat"  # the bytes tell, not the name
        path.write_bytes(data(text))
        return path
    return make


SOURCES = {
    "path": _file(str.encode),
    "text-file": lambda tmp_path, text: io.StringIO(text),
    "binary-file": lambda tmp_path, text: io.BytesIO(text.encode()),
    "crlf": _file(lambda text: text.replace("\n", "\r\n").encode()),
    "utf-8-bom": _file(lambda text: text.encode("utf-8-sig")),
    "utf-16-le-bom": _file(lambda text: b"\xff\xfe" + text.encode("utf-16-le")),
    "utf-16-be-bom": _file(lambda text: b"\xfe\xff" + text.encode("utf-16-be")),
    "utf-16-no-bom": _file(lambda text: text.encode("utf-16-le")),
    "gz": _file(lambda text: gzip.compress(text.encode())),
    "bz2": _file(lambda text: bz2.compress(text.encode())),
    "xz": _file(lambda text: lzma.compress(text.encode())),
    "zip-utf-16": _file(lambda text: _zip(b"\xff\xfe" + text.replace("\n", "\r\n")
                                          .encode("utf-16-le"))),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("writer", WRITERS)
def test_every_layout_gives_the_same_bars(tmp_path, writer, source):
    text = WRITERS[writer](BARS)
    for fmt in (None, writer.split("-")[0]):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert rows(read_csv(SOURCES[source](tmp_path, text), format=fmt)) == BARS, fmt
        # A server's clock is said once per file, and only of the layouts that carry one.
        told = [w for w in caught if w.category is ServerTimeWarning]
        assert len(told) == (writer in ("mt4", "mt5")), fmt


@pytest.mark.parametrize("writer, extras", [
    ("mt5", {"tick_volume": [b[5] for b in BARS], "real_volume": REAL, "spread": SPREAD}),
    ("yfinance", {"adj_close": [b[4] for b in BARS]}),
    ("yfinance-3-rows", {"adj_close": [b[4] for b in BARS]}), ("mt4", {}), ("csv-epoch", {}),
])
def test_extra_columns(writer, extras):
    bars = read_csv(io.StringIO(WRITERS[writer](BARS)))
    assert {name: list(column) for name, column in bars.extras.items()} == extras
    assert {name: list(bars.column(name)) for name in extras} == extras


ATHENS = ZoneInfo("Europe/Athens")


@pytest.mark.parametrize("tz, tzinfo", [
    ("Europe/Athens", ATHENS), (ATHENS, ATHENS), ("+02:00", dt.timezone(dt.timedelta(hours=2))),
    ("UTC-5", dt.timezone(dt.timedelta(hours=-5))), (dt.timezone.min, dt.timezone.min),
], ids=["athens", "zoneinfo", "+02:00", "UTC-5", "tzinfo"])
def test_wall_clock_zones_across_both_dst_changes(tz, tzinfo):
    starts = [dt.datetime(2020, 3, 28, 22, tzinfo=UTC), dt.datetime(2020, 10, 24, 22, tzinfo=UTC)]
    walls = [dt.datetime.fromtimestamp(int(s.timestamp()) + 1800 * k, tzinfo)
             for s in starts for k in range(12)]
    # The autumn's repeated hour cannot be told apart on a wall clock: leave it out.
    kept = [w for w in walls if w.replace(fold=0).utcoffset() == w.replace(fold=1).utcoffset()]
    bars = [_bar(int(w.timestamp()), i) for i, w in enumerate(kept)]
    server = _table([], lambda t: dt.datetime.fromtimestamp(t, tzinfo).strftime("%Y.%m.%d,%H:%M"),
                    volume=_count)(bars)
    assert rows(read_csv(io.StringIO(server), tz=tz)) == bars


def test_zone_leaves_times_with_an_offset_alone():
    text = WRITERS["yfinance"](BARS)
    assert rows(read_csv(io.StringIO(text), tz="Europe/Athens")) == BARS


# Winter and summer: HistData's EST does not move for daylight saving, so both are 5 hours
# behind UTC (New York's clock would be 4 in July).
HISTDATA_ROWS = [("20170102 000000", dt.datetime(2017, 1, 2, 5, tzinfo=UTC)),
                 ("20170703 235900", dt.datetime(2017, 7, 4, 4, 59, tzinfo=UTC))]


def _histdata(sep=";", volume=True):
    tail = f"{sep}0" if volume else ""
    return "".join(f"{t}{sep}1.0522{sep}1.0524{sep}1.0521{sep}1.0523{tail}\n"
                   for t, _ in HISTDATA_ROWS)


@pytest.mark.parametrize("text, options", [
    (_histdata(), {}),
    (_histdata(volume=False), {}),
    (_histdata(sep=","), {}),
    (_histdata(), {"format": "histdata"}),
    (_histdata().replace("\n", "\r\n"), {"delimiter": ";"}),
], ids=["m1-ascii", "no-volume", "commas", "named", "crlf-delimiter-given"])
def test_histdata_times_are_eastern_standard_time(tmp_path, text, options):
    path = tmp_path / "DAT_ASCII_EURUSD_M1_2017.csv.gz"
    path.write_bytes(gzip.compress(text.encode()))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # its zone is known: nothing to warn of
        bars = read_csv(path, **options)
    assert [b.timestamp for b in bars] == [int(u.timestamp()) for _, u in HISTDATA_ROWS]


def test_histdata_archive_with_its_report(tmp_path):
    # As downloaded: the bars' .csv beside a .txt listing the gaps, which is not bars.
    path = tmp_path / "HISTDATA_COM_ASCII_EURUSD_M1_2017.zip"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("DAT_ASCII_EURUSD_M1_2017.csv", _histdata())
        archive.writestr("DAT_ASCII_EURUSD_M1_2017.txt", "HistData.com (c) 2017\nGap of 120s\n")
    bars = read_csv(path)
    assert [b.timestamp for b in bars] == [int(u.timestamp()) for _, u in HISTDATA_ROWS]


@pytest.mark.parametrize("tz, hours", [("UTC", 0), ("Europe/Athens", -2), ("-05:00", 5)],
                         ids=["utc-as-before", "athens", "est-spelled-out"])
def test_a_zone_given_overrides_histdatas(tz, hours):
    bars = read_csv(io.StringIO(_histdata()), tz=tz)
    midnight = int(dt.datetime(2017, 1, 2, tzinfo=UTC).timestamp())
    assert bars[0].timestamp == midnight + 3600 * hours


@pytest.mark.parametrize("writer", ["mt4", "mt5"])
def test_server_time_is_warned_once_at_the_callers_line(tmp_path, writer):
    path = tmp_path / "EURUSD_H1.csv"
    path.write_text(WRITERS[writer](BARS))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        read_csv(path)
        read_csv(path, tz="UTC")  # said what the times are: nothing to warn of
    assert [w.category for w in caught] == [ServerTimeWarning]
    assert issubclass(ServerTimeWarning, UserWarning) and caught[0].filename == __file__
    assert str(caught[0].message).startswith(
        f"{path}: the times of an {writer.upper()} export are the broker's server time, read "
        "as UTC: give tz= your broker's server zone")


@pytest.mark.parametrize("writer", ["mt4", "mt5"])
def test_server_time_warning_does_not_hide_an_error(tmp_path, writer):
    path = tmp_path / "EURUSD_H1.csv"
    path.write_text(WRITERS[writer](BARS[::-1][:1] + BARS[:3]))  # out of time order
    with warnings.catch_warnings(record=True) as caught, pytest.raises(ValueError):
        warnings.simplefilter("always")
        read_csv(path)
    assert not [w for w in caught if w.category is ServerTimeWarning]


@pytest.mark.parametrize("writer, wrong", [
    ("mt4", "histdata"), ("histdata", "mt4"), ("mt5", "dukascopy"), ("dukascopy", "mt5"),
    ("yfinance", "pandas"), ("pandas", "yfinance"), ("mt4", "mt5"),
])
def test_wrong_format_names_the_right_one(tmp_path, writer, wrong):
    path = tmp_path / "EURUSD.csv"
    path.write_text(WRITERS[writer](BARS))
    with pytest.raises(ValueError) as caught:
        read_csv(path, format=wrong)
    assert re.fullmatch(rf"{re.escape(str(path))}: not in the {wrong} layout: [^\n]+; it looks "
                        rf"like {writer}: try format='{writer}'", str(caught.value))


@pytest.mark.parametrize("writer, field, text, message", [
    *((w, 4, "1.2.3", "column 'close': expected a finite number, found '1.2.3'") for w in WRITERS),
    ("histdata", 0, "20200103 256000", "column 'time': '20200103 256000' is not a time in range"),
    ("dukascopy", 0, "03.01.2020 20:03", "column 'time': expected a time like '02.01.2020 "
     "13:30:00.000' (%d.%m.%Y %H:%M:%S.%f), found '03.01.2020 20:03'"),
    ("csv-epoch", 0, "99999999999999999999", "column 'time': '99999999999999999999' is not a"),
    ("mt4", 0, "2020.13.03,21:30", "column 'date': '2020.13.03' is not a time in"),
], ids=[*(f"{w}-price" for w in WRITERS), "histdata-hour", "dukascopy-no-seconds",
        "epoch-overflow", "mt4-month"])
def test_unreadable_field_names_file_line_and_column(tmp_path, writer, field, text, message):
    bad = [b[:field] + (text,) + b[field + 1:] if i == 7 else b for i, b in enumerate(BARS)]
    path = tmp_path / "bars.csv"
    path.write_text(WRITERS[writer](bad))
    line = len(path.read_text().splitlines()) - len(BARS) + 8
    with pytest.raises(ValueError) as caught:
        read_csv(path)
    assert str(caught.value).startswith(f"{path}, line {line}, {message}")
    assert "\n" not in str(caught.value)


def test_bad_row_deep_in_a_large_file(tmp_path):
    t0 = BARS[0][0]
    big = [_bar(t0 + 60 * k, k) for k in range(100_000)]
    path, write = tmp_path / "big.csv", WRITERS["mt4"]
    path.write_text(write(big))
    assert rows(read_csv(path)) == big
    bad = list(big)
    bad[49_999] = bad[49_999][:2] + ("1.1O",) + bad[49_999][3:]
    path.write_text(write(bad))
    with pytest.raises(ValueError, match=rf"^{path}, line 50000, column 'high': expected a "
                                         r"finite number, found '1\.1O'$"):
        read_csv(path)


# Back in time, the same time again, a close above the high, a negative volume.
AS_WRITTEN = [(100, 1.1, 5), (200, 1.1, 5), (150, 1.1, 5), (150, 1.1, 5), (300, 1.3, 5),
              (400, 1.1, -1), (500, 1.1, 5)]
FAULTY = "time,open,high,low,close,volume\n" + "".join(f"{t},1.0,1.2,0.9,{c},{v}\n"
                                                       for t, c, v in AS_WRITTEN)
FIRST = ("line 4, column 'time': 1970-01-01 00:02:30 is before the previous row's "
         "1970-01-01 00:03:20")
TALLY = ("1 out of time order, 1 repeating the previous time, 1 with open or close outside "
         "low..high, 1 with a volume NaN, infinite or negative")


def test_validate_modes():
    with pytest.raises(ValueError) as caught:
        read_csv(io.StringIO(FAULTY))
    assert str(caught.value) == (f"<file>, {FIRST}; 3 more bad rows ({TALLY}); validate='warn' "
                                 "loads them anyway")
    with pytest.warns(UserWarning) as caught:
        bars = read_csv(io.StringIO(FAULTY), validate="warn")
    assert [str(w.message) for w in caught] == [f"<file>, 4 bad rows ({TALLY}); the first: {FIRST}"]
    assert [(b.timestamp, b.close, b.volume) for b in bars] == AS_WRITTEN
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        bars = read_csv(io.StringIO(FAULTY), validate="off")
    assert [(b.timestamp, b.close, b.volume) for b in bars] == AS_WRITTEN


def test_newest_first_is_reversed_and_lines_still_point_at_the_file():
    text = WRITERS["mt4"](BARS[::-1])
    with pytest.warns(UserWarning, match="newest bar first: reversed to oldest first"):
        assert rows(read_csv(io.StringIO(text))) == BARS
    bad = [b if i != 2 else b[:3] + (b[2] * 2,) + b[4:] for i, b in enumerate(BARS[::-1])]
    with pytest.warns(UserWarning, match="newest bar first"), \
            pytest.raises(ValueError, match="^<file>, line 3, column 'low': low"):
        read_csv(io.StringIO(WRITERS["mt4"](bad)))


def _columns():
    np = pytest.importorskip("numpy")
    return [np.array([b[k] for b in BARS]) for k in range(6)]


def _frame():
    pd = pytest.importorskip("pandas")
    ts, *values = _columns()
    return pd.DataFrame(dict(zip(["Open", "High", "Low", "Close", "Volume"], values)),
                        index=pd.to_datetime(ts, unit="s", utc=True).rename("Date"))


def _polars():
    pl = pytest.importorskip("polars")
    ts, *values = _columns()
    return pl.DataFrame({"time": ts.astype("datetime64[s]").astype("datetime64[ms]"),
                         **dict(zip(["open", "high", "low", "close", "volume"], values))})


def _written(write, read):
    return lambda tmp_path: (pytest.importorskip("pyarrow"), write(tmp_path / "bars"),
                             read(tmp_path / "bars"))[-1]


LOADERS = {
    "arrays": lambda tmp_path: from_arrays(*_columns()),
    "pandas-index": lambda tmp_path: from_dataframe(_frame()),
    "pandas-column": lambda tmp_path: from_dataframe(_frame().reset_index()),
    "yfinance-columns": lambda tmp_path: from_dataframe(_frame().pipe(
        lambda df: df.set_axis(pytest.importorskip("pandas").MultiIndex.from_product(
            [df.columns, [TICKER]], names=["Price", "Ticker"]), axis=1))),
    "polars": lambda tmp_path: from_dataframe(_polars()),
    "parquet-index": _written(lambda p: _frame().to_parquet(p), read_parquet),
    "parquet-polars": _written(lambda p: _polars().write_parquet(p), read_parquet),
    "feather": _written(lambda p: _frame().reset_index().to_feather(p), read_feather),
}


@pytest.mark.parametrize("loader", LOADERS)
def test_frames_arrays_and_arrow_files_match_the_csv(tmp_path, loader):
    assert rows(LOADERS[loader](tmp_path)) == rows(read_csv(io.StringIO(WRITERS["mt4"](BARS))))


def test_frame_errors_name_the_row_label():
    frame = _frame()
    frame.iloc[3, frame.columns.get_loc("Low")] = 2e5
    with pytest.raises(ValueError, match=re.escape(f"row {frame.index[3]!r}, column 'low': low")):
        from_dataframe(frame)
    polars = _polars().with_columns(low=_polars()["low"].scatter(3, 2e5))
    with pytest.raises(ValueError, match="^row 3, column 'low': low"):
        from_dataframe(polars)


def _bits(x):
    return struct.pack("<d", x)


def _read_numbers(texts):
    body = "".join(f"{i},{text},1,1,1\n" for i, text in enumerate(texts))
    bars = read_csv(io.StringIO("time,open,high,low,close\n" + body), validate="off")
    return [_bits(b.open) for b in bars]


FINITE = st.floats(allow_nan=False, allow_infinity=False)
DECIMALS = st.one_of(
    *(FINITE.map(f.format) for f in ("{!r}", "{:.5f}", "{:.3e}", "{:.17g}")),
    st.from_regex(r"\A[+-]?([0-9]{1,25}\.?[0-9]{0,25}|\.[0-9]{1,25})([eE][+-]?[0-9]{1,3})?\Z"))
EDGES = ["+1.5", " 2 ", "-0.0", "1e400", "-1e400", "5.", ".5", "1e-400", "4e-324",
         "2.2250738585072011e-308", "1.7976931348623157e308", "1.7976931348623159e308",
         "9007199254740993", "123456789012345", "0.000000000000001", "0.30000000000000004",
         "1.12345000000000000000000000000001", "inf", "-Infinity"]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["", " ", "\t"]), DECIMALS,
                          st.sampled_from(["", " "])).map("".join), min_size=1, max_size=30))
@example(EDGES)
def test_numbers_are_read_as_python_reads_them(texts):
    assert _read_numbers(texts) == [_bits(float(text)) for text in texts]


@pytest.mark.parametrize("text", ["0." + "0" * 400 + "1", "1" + "0" * 400 + "e-5",
                                  "0." + "0" * 350 + "1e10"],
                         ids=["long-tiny-decimal", "long-huge-mantissa", "tiny-positive-exponent"])
def test_long_out_of_range_numbers(text):
    assert _read_numbers([text]) == [_bits(float(text))]
