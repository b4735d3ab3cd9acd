"""The bundled minute sample: EURUSD's M1 bars, which resample to the hourly sample exactly."""
import datetime as dt
import gzip
import io
import pathlib
import runpy

import pytest

from candlewright import read_csv, resample, sample_bars

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHIPPED = ROOT / "python" / "candlewright" / "sample" / "eurusd_m1.csv.gz"
FIELDS = ("open", "high", "low", "close", "volume")
UTC = dt.timezone.utc


@pytest.fixture(scope="module")
def tool():
    return runpy.run_path(str(ROOT / "tools" / "make_eurusd_m1_sample.py"), run_name="make_m1")


@pytest.fixture(scope="module")
def m1():
    return sample_bars("EURUSD", "M1")


@pytest.fixture(scope="module")
def h1_span(m1):
    h1 = sample_bars()
    stamps = list(h1.timestamp)
    return h1[stamps.index(m1.timestamp[0]):stamps.index(m1.timestamp[len(m1) - 1] - 59 * 60) + 1]


def columns(bars):
    return [list(bars.timestamp)] + [list(bars.column(name)) for name in FIELDS]


def test_resampled_to_hours_is_the_hourly_sample(m1, h1_span):
    hourly = resample(m1, "1h")
    assert len(hourly) == len(h1_span) > 4500
    # Exactly, float for float: the hourly bars a backtest sees must not move.
    assert columns(hourly) == columns(h1_span)


def test_span_is_the_hourly_sample_from_april_2023_to_its_end(m1, h1_span):
    h1 = sample_bars()
    assert m1.timestamp[0] == int(dt.datetime(2023, 4, 2, 22, tzinfo=UTC).timestamp())
    assert h1_span.timestamp[len(h1_span) - 1] == h1.timestamp[len(h1) - 1]
    assert m1.timestamp[len(m1) - 1] == h1.timestamp[len(h1) - 1] + 59 * 60


def test_minutes_are_valid_whole_and_in_order(m1):
    stamps = list(m1.timestamp)
    assert all(t % 60 == 0 for t in stamps)
    assert all(a < b for a, b in zip(stamps, stamps[1:]))
    # Every hour that trades has all its 60 minutes.
    per_hour = {}
    for t in stamps:
        per_hour[t - t % 3600] = per_hour.get(t - t % 3600, 0) + 1
    assert set(per_hour.values()) == {60}
    opens, highs, lows, closes = (m1.column(name) for name in FIELDS[:4])
    assert all(lo <= min(o, c) and max(o, c) <= hi
               for o, hi, lo, c in zip(opens, highs, lows, closes))
    assert all(v == int(v) and v >= 0 for v in m1.column("volume"))


def test_prices_are_on_the_hourly_grid():
    with gzip.open(SHIPPED, "rt") as text:
        header = next(text)
        rows = [next(text) for _ in range(5000)]
    assert header == "time,open,high,low,close,volume\n"
    for row in rows:
        assert all(len(p.split(".")[1]) == 5 for p in row.split(",")[1:5]), row


def test_high_and_low_come_first_about_equally(tool):
    # A strategy's stop and target sit either side of the price: a sample where one extreme
    # always came first would settle every doubtful hour the same way.
    order = {"high": 0, "low": 0, "same": 0}
    for hour in tool["hours"](dt.datetime(2023, 10, 2, tzinfo=UTC),
                              dt.datetime(2023, 10, 28, tzinfo=UTC)):
        _, _, h, lo, _, _ = hour
        bars = tool["minutes"](hour)
        at_high = next(m for m, bar in enumerate(bars) if bar[1] == h)
        at_low = next(m for m, bar in enumerate(bars) if bar[2] == lo)
        order["high" if at_high < at_low else "low" if at_low < at_high else "same"] += 1
    decided = order["high"] + order["low"]
    assert decided > 400
    assert 0.4 < order["high"] / decided < 0.6
    assert order["same"] < 0.05 * decided


@pytest.mark.parametrize("o, h, lo, c", [
    pytest.param(100, 100, 100, 100, id="flat"),
    pytest.param(100, 101, 100, 101, id="one-point-rising"),
    pytest.param(101, 101, 100, 100, id="one-point-falling"),
    pytest.param(100, 150, 100, 150, id="open-at-low-close-at-high"),
    pytest.param(150, 150, 100, 100, id="open-at-high-close-at-low"),
    pytest.param(120, 150, 100, 120, id="inside"),
    pytest.param(100, 102, 100, 100, id="open-and-close-at-low"),
])
def test_odd_hours_keep_their_bar(tool, o, h, lo, c):
    stamp = "2023-05-01T10:00:00Z"
    for volume in (0, 1, 59, 61, 1234):
        bars = tool["minutes"]((stamp, o, h, lo, c, volume))
        assert len(bars) == 60
        assert bars[0][0] == o and bars[-1][3] == c
        assert max(b[1] for b in bars) == h and min(b[2] for b in bars) == lo
        assert all(b[2] <= min(b[0], b[3]) and max(b[0], b[3]) <= b[1] for b in bars)
        assert all(a[3] == b[0] for a, b in zip(bars, bars[1:]))
        assert sum(b[4] for b in bars) == volume and min(b[4] for b in bars) >= 0


def test_regenerates_identically(tool):
    shipped = SHIPPED.read_bytes()
    # Compared unpacked, as the hourly samples are: zlib builds may pack the same text apart.
    assert tool["generate"]() == gzip.decompress(shipped)
    assert shipped[4:8] == b"\0\0\0\0", "gzip header must carry no time"
    assert len(shipped) < 3_000_000, "it ships in the wheel"


def test_a_stretch_regenerates_alone(tool, m1):
    # Each hour draws from its own seed, so a day made on its own is the shipped day.
    made = tool["generate"](dt.datetime(2023, 6, 5, tzinfo=UTC),
                            dt.datetime(2023, 6, 6, tzinfo=UTC))
    day = read_csv(io.BytesIO(made))
    assert len(day) == 24 * 60
    at = list(m1.timestamp).index(day.timestamp[0])
    assert columns(day) == columns(m1[at:at + len(day)])


@pytest.mark.parametrize("args, error, words", [
    pytest.param(("USDJPY", "M1"), ValueError, "'EURUSD' M1", id="no-yen-minutes"),
    pytest.param(("EURUSD", "M5"), ValueError, "'EURUSD' M1", id="no-five-minutes"),
    pytest.param(("EURUSD", "1m"), ValueError, "'USDJPY' H1", id="rule-spelling"),
    pytest.param(("EURUSD", None), TypeError, "timeframe", id="not-a-str"),
])
def test_unknown_timeframe_names_the_bundled_ones(args, error, words):
    with pytest.raises(error, match=words):
        sample_bars(*args)


@pytest.mark.parametrize("args", [
    pytest.param(("eurusd", "m1"), id="lower-case"),
    pytest.param(("EURUSD", "M1"), id="upper-case"),
])
def test_timeframe_spellings(args, m1):
    assert len(sample_bars(*args)) == len(m1)


def test_hourly_default_unchanged():
    assert columns(sample_bars()) == columns(sample_bars("EURUSD", "H1"))
    assert columns(sample_bars("USDJPY")) == columns(sample_bars("usdjpy", "h1"))
