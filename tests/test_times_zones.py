"""Times and zones: a time is read as the file means it or refused, never silently moved; a
zone's wall clock turns into UTC exactly as zoneinfo reads it (fold=0); and no time, however
near the ends of int64, gives a wrong date or undefined arithmetic."""
import array
import datetime as dt
import io
import pickle
import random
import re
import zoneinfo

import pytest

from candlewright import _backtest
from candlewright._backtest import Bars
from candlewright.bars import read_csv, zone_table
from candlewright.resample import resample
from conftest import leak_check, requires_debug_build

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1)
I64_MIN, I64_MAX = -2**63, 2**63 - 1
ROW = "1.1,1.2,1.0,1.15"


def utc(*args):
    return int(dt.datetime(*args, tzinfo=UTC).timestamp())


def bars_at(times, **extras):
    ones = array.array("d", [1.0] * len(times))
    return Bars.from_columns(array.array("q", times), ones, ones, ones, ones, None,
                             {k: array.array("d", v) for k, v in extras.items()} or None)


def wall_to_utc(seconds, zone):
    """zoneinfo's reading of a wall-clock time given as seconds: fold=0."""
    return int((EPOCH + dt.timedelta(seconds=seconds)).replace(tzinfo=zone).timestamp())


def stamps(text, **options):
    return list(read_csv(io.StringIO(text), **options).timestamp)


# --- times as files write them ---------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("Date,Open,High,Low,Close\n20200102,{r}\n20200103,{r}\n",
     [utc(2020, 1, 2), utc(2020, 1, 3)]),
    ("Date,Time,Open,High,Low,Close\n20200102,10:00,{r}\n20200102,10:05,{r}\n",
     [utc(2020, 1, 2, 10), utc(2020, 1, 2, 10, 5)]),
    ("20200102,23:59:59,{r}\n20200103,00:00:00,{r}\n",
     [utc(2020, 1, 2, 23, 59, 59), utc(2020, 1, 3)]),
    ("20200102,{r}\n20200106,{r}\n", [utc(2020, 1, 2), utc(2020, 1, 6)]),
    ("time,open,high,low,close\n20200228,{r}\n20200229,{r}\n",
     [utc(2020, 2, 28), utc(2020, 2, 29)]),
    # Epochs stay epochs: eight digits that are no day, and the usual widths.
    ("timestamp,open,high,low,close\n10000000,{r}\n10003600,{r}\n", [10000000, 10003600]),
    ("time,open,high,low,close\n20201399,{r}\n20201400,{r}\n", [20201399, 20201400]),
    ("time,open,high,low,close\n1577923200,{r}\n1577926800,{r}\n",
     [1577923200, 1577926800]),
], ids=["daily", "date-and-time", "headerless-date-time", "headerless-daily", "leap-day",
        "epoch-8-digits", "epoch-not-a-day", "epoch-10-digits"])
def test_eight_digit_dates_and_epochs(text, expected):
    assert stamps(text.format(r=ROW)) == expected


@pytest.mark.parametrize("text, message", [
    ("Date,Time,Open,High,Low,Close\n1577923200,10:00,{r}\n", "beside a time of day is not a date"),
    ("1577923200,10:00,{r}\n", "beside a time of day is not a date"),
], ids=["header", "headerless"])
def test_an_epoch_beside_a_time_of_day_is_refused(text, message):
    with pytest.raises(ValueError, match=message):
        read_csv(io.StringIO(text.format(r=ROW)))


def _slashed(days, order):
    """Rows in April 2017 on the given days, at 10:00 to 15:00 in turn."""
    rows = [(f"{d:02d}/04/2017" if order == "day" else f"04/{d:02d}/2017") for d in days]
    return "time,open,high,low,close\n" + "".join(f"{r} {10 + i % 6}:00,{ROW}\n"
                                                  for i, r in enumerate(rows))


# The sniffer sees 50 lines; the days that settle the order come before or after them.
LATE = sorted(list(range(1, 13)) * 6) + [13]


@pytest.mark.parametrize("days, order", [
    ([1, 19], "day"), ([1, 19], "month"), (LATE, "day"), (LATE, "month"),
], ids=["day-first-row-2", "month-first-row-2", "day-first-row-73", "month-first-row-73"])
def test_day_and_month_are_told_apart_from_the_whole_file(days, order):
    clock = "%d/%m/%Y %H:%M" if order == "day" else "%m/%d/%Y %H:%M"
    text = _slashed(days, order)
    assert stamps(text) == stamps(text, date_format=clock)
    assert stamps(text)[-1] == utc(2017, 4, days[-1], 10 + (len(days) - 1) % 6)


@pytest.mark.parametrize("text, message", [
    (_slashed(range(1, 13), "day"), "could be day/month or month/day"),
    (_slashed([3], "day") + f"19/04/2017 10:00,{ROW}\n04/20/2017 10:00,{ROW}\n",
     "neither all day/month nor all month/day"),
], ids=["every-date-either", "both-orders"])
def test_day_and_month_undecided_is_refused(text, message):
    with pytest.raises(ValueError, match=message):
        read_csv(io.StringIO(text))


@pytest.mark.parametrize("t", [
    I64_MIN, I64_MIN + 1, I64_MIN + 86399, I64_MIN + 86400, -62_135_596_801, -1, 0, 86399,
    253_402_300_800, I64_MAX - 86400, I64_MAX,
], ids=["min", "min+1", "min+day-1", "min+day", "before-year-1", "-1", "0", "day-1",
        "year-10000", "max-day", "max"])
def test_repr_shows_the_right_time_for_any_int64(t):
    shown = re.search(r"bar, (.*) to ", repr(bars_at([t]))).group(1)
    year, month, day, hour, minute, second = map(int, re.fullmatch(
        r"(-?\d+)-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)", shown).groups())
    cycles, rest = divmod(year - 2000, 400)  # the calendar repeats every 400 years
    day_ = dt.date(2000 + rest, month, day).toordinal() - dt.date(1970, 1, 1).toordinal()
    clock = dt.time(hour, minute, second)
    assert (day_ + cycles * 146_097) * 86400 + clock.hour * 3600 + clock.minute * 60 \
        + clock.second == t


# --- zones -----------------------------------------------------------------------------------

def _hours(zone_name, start, count, step=1800):
    """A file of wall-clock times in a zone, every `step` seconds of wall clock from `start`."""
    first = int((dt.datetime(*start) - EPOCH).total_seconds())
    walls = [first + step * k for k in range(count)]
    text = "time,open,high,low,close\n" + "".join(
        f"{EPOCH + dt.timedelta(seconds=w):%Y-%m-%d %H:%M:%S},{ROW}\n" for w in walls)
    return walls, text


@pytest.mark.parametrize("zone_name, start", [
    ("America/New_York", (2020, 11, 1, 0)), ("Europe/Athens", (2020, 10, 25, 2)),
    ("Australia/Lord_Howe", (2020, 4, 5, 1)), ("Europe/Dublin", (2020, 10, 25, 0)),
    ("America/New_York", (2020, 3, 8, 1)), ("Europe/Athens", (2020, 3, 29, 2)),
    ("Pacific/Apia", (2011, 12, 29, 22)), ("Europe/Athens", (2400, 10, 29, 2)),
], ids=["new-york-autumn", "athens-autumn", "lord-howe-half-hour", "dublin-negative-dst",
        "new-york-spring", "athens-spring", "apia-skipped-day", "athens-2400"])
def test_repeated_and_skipped_wall_times_read_as_zoneinfo_does(zone_name, start):
    walls, text = _hours(zone_name, start, 8)
    zone = zoneinfo.ZoneInfo(zone_name)
    got = list(read_csv(io.StringIO(text), tz=zone_name, validate="off").timestamp)
    assert got == [wall_to_utc(w, zone) for w in walls]


SOME_ZONES = sorted(set(random.Random(7).sample(sorted(zoneinfo.available_timezones()), 24))
                    | {"America/Santiago", "Asia/Jerusalem", "Africa/Casablanca",
                       "Antarctica/Troll", "Asia/Tehran", "Pacific/Chatham"})


@pytest.mark.parametrize("zone_name", SOME_ZONES)
def test_wall_clocks_around_every_change_match_zoneinfo(zone_name):
    zone = zoneinfo.ZoneInfo(zone_name)
    for first, last in ((utc(1965, 1, 1), utc(2045, 1, 1)), (utc(9990, 1, 1), utc(9999, 12, 1))):
        starts, offsets = zone_table(zone_name, first, last)
        probes = [starts[0] + 1] + [starts[k] + d for k in range(1, len(starts))
                                    for d in (-1, 0)]
        assert [int(dt.datetime.fromtimestamp(t, zone).utcoffset().total_seconds())
                for t in probes] == [offsets[0]] + [o for k in range(1, len(starts))
                                                   for o in (offsets[k - 1], offsets[k])]
        walls = sorted({starts[k] + offsets[j] + d for k in range(1, len(starts))
                        for j in (k - 1, k) for d in (-3601, -1, 0, 1, 1800, 3600)}
                       | {first + 5 * 86400})
        walls = [w for w in walls if first + 3 * 86400 < w < last - 3 * 86400]
        got = _backtest.to_utc(bars_at(walls), starts, offsets, None).timestamp
        assert list(got) == [wall_to_utc(w, zone) for w in walls]


def test_a_span_of_ten_thousand_years_reads_as_zoneinfo_does():
    walls, text = [], "time,open,high,low,close\n"
    for year in (1, 1970, 2038, 9999):
        walls.append(int((dt.datetime(year, 7, 1, 12) - EPOCH).total_seconds()))
        text += f"{year:04d}-07-01 12:00:00,{ROW}\n"
    zone = zoneinfo.ZoneInfo("Europe/Athens")
    assert stamps(text, tz="Europe/Athens") == [wall_to_utc(w, zone) for w in walls]


class _Tuesday(dt.tzinfo):
    """Not a zoneinfo zone: +3 hours from 2017-03-21 (a Tuesday), +2 before."""
    change = utc(2017, 3, 21)

    def utcoffset(self, when):
        if when is None:
            return None
        return dt.timedelta(hours=3 if (when - dt.timedelta(hours=2)).replace(tzinfo=None)
                            >= dt.datetime(2017, 3, 21) else 2)

    def fromutc(self, when):
        t = (when.replace(tzinfo=None) - EPOCH).total_seconds()
        return when + dt.timedelta(hours=3 if t >= self.change else 2)

    def dst(self, when):
        return dt.timedelta(0)


@pytest.mark.parametrize("zone", [_Tuesday(), zoneinfo.ZoneInfo("Asia/Tehran")],
                         ids=["own-tzinfo", "tehran"])
def test_weekly_periods_open_before_their_first_bar_on_the_right_offset(zone):
    # A change on Tuesday 2017-03-21/22; weeks open on Monday the 20th; the first bar is on
    # the Saturday after.
    first = utc(2017, 3, 25)
    got = resample(bars_at([first, first + 3600]), "1w", tz=zone)
    monday = dt.datetime(2017, 3, 20, tzinfo=zone)
    assert [b.timestamp for b in got] == [int(monday.timestamp())]


def test_a_table_read_from_another_zones_file_is_not_trusted(tmp_path):
    new_york = zoneinfo.ZoneInfo("America/New_York")
    source = tmp_path / "zone"
    source.write_bytes(_tzif_bytes("America/New_York"))
    with open(source, "rb") as stream:
        posing = zoneinfo.ZoneInfo.from_file(stream, key="Europe/Athens")
    walls, text = _hours("America/New_York", (2020, 3, 8, 1), 6)
    assert stamps(text, tz=posing, validate="off") == [wall_to_utc(w, new_york) for w in walls]


def _tzif_bytes(key):
    for folder in zoneinfo.TZPATH:
        try:
            with open(f"{folder}/{key}", "rb") as stream:
                return stream.read()
        except OSError:
            continue
    import importlib.resources
    package, _, name = ("tzdata.zoneinfo/" + key).rpartition("/")
    return importlib.resources.files(package.replace("/", ".")).joinpath(name).read_bytes()


def test_a_period_starting_in_a_skipped_hour_opens_when_the_clock_jumps():
    # New York skips 02:00-03:00 on 2020-03-08; a day from 02:30 opens at the jump, 07:00 UTC.
    first = utc(2020, 3, 8, 7)
    got = resample(bars_at([first, first + 60, first + 3600]), "1d", tz="America/New_York",
                   day_start="02:30")
    assert [b.timestamp for b in got] == [first]


# --- the ends of int64 ---------------------------------------------------------------------

@pytest.mark.parametrize("times, starts, offsets, row", [
    ([0, I64_MIN], (0,), (3600,), 1), ([I64_MAX, 0], (0,), (-3600,), 0),
    ([I64_MIN + 3600], (0,), (3600,), None), ([I64_MAX - 3600], (0,), (-3600,), None),
], ids=["min-east", "max-west", "min-fits", "max-fits"])
def test_to_utc_refuses_an_instant_beyond_int64(times, starts, offsets, row):
    got = _backtest.to_utc(bars_at(times), starts, offsets, None)
    if row is None:
        assert [got.timestamp[0]] == [times[0] - offsets[0]]
    else:
        assert got == (None, row)


@pytest.mark.parametrize("times, rule, tz, expected", [
    ([I64_MIN], "1d", None, "range"), ([I64_MIN + 86400 * 2], "1d", None, None),
    ([I64_MAX - 10], "1d", None, None), ([I64_MAX - 10], "1h", "+01:00", "range"),
    ([I64_MIN + 10], "1h", "-01:00", "range"),
], ids=["min-day", "min+2-days", "max-day", "max-east", "min-west"])
def test_resample_at_the_ends_of_int64(times, rule, tz, expected):
    if expected is None:
        got = resample(bars_at(times), rule, tz=tz)
        period = 86400 if rule == "1d" else 3600
        assert [b.timestamp for b in got] == [times[0] - times[0] % period]
    else:
        with pytest.raises(ValueError, match="cannot be told in 64-bit"):
            resample(bars_at(times), rule, tz=tz)


@pytest.mark.parametrize("starts, offsets, message", [
    ((0, 0), (0, 3600), "must increase"), ((0,), (86400,), "under a day"),
    ((2**62,), (0,), "within 2\\*\\*62"), ((0, 1), (0,), "an offset for every start"),
], ids=["unsorted", "a-day", "far-start", "sizes"])
def test_zone_tables_that_cannot_be_used_are_refused(starts, offsets, message):
    with pytest.raises(ValueError, match=message):
        _backtest.to_utc(bars_at([0]), starts, offsets, None)


# --- names -------------------------------------------------------------------------------------

def test_header_names_with_a_nul_stay_whole():
    text = f"time,open,high,low,close,a\0b,a\0c\n1,{ROW},1,2\n2,{ROW},3,4\n"
    bars = read_csv(io.StringIO(text))
    assert {k: list(v) for k, v in bars.extras.items()} == {"a\0b": [1, 3], "a\0c": [2, 4]}
    assert list(bars.column("a\0c")) == [2, 4]
    assert repr(bars).endswith("; also a\\x00b, a\\x00c)")
    again = pickle.loads(pickle.dumps(bars))
    assert {k: list(v) for k, v in again.extras.items()} == {"a\0b": [1, 3], "a\0c": [2, 4]}


@requires_debug_build
def test_refusals_and_names_leak_nothing():
    edge = bars_at([0, I64_MIN])
    named = bars_at([1, 2], **{"a\0b": [1.0, 2.0]})

    def action():
        assert _backtest.to_utc(edge, (0,), (3600,), b"\1\1") == (None, 1)
        assert _backtest.resample(edge[1:], 86400, 0, (), ()) == (None, 0, "range")
        with pytest.raises(ValueError):
            _backtest.to_utc(edge, (0, 0), (0, 0), None)
        assert list(named.extras) == ["a\0b"] and repr(named)

    leak_check(action)
