"""How soon Ctrl-C stops long native work: a real SIGINT sent to this process from a timer thread
while the main thread is inside the call, and the time until KeyboardInterrupt reaches Python.

    python bench/interrupts.py [--repeat N]

Each contender runs the same call as long as it would take uninterrupted (printed) and is
interrupted a third of the way through; the table gives the best and the worst answer of the
rounds, and the worst as a share of the 50 ms a native stretch is allowed.
"""
import argparse
import io
import os
import signal
import sys
import threading
import time

import numpy as np

import candlewright
from candlewright import Backtest, Bars, SignalStrategy, SmaCross, sweep

BUDGET = 0.050
ACCOUNT = dict(initial_cash=1e9, commission=0.0, spread=0.0, contract_size=1000.0,
               quote_to_account=1.0)


def bars_of(n):
    close = 1.1 * np.exp(np.cumsum(np.random.default_rng(7).normal(0, 0.0015, n)))
    times = 1_600_000_000 + 3600 * np.arange(n, dtype=np.int64)
    return Bars.from_columns(times, close, close * 1.0004, close * 0.9996, close, None, None)


def answer(action, after):
    """Seconds from the SIGINT to the KeyboardInterrupt, the signal sent `after` seconds in."""
    sent = []

    def kick():
        time.sleep(after)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    kicker = threading.Thread(target=kick)
    kicker.start()
    try:
        while True:  # a call quicker this time than the first begins again
            action()
    except KeyboardInterrupt:
        caught = time.perf_counter()
    finally:
        kicker.join()
    return caught - sent[0]


def contenders(quick):
    n = 500_000 if quick else 2_000_000
    data = bars_of(n)
    backtest = Backtest(data, *ACCOUNT.values())
    close = np.asarray(backtest.column("close"))
    cross = np.sign(np.diff(np.sign(close - np.convolve(close, np.ones(50) / 50, "same")),
                            prepend=0)).astype(np.int8)
    many = np.repeat(cross[:, None], 16, axis=1)
    wide = np.full((n, 48), 0.01)  # lots per bar per set: reading them is most of the call
    every = np.ones(n // 4, dtype=np.int8)
    short = Backtest(bars_of(n // 4), *ACCOUNT.values())
    csv = io.BytesIO()
    times = 1_600_000_000 + 60 * np.arange(n)
    np.savetxt(csv, np.column_stack([times, close, close, close, close, close]),
               fmt=["%d"] + ["%.6f"] * 5, delimiter=",",
               header="timestamp,open,high,low,close,volume", comments="")
    text = csv.getvalue()
    columns = [times, close, close, close, close]
    factory = lambda fast: SignalStrategy(cross, lots=0.01 * fast)  # noqa: E731
    return {
        "run_signals, one set": lambda: backtest.run_signals(cross, keep="figures"),
        "run_signals, 1000 positions": lambda: short.run_signals(
            every, lots=0.01, max_positions=1000, keep="figures"),
        "run_signals, 16 sets, 2 threads": lambda: backtest.run_signals(
            many, threads=2, keep="figures"),
        "run_signals, 48 sets' lots read": lambda: backtest.run_signals(
            np.repeat(cross[:, None], 48, axis=1), lots=wide, threads=2, keep="figures"),
        "Backtest.run, SmaCross": lambda: backtest.run(SmaCross()),
        "run_sets, signals, 2 threads": lambda: backtest.run_sets(
            factory, [{"fast": f} for f in range(1, 17)], threads=2, keep="figures"),
        "sweep, signals on threads": lambda: sweep(
            factory, {"fast": list(range(1, 17))}, data, **ACCOUNT, max_workers=2),
        "Bars.from_columns, x8": lambda: [Bars.from_columns(*columns, None, None)
                                          for _ in range(8)],
        "read_csv": lambda: candlewright.read_csv(io.BytesIO(text)),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print(f"{'work':34} {'uninterrupted':>13} {'best':>9} {'worst':>9} {'worst/50ms':>10}")
    for name, action in contenders(args.quick).items():
        try:
            start = time.perf_counter()
            action()
            whole = time.perf_counter() - start
        except Exception as exc:  # a contender this build lacks
            print(f"{name:34} skipped: {type(exc).__name__}: {exc}")
            continue
        answers = [answer(action, whole / 3) for _ in range(args.repeat)]
        print(f"{name:34} {whole * 1e3:11.0f}ms {min(answers) * 1e3:7.1f}ms "
              f"{max(answers) * 1e3:7.1f}ms {max(answers) / BUDGET:10.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
