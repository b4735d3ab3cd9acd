"""Instructions per bar under the broker's rules and the engine's, counted by callgrind:
Backtest.run(SmaCross()) and run_signals on the same bars. On this machine times move by a few
percent from one run to the next; instruction counts repeat, so they show a cost of 1 %.

    python bench/rules_callgrind.py [--bars N] [--jobs N] [--keep DIR]

Each case runs in a process of its own under valgrind --tool=callgrind: the set-up (imports,
bars, signals) and one run to warm up, then the counted run between os.getppid() and os.getpgrp(),
calls nothing else makes, at which callgrind zeroes its counts and dumps them. The bars are
bench/account.py's (the sample, tiled), the signals bench/signals.py's crossover. --keep keeps
the counted part's callgrind.out files for callgrind_annotate, which needs the extension modules
built with -g to name lines.
"""
import argparse
import concurrent.futures
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap

HERE = pathlib.Path(__file__).resolve().parent
RULES = ("broker", "engine")
CASES = ("Backtest.run(SmaCross())", 'run_signals, keep="all"', 'run_signals, keep="figures"')


def child(case, rules, bars):
    """Set-up, a warm-up run, then the counted run; prints its trade count as JSON."""
    sys.path.insert(0, str(HERE))
    import account
    import signals
    from candlewright import Backtest, SmaCross

    columns = account.tiled_columns(bars)
    backtest = Backtest(columns, **account.ACCOUNT, rules=rules)
    entries = signals.crossover_signals(columns["close"])
    if case == CASES[0]:
        def once():
            return backtest.run(SmaCross()).stats.num_trades
    else:
        keep = "all" if case == CASES[1] else "figures"

        def once():
            result = backtest.run_signals(entries, keep=keep, **account.SIGNAL_RUN)
            return (result.stats if keep == "all" else result).num_trades
    once()
    os.getppid()  # callgrind zeroes its counts here
    trades = once()
    os.getpgrp()  # and dumps them here
    print(json.dumps({"trades": trades}))


def count(case, rules, bars, out_dir):
    """Instructions of the counted run, and the trades it made."""
    out = pathlib.Path(out_dir) / f"callgrind.{CASES.index(case)}.{rules}.out"
    # A fixed hash seed, and numpy's BLAS without threads of its own, which would spin in the
    # counted part: the same work in every process.
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         "--zero-before=*getppid", "--dump-before=*getpgrp", sys.executable, __file__,
         "--child", case, rules, str(bars)],
        capture_output=True, text=True, env=env, check=True)
    texts = [part.read_text() for part in out.parent.glob(out.name + ".*")]
    counted = [text for text in texts if "Trigger: --dump-before" in text]
    if len(counted) != 1:  # something else called one of the two: the marks are not the run's
        raise RuntimeError(f"callgrind dumped {len(counted)} counted parts beside {out}, not 1")
    totals = re.search(r"^totals: (\d+)", counted[0], re.MULTILINE)
    return int(totals.group(1)), json.loads(done.stdout.strip().splitlines()[-1])


def measure(bars, jobs, out_dir):
    """{(case, rules): (instructions of one run, trades)}"""
    keys = [(case, rules) for case in CASES for rules in RULES]
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        done = pool.map(lambda key: count(*key, bars, out_dir), keys)
        return {key: (instructions, output["trades"])
                for key, (instructions, output) in zip(keys, done)}


def report(counts, bars):
    header = [f"{bars:,} bars", "broker instr/bar", "engine instr/bar", "broker / engine",
              "trades, broker", "trades, engine"]
    lines = ["| " + " | ".join(header) + " |", "|---" + "|---:" * (len(header) - 1) + "|"]
    for case in CASES:
        (broker, broker_trades), (engine, engine_trades) = (counts[case, r] for r in RULES)
        cells = [case, f"{broker / bars:,.1f}", f"{engine / bars:,.1f}",
                 f"{broker / engine:.4f}x", f"{broker_trades:,}", f"{engine_trades:,}"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def section(bars, jobs=2):
    """The table and what it counts, as Markdown."""
    with tempfile.TemporaryDirectory() as out_dir:
        counts = measure(bars, jobs, out_dir)
    notes = (
        "Instructions of one run counted by valgrind --tool=callgrind (bench/rules_callgrind.py),"
        " after a warm-up run, each case in a process of its own; the counts repeat to the "
        "instruction from one process to the next. The bars, the account, SmaCross() and the "
        "signals are those of the table of times above, on the first "
        f"{bars:,} bars. Everything the process executes from the os.getppid() before the run "
        "to the os.getpgrp() after it counts (the interpreter, the extension, the C library); "
        "instructions are not times, which also pay for cache misses and mispredicted branches, "
        "but they move only with the work.")
    return report(counts, bars) + "\n\n" + textwrap.fill(notes, 100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bars", type=int, default=100_000)
    parser.add_argument("--jobs", type=int, default=2, help="valgrind processes at once")
    parser.add_argument("--keep", type=pathlib.Path, metavar="DIR",
                        help="keep the callgrind.out files there")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        case, rules, bars = args.child
        child(case, rules, int(bars))
        return
    if args.keep is None:
        print(section(args.bars, args.jobs))
    else:
        args.keep.mkdir(parents=True, exist_ok=True)
        print(report(measure(args.bars, args.jobs, args.keep), args.bars))


if __name__ == "__main__":
    main()
