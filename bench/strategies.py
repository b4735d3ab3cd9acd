"""The strategies the benchmark runs, for candlewright and for the two peer libraries.

The crossover is the same trading rule everywhere: a fast and a slow simple moving average of the
close; when the fast one crosses the slow one, close what is open and open one lot (100,000 units)
in the direction of the cross at that bar's close, with a stop-loss STOP below (above, for a
short) and a take-profit TARGET above (below) the close. candlewright runs its own
candlewright.SmaCross (smacross()); the peers' versions below follow it. What each library does
differently is listed in PEER_NOTES.
"""

FAST, SLOW = 10, 40
LOTS, UNITS = 1.0, 100_000
PIP, STOP_PIPS, TARGET_PIPS = 0.0001, 30.0, 60.0
# As SmaCross computes its distances, to the bit.
STOP, TARGET = STOP_PIPS * PIP, TARGET_PIPS * PIP


def smacross():
    """The package's crossover with the benchmark's parameters."""
    from candlewright import SmaCross

    return SmaCross(FAST, SLOW, LOTS, STOP_PIPS, TARGET_PIPS, PIP)


class EmptyNext:
    """Does nothing with the bar: what is left is the engine's own cost and the call."""

    def next(self, bar, broker):
        pass


class EmptyInitAndNext(EmptyNext):
    """As EmptyNext, with an init: the engine then builds the list of bars it passes to init."""

    def init(self, bars):
        pass


class HoldOpen:
    """Opens `count` longs on the first bar whose stop and target no bar reaches, then idles: every
    later bar pays the exit pass and the equity point over `count` open positions."""

    def __init__(self, count):
        self.count = count
        self.opened = False

    def next(self, bar, broker):
        if not self.opened:
            self.opened = True
            for _ in range(self.count):
                broker.buy(bar.close, 0.01, bar.timestamp, bar.close * 0.5, bar.close * 2.0)


class OpenThenWatch:
    """Opens `count` longs with a stop on bar 0 and stamps the clock at the end of bar 0's next
    and at the start of bar 1's: between the two the engine records bar 0's equity point and runs
    bar 1's exit pass."""

    def __init__(self, count, stop, clock):
        self.count, self.stop, self.clock = count, stop, clock
        self.stamps = []

    def next(self, bar, broker):
        if not self.stamps:
            for _ in range(self.count):
                broker.buy(bar.close, 0.01, bar.timestamp, self.stop, None)
            self.stamps.append(self.clock())
        elif len(self.stamps) == 1:
            self.stamps.append(self.clock())


PEER_NOTES = [
    "candlewright.SmaCross is a strategy class: its averages are native SMAs computed up front "
    "(ta.sma through self.I), its crossings found once in init, so next reads one value a "
    "bar; backtesting.py computes the averages up front with pandas rolling means (self.I), "
    "backtrader with its SMA indicator (computed vectorised in its default runonce mode). "
    "SmaCross trades on a strict cross (fast[-2] < slow[-2] and fast[-1] > slow[-1]), the "
    "peers' versions below on a change of side; the two differ only where the averages are "
    "exactly equal at a bar.",
    "Entries fill at the signal bar's close everywhere: candlewright because the strategy passes "
    "bar.close, backtesting.py with trade_on_close=True, backtrader with cheat-on-close "
    "(broker.set_coc(True)).",
    "Stop-loss and take-profit are checked from the next bar on against its low and high. "
    "candlewright and backtesting.py exit at the level itself; backtrader's stop and limit "
    "orders fill at the level or at the bar's open when the bar gaps through it. When one bar "
    "reaches both levels, candlewright and backtesting.py take the stop; backtrader takes "
    "whichever of its two orders it matches first.",
    "No spread and no commission in any of the three, and 1,000,000 of cash, so that no "
    "library refuses an order for lack of margin.",
    "backtesting.py computes its full statistics after the run (finalize_trades=True closes what "
    "is open, as candlewright does); backtrader runs without observers or analyzers "
    "(stdstats=False).",
    "Loading is timed apart from the run. candlewright: Engine from a list of Bar objects, "
    "Backtest from numpy columns. backtesting.py: the DataFrame from the same columns and "
    "Backtest(...), which checks and copies it. backtrader: the DataFrame and the PandasData "
    "feed's preload, row by row, as cerebro.run() does it; the timed run gets a feed that "
    "restores the preloaded lines instead (the same trades and final value as the plain feed, "
    "checked on the first 20,000 bars).",
]


def backtesting_strategy():
    """The crossover as a backtesting.py Strategy class."""
    import pandas as pd
    from backtesting import Strategy

    def sma(values, n):
        return pd.Series(values).rolling(n).mean().to_numpy()

    class BtpSmaCross(Strategy):
        def init(self):
            self.fast_sma = self.I(sma, self.data.Close, FAST)
            self.slow_sma = self.I(sma, self.data.Close, SLOW)
            self.was_above = None

        def next(self):
            fast, slow = self.fast_sma[-1], self.slow_sma[-1]
            if slow != slow:  # NaN until the slow window is full
                return
            above = fast > slow
            if self.was_above is not None and above != self.was_above:
                close = self.data.Close[-1]
                self.position.close()
                if above:
                    self.buy(size=UNITS, sl=close - STOP, tp=close + TARGET)
                else:
                    self.sell(size=UNITS, sl=close + STOP, tp=close - TARGET)
            self.was_above = above

    return BtpSmaCross


def backtrader_strategy():
    """The crossover as a backtrader Strategy class."""
    import backtrader as bt

    class BtrSmaCross(bt.Strategy):
        def __init__(self):
            self.fast_sma = bt.ind.SMA(self.data.close, period=FAST)
            self.slow_sma = bt.ind.SMA(self.data.close, period=SLOW)
            self.was_above = None
            self.exits = []
            self.closed_trades = 0

        def notify_trade(self, trade):
            if trade.isclosed:
                self.closed_trades += 1

        def next(self):
            above = self.fast_sma[0] > self.slow_sma[0]
            if self.was_above is not None and above != self.was_above:
                # The open trade's stop and target orders go with it.
                for order in self.exits:
                    if order.alive():
                        self.cancel(order)
                self.close()
                close = self.data.close[0]
                if above:
                    orders = self.buy_bracket(size=UNITS, exectype=bt.Order.Market,
                                              stopprice=close - STOP, limitprice=close + TARGET)
                else:
                    orders = self.sell_bracket(size=UNITS, exectype=bt.Order.Market,
                                               stopprice=close + STOP, limitprice=close - TARGET)
                self.exits = orders[1:]
            self.was_above = above

    return BtrSmaCross
