"""`python -m candlewright`: run a strategy over bars and print its report and main metrics."""
from __future__ import annotations

import argparse
import csv
import importlib
import importlib.util
import json
import os
import pathlib
import sys
import traceback
from collections.abc import Sequence
from typing import Any, cast

from _candlewright import Bar

from ._progress import Progress
from .backtest import TRADE_COLUMNS, Backtest, Result, json_safe
from .bars import read_csv, sample_bars
from .formats import FORMATS
from .strategies import Strategy

# Epoch seconds between 1970 and 2100 are drawn as dates; anything else by bar number.
_DATE_RANGE = range(0, 4_102_444_800)


class UserError(Exception):
    """A problem with what was asked for: reported in one line, without a traceback."""


def load_object(spec: str) -> Any:
    """The object named by "module:Name" or "path/to/file.py:Name"."""
    where, colon, name = spec.rpartition(":")
    if not colon or not where or not name:
        raise UserError(f"--strategy wants module:Class or file.py:Class, not {spec!r}")
    try:
        if _is_file(where):
            module = _import_file(pathlib.Path(where))
        else:
            module = importlib.import_module(where)
        found: Any = module
        for part in name.split("."):
            found = getattr(found, part)
    except UserError:
        raise
    except Exception as exc:
        raise UserError(f"cannot load strategy {spec!r}: {_describe(exc)}") from exc
    return found


def load_strategy(spec: str) -> Strategy:
    """An instance of the class named by "module:Class" or "path/to/file.py:Class"."""
    found = load_object(spec)
    try:
        strategy = found()
    except Exception as exc:
        raise UserError(f"cannot load strategy {spec!r}: {_describe(exc)}") from exc
    if not callable(getattr(strategy, "next", None)):
        raise UserError(f"strategy {spec!r} has no next(bar, broker) method")
    return cast(Strategy, strategy)


def _is_file(where: str) -> bool:
    return where.endswith(".py") or "/" in where or "\\" in where


def _import_file(path: pathlib.Path) -> object:
    if not path.is_file():
        raise UserError(f"cannot load strategy: no file {str(path)!r}")
    # A fixed private name, so a file called like a library module does not replace it.
    name = "_candlewright_strategy"
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise UserError(f"cannot load strategy: {str(path)!r} is not a Python file")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses and pickling look the module up by name
    spec.loader.exec_module(module)
    return module


def _describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


class Tracked:
    """Forwards to a strategy and advances the progress bar after every bar."""

    def __init__(self, strategy: Any, progress: Progress) -> None:
        self.strategy, self.progress = strategy, progress

    def __getattr__(self, name: str) -> Any:
        # The strategy's own init, looked up as the run looks it up: a strategy without one
        # gets no list of every bar built for it.
        if name == "init":
            return self.strategy.init
        raise AttributeError(name)

    def next(self, bar: Bar, account: Any) -> None:
        self.strategy.next(bar, account)
        self.progress.step()


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


def report_modules() -> None:
    """Bokeh, or the error that says which extra brings it."""
    from . import report
    try:
        report._modules()
    except ImportError as exc:
        raise UserError(str(exc)) from exc


def write_html(path: str, write: Any) -> None:
    try:
        write()
    except (OSError, ValueError) as exc:
        raise UserError(f"cannot write report {path!r}: {_describe(exc)}") from exc


def add_input_arguments(parser: argparse.ArgumentParser, strategy_help: str) -> None:
    """--data, --strategy and the account: what a run and a sweep both need."""
    parser.add_argument("--data", metavar="FILE",
                        help="bars to run on: a CSV file (MT4, MT5, HistData, Dukascopy, "
                             "yfinance, pandas or any with a header naming time, open, high, "
                             "low, close), plain or compressed (default: the bundled sample)")
    parser.add_argument("--format", choices=list(FORMATS), metavar="NAME",
                        help="the file's layout, when it is not recognised: "
                             + ", ".join(FORMATS))
    parser.add_argument("--tz", metavar="ZONE",
                        help="the zone the file's times are in when they carry no offset, "
                             "such as Europe/Athens or +02:00 (default: UTC)")
    parser.add_argument("--strategy", metavar="MODULE:CLASS", default="candlewright:SmaCross",
                        help=strategy_help)
    account = parser.add_argument_group("account")
    account.add_argument("--initial-cash", type=float, default=10_000.0, metavar="X",
                         help="starting balance (default: %(default)s)")
    account.add_argument("--commission", type=float, default=7.0, metavar="X",
                         help="commission per lot, charged at opening (default: %(default)s)")
    account.add_argument("--spread", type=_number_or_name, default=0.0002, metavar="X|COLUMN",
                         help="price spread paid at entry and at exit, or the file's column "
                              "of it per bar (default: %(default)s)")
    account.add_argument("--point", type=float, metavar="X",
                         help="the spread is in points of this size, e.g. 0.00001")
    account.add_argument("--contract-size", type=float, default=100_000.0, metavar="X",
                         help="units per lot (default: %(default)s)")
    account.add_argument("--quote-to-account", type=_number_or_name, default=1.0,
                         metavar="X|COLUMN|1/close",
                         help="quote to account currency factor, a column of it per bar, or "
                              "1/close (default: %(default)s)")
    rules = parser.add_argument_group("account rules (see the README's account model)")
    for flag, choices in (("--spread-at", ("both", "entry")), ("--gap-fills", ("level", "open")),
                          ("--commission-at", ("open", "both")),
                          ("--swap-unit", ("account", "points"))):
        rules.add_argument(flag, choices=choices, default=choices[0],
                           help="(default: %(default)s)")
    for flag, default, text in (("--swap-long", 0.0, "swap per lot per night of a long"),
                                ("--swap-short", 0.0, "swap per lot per night of a short"),
                                ("--leverage", None, "keep margin at this leverage"),
                                ("--margin-per-lot", None, "keep this margin per lot"),
                                ("--stop-out", 50.0, "margin level (%%) that closes positions")):
        rules.add_argument(flag, type=float, default=default, metavar="X",
                           help=f"{text} (default: %(default)s)")
    rules.add_argument("--rollover", default="17:00", metavar="HH:MM",
                       help="the swaps' daily rollover (default: %(default)s)")
    rules.add_argument("--rollover-tz", default="America/New_York", metavar="ZONE",
                       help="its zone (default: %(default)s)")
    rules.add_argument("--triple-swap", default="wednesday", metavar="DAY",
                       help="the weekday whose rollover counts three nights "
                            "(default: %(default)s)")


def _number_or_name(text: str) -> float | str:
    try:
        return float(text)
    except ValueError:
        return text


def account_of(args: argparse.Namespace) -> tuple[float, float, Any, float, Any]:
    return (args.initial_cash, args.commission, args.spread, args.contract_size,
            args.quote_to_account)


_RULES = ("point", "spread_at", "gap_fills", "commission_at", "swap_long", "swap_short",
          "swap_unit", "rollover", "rollover_tz", "triple_swap", "leverage", "margin_per_lot",
          "stop_out")


def options_of(args: argparse.Namespace) -> dict[str, Any]:
    """The account rules given on the command line, as Backtest's keywords."""
    return {name: getattr(args, name) for name in _RULES}


def load_bars(args: argparse.Namespace) -> tuple[Sequence[Bar], str]:
    """The bars of --data, or the bundled sample, and where they came from."""
    if args.data is None:
        return sample_bars(), "the bundled sample"
    try:
        return read_csv(args.data, format=args.format, tz=args.tz), args.data
    except OSError as exc:
        reason = f"[Errno {exc.errno}] {exc.strerror}" if exc.strerror else str(exc)
        raise UserError(f"cannot read {args.data!r}: {reason}") from exc
    except ValueError as exc:  # the message names the file, the line and the column
        raise UserError(str(exc)) from exc


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
    try:
        backtest = Backtest(bars, *account_of(args), **options_of(args))
    except ValueError as exc:
        raise UserError(str(exc)) from exc
    progress = Progress(len(bars), sys.stderr) if bars and sys.stderr.isatty() else None
    try:
        result = backtest.run(strategy if progress is None else Tracked(strategy, progress))
    except Exception as exc:
        raise UserError(f"strategy {args.strategy!r} failed: {_describe(exc)}") from exc
    finally:
        if progress is not None:
            progress.close()
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
