"""Run-loop benchmark of candlewright: Engine.run against the floor, a plain Python loop, the same
strategy on backtesting.py and backtrader, its scaling in open positions, its peak memory, and
parameter sweeps on every core.

    python -m pip install '.[bench]' && python bench/run.py

prints the tables and writes them to bench/results.md, in the section of the running interpreter
(the sections of other interpreters already in the file are kept). Times are the best of several
repetitions of CPU time of the running thread (--wall for elapsed time), the contenders of one
table interleaved in one process.
"""
import argparse
import datetime
import gc
import importlib.util
import json
import math
import os
import pathlib
import platform
import random
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# backtesting.py draws a tqdm progress bar over its run when tqdm is installed, with no switch of
# its own; tqdm takes its defaults from the environment when it is first imported.
os.environ.setdefault("TQDM_DISABLE", "1")

import strategies  # noqa: E402  (beside this file)
from _candlewright import Bar, Broker, Engine  # noqa: E402

ACCOUNT = dict(initial_cash=1_000_000.0, commission=0.0, spread=0.0, contract_size=100_000.0,
               quote_to_account=1.0)
FIRST_TIMESTAMP = 1_577_836_800  # 2020-01-01 00:00 UTC, one bar per hour from there


# ---------------------------------------------------------------------------------------------
# Bars and timing


def synthetic_rows(count, seed=7):
    """(timestamp, open, high, low, close, volume) of a random walk of hourly bars, one by one."""
    rng = random.Random(seed)
    price = 1.1000
    for hour in range(count):
        open_ = price
        close = open_ * math.exp(rng.gauss(0.0, 0.0015))
        high = max(open_, close) + abs(rng.gauss(0.0, 0.0004))
        low = min(open_, close) - abs(rng.gauss(0.0, 0.0004))
        yield (FIRST_TIMESTAMP + 3600 * hour, open_, high, low, close, 1000.0)
        price = close


def make_engine(bars):
    return Engine(bars, **ACCOUNT)


def make_broker():
    return Broker(*ACCOUNT.values())


class Timer:
    """Times several contenders over repetitions: every repetition runs each once, back to back,
    in an order that rotates from one repetition to the next, with the cyclic garbage collector
    off. Times are in nanoseconds."""

    def __init__(self, clock):
        self.clock = clock

    def times(self, contenders, repeat):
        """{name: [time of each repetition]}"""
        names = list(contenders)
        times = {name: [] for name in names}
        for rep in range(repeat):
            for name in names[rep % len(names):] + names[:rep % len(names)]:
                gc.collect()
                gc.disable()
                try:
                    start = self.clock()
                    contenders[name]()
                    elapsed = self.clock() - start
                finally:
                    gc.enable()
                times[name].append(elapsed)
        return times

    def best(self, contenders, repeat):
        return {name: min(values) for name, values in self.times(contenders, repeat).items()}


def paired_ratio(times, name, base):
    """The median over repetitions of name's time over base's in the same repetition. On a shared
    machine whose speed drifts, the two ran back to back under the same conditions, so this is
    steadier than the ratio of the two best times, which may come from different phases."""
    return statistics.median(a / b for a, b in zip(times[name], times[base]))


def ns(value):
    return f"{value:,.1f}" if value < 100 else f"{value:,.0f}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------------
# The floor: a tiny extension built here for the running interpreter, never installed


def build_floor(workdir):
    """Compiles bench/floor/floor.c with the running interpreter's compiler, flags and headers."""
    config = sysconfig.get_config_var
    compiler = shlex.split(config("CC") or "cc")
    if shutil.which(compiler[0]) is None:
        compiler = ["cc"]
    target = pathlib.Path(workdir) / ("_cwfloor" + (config("EXT_SUFFIX") or ".so"))
    command = (compiler + shlex.split(config("CFLAGS") or "") + shlex.split(config("CCSHARED") or "")
               + ["-shared", "-I", sysconfig.get_paths()["include"],
                  str(HERE / "floor" / "floor.c"), "-o", str(target)])
    subprocess.run(command, check=True)
    spec = importlib.util.spec_from_file_location("_cwfloor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# ---------------------------------------------------------------------------------------------
# Sections


def empty_next(timer, floor, rows, sizes, repeat):
    """Engine.run with an empty next beside the floor and a plain Python loop."""
    floor_bar = floor.bar_type(Bar.__basicsize__)
    result = []
    lines = []
    repeats = {count: max(repeat, repeat * sizes[-1] // count // 2) for count in sizes}
    for count in sizes:
        bars = [Bar(*row) for row in rows[:count]]
        engine = make_engine(bars)
        broker = make_broker()
        bare, with_init = strategies.EmptyNext(), strategies.EmptyInitAndNext()

        def python_loop(strategy=bare, bars=bars, broker=broker):
            for bar in bars:
                strategy.next(bar, broker)

        # Smaller series get more repetitions: about the same time for each size, and a better
        # chance that one repetition of each contender ran undisturbed.
        times = timer.times({
            "floor": lambda: floor.run(floor_bar, bare, broker, count),
            "run": lambda: engine.run(bare),
            "loop": python_loop,
            "run_init": lambda: engine.run(with_init),
        }, repeats[count])
        per_bar = {name: min(values) / count for name, values in times.items()}
        ratios = {name: paired_ratio(times, *name.split("/")) for name in
                  ("run/floor", "run/loop", "run_init/floor")}
        result.append((count, per_bar, ratios))
        lines.append([f"{count:,}", ns(per_bar["floor"]), ns(per_bar["run"]),
                      f"**{ratios['run/floor']:.2f}x**", ns(per_bar["loop"]),
                      f"{ratios['run/loop']:.2f}x", ns(per_bar["run_init"]),
                      f"{ratios['run_init/floor']:.2f}x"])
    text = table(["bars", "floor ns/bar", "Engine.run ns/bar", "run / floor", "Python loop ns/bar",
                  "run / loop", "run, with init ns/bar", "with init / floor"], lines)
    text += "\n\n" + textwrap.fill(
        "Floor: a C loop that per bar allocates one object the size of a Bar through object's "
        "tp_new, calls strategy.next(bar, broker) by vectorcall with an interned name, and "
        "releases it (bench/floor/floor.c). Engine.run adds the exit pass, the equity point and "
        "the statistics. Python loop: `for bar in bars: strategy.next(bar, broker)` over bars "
        "built beforehand, so it allocates nothing. With init: the strategy also has an empty "
        "init, for which the engine builds the list of every bar as new Bar objects, "
        "once per run; without an init attribute that list is not built. Times: the best of "
        + ", ".join(f"{repeats[count]} repetitions for {count:,} bars" for count in sizes)
        + "; ratios: the median of the ratios within each repetition, whose contenders ran back "
        "to back.", 100)
    return text, result


def crossover(timer, rows, repeat):
    """The crossover on every bar: total, the engine's share and the strategy's."""
    bars = [Bar(*row) for row in rows]
    engine = make_engine(bars)
    empty = strategies.EmptyNext()

    def loop_of(make_strategy):
        def python_loop():
            strategy, broker = make_strategy(), make_broker()
            init = getattr(strategy, "init", None)
            if init is not None:
                init(bars)
            for bar in bars:
                strategy.next(bar, broker)
        return python_loop

    stats = {}

    def run_cross():
        stats["last"] = engine.run(strategies.smacross())

    times = timer.times({
        "run": run_cross,
        "run_empty": lambda: engine.run(empty),
        "loop": loop_of(strategies.smacross),
        "loop_empty": loop_of(strategies.EmptyNext),
    }, repeat)
    count = len(bars)
    per_bar = {name: min(values) / count for name, values in times.items()}
    engine_share = paired_ratio(times, "run_empty", "run")
    trades = re.search(r"Trades:\s+(\d+)", repr(stats["last"]))
    lines = [
        ["Engine.run(SmaCross)", ns(per_bar["run"]), "100%"],
        ["engine: Engine.run with an empty next", ns(per_bar["run_empty"]), f"{engine_share:.0%}"],
        ["strategy: the difference", ns(per_bar["run"] - per_bar["run_empty"]),
         f"{1 - engine_share:.0%}"],
        ["check: SmaCross.next in a Python loop, less the empty loop",
         ns(per_bar["loop"] - per_bar["loop_empty"]), ""],
    ]
    trades = f"{int(trades.group(1))} trades" if trades else "? trades"
    text = table([f"{count:,} bars, moving-average crossover", "ns/bar", "share"], lines)
    text += "\n\n" + textwrap.fill(
        f"{trades}. The engine's share is everything "
        "the run does for a bar apart from the strategy's own code: the exit pass, a new Bar, "
        "the call, the equity point, the statistics. The Python-loop check runs the same next "
        "over pre-built bars with a broker that applies no stop-loss or take-profit, so it "
        "trades a little differently. Shares are medians of the ratios within each repetition.",
        100)
    bars_per_second = count / (min(times["run"]) / 1e9)
    return text, bars_per_second, trades


def backtest_overhead(timer, floor, rows, repeat):
    """What the journal costs: Backtest.run beside Engine.run and the floor on the same bars, and
    the making of a Backtest from numpy columns."""
    from candlewright import Backtest

    count = len(rows)
    bars = [Bar(*row) for row in rows]
    engine, backtest = make_engine(bars), Backtest(bars, **ACCOUNT)
    broker, empty = make_broker(), strategies.EmptyNext()
    floor_bar = floor.bar_type(Bar.__basicsize__)
    times = timer.times({
        "floor": lambda: floor.run(floor_bar, empty, broker, count),
        "engine_empty": lambda: engine.run(empty),
        "backtest_empty": lambda: backtest.run(empty),
        "engine_cross": lambda: engine.run(strategies.smacross()),
        "backtest_cross": lambda: backtest.run(strategies.smacross()),
    }, repeat)
    per_bar = {name: min(values) / count for name, values in times.items()}
    result = backtest.run(strategies.smacross())
    lines = [
        ["Backtest.run, empty next / floor", ns(per_bar["backtest_empty"]),
         f"**{paired_ratio(times, 'backtest_empty', 'floor'):.2f}x**"],
        ["Engine.run, empty next / floor", ns(per_bar["engine_empty"]),
         f"{paired_ratio(times, 'engine_empty', 'floor'):.2f}x"],
        ["Backtest.run / Engine.run, empty next", "",
         f"{paired_ratio(times, 'backtest_empty', 'engine_empty'):.3f}x"],
        ["Backtest.run / Engine.run, crossover", ns(per_bar["backtest_cross"]),
         f"**{paired_ratio(times, 'backtest_cross', 'engine_cross'):.3f}x**"],
    ]
    text = table([f"{count:,} bars", "ns/bar", "ratio"], lines)
    row_bytes = memoryview(result.trades.pnl).strides[0] if len(result.trades) else 0
    built = ""
    try:
        import numpy
    except ImportError:
        built = " (numpy is not installed: the making from columns was not timed)"
    else:
        columns = {name: numpy.asarray([row[i] for row in rows])
                   for i, name in enumerate(("timestamp", "open", "high", "low", "close",
                                             "volume"))}
        made = timer.best({"build": lambda: Backtest(columns, **ACCOUNT)}, repeat)["build"]
        built = f"; a Backtest from {count:,} bars of numpy columns is made in {made / 1e6:.1f} ms"
    text += "\n\n" + textwrap.fill(
        f"The crossover closed {len(result.trades)} trades at {row_bytes} bytes a row{built}. "
        "Ratios: medians of the ratios within each repetition.", 100)
    return text


def loading(timer, rows, workdir, repeat):
    """Bars from a CSV file or a DataFrame to a ready Engine or Backtest, beside one SmaCross
    run over them; and what the same file costs through other readers."""
    import csv

    from candlewright import Backtest, SmaCross, read_csv

    path = pathlib.Path(workdir) / "bars.csv"
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(("time", "open", "high", "low", "close", "volume"))
        # Five decimals, as quotes are written.
        writer.writerows((t, *(f"{x:.5f}" for x in prices), f"{v:g}") for t, *prices, v in rows)
    bars = read_csv(path)
    engine = Engine(bars, **ACCOUNT)
    contenders = {
        "smacross": lambda: engine.run(SmaCross()),
        "csv_engine": lambda: Engine(read_csv(path), **ACCOUNT),
        "csv_backtest": lambda: Backtest(read_csv(path), **ACCOUNT),
        "stdlib": lambda: Engine(_stdlib_bars(path), **ACCOUNT),
    }
    others = []
    try:
        import numpy
        import pandas
    except ImportError:
        others.append("pandas is not installed: the DataFrame rows were not timed")
    else:
        from candlewright import from_dataframe

        frame = pandas.DataFrame({name: numpy.asarray([row[i] for row in rows])
                                  for i, name in enumerate(("time", "open", "high", "low",
                                                            "close", "volume"))})
        frame.index = pandas.to_datetime(frame.pop("time"), unit="s", utc=True)
        contenders["frame_backtest"] = lambda: Backtest(from_dataframe(frame), **ACCOUNT)
        contenders["pandas_csv"] = lambda: Backtest(
            from_dataframe(pandas.read_csv(path, engine="c")), **ACCOUNT)
    try:
        import pyarrow.csv
    except ImportError:
        others.append("pyarrow is not installed: its CSV reader was not timed")
    else:
        from candlewright import from_arrays

        def arrow():
            table = pyarrow.csv.read_csv(path)
            return Backtest(from_arrays(*(table.column(n).to_numpy() for n in table.column_names)),
                            **ACCOUNT)
        contenders["arrow_csv"] = arrow
    times = timer.times(contenders, repeat)
    best = {name: min(values) / 1e6 for name, values in times.items()}
    labels = {
        "csv_engine": "CSV file -> Engine (read_csv)",
        "csv_backtest": "CSV file -> Backtest (read_csv)",
        "frame_backtest": "DataFrame -> Backtest (from_dataframe)",
        "pandas_csv": "CSV file -> Backtest, through pandas.read_csv",
        "arrow_csv": "CSV file -> Backtest, through pyarrow.csv.read_csv",
        "stdlib": "CSV file -> Engine, csv module and float() per row",
    }
    lines = [[label, f"{best[name]:.0f} ms", f"**{paired_ratio(times, name, 'smacross'):.2f}x**"
              if name in ("csv_engine", "csv_backtest", "frame_backtest") else
              f"{paired_ratio(times, name, 'smacross'):.2f}x"]
             for name, label in labels.items() if name in times]
    text = table([f"{len(rows):,} bars ({path.stat().st_size / 1e6:.0f} MB of CSV)", "time",
                  "/ one SmaCross run"], lines)
    return text + "\n\n" + textwrap.fill(
        f"Elapsed time, best of interleaved repetitions. One SmaCross run over these bars takes "
        f"{best['smacross']:.0f} ms. The reading is "
        "native: the layout is sniffed from the first rows in Python, then every row is split "
        "and its numbers read in C++ (the checks too), with no Python object per row. The "
        "other readers give the same bars; they are shown to tell what routing through them "
        "would cost. " + "; ".join(others), 100)


def _stdlib_bars(path):
    import csv

    with open(path, newline="") as stream:
        rows = csv.reader(stream)
        next(rows)
        return [Bar(int(t), float(o), float(h), float(l), float(c), float(v))
                for t, o, h, l, c, v in rows]


def report_writing(rows, workdir):
    """Writing the HTML report: for the bundled sample and for every bar of `rows`."""
    try:
        import bokeh  # noqa: F401
    except ImportError:
        return "Skipped: Bokeh is not installed (python -m pip install '.[report]')."
    from candlewright import Backtest, SmaCross, sample_bars

    lines = []
    for name, bars in (("the sample", sample_bars()), (f"{len(rows):,} bars", None)):
        data = bars if bars is not None else {
            key: [row[i] for row in rows]
            for i, key in enumerate(("timestamp", "open", "high", "low", "close", "volume"))}
        result = Backtest(data, **ACCOUNT).run(SmaCross(fast=20, slow=80))
        path = pathlib.Path(workdir) / "report.html"
        start = time.perf_counter()
        result.plot(path)
        elapsed = time.perf_counter() - start
        lines.append([name, f"{len(result.trades):,}", f"{elapsed:.2f} s",
                      f"{path.stat().st_size / 1e6:.1f} MB"])
    return table(["run", "trades", "writing the report", "file size"], lines) + (
        "\n\nElapsed time of Result.plot, once each; the file holds Bokeh's JavaScript "
        "(about 1.7 MB) and, above 10,000 bars, 4,000 buckets of candles.")


def scaling(timer, rows, counts, repeat):
    """Per-bar cost with positions open, and one bar that closes thousands of them."""
    bars = [Bar(*row) for row in rows]
    engine = make_engine(bars)
    times = timer.times({k: (lambda k=k: engine.run(strategies.HoldOpen(k))) for k in counts},
                        repeat)
    lines = []
    for k in counts:
        per_bar = min(times[k]) / len(bars)
        extra = ""
        if k:
            # Against no open position in the same repetition, as in paired_ratio.
            extra = statistics.median((t - t0) / len(bars) / k
                                      for t, t0 in zip(times[k], times[counts[0]]))
            extra = f"{extra:.2f}"
        lines.append([f"{k:,}", ns(per_bar), extra])
    text = table([f"open positions ({len(bars):,} bars)", "ns/bar",
                  "ns per open position per bar"], lines)
    text += "\n\n" + textwrap.fill(
        "Every bar runs the exit pass (stop-loss and take-profit of each open position against "
        "the bar) and the equity point (each open position valued at the close): both are "
        "linear in the open positions. The positions are opened on the first bar with levels no "
        "bar reaches. Per position: the median over repetitions of the difference to no open "
        "position in the same repetition.", 100)
    return text


def mass_exit(sizes, repeat):
    """check_exits when every open position closes on one bar, seen through a run."""
    clock = time.perf_counter_ns
    lines = []
    for count in sizes:
        gaps = {}
        for name, low in (("hit", 0.8), ("miss", 0.95)):
            engine = make_engine([Bar(0, 1.0, 1.0, 1.0, 1.0, 0.0),
                                  Bar(3600, 1.0, 1.0, low, 1.0, 0.0)])
            best = math.inf
            for _ in range(repeat):
                strategy = strategies.OpenThenWatch(count, 0.9, clock)
                gc.collect()
                gc.disable()
                try:
                    engine.run(strategy)
                finally:
                    gc.enable()
                best = min(best, strategy.stamps[1] - strategy.stamps[0])
            gaps[name] = best
        per_position = (f"{gaps['hit'] / count:.1f}" if count else "")
        settle = f"{(gaps['hit'] - gaps['miss']) / count:.1f}" if count else ""
        lines.append([f"{count:,}", f"{gaps['hit'] / 1000:,.1f}", per_position,
                      f"{gaps['miss'] / 1000:,.1f}", settle])
    text = table(["positions closed on bar 1", "bar 0 → bar 1 µs", "ns per position",
                  "same, none hit µs", "ns per close"], lines)
    text += "\n\n" + textwrap.fill(
        "N longs with a stop at 0.9 open on bar 0; bar 1's low is 0.8, so its exit pass closes "
        "all of them. Measured inside the strategy (elapsed time) from the end of bar 0's next "
        "to the start of bar 1's: bar 0's equity point over N positions, then bar 1's exit "
        "pass, its Bar and the call. 'None hit' is the same with a low of 0.95; the last column "
        "is the difference per position, the cost of turning a position into a trade.", 100)
    return text


MEMORY_CHILD = """
import sys
sys.path.insert(0, {here!r})
import strategies
from _candlewright import Bar, Engine
import run
bars = [Bar(*row) for row in run.synthetic_rows({count})]
stage = {stage!r}
if stage != "bars":
    engine = run.make_engine(bars)
    if stage == "run":
        engine.run(strategies.EmptyNext())
    elif stage == "run_init":
        engine.run(strategies.EmptyInitAndNext())
print(run.peak_resident_bytes())
"""


def peak_resident_bytes():
    """This process's peak resident memory. Linux's VmHWM belongs to the process's own address
    space; ru_maxrss would also count the parent's pages, which the child shares between fork and
    exec."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    import resource
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


SWEEPS_CHILD = """
{preload}
import json, sys, time
sys.path.insert(0, {here!r})
import run, sweeps
rows = list(run.synthetic_rows({count}))
timer = run.Timer(time.perf_counter_ns)
print(json.dumps(sweeps.measure(timer, run.paired_ratio, run.table, rows, {count}, {tasks},
                                 {repeat})))
"""


def sweeps_in_child(count, tasks, repeat, preload=""):
    """The sweep tables, measured in a fresh process: by now this one runs the peers' library
    threads, and a sweep forks its workers only from a process running no other Python thread.
    `preload` is run first, as a script's imports are."""
    code = SWEEPS_CHILD.format(here=str(HERE), count=count, tasks=tasks, repeat=repeat,
                               preload=preload)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    text, speedup = json.loads(out.splitlines()[-1])
    return text, speedup


def memory(count):
    """Peak resident memory per bar, each stage in its own process."""
    peak = {}
    for stage in ("bars", "engine", "run", "run_init"):
        code = MEMORY_CHILD.format(here=str(HERE), count=count, stage=stage)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout
        peak[stage] = int(out.split()[-1])
    lines = [
        ["a list of Bar objects (baseline)", f"{peak['bars'] / 2**20:,.0f}", ""],
        ["+ Engine(bars) (its own copy of the bars)", f"{peak['engine'] / 2**20:,.0f}",
         f"{(peak['engine'] - peak['bars']) / count:.0f}"],
        ["+ Engine.run, empty next", f"{peak['run'] / 2**20:,.0f}",
         f"{(peak['run'] - peak['engine']) / count:.0f}"],
        ["+ Engine.run, empty init and next", f"{peak['run_init'] / 2**20:,.0f}",
         f"{(peak['run_init'] - peak['engine']) / count:.0f}"],
    ]
    text = table([f"peak resident memory, {count:,} bars", "MiB", "bytes per bar over the row "
                  "above it (runs: over the engine)"], lines)
    text += "\n\n" + textwrap.fill(
        "Each row is a separate process (its peak resident set, VmHWM). A run keeps one 8-byte equity point per "
        "bar; a strategy with an init also gets every bar as a new Bar object in one list, "
        "released when init returns.", 100)
    return text


def peers(timer, rows, repeat):
    """The crossover on candlewright, backtesting.py and backtrader, on the same bars, all in the
    same rounds; the loading of each apart from its run."""
    from candlewright import Backtest

    count = len(rows)
    columns = {name: [row[i] for row in rows] for i, name in
               enumerate(("timestamp", "open", "high", "low", "close", "volume"))}
    bars = [Bar(*row) for row in rows]
    engine = make_engine(bars)
    trades = {}

    def engine_run():
        trades["candlewright Engine.run"] = engine.run(strategies.smacross()).num_trades

    runs = {"candlewright Engine.run": engine_run}
    loads = {"candlewright Engine.run": lambda: make_engine(bars)}
    versions = {"candlewright Engine.run": ""}
    skipped, notes = [], []
    try:
        import numpy
        import pandas as pd
    except ImportError as error:
        notes.append(f"numpy or pandas is not installed ({error}): peers skipped.")
        pd = None
    if pd is not None:
        arrays = {name: numpy.asarray(values) for name, values in columns.items()}
        backtest = Backtest(arrays, **ACCOUNT)

        def backtest_run():
            trades["candlewright Backtest.run"] = len(backtest.run(strategies.smacross()).trades)

        runs["candlewright Backtest.run"] = backtest_run
        loads["candlewright Backtest.run"] = lambda: Backtest(arrays, **ACCOUNT)
        versions["candlewright Backtest.run"] = ""

        def frame():
            return pd.DataFrame({"Open": arrays["open"], "High": arrays["high"],
                                 "Low": arrays["low"], "Close": arrays["close"],
                                 "Volume": arrays["volume"]},
                                index=pd.to_datetime(arrays["timestamp"], unit="s"))

        for name, package, prepare in (("backtesting.py", "backtesting", _backtesting_py),
                                       ("backtrader", "backtrader", _backtrader)):
            try:
                module = importlib.import_module(package)
            except Exception as error:  # noqa: BLE001  (any failure to import: report and go on)
                skipped.append([name, "", "not run", "", "", f"cannot import {package}: {error}"])
                continue
            try:
                load, run = prepare(frame, trades, name)
            except Exception as error:  # noqa: BLE001  (a peer that fails on this interpreter)
                skipped.append([name, "", "failed", "", "", f"{type(error).__name__}: {error}"])
                continue
            runs[name], loads[name] = run, load
            versions[name] = " " + getattr(module, "__version__", "?")
    base = "candlewright Engine.run"
    # Loads and runs in the same rounds: each round runs every contender once, in an order that
    # rotates, so the ratios pair runs that saw the same state of the machine.
    times = timer.times({**{("run", k): v for k, v in runs.items()},
                         **{("load", k): v for k, v in loads.items()}}, repeat)
    lines, speeds, ratios = [], {}, {}
    for name in runs:
        run_best = min(times[("run", name)])
        ratio = statistics.median(a / b for a, b in zip(times[("run", name)],
                                                        times[("run", base)]))
        speeds[name.removesuffix(" Engine.run")] = count / (run_best / 1e9)
        ratios[name.removesuffix(" Engine.run")] = ratio
        lines.append([name + versions[name], ns(min(times[('load', name)]) / 1e6),
                      ns(run_best / count), f"{count / (run_best / 1e9):,.0f}",
                      "1" if name == base else f"{ratio:,.2f}", f"{trades[name]:,}"])
    text = table([f"crossover, {count:,} bars", "loading ms", "run ns/bar", "run bars per second",
                  "run time / Engine.run's", "trades"], lines + skipped)
    text += "\n\n" + textwrap.fill(
        f"CPU time; loading and run timed apart, every contender once in each of {repeat} rounds, "
        "in an order that rotates. Times: the best round; the ratio: the median over rounds of "
        "the two runs' times in the same round. The trade counts may differ by a few where the "
        "averages of two libraries, summed in different orders, fall on the two sides of a "
        "near tie. tqdm's progress bars are off (TQDM_DISABLE).", 100)
    text += "\n\nWhat differs between the three:\n\n" + "\n".join(
        "- " + textwrap.fill(note, 98, subsequent_indent="  ") for note in
        strategies.PEER_NOTES + notes)
    return text, speeds, ratios


def _backtesting_py(frame, trades, name):
    """(load, run) of the crossover on backtesting.py: the DataFrame and the Backtest holding it,
    then Backtest.run on one made beforehand."""
    import warnings

    from backtesting import Backtest

    strategy = strategies.backtesting_strategy()

    def load():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return Backtest(frame(), strategy, cash=1_000_000, commission=0.0, spread=0.0,
                            margin=1.0, trade_on_close=True, finalize_trades=True)

    test = load()

    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            trades[name] = int(test.run()["# Trades"])
    return load, run


def _backtrader(frame, trades, name):
    """(load, run) of the crossover on backtrader. Its PandasData feed loads the frame row by row
    in cerebro.run(), about half of that call: load is that preload on its own, and the run gets a
    feed that restores the lines a preload made, so it is timed without the loading."""
    import array

    import backtrader as bt

    strategy = strategies.backtrader_strategy()

    def load(data=None):
        cerebro = bt.Cerebro()
        feed = bt.feeds.PandasData(dataname=frame() if data is None else data)
        cerebro.adddata(feed)
        # What cerebro.run() does for each of its feeds before the strategies start.
        feed.reset()
        feed._start()
        feed.preload()
        return feed

    def lines_of(feed):
        return [array.array("d", feed.lines[i].array) for i in range(feed.lines.fullsize())]

    def feed_class(loaded):
        class Preloaded(bt.feeds.PandasData):
            def preload(self):
                for i, values in enumerate(loaded):
                    self.lines[i].array = array.array("d", values)
                self._last()
                self.home()
        return Preloaded

    def cerebro_run(feed):
        cerebro = bt.Cerebro(stdstats=False)
        cerebro.broker.setcash(1_000_000.0)
        cerebro.broker.set_coc(True)
        cerebro.adddata(feed)
        cerebro.addstrategy(strategy)
        return cerebro.run()[0].closed_trades, cerebro.broker.getvalue()

    # The restored feed must trade as the plain one does.
    head = frame().iloc[:20_000]
    plain = cerebro_run(bt.feeds.PandasData(dataname=head))
    restored = cerebro_run(feed_class(lines_of(load(head)))(dataname=head))
    if plain != restored:
        raise RuntimeError(f"the preloaded feed trades differently: {restored} != {plain}")
    data = frame()
    preloaded = feed_class(lines_of(load(data)))

    def run():
        trades[name] = cerebro_run(preloaded(dataname=data))[0]
    return load, run


# ---------------------------------------------------------------------------------------------


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}"


def interpreter():
    debug = " (debug build)" if hasattr(sys, "gettotalrefcount") else ""
    return f"{platform.python_implementation()} {platform.python_version()}{debug}"


def write_results(path, title, body, summary):
    """Writes this interpreter's section and summary into the results, keeping those of the other
    interpreters already there: the numbers in a JSON file beside the Markdown one, which is
    rendered from it."""
    store = path.with_suffix(".json")
    results = json.loads(store.read_text()) if store.exists() else {}
    results[title] = {"body": body.strip(), "summary": summary}

    def order(key):
        return [int(n) for n in re.findall(r"\d+", key)], key

    titles = sorted(results, key=order)
    ratio_rows, peer_rows, sweep_rows = [], [], []
    for key in titles:
        entry = results[key]["summary"]
        for count, per_bar, ratios in entry["empty_next"]:
            ratio_rows.append([key, f"{count:,}", ns(per_bar["floor"]), ns(per_bar["run"]),
                               f"**{ratios['run/floor']:.2f}x**",
                               ns(per_bar["loop"]), ns(per_bar["run_init"])])
        speeds = entry["crossover_bars_per_second"]
        ours = speeds["candlewright"]
        # Older entries timed each peer once, loading included, against a best of several runs
        # of ours taken earlier; they are kept as they were measured, and marked.
        paired = entry.get("crossover_ratio")
        peer_rows.append([key, f"{ours:,.0f}"] + [
            (f"{speeds[name]:,.0f} ({paired[name]:,.0f}x slower)" if paired
             else f"{speeds[name]:,.0f} ({ours / speeds[name]:,.0f}x slower, unpaired)")
            if name in speeds else "not run" for name in ("backtesting.py", "backtrader")])
        speedups = entry.get("sweep_speedup")
        if isinstance(speedups, dict):
            sweep_rows.append([key] + [f"{speedups[sets]:.2f}x" for sets in ("16", "64")])
    text = ("# Run-loop benchmark results\n\n"
            "Written by `python bench/run.py`, one section per interpreter it ran on (the numbers "
            "are kept in results.json). Absolute times vary between machines; the ratios are what "
            "to compare.\n\n"
            "## Summary\n\n"
            "Engine.run with an empty next against the floor and a plain Python loop, ns per bar "
            "(the best repetition; run / floor is the median of the ratios within repetitions):"
            "\n\n"
            + table(["interpreter", "bars", "floor", "Engine.run", "run / floor", "Python loop",
                     "Engine.run, with an init"], ratio_rows)
            + "\n\nThe moving-average crossover on 10^6 bars, bars per second of the run, "
              "loading apart, and the median of the ratios of run times within rounds (rows "
              "marked unpaired: an older measurement, each peer timed once with its loading, "
              "against candlewright's best run):\n\n"
            + table(["interpreter", "candlewright", "backtesting.py", "backtrader"], peer_rows)
            + "\n\nParameter sweeps over 10^5 bars: candlewright.sweep's process pool against a "
              f"sequential loop, on {os.cpu_count()} cores (elapsed time, the median of the "
              "ratios within repetitions):\n\n"
            + table(["interpreter", "speed-up, 16 sets", "speed-up, 64 sets"], sweep_rows)
            + "\n")
    text += "".join(f"\n## {key}\n\n{results[key]['body']}\n" for key in titles)
    store.write_text(json.dumps(results, indent=1, sort_keys=True) + "\n")
    path.write_text(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes, one repetition: a smoke test of the script, not a "
                             "measurement")
    parser.add_argument("--wall", action="store_true",
                        help="elapsed time instead of the thread's CPU time")
    parser.add_argument("--no-peers", action="store_true", help="skip backtesting.py and backtrader")
    parser.add_argument("--peer-rounds", type=int, default=3, metavar="N",
                        help="rounds of the peer table (default 3; backtrader takes minutes each)")
    parser.add_argument("--output", type=pathlib.Path, default=None,
                        help="results file (default: bench/results.md; --quick writes none)")
    args = parser.parse_args()
    if args.output is None and not args.quick:
        args.output = HERE / "results.md"

    if args.quick:
        sizes, big, repeat, scale_bars, mass = (1_000, 10_000), 10_000, 1, 1_000, (0, 100)
        sweep_bars, sweep_tasks, sweep_repeat = 2_000, 20, 1
    else:
        sizes, big, repeat, scale_bars, mass = ((100_000, 1_000_000), 1_000_000, 15, 20_000,
                                                (0, 1_000, 10_000, 100_000))
        sweep_bars, sweep_tasks, sweep_repeat = 100_000, 1_000, 15
    timer = Timer(time.perf_counter_ns if args.wall else time.thread_time_ns)
    clock_name = "elapsed time" if args.wall else "CPU time of the running thread"

    title = interpreter()
    started = time.perf_counter()
    print(f"{title}: building the floor extension", file=sys.stderr)
    with tempfile.TemporaryDirectory() as workdir:
        floor = build_floor(workdir)
        print(f"making {big:,} synthetic bars", file=sys.stderr)
        rows = list(synthetic_rows(max(big, max(sizes))))

        peer_rounds = 1 if args.quick else args.peer_rounds
        parts = [f"{machine()}; {clock_name}, best of interleaved repetitions (at least "
                 f"{repeat} per table, {peer_rounds} for the peers); "
                 f"{datetime.date.today().isoformat()}."]
        print("empty next against the floor and a Python loop", file=sys.stderr)
        text, empty_results = empty_next(timer, floor, rows, sizes, repeat)
        parts.append("### Engine.run with an empty next\n\n" + text)

        print("the crossover", file=sys.stderr)
        text, ours_per_second, trades = crossover(timer, rows[:big], max(3, repeat // 2))
        parts.append("### A realistic strategy\n\n" + text)

        print("Backtest against Engine.run", file=sys.stderr)
        parts.append("### Backtest's journal\n\n"
                     + backtest_overhead(timer, floor, rows[:big], max(3, repeat // 2)))

        print("loading bars", file=sys.stderr)
        # Elapsed time: the readers of other libraries work on threads of their own.
        parts.append("### Loading bars\n\n" + loading(Timer(time.perf_counter_ns), rows[:big],
                                                          workdir, max(3, repeat // 3)))

        print("the HTML report", file=sys.stderr)
        parts.append("### The HTML report\n\n" + report_writing(rows[:big], workdir))

        print("scaling in open positions", file=sys.stderr)
        parts.append("### Open positions\n\n"
                     + scaling(timer, rows[:scale_bars], (0, 10, 100, 1_000), 2 * repeat))
        print("mass exit", file=sys.stderr)
        parts.append("### Many positions closing on one bar\n\n" + mass_exit(mass, repeat))
        if importlib.util.find_spec("numpy"):
            import account  # beside this file; it builds its bars with numpy

            print("FX account options", file=sys.stderr)
            parts.append("### FX account options\n\n" + account.measure(
                timer, paired_ratio, table, 2_000 if args.quick else 1_000_000, repeat))
            if not args.quick and shutil.which("valgrind"):
                import rules_callgrind  # beside this file

                print("the rules' instructions under callgrind", file=sys.stderr)
                parts.append("### The broker's rules, in instructions\n\n"
                             + rules_callgrind.section(100_000))

            import signal_limits  # beside this file

            print("signal runs: run_signals against numba and the floor", file=sys.stderr)
            # Elapsed time: run_signals may run on threads of its own.
            parts.append(signal_limits.SECTION + "\n\n" + signal_limits.measure(
                Timer(time.perf_counter_ns), rows[:big], 1 if args.quick else max(5, repeat // 2)))

        speeds, peer_ratios = {"candlewright": ours_per_second}, None
        if args.no_peers:
            parts.append("### Peers\n\nSkipped (--no-peers).")
        else:
            print("peers: backtesting.py and backtrader (slow)", file=sys.stderr)
            text, speeds, peer_ratios = peers(timer, rows[:big], peer_rounds)
            parts.append("### Peers\n\n" + text)

        print("peak memory", file=sys.stderr)
        parts.append("### Memory\n\n" + memory(big))

        print("parameter sweeps", file=sys.stderr)
        text, sweep_speedup = sweeps_in_child(sweep_bars, sweep_tasks, sweep_repeat)
        parts.append("### Parameter sweeps\n\n" + text)
        if importlib.util.find_spec("numpy") and importlib.util.find_spec("pandas"):
            print("parameter sweeps from a script that imported numpy and pandas",
                  file=sys.stderr)
            text, _ = sweeps_in_child(sweep_bars, sweep_tasks, sweep_repeat,
                                      "import numpy, pandas  # their threads start here")
            parts.append("### Parameter sweeps, numpy and pandas imported first\n\n" + text)

    body = "\n\n".join(parts)
    print(f"## {title}\n\n{body}\n")
    if args.output is not None:
        write_results(args.output, title, body,
                      {"empty_next": empty_results, "crossover_bars_per_second": speeds,
                       "crossover_ratio": peer_ratios,
                       "sweep_speedup": sweep_speedup})
        print(f"written to {args.output}", file=sys.stderr)
    print(f"{time.perf_counter() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
