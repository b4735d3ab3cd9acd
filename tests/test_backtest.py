"""Backtest, Account and the trade journal: the same runs as Engine's, with what happened kept."""
import array
import math
import random
import re
import time
import types
import zlib

import pytest
from hypothesis import event, given, settings, strategies as st

import _candlewright
from candlewright import (Account, Backtest, Bar, Broker, Engine, SmaCross, Stats, Trades,
                          sample_bars)
from candlewright.backtest import TRADE_COLUMNS
from candlewright.sweeps import FIGURES

from account_model import same
from conftest import leak_check, requires_debug_build

np = pytest.importorskip("numpy")

ACCOUNT = (10_000.0, 7.0, 0.0002, 100_000.0, 1.0)
P = pytest.param


def walk(n, seed, start=1.1):
    rng = random.Random(seed)
    bars, close = [], start
    for i in range(n):
        open_ = close
        close = open_ + rng.gauss(0, 0.001)
        high = max(open_, close) + abs(rng.gauss(0, 0.0005))
        low = min(open_, close) - abs(rng.gauss(0, 0.0005))
        bars.append(Bar(1_600_000_000 + 3600 * i, open_, high, low, close, float(i % 7)))
    return bars


class Script:
    """Places the same orders on any account: per bar, a list of actions drawn up front. Records
    the equity at each close after its orders, which is what a run records."""

    def __init__(self, actions):
        self.actions = actions

    def init(self, bars):
        self.i, self.equity = -1, []

    def next(self, bar, broker):
        self.i += 1
        c, t = bar.close, bar.timestamp
        for kind, lots, a, b in self.actions.get(self.i, ()):
            if kind == "buy":
                broker.buy(c, lots, t, None if a is None else c - a, None if b is None else c + b)
            elif kind == "sell":
                broker.sell(c, lots, t, None if a is None else c + a, None if b is None else c - b)
            elif kind == "close":
                broker.close_position(int(abs(lots)), c + (a or 0.0), t)
            else:
                broker.close_all(c, t)
        self.equity.append(broker.equity(c))


# Negative distances put levels on the wrong side, and lots of 0 or -1 are no order at all: the
# broker's rules refuse such orders, the engine's take them.
distance = st.one_of(st.none(), st.floats(-0.004, 0.004))
action = st.tuples(st.sampled_from(["buy", "sell", "close", "close_all"]),
                   st.sampled_from([0.1, 1.0, 2.5, 0.0, -1.0]), distance, distance)
scripts = st.dictionaries(st.integers(0, 59), st.lists(action, max_size=3), max_size=40)


def check_journal(result, account):
    """What the table says agrees with the figures, the account's cash and its rules."""
    stats, trades = result.stats, result.trades
    pnl = list(trades.pnl)
    assert len(trades) == stats.num_trades
    total = -0.0
    for p in pnl:
        total = total + p
    assert same(total / len(pnl) if pnl else 0.0, stats.avg_pnl)
    assert sum(p > 0 for p in pnl) == stats.num_wins
    if pnl and not any(math.isnan(p) for p in pnl):
        assert max(pnl) == stats.best_trade and min(pnl) == stats.worst_trade
    cash = account[0] - math.fsum(trades.commission) + math.fsum(pnl)
    assert cash == pytest.approx(stats.final_cash, rel=1e-9, abs=1e-6)
    tickets = list(trades.ticket)
    assert len(set(tickets)) == len(tickets)
    for row in trades:
        assert row.mae <= 0.0 <= row.mfe and row.entry_bar <= row.exit_bar
        assert row.commission == account[1] * row.lot_size


@settings(max_examples=60, deadline=None)
@given(scripts, st.integers(0, 2**16),
       st.sampled_from([ACCOUNT, (1000.0, 0.0, 0.0, 1.0, 0.5), (5e3, -1.0, 0.01, 1e5, 1e-2)]))
def test_every_figure_and_equity_point_equals_engine_run(actions, seed, account):
    bars = walk(60, seed)
    engine_script, backtest_script = Script(actions), Script(actions)
    expected = Engine(bars, *account).run(engine_script)
    result = Backtest(bars, *account, rules="engine").run(backtest_script)
    try:
        Backtest(bars, *account).run(Script(actions))
    except ValueError:
        event("the broker refuses an order of this script")
    assert type(result.stats) is Stats
    for name in FIGURES:
        assert same(getattr(result.stats, name), getattr(expected, name)), name
    assert repr(result.stats) == repr(expected)
    assert list(result.equity) == engine_script.equity == backtest_script.equity
    check_journal(result, account)


def test_crossover_with_stops_and_targets_reproduces_the_report():
    bars = sample_bars()
    result = Backtest(bars, *ACCOUNT, rules="engine").run(
        SmaCross(fast=10, slow=40, stop_pips=20, target_pips=30))
    assert repr(result.stats) == repr(Engine(bars, *ACCOUNT).run(
        SmaCross(fast=10, slow=40, stop_pips=20, target_pips=30)))
    check_journal(result, ACCOUNT)
    reasons = set(result.trades.exit_reason)
    assert {"stop_loss", "take_profit", "close_all"} <= reasons <= {
        "stop_loss", "take_profit", "close_all", "end"}
    assert len(result.equity) == len(bars)
    assert repr(result).startswith(repr(result.stats) + "\nSharpe Ratio:")


class Journal:
    """One of each way to end: take-profit, stop-loss with both levels reached, close,
    close_ticket, close_all and the final close-out."""

    def init(self, bars):
        self.tickets = []

    def next(self, bar, account):
        self.account, t = account, bar.timestamp
        if bar.timestamp == 0:
            self.tickets += [account.buy(1.0, 1, t, 0.9, 1.2), account.sell(1.0, 2, t, 1.3, 0.8),
                             account.buy(1.0, 1, t, 0.95, 1.05), account.buy(1.0, 1, t, None, None),
                             account.sell(1.0, 1, t, None, None)]
        elif bar.timestamp == 1:
            # The third one reached its target on this bar before next.
            assert [p.ticket for p in account.positions] == [0, 1, 3, 4]
            account.close_position(3, bar.close, t)       # the fourth position
            assert account.close_ticket(self.tickets[4], bar.close, t) is True
            assert account.close_ticket(self.tickets[4], bar.close, t) is False
        elif bar.timestamp == 2:
            assert account.buy(1.0, 1, t, None, None) == 5
            account.close_all(bar.close, t)
            account.sell(1.0, 1, t, None, None)


def test_exit_reasons_excursions_and_bar_numbers():
    bars = [Bar(0, 1.0, 1.0, 1.0, 1.0, 0.0), Bar(1, 1.0, 1.1, 0.97, 1.02, 0.0),
            Bar(2, 1.0, 1.3, 0.8, 1.0, 0.0), Bar(3, 1.0, 1.01, 0.99, 1.0, 0.0)]
    strategy = Journal()
    trades = Backtest(bars, 1000.0, 0.5, 0.0, 1.0, 1.0).run(strategy).trades
    rows = {row.ticket: row for row in trades}
    assert [(t, rows[t].exit_reason, rows[t].exit_bar) for t in range(7)] == [
        (0, "stop_loss", 2), (1, "stop_loss", 2), (2, "take_profit", 1), (3, "close", 1),
        (4, "close", 1), (5, "close_all", 2), (6, "end", 3)]
    assert list(trades.ticket) == [2, 3, 4, 0, 1, 5, 6]  # closing order
    # Bar 2 reaches both levels of tickets 0 and 1: the stop wins.
    assert (rows[2].mae, rows[2].mfe) == pytest.approx((-0.03, 0.1))
    assert (rows[1].mae, rows[1].mfe) == pytest.approx((-0.3, 0.2))
    assert (rows[0].mae, rows[0].mfe) == pytest.approx((-0.2, 0.3))
    assert math.isnan(rows[3].stop_loss) and rows[0].stop_loss == 0.9
    ticket, is_long, *_, exit_reason, mae, mfe = rows[1]  # unpacks in the table's order
    assert (ticket, is_long, exit_reason, mae) == (1, False, "stop_loss", rows[1].mae)
    assert tuple(rows[1]) == tuple(getattr(rows[1], name) for name in TRADE_COLUMNS)
    assert rows[6].entry_bar == 2 and rows[0].entry_bar == 0
    strategy.account.buy(1.0, 1, 9, None, None)  # kept past the run: outside any bar
    assert strategy.account.positions[0].entry_bar == -1


def test_account_alone_tickets_views_and_snapshots():
    account = Account(*ACCOUNT)
    assert [account.buy(1.1, 1, i, None, None) for i in range(3)] == [0, 1, 2]
    held = account.positions
    trades_before = account.trades
    account.close_all(1.2, 9)
    assert account.sell(1.2, 1, 10, 1.3, None) == 3 and account.positions[0].id == 0
    assert [p.ticket for p in held] == [0, 1, 2] and len(trades_before) == 0
    trades = account.trades
    pnl = np.asarray(trades.pnl)
    account.close_ticket(3, 1.1, 11)
    assert len(trades) == 3 and len(account.trades) == 4 and pnl[0] == trades[0].pnl
    assert (account.cash, account.initial_cash, account.commission) == (
        account.equity(0.0), 10_000.0, 7.0)
    assert account.positions == () and account.positions[:0] == ()
    assert held[2].entry_bar == -1 and held[0].stop_loss is None
    assert "ticket=0" in repr(held[0]) and repr(trades) == "Trades(3 closed trades)"


def test_columns_are_read_only_views():
    result = Backtest(sample_bars()[:500], *ACCOUNT).run(SmaCross())
    pnl = result.trades.pnl
    view = np.asarray(pnl)
    assert np.shares_memory(view, np.asarray(pnl)) and not view.flags.writeable
    assert memoryview(pnl).strides == (128,) and memoryview(pnl).tolist() == list(pnl)
    assert view.dtype == np.float64 and np.asarray(result.trades.is_long).dtype == bool
    assert np.asarray(result.trades.ticket).dtype == np.uint64
    with pytest.raises(BufferError):
        zlib.crc32(pnl)  # asks for plain bytes, which a strided column cannot give
    equity = np.asarray(result.equity)
    assert equity.flags.c_contiguous and len(equity) == 500
    with pytest.raises(IndexError):
        pnl[len(pnl)]
    assert pnl[-1] == view[-1] and result.trades[-1].pnl == view[-1]
    assert list(result.trades[-3::2].ticket) == list(result.trades.ticket)[-3::2]
    assert len(result.trades[5:2]) == 0


def test_bars_come_as_the_one_bar_class():
    seen = []

    class Looks:
        def next(self, bar, account):
            seen.append((type(bar), type(account)))

    Backtest(walk(2, 0), *ACCOUNT).run(Looks())
    assert seen == [(_candlewright.Bar, Account)] * 2


BARS = walk(50, 3)
COLUMNS = {name: [getattr(b, name) for b in BARS]
           for name in ("timestamp", "open", "high", "low", "close", "volume")}


def frame(index_tz=None):
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({k.capitalize(): v for k, v in COLUMNS.items() if k != "timestamp"})
    df.index = pd.to_datetime(COLUMNS["timestamp"], unit="s", utc=True)
    return df if index_tz == "UTC" else df.tz_convert(index_tz) if index_tz else df.tz_localize(None)


@pytest.mark.parametrize("make", [
    P(lambda: {k: np.asarray(v) for k, v in COLUMNS.items()}, id="numpy"),
    P(lambda: COLUMNS, id="lists"),
    P(lambda: {k: array.array("q" if k == "timestamp" else "d", v) for k, v in COLUMNS.items()},
      id="array"),
    P(lambda: {k.upper(): np.asarray(v, dtype=np.float32 if k == "volume" else None)
               for k, v in COLUMNS.items()}, id="upper-case-float32-volume"),
    P(lambda: types.SimpleNamespace(**{k: np.asarray(v)[::1] for k, v in COLUMNS.items()}),
      id="attributes"),
    P(lambda: {"time": np.asarray(COLUMNS["timestamp"]).astype("datetime64[s]"),
               **{k: v for k, v in COLUMNS.items() if k != "timestamp"}}, id="datetime64"),
    P(frame, id="frame-naive"),
    P(lambda: frame("Europe/Berlin"), id="frame-tz"),
])
def test_columns_give_the_bars_of_the_sequence(make):
    expected = Backtest(BARS, *ACCOUNT).run(SmaCross(fast=2, slow=5))
    result = Backtest(make(), *ACCOUNT).run(SmaCross(fast=2, slow=5))
    assert repr(result.stats) == repr(expected.stats)
    got = Backtest(make(), *ACCOUNT)
    assert [tuple(getattr(b, f) for f in COLUMNS) for b in got.bars()] == [
        tuple(getattr(b, f) for f in COLUMNS) for b in BARS]


@pytest.mark.parametrize("data, error, text", [
    P({**COLUMNS, "close": COLUMNS["close"][:-1]}, ValueError, "columns differ in length",
      id="length"),
    P({k: v for k, v in COLUMNS.items() if k != "low"}, ValueError, "missing column low",
      id="missing"),
    P({k: v for k, v in COLUMNS.items() if k != "timestamp"}, ValueError, "no timestamp column",
      id="no-time"),
    P({**COLUMNS, "open": np.ones((50, 2))}, ValueError, "one-dimensional", id="2d"),
    P({**COLUMNS, "high": ["x"] * 50}, TypeError, "column 'high' must hold numbers", id="text"),
    P({**COLUMNS, "timestamp": np.ones(50)}, TypeError, "must hold integers", id="float-times"),
    P({**COLUMNS, "timestamp": np.full(50, 2**63, dtype=np.uint64)}, OverflowError,
      "row 0 does not fit", id="huge-time"),
    P({**COLUMNS, "close": np.ones(50, dtype=complex)}, TypeError, "format 'Zd'", id="complex"),
    P({**{k: v for k, v in COLUMNS.items() if k != "timestamp"},
       "time": np.asarray(COLUMNS["timestamp"]).astype("datetime64[ms]") + np.timedelta64(1, "ms")},
      ValueError, "fraction", id="fraction"),
])
def test_bad_columns_are_refused_with_a_reason(data, error, text):
    with pytest.raises(error, match=text):
        Backtest(data, *ACCOUNT)


@pytest.mark.parametrize("call", [
    P(lambda a: a.equity(), id="missing"),
    P(lambda a: a.buy("x", 1.0, 0, None, None), id="price"),
    P(lambda a: a.close_position(-1, 1.0, 0), id="negative-id"),
    P(lambda a: a.close_all(1.0, 0, price=1.0), id="twice"),
    P(lambda a: a.equity(current=1.0), id="keyword"),
    P(lambda a: type(a)(1.0, 2.0, 3.0, 4.0), id="construct"),
])
def test_errors_have_the_brokers_form(call):
    def message(obj):
        with pytest.raises(BaseException) as info:
            call(obj)
        return type(info.value), str(info.value).replace(type(obj).__name__, "<class>")

    assert message(Account(*ACCOUNT)) == message(Broker(*ACCOUNT))


def test_time_unit_and_annualisation_are_checked():
    with pytest.raises(ValueError, match="time_unit"):
        Backtest(BARS, *ACCOUNT, time_unit="h")
    with pytest.raises(ValueError, match="periods_per_year"):
        Backtest(BARS, *ACCOUNT, periods_per_year=0)
    fixed = Backtest(BARS, *ACCOUNT, periods_per_year=252).run(SmaCross(fast=2, slow=5))
    assert fixed.metrics["periods_per_year"] == 252


@requires_debug_build
def test_no_reference_leaks():
    bars = walk(30, 1)
    # array.array, not numpy: numpy's own calls leave references behind on a debug interpreter.
    columns = {k: array.array("q" if k == "timestamp" else "d", v) for k, v in COLUMNS.items()}

    def action():
        result = Backtest(bars, *ACCOUNT).run(Script({2: [("buy", 1.0, 0.001, 0.001)],
                                                      5: [("sell", 1.0, None, None)]}))
        trades = result.trades
        _ = [list(getattr(trades, name)) for name in ("pnl", "ticket", "is_long", "exit_reason")]
        _ = list(trades), repr(trades[0]), tuple(trades[0]), memoryview(result.equity).tolist()
        _ = trades[1:], tuple(Account(*ACCOUNT).positions)
        account = Account(*ACCOUNT)
        account.buy(1.0, 1, 0, None, None)
        _ = account.positions, account.trades, account.close_ticket(0, 1.0, 1)
        Backtest(columns, *ACCOUNT)
        with pytest.raises(ValueError):
            Backtest({**columns, "open": columns["open"][:3]}, *ACCOUNT)

    leak_check(action, repeat=20)


MISMATCH = """
import glob, importlib.util, os, sys, types
where = importlib.util.find_spec("candlewright").submodule_search_locations[0]
path = glob.glob(os.path.join(where, "_backtest*.so"))[0]
class Bar: pass
sys.modules["_candlewright"] = types.SimpleNamespace(Bar=Bar, Stats=Bar)
spec = importlib.util.spec_from_file_location("candlewright._backtest", path)
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
except ImportError as exc:
    print(exc)
"""


def test_a_core_of_another_build_is_refused_at_import():
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", MISMATCH], capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("_candlewright.Bar has instances of ") and "reinstall" in out


def test_a_curve_in_use_is_never_reused():
    # A finished curve's storage serves the next run only once nothing can see it any more.
    bt = Backtest(walk(200, 5), *ACCOUNT)
    first = bt.run(SmaCross(fast=2, slow=5))
    kept = list(first.equity)
    view = np.asarray(bt.run(SmaCross(fast=3, slow=9)).equity)  # its Result is gone, the view not
    seen = view.copy()
    for fast in (2, 4):
        assert list(bt.run(SmaCross(fast=fast, slow=11)).equity) != kept
    assert list(first.equity) == kept and (view == seen).all()
    assert list(bt.run(SmaCross(fast=2, slow=5)).equity) == kept


# --- the account by keyword, strategy classes, progress ---

def exact(result):
    """A run's figures, equity and trades as text that tells every bit."""
    return (repr([getattr(result.stats, name) for name in FIGURES]),
            np.asarray(result.equity).tobytes(), repr(list(result.trades.pnl)))


RULES = dict(leverage=30.0, swap_long=-6.0, swap_short=1.5, gap_fills="open")


@pytest.mark.parametrize("make", [
    lambda bars: Backtest(bars, *ACCOUNT, **RULES),
    lambda bars: Backtest(bars, initial_cash=10_000, commission=7, spread=0.0002,
                          contract_size=100_000, quote_to_account=1, **RULES),
    lambda bars: Backtest(bars, quote_to_account=1.0, spread=0.0002, **RULES),
    lambda bars: Backtest(bars, **RULES),
], ids=["positional", "keywords", "some keywords", "defaults"])
def test_the_account_runs_the_same_however_it_is_given(make):
    bars = sample_bars()[:4000]
    reference = Backtest(bars, 10_000.0, 7.0, 0.0002, 100_000.0, 1.0, **RULES)
    result = make(bars).run(SmaCross(fast=8, slow=30))
    assert exact(result) == exact(reference.run(SmaCross(fast=8, slow=30)))
    assert make(bars).account == ACCOUNT
    assert result.metrics["commissions"] > 0 and result.metrics["spread_paid"] > 0


@pytest.mark.parametrize("call, text", [
    (lambda bars: Backtest(bars, cash=10_000),
     "unexpected keyword argument 'cash' (use initial_cash)"),
    (lambda bars: Backtest(bars, levrage=30), "'levrage' (did you mean leverage?)"),
    (lambda bars: Backtest(bars, SmaCross), "takes the account, not the strategy: give SmaCross "
                                            "to run(), as Backtest(data).run(SmaCross, **params)"),
    (lambda bars: Backtest(bars).run(NeedsPeriod),
     "NeedsPeriod needs period: give it to run, as run(NeedsPeriod, period=...)"),
    (lambda bars: Backtest(bars).run(NeedsPeriod, period=3, size=1),
     "NeedsPeriod takes no parameter 'size'; its parameters: period, lots"),
    (lambda bars: Backtest(bars).run(SmaCross(), fast=3),
     "go with a strategy class, as run(SmaCross, fast=...)"),
], ids=["cash", "typo", "strategy for the account", "missing parameter", "unknown parameter",
        "parameters with an instance"])
def test_what_does_not_fit_says_what_to_write(call, text):
    with pytest.raises(TypeError) as caught:
        call(sample_bars()[:10])
    assert text in str(caught.value)


class NeedsPeriod:
    def __init__(self, period, lots=0.1):
        self.period, self.lots = period, lots

    def next(self, bar, account):
        if account.bar_index == self.period:
            account.buy(bar.close, self.lots, bar.timestamp)


class Keeps(SmaCross):
    """More state of its own, started through the parent's init."""

    def init(self, bars):
        super().init(bars)
        self.seen = len(bars)


@pytest.mark.parametrize("cls, params, made", [
    (SmaCross, {"fast": 12, "slow": 30, "lots": 0.2}, lambda: SmaCross(12, 30, 0.2)),
    (NeedsPeriod, {"period": 50}, lambda: NeedsPeriod(50)),
    (Keeps, {}, SmaCross),
], ids=["params", "required param", "subclass with an init"])
def test_run_makes_the_strategy_from_its_class(cls, params, made):
    bt = Backtest(sample_bars()[:2000])
    assert exact(bt.run(cls, **params)) == exact(bt.run(made()))


def test_help_on_a_strategy_reads_as_methods():
    import pydoc

    text = pydoc.render_doc(SmaCross, renderer=pydoc.plaintext)
    assert "_Hook" not in text and "object at" not in text
    # Annotations show as text before 3.14, and long signatures wrap from 3.13 on.
    assert re.search(r"init\(self\) -> '?None", text)
    assert re.search(r"next\(self\) -> '?None", text)
    assert re.search(r"SmaCross\(\s*(\|\s*)?fast=10,\s*(\|\s*)?slow=40,", text)
    # Every run starts afresh, a subclass's too, one that keeps the plain protocol included.
    strategy, keeps = SmaCross(), Keeps()
    bt = Backtest(sample_bars()[:3000])
    assert exact(bt.run(strategy)) == exact(bt.run(strategy)) == exact(bt.run(keeps)) == \
        exact(bt.run(keeps))
    assert keeps.seen == 3000


class Sleepy(SmaCross):
    """Slow enough for a progress bar to be drawn."""

    def next(self, bar, account):
        time.sleep(0.0002)
        super().next(bar, account)


class Fails(SmaCross):
    def next(self, bar, account):
        if account.bar_index == 300:
            raise ZeroDivisionError


@pytest.mark.parametrize("strategy", [Sleepy, Keeps, Script({3: [("buy", 0.1, 0.002, None)],
                                                            90: [("close_all", 0, 0, 0)]})],
                         ids=["no init", "init through the parent", "init"])
def test_progress_changes_nothing_in_the_run(strategy, monkeypatch, capsys):
    import threading

    from candlewright import _progress

    def watchers():
        # None left behind, tqdm's monitor neither: a process with a thread cannot fork sweeps.
        return set(threading.enumerate()) - set(before)

    monkeypatch.setattr(_progress, "DELAY", 0.0)
    monkeypatch.setattr(_progress, "POLL", 0.01)
    bt = Backtest(sample_bars()[:600])
    before = threading.enumerate()
    assert exact(bt.run(strategy, progress=True)) == exact(bt.run(strategy))
    assert not watchers()
    if strategy is Sleepy:
        assert "/600" in capsys.readouterr().err
        with pytest.raises(ZeroDivisionError):
            bt.run(Fails, progress=True)
        assert not watchers()


@requires_debug_build
def test_no_leaks_making_strategies_or_watching_runs():
    bars = walk(30, 1)
    bt = Backtest(bars)

    def action():
        bt.run(SmaCross, fast=2, slow=5)
        bt.run(Keeps(fast=2, slow=5), progress=True)
        with pytest.raises(TypeError):
            bt.run(NeedsPeriod)
        with pytest.raises(TypeError):
            Backtest(bars, cash=1)

    # SmaCross's averages go through numpy, whose release build skews the reference total.
    leak_check(action, repeat=20, refs=False)
