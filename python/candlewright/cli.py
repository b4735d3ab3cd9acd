"""`python -m candlewright`: run a strategy over bars and print its report and main metrics."""
from __future__ import annotations

import argparse
import csv
import importlib
import importlib.util
import json
import os
import sys
import traceback
import warnings
from collections.abc import Sequence
from typing import Any

from _candlewright import Bar

from ._command import (
    UserError,
    _describe,
    account_of,
    add_input_arguments,
    add_intrabar_arguments,
    intrabar_of,
    load_bars,
    load_strategy,
    options_of,
    report_modules,
    write_html,
)
from .backtest import Backtest
from .result import TRADE_COLUMNS, Result

# Epoch seconds between 1970 and 2100 are drawn as dates; anything else by bar number.
_DATE_RANGE = range(0, 4_102_444_800)


def _figure_class() -> Any:
    # Imported by name: matplotlib is optional, so type checkers may not find it.
    try:
        return importlib.import_module("matplotlib.figure").Figure
    except ImportError:
        raise UserError("--plot needs matplotlib: python -m pip install 'candlewright[plot]'")


def _plot(path: str, bars: Sequence[Bar], equity: Sequence[float], title: str) -> None:
    figure = _figure_class()(figsize=(10, 4), layout="constrained")
    axes = figure.subplots()
    stamps = [bar.timestamp for bar in bars]
    if stamps and all(t in _DATE_RANGE for t in stamps):
        import datetime as dt
        x: list[Any] = [dt.datetime.fromtimestamp(t, dt.timezone.utc) for t in stamps]
    else:
        x = list(range(len(equity)))
        axes.set_xlabel("bar")
    axes.plot(x, equity, linewidth=0.8)
    axes.set_ylabel("equity")
    axes.set_title(title)
    axes.grid(alpha=0.3)
    try:
        figure.savefig(path, dpi=120)
    except (OSError, ValueError) as exc:
        raise UserError(f"cannot write plot {path!r}: {_describe(exc)}") from exc


def _write_trades(path: str, result: Result) -> None:
    columns = result.trade_rows()
    try:
        with open(path, "w", newline="", encoding="utf-8") as out:
            writer = csv.writer(out)
            writer.writerow(TRADE_COLUMNS)
            # The csv module writes floats with repr, so every value reads back exactly.
            writer.writerows(zip(*(columns[name] for name in TRADE_COLUMNS)))
    except (OSError, ValueError) as exc:
        raise UserError(f"cannot write trades {path!r}: {_describe(exc)}") from exc


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m candlewright",
        description="Run a strategy over price bars on a simulated lot-based account and print "
                    "its report. Without options: SmaCross on the bundled synthetic EURUSD-like "
                    "hourly sample.",
        epilog="Parameter sweeps over every core or a cluster: python -m candlewright sweep "
               "--help")
    add_input_arguments(parser, "strategy class, as module:Class or file.py:Class, made with "
                                "no arguments (default: %(default)s)")
    add_intrabar_arguments(parser)
    output = parser.add_argument_group("output")
    output.add_argument("--json", action="store_true",
                        help='print the eleven figures and, under "metrics", every metric as '
                             'JSON; infinities and NaN as the strings "Infinity", "-Infinity" '
                             'and "NaN"')
    output.add_argument("--trades", metavar="FILE.csv",
                        help="also write the closed trades to this CSV file, one row each")
    output.add_argument("--html", metavar="FILE.html",
                        help="also write the interactive report of the run, one HTML file that "
                             "works offline (needs candlewright[report])")
    output.add_argument("--plot", metavar="FILE.png",
                        help="also draw the equity curve to this image (needs matplotlib)")
    output.add_argument("--traceback", action="store_true",
                        help="show the full traceback of an error")
    return parser


def run(args: argparse.Namespace) -> int:
    strategy = load_strategy(args.strategy)
    if args.plot:
        _figure_class()  # fail before a long run, not after it
    if args.html:
        report_modules()
    bars, source = load_bars(args)
    inside = intrabar_of(args)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            backtest = Backtest(bars, **account_of(args), **options_of(args), **inside)
        except (TypeError, ValueError) as exc:
            raise UserError(str(exc)) from exc
    for warning in caught:  # the finer data not covering the bars, say
        print(f"candlewright: warning: {warning.message}", file=sys.stderr)
    try:
        # A bar on a terminal only: piped or logged, standard error stays free of redraws.
        result = backtest.run(strategy, progress=sys.stderr.isatty())
    except Exception as exc:
        raise UserError(f"strategy {args.strategy!r} failed: {_describe(exc)}") from exc
    if args.json:
        print(json.dumps(result.to_dict(), indent=2, allow_nan=False))
    else:
        print(result)
    # Written after the report, so a bad path does not cost the result of a long run.
    if args.trades:
        _write_trades(args.trades, result)
    if args.html:
        write_html(args.html, lambda: result.plot(args.html))
    if args.plot:
        _plot(args.plot, bars, list(result.equity), f"{type(strategy).__name__} on {source}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["sweep"]:
        from . import sweep_cli
        args = sweep_cli.build_parser().parse_args(argv[1:])
        command = sweep_cli.run
    else:
        args = build_parser().parse_args(argv)
        command = run
    try:
        return command(args)
    except UserError as exc:
        if args.traceback:
            traceback.print_exception(exc.__cause__ or exc)
        print(f"candlewright: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("candlewright: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader left (`| head`): what it read is all it wanted. Standard output goes to
        # nowhere so that flushing it at exit does not raise again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
