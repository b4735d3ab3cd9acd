"""Bars from columns: chunked and typed columns give the bars the plain ones do, date-times
become seconds with the same refusals, checks find every fault wherever it falls, and
booleans are never read as prices."""
import array

import numpy as np
import pytest

import candlewright as cw
from candlewright import Bars, _backtest
from conftest import leak_check, requires_debug_build

FIELDS = ("timestamp", "open", "high", "low", "close", "volume")
N = 3000  # more than two of the native blocks, with a part over


def columns(n=N, seed=3):
    rng = np.random.default_rng(seed)
    close = 1.1 + np.cumsum(rng.normal(0.0, 1e-4, n))
    open_ = np.concatenate(([close[0]], close[:-1]))
    wick = np.abs(rng.normal(0.0, 5e-5, n))
    return {"timestamp": 1_600_000_000 + 60 * np.arange(n, dtype=np.int64), "open": open_,
            "high": np.maximum(open_, close) + wick, "low": np.minimum(open_, close) - wick,
            "close": close, "volume": rng.integers(1, 500, n).astype(np.float64)}


def as_table(bars):
    return {name: np.asarray(bars.column(name)) for name in FIELDS}


def assert_same(bars, expected):
    got, want = as_table(bars), as_table(expected)
    assert len(bars) == len(expected)
    for name in FIELDS:
        np.testing.assert_array_equal(got[name], want[name], err_msg=name)
        assert got[name].dtype == want[name].dtype


def chunked(values, cuts):
    return tuple(values[a:b] for a, b in zip((0, *cuts), (*cuts, len(values))))


CUTS = {
    "aligned": [(1000, 2000)] * 6,
    "ragged": [(7,), (511, 512, 513), (1,), (2999,), (1024, 2048), (5, 6, 7, 2000)],
    "empty chunks": [(0, 0, 1500, 1500, 3000)] * 6,
}


@pytest.mark.parametrize("cuts", CUTS.values(), ids=CUTS.keys())
def test_chunks_read_as_one_column(cuts):
    data = columns()
    whole = Bars.from_columns(*data.values(), None)
    parts = [chunked(values, c) for values, c in zip(data.values(), cuts)]
    assert_same(Bars.from_columns(*parts, None), whole)


@pytest.mark.parametrize("convert", [
    lambda v: v.astype(np.int32) if v.dtype.kind == "i" else v,
    lambda v: np.repeat(v, 3)[::3],
    lambda v: array.array("q" if v.dtype.kind == "i" else "d", v.tolist()),
    lambda v: memoryview(np.ascontiguousarray(v)),
    lambda v: v.astype(np.uint64) if v.dtype.kind == "i" else v,
], ids=["narrower", "strided", "array.array", "memoryview", "unsigned times"])
def test_any_typed_column_reads_the_same(convert):
    data = columns()
    expected = Bars.from_columns(*data.values(), None)
    assert_same(Bars.from_columns(*(convert(v) for v in data.values()), None), expected)


def test_float32_prices_widen_exactly():
    data = columns()
    narrow = {k: (v.astype(np.float32) if k != "timestamp" else v) for k, v in data.items()}
    bars = Bars.from_columns(*narrow.values(), None)
    for name in FIELDS[1:]:
        np.testing.assert_array_equal(np.asarray(bars.column(name)),
                                      narrow[name].astype(np.float64))


def test_no_volume_is_zero_in_every_block():
    data = columns()
    bars = Bars.from_columns(*list(data.values())[:5], None, None)
    assert not np.asarray(bars.column("volume")).any()


def test_chunk_lengths_are_added_up():
    data = columns()
    with pytest.raises(ValueError, match="'timestamp' has 3000 values, 'high' has 2999"):
        Bars.from_columns(data["timestamp"], data["open"], chunked(data["high"][:-1], (5,)),
                          data["low"], data["close"], None, None)


def test_unsigned_time_too_large_names_its_row_across_chunks():
    times = columns()["timestamp"].astype(np.uint64)
    times[2500] = 2**63
    data = columns()
    with pytest.raises(OverflowError, match="row 2500 does not fit"):
        Bars.from_columns(chunked(times, (1000,)), *list(data.values())[1:], None)


# --- booleans ---------------------------------------------------------------------------------

def bool_bytes(n):
    """A numpy bool array over bytes of 2: what a view of bytes as bools can hold."""
    return np.full(n, 2, dtype=np.uint8).view(bool)


@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize("make", [
    bool_bytes, lambda n: memoryview(bytes([2]) * n).cast("?"), lambda n: np.ones(n, bool),
], ids=["numpy bool over 2", "memoryview '?'", "numpy bool"])
def test_booleans_are_not_prices_or_times(field, make):
    data = columns(8)
    data[field] = make(8)
    with pytest.raises(TypeError, match=f"column '{field}' must hold numbers, not booleans"):
        Bars.from_columns(*data.values(), None)
    with pytest.raises(TypeError, match="not booleans"):
        cw.from_arrays(**data)


def test_dataframe_of_booleans_is_refused():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(columns(8))
    frame["close"] = True
    with pytest.raises(ValueError, match="column 'close' must hold numbers, not booleans"):
        cw.from_dataframe(frame)


def test_boolean_bytes_read_as_one_where_numbers_may_be_flags():
    data = columns(8)
    bars = cw.from_arrays(**data, flag=bool_bytes(8))
    assert list(bars.extras["flag"]) == [1.0] * 8


# --- date-times -------------------------------------------------------------------------------

SECONDS = 1_600_000_000 + 60 * np.arange(N, dtype=np.int64)


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns", "10ms", "250us", "m", "D"])
def test_datetimes_in_any_unit_become_the_seconds(unit):
    data = columns()
    data["timestamp"] = (np.datetime64("1990-01-01") + np.arange(N).astype("m8[D]")
                         if unit == "D" else SECONDS.astype("M8[s]").astype(f"M8[{unit}]"))
    expected = data["timestamp"].astype("M8[s]").astype(np.int64)
    np.testing.assert_array_equal(np.asarray(cw.from_arrays(**data).timestamp), expected)


@pytest.mark.parametrize("unit, row, value, message", [
    ("ns", 0, "NaT", "row 0, column 'time': missing time"),
    ("us", 2999, "NaT", "row 2999, column 'time': missing time"),
    ("ms", 1700, 1, "row 1700, column 'time': a fraction of a 's' time unit"),
    ("10ms", 4, 10, "row 4, column 'time': a fraction of a 's' time unit"),
])
def test_datetime_faults_are_worded_as_before(unit, row, value, message):
    data = columns()
    times = SECONDS.astype("M8[s]").astype(f"M8[{unit}]")
    if value == "NaT":
        times[row] = np.datetime64("NaT", "s")
    else:
        times[row] += np.timedelta64(value, unit.lstrip("0123456789"))
    data["timestamp"] = times
    with pytest.raises(ValueError, match=f"^{message}$"):
        cw.from_arrays(**data)


def test_time_fault_comes_before_a_later_columns_fault():
    data = columns(4)
    data["timestamp"] = data["timestamp"].astype("M8[s]")
    data["timestamp"][2] = np.datetime64("NaT", "s")
    data["volume"] = ["a lot"] * 4
    with pytest.raises(ValueError, match="missing time"):
        cw.from_arrays(**data)


def test_dataframe_time_fault_names_the_index_label():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(columns(5), index=list("abcde"))
    frame["timestamp"] = pd.to_datetime(frame["timestamp"], unit="s").astype("M8[ms]")
    frame.loc["d", "timestamp"] = pd.Timestamp(1_600_000_000_500, unit="ms")
    with pytest.raises(ValueError, match="^row 'd', column 'time': a fraction of a 's' time"):
        cw.from_dataframe(frame)


@pytest.mark.parametrize("tz", [None, "UTC", "Europe/Athens"])
def test_dataframe_datetimes(tz):
    pd = pytest.importorskip("pandas")
    data = columns()
    frame = pd.DataFrame(data)
    frame["timestamp"] = pd.to_datetime(frame["timestamp"], unit="s", utc=tz is not None)
    if tz is not None:
        frame["timestamp"] = frame["timestamp"].dt.tz_convert(tz)
    assert_same(cw.from_dataframe(frame), cw.from_arrays(**data))


# --- Arrow and Parquet --------------------------------------------------------------------------

@pytest.fixture
def arrow_table():
    pa = pytest.importorskip("pyarrow")
    data = columns()
    fields = {"time": pa.array(data["timestamp"].astype("M8[s]").astype("M8[us]")),
              **{k: pa.array(v) for k, v in data.items() if k != "timestamp"}}
    return pa.table(fields), data


@pytest.mark.parametrize("kind", ["parquet", "feather"])
def test_files_in_many_chunks_load_as_one(tmp_path, arrow_table, kind):
    table, data = arrow_table
    path = tmp_path / f"bars.{kind}"
    if kind == "parquet":
        pytest.importorskip("pyarrow.parquet").write_table(table, path, row_group_size=700)
        bars = cw.read_parquet(path)
    else:
        pa = pytest.importorskip("pyarrow")
        batches = table.to_batches(max_chunksize=700)
        pytest.importorskip("pyarrow.feather").write_feather(pa.Table.from_batches(batches),
                                                             path, compression="uncompressed")
        bars = cw.read_feather(path)
    assert_same(bars, cw.from_arrays(**data))


@pytest.mark.parametrize("change, message", [
    (lambda pa, t: t.set_column(1, "open", pa.chunked_array(
        [pa.array([None] * 700, pa.float64()), t.column(1).combine_chunks()[700:]])),
     "row 0, column 'open': expected a price, found nan"),
    (lambda pa, t: t.set_column(0, "time", pa.chunked_array(
        [t.column(0).combine_chunks()[:2000], pa.array([None] * 1000, pa.timestamp("us"))])),
     "row 2000, column 'time': missing time"),
], ids=["null prices", "null times"])
def test_nulls_in_some_chunks(arrow_table, change, message):
    pa = pytest.importorskip("pyarrow")
    from candlewright.bars import _from_table
    table, _ = arrow_table
    table = pa.Table.from_batches(table.to_batches(max_chunksize=700))
    with pytest.raises(ValueError, match=f"^{message}"):
        _from_table(change(pa, table), "error")


def test_integer_times_in_chunks(arrow_table):
    pa = pytest.importorskip("pyarrow")
    from candlewright.bars import _from_table
    table, data = arrow_table
    table = table.set_column(0, "timestamp", pa.chunked_array(
        chunked(data["timestamp"], (1000, 2500))))
    assert_same(_from_table(table, "error"), cw.from_arrays(**data))


# --- checks -------------------------------------------------------------------------------------

FAULTS = {  # one bar spoiled: (column, value, fault counted)
    "time back": ("timestamp", -120, 0), "time again": ("timestamp", -60, 1),
    "nan": ("high", np.nan, 2), "infinite": ("close", np.inf, 3), "zero": ("low", 0.0, 3),
    "negative low": ("low", -1.0, 3), "open above high": ("open", 5.0, 4),
    "close below low": ("close", 0.5, 4), "volume nan": ("volume", np.nan, 5),
    "volume infinite": ("volume", np.inf, 5), "volume negative": ("volume", -1.0, 5),
}


@pytest.mark.parametrize("row", [0, 1, 1023, 1024, 2047, N - 1])
@pytest.mark.parametrize("fault", FAULTS.values(), ids=FAULTS.keys())
def test_checks_find_a_fault_wherever_it_falls(fault, row):
    name, value, kind = fault
    data = columns()
    if name == "timestamp":
        if row == 0:
            return  # the first bar has no time before it
        data[name][row] = data[name][row] + value
    else:
        data[name][row] = value
    counts, bad, first, found = _backtest.check_bars(Bars.from_columns(*data.values(), None))
    assert (bad, first, found, counts[kind]) == (1, row, kind, 1)


def test_checks_count_every_bad_row():
    data = columns()
    data["low"][[5, 1024, 1025, 2999]] = np.nan
    data["volume"][[6, 1500]] = -1.0
    counts, bad, first, found = _backtest.check_bars(Bars.from_columns(*data.values(), None))
    assert (tuple(counts), bad, first, found) == ((0, 0, 4, 0, 0, 2), 6, 5, 2)


@requires_debug_build
def test_loading_and_refusing_leak_nothing():
    # array.array and memoryview: numpy keeps a block of its own per exported buffer
    times = array.array("q", range(0, 6000, 60))
    prices = array.array("d", [1.0] * 100)
    missing = array.array("q", [*times[:50], -2**63, *times[51:]])
    flags = memoryview(bytes([2]) * 100).cast("?")
    refused = [
        lambda: Bars.from_columns(times, flags, prices, prices, prices, None, None),
        lambda: Bars.from_columns(missing, prices, prices, prices, prices, None, None,
                                  ticks_per_second=60),
        lambda: Bars.from_columns((times[:5], "x"), prices, prices, prices, prices, None, None),
        lambda: Bars.from_columns(times, (prices[:50],), prices, prices, prices, None, None),
    ]

    def action():
        Bars.from_columns((times[:30], times[30:30], times[30:]), (prices[:70], prices[70:]),
                          prices, prices, prices, prices, {"flag": flags})
        Bars.from_columns(times, prices, prices, prices, prices, None, None, ticks_per_second=60)
        for call in refused:
            with pytest.raises((TypeError, ValueError)):
                call()

    leak_check(action)
