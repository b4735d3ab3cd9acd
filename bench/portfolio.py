"""What a portfolio costs beside its instruments' lone backtests, side by side in one process.

    python bench/portfolio.py [--bars N] [--repeat R]

Ten pairs (three of them converted into the USD account through the others) of N hourly bars
each (10^5 by default), random walks, each missing its own 1% of the hours, so that the union
timeline has about N steps with an instrument or two stale at most of them:

- signals: `Portfolio.run_signals` against each instrument's `Backtest.run_signals` with the
  same signals, one after another, with `keep="figures"` (the native run alone) and with the
  result made: ns per instrument-bar (the portfolio trades more: its instruments share one
  cash and margin);
- Python: a plain `next(step, account)` doing a little work per instrument present against the
  same work in each instrument's own `Backtest.run` with `next(bar, account)`: ns per step and
  per instrument present, and the portfolio's time over the ten backtests';
- memory: the resident bytes that building the Portfolio adds per instrument-bar, beside the
  bars' own, and those a signal run adds with its result kept.

Times are CPU times of the best round; ratios the median over rounds of the two times in the
same round.
"""
import argparse
import gc
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from run import Timer, paired_ratio, table  # noqa: E402  (beside this file)

from candlewright import Backtest, Portfolio, from_arrays  # noqa: E402
from candlewright.portfolio import _rates  # noqa: E402

FIRST = 1_577_836_800  # 2020-01-01 00:00 UTC
PAIRS = {"EURUSD": 1.1, "GBPUSD": 1.27, "USDJPY": 140.0, "USDCHF": 0.9, "USDCAD": 1.35,
         "AUDUSD": 0.66, "NZDUSD": 0.6, "EURJPY": 155.0, "GBPJPY": 180.0, "EURGBP": 0.86}
MISSING = 0.01


def walk(count, level, seed):
    """Columns of `count` hourly bars around `level`, this instrument's own hours missing."""
    rng = np.random.default_rng(seed)
    hours = np.flatnonzero(rng.random(int(count / (1 - MISSING)) + 64) >= MISSING)[:count]
    close = level * np.exp(np.cumsum(rng.normal(0.0, 0.0015, count)))
    open_ = np.concatenate(([level], close[:-1]))
    spread = np.abs(rng.normal(0.0, 0.0004, (2, count))) * level
    return {"timestamp": FIRST + 3600 * hours.astype(np.int64), "open": open_,
            "high": np.maximum(open_, close) + spread[0],
            "low": np.minimum(open_, close) - spread[1],
            "close": close, "volume": np.full(count, 1000.0)}


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def build(count):
    return {symbol: from_arrays(**walk(count, level, seed))
            for seed, (symbol, level) in enumerate(PAIRS.items())}


def signals(portfolio, seed=1):
    rng = np.random.default_rng(seed)
    shape = (len(portfolio), len(portfolio.symbols))
    entries = rng.choice(np.array([-1, 0, 1], dtype=np.int8), shape, p=[0.01, 0.98, 0.01])
    exits = rng.random(shape) < 0.005
    return entries, exits


def rounds(contenders, repeat):
    return Timer(time.thread_time_ns).times(contenders, repeat)


def converted_alone(portfolio, k, bt):
    """Instrument k's lone backtest, converted at each of its bars by the rate the portfolio
    sets there (its own margin and P/L in USD, as in the portfolio), or `bt` itself."""
    legs = portfolio._legs[k]
    if not legs:
        return bt
    own = portfolio._runner.steps_of(k)
    rates = _rates(portfolio, k, legs, range(len(own)))
    return Backtest(bt._data, 1_000_000.0, quote_to_account=[rates[i] for i in range(len(own))],
                    leverage=30.0, **{key: value for key, value in
                                      portfolio.instruments[k].options().items()
                                      if key not in ("quote_to_account",)})


def signal_runs(portfolio, repeat):
    entries, exits = signals(portfolio)
    options = {"side": "both", "stop_loss": tuple(0.004 * v for v in PAIRS.values())}
    lone = []
    for k, bt in enumerate(portfolio.members.values()):
        steps = np.asarray(portfolio._runner.steps_of(k))
        lone.append((converted_alone(portfolio, k, bt), np.ascontiguousarray(entries[steps, k]),
                     np.ascontiguousarray(exits[steps, k]), options["stop_loss"][k]))
    bars = sum(len(bt) for bt in portfolio.members.values())
    trades = {}

    def together(keep):
        def go():
            run = portfolio.run_signals(entries, exits, **options, keep=keep)
            trades[f"portfolio, keep={keep!r}"] = (run if keep == "figures" else run.stats) \
                .num_trades
        return go

    def apart(keep):
        def go():
            runs = [bt.run_signals(e, x, side="both", stop_loss=stop, keep=keep)
                    for bt, e, x, stop in lone]
            trades[f"lone backtests, keep={keep!r}"] = sum(
                (run if keep == "figures" else run.stats).num_trades for run in runs)
        return go

    contenders = {}
    for keep in ("figures", "all"):
        contenders[f"portfolio, keep={keep!r}"] = together(keep)
        contenders[f"lone backtests, keep={keep!r}"] = apart(keep)
    times = rounds(contenders, repeat)
    rows = [[name, f"{min(times[name]) / bars:,.1f}",
             f"{paired_ratio(times, name, 'lone backtests, keep=' + name.split('=')[1]):.2f}",
             f"{trades[name]:,}"]
            for name in times]
    return table([f"run_signals, {bars:,} instrument-bars", "ns/instrument-bar",
                  "/ lone backtests", "trades"], rows)


class Highs:
    """A little Python per instrument present: the highest close so far, a trade on each new
    high every 500th bar."""

    def __init__(self):
        self.high, self.seen = {}, 0

    def next(self, step, account):
        for symbol, bar in step.items():
            close = bar.close
            if close > self.high.get(symbol, 0.0):
                self.high[symbol] = close
                self.seen += 1
                if self.seen % 500 == 0:
                    account[symbol].buy(close, 0.01, bar.timestamp, None, None)


class Highs1:
    """The same on one instrument's bars."""

    def __init__(self, symbol):
        self.symbol, self.high, self.seen = symbol, {}, 0

    def next(self, bar, account):
        close = bar.close
        if close > self.high.get(self.symbol, 0.0):
            self.high[self.symbol] = close
            self.seen += 1
            if self.seen % 500 == 0:
                account.buy(close, 0.01, bar.timestamp, None, None)


def python_runs(portfolio, repeat):
    steps = len(portfolio)
    bars = sum(len(bt) for bt in portfolio.members.values())

    def together():
        portfolio.run(Highs())

    def apart():
        for symbol, bt in portfolio.members.items():
            bt.run(Highs1(symbol))

    times = rounds({"portfolio": together, "10 lone backtests": apart}, repeat)
    whole, lone = min(times["portfolio"]), min(times["10 lone backtests"])
    extra = (whole - 1.3 * lone) / bars
    rows = [["portfolio", f"{whole / steps:,.0f}", f"{whole / bars:,.1f}",
             f"{paired_ratio(times, 'portfolio', '10 lone backtests'):.2f}"],
            ["10 lone backtests", f"{lone / steps:,.0f}", f"{lone / bars:,.1f}", "1.00"]]
    return (table([f"next() in Python, {steps:,} steps", "ns/step", "ns/instrument-bar",
                   "/ lone backtests"], rows)
            + f"\n\nbeyond 1.3x the lone backtests: {extra:,.1f} ns per instrument present")


def memory(count):
    gc.collect()
    before = resident()
    data = build(count)
    gc.collect()
    after_bars = resident()
    portfolio = Portfolio(data, "USD", initial_cash=1_000_000.0, leverage=30.0)
    gc.collect()
    after_portfolio = resident()
    bars = sum(len(b) for b in data.values())
    entries, exits = signals(portfolio)
    gc.collect()
    before_run = resident()
    result = portfolio.run_signals(entries, exits, side="both")
    gc.collect()
    after_run = resident()
    trades = result.stats.num_trades
    rows = [["the bars", f"{(after_bars - before) / bars:,.1f}"],
            ["the Portfolio on them", f"{(after_portfolio - after_bars) / bars:,.1f}"],
            [f"a signal run's result ({trades:,} trades)",
             f"{(after_run - before_run) / bars:,.1f}"]]
    return table([f"resident memory, {bars:,} instrument-bars", "B/instrument-bar"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} cores")
    print(memory(args.bars))
    print()
    portfolio = Portfolio(build(args.bars), "USD", initial_cash=1_000_000.0, leverage=30.0)
    print(signal_runs(portfolio, args.repeat))
    print()
    print(python_runs(portfolio, max(3, args.repeat // 2)))


if __name__ == "__main__":
    main()
