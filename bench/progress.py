"""What a progress bar costs a run: Backtest.run with progress=True against the same run without,
and against the per-bar wrapper the command used (a Python call and a step per bar), side by side
in one process. The bar is drawn to /dev/null, so the terminal's speed is not measured.

    python bench/progress.py [--bars N] [--repeat R]

prints ns per bar for each and the ratios to the plain run: the best of R repetitions of the CPU
time of the running thread (the watcher's own few looks a second are not counted; wall time on
a busy machine tells nothing), the contenders interleaved in each repetition.
"""
import argparse
import os
import sys
import time

from candlewright import Backtest, SmaCross, sample_bars
from candlewright import _progress


class EmptyNext:
    def next(self, bar, account):
        pass


class Stepped:
    """The command's old wrapper: forwards next and steps a plain bar after every bar."""

    def __init__(self, strategy, progress):
        self.strategy, self.progress = strategy, progress

    def __getattr__(self, name):
        if name == "init":
            return self.strategy.init
        raise AttributeError(name)

    def next(self, bar, account):
        self.strategy.next(bar, account)
        self.progress.step()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bars", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    base = sample_bars()
    bars = [base[i % len(base)] for i in range(args.bars)]
    bt = Backtest(bars)
    sink = open(os.devnull, "w")
    sys.stderr = sink  # where progress=True draws
    n = len(bt)

    def stepped(make):
        progress = _progress.Progress(n, sink)
        try:
            return bt.run(Stepped(make(), progress))
        finally:
            progress.close()

    for name, make in (("empty next", EmptyNext), ("crossover", SmaCross)):
        contenders = {
            "run": lambda: bt.run(make()),
            "run, progress=True": lambda: bt.run(make(), progress=True),
            "wrapper stepping per bar": lambda: stepped(make),
        }
        best = dict.fromkeys(contenders, float("inf"))
        for _ in range(args.repeat):
            for label, call in contenders.items():
                start = time.thread_time()
                call()
                best[label] = min(best[label], time.thread_time() - start)
        print(f"{name}, {n:,} bars (best of {args.repeat}):", file=sys.__stdout__)
        for label, seconds in best.items():
            print(f"  {label:26s} {seconds / n * 1e9:7.1f} ns/bar   "
                  f"{seconds / best['run']:.3f} x run", file=sys.__stdout__)


if __name__ == "__main__":
    main()
