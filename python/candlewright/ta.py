"""Technical indicators over whole series, computed natively without the interpreter lock.

Each function takes columns (numpy arrays, pandas or polars Series, pyarrow arrays, a column of
`Bars`, lists) and returns float64 numpy arrays of the same length, NaN while the indicator warms
up. float64 columns are read where they lie, at any stride (``bars.close``, ``arr[::2]``); other
types are converted once. The functions that need high, low and close also take one `Bars`,
DataFrame (pandas, polars), pyarrow Table or mapping with those columns (``high`` or ``High``)
as their first argument::

    ta.atr(bars)                  # n = 14
    ta.atr(bars, 20)              # one parameter may follow positionally
    ta.atr(high, low, close, n=20)
    ta.stochastic(bars, k=5)      # several parameters: by keyword

Results and warm-up follow TA-Lib's functions of the same name (SMA, EMA, WMA, RSI, TRANGE, ATR,
BBANDS, MACD, STOCH with SMA smoothing, ADX, CCI, MAX, MIN): the first value is at the same bar,
and values agree to about 1e-12 relative. ``rolling_max``, ``rolling_min`` and ``donchian`` equal
pandas' ``rolling(n).max()`` and ``.min()``; ``rolling_std`` is ``rolling(n).std(ddof=...)``
(more exact: see Variance below).

=================  ==========================  =============================================
function           first value at bar           formula
=================  ==========================  =============================================
sma, wma           n - 1                       mean; weights 1..n, newest heaviest
ema                n - 1                       seeded with the mean of the first n values,
                                               then ``(x - ema) * 2/(n+1) + ema``
rsi                n                           Wilder: mean gain and loss of the first n
                                               changes, then ``(avg*(n-1) + change)/n``
true_range         1                           ``max(h-l, |h-c[-1]|, |l-c[-1]|)``
atr                n                           mean of the first n true ranges, then Wilder's
adx                2n - 1                      Wilder's +DM, -DM, TR sums; DX averaged
cci                n - 1                       ``(tp - mean)/(0.015 * mean deviation)``,
                                               tp = (h+l+c)/3
bollinger          n - 1                       sma +- k * population std (``ddof=0``)
macd               slow + signal - 2           ema(fast) - ema(slow), both from bar slow-1;
                                               signal = its ema; histogram = macd - signal
stochastic         k + smooth_k + d - 3        raw %K over k bars, smoothed by an sma of
                                               smooth_k; %D an sma of d of that
donchian, rolling  n - 1                       highest high, lowest low, their midpoint
=================  ==========================  =============================================

Where this module parts from TA-Lib, and why:

* Missing values. A NaN or infinite value (in any of high, low, close) is a gap: the output is
  NaN there, and the indicator warms up again after it as if the series began at the next bar.
  For the windowed functions this is pandas' rule (a window holding a NaN gives NaN); the
  recursive ones (ema, rsi, atr, adx, macd) restart rather than carrying NaN to the end. In
  TA-Lib a NaN spoils every later value, even of SMA (its running sum carries it), and RSI turns
  into 0 from there on.
* Flat windows. An RSI with neither gains nor losses, and a stochastic whose window has no range,
  read 50 (the middle), where TA-Lib gives 0 (a false "oversold"). TA-Lib reads a CCI whose
  deviation from the mean is within rounding of zero as 0; here it keeps the rounding (about
  1e-10 on a scale of hundreds).
* Variance. Bollinger bands and ``rolling_std`` sum deviations from the window's mean, taken
  afresh every n bars, rather than squares of prices, which on FX closes (~1.1, moves of 1e-4)
  cancel to a few digits; a window of equal values has a deviation of exactly 0, as in pandas.
  pandas updates its variance in place as the window moves and drifts by about 1e-9 relative on
  such closes, so ``rolling_std`` agrees with it only that far (and with an exact two-pass
  computation to about 1e-13).

Accuracy: running sums (sma, wma, bollinger, stochastic) are summed afresh every max(n, 256)
bars (every n bars for deviations), so rounding cannot build up over a long series: a value's
error is below ``3 * max(n, 256) * 2**-53`` times the mean of ``|x|`` over its window (3.3e-13
relative for n = 1000 on positive prices), and in practice near ``sqrt(n) * 2**-53``.

``crossover(a, b)`` is True at bar i when ``a[i-1] < b[i-1]`` and ``a[i] > b[i]``;
``crossunder`` the mirror; either side may be a number, and NaN compares False.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np

from candlewright import _backtest as _native

__all__ = [
    "MACD", "Bands", "Stochastic", "adx", "atr", "bollinger", "cci", "crossover", "crossunder",
    "donchian", "ema", "macd", "rolling_max", "rolling_min", "rolling_std", "rsi", "sma",
    "stochastic", "true_range", "wma",
]


class Bands(NamedTuple):
    """Bollinger bands or a Donchian channel."""

    upper: np.ndarray
    middle: np.ndarray
    lower: np.ndarray


class MACD(NamedTuple):
    macd: np.ndarray
    signal: np.ndarray
    histogram: np.ndarray


class Stochastic(NamedTuple):
    k: np.ndarray
    d: np.ndarray


def _values(x: Any, name: str) -> np.ndarray:
    """A one-dimensional float64 array of x, a view where x already holds float64."""
    module = type(x).__module__.partition(".")[0]
    try:
        if module == "pandas":
            x = x.to_numpy(dtype=np.float64, na_value=np.nan)
        elif module in ("polars", "pyarrow"):
            x = x.to_numpy() if module == "polars" else x.to_numpy(zero_copy_only=False)
        values = np.asarray(x, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be a column of numbers, not {type(x).__name__}") from exc
    if values.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not of shape {values.shape}")
    return values


def _count(value: Any, name: str, least: int = 1) -> int:
    """A whole number of bars: an int, or a float with no fraction (as sweeps make them)."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    if isinstance(value, float | np.floating) and float(value).is_integer():
        value = int(value)
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, not {value!r}") from None
    if number < least:
        raise ValueError(f"{name} must be at least {least}, not {number}")
    return number


def _same_length(columns: dict[str, np.ndarray]) -> None:
    lengths = {len(values) for values in columns.values()}
    if len(lengths) > 1:
        sizes = ", ".join(f"{name} {len(values)}" for name, values in columns.items())
        raise ValueError(f"columns must have one length, not {sizes}")


def _is_table(x: Any) -> bool:
    return isinstance(x, _native.Bars | Mapping) or hasattr(x, "columns") or hasattr(
        x, "column_names")


def _table_column(table: Any, wanted: str) -> Any:
    if isinstance(table, _native.Bars):
        return getattr(table, wanted)
    names = table.column_names if hasattr(table, "column_names") else (
        table.keys() if isinstance(table, Mapping) else table.columns)
    for key in names:
        if isinstance(key, str) and key.lower() == wanted:
            return table[key]
    raise KeyError(f"no column {wanted!r} (nor {wanted.capitalize()!r}) among {list(names)!r}")


def _bars(high: Any, low: Any, close: Any | None, needs: tuple[str, ...],
          function: str) -> tuple[list[np.ndarray], Any]:
    """The columns of `needs` (from a table in `high`, or given one by one), and a number that
    came in `low`'s place after a table (None if none did)."""
    shifted = None
    if _is_table(high):
        if low is not None:
            if not isinstance(low, int | float | np.number) or close is not None:
                raise TypeError(f"{function}() takes a table of bars alone, or "
                                f"{', '.join(needs)} as columns")
            shifted = low
        columns = {name: _values(_table_column(high, name), name) for name in needs}
    else:
        given = dict(zip(needs, (high, low, close)))
        missing = [name for name, value in given.items() if value is None]
        if missing:
            raise TypeError(f"{function}() needs {', '.join(needs)} (or one table of bars); "
                            f"missing {', '.join(missing)}")
        columns = {name: _values(value, name) for name, value in given.items()}
    _same_length(columns)
    return list(columns.values()), shifted


def _one_parameter(shifted: Any, value: Any, default: int, name: str) -> Any:
    if shifted is None:
        return value
    if value != default:
        raise TypeError(f"{name} given twice")
    return shifted


def _window(kernel: Any, x: Any, n: Any) -> np.ndarray:
    values = _values(x, "x")
    out = np.empty(len(values))
    kernel(values, _count(n, "n"), out)
    return out


def sma(x: Any, n: int) -> np.ndarray:
    """Simple moving average of the last n values."""
    return _window(_native._ta_sma, x, n)


def ema(x: Any, n: int) -> np.ndarray:
    """Exponential moving average (alpha = 2/(n+1)), seeded with the mean of the first n."""
    return _window(_native._ta_ema, x, n)


def wma(x: Any, n: int) -> np.ndarray:
    """Linearly weighted moving average: weights 1 to n, the newest value heaviest."""
    return _window(_native._ta_wma, x, n)


def rsi(x: Any, n: int = 14) -> np.ndarray:
    """Wilder's relative strength index, 0 to 100."""
    return _window(_native._ta_rsi, x, n)


def rolling_max(x: Any, n: int) -> np.ndarray:
    """Highest of the last n values."""
    return _window(_native._ta_rolling_max, x, n)


def rolling_min(x: Any, n: int) -> np.ndarray:
    """Lowest of the last n values."""
    return _window(_native._ta_rolling_min, x, n)


def rolling_std(x: Any, n: int, ddof: int = 0) -> np.ndarray:
    """Standard deviation of the last n values, divided by n - ddof (pandas' default is 1)."""
    values = _values(x, "x")
    n = _count(n, "n")
    ddof = _count(ddof, "ddof", least=0)
    if ddof >= n:
        raise ValueError(f"ddof must be less than n ({n}), not {ddof}")
    out = np.empty(len(values))
    _native._ta_rolling_std(values, n, ddof, out)
    return out


def true_range(high: Any, low: Any = None, close: Any = None) -> np.ndarray:
    """Each bar's range, stretched to the previous close: NaN at the first bar."""
    (h, l, c), shifted = _bars(high, low, close, ("high", "low", "close"), "true_range")
    if shifted is not None:
        raise TypeError("true_range() takes no parameter")
    out = np.empty(len(c))
    _native._ta_true_range(h, l, c, out)
    return out


def _bars_window(kernel: Any, function: str, high: Any, low: Any, close: Any, n: Any,
                 default: int) -> np.ndarray:
    (h, l, c), shifted = _bars(high, low, close, ("high", "low", "close"), function)
    n = _count(_one_parameter(shifted, n, default, "n"), "n")
    out = np.empty(len(c))
    kernel(h, l, c, n, out)
    return out


def atr(high: Any, low: Any = None, close: Any = None, n: int = 14) -> np.ndarray:
    """Wilder's average true range."""
    return _bars_window(_native._ta_atr, "atr", high, low, close, n, 14)


def adx(high: Any, low: Any = None, close: Any = None, n: int = 14) -> np.ndarray:
    """Wilder's average directional index, 0 to 100."""
    return _bars_window(_native._ta_adx, "adx", high, low, close, n, 14)


def cci(high: Any, low: Any = None, close: Any = None, n: int = 20) -> np.ndarray:
    """Commodity channel index of the typical price (high + low + close) / 3."""
    return _bars_window(_native._ta_cci, "cci", high, low, close, n, 20)


def bollinger(x: Any, n: int = 20, k: float = 2.0, ddof: int = 0) -> Bands:
    """Bollinger bands: the sma of n values, and k standard deviations either side of it."""
    values = _values(x, "x")
    n = _count(n, "n")
    ddof = _count(ddof, "ddof", least=0)
    if ddof >= n:
        raise ValueError(f"ddof must be less than n ({n}), not {ddof}")
    if isinstance(k, bool) or not isinstance(k, int | float | np.number) or not math.isfinite(k):
        raise TypeError(f"k must be a finite number, not {k!r}")
    outs = [np.empty(len(values)) for _ in range(3)]
    _native._ta_bollinger(values, n, float(k), ddof, *outs)
    return Bands(*outs)


def macd(x: Any, fast: int = 12, slow: int = 26, signal: int = 9) -> MACD:
    """The fast ema less the slow one, its ema over `signal` values, and their difference. All
    three start where the signal does, as in TA-Lib; fast and slow are swapped if given the
    other way round."""
    values = _values(x, "x")
    periods = (_count(fast, "fast"), _count(slow, "slow"), _count(signal, "signal"))
    outs = [np.empty(len(values)) for _ in range(3)]
    _native._ta_macd(values, *periods, *outs)
    return MACD(*outs)


def stochastic(high: Any, low: Any = None, close: Any = None, k: int = 14, smooth_k: int = 3,
               d: int = 3) -> Stochastic:
    """Slow stochastic: %K where the close lies in the range of the last k bars (0 to 100),
    averaged over smooth_k bars, and %D its average over d bars."""
    (h, l, c), shifted = _bars(high, low, close, ("high", "low", "close"), "stochastic")
    if shifted is not None:
        raise TypeError("with a table of bars, give stochastic()'s k, smooth_k and d by keyword")
    periods = (_count(k, "k"), _count(smooth_k, "smooth_k"), _count(d, "d"))
    outs = [np.empty(len(c)) for _ in range(2)]
    _native._ta_stochastic(h, l, c, *periods, *outs)
    return Stochastic(*outs)


def donchian(high: Any, low: Any = None, n: int = 20) -> Bands:
    """Donchian channel: the highest high and lowest low of the last n bars, and their middle."""
    (h, l), shifted = _bars(high, low, None, ("high", "low"), "donchian")
    n = _count(_one_parameter(shifted, n, 20, "n"), "n")
    outs = [np.empty(len(h)) for _ in range(3)]
    _native._ta_donchian(h, l, n, *outs)
    return Bands(*outs)


def _cross(kernel: Any, a: Any, b: Any) -> np.ndarray:
    scalar_a = isinstance(a, int | float | np.number)
    scalar_b = isinstance(b, int | float | np.number)
    if scalar_a and scalar_b:
        raise TypeError("at least one of a and b must be a column")
    left = None if scalar_a else _values(a, "a")
    right = None if scalar_b else _values(b, "b")
    if left is None:
        assert right is not None
        left = np.broadcast_to(np.float64(a), right.shape)
    if right is None:
        right = np.broadcast_to(np.float64(b), left.shape)
    _same_length({"a": left, "b": right})
    out = np.empty(len(left), dtype=np.bool_)
    kernel(left, right, out)
    return out


def crossover(a: Any, b: Any) -> np.ndarray:
    """True at each bar where a has just crossed above b (b may be a number)."""
    return _cross(_native._ta_crossover, a, b)


def crossunder(a: Any, b: Any) -> np.ndarray:
    """True at each bar where a has just crossed below b (b may be a number)."""
    return _cross(_native._ta_crossunder, a, b)
