"""candlewright.ta beside TA-Lib (and pandas' rolling functions where TA-Lib has none): each
indicator's nanoseconds per bar over the same synthetic FX bars, in one process.

    python bench/indicators.py [--bars N] [--rounds R]

10^6 minute bars by default (closes near 1.1). Each round times every pair one after the other,
so a busy machine slows both sides alike; a time is the best of the rounds (other work only ever
adds time) and a ratio is candlewright's best over the reference's best (below 1: faster). Also
timed: the same SMA over a strided column of Bars (a field of 48-byte rows, read in place).
"""
import argparse
import time

import numpy as np

import candlewright
from candlewright import ta


def synthetic(n, seed=7):
    rng = np.random.default_rng(seed)
    close = 1.1 + np.cumsum(rng.normal(0.0, 1e-4, n))
    spread = np.abs(rng.normal(0.0, 5e-5, n))
    return close + spread, close - spread, close


def pairs(h, l, c):
    """(name, ours, reference's name, reference) for each indicator."""
    try:
        import talib
    except ImportError:
        talib = None
    try:
        import pandas as pd
    except ImportError:
        pd = None
    out = []

    def add(name, ours, ref_name, ref):
        out.append((name, ours, ref_name, ref))

    t = talib
    add("sma(20)", lambda: ta.sma(c, 20), "SMA", t and (lambda: t.SMA(c, 20)))
    add("sma(1000)", lambda: ta.sma(c, 1000), "SMA", t and (lambda: t.SMA(c, 1000)))
    add("ema(20)", lambda: ta.ema(c, 20), "EMA", t and (lambda: t.EMA(c, 20)))
    add("wma(20)", lambda: ta.wma(c, 20), "WMA", t and (lambda: t.WMA(c, 20)))
    add("rsi(14)", lambda: ta.rsi(c, 14), "RSI", t and (lambda: t.RSI(c, 14)))
    add("true_range", lambda: ta.true_range(h, l, c), "TRANGE", t and (lambda: t.TRANGE(h, l, c)))
    add("atr(14)", lambda: ta.atr(h, l, c, 14), "ATR", t and (lambda: t.ATR(h, l, c, 14)))
    add("adx(14)", lambda: ta.adx(h, l, c, 14), "ADX", t and (lambda: t.ADX(h, l, c, 14)))
    add("cci(20)", lambda: ta.cci(h, l, c, 20), "CCI", t and (lambda: t.CCI(h, l, c, 20)))
    add("bollinger(20)", lambda: ta.bollinger(c, 20), "BBANDS",
        t and (lambda: t.BBANDS(c, 20, 2.0, 2.0)))
    add("macd", lambda: ta.macd(c), "MACD", t and (lambda: t.MACD(c)))
    add("stochastic", lambda: ta.stochastic(h, l, c), "STOCH", t and (lambda: t.STOCH(h, l, c)))
    add("rolling_max(20)", lambda: ta.rolling_max(c, 20), "MAX", t and (lambda: t.MAX(c, 20)))
    if pd is not None:
        hs, ls, cs = pd.Series(h), pd.Series(l), pd.Series(c)
        add("rolling_std(20)", lambda: ta.rolling_std(c, 20, 1), "pandas std",
            lambda: cs.rolling(20).std().to_numpy())
        add("donchian(20)", lambda: ta.donchian(h, l, 20), "pandas max/min",
            lambda: (hs.rolling(20).max() + ls.rolling(20).min()).to_numpy() / 2)
    add("crossover", lambda: ta.crossover(c, 1.1), "numpy",
        lambda: (c[:-1] < 1.1) & (c[1:] > 1.1))
    return out


def best(function, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    h, l, c = synthetic(args.bars)
    table = pairs(h, l, c)
    ours = {name: [] for name, *_ in table}
    theirs = {name: [] for name, *_ in table}
    bars = candlewright.from_arrays(np.arange(args.bars, dtype=np.int64) * 60, c, h, l, c)
    strided = {"contiguous": [], "Bars column": []}
    for _ in range(args.rounds):
        for name, mine, _ref_name, ref in table:
            ours[name].append(best(mine, 1))
            if ref is not None:
                theirs[name].append(best(ref, 1))
        strided["contiguous"].append(best(lambda: ta.sma(c, 20), 1))
        strided["Bars column"].append(best(lambda: ta.sma(bars.close, 20), 1))
    per_bar = 1e9 / args.bars
    print(f"{args.bars} bars, best of {args.rounds} rounds")
    print(f"{'indicator':18} {'ns/bar':>8}  {'reference':16} {'ns/bar':>8}  {'ratio':>6}")
    for name, _mine, ref_name, ref in table:
        mine_ns = min(ours[name]) * per_bar
        if ref is None:
            print(f"{name:18} {mine_ns:8.2f}  {'(not installed)':16}")
            continue
        ref_ns = min(theirs[name]) * per_bar
        print(f"{name:18} {mine_ns:8.2f}  {ref_name:16} {ref_ns:8.2f}  {mine_ns / ref_ns:6.2f}")
    flat, rows = min(strided["contiguous"]), min(strided["Bars column"])
    print(f"sma(20) on a Bars column: {rows * per_bar:.2f} ns/bar, "
          f"{rows / flat:.2f} x a contiguous array's")


if __name__ == "__main__":
    main()
