"""One strategy on the bundled EURUSD hours, alone and with the bundled minutes inside them: a
moving-average cross that rides each position with a 10-pip trailing stop. On hours alone the
stop can only move after the hour that tested it; with the minutes it follows the price inside
the hour, and the exits happen where the minutes say."""
from bisect import bisect_left

from candlewright import Backtest, sample_bars
from candlewright.strategies import SmaCross


class TrailingCross(SmaCross):
    """SmaCross's entries, each position closed by a trailing stop instead of a fixed one."""

    trail_pips = 10.0

    def next(self) -> None:
        crossed = self.crossed[-1]
        if crossed:
            self.close()
            order = self.buy if crossed > 0 else self.sell
            order(self.lots, trail=self.trail_pips * self.pip)


m1 = sample_bars("EURUSD", "M1")  # April to December 2023
h1 = sample_bars()
h1 = h1[bisect_left(h1.timestamp, m1.timestamp[0]):]  # the same months
for name, backtest in (("H1", Backtest(h1)), ("H1 + M1", Backtest(h1, intrabar=m1))):
    result = backtest.run(TrailingCross, fast=5, slow=20)
    m = result.metrics
    print(f"{name:8} return {result.stats.total_return_pct:6.2f}%  "
          f"trades {result.stats.num_trades}  ambiguous bars {m['ambiguous_bars']}  "
          f"resolved inside {m['bars_resolved_inside']}  fell back {m['inside_fallbacks']}")
