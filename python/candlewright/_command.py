"""What the command and its sweep share: the strategy, the data and the account from the command
line, and errors reported in one line."""
from __future__ import annotations

import argparse
import importlib
import importlib.util
import pathlib
import sys
from collections.abc import Sequence
from typing import Any, cast

from _candlewright import Bar

from .bars import read_csv, sample_bars
from .formats import FORMATS
from .strategies import Strategy


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
    parser.add_argument("--decimal", choices=(".", ","), default=".",
                        help="the numbers' decimal mark: ',' for files saved by European "
                             "spreadsheets, 1,0716 (default: %(default)s)")
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
                         help="the bid-ask spread in price units, or the file's column of it "
                              "per bar (default: %(default)s)")
    account.add_argument("--point", type=float, metavar="X",
                         help="the spread is in points of this size, e.g. 0.00001")
    account.add_argument("--contract-size", type=float, default=100_000.0, metavar="X",
                         help="units per lot (default: %(default)s)")
    account.add_argument("--quote-to-account", type=_number_or_name, default=1.0,
                         metavar="X|COLUMN|1/close",
                         help="quote to account currency factor, a column of it per bar, or "
                              "1/close (default: %(default)s)")
    rules = parser.add_argument_group("account rules (see the README's account model)")
    rules.add_argument("--rules", choices=("broker", "engine"), default="broker",
                       help="the rule set: a retail broker's fills and refusals, or the engine's "
                            "arithmetic as it is; the options below override it "
                            "(default: %(default)s)")
    for flag, choices, text in (
            ("--prices", ("bid", "ask", "mid"), "the side the bars' prices are (broker's spread "
                                                "model, paid once per round trip)"),
            ("--spread-at", ("both", "entry"), "the engine's spread model: paid at both ends, "
                                               "or at the entry only"),
            ("--gap-fills", ("level", "open"), "where a level the bar opens beyond fills"),
            ("--trail-from", ("close", "extremes"), "what a trailing stop follows")):
        rules.add_argument(flag, choices=choices, help=f"{text} (default: the rule set's)")
    for flag, text in (("--fill-bar-exits", "whether a pending order's position may close on its "
                                            "fill bar"),
                       ("--check-orders", "whether orders a broker refuses raise an error")):
        rules.add_argument(flag, action=argparse.BooleanOptionalAction,
                           help=f"{text} (default: the rule set's)")
    for flag, choices in (("--commission-at", ("open", "both")),
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


_RULES = ("rules", "point", "prices", "spread_at", "gap_fills", "trail_from", "fill_bar_exits",
          "check_orders", "commission_at", "swap_long", "swap_short", "swap_unit", "rollover",
          "rollover_tz", "triple_swap", "leverage", "margin_per_lot", "stop_out")


def options_of(args: argparse.Namespace) -> dict[str, Any]:
    """The account rules given on the command line, as Backtest's keywords."""
    return {name: getattr(args, name) for name in _RULES}


def load_bars(args: argparse.Namespace) -> tuple[Sequence[Bar], str]:
    """The bars of --data, or the bundled sample, and where they came from."""
    if args.data is None:
        return sample_bars(), "the bundled sample"
    try:
        return (read_csv(args.data, format=args.format, tz=args.tz, decimal=args.decimal),
                args.data)
    except OSError as exc:
        reason = f"[Errno {exc.errno}] {exc.strerror}" if exc.strerror else str(exc)
        raise UserError(f"cannot read {args.data!r}: {reason}") from exc
    except ValueError as exc:  # the message names the file, the line and the column
        raise UserError(str(exc)) from exc
