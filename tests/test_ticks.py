"""Ticks: each layout read to the right times and prices, plain and compressed; views, pickling;
bars of the bid and the ask against pandas; bid and ask bar files joined; the refusals."""
from __future__ import annotations

import datetime as dt
import gzip
import pickle
import random
import zipfile

import numpy as np
import pandas as pd
import pytest

import candlewright as cw
from candlewright import _backtest
from conftest import leak_check, requires_debug_build

EPOCH = dt.datetime(1970, 1, 1)


def make_ticks(n: int = 300, seed: int = 7) -> list[tuple[dt.datetime, float, float, int]]:
    """Ticks a few hundred milliseconds apart (some at the same time), prices of five decimals."""
    rng = random.Random(seed)
    at = dt.datetime(2017, 1, 2, 23, 58, 30)
    bid = 105147
    out = []
    for _ in range(n):
        at += dt.timedelta(milliseconds=rng.choice([0, 150, 600, 2500, 40000]))
        bid += rng.randint(-3, 3)
        out.append((at, bid / 1e5, (bid + rng.randint(0, 4)) / 1e5, rng.randint(1, 9)))
    return out


def ns(at: dt.datetime) -> int:
    delta = at - EPOCH
    return ((delta.days * 86400 + delta.seconds) * 10**6 + delta.microseconds) * 1000


def ms3(at: dt.datetime) -> str:
    return f"{at.microsecond // 1000:03d}"


def histdata(ticks):
    # EST all year: five hours behind UTC.
    return "".join(f"{(t - dt.timedelta(hours=5)):%Y%m%d %H%M%S}{ms3(t)},{b:.5f},{a:.5f},0\n"
                   for t, b, a, _ in ticks)


def dukascopy(ticks):
    return "Gmt time,Ask,Bid,AskVolume,BidVolume\n" + "".join(
        f"{t:%d.%m.%Y %H:%M:%S}.{ms3(t)},{a:.5f},{b:.5f},{v * 1.5},{v}\n" for t, b, a, v in ticks)


def truefx(ticks):
    return "".join(f"EUR/USD,{t:%Y%m%d %H:%M:%S}.{ms3(t)},{b:.5f},{a:.5f}\n"
                   for t, b, a, _ in ticks)


def generic_iso(ticks):
    return "time,bid,ask,volume\r\n" + "".join(
        f"{t:%Y-%m-%dT%H:%M:%S}.{ms3(t)}Z,{b:.5f},{a:.5f},{v}\r\n" for t, b, a, v in ticks)


def generic_epoch(ticks):
    return "timestamp;bid;ask;bid_volume;ask_volume\n" + "".join(
        f"{ns(t) // 10**6};{b:.5f};{a:.5f};{v};{v + 1}\n" for t, b, a, v in ticks)


LAYOUTS = {"histdata": histdata, "dukascopy": dukascopy, "truefx": truefx,
           "iso": generic_iso, "epoch_ms": generic_epoch}
VOLUMES = {  # (bid, ask)
    "histdata": None, "truefx": None, "dukascopy": ("v", "1.5v"), "iso": ("v", "v"),
           "epoch_ms": ("v", "v+1")}


def dukascopy_local(ticks):
    return "Local time,Ask,Bid,AskVolume,BidVolume\n" + "".join(
        f"{t + dt.timedelta(hours=2):%d.%m.%Y %H:%M:%S}.{ms3(t)} GMT+0200,{a:.5f},{b:.5f},"
        f"{v * 1.5},{v}\n" for t, b, a, v in ticks)


LAYOUTS["dukascopy_local"] = dukascopy_local
VOLUMES["dukascopy_local"] = VOLUMES["dukascopy"]


def write(tmp_path, name, text, packed=False):
    data = text.encode()
    if packed == "zip":
        path = tmp_path / (name + ".zip")
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr(name + ".csv", data)
        return path
    path = tmp_path / (name + (".csv.gz" if packed else ".csv"))
    path.write_bytes(gzip.compress(data) if packed else data)
    return path


@pytest.mark.parametrize("packed", [False, True, "zip"], ids=["plain", "gzip", "zip"])
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_layouts_read_times_bids_asks_and_volumes(tmp_path, layout, packed):
    ticks = make_ticks()
    got = cw.read_ticks(write(tmp_path, layout, LAYOUTS[layout](ticks), packed))
    assert len(got) == len(ticks)
    assert list(got.time) == [ns(t) for t, *_ in ticks]
    # Exactly the double of the decimal text, as float() reads it.
    assert list(got.bid) == [float(f"{b:.5f}") for _, b, _, _ in ticks]
    assert list(got.ask) == [float(f"{a:.5f}") for _, _, a, _ in ticks]
    volumes = VOLUMES[layout]
    if volumes is None:
        assert got.bid_volume is None and got.ask_volume is None
    else:
        v = np.array([v for *_, v in ticks], dtype=np.float32)
        expect = {"v": v, "1.5v": v * np.float32(1.5), "v+1": v + 1}
        assert np.array_equal(np.asarray(got.bid_volume), expect[volumes[0]])
        assert np.array_equal(np.asarray(got.ask_volume), expect[volumes[1]])


def test_large_plain_file_is_read_in_blocks(tmp_path):
    # Past a MiB the file is read by blocks: rows cut at block ends must come out whole.
    ticks = make_ticks(40_000, seed=3)
    got = cw.read_ticks(write(tmp_path, "big", truefx(ticks), False))
    assert len(got) == len(ticks)
    assert got.time[len(got) - 1] == ns(ticks[-1][0])
    assert list(got.ask[-5:]) == [float(f"{a:.5f}") for _, _, a, _ in ticks[-5:]]


@pytest.mark.parametrize("unit,scale", [("s", 10**9), ("ms", 10**6), ("us", 10**3)])
def test_time_units(tmp_path, unit, scale):
    ticks = [(dt.datetime(2020, 3, 1, 12, 0, s), 1.1, 1.2, 1) for s in range(5)]
    got = cw.read_ticks(write(tmp_path, "t", generic_iso(ticks), False), time_unit=unit)
    assert got.time_unit == unit
    assert list(got.time) == [ns(t) // scale for t, *_ in ticks]


def test_slices_between_and_pickling(tmp_path):
    ticks = make_ticks()
    got = cw.read_ticks(write(tmp_path, "t", dukascopy(ticks), False))
    part = got[10:20]
    assert len(part) == 10 and list(part.time) == list(got.time)[10:20]
    assert part[0] == (got.time[10], got.bid[10], got.ask[10])
    assert list(part[2:4].bid) == list(got.bid)[12:14]
    start = ticks[100][0]
    window = got.between(start, start + dt.timedelta(seconds=30))
    assert all(ns(start) <= t < ns(start) + 30 * 10**9 for t in window.time)
    assert len(window) == sum(start <= t < start + dt.timedelta(seconds=30) for t, *_ in ticks)
    assert len(got.between(start.isoformat(), ns(start))) == 0
    again = pickle.loads(pickle.dumps(part))
    assert len(again) == 10 and list(again.time) == list(part.time)
    assert list(again.bid_volume) == list(part.bid_volume)
    assert len(pickle.dumps(part)) < len(pickle.dumps(got)) / 5  # only its own ticks
    assert "Ticks(300 ticks, 2017-01-02 23:58:" in repr(got)
    assert list(part)[3] == part[3] == part[-7]
    with pytest.raises(ValueError, match="step 1"):
        got[::2]


@pytest.mark.parametrize("rule,pandas_rule", [("1min", "1min"), ("5min", "5min"), ("1h", "1h"),
                                              ("1d", "1D")])
def test_bars_match_a_pandas_resample(tmp_path, rule, pandas_rule):
    got = cw.read_ticks(write(tmp_path, "t", truefx(make_ticks(2000, seed=11)), False))
    bars = got.bars(rule)
    frame = got.to_pandas()
    expect = {side: frame[side].resample(pandas_rule, label="left", closed="left")
              .agg(["first", "max", "min", "last", "count"]).dropna()
              for side in ("bid", "ask")}
    bid, ask = expect["bid"], expect["ask"]
    assert list(bars.timestamp) == [int(t.timestamp()) for t in bid.index]
    for name, column in zip(("open", "high", "low", "close"), ("first", "max", "min", "last")):
        assert list(bars.column(name)) == list(bid[column])
        assert list(bars.extras[f"ask_{name}"]) == list(ask[column])
    assert list(bars.volume) == list(bid["count"].astype(float))
    assert list(bars.extras["spread"]) == list(ask["last"] - bid["last"])


def test_bars_of_a_slice_and_of_no_ticks(tmp_path):
    got = cw.read_ticks(write(tmp_path, "t", histdata(make_ticks()), False))
    assert len(got[:0].bars("1h")) == 0
    whole, part = got.bars("1min"), got[50:].bars("1min")
    assert part.timestamp[len(part) - 1] == whole.timestamp[len(whole) - 1]
    with pytest.raises(ValueError, match="unknown period"):
        got.bars("M1")


def bar_file(path, rows, shift):
    path.write_text("time,open,high,low,close,volume\n" + "".join(
        f"{t},{1.1 + shift},{1.2 + shift},{1.0 + shift},{1.15 + shift},5\n" for t in rows))
    return path


def test_bid_ask_bars_join_two_files(tmp_path):
    times = [1_600_000_000 + 3600 * k for k in range(4)]
    bars = cw.bid_ask_bars(bar_file(tmp_path / "bid.csv", times, 0.0),
                           bar_file(tmp_path / "ask.csv", times, 0.0002))
    assert list(bars.timestamp) == times
    assert list(bars.extras["ask_close"]) == [1.15 + 0.0002] * 4
    assert list(bars.extras["spread"]) == [(1.15 + 0.0002) - 1.15] * 4
    assert list(bars.close) == [1.15] * 4


@pytest.mark.parametrize("ask_times,match", [
    ([0, 3600, 7300], "differ at row 2"),
    ([0, 3600], "the bid has 3 bars and the ask 2"),
], ids=["time", "length"])
def test_bid_ask_bars_refuse_mismatches(tmp_path, ask_times, match):
    base = 1_600_000_000
    bid = bar_file(tmp_path / "bid.csv", [base, base + 3600, base + 7200], 0.0)
    ask = bar_file(tmp_path / "ask.csv", [base + t for t in ask_times], 0.0002)
    with pytest.raises(ValueError, match=match):
        cw.bid_ask_bars(bid, ask)


def rows(text):
    return "time,bid,ask\n" + text


@pytest.mark.parametrize("text,match", [
    (rows("2020-01-01 00:00:00,1.1,1.2\n2020-01-01 00:00:01,x,1.2\n"),
     r"line 3, column 'bid': expected a number, found 'x'"),
    (rows("2020-01-01 00:00:00,1.1,1.2\n2020-01-01 00:00:01,1.1,nan\n"),
     r"line 3, column 'ask': expected a finite positive price"),
    (rows("2020-01-01 00:00:00,1.1,1.2\n2020-01-01 00:00:01,0,1.2\n"),
     r"line 3, column 'bid': expected a finite positive price, found '0'"),
    (rows("2020-01-01 00:00:05,1.1,1.2\n2020-01-01 00:00:01,1.1,1.2\n"),
     r"line 3, column 'time': '2020-01-01 00:00:01' is before the previous tick's time"),
    (rows("2020-01-01 00:00:00,1.1,1.2\n2020-01-01 00:00:01,1.3,1.2\n"),
     r"line 3, column 'ask': the ask 1.2 is below the bid$"),
    (rows("2020-01-01 00:00:00,1.1,1.2\n2020-01-01 00:00:01,1.1\n"),
     r"line 3, column 'ask': the row has 2 fields"),
    (rows("2020-01-01 00:00:00,1.1,1.2\n2020-13-01 00:00:01,1.1,1.2\n"),
     r"line 3, column 'time': '2020-13-01 00:00:01' is not a time in range"),
    (rows("2020-01-01 00:00:00,1.1,1.2\n01/02/2020 00:00:01,1.1,1.2\n"),
     r"line 3, column 'time': expected a time like '2017-01-02 00:00:00.600'"),
    ("Gmt time,Bid,Ask\n02.01.2017 00:00:00.600,1.2,1.1\n02.01.2017 00:00:01.600,1.2,1.1\n",
     r"line 2, column 'ask': the ask 1.1 is below the bid: are bid and ask swapped\?"),
], ids=["number", "nan", "zero", "order", "crossed", "fields", "month", "shape", "swapped"])
def test_bad_rows_name_file_line_and_column(tmp_path, text, match):
    path = write(tmp_path, "bad", text, False)
    with pytest.raises(ValueError, match=match) as caught:
        cw.read_ticks(path)
    assert str(caught.value).startswith(str(path))


def test_fraction_finer_than_the_unit_is_refused(tmp_path):
    path = write(tmp_path, "t", rows("2020-01-01 00:00:00.5,1.1,1.2\n"), False)
    with pytest.raises(ValueError, match="finer than time_unit='s'"):
        cw.read_ticks(path, time_unit="s")
    assert list(cw.read_ticks(path, time_unit="ms").time) == [1_577_836_800_500]


@pytest.mark.parametrize("layout", ["histdata", "dukascopy", "truefx", "iso"])
def test_read_csv_sends_tick_files_to_read_ticks(tmp_path, layout):
    path = write(tmp_path, layout, LAYOUTS[layout](make_ticks(20)), False)
    with pytest.raises(ValueError, match="file of ticks.*read it with read_ticks"):
        cw.read_csv(path)


@pytest.mark.parametrize("headerless", [False, True], ids=["header", "headerless"])
def test_read_ticks_sends_bar_files_to_read_csv(tmp_path, headerless):
    path = bar_file(tmp_path / "bars.csv", [1_600_000_000, 1_600_003_600], 0.0)
    if headerless:
        path.write_text("2020-01-01 00:00:00,1.1,1.2,1.0,1.1,5\n")
    with pytest.raises(ValueError, match="file of bars .*read it with read_csv"):
        cw.read_ticks(path)


def test_from_columns_checks_as_a_file_does():
    time = np.array([1, 2, 3], dtype=np.int64)
    with pytest.raises(ValueError, match="tick 1: the ask is below the bid"):
        _backtest.ticks_from_columns(time, np.array([1.0, 1.2, 1.0]), np.array([1.1, 1.1, 1.1]),
                                     None, None, 1)
    ticks = _backtest.ticks_from_columns(time, np.ones(3), np.ones(3), None, None, 1000)
    assert ticks.time_unit == "ms" and len(ticks.bars("1min")) == 1


def test_backtest_finds_the_ask_bars_of_tick_bars(tmp_path):
    got = cw.read_ticks(write(tmp_path, "t", truefx(make_ticks(3000, seed=5)), False))
    bars = got.bars("1min")
    assert set(bars.extras) == {"ask_open", "ask_high", "ask_low", "ask_close", "spread"}
    from candlewright.backtest import _ask_in
    found = _ask_in(bars)
    assert found is not None and list(found[3]) == list(bars.extras["ask_close"])
    # Under the bid's prices a run reads the ask's own bars from them.
    result = cw.Backtest(bars, prices="bid").run(cw.SmaCross(fast=3, slow=8))
    assert result is not None


@pytest.mark.parametrize("text,time,bid,ask", [
    # Past 15 digits and with an exponent, numbers leave the fast path: still float()'s double.
    (rows("2020-01-01 00:00:00,1.0123456789012345678,1.1e0\n"), 1_577_836_800 * 10**9,
     1.0123456789012345678, 1.1),
    (rows("2020-01-01T02:00:00.123456789+02:00,1.1,1.2\n"), 1_577_836_800_123_456_789, 1.1, 1.2),
    (rows("\n 2020-01-01 00:00\t,1.1,1.2\n\n"), 1_577_836_800 * 10**9, 1.1, 1.2),
    ("time,bid,ask\n1577836800,1.1,1.2\n", 1_577_836_800 * 10**9, 1.1, 1.2),
    ("time,bid,ask\n1577836800000000,1.1,1.2\n", 1_577_836_800 * 10**9, 1.1, 1.2),
    ("1577836800123456789,1.1,1.2\n", 1_577_836_800_123_456_789, 1.1, 1.2),
    ("20200101 000000,1.1,1.2,0\n", (1_577_836_800 + 5 * 3600) * 10**9, 1.1, 1.2),
    ("\ufefftime,bid,ask\n2020-01-01 00:00:00,1.1,1.2", 1_577_836_800 * 10**9, 1.1, 1.2),
], ids=["long-and-exponent", "offset-and-nanoseconds", "blanks", "epoch-s", "epoch-us",
        "headerless-epoch-ns", "histdata-whole-seconds", "bom-no-last-line-end"])
def test_odd_but_sound_rows(tmp_path, text, time, bid, ask):
    got = cw.read_ticks(write(tmp_path, "t", text))
    assert len(got) == 1 and got[0] == (time, bid, ask)


def test_histdata_zone_can_be_overridden(tmp_path):
    path = write(tmp_path, "t", "20200101 000000100,1.1,1.2,0\n")
    assert cw.read_ticks(path, tz="UTC").time[0] == 1_577_836_800_100_000_000
    assert cw.read_ticks(path, tz="+01:00").time[0] == 1_577_833_200_100_000_000
    with pytest.raises(ValueError, match="fixed offset only"):
        cw.read_ticks(path, tz="Europe/Athens")


@requires_debug_build
@pytest.mark.parametrize("action", ["read", "bars", "between", "pickle", "refused"])
def test_reading_and_cutting_leak_nothing(tmp_path, action):
    # One action a check, over twelve rounds: the interpreter's own caches move the total by a
    # few references now and then, and a leak grows it in every round however many there are.
    good = write(tmp_path, "good", dukascopy(make_ticks(50)), True)
    bad = write(tmp_path, "bad", rows("2020-01-01 00:00:00,1.1,x\n"))
    ticks = cw.read_ticks(good)

    def refused():
        with pytest.raises(ValueError):
            cw.read_ticks(bad)

    leak_check({"read": lambda: cw.read_ticks(good),
                "bars": lambda: ticks[5:20].bars("1min"),
                "between": lambda: ticks.between(0, 2**62),
                "pickle": lambda: pickle.loads(pickle.dumps(ticks[3:9])),
                "refused": refused}[action], rounds=12, repeat=100)
