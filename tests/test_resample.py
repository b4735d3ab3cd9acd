"""Resampling against pandas: the same periods, labels and values to the bit, on the wall clock
of a zone with the trading day starting when the caller says."""
import datetime as dt
from zoneinfo import ZoneInfo

import pytest

from candlewright.bars import from_arrays
from candlewright.resample import resample

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

UTC = dt.timezone.utc
NEW_YORK = ZoneInfo("America/New_York")
AGG = {"open": "first", "high": "max", "low": "min", "close": "last"}


def rows(bars):
    return [(b.timestamp, b.open, b.high, b.low, b.close, b.volume) for b in bars]


def _minutes():
    """Minute bars with gaps over both New York DST changes, shut from Friday 17:00 to Sunday
    17:00 there as the currency market is, so every wall-clock time is unambiguous."""
    rng = np.random.default_rng(20200308)
    ts = np.concatenate([int(dt.datetime(2020, month, day, tzinfo=UTC).timestamp())
                         + 60 * np.arange(15 * 1440) for month, day in ((2, 27), (10, 22))])
    local = pd.to_datetime(ts, unit="s", utc=True).tz_convert(NEW_YORK)
    hour = local.day_of_week * 24 + local.hour  # from Monday 00:00
    shut = (hour >= 4 * 24 + 17) & (hour < 6 * 24 + 17)
    ts = ts[~shut & (rng.random(len(ts)) > 0.15) & ((ts // 3600) % 97 != 5)]
    close = 1.1 + np.cumsum(rng.normal(0, 1e-4, len(ts)))
    open_ = np.r_[1.1, close[:-1]]
    high = np.maximum(open_, close) + rng.random(len(ts)) * 1e-4
    low = np.minimum(open_, close) - rng.random(len(ts)) * 1e-4
    volume = rng.random(len(ts)) * 10.0 ** rng.integers(-3, 7, len(ts))
    return ts, {"open": open_, "high": high, "low": low, "close": close, "volume": volume}


TS, COLUMNS = _minutes()
BARS = from_arrays(TS, *COLUMNS.values())


def _pandas(rule, tzinfo=UTC, day_start=0):
    """pandas' resample on the zone's wall clock, shifted so that the day starts at midnight."""
    shift = pd.Timedelta(seconds=day_start if day_start < 43200 else day_start - 86400)
    wall = pd.to_datetime(TS, unit="s", utc=True).tz_convert(tzinfo).tz_localize(None) - shift
    assert wall.is_monotonic_increasing
    frame = pd.DataFrame({k: v for k, v in COLUMNS.items() if k != "volume"}, index=wall)
    out = frame.resample(rule, label="left", closed="left").agg(AGG).dropna()
    codes = np.searchsorted(out.index.as_unit("ns").asi8, wall.as_unit("ns").asi8, "right") - 1
    labels = (out.index + shift).tz_localize(tzinfo).tz_convert(UTC).as_unit("s").asi8
    # pandas 3.1 sums sorted groups with np.add.reduceat; a leading row of an extra group puts
    # the codes out of order, which keeps its compensated kernel, summing in row order.
    volume = pd.Series(np.r_[0.0, COLUMNS["volume"]]).groupby(np.r_[len(out), codes]).sum()
    volume = volume.to_numpy()[:len(out)]
    return list(zip(labels.tolist(), *(out[k].tolist() for k in AGG), volume.tolist()))


NY = ("America/New_York", NEW_YORK)
ATHENS = ("Europe/Athens", ZoneInfo("Europe/Athens"))
PLUS2 = ("+02:00", dt.timezone(dt.timedelta(hours=2)))


@pytest.mark.parametrize("rule, pandas_rule, zone, day_start", [
    ("1m", "1min", None, "00:00"), ("5m", "5min", None, "00:00"),
    ("15m", "15min", None, "00:00"), ("1h", "1h", None, "00:00"), ("4h", "4h", None, "00:00"),
    ("1d", "1D", None, "00:00"), ("1w", "W-MON", None, "00:00"),
    ("1h", "1h", NY, "00:00"), ("4h", "4h", NY, "00:00"), ("1d", "1D", NY, "00:00"),
    ("1w", "W-MON", NY, "00:00"), ("4h", "4h", NY, "17:00"), ("1d", "1D", NY, "17:00"),
    ("1w", "W-MON", NY, "17:00"), ("15m", "15min", ATHENS, "07:30"),
    ("1d", "1D", ATHENS, "07:30"), ("1d", "1D", PLUS2, "22:00"), ("1w", "W-MON", PLUS2, "22:00"),
], ids=lambda v: v[0] if isinstance(v, tuple) else v)
def test_matches_pandas(rule, pandas_rule, zone, day_start):
    name, tzinfo = zone or (None, UTC)
    hours, minutes = map(int, day_start.split(":"))
    expected = _pandas(pandas_rule, tzinfo, (hours * 60 + minutes) * 60)
    assert rows(resample(BARS, rule, tz=name, day_start=day_start)) == expected


def _utc(*args):
    return int(dt.datetime(*args, tzinfo=UTC).timestamp())


def test_fx_days_and_weeks_over_the_spring_change():
    times = [_utc(2020, 3, 5, 21, 59), _utc(2020, 3, 5, 22), _utc(2020, 3, 6, 21, 59),
             _utc(2020, 3, 8, 21), _utc(2020, 3, 9, 20, 59), _utc(2020, 3, 9, 21)]
    bars = from_arrays(times, *[[1.0] * 6] * 4, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    # 17:00 New York is 22:00 UTC in winter and 21:00 in summer.
    days = [(b.timestamp, b.volume) for b in resample(bars, "1d", fx_day=True)]
    assert days == [(_utc(2020, 3, 4, 22), 1.0), (_utc(2020, 3, 5, 22), 5.0),
                    (_utc(2020, 3, 8, 21), 9.0), (_utc(2020, 3, 9, 21), 6.0)]
    weeks = [(b.timestamp, b.volume) for b in resample(bars, "1w", fx_day=True)]
    assert weeks == [(_utc(2020, 3, 1, 22), 6.0), (_utc(2020, 3, 8, 21), 15.0)]


def test_labels_increase_through_the_repeated_hour():
    bars = from_arrays([_utc(2020, 11, 1, 4) + 60 * k for k in range(240)], *[[1.0] * 240] * 5)
    labels = [b.timestamp for b in resample(bars, "15m", tz="America/New_York")]
    assert all(a < b for a, b in zip(labels, labels[1:])), labels


@pytest.mark.parametrize("rule, kwargs", [("15m", {}), ("4h", {"fx_day": True}),
                                          ("1d", {"fx_day": True}), ("1w", {})],
                         ids=["15m", "4h-fx", "1d-fx", "1w"])
def test_no_look_ahead(rule, kwargs):
    full = rows(resample(BARS, rule, **kwargs))
    for cut in np.random.default_rng(7).integers(1, len(BARS), 12).tolist() + [1, len(BARS)]:
        part = rows(resample(BARS[:cut], rule, **kwargs))
        # Only the last period can still grow; the ones before it are final.
        assert part[:-1] == full[:len(part) - 1]
        assert part[-1][:2] == full[len(part) - 1][:2]


def test_sequences_of_bars_and_empty_input():
    assert rows(resample(list(BARS[:500]), "1h")) == rows(resample(BARS[:500], "1h"))
    assert len(resample(BARS[:0], "1h", fx_day=True)) == 0


@pytest.mark.parametrize("times, row", [([60, 120, 90], 2), ([60, 60, 120], 1)],
                         ids=["backwards", "repeated"])
def test_out_of_order_bars_are_refused(times, row):
    bars = from_arrays(times, *[[1.0] * 3] * 4, validate="off")
    with pytest.raises(ValueError, match=f"in time order to resample: bar {row} "
                                         f"\\({times[row]}\\) is not after bar {row - 1}"):
        resample(bars, "1h")


@pytest.mark.parametrize("kwargs, message", [
    *(({"rule": r}, "must divide a day") for r in ("7m", "2d", "2w", "0m")),
    *(({"rule": r}, "unknown period") for r in ("1y", "1.5h", "", 60)),
    ({"rule": "1d", "day_start": "24:00"}, "day_start"), ({"day_start": "5pm"}, "day_start"),
    ({"rule": "1d", "tz": "Mars/Olympus"}, "unknown time zone"),
], ids=lambda v: "-".join(map(repr, v.values())) if isinstance(v, dict) else "")
def test_bad_arguments_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        resample(BARS, **{"rule": "1d", **kwargs})
