"""Strategy classes on a portfolio: the same trades and equity as the plain protocol written by
hand, each instrument's views and indicators on its own bars (a stale one showing its last bar),
orders that must name their instrument, and a lone instrument that is `Backtest` to the bit."""
import math

import numpy as np
import pytest
from conftest import leak_check, requires_debug_build

from candlewright import Backtest, LookAheadError, Portfolio, SmaCross, Strategy, crossover, \
    from_arrays, sample_bars, sweep, ta
from candlewright.sweeps import FIGURES

PIPS = {"EURUSD": 0.0001, "USDJPY": 0.01}
T0 = 1_704_067_200  # a Monday, 00:00 UTC


@pytest.fixture(scope="module")
def pair():
    return Portfolio({"EURUSD": sample_bars()[:4000], "USDJPY": sample_bars("USDJPY")[:4000]},
                     initial_cash=50_000.0, commission=5.0, leverage=100.0)


def hourly(hours, closes):
    return from_arrays([T0 + h * 3600 for h in hours], closes, [c + 0.5 for c in closes],
                       [c - 0.5 for c in closes], closes)


@pytest.fixture(scope="module")
def gappy():
    """EURUSD without hours 3 and 6, USDJPY without hours 0 and 4: both are stale somewhere."""
    return Portfolio({"EURUSD": hourly([0, 1, 2, 4, 5, 7], [1.0, 1.1, 1.2, 1.4, 1.5, 1.7]),
                      "USDJPY": hourly([1, 2, 3, 5, 6, 7], [101.0, 102.0, 103.0, 105.0, 106.0,
                                                            107.0])},
                     rules="engine")


class Crosses(Strategy):
    """An EMA cross on each instrument: a cross reverses what is open, sized in lots or by the
    risk of a stop `stop_pips` away."""

    fast = 12
    slow = 26
    lots = 0.2
    risk = 0.0
    stop_pips = 40.0

    def init(self):
        self.fast_ma = {s: self.I(ta.ema, self.data[s].close, self.fast) for s in self.symbols}
        self.slow_ma = {s: self.I(ta.ema, self.data[s].close, self.slow) for s in self.symbols}

    def next(self):
        for s in self.symbols:
            if not self.has_bar(s):
                continue
            up = crossover(self.fast_ma[s], self.slow_ma[s])
            if up or crossover(self.slow_ma[s], self.fast_ma[s]):
                self.close(symbol=s)
                close, stop = self.data[s].close[-1], self.stop_pips * PIPS[s]
                level = close - stop if up else close + stop
                order = self.buy if up else self.sell
                if self.risk:
                    order(risk=self.risk, stop_loss=level, symbol=s)
                else:
                    order(self.lots, stop_loss=level, symbol=s)


class PlainCrosses:
    """Crosses in the plain protocol: the averages over each instrument's whole series, read at
    its own bar count."""

    def __init__(self, fast=12, slow=26, lots=0.2, risk=0.0, stop_pips=40.0):
        self.fast, self.slow, self.lots, self.risk, self.stop_pips = \
            fast, slow, lots, risk, stop_pips

    def init(self, data):
        self.averages = {s: (ta.ema(np.asarray(b.close), self.fast),
                             ta.ema(np.asarray(b.close), self.slow)) for s, b in data.items()}
        self.seen = dict.fromkeys(data, 0)

    def next(self, step, account):
        for s, bar in step.items():
            t = self.seen[s]
            self.seen[s] += 1
            fast, slow = self.averages[s]
            up = t >= 1 and fast[t - 1] < slow[t - 1] and fast[t] > slow[t]
            down = t >= 1 and slow[t - 1] < fast[t - 1] and slow[t] > fast[t]
            if not (up or down):
                continue
            account[s].close_all()
            stop = self.stop_pips * PIPS[s]
            level = bar.close - stop if up else bar.close + stop
            lots = self.lots
            if self.risk:
                lots = account[s].lots_for_risk(self.risk, level, lot_step=0.01, min_lots=0.01)
                if not lots:
                    continue
            (account.buy if up else account.sell)(s, lots, stop_loss=level)


def same_run(a, b):
    assert repr(a.stats) == repr(b.stats)
    assert list(a.equity) == list(b.equity)
    if hasattr(b, "trade_symbols"):
        assert a.trade_symbols == b.trade_symbols
    assert repr(a.trade_rows()) == repr(b.trade_rows())  # repr: NaN equal to NaN


@pytest.mark.parametrize("params", [{}, {"fast": 5, "slow": 40, "risk": 0.01}],
                         ids=["lots", "by risk"])
def test_class_equals_the_plain_protocol_to_the_bit(pair, params):
    ours = pair.run(Crosses, **params)
    same_run(ours, pair.run(PlainCrosses(**params)))
    assert set(ours.trade_symbols) == {"EURUSD", "USDJPY"}
    assert ours.stats.num_trades > 20


def test_indicators_keep_their_instrument(pair):
    result = pair.run(Crosses)
    assert list(result.indicators) == ["EURUSD ema(close, 12)", "USDJPY ema(close, 12)",
                                       "EURUSD ema(close, 26)", "USDJPY ema(close, 26)"]
    for name, shown in result.indicators.items():
        symbol = name.split()[0]
        assert shown["symbol"] == symbol
        assert len(shown["values"]) == len(result.bars[symbol])


class Watcher(Strategy):
    """Writes down, at every step, what it sees of each instrument."""

    def init(self):
        self.doubled = {s: self.I(lambda c: c * 2.0, self.data[s].close, name="doubled")
                        for s in self.symbols}
        self.seen = []

    def next(self):
        self.seen.append((self.i, self.time, {
            s: (self.has_bar(s), len(self.data[s]),
                self.data[s].close[-1] if len(self.data[s]) else None,
                self.doubled[s][-1] if len(self.doubled[s]) else None)
            for s in self.symbols}))


def test_stale_instruments_show_their_last_bar(gappy):
    strategy = Watcher()
    gappy.run(strategy)
    hours = {"EURUSD": [0, 1, 2, 4, 5, 7], "USDJPY": [1, 2, 3, 5, 6, 7]}
    closes = {"EURUSD": [1.0, 1.1, 1.2, 1.4, 1.5, 1.7],
              "USDJPY": [101.0, 102.0, 103.0, 105.0, 106.0, 107.0]}
    want = []
    for step in range(8):
        each = {}
        for s in hours:
            n = sum(h <= step for h in hours[s])
            last = closes[s][n - 1] if n else None
            each[s] = (step in hours[s], n, last, None if last is None else last * 2.0)
        want.append((step, T0 + step * 3600, each))
    assert strategy.seen == want


class Reading(Strategy):
    symbol = "USDJPY"
    shift = 0

    def init(self):
        self.values = self.I(lambda c: np.roll(c, -self.shift), self.data[self.symbol].close)


@pytest.mark.parametrize("symbol", ["EURUSD", "USDJPY"])
def test_each_instruments_indicator_checked_for_reading_ahead(pair, symbol):
    with pytest.raises(LookAheadError, match="reads ahead"):
        pair.run(Reading, symbol=symbol, shift=1)
    result = pair.run(Reading, symbol=symbol)
    assert len(result.indicators[f"{symbol} <lambda>(close)"]["values"]) == \
        len(result.bars[symbol])


def declared(body):
    class Declares(Strategy):
        def init(self):
            body(self)
    return Declares


@pytest.mark.parametrize("body, error, message", [
    (lambda s: s.I(np.zeros, 3), TypeError, "needs symbol=, when|EURUSD, USDJPY"),
    (lambda s: s.I(np.subtract, s.data["EURUSD"].close, s.data["USDJPY"].close), ValueError,
     "EURUSD, USDJPY"),
    (lambda s: s.I(np.negative, s.data["EURUSD"].close, symbol="USDJPY"), ValueError,
     "data of EURUSD"),
    (lambda s: s.I(np.negative, s.data["EURUSD"].close, symbol="GBPUSD"), ValueError,
     "no such instrument"),
], ids=["no data and no symbol", "two instruments' data", "symbol not its data's",
        "unknown symbol"])
def test_indicator_owner_refused(pair, body, error, message):
    with pytest.raises(error, match=message):
        pair.run(declared(body))


def test_an_array_of_an_instrument_is_named_explicitly(pair):
    result = pair.run(declared(lambda s: s.I(np.negative, np.asarray(s.data["USDJPY"].close),
                                             symbol="USDJPY", name="negated")))
    assert result.indicators["USDJPY negated"]["symbol"] == "USDJPY"
    assert len(result.indicators["USDJPY negated"]["values"]) == len(pair.members["USDJPY"])


def trading(action):
    class Trades(Strategy):
        def next(self):
            action(self)
    return Trades


@pytest.mark.parametrize("action, error, message", [
    (lambda s: s.buy(0.1), TypeError, r"buy\(\) needs symbol=, one of EURUSD, USDJPY"),
    (lambda s: s.sell(0.1, stop_loss=2.0), TypeError, r"sell\(\) needs symbol="),
    (lambda s: s.close(), TypeError, r"close\(\) needs symbol="),
    (lambda s: s.buy(0.1, symbol="GBPUSD"), ValueError, "has no such instrument"),
    (lambda s: s.position, TypeError, r"position_of\(symbol\)"),
    (lambda s: s.positions, TypeError, r"self.account\[symbol\].positions"),
    (lambda s: s.data.close, AttributeError, r"self.data\['EURUSD'\].close"),
], ids=["buy", "sell", "close", "unknown symbol", "position", "positions", "data.close"])
def test_a_portfolio_order_names_its_instrument(pair, action, error, message):
    with pytest.raises(error, match=message):
        pair.run(trading(action))


@pytest.mark.parametrize("action", [
    lambda s: s.buy(0.1, symbol="EURUSD"),
    lambda s: s.close(symbol="EURUSD"),
    lambda s: s.position_of("EURUSD"),
], ids=["buy", "close", "position_of"])
def test_a_backtest_refuses_a_symbol(action):
    with pytest.raises(TypeError, match="a Backtest runs one instrument"):
        Backtest(sample_bars()[:50]).run(trading(action))


class ByTicket(Strategy):
    """Opens on each instrument and a pending order on USDJPY, then works them by ticket alone."""

    def init(self):
        self.tickets, self.answers = {}, []

    def next(self):
        if self.i == 30:
            for s in self.symbols:
                self.tickets[s] = self.buy(0.1, symbol=s)
            level = self.data["USDJPY"].close[-1] - 5.0
            self.tickets["order"] = self.buy(0.1, limit=level, symbol="USDJPY")
        elif self.i == 40:
            self.answers.append(self.position_of("USDJPY").lots)
            self.answers.append(self.modify(self.tickets["USDJPY"], take_profit=1000.0))
            self.answers.append(self.cancel(self.tickets["order"]))
            self.close(self.tickets["USDJPY"])
            self.answers.append(self.position_of("USDJPY").lots)
            self.answers.append(self.position_of("EURUSD").lots)
            # Only EURUSD is open now: its value is all the account holds beside its cash.
            self.answers.append(math.isclose(self.position_of("EURUSD").pl,
                                             self.equity - self.account.cash, rel_tol=1e-12))


def test_tickets_are_the_whole_accounts(pair):
    strategy = ByTicket()
    result = pair.run(strategy)
    assert strategy.answers == [0.1, True, True, 0.0, 0.1, True]
    journal = result.trade_rows()
    closed_first = journal["exit_bar"][0], result.trade_symbols[0]
    assert closed_first == (40, "USDJPY")


class Sized(Strategy):
    """Orders of every kind on one instrument, and what it reads of its position and equity."""

    def init(self):
        self.fast = self.I(ta.sma, self.data.close, 8)
        self.seen = []

    def next(self):
        self.seen.append((self.i, self.time, self.equity, repr(self.position), self.has_bar()))
        close = self.data.close[-1]
        if self.i % 50 == 10:
            self.close()
            self.buy(risk=0.02, stop_loss=close - 0.003, take_profit=close + 0.004)
        elif self.i % 50 == 30:
            self.sell(0.3, limit=close + 0.0005, stop_loss=close + 0.003, expiry=self.time
                      + 5 * 3600)
        elif self.i % 50 == 45 and self.positions:
            self.close(self.positions[0].ticket, lots=0.01)


@pytest.mark.parametrize("strategy", [SmaCross, Sized], ids=["SmaCross", "every order kind"])
def test_a_lone_instrument_is_the_backtest_to_the_bit(strategy):
    bars = sample_bars()[:3000]
    made = strategy()
    alone = Portfolio({"EURUSD": bars}, leverage=50.0).run(made)
    seen = getattr(made, "seen", None)
    # The same object again, on a backtest: nothing of the portfolio's run stays with it.
    want = Backtest(bars, leverage=50.0).run(made)
    same_run(alone, want)
    assert set(alone.trade_symbols) == {"EURUSD"}
    assert getattr(made, "seen", None) == seen
    assert len(alone.indicators) == len(want.indicators)
    for mine, theirs in zip(alone.indicators.values(), want.indicators.values()):
        assert np.array_equal(mine["values"], theirs["values"], equal_nan=True)
    assert alone.orders_too_small == want.orders_too_small


def test_a_sweep_of_a_class_is_its_runs_one_by_one(pair):
    grid = {"fast": [8, 12], "risk": [0.0, 0.01]}
    results = sweep(Crosses, grid, pair, maximize="sharpe", max_workers=1)
    for found in results:
        run = pair.run(Crosses, **found.params)
        assert found.figures == {n: getattr(run.stats, n) for n in FIGURES}
    with pytest.raises(TypeError, match="Crosses.fast is a whole number"):
        pair.run(Crosses, fast="12")


class Counted(Crosses):
    """Its own buy and sell, over Strategy's through super(): they still answer on a
    portfolio."""

    def init(self):
        super().init()
        self.orders_sent = {"EURUSD": 0, "USDJPY": 0}

    def buy(self, lots=None, **options):
        self.orders_sent[options["symbol"]] += 1
        return super().buy(lots, **options)

    def sell(self, lots=None, **options):
        self.orders_sent[options["symbol"]] += 1
        return super().sell(lots, **options)


def test_a_class_own_methods_come_first_on_a_portfolio(pair):
    strategy = Counted()
    result = pair.run(strategy)
    same_run(result, pair.run(Crosses))
    counts = {s: result.trade_symbols.count(s) for s in ("EURUSD", "USDJPY")}
    # Every order opened a trade, and the last of each instrument closed at the end.
    assert strategy.orders_sent == counts
    assert repr(strategy) == "Counted(fast=12, slow=26, lots=0.2, risk=0.0, stop_pips=40.0)"


class Steady(Strategy):
    def next(self):
        for s in self.symbols:
            if self.has_bar(s) and self.i % 3 == 0:
                self.close(symbol=s)
                self.buy(0.1, symbol=s, stop_loss=self.data[s].close[-1] - 0.5)
        self.position_of("EURUSD")
        self.equity


@requires_debug_build
def test_no_reference_leaks(gappy):
    leak_check(lambda: gappy.run(Steady), repeat=50)
