"""What the FX account options cost a run: the crossover with them on against their defaults, and
margin and trailing stops per open position per bar.

    python bench/account.py [--quick]

The bundled sample's hourly bars, repeated end to end. CPU time of the running thread; the
variants of one table interleaved in one process, ratios and differences paired within each
repetition, since this machine's speed drifts.
"""
import argparse
import pathlib
import statistics
import sys
import textwrap
import time

import numpy

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from candlewright import Backtest, SmaCross, sample_bars  # noqa: E402

WEEK = 7 * 24 * 3600
POSITIONS = 100
ACCOUNT = dict(initial_cash=1_000_000.0, commission=5.0, spread=0.0001, contract_size=100_000.0,
               quote_to_account=1.0)


def tiled_columns(count):
    """`count` bars: the sample over and over, each copy shifted by whole weeks so every bar
    keeps its weekday and hour, which the rollover nights depend on."""
    sample = sample_bars()
    names = ("timestamp", "open", "high", "low", "close", "volume")
    base = {name: numpy.asarray(getattr(sample, name)) for name in names}
    span = int(base["timestamp"][-1] - base["timestamp"][0]) + 3600
    shift = -(-span // WEEK) * WEEK
    copies = -(-count // len(sample))
    columns = {name: numpy.tile(values, copies)[:count] for name, values in base.items()}
    columns["timestamp"] = (columns["timestamp"]
                            + numpy.repeat(numpy.arange(copies) * shift, len(sample))[:count])
    return columns


class OpenAndIdle:
    """Opens `count` small longs on the first bar, stops and targets 1.0 away (no bar reaches
    them), then does nothing: the per-bar Python work is the same in every variant."""

    def __init__(self, count, trail=None):
        self.count, self.trail, self.opened = count, trail, None

    def next(self, bar, account):
        if self.opened is None:
            close = bar.close
            self.opened = sum(account.buy(close, 0.01, bar.timestamp, close - 1.0, close + 1.0,
                                          trail=self.trail) is not None
                              for _ in range(self.count))


def crossover(timer, paired_ratio, make_table, columns, repeat):
    n = len(columns["close"])
    rng = numpy.random.default_rng(3)
    # The rates go in as a memoryview: Backtest compares quote_to_account with "1/close", which
    # a numpy array answers element by element.
    per_bar = dict(ACCOUNT, spread=rng.uniform(0.00005, 0.0002, n),
                   quote_to_account=memoryview(rng.uniform(0.84, 0.86, n)))
    variants = {
        "defaults": Backtest(columns, **ACCOUNT),
        "per-bar spread and rate, swaps": Backtest(columns, **per_bar, swap_long=-5.0,
                                                   swap_short=1.0),
        'gap_fills="open", commission_at="both", leverage=30':
            Backtest(columns, **ACCOUNT, gap_fills="open", commission_at="both", leverage=30),
    }
    trades = {}

    def runner(name):
        def once():
            trades[name] = len(variants[name].run(SmaCross()).trades)
        return once

    times = timer.times({name: runner(name) for name in variants}, repeat)
    rows = [["defaults", f"{min(times['defaults']) / n:.0f}", f"{trades['defaults']:,}",
             "1.000x", "", ""]]
    for name in list(variants)[1:]:
        ratio = paired_ratio(times, name, "defaults")
        rows.append([name, f"{min(times[name]) / n:.0f}", f"{trades[name]:,}", f"{ratio:.3f}x",
                     "<= 1.1x", "yes" if ratio <= 1.1 else "NO"])
    return make_table([f"SmaCross, {n:,} bars", "ns/bar", "trades", "over defaults", "target",
                       "met"], rows)


def positions(timer, make_table, columns, repeat):
    n = len(columns["close"])
    plain, margin = Backtest(columns, **ACCOUNT), Backtest(columns, **ACCOUNT, leverage=30)
    variants = {"(0) no position": (plain, 0, None), "(a) no options": (plain, POSITIONS, None),
                "(b) leverage=30": (margin, POSITIONS, None),
                "(c) trail=1.0": (plain, POSITIONS, 1.0),
                "(d) leverage=30 and trail=1.0": (margin, POSITIONS, 1.0)}
    opened = {}

    def runner(name):
        backtest, count, trail = variants[name]

        def once():
            strategy = OpenAndIdle(count, trail)
            backtest.run(strategy)
            opened[name] = strategy.opened
        return once

    times = timer.times({name: runner(name) for name in variants}, repeat)

    def extra(name, base):
        # Against `base` in the same repetition: the machine drifts less within one.
        return statistics.median((t - t0) / n / POSITIONS
                                 for t, t0 in zip(times[name], times[base]))

    rows = []
    for name in variants:
        count = opened[name]
        cost, target, met = "", "", ""
        if name == "(a) no options":
            cost = f"{extra(name, '(0) no position'):.2f} (over no position)"
        elif count:
            value = extra(name, "(a) no options")
            cost, target, met = f"{value:.2f}", "<= 3", "yes" if value <= 3 else "NO"
        rows.append([name, f"{count:,}", f"{min(times[name]) / n:.0f}", cost, target, met])
    return make_table([f"open positions, {n:,} bars", "opened", "ns/bar",
                       "ns per position per bar over (a)", "target", "met"], rows)


def measure(timer, paired_ratio, make_table, count, repeat):
    """Both tables, as Markdown."""
    columns = tiled_columns(count)
    notes = (
        "Crossover: candlewright.SmaCross on every variant, commission 5 per lot, spread 1 pip "
        "unless per bar (random, 0.5 to 2 pips), rate 1 unless per bar (random, 0.84 to 0.86); "
        "swaps -5 long, +1 short at the default rollover. ns/bar: the best repetition; ratios: "
        f"the median of the ratios within each of {repeat} repetitions. Open positions: "
        f"{POSITIONS} longs of 0.01 lot on the first bar; with leverage the margin level is "
        "checked against the stop-out every bar; with a trail the stop is moved up on new highs. "
        "Commission, spread and rate as the crossover's defaults. Per position: the median over repetitions of the difference to (a), over bars times "
        f"{POSITIONS}; (a)'s own line is against the same run with no position.")
    return (crossover(timer, paired_ratio, make_table, columns, repeat) + "\n\n"
            + positions(timer, make_table, columns, repeat) + "\n\n"
            + textwrap.fill(notes, 100))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes, one repetition: a smoke test of the script, not a "
                             "measurement")
    args = parser.parse_args()
    import run  # beside this file: its timer and table

    count, repeat = (2_000, 1) if args.quick else (400_000, 15)
    print(measure(run.Timer(time.thread_time_ns), run.paired_ratio, run.table, count, repeat))


if __name__ == "__main__":
    main()
