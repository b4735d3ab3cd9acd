"""The arguments of `Portfolio.run_signals` made into what its native run reads: tables of a row
per step and a column per instrument in the portfolio's order, and per-instrument values."""
from __future__ import annotations

import importlib
import math
import numbers
from collections.abc import Mapping
from typing import Any

from .signals import numbers_of


def shape_error(name: str, shape: Any, steps: int, symbols: tuple[str, ...]) -> ValueError:
    return ValueError(f"{name} must have a row per step ({steps}) and a column per instrument "
                      f"({len(symbols)}: {', '.join(symbols)}), not shape {tuple(shape)}")


def by_symbol(values: Any, name: str, symbols: tuple[str, ...]) -> Any:
    """A table whose columns are named by symbol, in the portfolio's order; others as given."""
    columns = getattr(values, "columns", None)
    if columns is None or isinstance(values, (list, tuple)):
        return values
    names = list(columns)
    if not any(isinstance(c, str) and c in symbols for c in names):
        return values  # columns not named by symbol: in the portfolio's order
    unknown = [str(c) for c in names if c not in symbols]
    missing = [s for s in symbols if s not in names]
    if unknown or missing:
        raise ValueError(f"{name}: the columns must be the portfolio's symbols "
                         f"({', '.join(symbols)})"
                         + (f"; not {', '.join(unknown)}" if unknown else "")
                         + (f"; missing {', '.join(missing)}" if missing else ""))
    return values[list(symbols)]


def table(values: Any, name: str, steps: int, symbols: tuple[str, ...]) -> Any:
    """A buffer of shape (steps, instruments)."""
    if values is None:
        raise TypeError(f"{name} must be an array of signals, not None")
    buffer = numbers_of(by_symbol(values, name, symbols), name)
    view = memoryview(buffer)
    if view.format == "O":  # pandas' booleans with gaps: numbers, NaN where missing
        numpy: Any = importlib.import_module("numpy")
        buffer = numpy.asarray(buffer, dtype=float)
        view = memoryview(buffer)
    if view.ndim == 1 and len(symbols) == 1 and len(view) == steps:
        return buffer  # one instrument: a value per step is its column
    if view.ndim != 2 or view.shape != (steps, len(symbols)):
        raise shape_error(name, view.shape, steps, symbols)
    return buffer


def per_instrument(values: Any, name: str, steps: int, symbols: tuple[str, ...],
                   optional: bool) -> Any:
    """A number, a table, or a tuple of a value per instrument (None: no level)."""
    if values is None:
        if optional:
            return None
        raise TypeError(f"{name} must be a number or an array, not None")
    if isinstance(values, numbers.Real) and not isinstance(values, bool):
        return float(values)
    if not isinstance(values, Mapping) and hasattr(values, "to_dict") \
            and not hasattr(values, "columns") and getattr(values, "ndim", 0) == 1:
        keyed = values.to_dict()  # a pandas Series: by symbol if its index names them
        if keyed and all(isinstance(k, str) for k in keyed):
            values = keyed
    if isinstance(values, Mapping):
        unknown = [str(k) for k in values if k not in symbols]
        missing = [s for s in symbols if s not in values]
        if unknown or (missing and not optional):
            raise ValueError(f"{name}: a value for each of the portfolio's symbols "
                             f"({', '.join(symbols)})"
                             + (f"; not {', '.join(unknown)}" if unknown else "")
                             + (f"; missing {', '.join(missing)}" if missing else ""))
        return tuple(_value(values.get(s), name, optional) for s in symbols)
    if isinstance(values, (list, tuple)) and not any(isinstance(v, (list, tuple))
                                                     for v in values):
        values = [math.nan if v is None and optional else v for v in values]
    buffer = numbers_of(by_symbol(values, name, symbols), name)
    view = memoryview(buffer)
    if view.ndim == 1:
        if len(view) != len(symbols):
            raise ValueError(f"{name}: one value per instrument ({len(symbols)}: "
                             f"{', '.join(symbols)}), or a row per step and a column per "
                             f"instrument; not {len(view)} values")
        return tuple(_value(v, name, optional) for v in view.tolist())
    if view.ndim != 2 or view.shape != (steps, len(symbols)):
        raise shape_error(name, view.shape, steps, symbols)
    return buffer


def _value(value: Any, name: str, optional: bool) -> float | None:
    if value is None and optional:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must hold numbers, not {type(value).__name__}")
    number = float(value)
    return None if optional and math.isnan(number) else number
