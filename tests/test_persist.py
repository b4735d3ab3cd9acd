"""Keeping and sending results: pickling and copying of everything a run hands out, across
processes, and `Result.save` / `candlewright.load`, all exact to the bit."""
import concurrent.futures as cf
import copy
import json
import math
import multiprocessing
import pathlib
import pickle
import re
import struct
import sys
import zipfile

import numpy as np
import pytest

import candlewright as cw
from candlewright import _backtest
from candlewright.result import RunRecord
from conftest import leak_check, requires_debug_build

ACCOUNT = dict(initial_cash=10_000.0, commission=7.0, spread=0.0002, contract_size=100_000.0,
               quote_to_account=1.0)
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def run_sample(first=0, last=4000):
    """A run on part of the sample (module level: a spawned worker imports it by name)."""
    bt = cw.Backtest(cw.sample_bars()[first:last], *ACCOUNT.values())
    return bt.run(cw.SmaCross())


class Pending:
    """Opens a position and leaves two orders pending, and keeps what the account shows."""

    def __init__(self):
        self.seen = {}

    def next(self, bar, account):
        if account.bar_index == 10:
            account.buy(bar.close, 1.0, stop_loss=bar.close - 0.01)
            account.buy_limit(bar.close - 0.005, 0.5, take_profit=bar.close + 0.01,
                              expiry=bar.timestamp + 50 * 3600)
            account.sell_stop(bar.close - 0.02, 0.3)
        if account.bar_index == 20:
            self.seen = {"position": account.positions[0], "order": account.orders[0]}


@pytest.fixture(scope="module")
def result():
    return run_sample()


@pytest.fixture(scope="module")
def open_book():
    strategy = Pending()
    cw.Backtest(cw.sample_bars()[:200], *ACCOUNT.values(), leverage=100).run(strategy)
    return strategy.seen


def bits(value):
    """A value with every float replaced by its bytes, so that NaN equals NaN and -0.0 is not
    0.0; containers, records and columns by their items."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, (cw.Column, memoryview)):
        view = memoryview(value)
        return ("column", view.format, view.tobytes())
    if isinstance(value, dict):
        return {k: bits(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, cw.Trade, cw.Position, cw.Order, cw.Trades)):
        return (type(value).__name__, [bits(v) for v in value])
    if isinstance(value, cw.Stats):
        return bits([getattr(value, name) for name in cw.result.FIGURES])
    if isinstance(value, cw.Bar):
        return bits((value.timestamp, value.open, value.high, value.low, value.close,
                     value.volume))
    return value


def trades_bits(trades):
    return {name: bits(getattr(trades, name)) for name in cw.result.TRADE_COLUMNS}


def result_bits(r):
    return {"figures": bits(r.figures()), "metrics": bits(r.metrics), "equity": bits(r.equity),
            "trades": trades_bits(r.trades), "summary": r.summary(),
            "bars": bits(r.bars.column("close")), "exposure": r.exposure_bars}


# --- pickling and copying ---

def cases(result, open_book):
    trades = result.trades
    return {
        "Bar": result.bars[5],
        "Stats": result.stats,
        "Bars": result.bars[:50],
        "equity": result.equity,
        "strided column": trades.pnl,
        "bool column": trades.is_long,
        "sliced column": result.equity[3:400:7],
        "reversed column": trades.entry_time[::-2],
        "empty column": result.equity[5:5],
        "Trades": trades,
        "Trades slice": trades[::3],
        "Trade": trades[0],
        "Position": open_book["position"],
        "Order": open_book["order"],
    }


NAMES = ["Bar", "Stats", "Bars", "equity", "strided column", "bool column", "sliced column",
         "reversed column", "empty column", "Trades", "Trades slice", "Trade", "Position",
         "Order"]


def same(a, b):
    if isinstance(a, cw.Bars):
        return [bits(x) for x in a] == [bits(x) for x in b]
    if isinstance(a, cw.Trades):
        return trades_bits(a) == trades_bits(b)
    if isinstance(a, (cw.Position, cw.Order)):
        return repr(a) == repr(b) and bits(tuple(a)) == bits(tuple(b))
    if isinstance(a, cw.Stats):
        return repr(a) == repr(b) and bits(a) == bits(b)
    return bits(a) == bits(b)


@pytest.mark.parametrize("protocol", PROTOCOLS, ids=lambda p: f"protocol {p}")
@pytest.mark.parametrize("name", NAMES)
def test_pickle_round_trip(result, open_book, name, protocol):
    obj = cases(result, open_book)[name]
    data = pickle.dumps(obj, protocol)
    back = pickle.loads(data)
    assert type(back) is type(obj)
    assert same(obj, back)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
@pytest.mark.parametrize("name", NAMES)
def test_copy(result, open_book, name, copier):
    obj = cases(result, open_book)[name]
    assert same(obj, copier(obj))


@pytest.mark.parametrize("figures", [
    (1e4, 9e3, -10.0, 0, 0, math.nan, math.nan, math.nan, math.nan, math.nan, 0.0),
    (1e4, -0.0, -100.0, 3, 3, 100.0, 1.5, 2.0, 1.0, math.inf, -0.0),
    (5e-324, 1.7976931348623157e308, math.nan, 2**63, 7, 0.1, -math.inf, 0.0, 0.0, 0.0, 0.0),
], ids=["no trades", "no losses", "extremes"])
def test_stats_special_values_travel_exactly(figures):
    stats = _backtest._stats(*figures)
    for protocol in PROTOCOLS:
        back = pickle.loads(pickle.dumps(stats, protocol))
        assert bits([getattr(back, n) for n in cw.result.FIGURES]) == bits(list(figures))


GOOD = (1e4, 9e3, -10.0, 4, 1, 25.0, 1.0, 2.0, -1.0, 1.5, 3.0)


@pytest.mark.parametrize("at, value, error", [
    (0, "1e4", TypeError),
    (1, None, TypeError),
    (2, True, TypeError),
    (3, 4.0, TypeError),
    (3, -1, ValueError),
    (4, 5, ValueError),
    (4, 2**64, OverflowError),
], ids=["text figure", "None figure", "bool figure", "float count", "negative count",
        "more wins than trades", "count too large"])
def test_stats_builder_refuses_wrong_figures(at, value, error):
    figures = list(GOOD)
    figures[at] = value
    with pytest.raises(error):
        _backtest._stats(*figures)


def test_columns_and_trades_pickle_as_bytes(result):
    trades = result.trades
    rows = len(trades)
    # 16 fields of 8 bytes or less and a reason byte per row, plus a few hundred for names.
    assert len(pickle.dumps(trades, 5)) < rows * (15 * 8 + 2) + 600
    assert len(pickle.dumps(trades.pnl, 3)) < rows * 8 + 100
    assert len(pickle.dumps(result.equity, 5)) < len(result.equity) * 8 + 100


def test_an_unpickled_column_views_its_bytes(result):
    back = pickle.loads(pickle.dumps(result.equity, 5))
    array = np.asarray(back)
    assert not array.flags.writeable
    assert np.shares_memory(array, np.asarray(back))
    assert array.tobytes() == memoryview(result.equity).tobytes()


def test_out_of_band_buffers_are_not_copied(result):
    buffers = []
    data = pickle.dumps(result.equity, 5, buffer_callback=buffers.append)
    assert len(data) < 200 and len(buffers) == 1
    back = pickle.loads(data, buffers=buffers)
    assert memoryview(back).tobytes() == memoryview(result.equity).tobytes()


@pytest.mark.parametrize("fmt, data, error", [
    ("h", b"\0" * 8, ValueError),
    ("dd", b"\0" * 8, ValueError),
    (b"d", b"\0" * 8, TypeError),
    ("d", b"\0" * 7, ValueError),
    ("?", b"\0\1\2", ValueError),
    ("q", "text", TypeError),
], ids=["unknown format", "two formats", "format as bytes", "ragged bytes", "bool byte 2",
        "text data"])
def test_column_builder_refuses(fmt, data, error):
    with pytest.raises(error):
        _backtest._column(fmt, data)


def test_column_builder_copies_unaligned_buffers():
    values = np.array([1.5, -0.0, math.nan, math.inf])
    raw = b"x" + values.tobytes()
    column = _backtest._column("d", memoryview(raw)[1:])
    assert memoryview(column).tobytes() == values.tobytes()


def trades_args(trades):
    _, (fields, data, reasons) = trades.__reduce__()
    return list(fields), list(data), reasons


@pytest.mark.parametrize("damage", [
    lambda f, d, r: (f[:-1], d[:-1], r),
    lambda f, d, r: (f[:-1] + [f[0]], d, r),
    lambda f, d, r: (f, [x[:-1] if i == 2 else x for i, x in enumerate(d)], r),
    lambda f, d, r: (f, d, r[:1]),
    lambda f, d, r: (f, d, ("stop_loss", "gone")),
    lambda f, d, r: (f, [b"\2" * len(x) if n == "is_long" else x for n, x in zip(f, d)], r),
], ids=["a field missing", "a field twice", "ragged field", "reason code unnamed",
        "unknown reason", "bool byte 2"])
def test_trades_builder_refuses(result, damage):
    fields, data, reasons = damage(*trades_args(result.trades))
    with pytest.raises(ValueError):
        _backtest._trades(tuple(fields), tuple(data), tuple(reasons))


def test_trades_read_reasons_by_name(result):
    # A build that numbers the reasons otherwise reads the same table.
    fields, data, reasons = trades_args(result.trades)
    at = fields.index("exit_reason")
    order = tuple(reversed(reasons))
    data[at] = bytes(order.index(reasons[c]) for c in data[at])
    rebuilt = _backtest._trades(tuple(fields), tuple(data), order)
    assert rebuilt.exit_reason == result.trades.exit_reason


@requires_debug_build
def test_reductions_and_refusals_keep_no_references(result, open_book):
    objects = list(cases(result, open_book).values())
    fields, data, reasons = trades_args(result.trades)

    def refused(build, *args):
        try:
            build(*args)
        except (TypeError, ValueError):
            return
        raise AssertionError("not refused")

    def action():
        for obj in objects:
            for protocol in (2, 5):
                pickle.loads(pickle.dumps(obj, protocol))
        refused(_backtest._trades, tuple(fields), tuple(data), ("gone",))
        refused(_backtest._trades, tuple(fields[:-1]), (), ())
        refused(_backtest._column, "?", b"\2")
        refused(_backtest._stats, *GOOD[:3], True, *GOOD[4:])
    # Many paths, each warmed up by the interpreter at its own pace: past that first.
    for _ in range(100):
        action()
    leak_check(action, rounds=10, repeat=20)


# --- Column and Trades as sequences ---

@pytest.mark.parametrize("key", [
    slice(None, None, 1000), slice(None, None, -1), slice(-10, None), slice(5, 2),
    slice(100, 10, -7), slice(None, None, 3), slice(10**9, None), slice(None, None, 2**62),
    slice(-1, None, -2**62),
], ids=str)
def test_column_slices_as_a_list_does(result, key):
    for column in (result.equity, result.trades.pnl, result.trades.is_long):
        picked = column[key]
        assert isinstance(picked, cw.Column)
        assert list(picked) == list(column)[key]
        assert np.asarray(picked).tolist() == list(column)[key]


def test_column_slices_share_the_values(result):
    whole = np.asarray(result.equity)
    for key in (slice(None), slice(None, None, 3), slice(None, None, -2)):
        assert np.shares_memory(np.asarray(result.equity[key]), whole)
    assert result.equity[-1] == list(result.equity)[-1]
    with pytest.raises(IndexError):
        result.equity[len(result.equity)]


def test_trades_slice_with_a_step(result):
    trades = result.trades
    assert [t.ticket for t in trades[::-4]] == list(trades.ticket)[::-4]
    assert trades[-1].ticket == list(trades.ticket)[-1]


# --- results ---

def test_result_travels_without_its_backtest(result):
    back = pickle.loads(pickle.dumps(result))
    assert isinstance(back._backtest, RunRecord)
    assert result_bits(back) == result_bits(result)
    assert back.to_dict() == result.to_dict()
    # Copies and pickles of copies read the same again.
    assert result_bits(copy.deepcopy(back)) == result_bits(result)
    assert result_bits(pickle.loads(pickle.dumps(copy.copy(result)))) == result_bits(result)


def test_results_of_one_backtest_share_their_bars_in_a_pickle():
    bt = cw.Backtest(cw.sample_bars()[:3000], *ACCOUNT.values())
    one = bt.run(cw.SmaCross())
    two = bt.run(cw.SmaCross(fast=5, slow=30))
    assert len(pickle.dumps([one, two])) < 1.4 * len(pickle.dumps(one))


def test_to_pandas_of_a_loaded_result(result):
    pd = pytest.importorskip("pandas")
    back = pickle.loads(pickle.dumps(result))
    (trades, equity), (trades2, equity2) = result.to_pandas(), back.to_pandas()
    pd.testing.assert_frame_equal(trades, trades2)
    pd.testing.assert_series_equal(equity, equity2)
    if hasattr(result, "to_series"):
        pd.testing.assert_series_equal(result.to_series(), back.to_series())


def test_plot_of_a_loaded_result(result, tmp_path):
    pytest.importorskip("bokeh")
    back = pickle.loads(pickle.dumps(result))
    pages = [pathlib.Path(r.plot(str(tmp_path / f"{i}.html"))).read_text(encoding="utf-8")
             for i, r in enumerate((result, back))]
    # Bokeh numbers its models afresh each time: compare the pages without their ids.
    unnumbered = [re.sub(r"p\d{4,}|[0-9a-f]{8}-[0-9a-f-]{27}", "", page) for page in pages]
    assert unnumbered[0] == unnumbered[1]


def test_sweep_and_walk_forward_results_pickle():
    bars = cw.sample_bars()[:1500]
    results = cw.sweep(cw.SmaCross, {"fast": [5, 10], "slow": [30]}, bars, **ACCOUNT,
                       max_workers=1)
    failed = cw.SweepResult({"fast": 1}, None, cw.SweepError("ValueError", "bad"))
    for obj in (results, failed, failed.error):
        back = pickle.loads(pickle.dumps(obj))
        assert type(back) is type(obj) and bits(repr(back)) == bits(repr(obj))
    wf = cw.walk_forward(cw.SmaCross, {"fast": [5, 10], "slow": [30]}, bars, train=600,
                         test=300, maximize="final_cash", **ACCOUNT, max_workers=1)
    back = pickle.loads(pickle.dumps(wf))
    assert bits(back.equity) == bits(wf.equity)
    assert [bits(tuple(t)) for t in back.trades] == [bits(tuple(t)) for t in wf.trades]
    for w, v in zip(wf.windows, back.windows):
        assert (w.train, w.test, w.params) == (v.train, v.test, v.params)
        if w.out_of_sample is not None:
            assert result_bits(v.out_of_sample) == result_bits(w.out_of_sample)


def test_results_come_back_from_spawned_processes(result):
    context = multiprocessing.get_context("spawn")
    with cf.ProcessPoolExecutor(1, mp_context=context) as pool:
        back = pool.submit(run_sample).result(timeout=120)
    assert result_bits(back) == result_bits(result)


# --- files ---

def formats():
    try:
        import pyarrow.parquet  # noqa: F401
        parquet = ".parquet"
    except ImportError:
        parquet = pytest.param(".parquet", marks=pytest.mark.skip(reason="needs pyarrow"))
    return [".npz", parquet]


@pytest.mark.parametrize("suffix", formats())
def test_save_and_load_exactly(result, tmp_path, suffix):
    path = result.save(tmp_path / f"run{suffix}")
    back = cw.load(path)
    assert result_bits(back) == result_bits(result)
    assert bits(tuple(back.bars.column("timestamp"))) == bits(tuple(result.bars.timestamp))
    assert back._record().rules == result._record().rules
    assert back._record().account == result._record().account


def special_result():
    """A result holding the values a format most easily loses: NaN, both infinities, -0.0,
    the smallest subnormal, a NaN with a payload."""
    odd = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0]
    specials = [math.nan, math.inf, -math.inf, -0.0, 5e-324, odd, 1.0]
    n = len(specials)
    bars = cw.Bars.from_columns(np.arange(n, dtype=np.int64) * 3600,
                                *(np.full(n, 1.1) for _ in range(4)), np.array(specials), None)
    equity = _backtest._column("d", np.array(specials))
    _, (fields, data, reasons) = run_sample(0, 600).trades[:n].__reduce__()
    data = list(data)
    for name in ("pnl", "stop_loss", "mae", "swap"):
        data[fields.index(name)] = np.array(specials).tobytes()
    for name in ("entry_bar", "exit_bar"):
        data[fields.index(name)] = np.arange(n, dtype=np.int64).tobytes()
    trades = _backtest._trades(fields, tuple(data), reasons)
    stats = _backtest._stats(1e4, -0.0, math.nan, n, 0, 0.0, math.nan, math.inf, -math.inf,
                             math.nan, -0.0)
    record = RunRecord(bars, (1e4, 7.0, 0.0002, 1e5, 1.0), {"rules": "broker"}, "s", math.nan)
    return cw.Result(stats, trades, equity, 2, record, 1)


@pytest.mark.parametrize("suffix", formats())
def test_special_values_survive_a_file(tmp_path, suffix):
    original = special_result()
    back = cw.load(original.save(tmp_path / f"odd{suffix}"))
    assert bits(back.figures()) == bits(original.figures())
    assert bits(back.equity) == bits(original.equity)
    assert trades_bits(back.trades) == trades_bits(original.trades)
    assert bits(back.bars.column("volume")) == bits(original.bars.column("volume"))
    assert bits(back.metrics) == bits(original.metrics)


def test_a_saved_file_holds_no_pickle(result, tmp_path):
    path = result.save(tmp_path / "run.npz")
    with zipfile.ZipFile(path) as archive:
        for name in archive.namelist():
            # Object arrays are the ones numpy pickles; every array here is plain numbers.
            header = archive.read(name)[:200]
            assert b"'|O'" not in header and b"'O'" not in header


@pytest.mark.parametrize("name", ["run.csv", "run", "run.pkl"])
def test_other_suffixes_are_refused(result, tmp_path, name):
    with pytest.raises(ValueError, match="npz"):
        result.save(tmp_path / name)
    with pytest.raises(ValueError, match="npz"):
        cw.load(tmp_path / name)


def read_bytes(path):
    return pathlib.Path(path).read_bytes()


def hostile_files(result, tmp_path):
    good = read_bytes(result.save(tmp_path / "good.npz"))
    foreign = tmp_path / "foreign.npz"
    np.savez(foreign, a=np.arange(3))
    pickled = tmp_path / "pickled.npz"
    np.savez(pickled, meta=np.array([{"x": 1}], dtype=object))
    files = {
        "empty.npz": b"",
        "noise.npz": bytes(range(256)) * 8,
        "truncated.npz": good[: len(good) // 2],
        "foreign.npz": read_bytes(foreign),
        "pickled.npz": read_bytes(pickled),
    }
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
        files["empty.parquet"] = b""
        files["noise.parquet"] = b"PAR1" + bytes(range(256)) + b"PAR1"
        good_pq = read_bytes(result.save(tmp_path / "good.parquet"))
        files["truncated.parquet"] = good_pq[: len(good_pq) // 2]
        pq.write_table(pa.table({"a": [1, 2]}), tmp_path / "foreign.parquet")
        files["foreign.parquet"] = read_bytes(tmp_path / "foreign.parquet")
    except ImportError:
        pass
    return files


def test_hostile_files_are_refused_by_name(result, tmp_path):
    for name, content in hostile_files(result, tmp_path).items():
        path = tmp_path / "hostile" / name
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(content)
        with pytest.raises(ValueError) as caught:
            cw.load(path)
        message = str(caught.value)
        assert str(path) in message and "\n" not in message, (name, message)


@pytest.mark.parametrize("suffix", formats())
def test_doctored_contents_are_refused(result, tmp_path, suffix):
    # A file of ours whose metadata or columns were changed to say something impossible.
    from candlewright import saving
    columns = saving._columns(result, np)
    good = saving._meta(result)
    doctored = [
        dict(good, version=99),
        dict(good, figures={**good["figures"], "num_wins": 10**6}),
        dict(good, time_unit="fortnights"),
        dict(good, account={"initial_cash": "many"}),
    ]
    writer = saving._write_npz if suffix == ".npz" else saving._write_parquet
    for i, meta in enumerate(doctored):
        path = tmp_path / f"doctored{i}{suffix}"
        writer(path, columns, json.dumps(meta), np)
        with pytest.raises(ValueError, match="doctored"):
            cw.load(path)
    short = dict(columns, equity=columns["equity"][:-1])
    bad_bar = dict(columns, **{"trades.exit_bar": columns["trades.exit_bar"] + 10**6})
    for i, cols in enumerate((short, bad_bar)):
        path = tmp_path / f"columns{i}{suffix}"
        writer(path, cols, json.dumps(good), np)
        with pytest.raises(ValueError, match="columns"):
            cw.load(path)


def test_a_failed_save_keeps_the_earlier_file(result, tmp_path, monkeypatch):
    from candlewright import saving
    path = tmp_path / "run.npz"
    result.save(path)
    before = read_bytes(path)

    def breaks(target, columns, meta, np_):
        target.write_bytes(b"PK\x03\x04 half a file")
        raise OSError("disk full")
    monkeypatch.setattr(saving, "_write_npz", breaks)
    with pytest.raises(OSError, match="disk full"):
        result.save(path)
    assert read_bytes(path) == before and [p.name for p in tmp_path.iterdir()] == ["run.npz"]


def test_parquet_without_pyarrow_names_the_extra(result, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    with pytest.raises(ImportError, match=r"candlewright\[arrow\]"):
        result.save(tmp_path / "run.parquet")
