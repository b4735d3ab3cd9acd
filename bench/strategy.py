"""What a strategy costs per bar through Backtest.run, written as a strategy class against the
plain protocol and against backtesting.py's Strategy, side by side in one process.

    python bench/strategy.py [--bars N] [--peer-bars M] [--repeat R]

Contenders on N hourly bars of a random walk (10^6 by default):

- plain empty: an object whose next(bar, account) does nothing: the engine's loop, a Bar and a
  call per bar (the floor of any Python strategy);
- class empty: a Strategy subclass whose next() does nothing: no Bar is made, the views move on;
- class crossover: candlewright.SmaCross, a Strategy with two native SMAs (ta.sma, through
  self.I) whose crossings are found once in init, so next reads one value a bar and trades at
  each cross;
- class, crossover() in next: the same, asking crossover() of the two averages twice a bar;
- plain running sums: the crossover in the plain protocol with the averages kept as running sums
  in Python, as SmaCross was written before strategy classes.

On a portfolio, the empty class on the same N bars: `Portfolio.run` of a lone instrument and
of two (the same walk under two USD-quoted symbols, so every step has both) against
`Backtest.run`, per step; the two-instrument portfolio's plain `next(step, account)` beside it.
The class adds no Python work per instrument: the run moves each instrument's clock natively.

Then on M bars (10^5 by default: a run of backtesting.py on 10^6 bars takes minutes) the class
crossover and backtesting.py's Strategy running the same rule (pandas rolling means through
self.I, backtesting.lib.crossover), paired in the same rounds. Times are CPU times of the best
round; ratios the median over rounds of the two times in the same round.
"""
import argparse
import os
import sys
import time
import warnings
from collections import deque

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import strategies  # noqa: E402  (beside this file)
from run import Timer, paired_ratio, synthetic_rows, table  # noqa: E402

from candlewright import Backtest, Portfolio, SmaCross, Strategy, crossover  # noqa: E402

FAST, SLOW, LOTS = strategies.FAST, strategies.SLOW, 0.1
STOP_PIPS, TARGET_PIPS, PIP = strategies.STOP_PIPS, strategies.TARGET_PIPS, strategies.PIP


def columns(count):
    """The benchmark's random walk of hourly bars, as numpy columns."""
    rows = list(synthetic_rows(count))
    names = ("timestamp", "open", "high", "low", "close", "volume")
    return {name: np.array([row[i] for row in rows]) for i, name in enumerate(names)}


class PlainEmpty:
    def next(self, bar, account):
        pass


class ClassEmpty(Strategy):
    def next(self):
        pass


class PlainEmptySteps:
    def next(self, step, account):
        pass


class CrossEachBar(SmaCross):
    """SmaCross asking crossover() of its two averages twice a bar, as backtesting.py's
    strategies do, instead of reading the crossings found in init."""

    def next(self):
        if crossover(self.fast_ma, self.slow_ma):
            self.close()
            close = self.data.close[-1]
            self.buy(self.lots, stop_loss=close - self._stop, take_profit=close + self._target)
        elif crossover(self.slow_ma, self.fast_ma):
            self.close()
            close = self.data.close[-1]
            self.sell(self.lots, stop_loss=close + self._stop, take_profit=close - self._target)


class RunningSums:
    """The crossover as SmaCross was before strategy classes: the plain protocol, both averages
    running sums over deques of closes, compared as sums scaled to a common length."""

    def __init__(self):
        self.stop, self.target = STOP_PIPS * PIP, TARGET_PIPS * PIP

    def init(self, bars):
        self.fast_window, self.slow_window = deque(maxlen=FAST), deque(maxlen=SLOW)
        self.fast_sum = self.slow_sum = 0.0
        self.was_above = None

    def next(self, bar, broker):
        close, fast, slow = bar.close, self.fast_window, self.slow_window
        if len(fast) == FAST:
            self.fast_sum -= fast[0]
        if len(slow) == SLOW:
            self.slow_sum -= slow[0]
        fast.append(close)
        slow.append(close)
        self.fast_sum += close
        self.slow_sum += close
        if len(slow) < SLOW:
            return
        above = self.fast_sum * SLOW > self.slow_sum * FAST
        if self.was_above is not None and above != self.was_above:
            broker.close_all(close, bar.timestamp)
            if above:
                broker.buy(close, LOTS, bar.timestamp, close - self.stop, close + self.target)
            else:
                broker.sell(close, LOTS, bar.timestamp, close + self.stop, close - self.target)
        self.was_above = above


def backtesting_cross():
    """SmaCross's rule as a backtesting.py Strategy."""
    import pandas as pd
    from backtesting import Strategy as PeerStrategy
    from backtesting.lib import crossover

    def sma(values, n):
        return pd.Series(values).rolling(n).mean().to_numpy()

    stop, target = STOP_PIPS * PIP, TARGET_PIPS * PIP
    units = round(LOTS * 100_000)

    class PeerCross(PeerStrategy):
        def init(self):
            self.fast = self.I(sma, self.data.Close, FAST)
            self.slow = self.I(sma, self.data.Close, SLOW)

        def next(self):
            if crossover(self.fast, self.slow):
                close = self.data.Close[-1]
                self.position.close()
                self.buy(size=units, sl=close - stop, tp=close + target)
            elif crossover(self.slow, self.fast):
                close = self.data.Close[-1]
                self.position.close()
                self.sell(size=units, sl=close + stop, tp=close - target)

    return PeerCross


def rounds(contenders, repeat):
    """{name: [CPU ns of each round]}, every contender once a round in a rotating order."""
    return Timer(time.thread_time_ns).times(contenders, repeat)


def ours(count, repeat):
    data = columns(count)
    bt = Backtest(data, 10_000_000, 0.0, 0.0, 100_000, 1.0, rules="engine")
    trades = {}

    def run(name, make):
        def go():
            trades[name] = bt.run(make()).stats.num_trades
        return go

    contenders = {
        "plain empty": run("plain empty", PlainEmpty),
        "class empty": run("class empty", ClassEmpty),
        "class crossover (SmaCross)": run("class crossover (SmaCross)",
                                          lambda: SmaCross(FAST, SLOW, LOTS, STOP_PIPS,
                                                           TARGET_PIPS, PIP)),
        "class, crossover() in next": run("class, crossover() in next",
                                          lambda: CrossEachBar(FAST, SLOW, LOTS, STOP_PIPS,
                                                               TARGET_PIPS, PIP)),
        "plain running sums": run("plain running sums", RunningSums),
    }
    times = rounds(contenders, repeat)
    rows = [[name, f"{min(times[name]) / count:,.1f}",
             f"{paired_ratio(times, name, 'plain empty'):.2f}", f"{trades[name]:,}"]
            for name in contenders]
    return table([f"{count:,} bars", "ns/bar", "/ plain empty", "trades"], rows)


def portfolios(count, repeat):
    data = columns(count)
    account = {"initial_cash": 10_000_000, "commission": 0.0, "rules": "engine"}
    bt = Backtest(data, 10_000_000, 0.0, 0.0, 100_000, 1.0, rules="engine")
    lone = Portfolio({"EURUSD": data}, **account)
    pair = Portfolio({"EURUSD": data, "GBPUSD": data}, **account)
    contenders = {
        "Backtest, class empty": lambda: bt.run(ClassEmpty),
        "Portfolio of 1, class empty": lambda: lone.run(ClassEmpty),
        "Portfolio of 2, class empty": lambda: pair.run(ClassEmpty),
        "Portfolio of 2, plain empty": lambda: pair.run(PlainEmptySteps()),
    }
    times = rounds(contenders, repeat)
    base = "Backtest, class empty"
    rows = [[name, f"{min(times[name]) / count:,.1f}", f"{paired_ratio(times, name, base):.2f}"]
            for name in contenders]
    return table([f"{count:,} steps", "ns/step", "/ Backtest class empty"], rows)


def peers(count, repeat):
    data = columns(count)
    bt = Backtest(data, 10_000_000, 0.0, 0.0, 100_000, 1.0, rules="engine")
    try:
        import pandas as pd
        from backtesting import Backtest as PeerBacktest
    except ImportError as error:
        return f"backtesting.py not run: {error}"
    frame = pd.DataFrame({"Open": data["open"], "High": data["high"], "Low": data["low"],
                          "Close": data["close"], "Volume": data["volume"]},
                         index=pd.to_datetime(data["timestamp"], unit="s"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = PeerBacktest(frame, backtesting_cross(), cash=10_000_000, commission=0.0,
                            trade_on_close=True, finalize_trades=True)
    trades = {}

    def ours_run():
        trades["candlewright SmaCross"] = bt.run(
            SmaCross(FAST, SLOW, LOTS, STOP_PIPS, TARGET_PIPS, PIP)).stats.num_trades

    def peer_run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            trades["backtesting.py"] = int(peer.run()["# Trades"])

    times = rounds({"candlewright SmaCross": ours_run, "backtesting.py": peer_run}, repeat)
    base = "candlewright SmaCross"
    rows = [[name, f"{min(times[name]) / count:,.0f}", f"{paired_ratio(times, name, base):.1f}",
             f"{trades[name]:,}"] for name in times]
    return table([f"{count:,} bars, same rule", "ns/bar", "/ candlewright", "trades"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--peer-bars", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} cores")
    print(ours(args.bars, args.repeat))
    print()
    print(portfolios(args.bars, args.repeat))
    print()
    print(peers(args.peer_bars, max(3, args.repeat // 2)))


if __name__ == "__main__":
    main()
