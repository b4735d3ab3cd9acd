"""One file per run: `Result.save(path)` and `load(path)`.

The file keeps the eleven figures, the trades, the equity curve, the metrics, the account's
figures and rules, the bars and their time unit; what is loaded reads as the result that was
saved (its metrics, summary, tables and report). The suffix chooses the format:

- ".parquet" (pyarrow, the `arrow` extra): one row per run, each column a list (the bars as
  `bars.open`, ..., the trades as `trades.pnl`, ..., and `equity`), the rest as JSON in the
  schema's key-value metadata under "candlewright";
- ".npz" (numpy): an array per column under the same names, the rest as JSON in "meta".

Floats are stored as their bits, so a round trip is exact (NaN, infinities and -0.0 included).
Neither format holds anything executable: a file is read without pickle, and a file that is not
one of these, or is cut short, is refused with a ValueError that names it.
"""
from __future__ import annotations

import importlib
import json
import os
import pathlib
from typing import Any

from _candlewright import Stats

from . import _backtest
from .result import FIGURES, Result, RunRecord

__all__ = ["load", "save"]

FORMAT = "candlewright.result"
VERSION = 1
KEY = b"candlewright"

BAR_COLUMNS = (("timestamp", "int64"), ("open", "float64"), ("high", "float64"),
               ("low", "float64"), ("close", "float64"), ("volume", "float64"))
TRADE_COLUMNS = (("ticket", "uint64"), ("is_long", "bool"), ("lot_size", "float64"),
                 ("entry_time", "int64"), ("exit_time", "int64"), ("entry_bar", "int64"),
                 ("exit_bar", "int64"), ("entry_price", "float64"), ("exit_price", "float64"),
                 ("stop_loss", "float64"), ("take_profit", "float64"), ("pnl", "float64"),
                 ("commission", "float64"), ("swap", "float64"), ("mae", "float64"),
                 ("mfe", "float64"))
# How a column's dtype is named to the native builders.
_CODES = {"float64": "d", "int64": "q", "uint64": "Q", "bool": "?"}
_SUFFIXES = (".parquet", ".npz")


def save(result: Result, path: str | os.PathLike[str]) -> str:
    """Writes `result` to `path` (see the module's documentation) and returns the path."""
    target = pathlib.Path(path)
    writer = _by_suffix(target, {".parquet": _write_parquet, ".npz": _write_npz})
    np = _numpy("saving a run")
    columns = _columns(result, np)
    meta = json.dumps(_meta(result), allow_nan=True)
    # Written beside and then moved over: a failed save leaves any earlier file as it was.
    partial = target.with_name(f".{target.name}.{os.getpid()}.partial")
    try:
        writer(partial, columns, meta, np)
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    return str(target)


def _by_suffix(path: pathlib.Path, handlers: dict[str, Any]) -> Any:
    """The handler of `path`'s format, named by its suffix."""
    handler = handlers.get(path.suffix.lower())
    if handler is None:
        raise ValueError(f"{path}: a saved run is a {' or '.join(_SUFFIXES)} file, not "
                         f"{path.suffix or 'a file without a suffix'!r}")
    return handler


def load(path: str | os.PathLike[str]) -> Result:
    """The `Result` that `Result.save` wrote to `path`."""
    source = pathlib.Path(path)
    reader = _by_suffix(source, {".parquet": _read_parquet, ".npz": _read_npz})
    np = _numpy("loading a run")
    if not source.is_file():
        raise FileNotFoundError(f"{source}: no such file")
    try:
        columns, text = reader(source, np)
        return _build(columns, json.loads(text), np)
    except ImportError:
        raise
    except Exception as exc:  # anything a foreign or damaged file can raise
        reason = " ".join(str(exc).split()) or type(exc).__name__
        raise ValueError(f"{source}: not a run saved by candlewright, or damaged: "
                         f"{reason}") from None


# --- what a file holds ---

_HOW = ("guessed", "resolved", "fell back")

def _meta(result: Result) -> dict[str, Any]:
    record = result._record()
    return {"format": FORMAT, "version": VERSION,
            "figures": result.figures(),
            "exposure_bars": result.exposure_bars, "orders_refused": result.orders_refused,
            "spread_paid": result._spread_paid(),
            "account": dict(zip(("initial_cash", "commission", "spread", "contract_size",
                                 "quote_to_account"), record.account)),
            "rules": record.rules, "time_unit": record.time_unit,
            "periods_per_year": record.periods_per_year,
            "metrics": {name: _plain(value) for name, value in result.metrics.items()},
            "orders_too_small": result.orders_too_small,
            "inside": list(result.__dict__.get("_inside", (0, None, None))),
            "ambiguous": [list(mark) for mark in getattr(result, "ambiguous", [])],
            # The strategy's declared indicators: their values are the columns "indicator.<k>".
            "indicators": [{"name": name, "overlay": spec.get("overlay"),
                            "color": spec.get("color")}
                           for name, spec in result.indicators.items()]}


def _plain(value: Any) -> Any:
    # The metrics are numbers, None or text; anything else is kept as its text.
    return value if value is None or isinstance(value, (bool, int, float, str)) else str(value)


def _columns(result: Result, np: Any) -> dict[str, Any]:
    """Every column as a numpy array: the bars' made contiguous (they are fields of rows),
    the equity viewed where it lies."""
    bars = result._record().bars
    columns = {f"bars.{name}": np.ascontiguousarray(bars.column(name))
               for name, _ in BAR_COLUMNS}
    columns["equity"] = np.asarray(result.equity)
    trades = result.trades
    for name, dtype in TRADE_COLUMNS:
        columns[f"trades.{name}"] = np.asarray(memoryview(getattr(trades, name)), dtype=dtype)
    columns["trades.exit_reason"] = np.asarray(trades.exit_reason, dtype=str)
    for k, spec in enumerate(result.indicators.values()):
        columns[f"indicator.{k}"] = np.asarray(spec["values"], dtype="float64")
    return columns


def _build(columns: dict[str, Any], meta: Any, np: Any) -> Result:
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise ValueError("no candlewright metadata")
    if meta.get("version") != VERSION:
        raise ValueError(f"saved in format version {meta.get('version')!r}; this version of "
                         f"the package reads version {VERSION}")
    bars_columns = [_column(columns, f"bars.{name}", dtype, np) for name, dtype in BAR_COLUMNS]
    n = len(bars_columns[0])
    equity = _column(columns, "equity", "float64", np)
    if any(len(c) != n for c in (*bars_columns, equity)):
        raise ValueError("the bars and the equity differ in length")
    trade_data = [_column(columns, f"trades.{name}", dtype, np) for name, dtype in TRADE_COLUMNS]
    reasons = columns.get("trades.exit_reason")
    if reasons is None:
        raise ValueError("no column 'trades.exit_reason'")
    reasons = [str(r) for r in reasons]
    rows = len(reasons)
    if any(len(c) != rows for c in trade_data):
        raise ValueError("the trade columns differ in length")
    for name in ("entry_bar", "exit_bar"):
        at = trade_data[[c for c, _ in TRADE_COLUMNS].index(name)]
        if rows and not (at.min() >= -1 and at.max() < n):
            raise ValueError(f"a trade's {name} is outside the bars")
    names = tuple(dict.fromkeys(reasons))
    codes = np.fromiter((names.index(r) for r in reasons), dtype=np.uint8, count=rows) \
        if len(names) <= 256 else None
    if codes is None:
        raise ValueError("too many exit reasons")
    trades = _backtest._trades(
        (*(name for name, _ in TRADE_COLUMNS), "exit_reason"),
        (*(np.ascontiguousarray(c) for c in trade_data), codes), names)
    stats = _stats(meta["figures"])
    times, opens, highs, lows, closes, volumes = bars_columns
    record = RunRecord(_backtest.Bars.from_columns(times, opens, highs, lows, closes, volumes,
                                                   None),
                       _account(meta["account"]), _mapping(meta["rules"], "rules"),
                       meta["time_unit"], _number(meta["periods_per_year"], "periods_per_year"))
    result = Result(stats, trades, _backtest._column("d", np.ascontiguousarray(equity)),
                    _count(meta["exposure_bars"], "exposure_bars"), record,
                    _count(meta["orders_refused"], "orders_refused"))
    paid = meta.get("spread_paid")
    result.__dict__["_paid"] = None if paid is None else _number(paid, "spread_paid")
    result.orders_too_small = _count(meta.get("orders_too_small", 0), "orders_too_small")
    inside = meta.get("inside", [0, None, None])
    marks = meta.get("ambiguous", [])
    if (not isinstance(inside, list) or len(inside) != 3 or not isinstance(marks, list)
            or any(not isinstance(m, list) or len(m) != 2 or m[1] not in _HOW for m in marks)):
        raise ValueError("'inside' or 'ambiguous' is not what a run counts of its bars")
    resolved, fell_back = (None if v is None else _count(v, "inside") for v in inside[1:])
    result._inside = (_count(inside[0], "ambiguous_bars"), resolved, fell_back)
    result.ambiguous = [(_count(bar, "an ambiguous bar"), how) for bar, how in marks]
    declared = meta.get("indicators", [])
    if not isinstance(declared, list):
        raise ValueError("'indicators' is not a list")
    for k, spec in enumerate(declared):
        spec = _mapping(spec, "an indicator")
        values = _column(columns, f"indicator.{k}", "float64", np)
        if len(values) != n or not isinstance(spec.get("name"), str):
            raise ValueError(f"indicator {k} is not one named value per bar")
        result.indicators[spec["name"]] = {"values": values, "overlay": spec.get("overlay"),
                                           "color": spec.get("color")}
    return result


def _column(columns: dict[str, Any], name: str, dtype: str, np: Any) -> Any:
    column = columns.get(name)
    if column is None:
        raise ValueError(f"no column {name!r}")
    if column.ndim != 1 or column.dtype != np.dtype(dtype):
        raise ValueError(f"column {name!r} is not one-dimensional {dtype}")
    return column


def _stats(figures: Any) -> Stats:
    if not isinstance(figures, dict) or set(figures) != set(FIGURES):
        raise ValueError("the figures are not the eleven a run gives")
    stats: Stats = _backtest._stats(*(figures[name] for name in FIGURES))
    return stats


def _account(account: Any) -> tuple[float, ...]:
    names = ("initial_cash", "commission", "spread", "contract_size", "quote_to_account")
    if not isinstance(account, dict) or set(account) != set(names):
        raise ValueError("the account's figures are not all there")
    return tuple(_number(account[name], name) for name in names)


def _mapping(value: Any, what: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise ValueError(f"{what} is not a mapping")
    return value


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{what} is not a number")
    return float(value)


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"{what} is not a count")
    return value


# --- the two formats ---

def _write_npz(target: pathlib.Path, columns: dict[str, Any], meta: str, np: Any) -> None:
    arrays = dict(columns, meta=np.frombuffer(meta.encode("utf-8"), dtype=np.uint8))
    # Through an open file: np.savez would add ".npz" to a name that has another case of it.
    with open(target, "wb") as file:
        np.savez(file, **arrays)


def _read_npz(source: pathlib.Path, np: Any) -> tuple[dict[str, Any], str]:
    with open(source, "rb") as file:
        # numpy takes any other file for a pickle, and says how to load it unsafely.
        if file.read(4) != b"PK\x03\x04":
            raise ValueError("not a zip archive of arrays")
        file.seek(0)
        with np.load(file, allow_pickle=False) as archive:
            columns = {name: archive[name] for name in archive.files}
    meta = columns.pop("meta", None)
    if meta is None or meta.dtype != np.uint8:
        raise ValueError("no candlewright metadata")
    return columns, meta.tobytes().decode("utf-8")


def _write_parquet(target: pathlib.Path, columns: dict[str, Any], meta: str, np: Any) -> None:
    pa, pq = _arrow("saving a run as Parquet")
    arrays, names = [], []
    for name, values in columns.items():
        # One row: the whole column as one list, its values as they are in memory.
        flat = pa.array(values)
        arrays.append(pa.ListArray.from_arrays(pa.array([0, len(flat)], pa.int32()), flat))
        names.append(name)
    table = pa.Table.from_arrays(arrays, names=names)
    table = table.replace_schema_metadata({KEY: meta.encode("utf-8")})
    # Plain encoding for the numbers: equity and prices rarely repeat, so a dictionary of them
    # only costs time; the exit reasons, a handful of names, take one.
    pq.write_table(table, target, use_dictionary=["trades.exit_reason"])


def _read_parquet(source: pathlib.Path, np: Any) -> tuple[dict[str, Any], str]:
    pa, pq = _arrow("loading a Parquet run")
    table = pq.read_table(source)
    meta = (table.schema.metadata or {}).get(KEY)
    if meta is None:
        raise ValueError("no candlewright metadata")
    if table.num_rows != 1:
        raise ValueError(f"{table.num_rows} rows, not one run")
    columns = {}
    for name in table.column_names:
        lists = table.column(name).combine_chunks()
        if not pa.types.is_list(lists.type) and not pa.types.is_large_list(lists.type):
            raise ValueError(f"column {name!r} is not a list")
        values = lists.flatten()
        if values.null_count:
            raise ValueError(f"column {name!r} has missing values")
        if pa.types.is_string(values.type) or pa.types.is_large_string(values.type):
            columns[name] = np.asarray(values.to_pylist(), dtype=str)
        else:
            columns[name] = values.to_numpy(zero_copy_only=False)
    return columns, meta.decode("utf-8")


def _numpy(what: str) -> Any:
    try:
        return importlib.import_module("numpy")
    except ImportError:
        raise ImportError(f"{what} needs numpy: python -m pip install numpy") from None


def _arrow(what: str) -> tuple[Any, Any]:
    try:
        return (importlib.import_module("pyarrow"), importlib.import_module("pyarrow.parquet"))
    except ImportError:
        raise ImportError(f"{what} needs pyarrow: "
                          "python -m pip install 'candlewright[arrow]'") from None

