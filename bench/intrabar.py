"""What exits resolved inside the bars cost: an H1 run alone against the same run with its M1
bars as `intrabar=`, and the time per finer step while a position is open.

    python bench/intrabar.py [--quick]

(a) A year of synthetic H1 bars (6,240) made from the M1 bars under them (374,400, each hour's
    range exactly its minutes'), run natively with run_signals for a strategy mostly flat (rare
    entries, near stop and target) and one nearly always in a position (always re-entering, on
    both sides), and the same with a Python strategy class; the ratio is with/without intrabar.
    The construction of the backtest with intrabar= (finding each hour's minutes) is timed on
    its own.
(b) One long position with far levels held through 10^6 M1 steps: the time with intrabar less
    the time without, divided by the finer steps resolved; beside it, the time a bare pass over
    the M1 bars' memory takes a step (the bars are 48-byte rows, 48 MB here: past the caches).

Each contender of a table runs in the same rounds, interleaved; best of the rounds.
"""
import argparse
import os
import sys
import time

# numpy's BLAS threads spin on after an array operation and take the cores a run needs: on a
# busy two-core machine that alone made native runs five times slower.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from candlewright import Backtest, Strategy, from_arrays  # noqa: E402


def minutes_and_hours(hours, seed=7):
    """M1 bars of a random walk, and the H1 bars they make."""
    rng = np.random.default_rng(seed)
    n = hours * 60
    edges = 1.1 + np.concatenate(([0.0], np.cumsum(rng.normal(0.0, 0.00012, n))))
    edges = np.round(edges, 5)
    open_, close = edges[:-1], edges[1:]
    wick = np.round(rng.random((2, n)) * 0.00008, 5)
    high = np.maximum(open_, close) + wick[0]
    low = np.minimum(open_, close) - wick[1]
    times = np.arange(n, dtype=np.int64) * 60 + 1_609_459_200  # 2021-01-01
    m1 = from_arrays(times, open_, high, low, close)
    by_hour = (hours, 60)
    h1 = from_arrays(times[::60], open_[::60], high.reshape(by_hour).max(axis=1),
                     low.reshape(by_hour).min(axis=1), close[59::60])
    return h1, m1


def best(action, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times)


def side_by_side(actions, rounds):
    """The best time of each action, the actions interleaved in each round."""
    times = {name: [] for name in actions}
    for _ in range(rounds):
        for name, action in actions.items():
            start = time.perf_counter()
            action()
            times[name].append(time.perf_counter() - start)
    return {name: min(values) for name, values in times.items()}


class Crossing(Strategy):
    """Python per bar: a position whenever flat, on the side of the last hour's move (nearly
    always in the market), or only every `every` hours (mostly flat)."""
    every, stop, target = 1, 0.0030, 0.0030

    def next(self):
        if self.positions or self.i % self.every:
            return
        close = self.data.close[-1]
        up = close >= self.data.open[-1]
        sign = 1 if up else -1
        (self.buy if up else self.sell)(1.0, stop_loss=close - sign * self.stop,
                                        take_profit=close + sign * self.target)


class Rare(Crossing):
    every, stop, target = 40, 0.0008, 0.0008


def year(rounds):
    h1, m1 = minutes_and_hours(6240)
    n = len(h1)
    plain = Backtest(h1)
    inside = Backtest(h1, intrabar=m1)
    build = best(lambda: Backtest(h1, intrabar=m1), rounds)
    rng = np.random.default_rng(3)
    flat_entries = np.where(rng.random(n) < 0.02, np.where(rng.random(n) < 0.5, 1, -1), 0)
    busy_entries = np.where(rng.random(n) < 0.5, 1, -1)
    cases = {
        "signals, mostly flat": dict(entries=flat_entries.astype(np.int8), side="both",
                                     stop_loss=0.0008, take_profit=0.0008),
        "signals, nearly always in": dict(entries=busy_entries.astype(np.int8), side="both",
                                          stop_loss=0.0030, take_profit=0.0030),
    }
    print(f"(a) {n:,} H1 bars, {len(m1):,} M1 bars under them; Backtest(intrabar=M1) itself "
          f"{build * 1e3:.1f} ms")
    print(f"{'run':<28}{'alone ms':>10}{'intrabar ms':>13}{'ratio':>8}{'exposure':>10}"
          f"{'resolved':>10}{'ambiguous':>10}")
    for name, kw in cases.items():
        run_plain = lambda kw=kw: plain.run_signals(threads=1, **kw)  # noqa: E731
        run_inside = lambda kw=kw: inside.run_signals(threads=1, **kw)  # noqa: E731
        report(name, run_plain, run_inside, rounds)
    for name, strategy in (("class, mostly flat", Rare), ("class, nearly always in", Crossing)):
        report(name, lambda s=strategy: plain.run(s), lambda s=strategy: inside.run(s),
               rounds)


def report(name, run_plain, run_inside, rounds):
    times = side_by_side({"alone": run_plain, "inside": run_inside}, rounds)
    result = run_inside()
    m = result.metrics
    print(f"{name:<28}{times['alone'] * 1e3:>10.2f}{times['inside'] * 1e3:>13.2f}"
          f"{times['inside'] / times['alone']:>7.2f}x{m['exposure_time_pct']:>9.0f}%"
          f"{m['bars_resolved_inside']:>10,}{m['ambiguous_bars']:>10,}")


def per_step(rounds, steps):
    hours = steps // 60
    h1, m1 = minutes_and_hours(hours, seed=11)
    entries = np.zeros(hours, dtype=np.int8)
    entries[0] = 1
    kw = dict(entries=entries, side="long", stop_loss=1.0, take_profit=1.0, threads=1)
    plain = Backtest(h1)
    inside = Backtest(h1, intrabar=m1)
    highs = np.asarray(m1.high)  # a view of the bars' rows: one pass reads every row's line
    times = side_by_side({"alone": lambda: plain.run_signals(**kw),
                          "inside": lambda: inside.run_signals(**kw),
                          "floor": lambda: highs.max()}, rounds)
    result = inside.run_signals(**kw)
    resolved = result.metrics["bars_resolved_inside"] * 60
    extra = times["inside"] - times["alone"]
    print(f"\n(b) one long held with far levels over {hours:,} H1 bars, {len(m1):,} M1 steps")
    print(f"{'alone ms':>10}{'intrabar ms':>13}{'ratio':>8}{'finer steps':>13}{'ns/step':>9}"
          f"{'floor ns/step':>15}")
    print(f"{times['alone'] * 1e3:>10.2f}{times['inside'] * 1e3:>13.2f}"
          f"{times['inside'] / times['alone']:>7.2f}x{resolved:>13,}{extra / resolved * 1e9:>9.2f}"
          f"{times['floor'] / len(m1) * 1e9:>15.2f}")
    print("floor: numpy's max over the M1 highs, a pass that reads each M1 bar's memory once")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, 10^5 steps in (b)")
    args = parser.parse_args(argv)
    rounds = 3 if args.quick else 9
    year(rounds)
    per_step(rounds, 100_020 if args.quick else 1_000_020)


if __name__ == "__main__":
    sys.exit(main())
