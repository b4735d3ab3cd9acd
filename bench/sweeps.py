"""The parameter-sweep part of the benchmark: speed-up over a sequential loop, and what the
process pool costs per task. Elapsed time throughout, since the work runs in other processes."""
import importlib.util
import resource
import statistics
import textwrap
import time

from _candlewright import Bar
from candlewright import Backtest, SmaCross, sweep
from candlewright.sweeps import FIGURES, _cores, expand_grid

GRIDS = ({"fast": [5, 10, 15, 20], "slow": [30, 40, 60, 80]},
         {"fast": [4, 6, 8, 10, 12, 15, 18, 20], "slow": [25, 30, 40, 50, 60, 70, 80, 100]})
ACCOUNT = dict(initial_cash=1_000_000.0, commission=0.0, spread=0.0, contract_size=100_000.0,
               quote_to_account=1.0)


def _sequential(bars, sets):
    """The same work as a sweep's: each set's run and its metrics, in turn."""
    backtest = Backtest(bars, *ACCOUNT.values())
    runs = [backtest.run(SmaCross(**params)) for params in sets]
    for run in runs:
        run.metrics
    return [run.stats for run in runs]


def _elapsed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def _grid(timer, paired_ratio, bars, grid, repeat):
    """Sequential and the default process pool on one grid, back to back in rotating order:
    table rows, and the speed-up."""
    sets = expand_grid(grid)
    outputs, busy = {}, []

    def sequential():
        outputs["sequential"] = _sequential(bars, sets)

    def pool():
        # The workers are reaped by the time sweep returns, so their CPU time is counted.
        before, start = _children_cpu(), time.perf_counter()
        outputs["process pool"] = sweep(SmaCross, grid, bars, **ACCOUNT, progress=False)
        busy.append((_children_cpu() - before) / (time.perf_counter() - start))

    times = timer.times({"sequential": sequential, "process pool": pool}, repeat)
    best = {name: min(values) / 1e9 for name, values in times.items()}
    speedup = paired_ratio(times, "sequential", "process pool")
    reference = [tuple(getattr(stats, name) for name in FIGURES)
                 for stats in outputs["sequential"]]
    same = [tuple(r.figures.values()) for r in outputs["process pool"]] == reference
    label = f"{len(sets)} sets"
    return [[f"{label}, sequential", str(repeat), f"{best['sequential']:.3f}", "1.00x", "", ""],
            [f"{label}, process pool", str(repeat), f"{best['process pool']:.3f}",
             f"**{speedup:.2f}x**", f"{statistics.median(busy):.2f} of {_cores()}",
             "yes" if same else "NO"]], speedup


def measure(timer, paired_ratio, make_table, rows, count, tiny_tasks, repeat):
    """The crossover over `count` bars on a grid of 16 sets and one of 64, sequential and on the
    default process pool; then the pool's fixed and per-task costs on one-bar sets."""
    bars = [Bar(*row) for row in rows[:count]]
    small_rows, small_speedup = _grid(timer, paired_ratio, bars, GRIDS[0], repeat)
    # The big grid takes four times as long; fewer repetitions keep the benchmark short.
    big_rows, big_speedup = _grid(timer, paired_ratio, bars, GRIDS[1], max(1, repeat // 3))
    speedups = {"16": small_speedup, "64": big_speedup}

    tiny = [Bar(*rows[0])]
    tiny_grid = [{"fast": 1, "slow": 2}] * tiny_tasks
    one = min(_elapsed(lambda: sweep(SmaCross, tiny_grid[:1], tiny, **ACCOUNT,
                                     progress=False))[0] for _ in range(repeat))
    many = min(_elapsed(lambda: sweep(SmaCross, tiny_grid, tiny, **ACCOUNT,
                                      progress=False))[0] for _ in range(repeat))

    # The searches' own cost: distinct one-bar sets, so every try runs.
    search_grid = {"fast": list(range(1, 9)), "slow": list(range(10, 15))}
    tries = 40
    searched = {"grid": min(_elapsed(lambda: sweep(SmaCross, search_grid, tiny, **ACCOUNT,
                                                   progress=False, maximize="final_cash"))[0]
                            for _ in range(repeat))}
    for method in ("random", "optuna"):
        if method == "optuna" and importlib.util.find_spec("optuna") is None:
            continue
        searched[method] = min(_elapsed(lambda: sweep(
            SmaCross, search_grid, tiny, **ACCOUNT, progress=False, maximize="final_cash",
            method=method, max_tries=tries, random_state=1))[0] for _ in range(repeat))

    text = make_table(
        [f"SmaCross over {count:,} bars", "repetitions", "best seconds", "speed-up",
         "cores busy", "identical figures"], small_rows + big_rows)
    text += "\n\n" + make_table(
        ["process pool, sets of one bar", "ms"],
        [["a sweep of 1 set, start to end", f"{one * 1e3:.1f}"],
         [f"each further set (a sweep of {tiny_tasks:,}, less that, per set)",
          f"{(many - one) / (tiny_tasks - 1) * 1e3:.3f}"],
         *([f"{method} search of {tries} sets, per set, beyond the grid's"
            f"{' (a pool per batch of one set per core)' if method == 'optuna' else ''}",
            f"{(searched[method] - searched['grid']) / tries * 1e3:.3f}"]
           for method in ("random", "optuna") if method in searched)])
    notes = (
        "Elapsed time, the two contenders back to back in an order that rotates. The speed-up is "
        "the median over repetitions of sequential's time over the pool's in the same "
        "repetition: this machine's speed drifts by up to half from one second to the next, and "
        "the paired ratio is steadier than the ratio of the best times. Cores busy: the workers' "
        "CPU time over the pool's elapsed time (median). What keeps the pool below the number "
        "of cores is its start, some 20 ms until the first set runs, and its end, where one "
        "worker may wait up to a set's time for the other's last set; a bigger grid spreads "
        "both thinner. Sequential: one Backtest and a loop of Backtest.run, with each run's "
        "metrics, over the sets in this "
        "process. Process pool: candlewright.sweep with its default executor, one worker process "
        "per core, counted from the call to its return: the workers' start (forked with the "
        "engine when this process runs no other Python thread, else started by a fork server "
        "with the bars shipped once to each), the sets, and the pool's shut-down. One-bar sets: "
        "best of "
        f"{repeat}.")
    return text + "\n\n" + textwrap.fill(notes, 100), speedups
