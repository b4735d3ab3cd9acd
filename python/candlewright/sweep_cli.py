"""`python -m candlewright sweep`: one run per parameter set, ranked by a figure or a metric;
random or Optuna search; walk-forward."""
from __future__ import annotations

import argparse
import concurrent.futures as cf
import csv
import importlib
import json
import math
import pathlib
import sys
from collections.abc import Sequence
from typing import Any

from ._command import (UserError, _describe, _is_file, account_of, add_input_arguments,
                       add_intrabar_arguments, intrabar_of, load_bars, load_object, options_of,
                       report_modules, write_html)
from .backtest import Backtest
from .metrics import METRICS
from .result import json_safe
from .strategies import AnyStrategy
from .sweeps import FIGURES, METHODS, SweepResult, SweepResults, sweep

# Best first means highest first, except for these.
LOWER_IS_BETTER = frozenset({"max_drawdown_pct"})
DEFAULT_RANK = "total_return_pct"
SHOWN = ("total_return_pct", "final_cash", "num_trades", "win_rate_pct", "profit_factor",
         "max_drawdown_pct")


class StrategyRef:
    """A strategy factory named by "module:Class" or "file.py:Class": it pickles as its name,
    so it reaches any worker, and loads the class once in each process that calls it."""

    _loaded: dict[str, Any] = {}

    def __init__(self, spec: str) -> None:
        where, _, name = spec.rpartition(":")
        # Workers may start elsewhere; a file is found by its full path.
        self.spec = f"{pathlib.Path(where).resolve()}:{name}" if _is_file(where) else spec

    def __call__(self, **params: Any) -> AnyStrategy:
        factory = self._loaded.get(self.spec)
        if factory is None:
            factory = self._loaded[self.spec] = load_object(self.spec)
        strategy: AnyStrategy = factory(**params)
        return strategy


def _score_name(text: str) -> str:
    if text not in FIGURES and text not in METRICS:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a figure nor a metric (see --help)")
    return text


class _Once(argparse.Action):
    """A flag whose two spellings set one value: given twice, it must say the same."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        before = getattr(namespace, self.dest, None)
        if before is not None and before != values:
            parser.error(f"{'/'.join(self.option_strings)} given twice, {before} and {values}: "
                         "give one")
        setattr(namespace, self.dest, values)


class Lowest:
    """The score of a figure where lower is better: its negation, so the highest score is the
    best set for search, walk-forward and `best` alike. Picklable, so it reaches any worker."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __call__(self, result: Any) -> float:
        return -float(getattr(result.stats, self.name))


def score_of(name: str | None) -> str | Lowest | None:
    """What the sweep maximises for a ranking name."""
    return Lowest(name) if name in LOWER_IS_BETTER else name


def parse_param(text: str) -> tuple[str, list[Any]]:
    """NAME=V1,V2,... (each value an int if it reads as one, else a float, else the text),
    NAME=START:STOP:STEP (STOP included when the steps reach it), or NAME=[JSON list] for
    values that hold commas."""
    name, equals, values = text.partition("=")
    name = name.strip()
    if not equals or not name.isidentifier():
        raise argparse.ArgumentTypeError(f"wants NAME=V1,V2,..., not {text!r}")
    values = values.strip()
    if values.startswith("["):
        try:
            items = json.loads(values)
        except json.JSONDecodeError as exc:
            raise argparse.ArgumentTypeError(f"{name}: not a JSON list: {exc}") from None
        if not isinstance(items, list) or not items:
            raise argparse.ArgumentTypeError(f"{name}: wants a non-empty JSON list")
        return name, items
    if ":" in values and "," not in values:
        return name, _steps(name, values)
    parts = [item.strip() for item in values.split(",")]
    if not all(parts):
        raise argparse.ArgumentTypeError(f"wants NAME=V1,V2,..., not {text!r}")
    return name, [_value(item) for item in parts]


def _steps(name: str, text: str) -> list[int | float]:
    numbers = [_value(part.strip()) for part in text.split(":")]
    if len(numbers) not in (2, 3) or not all(isinstance(n, (int, float)) for n in numbers):
        raise argparse.ArgumentTypeError(f"{name}: wants START:STOP or START:STOP:STEP in "
                                         f"numbers, not {text!r}")
    start, stop = numbers[0], numbers[1]
    step = numbers[2] if len(numbers) == 3 else 1
    assert isinstance(start, (int, float)) and isinstance(stop, (int, float))
    assert isinstance(step, (int, float))
    if step <= 0 or stop < start:
        raise argparse.ArgumentTypeError(f"{name}: wants START <= STOP and a positive STEP, "
                                         f"not {text!r}")
    count = int((stop - start) / step + 1e-9) + 1
    if count > 100_000:
        raise argparse.ArgumentTypeError(f"{name}: {count} values; a sweep wants fewer")
    # Each value computed from the start, so float steps do not drift.
    return [start + k * step for k in range(count)]


def _value(text: str) -> int | float | str:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m candlewright sweep",
        description="Run a strategy once for every combination of parameter values, on every "
                    "core of this machine or on a Dask cluster, and print the parameter sets "
                    "ranked by a figure, best first.")
    parser.add_argument("--param", metavar="NAME=V1,V2,...", type=parse_param, action="append",
                        required=True,
                        help="values of one keyword argument of the strategy: a list, a range "
                             "START:STOP:STEP (fast=5:30:5), or a JSON list; give one --param "
                             "per argument, and every combination runs")
    search = parser.add_argument_group("search")
    search.add_argument("--maximize", "--rank-by", dest="maximize", metavar="NAME",
                        type=_score_name, action=_Once,
                        help="the figure or metric (sqn, sharpe, ...) that ranks the sets, best "
                             "first: highest first, but lowest first for "
                             + ", ".join(sorted(LOWER_IS_BETTER)) + f" (default: {DEFAULT_RANK}"
                             "); the score that random and optuna search and --walk-forward, "
                             "which need it given, choose by. --rank-by is the same flag. "
                             "Figures: " + ", ".join(FIGURES) + "; metrics: "
                             + ", ".join(m for m in METRICS if m not in FIGURES))
    search.add_argument("--method", choices=METHODS, default="grid",
                        help="which sets run: every one (grid, the default), --max-tries drawn "
                             "at random, or --max-tries trials of Optuna (needs "
                             "candlewright[optuna] and --maximize)")
    search.add_argument("--max-tries", type=int, metavar="N", help="sets to run for random and "
                                                                    "optuna")
    search.add_argument("--seed", type=int, metavar="N",
                        help="seed of random and optuna search: the same sets every time")
    search.add_argument("--walk-forward", metavar="TRAIN:TEST",
                        help="walk forward instead: choose the set that --maximize scores best "
                             "on TRAIN bars (a count, or a time such as 180d), trade it on the "
                             "TEST bars after, and move on by TEST")
    add_input_arguments(parser, "strategy class, as module:Class or file.py:Class, made with "
                                "each parameter set as keyword arguments (default: %(default)s)")
    add_intrabar_arguments(parser)
    parser.add_argument("--workers", type=int, metavar="N",
                        help="processes to run on (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster whose scheduler is at this address, such "
                             "as tcp://10.0.0.5:8786 (needs candlewright[distributed]); the "
                             "strategy must be importable on its workers")
    output = parser.add_argument_group("output")
    output.add_argument("--reverse", action="store_true", help="rank worst first")
    output.add_argument("--top", type=int, metavar="N", help="show only the first N sets")
    output.add_argument("--json", action="store_true",
                        help="print the ranked sets as JSON: rank, params, the eleven figures "
                             "and error; infinities and NaN as strings")
    output.add_argument("--csv", metavar="FILE.csv",
                        help="also write every set to this CSV file: the parameters, the eleven "
                             "figures, the metrics, the score and the error")
    output.add_argument("--html", metavar="FILE.html",
                        help="also write a heatmap of the ranked figure over two parameters "
                             "and the best set's report, one HTML file (needs "
                             "candlewright[report])")
    output.add_argument("--axes", metavar="X,Y", type=lambda text: text.split(","),
                        help="the heatmap's two parameters (default: the two with the most "
                             "values)")
    output.add_argument("--traceback", action="store_true",
                        help="show the full traceback of an error")
    return parser


def ranked(results: list[SweepResult], figure: str | None, reverse: bool = False
           ) -> list[SweepResult]:
    """The sets that ran, best first by `figure` (by their score when None; NaN last), then
    those that failed, each group in grid order where it ties."""
    sign = 1 if figure in LOWER_IS_BETTER else -1
    if reverse:
        sign = -sign

    def key(result: SweepResult) -> tuple[bool, float]:
        assert result.figures is not None
        value = result.score if figure is None else result.figures[figure]
        value = math.nan if value is None else value
        return math.isnan(value), sign * value

    done = sorted((r for r in results if r.ok), key=key)
    return done + [r for r in results if not r.ok]


def table(results: list[SweepResult], ranking: str) -> str:
    """The sets as ranked: the ranking figure or metric first, then the main figures."""
    names = list(dict.fromkeys(name for r in results for name in r.params))
    metric = ranking not in FIGURES
    shown = ([] if metric else [ranking]) + [name for name in SHOWN if name != ranking]
    rows = [["rank", *names, *([ranking] if metric else []), *shown]]
    for rank, result in enumerate(r for r in results if r.figures is not None):
        assert result.figures is not None
        scored = [_number(value_of(result, ranking))] if metric else []
        rows.append([str(rank + 1), *(str(result.params.get(n, "")) for n in names), *scored,
                     *(_number(result.figures[n]) for n in shown)])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        lines.append("  ".join(cell.rjust(width) for cell, width in zip(row, widths)))
    return "\n".join(lines)


def value_of(result: SweepResult, name: str) -> float:
    """A set's figure or metric by name; NaN where it has none."""
    if result.figures is not None and name in result.figures:
        return result.figures[name]
    value = (result.metrics or {}).get(name)
    return math.nan if value is None else value


def _number(value: int | float) -> str:
    return str(value) if isinstance(value, int) else f"{value:,.2f}"


def _params(params: dict[str, Any]) -> str:
    return " ".join(f"{name}={value}" for name, value in params.items())


def _executor(args: argparse.Namespace) -> tuple[cf.Executor | None, Any]:
    if args.scheduler is None:
        return None, None
    if args.workers is not None:
        raise UserError("--workers sizes the local process pool; a cluster has its own workers")
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        raise UserError("--scheduler needs Dask's distributed: python -m pip install "
                        "'candlewright[distributed]'") from None
    try:
        client = distributed.Client(args.scheduler, timeout=30)
    except (OSError, TimeoutError, ValueError) as exc:
        raise UserError(f"cannot reach the scheduler {args.scheduler!r}: "
                        f"{_describe(exc)}") from exc
    executor: cf.Executor = client.get_executor()
    return executor, client


def run(args: argparse.Namespace) -> int:
    grid: dict[str, list[Any]] = {}
    for name, values in args.param:
        if name in grid:
            raise UserError(f"--param {name} is given twice")
        grid[name] = values
    if args.workers is not None and args.workers < 1:
        raise UserError("--workers wants at least 1")
    if not callable(load_object(args.strategy)):
        raise UserError(f"strategy {args.strategy!r} is not a class")
    if args.html:
        report_modules()
    axes = _axes(args, grid)
    bars, source = load_bars(args)
    # The account, its rules and the data inside the bars, as Backtest takes them.
    account = {**account_of(args), **options_of(args), **intrabar_of(args)}
    executor, client = _executor(args)
    search: dict[str, Any] = dict(executor=executor, max_workers=args.workers,
                                  maximize=score_of(args.maximize), method=args.method,
                                  max_tries=args.max_tries, random_state=args.seed)
    try:
        if args.walk_forward is not None:
            return _walk_forward(args, grid, bars, account, search)
        results = sweep(StrategyRef(args.strategy), grid, bars, **account, **search)
    except (TypeError, ValueError, ImportError) as exc:
        raise UserError(f"cannot run the sweep: {_describe(exc)}") from exc
    finally:
        if client is not None:
            client.close()
    if args.csv:
        _write_csv(args.csv, results)
    ranking = args.maximize or DEFAULT_RANK
    order = ranked(results, None if args.maximize else DEFAULT_RANK, args.reverse)
    shown = order if args.top is None else order[:max(args.top, 0)]
    if args.json:
        print(json.dumps([_entry(rank, r) for rank, r in enumerate(shown)], indent=2,
                         allow_nan=False))
    else:
        done = sum(r.ok for r in results)
        best = "worst first" if args.reverse else "best first"
        print(f"{len(results)} parameter sets of {args.strategy} on {source} "
              f"({len(bars):,} bars), ranked by {ranking}, {best}:\n")
        if done:
            print(table([r for r in shown if r.ok], ranking))
        failed = [r for r in results if not r.ok]
        if failed:
            print(f"\n{len(failed)} failed:")
            for result in failed:
                print(f"  {_params(result.params)}: {result.error}")
    if results and not any(r.ok for r in results):
        print("candlewright: error: every parameter set failed", file=sys.stderr)
        return 1
    if args.html:
        _heatmap(args, axes, order, bars, ranking, account)
    return 0


def _write_csv(path: str, results: SweepResults) -> None:
    names = list(dict.fromkeys(name for r in results for name in r.params))
    metrics = list(dict.fromkeys(k for r in results for k in (r.metrics or {}) if k not in FIGURES))
    try:
        with open(path, "w", newline="") as out:
            writer = csv.writer(out)
            writer.writerow([*names, *FIGURES, *metrics, "score", "error"])
            for r in results:
                figures = r.figures or {}
                writer.writerow([*(r.params.get(n, "") for n in names),
                                 *(figures.get(n, "") for n in FIGURES),
                                 *((r.metrics or {}).get(n, "") for n in metrics),
                                 "" if r.score is None else r.score,
                                 "" if r.error is None else str(r.error)])
    except OSError as exc:
        raise UserError(f"cannot write {path!r}: {_describe(exc)}") from exc


def _walk_forward(args: argparse.Namespace, grid: dict[str, list[Any]], bars: Sequence[Any],
                  account: dict[str, Any], search: dict[str, Any]) -> int:
    from .walk_forward import walk_forward

    train, colon, test = args.walk_forward.partition(":")
    if not colon or not args.maximize:
        raise UserError("--walk-forward wants TRAIN:TEST (bar counts or times such as 180d:60d)"
                        " and --maximize")
    spans = [int(v) if v.strip().isdigit() else v.strip() for v in (train, test)]
    wf = walk_forward(StrategyRef(args.strategy), grid, bars, train=spans[0], test=spans[1],
                      **account, **search)
    rows = [["window", "train", "test", *grid, args.maximize, "test final cash", "test trades"]]
    stamps = bars  # the bars' own times label the windows
    for k, w in enumerate(wf.windows):
        stats = None if w.out_of_sample is None else w.out_of_sample.stats
        rows.append([str(k + 1), _span(stamps, w.train), _span(stamps, w.test),
                     *(str((w.params or {}).get(n, "-")) for n in grid),
                     "-" if w.in_sample is None or not w.in_sample.ok
                     else _number(value_of(w.in_sample, args.maximize)),
                     "-" if stats is None else _number(stats.final_cash),
                     "-" if stats is None else str(stats.num_trades)])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    print(f"walk-forward of {args.strategy}, {len(wf.windows)} windows, chosen by "
          f"{args.maximize} on {train} and traded on the {test} after:\n")
    print("\n".join("  ".join(c.rjust(w) for c, w in zip(row, widths)) for row in rows))
    print(f"\nout of sample: final cash {wf.final_cash:,.2f}, total return "
          f"{wf.total_return_pct:.2f}%, {len(wf.trades)} trades")
    return 0


def _span(bars: Sequence[Any], span: tuple[int, int]) -> str:
    import datetime as dt

    def day(i: int) -> str:
        return dt.datetime.fromtimestamp(bars[i].timestamp, dt.timezone.utc).strftime("%Y-%m-%d")

    return f"{day(span[0])}..{day(span[1] - 1)}"


def _axes(args: argparse.Namespace, grid: dict[str, list[Any]]) -> tuple[str, str | None]:
    if args.axes is None:
        # The two with the most values, in the order given where they tie.
        names = sorted(grid, key=lambda name: -len(grid[name]))[:2]
    else:
        names = args.axes
        unknown = [name for name in names if name not in grid]
        if len(names) != 2 or unknown:
            raise UserError(f"--axes wants two of the --param names ({', '.join(grid)}), "
                            f"not {','.join(names)!r}")
    return names[0], names[1] if len(names) > 1 else None


def _heatmap(args: argparse.Namespace, axes: tuple[str, str | None],
             order: list[SweepResult], bars: Sequence[Any], ranking: str,
             account: dict[str, Any]) -> None:
    from .report import heatmap

    done = [r for r in order if r.ok]
    best = None
    if done:
        # The best set once more, now with its trades: the same run, so the same figures.
        best = Backtest(bars, **account).run(
            StrategyRef(args.strategy)(**done[0].params))
    rows = [(r.params, value_of(r, ranking)) for r in done]
    write_html(args.html, lambda: heatmap(
        rows, axes[0], axes[1], ranking, args.html,
        lower_is_better=(ranking in LOWER_IS_BETTER) != args.reverse, best=best,
        title=f"{ranking} of {args.strategy}"))


def _entry(rank: int, result: SweepResult) -> dict[str, Any]:
    return {
        "rank": rank + 1 if result.ok else None,
        "params": {name: json_safe(value) for name, value in result.params.items()},
        "figures": None if result.figures is None else {
            name: json_safe(value) for name, value in result.figures.items()},
        "error": None if result.error is None else {
            "type": result.error.type, "message": result.error.message},
    }
