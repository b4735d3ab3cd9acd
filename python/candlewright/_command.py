"""What the command and its sweep share: the strategy, the data and the account from the command
line, and errors reported in one line."""
from __future__ import annotations

import argparse
import importlib
import importlib.util
import pathlib
import re
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import Any, cast

from _candlewright import Bar

from ._account import (COMMISSION, CONTRACT_SIZE, DEFAULTS, INITIAL_CASH, QUOTE_TO_ACCOUNT,
                       SPREAD)
from .bars import VALIDATE, read_csv, sample_bars
from .formats import FORMATS
from .strategies import AnyStrategy
from .ticks import read_ticks


class UserError(Exception):
    """A problem with what was asked for: reported in one line, without a traceback."""


def strategy_spec(spec: str) -> str:
    """--strategy's shape, checked as argparse checks a value: a usage error when wrong."""
    where, colon, name = spec.rpartition(":")
    if not colon or not where or not name:
        raise argparse.ArgumentTypeError(f"wants module:Class or file.py:Class, not {spec!r}")
    return spec


def load_object(spec: str) -> Any:
    """The object named by "module:Name" or "path/to/file.py:Name"; every failure a UserError
    that names the module or the file as given."""
    where, colon, name = spec.rpartition(":")
    if not colon or not where or not name:
        raise UserError(f"--strategy wants module:Class or file.py:Class, not {spec!r}")
    failed = f"cannot load strategy {spec!r}"
    if _is_file(where):
        module = _import_file(where, failed)
        owner = where
    else:
        module = _import_module(where, failed)
        owner = f"module {where!r}"
    found: Any = module
    parts = name.split(".")
    for depth, part in enumerate(parts):
        try:
            found = getattr(found, part)
        except AttributeError as exc:
            within = owner if depth == 0 else repr(f"{where}:{'.'.join(parts[:depth])}")
            raise UserError(f"{failed}: {within} has no {part!r}") from exc
        except Exception as exc:
            raise UserError(f"{failed}: {_describe(exc)}") from exc
    return found


def load_strategy(spec: str) -> AnyStrategy:
    """An instance of the class named by "module:Class" or "path/to/file.py:Class"."""
    found = load_object(spec)
    try:
        strategy = found()
    except Exception as exc:
        raise UserError(f"cannot load strategy {spec!r}: {_describe(exc)}") from exc
    if not callable(getattr(strategy, "next", None)):
        raise UserError(f"strategy {spec!r} has no next(bar, broker) method")
    return cast(AnyStrategy, strategy)


def _is_file(where: str) -> bool:
    return where.endswith(".py") or "/" in where or "\\" in where


def _import_module(where: str, failed: str) -> object:
    try:
        return importlib.import_module(where)
    except ModuleNotFoundError as exc:
        if exc.name == where or where.startswith(f"{exc.name}."):
            raise UserError(f"{failed}: no module named {where!r} (give a file as "
                            "path/to/file.py:Class)") from exc
        raise UserError(f"{failed}: {_describe(exc)}{_origin(exc, None)}") from exc
    except Exception as exc:
        raise UserError(f"{failed}: {_describe(exc)}{_origin(exc, None)}") from exc


def _import_file(where: str, failed: str) -> object:
    path = pathlib.Path(where)
    if not path.is_file():
        what = "a directory" if path.is_dir() else "no such file"
        raise UserError(f"{failed}: {where!r}: {what}")
    # A fixed private name, so a file called like a library module does not replace it.
    name = "_candlewright_strategy"
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise UserError(f"{failed}: {where!r} is not a Python file")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses and pickling look the module up by name
    try:
        spec.loader.exec_module(module)
    except SyntaxError as exc:
        sys.modules.pop(name, None)
        # The file's own line, as the user typed its path; the message without Python's
        # "(file, line)" suffix, which would name it a second time.
        raise UserError(f"{failed}: {where}, line {exc.lineno}: {type(exc).__name__}: "
                        f"{exc.msg}") from exc
    except Exception as exc:
        sys.modules.pop(name, None)
        raise UserError(f"{failed}: {_describe(exc)}{_origin(exc, path, where)}") from exc
    return module


def _origin(exc: BaseException, path: pathlib.Path | None, shown: str = "") -> str:
    """ (at FILE, line N): the deepest line of the traceback in the user's file, or in any
    file outside the interpreter's import machinery when no file is given."""
    import traceback
    frames = [f for f in traceback.extract_tb(exc.__traceback__)
              if not f.filename.startswith("<frozen")]
    if path is not None:
        target = str(path.resolve())
        frames = [f for f in frames if _same_file(f.filename, target)]
        return f" (at {shown}, line {frames[-1].lineno})" if frames else ""
    return f" (at {frames[-1].filename}, line {frames[-1].lineno})" if frames else ""


def _same_file(name: str, target: str) -> bool:
    try:
        return str(pathlib.Path(name).resolve()) == target
    except OSError:
        return False


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
    parser.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                        help="the character between fields, when it is not found: ',', ';', "
                             "'|', or tab (also written \\t)")
    parser.add_argument("--decimal", choices=(".", ","), default=".",
                        help="the numbers' decimal mark: ',' for files saved by European "
                             "spreadsheets, 1,0716 (default: %(default)s)")
    parser.add_argument("--date-format", metavar="PATTERN",
                        help="the times' pattern, when it is not recognised or dates could be "
                             "day/month or month/day: such as '%%d/%%m/%%Y %%H:%%M' (%%Y %%y %%m "
                             "%%d %%H %%M %%S %%f %%z)")
    parser.add_argument("--tz", metavar="ZONE",
                        help="the zone the file's times are in when they carry no offset, "
                             "such as Europe/Athens or +02:00 (default: UTC; HistData files: "
                             "EST all year, UTC-05:00; MT4 and MT5 exports are in the "
                             "broker's server time, read as UTC with a warning)")
    parser.add_argument("--validate", choices=VALIDATE, default="error",
                        help="what bad bars do (out of time order, a price outside low..high, "
                             "...): stop with an error, load them with a warning, or load "
                             "them unchecked (default: %(default)s)")
    parser.add_argument("--strategy", metavar="MODULE:CLASS", default="candlewright:SmaCross",
                        type=strategy_spec, help=strategy_help)
    account = parser.add_argument_group("account")
    account.add_argument("--initial-cash", type=float, default=INITIAL_CASH, metavar="X",
                         help="starting balance (default: %(default)s)")
    account.add_argument("--commission", type=float, default=COMMISSION, metavar="X",
                         help="commission per lot, charged at opening (default: %(default)s)")
    account.add_argument("--spread", type=_number_or_name, default=SPREAD, metavar="X|COLUMN",
                         help="the bid-ask spread in price units, or the file's column of it "
                              "per bar (default: %(default)s)")
    account.add_argument("--point", type=float, metavar="X",
                         help="the spread is in points of this size, e.g. 0.00001")
    account.add_argument("--contract-size", type=float, default=CONTRACT_SIZE, metavar="X",
                         help="units per lot (default: %(default)s)")
    account.add_argument("--quote-to-account", type=_number_or_name, default=QUOTE_TO_ACCOUNT,
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


def _delimiter(text: str) -> str:
    named = {"\\t": "\t", "tab": "\t", "TAB": "\t"}.get(text, text)
    if len(named) != 1 or named in "\r\n\"" or named.isalnum() or named == ".":
        raise argparse.ArgumentTypeError(f"wants one character such as ';' or tab, not {text!r}")
    return named


def _number_or_name(text: str) -> float | str:
    try:
        return float(text)
    except ValueError:
        return text


def account_of(args: argparse.Namespace) -> dict[str, Any]:
    """The account figures given on the command line, as Backtest's keywords."""
    return {name: getattr(args, name) for name in DEFAULTS}


_RULES = ("rules", "point", "prices", "spread_at", "gap_fills", "trail_from", "fill_bar_exits",
          "check_orders", "commission_at", "swap_long", "swap_short", "swap_unit", "rollover",
          "rollover_tz", "triple_swap", "leverage", "margin_per_lot", "stop_out")


def options_of(args: argparse.Namespace) -> dict[str, Any]:
    """The account rules given on the command line, as Backtest's keywords."""
    return {name: getattr(args, name) for name in _RULES}


def load_bars(args: argparse.Namespace) -> tuple[Sequence[Bar], str]:
    """The bars of --data, or the bundled sample, and where they came from. The loader's
    warnings are shown as the command's, one line each, naming flags where it names keywords."""
    if args.data is None:
        return sample_bars(), "the bundled sample"
    return _read_bars(args, args.data), args.data


def add_intrabar_arguments(parser: argparse.ArgumentParser) -> None:
    """--intrabar and --ticks: the finer data that decides what a bar's range leaves open."""
    inside = parser.add_argument_group(
        "inside the bars",
        "A bar cannot say whether its high or its low came first: where that decides a "
        "position's stop or target, a pending order's fill, a trailing stop or a stop-out, the "
        "bar rules take the outcome that does not favour the strategy. Finer data decides it "
        "instead, in time order; the strategy still runs on --data's bars.")
    finer = inside.add_mutually_exclusive_group()
    finer.add_argument("--intrabar", metavar="FILE",
                       help="finer bars under --data's (M1 under H1), read as --data is (the "
                            "same --format, --tz, ...), with their ask's columns if they have "
                            "them")
    finer.add_argument("--ticks", metavar="FILE",
                       help="ticks (a time, a bid and an ask per row: HistData, Dukascopy, "
                            "TrueFX or any with a header naming time, bid, ask) to decide on "
                            "instead of finer bars, their times in --tz too")


def intrabar_of(args: argparse.Namespace) -> dict[str, Any]:
    """The finer data given on the command line, as Backtest's keyword (none when not given)."""
    finer = load_intrabar(args)
    return {} if finer is None else {"intrabar": finer}


def load_intrabar(args: argparse.Namespace) -> Any:
    """The finer data inside the bars: the bars of --intrabar, read as --data's are (the same
    layout, zone and checks), or the ticks of --ticks, in --tz too; None when neither is
    given."""
    if args.intrabar is not None:
        return _read_bars(args, args.intrabar)
    if args.ticks is not None:
        return _loaded(args.ticks, lambda: read_ticks(args.ticks, tz=args.tz))
    return None


def _read_bars(args: argparse.Namespace, path: str) -> Any:
    return _loaded(path, lambda: read_csv(
        path, format=args.format, delimiter=args.delimiter, date_format=args.date_format,
        tz=args.tz, validate=args.validate, decimal=args.decimal))


def _loaded(path: str, read: Callable[[], Any]) -> Any:
    """What `read` returns, its failures a UserError and its warnings the command's."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return read()
        except OSError as exc:
            reason = f"[Errno {exc.errno}] {exc.strerror}" if exc.strerror else str(exc)
            raise UserError(f"cannot read {path!r}: {reason}") from exc
        except ValueError as exc:  # the message names the file, the line and the column
            raise UserError(as_flags(str(exc))) from exc
        finally:
            for warning in caught:
                print(f"candlewright: warning: {as_flags(str(warning.message))}",
                      file=sys.stderr)


# The loader's keywords in its messages ("give date_format", "format='mt4'", "tz='UTC'"), and
# the command's flags for them.
_KEYWORD = re.compile(r"\b(date_format|format|decimal|validate|tz)=('[^']*'|[\w/+-]*)"
                      r"|\bdate_format\b")


def as_flags(message: str) -> str:
    """A loader's message as the command says it: its keywords as the command's flags."""
    def flag(found: re.Match[str]) -> str:
        name, value = found.group(1) or "date_format", found.group(2) or ""
        shown = "--" + name.replace("_", "-")
        if value.startswith("'") and re.fullmatch(r"'[\w/+:.-]+'", value):
            value = value[1:-1]  # a value the shell takes as it is
        return f"{shown} {value}" if value else shown
    return _KEYWORD.sub(flag, message)
