"""A moving-average crossover on synthetic hourly bars, with stop-loss and take-profit."""
import math
import random

from _candlewright import Bar, Engine


def synthetic_bars(count=2000, seed=7):
    rng = random.Random(seed)
    bars, price = [], 1.1000
    for hour in range(count):
        open_ = price
        close = open_ * math.exp(rng.gauss(0.0, 0.0015))
        high = max(open_, close) + abs(rng.gauss(0.0, 0.0004))
        low = min(open_, close) - abs(rng.gauss(0.0, 0.0004))
        bars.append(Bar(1_700_000_000 + 3600 * hour, open_, high, low, close, 1000.0))
        price = close
    return bars


class SmaCross:
    """Long when the fast average crosses above the slow one, short when it crosses below."""

    def __init__(self, fast=10, slow=40, lots=1.0, stop=0.0030, target=0.0060):
        self.fast, self.slow, self.lots = fast, slow, lots
        self.stop, self.target = stop, target

    def init(self, bars):
        self.closes = []
        self.was_above = None

    def next(self, bar, broker):
        self.closes.append(bar.close)
        if len(self.closes) < self.slow:
            return
        fast = sum(self.closes[-self.fast:]) / self.fast
        slow = sum(self.closes[-self.slow:]) / self.slow
        above = fast > slow
        if self.was_above is not None and above != self.was_above:
            broker.close_all(bar.close, bar.timestamp)
            if above:
                broker.buy(bar.close, self.lots, bar.timestamp,
                           bar.close - self.stop, bar.close + self.target)
            else:
                broker.sell(bar.close, self.lots, bar.timestamp,
                            bar.close + self.stop, bar.close - self.target)
        self.was_above = above


if __name__ == "__main__":
    engine = Engine(synthetic_bars(), initial_cash=10_000.0, commission=7.0, spread=0.0002,
                    contract_size=100_000.0, quote_to_account=1.0)
    print(engine.run(SmaCross()))
