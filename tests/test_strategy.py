"""Strategy classes: what next sees, indicators and their look-ahead check, parameters, orders
and sizing by risk, the plain protocol, and what the result and its report keep."""
import collections
import math
import pickle

import numpy as np
import pytest

from candlewright import (Backtest, Bar, Engine, LookAheadError, SmaCross, Strategy, crossover,
                          crossunder, load, sample_bars, sweep, ta)

from conftest import leak_check, requires_debug_build

P = pytest.param
N = 300


def frame(n=N, seed=4, start=1.1):
    rng = np.random.default_rng(seed)
    close = start + np.cumsum(rng.normal(0, 0.0008, n))
    return {"timestamp": 1_600_000_000 + 3600 * np.arange(n), "open": close, "high": close + 0.001,
            "low": close - 0.001, "close": close, "volume": np.ones(n),
            "signal": rng.integers(-1, 2, n).astype(float)}


DATA = frame()


class Sees(Strategy):
    window = 5

    def init(self):
        self.mean = self.I(ta.sma, self.data.close, self.window)
        self.seen = []

    def next(self):
        with pytest.raises(IndexError):
            self.data.close[len(self.data.close)]  # the next bar is not there yet
        self.seen.append((self.i, self.time, len(self.data.close), self.data.close[-1],
                          self.data.close[:].copy(), self.mean[-1], len(self.mean),
                          self.data.signal[-1] if hasattr(self.data, "signal") else None))


@pytest.mark.parametrize("data", [P(DATA, id="columns"), P(sample_bars()[:N], id="Bars")])
def test_next_sees_exactly_the_bars_up_to_its_own(data):
    strategy = Sees()
    Backtest(data).run(strategy)
    close = np.asarray(Backtest(data).column("close"))
    times = np.asarray(Backtest(data).column("timestamp"))
    mean = ta.sma(close, 5)
    assert len(strategy.seen) == len(close)
    for i, (at, time, count, last, so_far, average, seen, _) in enumerate(strategy.seen):
        assert (at, time, count, last, seen) == (i, times[i], i + 1, close[i], i + 1)
        assert np.array_equal(so_far, close[:i + 1])
        assert np.array_equal(average, mean[i], equal_nan=True)
    if isinstance(data, dict):
        assert [s[7] for s in strategy.seen] == list(data["signal"])


def shifted(x):
    return np.append(x[1:], np.nan)


def centred(x):
    return np.convolve(x, np.ones(3) / 3, mode="same")


def scaled(x):
    return x / x[len(x) // 2:].max()  # a maximum taken over bars not reached yet


def trailing(x):
    pd = pytest.importorskip("pandas")
    return pd.Series(x).rolling(7).mean()


@pytest.mark.parametrize("func, peeks", [
    P(shifted, True, id="shift back"), P(centred, True, id="centred"),
    P(scaled, True, id="scaled by later max"), P(np.cumsum, False, id="cumsum"),
    P(trailing, False, id="pandas rolling"), P(lambda x: ta.ema(x, 9), False, id="ema"),
])
def test_the_look_ahead_check(func, peeks):
    class Uses(Strategy):
        def init(self):
            self.values = self.I(func, self.data.close)

    run = lambda: Backtest(DATA).run(Uses)  # noqa: E731
    if peeks:
        with pytest.raises(LookAheadError, match="reads ahead"):
            run()
    else:
        assert run().indicators


Pair = collections.namedtuple("Pair", "up down")


@pytest.mark.parametrize("func, names", [
    P(lambda x: Pair(x + 1, x - 1), ["f.up", "f.down"], id="namedtuple"),
    P(lambda x: (x, 2 * x), ["f.0", "f.1"], id="tuple"),
    P(lambda x: np.vstack([x, -x]), ["f.0", "f.1"], id="2-D rows"),
    P(lambda x: x > 1.1, ["f"], id="booleans"),
])
def test_indicator_outputs(func, names):
    class Uses(Strategy):
        def init(self):
            self.out = self.I(func, self.data.close, name="f")

        def next(self):
            if isinstance(self.out, tuple):
                assert all(len(view) == self.i + 1 for view in self.out)

    strategy = Uses()
    result = Backtest(DATA).run(strategy)
    assert list(result.indicators) == names
    if names[0] == "f.up":
        assert isinstance(strategy.out, Pair)
        assert strategy.out.up[-1] == DATA["close"][-1] + 1


@pytest.mark.parametrize("func, error, text", [
    P(lambda x: x[:-1], ValueError, "one value per bar", id="short"),
    P(lambda x: np.array(["a"] * len(x)), TypeError, "not numbers", id="text"),
])
def test_bad_indicators_are_refused(func, error, text):
    class Uses(Strategy):
        def init(self):
            self.I(func, self.data.close)

    with pytest.raises(error, match=text):
        Backtest(DATA).run(Uses)


def test_parameters_through_run_positional_and_sweep():
    bt = Backtest(sample_bars()[:3000])

    def figures(result):
        return repr(result.stats), list(result.equity)

    assert figures(bt.run(SmaCross, fast=5, slow=20)) == figures(bt.run(SmaCross(5, 20))) == \
        figures(bt.run(SmaCross(slow=20, fast=5)))
    grid = {"fast": [5, 8], "slow": [20, 30]}
    swept = sweep(SmaCross, grid, sample_bars()[:3000], max_workers=1)
    for row in swept:
        assert row.figures == bt.run(SmaCross, **row.params).figures()


@pytest.mark.parametrize("params, text", [
    P({"fast": 2.5}, "whole number", id="fraction for int"),
    P({"fast": "5"}, "whole number", id="text for int"),
    P({"fast": True}, "whole number", id="bool for int"),
    P({"lots": "0.1"}, "a number", id="text for float"),
    P({"fats": 5}, "no parameter 'fats'", id="misspelt"),
])
def test_parameters_are_checked(params, text):
    with pytest.raises(TypeError, match=text):
        SmaCross(**params)
    assert SmaCross(fast=5.0).fast == 5 and isinstance(SmaCross(lots=1).lots, float)


def test_sizing_by_risk_on_a_jpy_account_with_a_rate_per_bar():
    # A JPY account trading EURUSD: USDJPY 110 on even bars, 150 on odd ones.
    rates = np.where(np.arange(N) % 2 == 0, 110.0, 150.0)
    opened = []

    class Risky(Strategy):
        def next(self):
            if self.i in (10, 11):
                stop = self.data.close[-1] - 0.0048  # 0.0050 below the ask, 2 pips above
                if self.buy(risk=0.01, stop_loss=stop) is not None:
                    opened.append(self.positions[-1].lot_size)
                    self.close()

    result = Backtest(DATA, 1_000_000, 0, 0.0002, 100_000, rates, commission_at="open").run(
        Risky)
    # 1,000,000 x 0.01 = 10,000 JPY at risk; a lot loses 0.0050 x 100,000 x rate at the stop.
    expected = [math.floor(10_000 / (0.0050 * 100_000 * rate) / 0.01 + 1e-9) * 0.01
                for rate in (110.0, 150.0)]
    assert opened == pytest.approx(expected, abs=1e-12)
    assert expected == pytest.approx([0.18, 0.13])
    assert result.orders_too_small == 0
    small = Backtest(DATA, 1_000_000, 0, 0.0002, 100_000, rates, min_lots=0.5).run(Risky)
    assert small.orders_too_small == 2 and small.stats.num_trades == 0 and len(opened) == 2


def test_orders_pending_closing_and_lot_checks():
    events = []

    class Trades(Strategy):
        def next(self):
            close = self.data.close[-1]
            if self.i == 1:
                events.append(self.buy(0.1, take_profit=close + 0.01))
                events.append(self.sell(0.2, limit=close + 0.5))
            elif self.i == 2:
                events.append((bool(self.position), self.position.lots, len(self.orders)))
                self.cancel(self.orders[0].ticket)
                self.close(events[0], lots=0.05)
                events.append(self.position.lots)
            elif self.i == 3:
                self.close()
                events.append((bool(self.position), self.last_trade.lot_size))

    Backtest(DATA).run(Trades)
    assert events[2:] == [(True, 0.1, 1), pytest.approx(0.05), (False, pytest.approx(0.05))]

    class Odd(Strategy):
        def next(self):
            self.buy(0.005)

    with pytest.raises(ValueError, match=r"buy\(lots=0.005\): the account trades 0.01"):
        Backtest(DATA).run(Odd)
    assert Backtest(DATA, rules="engine").run(Odd).stats.num_trades > 0  # any order goes
    with pytest.raises(TypeError, match="lots= or risk="):
        Backtest(DATA).run(type("Neither", (Strategy,), {"next": lambda self: self.buy()}))


def test_crossings_of_views_sequences_and_numbers():
    class Cross(Strategy):
        def init(self):
            self.fast = self.I(ta.sma, self.data.close, 3)
            self.slow = self.I(ta.sma, self.data.close, 8)
            self.up, self.down, self.level = [], [], []

        def next(self):
            self.up.append(crossover(self.fast, self.slow))
            self.down.append(crossunder(self.fast, list(self.slow)))
            self.level.append(crossover(self.data.close, 1.1))

    strategy = Cross()
    Backtest(DATA).run(strategy)
    close = DATA["close"]
    fast, slow = ta.sma(close, 3), ta.sma(close, 8)
    assert strategy.up == list(ta.crossover(fast, slow))
    assert strategy.down == list(ta.crossunder(fast, slow))
    assert strategy.level == list(ta.crossover(close, 1.1))
    assert sum(strategy.up) > 3


class Plain(SmaCross):
    """A subclass in the plain protocol, calling its parent's methods through super()."""

    def init(self, bars):
        super().init(bars)
        self.bars = len(bars)

    def next(self, bar, account):
        super().next(bar, account)


def test_the_plain_protocol_runs_the_same():
    bars = sample_bars()[:4000]
    engine = Engine(list(bars), 10_000, 7, 0.0002, 100_000, 1)
    backtest = Backtest(bars, rules="engine")
    expected = repr(backtest.run(SmaCross()).stats)
    assert repr(engine.run(SmaCross())) == expected
    plain = Plain()
    assert repr(backtest.run(plain).stats) == repr(engine.run(Plain())) == expected
    assert plain.bars == 4000


def test_the_result_keeps_and_draws_the_indicators(tmp_path):
    pytest.importorskip("bokeh")
    result = Backtest(sample_bars()[:2000]).run(SmaCross, fast=7, slow=30)
    assert list(result.indicators) == ["sma(close, 7)", "sma(close, 30)"]
    assert np.array_equal(result.indicators["sma(close, 7)"]["values"],
                          ta.sma(np.asarray(result.bars.close), 7), equal_nan=True)
    copy = pickle.loads(pickle.dumps(result))
    loaded = load(result.save(tmp_path / "run.npz"))
    for kept in (copy, loaded):
        assert list(kept.indicators) == list(result.indicators)
        assert all(np.array_equal(kept.indicators[k]["values"], spec["values"], equal_nan=True)
                   for k, spec in result.indicators.items())
    text = open(result.plot(str(tmp_path / "r.html"), indicators={"mine": np.ones(2000)}),
                encoding="utf-8").read()
    assert "sma(close, 7)" in text and "sma(close, 30)" in text and "mine" in text


class Trader(Strategy):
    """The native side of a strategy class without numpy: views, clock, crossings, orders."""

    lots = 0.1

    def next(self):
        close = self.data.close
        if crossover(close, 1.0) or crossunder(close, self.data.open):
            self.close()
            self.buy(self.lots, stop_loss=close[-1] - 0.01)
        elif self.i % 7 == 3:
            self.sell(risk=0.01, stop_loss=close[-1] + 0.01)
        len(self.data.high)
        self.data.timestamp[-1]


@requires_debug_build
def test_no_reference_leaks():
    bars = [Bar(i, 1.0 + i % 5 / 100, 1.1 + i % 5 / 100, 0.9 + i % 5 / 100, 1.0 + i % 3 / 100,
                0.0) for i in range(40)]
    bt = Backtest(bars)
    leak_check(lambda: bt.run(Trader, lots=0.2), repeat=50)
    # Indicators go through numpy, which a debug interpreter cannot count: its release build
    # moves the reference total, and even numpy.asarray of a float64 array adds a block a round.


def test_views_of_a_finished_run_stay_valid():
    strategy = Sees()
    Backtest(frame(50)).run(strategy)
    del strategy.data  # the views keep their bars alive
    assert len(strategy.mean) == 50 and not math.isnan(strategy.mean[-1])
    assert np.asarray(strategy.mean).shape == (50,)
    with pytest.raises(TypeError, match="read-only"):
        memoryview(strategy.mean).cast("B")[0:1] = b"x"


def test_a_bar_list_gives_the_views_too():
    bars = [Bar(i, 1.0 + i / 100, 1.1 + i / 100, 0.9 + i / 100, 1.0 + i / 100, 0.0)
            for i in range(20)]
    strategy = Sees()
    Backtest(bars).run(strategy)
    assert strategy.seen[-1][3] == bars[-1].close
