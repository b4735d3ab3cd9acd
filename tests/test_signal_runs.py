"""Signal runs: `Backtest.run_signals` gives `Backtest.run(SignalStrategy(...))`'s result to the
bit, for one set or many, on any number of threads; sweeps of signal strategies run on threads;
and the run loop's reuse of unkept bar objects is invisible to strategies."""
import array
import math
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from candlewright import Backtest, Bar, Engine, SignalStrategy, sweep
from conftest import leak_check, requires_debug_build

EUR = (10_000.0, 7.0, 0.0001, 100_000.0, 1.0)


def walk(n, seed=3):
    rng = np.random.default_rng(seed)
    close = 1.1 + np.cumsum(rng.normal(0.0, 4e-4, n))
    high = close + rng.random(n) * 6e-4
    low = close - rng.random(n) * 6e-4
    return {"timestamp": np.arange(n, dtype=np.int64) * 3600, "open": close, "high": high,
            "low": low, "close": close}


DATA = walk(400)
N = 400


def signals(seed, n=N, density=0.1, kind=np.int8):
    rng = np.random.default_rng(seed)
    values = rng.choice([-1, 0, 1], n, p=[density / 2, 1 - density, density / 2])
    return values.astype(kind)


def fingerprint(result):
    """Everything a Result holds, as text that tells every float bit (NaN, -0.0 and all)."""
    rows = result.trade_rows()
    return (repr(result.stats), [float.hex(x) for x in result.equity], result.exposure_bars,
            result.orders_refused,
            {k: [float.hex(x) if isinstance(x, float) else x for x in v] for k, v in rows.items()})


def outcome(run):
    """The run's fingerprint, or why the account refused one of its orders (the same words
    whichever path refused it)."""
    try:
        return fingerprint(run())
    except ValueError as exc:
        return "refused", re.sub(r"^(Account\.\w+|run_signals)\(\): (at bar \d+: )?", "",
                                 str(exc))


def reference(bt, *args, **kw):
    return fingerprint(bt.run(SignalStrategy(*args, **kw)))


OPTIONS = [
    {},
    {"rules": "engine"},
    {"rules": "engine", "gap_fills": "open", "commission_at": "both"},
    {"rules": "engine", "spread_at": "entry", "leverage": 30.0},
    {"margin_per_lot": 4_000.0, "stop_out": 80.0},
    {"prices": "ask", "leverage": 30.0},
    {"prices": "mid", "gap_fills": "level", "commission_at": "both"},
]

per_bar_distance = st.one_of(
    st.none(), st.floats(0.0002, 0.01),
    st.integers(0, 2**31).map(lambda seed: np.where(
        np.random.default_rng(seed).random(N) < 0.2, np.nan,
        np.random.default_rng(seed + 1).random(N) * 0.008)))


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**31), side=st.sampled_from(["long", "short", "both"]),
       with_exits=st.booleans(), stop_loss=per_bar_distance, take_profit=per_bar_distance,
       lots=st.one_of(st.floats(0.01, 3.0), st.just("per bar")),
       max_positions=st.integers(1, 4), options=st.sampled_from(OPTIONS),
       density=st.floats(0.01, 0.6))
def test_native_run_is_the_strategy_run(seed, side, with_exits, stop_loss, take_profit, lots,
                                        max_positions, options, density):
    bt = Backtest(walk(N, seed % 97), *EUR, **options)
    entries = signals(seed, density=density)
    exits = signals(seed + 1, density=density / 2) if with_exits else None
    if lots == "per bar":
        lots = np.random.default_rng(seed).random(N) + 0.05
    kw = dict(side=side, lots=lots, stop_loss=stop_loss, take_profit=take_profit,
              max_positions=max_positions)
    assert outcome(lambda: bt.run_signals(entries, exits, **kw)) == outcome(
        lambda: bt.run(SignalStrategy(entries, exits, **kw)))


def test_per_bar_spread_and_rate():
    data = dict(DATA, spread=np.random.default_rng(5).integers(5, 30, N).astype(float))
    bt = Backtest(data, 10_000.0, 3.0, "spread", 100_000.0, "1/close", point=0.00001,
                  swap_long=-1.0, swap_short=0.5)
    kw = dict(side="both", lots=0.5, stop_loss=0.004, take_profit=0.003)
    entries = signals(11, density=0.2)
    assert fingerprint(bt.run_signals(entries, **kw)) == reference(bt, entries, **kw)


def test_what_a_bar_does_in_order():
    bt = Backtest(DATA, *EUR)
    close = DATA["close"]
    entries = np.zeros(N, np.int8)
    exits = np.zeros(N, np.int8)
    entries[[10, 20, 30]] = [1, -1, -1]
    exits[40] = 1
    result = bt.run_signals(entries, exits, side="both", lots=0.2, stop_loss=math.nan)
    trades = result.trades
    # 10 opens long, 20 reverses, 30 is already short, 40 exits.
    assert list(trades.entry_bar) == [10, 20]
    assert list(trades.exit_bar) == [20, 40]
    assert list(trades.exit_reason) == ["close_all", "close_all"]
    assert list(trades.is_long) == [True, False]
    # A buy at the ask, a sell at the bid: the bars' own price.
    assert list(trades.entry_price) == [close[10] + 0.0001, close[20]]
    assert all(math.isnan(x) for x in trades.stop_loss)


def test_levels_are_distances_from_the_close():
    entries = np.zeros(N, bool)
    entries[5] = True
    for side, sign in (("long", 1), ("short", -1)):
        trade = next(iter(Backtest(DATA, *EUR).run_signals(
            entries, side=side, stop_loss=0.002, take_profit=0.003).trades))
        assert trade.stop_loss == DATA["close"][5] - sign * 0.002
        assert trade.take_profit == DATA["close"][5] + sign * 0.003


def as_pandas(values):
    return pytest.importorskip("pandas").Series(values)


def as_arrow(values):
    return pytest.importorskip("pyarrow").array(values)


@pytest.mark.parametrize("convert", [
    lambda s: s.astype(bool), lambda s: s.astype(np.float32), lambda s: s.astype(np.int64),
    lambda s: s.astype(np.uint8), lambda s: list(s.astype(bool)), lambda s: s.tolist(),
    lambda s: array.array("b", s.tolist()), lambda s: np.repeat(s, 2)[::2],
    lambda s: as_pandas(s.astype(bool)), lambda s: as_arrow(s.astype(bool)),
], ids=["bool", "float32", "int64", "uint8", "list of bool", "list of int", "array", "strided",
        "pandas", "arrow"])
def test_any_array_of_signals(convert):
    bt = Backtest(DATA, *EUR)
    entries = np.abs(signals(2, density=0.3))
    expected = fingerprint(bt.run_signals(entries, side="short", stop_loss=0.003))
    assert fingerprint(bt.run_signals(convert(entries), side="short", stop_loss=0.003)) == expected


def test_many_sets_are_each_set_alone():
    bt = Backtest(DATA, *EUR)
    entries = np.stack([signals(seed, density=0.2) for seed in range(6)], axis=1)
    exits = signals(99)
    stops = np.random.default_rng(1).random((N, 6)) * 0.006
    kw = dict(side="both", lots=0.3, take_profit=0.004)
    alone = [fingerprint(bt.run_signals(entries[:, k], exits, stop_loss=stops[:, k], **kw))
             for k in range(6)]
    results = bt.run_signals(entries, exits, stop_loss=stops, **kw)
    assert [fingerprint(r) for r in results] == alone
    figures = bt.run_signals(entries, exits, stop_loss=stops, keep="figures", **kw)
    assert [repr(s) for s in figures] == [a[0] for a in alone]


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
def test_threads_give_the_same_results(threads):
    bt = Backtest(walk(3000), *EUR)
    entries = np.stack([signals(seed, 3000, density=0.05) for seed in range(12)], axis=1)
    kw = dict(side="both", lots=0.1, stop_loss=0.003, take_profit=0.006)
    one = [fingerprint(r) for r in bt.run_signals(entries, threads=1, **kw)]
    assert [fingerprint(r) for r in bt.run_signals(entries, threads=threads, **kw)] == one


def make_signal_strategy(fast, slow, data=DATA):
    close = data["close"]
    average = lambda w: np.convolve(close, np.ones(w) / w)[:len(close)]  # noqa: E731
    above = (average(fast) > average(slow)).view(np.int8)
    entries = np.zeros(len(close), np.int8)
    entries[1:] = np.diff(above)
    return SignalStrategy(entries, side="both", lots=0.1, stop_loss=0.004, take_profit=0.006)


def test_run_sets_on_threads():
    bt = Backtest(DATA, *EUR)
    sets = [{"fast": f, "slow": s} for f in (3, 5, 8) for s in (13, 21)]
    expected = [fingerprint(bt.run(make_signal_strategy(**p))) for p in sets]
    for threads in (1, 2):
        assert [fingerprint(r) for r in bt.run_sets(make_signal_strategy, sets,
                                                    threads=threads)] == expected
    figures = bt.run_sets(lambda **p: make_signal_strategy(**p).arguments(), sets,
                          keep="figures")
    assert [repr(s) for s in figures] == [e[0] for e in expected]
    with pytest.raises(ValueError, match="a value per bar"):
        bt.run_sets(lambda fast: SignalStrategy([1] * (N - 1)) if fast else None,
                    [{"fast": 1}], threads=2)


class Wrapped:
    """A SignalStrategy behind an ordinary class: runs in Python, by next."""

    def __init__(self, **params):
        self.inner = make_signal_strategy(**params)

    def init(self, bars):
        self.inner.init(bars)

    def next(self, bar, account):
        self.inner.next(bar, account)


def test_signal_sweep_runs_on_threads_with_the_same_results():
    bars = Backtest(DATA, *EUR).bars()
    grid = {"fast": [3, 5, 8], "slow": [13, 21]}
    account = dict(initial_cash=EUR[0], commission=EUR[1], spread=EUR[2], contract_size=EUR[3],
                   quote_to_account=EUR[4])
    native = sweep(make_signal_strategy, grid, bars, max_workers=2, progress=False,
                   maximize="sharpe", **account)
    python = sweep(Wrapped, grid, bars, max_workers=1, progress=False, maximize="sharpe",
                   **account)
    assert [r.params for r in native] == [r.params for r in python]
    assert [r.figures for r in native] == [r.figures for r in python]
    assert [repr(r.metrics) for r in native] == [repr(r.metrics) for r in python]


@pytest.mark.parametrize("args, kw, error, match", [
    ((np.array([0.0, math.nan] * (N // 2)),), {}, ValueError, "NaN .*bar 1"),
    ((np.zeros(N - 1),), {}, ValueError, r"a value per bar \(400\)"),
    ((np.zeros((N, 3)), np.zeros((N, 2))), {}, ValueError, "exits has 2 sets, but entries has 3"),
    ((np.zeros((N, 2, 2)),), {}, ValueError, "shape"),
    ((np.zeros(N),), {"lots": 0.0}, ValueError, "lots must be positive"),
    ((np.zeros(N),), {"lots": np.full(N, math.inf)}, ValueError, "lots .*bar 0"),
    ((np.zeros(N),), {"side": "sideways"}, ValueError, "side must be one of"),
    ((np.zeros(N),), {"max_positions": 0}, ValueError, "max_positions"),
    ((np.zeros(N),), {"keep": "trades"}, ValueError, "keep must be"),
    ((np.zeros(N),), {"threads": 0}, ValueError, "threads"),
    ((np.array(["x"] * N),), {}, TypeError, "must hold numbers"),
    (("1010",), {}, TypeError, "array of numbers"),
    ((None,), {}, TypeError, "entries"),
])
def test_bad_arguments_are_refused(args, kw, error, match):
    with pytest.raises(error, match=match):
        Backtest(DATA, *EUR).run_signals(*args, **kw)


def test_reused_bars_are_the_bars():
    """The loop hands an unkept bar's object on to the next bar; kept ones stay as they were."""
    data = [Bar(i, 1.0 + i, 2.0 + i, 0.5 + i, 1.5 + i, float(i)) for i in range(50)]

    class Keeper:
        def __init__(self):
            self.kept, self.seen = [], []

        def next(self, bar, broker):
            self.seen.append((bar.timestamp, bar.open, bar.high, bar.low, bar.close, bar.volume))
            if bar.timestamp % 3 == 0:
                self.kept.append(bar)

    for run in (lambda s: Engine(data, *EUR).run(s), lambda s: Backtest(data, *EUR).run(s)):
        keeper = Keeper()
        run(keeper)
        assert keeper.seen == [(b.timestamp, b.open, b.high, b.low, b.close, b.volume)
                               for b in data]
        assert [b.timestamp for b in keeper.kept] == list(range(0, 50, 3))
        assert [b.close for b in keeper.kept] == [1.5 + i for i in range(0, 50, 3)]


@requires_debug_build
def test_signal_runs_leak_nothing():
    # array.array, not numpy: numpy's own calls leave references behind on a debug interpreter.
    data = {k: array.array("q" if k == "timestamp" else "d", v.tolist()) for k, v in DATA.items()}
    bt = Backtest(data, *EUR, leverage=50.0)
    entries = array.array("b", signals(4, density=0.3).tolist())
    sets = memoryview(array.array("b", [x for x in entries for _ in range(3)])).cast("b", (N, 3))
    lots = array.array("d", [0.5] * N)

    def tour():
        bt.run_signals(entries, entries, side="both", stop_loss=0.002).trade_rows()
        bt.run_signals(sets, lots=lots, threads=2)
        bt.run_signals(sets, side="short", keep="figures", threads=3)
        bt.run_sets(lambda k: SignalStrategy(entries, side="both", lots=k), [{"k": 1}, {"k": 2}],
                    threads=2)
        for bad in (array.array("d", [math.nan] * N), entries[:5]):
            with pytest.raises(ValueError):
                bt.run_signals(bad)

    leak_check(tour, repeat=20)


# --- the account by keyword ---

DEFAULTS = (10_000.0, 7.0, 0.0002, 100_000.0, 1.0)
RULES = dict(leverage=30.0, swap_long=-6.0, gap_fills="open")


@pytest.mark.parametrize("account, rules", [
    ({}, {}),
    (dict(initial_cash=10_000, commission=7, spread=0.0002, contract_size=100_000,
          quote_to_account=1), RULES),
    (dict(spread=0.0002), RULES),
], ids=["defaults", "all by keyword", "some by keyword"])
def test_signal_runs_take_the_account_by_keyword(account, rules):
    data = dict(DATA, timestamp=DATA["timestamp"] + 1_700_000_000)
    reference = Backtest(data, *DEFAULTS, **rules)
    bt = Backtest(data, **account, **rules)
    strategy = make_signal_strategy(5, 13, data)
    expected = fingerprint(reference.run(strategy))
    assert fingerprint(bt.run_signals(**strategy.arguments())) == expected
    assert fingerprint(bt.run(SignalStrategy, **strategy.arguments())) == expected
    bars = reference.bars()
    swept = sweep(lambda: strategy, [{}], bars, **account, **rules, maximize="final_cash")
    assert fingerprint(swept.best_result) == expected
