"""What the FX account options cost a run: the broker's rules against the engine's, for the
crossover in Python and for run_signals; the crossover with the other options on against each
rule set's defaults; and margin and trailing stops per open position per bar.

    python bench/account.py [--quick]

The bundled sample's hourly bars, repeated end to end. CPU time of the running thread; the
variants of one table interleaved in one process, ratios and differences paired within each
repetition, since this machine's speed drifts. bench/rules_callgrind.py counts the instructions
of the rules table's runs, which repeat where times move by a few percent.
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
from signals import crossover_signals  # noqa: E402  (beside this file)

WEEK = 7 * 24 * 3600
POSITIONS = 100
RULES = ("broker", "engine")
# SmaCross()'s own trade, as signals: 0.1 lot, stop 30 pips and target 60 pips from the close.
SIGNAL_RUN = dict(side="both", lots=0.1, stop_loss=0.003, take_profit=0.006, threads=1)
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


def quartiles(values):
    low, _, high = statistics.quantiles(values, n=4) if len(values) > 1 else values * 3
    return low, high


def rules_cost(timer, paired_ratio, make_table, columns, repeat):
    """The broker's rules against the engine's on the same bars: SmaCross in Python, where they
    must cost at most 3 %, and run_signals, where they must cost nothing measurable."""
    n = len(columns["close"])
    backtests = {rules: Backtest(columns, **ACCOUNT, rules=rules) for rules in RULES}
    entries = crossover_signals(columns["close"])
    trades = {}

    def strategy_run(rules):
        def once():
            trades["run", rules] = backtests[rules].run(SmaCross()).stats.num_trades
        return once

    def signal_run(rules, keep):
        def once():
            result = backtests[rules].run_signals(entries, keep=keep, **SIGNAL_RUN)
            trades[keep, rules] = (result.stats if keep == "all" else result).num_trades
        return once

    # The two rule sets back to back in every round: a ratio of a few percent needs the pairs.
    strategy_times = timer.times({rules: strategy_run(rules) for rules in RULES}, 2 * repeat)
    # A signal run takes milliseconds: many rounds, and the engine's run twice, whose ratio is
    # what this machine's noise alone makes of two identical runs.
    signal_runs = {f"{keep} {rules}": signal_run(rules, keep)
                   for keep in ("all", "figures") for rules in RULES}
    signal_runs["all engine again"] = signal_run("engine", "all")
    signal_times = timer.times(signal_runs, 10 * repeat)
    same = [a / b for a, b in zip(signal_times["all engine again"], signal_times["all engine"])]

    rows = []
    for label, key, times, pair in (
            ("Backtest.run(SmaCross())", "run", strategy_times, RULES),
            ('run_signals, keep="all"', "all", signal_times, ("all broker", "all engine")),
            ('run_signals, keep="figures"', "figures", signal_times,
             ("figures broker", "figures engine"))):
        ratios = [a / b for a, b in zip(times[pair[0]], times[pair[1]])]
        ratio, (low, high) = paired_ratio(times, *pair), quartiles(ratios)
        if key == "run":
            target, met = "<= 1.03x", ratio <= 1.03
        else:
            # Measurable: beyond what two identical runs differ by in three rounds of four.
            target, met = "within the A/A quartiles", ratio <= quartiles(same)[1]
        rows.append([label, f"{min(times[pair[0]]) / n:.1f}", f"{min(times[pair[1]]) / n:.1f}",
                     f"{trades[key, 'broker']:,} / {trades[key, 'engine']:,}",
                     f"**{ratio:.3f}x**", f"{low:.3f}-{high:.3f} ({len(ratios)})", target,
                     "yes" if met else "NO"])
    low, high = quartiles(same)
    rows.append(['A/A: run_signals, keep="all", engine against itself', "",
                 f"{min(signal_times['all engine again']) / n:.1f}", "",
                 f"{statistics.median(same):.3f}x", f"{low:.3f}-{high:.3f} ({len(same)})", "",
                 ""])
    return make_table([f"{n:,} bars", "broker ns/bar", "engine ns/bar", "trades, broker / engine",
                       "broker / engine", "quartiles of the ratio (rounds)", "target", "met"],
                      rows)


def crossover(timer, paired_ratio, make_table, columns, repeat):
    """The other options on, against the defaults of the same rule set: under the engine's rules
    what they cost the engine's arithmetic, under the broker's (the default) what a user pays."""
    n = len(columns["close"])
    rng = numpy.random.default_rng(3)
    # The rates go in as a memoryview: Backtest compares quote_to_account with "1/close", which
    # a numpy array answers element by element.
    per_bar = dict(ACCOUNT, spread=rng.uniform(0.00005, 0.0002, n),
                   quote_to_account=memoryview(rng.uniform(0.84, 0.86, n)))
    options = {
        "defaults": ({}, ACCOUNT),
        "per-bar spread and rate, swaps": (dict(swap_long=-5.0, swap_short=1.0), per_bar),
        'gap_fills="open", commission_at="both", leverage=30':
            (dict(gap_fills="open", commission_at="both", leverage=30), ACCOUNT),
    }
    variants = {(name, rules): Backtest(columns, **account, **extra, rules=rules)
                for rules in RULES for name, (extra, account) in options.items()}
    trades = {}

    def runner(key):
        def once():
            trades[key] = len(variants[key].run(SmaCross()).trades)
        return once

    times = timer.times({key: runner(key) for key in variants}, repeat)
    rows = []
    for name, rules in variants:
        key, base = (name, rules), ("defaults", rules)
        ratio = paired_ratio(times, key, base)
        target, met = ("", "") if key == base else ("<= 1.1x", "yes" if ratio <= 1.1 else "NO")
        rows.append([name, rules, f"{min(times[key]) / n:.0f}", f"{trades[key]:,}",
                     f"{ratio:.3f}x", target, met])
    return make_table([f"SmaCross, {n:,} bars", "rules", "ns/bar", "trades",
                       "over the rules' defaults", "target", "met"], rows)


def positions(timer, make_table, columns, repeat):
    n = len(columns["close"])
    plain, margin = Backtest(columns, **ACCOUNT), Backtest(columns, **ACCOUNT, leverage=30)
    engine = Backtest(columns, **ACCOUNT, rules="engine")
    variants = {"(0) no position": (plain, 0, None), "(a) no options": (plain, POSITIONS, None),
                "(b) leverage=30": (margin, POSITIONS, None),
                "(c) trail=1.0": (plain, POSITIONS, 1.0),
                "(d) leverage=30 and trail=1.0": (margin, POSITIONS, 1.0),
                # What an open position costs under the broker's rules is (a) against these.
                '(0) no position, rules="engine"': (engine, 0, None),
                '(a) no options, rules="engine"': (engine, POSITIONS, None)}
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
        if name.startswith("(a) no options"):
            base = name.replace("(a) no options", "(0) no position")
            cost = f"{extra(name, base):.2f} (over {base[4:]})"
        elif count:
            value = extra(name, "(a) no options")
            cost, target, met = f"{value:.2f}", "<= 3", "yes" if value <= 3 else "NO"
        rows.append([name, f"{count:,}", f"{min(times[name]) / n:.0f}", cost, target, met])
    return make_table([f"open positions, {n:,} bars", "opened", "ns/bar",
                       "ns per position per bar over (a)", "target", "met"], rows)


def measure(timer, paired_ratio, make_table, count, repeat):
    """The three tables, as Markdown."""
    columns = tiled_columns(count)
    rules_notes = (
        "The broker's rules (the default) against the engine's (rules=\"engine\"), on the same "
        "bars with commission 5 per lot and a spread of 1 pip. Backtest.run: candlewright."
        f"SmaCross(), {2 * repeat} rounds. run_signals: the crossover's +1/-1 at the crosses of "
        "the 10- and 40-bar averages of the close, made once with numpy; side=\"both\", "
        "lots=0.1, stop_loss=0.003, take_profit=0.006 (SmaCross's own), one thread, "
        f"{10 * repeat} rounds, with the engine's keep=\"all\" run a second time in each as a "
        "control: a ratio within the quartiles of that A/A ratio is no measurable difference. "
        "ns/bar: the best round; ratios: the median of the ratios within rounds, and their "
        "quartiles. The two rule sets do different work: bid/ask valuation, levels read on the "
        "side a position closes on, orders checked, gap fills at the open, which change the "
        "results and may change some trades.")
    notes = (
        "Crossover: candlewright.SmaCross on every variant, commission 5 per lot, spread 1 pip "
        "unless per bar (random, 0.5 to 2 pips), rate 1 unless per bar (random, 0.84 to 0.86); "
        "swaps -5 long, +1 short at the default rollover; each variant against the defaults of "
        "its own rule set (gap_fills=\"open\" is already the broker's). ns/bar: the best "
        f"repetition; ratios: the median of the ratios within each of {repeat} repetitions. "
        f"Open positions, under the broker's rules: {POSITIONS} longs of 0.01 lot on the first "
        "bar; with leverage the margin level is checked against the stop-out every bar; with a "
        "trail the stop is moved up on new highs. Commission, spread and rate as the "
        "crossover's defaults. Per position: the median over repetitions of the difference to "
        f"(a), over bars times {POSITIONS}; (a)'s own line is against the same run with no "
        "position, and so is its line under the engine's rules.")
    return (rules_cost(timer, paired_ratio, make_table, columns, repeat) + "\n\n"
            + textwrap.fill(rules_notes, 100) + "\n\n"
            + crossover(timer, paired_ratio, make_table, columns, repeat) + "\n\n"
            + positions(timer, make_table, columns, repeat) + "\n\n"
            + textwrap.fill(notes, 100))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes, one repetition: a smoke test of the script, not a "
                             "measurement")
    args = parser.parse_args()
    import run  # beside this file: its timer and table

    count, repeat = (2_000, 1) if args.quick else (1_000_000, 15)
    print(measure(run.Timer(time.thread_time_ns), run.paired_ratio, run.table, count, repeat))


if __name__ == "__main__":
    main()
