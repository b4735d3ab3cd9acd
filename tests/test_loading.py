"""Reading bars from CSV files and data frames, and the bundled sample."""
import gzip
import io
import pathlib
import runpy

import pytest

from candlewright import Bar, from_dataframe, read_csv, sample_bars

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "python" / "candlewright" / "sample" / "eurusd_h1.csv.gz"
JAN4 = 1_609_718_400  # 2021-01-04T00:00:00Z


def fields(bar):
    return (bar.timestamp, bar.open, bar.high, bar.low, bar.close, bar.volume)


def read(text):
    return [fields(b) for b in read_csv(io.StringIO(text))]


@pytest.mark.parametrize("text, expected", [
    ("time,open,high,low,close,volume\n5,1,2,0.5,1.5,10\n", [(5, 1.0, 2.0, 0.5, 1.5, 10.0)]),
    (" Close ,LOW,High,Open,Timestamp,spread\n1.5,0.5,2,1,5,0.1\n", [(5, 1.0, 2.0, 0.5, 1.5, 0.0)]),
    ("\ufeffDate,open,high,low,close\n\n5,1,2,0.5,1.5\n\n", [(5, 1.0, 2.0, 0.5, 1.5, 0.0)]),
    ("time,open,high,low,close,volume\n5,1,2,0.5,1.5,\n", [(5, 1.0, 2.0, 0.5, 1.5, 0.0)]),
    ("time,open,high,low,close\n", []),
], ids=["plain", "any-case-order-and-extra-column", "bom-alias-blank-lines", "empty-volume",
        "header-only"])
def test_columns_by_name(text, expected):
    assert read(text) == expected


@pytest.mark.parametrize("time, expected", [
    ("1700000000", 1_700_000_000),
    ("-5", -5),
    ("9223372036854775807", 2**63 - 1),
    ("2021-01-04", JAN4),
    ("2021-01-04T10:00:00", JAN4 + 36_000),
    ("2021-01-04 10:00", JAN4 + 36_000),
    ("2021-01-04T10:00:00Z", JAN4 + 36_000),
    ("2021-01-04T12:00:00+02:00", JAN4 + 36_000),
    ("2021-01-04T10:00:00.000", JAN4 + 36_000),
    ("1969-12-31T23:59:59Z", -1),
])
def test_time_column(time, expected):
    assert read(f"time,open,high,low,close\n{time},1,1,1,1\n")[0][0] == expected


@pytest.mark.parametrize("row, line, column", [
    ("yesterday,1,1,1,1", 4, "time"),
    ("2021-01-04T10:00:00.5,1,1,1,1", 4, "time"),
    ("9223372036854775808,1,1,1,1", 4, "time"),
    ("5,1,x,1,1", 4, "high"),
    ("5,1,1,nan,1", 4, "low"),
    ("5,1,1,1,inf", 4, "close"),
    ("5,1,1,1,1,lots", 4, "volume"),
    ("5,1,1,1", 4, "close"),
    ('5,1,1,1,"1\n2"', 5, "close"),
], ids=["time-word", "fractional-second", "epoch-overflow", "price-word", "nan", "inf",
        "volume-word", "short-row", "quoted-newline"])
def test_bad_row_names_line_and_column(row, line, column):
    # Line 3 is blank; the bad row follows it.
    text = f"time,open,high,low,close,volume\n1,1,1,1,1,1\n\n{row}\n6,1,1,1,1,1\n"
    with pytest.raises(ValueError, match=f"line {line}, column '{column}'|line {line}: .*'{column}'"):
        read(text)


@pytest.mark.parametrize("header, message", [
    ("time,open,high,close", "missing column low"),
    ("open,high,low,close", "missing column timestamp/time/date"),
    ("time,date,open,high,low,close", "more than one column"),
    ("", "empty file"),
])
def test_bad_header(header, message):
    with pytest.raises(ValueError, match=message):
        read(header + "\n" if header else "")


def test_paths_files_and_gzip(tmp_path):
    text = "time,open,high,low,close,volume\n5,1,2,0.5,1.5,10\n"
    expected = read(text)
    plain, packed = tmp_path / "bars.csv", tmp_path / "bars.CSV.GZ"
    plain.write_text(text)
    packed.write_bytes(gzip.compress(text.encode()))
    assert [fields(b) for b in read_csv(plain)] == expected
    assert [fields(b) for b in read_csv(str(packed))] == expected
    raw = io.BytesIO(text.encode("utf-8-sig"))
    assert [fields(b) for b in read_csv(raw)] == expected
    assert not raw.closed, "the caller's file must stay open"
    with gzip.open(packed) as unpacked:
        assert [fields(b) for b in read_csv(unpacked)] == expected


def test_sample_regenerates_identically(tmp_path):
    out = tmp_path / "sample.csv.gz"
    runpy.run_path(str(ROOT / "tools" / "make_sample.py"), run_name="make_sample")["write"](out)
    shipped = SAMPLE.read_bytes()
    assert gzip.decompress(out.read_bytes()) == gzip.decompress(shipped)
    assert shipped[4:8] == b"\0\0\0\0", "gzip header must carry no time"
    assert len(shipped) < 1_000_000


def test_sample_bars_are_sane():
    bars = sample_bars()
    assert 15_000 < len(bars) < 20_000
    assert all(b.low <= min(b.open, b.close) and max(b.open, b.close) <= b.high for b in bars)
    steps = {b.timestamp - a.timestamp for a, b in zip(bars, bars[1:])}
    assert min(steps) == 3600 and max(steps) == 3600 * 49  # hourly, with weekends shut


def test_dataframe_matches_csv():
    pd = pytest.importorskip("pandas")
    text = ("Date,Open,High,Low,Close,Volume\n"
            "2021-01-04T10:00:00Z,1.1,1.2,1.0,1.15,7\n2021-01-04T11:00:00Z,1.15,1.3,1.1,1.2,8\n")
    expected = read(text)
    frame = pd.read_csv(io.StringIO(text))
    assert [fields(b) for b in from_dataframe(frame)] == expected  # strings in the time column
    frame["Date"] = pd.to_datetime(frame["Date"])
    assert [fields(b) for b in from_dataframe(frame)] == expected  # tz-aware date-times
    indexed = frame.set_index("Date")
    indexed.index = indexed.index.tz_convert("Europe/Berlin")
    assert [fields(b) for b in from_dataframe(indexed)] == expected  # DatetimeIndex
    indexed.index = indexed.index.tz_convert("UTC").tz_localize(None)
    assert [fields(b) for b in from_dataframe(indexed)] == expected  # naive means UTC
    epochs = frame.assign(Date=[JAN4 + 36_000, JAN4 + 39_600]).drop(columns="Volume")
    assert [fields(b) for b in from_dataframe(epochs)] == [f[:5] + (0.0,) for f in expected]


@pytest.mark.parametrize("change, message", [
    ({"close": [1.0, float("nan")]}, "row 'b', column 'close'"),
    ({"time": [1, 2.5]}, "row 'b', column 'time'"),
    ({"time": [1, None]}, "row 'b', column 'time'"),
])
def test_dataframe_bad_values(change, message):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"time": [1, 2], "open": 1.0, "high": 1.0, "low": 1.0, "close": 1.0},
                         index=["a", "b"])
    with pytest.raises(ValueError, match=message):
        from_dataframe(frame.assign(**change))
