"""candlewright.ta: indicator values against hand-worked ones, TA-Lib and pandas; warm-up, gaps,
argument checks and the column types accepted."""

import array
import math

import pytest

np = pytest.importorskip("numpy")
from numpy.lib.stride_tricks import sliding_window_view  # noqa: E402

import candlewright  # noqa: E402
from candlewright import ta  # noqa: E402
from conftest import leak_check, requires_debug_build  # noqa: E402

NAN = math.nan


def walk(size, base, step, seed=7):
    """High, low, close of a random walk: prices near `base` moving by about `step`."""
    rng = np.random.default_rng(seed)
    close = base + np.cumsum(rng.normal(0.0, step, size))
    high = close + np.abs(rng.normal(0.0, step, size))
    low = close - np.abs(rng.normal(0.0, step, size))
    return high, low, close


def same(ours, expected, rtol=1e-12, atol=0.0):
    np.testing.assert_allclose(np.asarray(ours), np.asarray(expected, dtype=float), rtol=rtol,
                               atol=atol, equal_nan=True)


# Small series worked by hand (or by a plain loop written here, independently of the module).
X = np.array([1.0, 2.0, 4.0, 3.0, 5.0, 4.0])


@pytest.mark.parametrize("function, n, expected", [
    (ta.sma, 3, [NAN, NAN, 7 / 3, 3.0, 4.0, 4.0]),
    (ta.ema, 3, [NAN, NAN, 7 / 3, (3 - 7 / 3) * 0.5 + 7 / 3, None, None]),
    (ta.wma, 3, [NAN, NAN, (1 + 4 + 12) / 6, (2 + 8 + 9) / 6, (4 + 6 + 15) / 6,
                 (3 + 10 + 12) / 6]),
    (ta.rolling_max, 2, [NAN, 2.0, 4.0, 4.0, 5.0, 5.0]),
    (ta.rolling_min, 2, [NAN, 1.0, 2.0, 3.0, 3.0, 4.0]),
    # gains 1, 2, 0, 2; losses 0, 0, 1, 0 over n=3: mean gain 1, loss 1/3 -> 75
    (ta.rsi, 3, [NAN, NAN, NAN, 75.0, 100 * ((2 + 2) / 3) / ((2 + 2) / 3 + (2 / 3) / 3),
                 None]),
], ids=["sma", "ema", "wma", "rolling_max", "rolling_min", "rsi"])
def test_window_by_hand(function, n, expected):
    result = function(X, n)
    assert result.dtype == np.float64 and result.shape == X.shape
    for got, want in zip(result, expected):
        if want is not None:
            same(got, want, rtol=1e-15)


def test_ema_recursion_by_hand():
    k = 2 / 4
    value = 7 / 3
    expected = [NAN, NAN, value]
    for x in X[3:]:
        value = (x - value) * k + value
        expected.append(value)
    same(ta.ema(X, 3), expected, rtol=0)


@pytest.mark.parametrize("ddof", [0, 1], ids=["population", "sample"])
def test_rolling_std_by_hand(ddof):
    expected = [NAN, NAN] + [np.std(X[i - 2:i + 1], ddof=ddof) for i in range(2, len(X))]
    same(ta.rolling_std(X, 3, ddof), expected, rtol=1e-14)


HIGH = np.array([10.0, 11.0, 12.0, 11.5, 13.0, 12.5])
LOW = np.array([9.0, 9.5, 10.5, 10.0, 11.0, 11.5])
CLOSE = np.array([9.5, 10.5, 11.5, 10.5, 12.5, 12.0])


def plain_true_range():
    return [NAN] + [max(HIGH[i] - LOW[i], abs(HIGH[i] - CLOSE[i - 1]), abs(LOW[i] - CLOSE[i - 1]))
                    for i in range(1, len(CLOSE))]


def test_true_range_and_atr_by_hand():
    tr = plain_true_range()
    same(ta.true_range(HIGH, LOW, CLOSE), tr, rtol=0)
    atr = [NAN, NAN, (tr[1] + tr[2]) / 2]
    for value in tr[3:]:
        atr.append((atr[-1] * 1 + value) / 2)
    same(ta.atr(HIGH, LOW, CLOSE, 2), atr, rtol=1e-15)


def test_cci_by_hand():
    typical = (HIGH + LOW + CLOSE) / 3
    expected = [NAN, NAN]
    for i in range(2, len(typical)):
        window = typical[i - 2:i + 1]
        mean = window.mean()
        expected.append((typical[i] - mean) / (0.015 * np.abs(window - mean).mean()))
    same(ta.cci(HIGH, LOW, CLOSE, 3), expected, rtol=1e-13)


def test_stochastic_and_donchian_by_hand():
    highest = [max(HIGH[i - 1:i + 1]) for i in range(1, 6)]
    lowest = [min(LOW[i - 1:i + 1]) for i in range(1, 6)]
    raw = [100 * (CLOSE[i + 1] - lo) / (hi - lo) for i, (hi, lo) in enumerate(zip(highest, lowest))]
    k = [NAN, NAN] + [(raw[i] + raw[i + 1]) / 2 for i in range(4)]
    d = [NAN, NAN, NAN] + [(k[i] + k[i + 1]) / 2 for i in range(2, 5)]
    result = ta.stochastic(HIGH, LOW, CLOSE, k=2, smooth_k=2, d=2)
    same(result.k, [NAN, NAN, NAN] + k[3:], rtol=1e-13)
    same(result.d, d, rtol=1e-13)
    channel = ta.donchian(HIGH, LOW, 2)
    same(channel.upper, [NAN] + highest, rtol=0)
    same(channel.lower, [NAN] + lowest, rtol=0)
    same(channel.middle, [NAN] + [(h + lo) / 2 for h, lo in zip(highest, lowest)], rtol=0)


def test_adx_of_a_steady_rise_is_100():
    # Every bar higher than the last: all movement is up, so DX and ADX are 100.
    up = np.arange(20.0)
    assert np.all(ta.adx(up + 1, up, up + 0.5, 3)[5:] == 100.0)


@pytest.mark.parametrize("function", [ta.rsi, lambda x, n: ta.stochastic(x, x, x, k=n).k],
                         ids=["rsi", "stochastic"])
def test_flat_series_reads_the_middle(function):
    assert np.all(function(np.full(30, 1.25), 5)[15:] == 50.0)


def test_named_results_unpack():
    close = walk(100, 100.0, 1.0)[2]
    line, signal, histogram = ta.macd(close, 3, 6, 4)
    result = ta.macd(close, 3, 6, 4)
    assert result.signal is not line and np.array_equal(result.macd, line, equal_nan=True)
    same(histogram[8:], line[8:] - signal[8:], rtol=0)
    assert ta.bollinger(close)._fields == ("upper", "middle", "lower")


# First non-NaN bar of each indicator: TA-Lib's lookback.
@pytest.mark.parametrize("call, first", [
    (lambda h, l, c: ta.sma(c, 10), 9),
    (lambda h, l, c: ta.ema(c, 10), 9),
    (lambda h, l, c: ta.wma(c, 10), 9),
    (lambda h, l, c: ta.rsi(c, 10), 10),
    (lambda h, l, c: ta.true_range(h, l, c), 1),
    (lambda h, l, c: ta.atr(h, l, c, 10), 10),
    (lambda h, l, c: ta.adx(h, l, c, 10), 19),
    (lambda h, l, c: ta.cci(h, l, c, 10), 9),
    (lambda h, l, c: ta.bollinger(c, 10).lower, 9),
    (lambda h, l, c: ta.macd(c, 12, 26, 9).macd, 33),
    (lambda h, l, c: ta.stochastic(h, l, c, 14, 3, 3).k, 17),
    (lambda h, l, c: ta.donchian(h, l, 10).middle, 9),
    (lambda h, l, c: ta.rolling_std(c, 10, 1), 9),
], ids=["sma", "ema", "wma", "rsi", "true_range", "atr", "adx", "cci", "bollinger", "macd",
        "stochastic", "donchian", "rolling_std"])
def test_warm_up(call, first):
    h, l, c = walk(60, 100.0, 1.0)
    result = call(h, l, c)
    assert np.isnan(result[:first]).all() and not np.isnan(result[first:]).any()
    short = call(h[:first], l[:first], c[:first])
    assert short.shape == (first,) and np.isnan(short).all()
    assert call(h[:0], l[:0], c[:0]).shape == (0,)


GAPPED = [
    ("sma", lambda h, l, c: ta.sma(c, 5)),
    ("ema", lambda h, l, c: ta.ema(c, 5)),
    ("rsi", lambda h, l, c: ta.rsi(c, 5)),
    ("atr", lambda h, l, c: ta.atr(h, l, c, 5)),
    ("adx", lambda h, l, c: ta.adx(h, l, c, 5)),
    ("cci", lambda h, l, c: ta.cci(h, l, c, 5)),
    ("macd", lambda h, l, c: ta.macd(c, 3, 5, 3).signal),
    ("stochastic", lambda h, l, c: ta.stochastic(h, l, c, 5, 3, 3).d),
    ("bollinger", lambda h, l, c: ta.bollinger(c, 5).upper),
    ("donchian", lambda h, l, c: ta.donchian(h, l, 5).lower),
    ("rolling_max", lambda h, l, c: ta.rolling_max(c, 5)),
    ("rolling_min", lambda h, l, c: ta.rolling_min(c, 5)),
    ("rolling_std", lambda h, l, c: ta.rolling_std(c, 5, 1)),
    ("wma", lambda h, l, c: ta.wma(c, 5)),
    ("true_range", lambda h, l, c: ta.true_range(h, l, c)),
]


@pytest.mark.parametrize("at", [0, 30, 79], ids=["first", "middle", "last"])
@pytest.mark.parametrize("gap", [NAN, -math.inf], ids=["nan", "inf"])
@pytest.mark.parametrize("call", [c for _, c in GAPPED], ids=[name for name, _ in GAPPED])
def test_a_gap_restarts_the_indicator(call, gap, at):
    h, l, c = walk(80, 100.0, 1.0)
    c, l = c.copy(), l.copy()
    c[at] = l[at] = gap
    result = call(h, l, c)
    # Before the gap: as if the series ended there; after it: as if it began after it.
    same(result[:at], call(h[:at], l[:at], c[:at]), rtol=0)
    assert np.isnan(result[at])
    same(result[at + 1:], call(h[at + 1:], l[at + 1:], c[at + 1:]), rtol=0)


@pytest.mark.parametrize("column, at", [("high", 0), ("low", 0), ("close", -1), ("close", 0)],
                         ids=["first_high", "first_low", "last_close", "first_close"])
@pytest.mark.parametrize("function", [ta.true_range, lambda h, l, c: ta.atr(h, l, c, 3)],
                         ids=["true_range", "atr"])
def test_a_gap_in_one_column_at_an_end(function, column, at):
    # A true range never reads the first high and low, nor the last close, as values.
    bars = dict(zip(("high", "low", "close"), walk(20, 100.0, 1.0)))
    bars[column] = bars[column].copy()
    bars[column][at] = NAN
    result = function(bars["high"], bars["low"], bars["close"])
    assert np.isnan(result[at])
    if at == 0:
        assert np.isnan(result[1])  # the series begins at bar 1: no close before it


@pytest.mark.parametrize("a, b, over, under", [
    ([1, 3, 1, 3], [2, 2, 2, 2], [0, 1, 0, 1], [0, 0, 1, 0]),
    ([1, 2, 3], [2, 2, 2], [0, 0, 0], [0, 0, 0]),  # touching is not crossing
    ([1, NAN, 3, 1], [2, 2, 2, 2], [0, 0, 0, 0], [0, 0, 0, 1]),  # NaN compares false
    ([1, 3], 2, [0, 1], [0, 0]),  # a number for b
    (2.0, [3, 1], [0, 1], [0, 0]),  # a number for a
], ids=["both", "touch", "nan", "number_b", "number_a"])
def test_crossings(a, b, over, under):
    a_ = a if isinstance(a, float) else np.array(a, dtype=float)
    b_ = b if isinstance(b, (int, float)) else np.array(b, dtype=float)
    assert ta.crossover(a_, b_).tolist() == [bool(v) for v in over]
    assert ta.crossunder(a_, b_).tolist() == [bool(v) for v in under]
    assert ta.crossover(a_, b_).dtype == np.bool_


# TA-Lib, on a wide walk (prices near 100, moves of 1) and on FX closes (1.1, moves of 2e-4).
SERIES = {"wide": walk(3000, 100.0, 1.0), "fx": walk(3000, 1.1, 2e-4)}


def talib_cases():
    return [
        ("sma", lambda t, h, l, c, n: (ta.sma(c, n), t.SMA(c, n))),
        ("ema", lambda t, h, l, c, n: (ta.ema(c, n), t.EMA(c, n))),
        ("wma", lambda t, h, l, c, n: (ta.wma(c, n), t.WMA(c, n))),
        ("rsi", lambda t, h, l, c, n: (ta.rsi(c, n), t.RSI(c, n))),
        ("max", lambda t, h, l, c, n: (ta.rolling_max(c, n), t.MAX(c, n))),
        ("min", lambda t, h, l, c, n: (ta.rolling_min(c, n), t.MIN(c, n))),
        ("true_range", lambda t, h, l, c, n: (ta.true_range(h, l, c), t.TRANGE(h, l, c))),
        ("atr", lambda t, h, l, c, n: (ta.atr(h, l, c, n), t.ATR(h, l, c, n))),
        ("adx", lambda t, h, l, c, n: (ta.adx(h, l, c, n), t.ADX(h, l, c, n))),
        ("cci", lambda t, h, l, c, n: (ta.cci(h, l, c, n), t.CCI(h, l, c, n))),
        ("bollinger", lambda t, h, l, c, n: (np.array(ta.bollinger(c, n, 2.5)),
                                             np.array(t.BBANDS(c, n, 2.5, 2.5)))),
        ("macd", lambda t, h, l, c, n: (np.array(ta.macd(c, n, 2 * n + 1, 5)),
                                        np.array(t.MACD(c, n, 2 * n + 1, 5)))),
        ("macd_swapped", lambda t, h, l, c, n: (np.array(ta.macd(c, 2 * n + 1, n, 5)),
                                                np.array(t.MACD(c, 2 * n + 1, n, 5)))),
        ("stochastic", lambda t, h, l, c, n: (np.array(ta.stochastic(h, l, c, n, 3, 4)),
                                              np.array(t.STOCH(h, l, c, n, 3, 0, 4, 0)))),
    ]


@pytest.mark.parametrize("n", [2, 14, 50])
@pytest.mark.parametrize("series", ["wide", "fx"])
@pytest.mark.parametrize("case", [c for _, c in talib_cases()], ids=[n for n, _ in talib_cases()])
def test_agrees_with_talib(case, series, n):
    talib = pytest.importorskip("talib")
    h, l, c = SERIES[series]
    ours, theirs = case(talib, h, l, c, n)
    assert np.array_equal(np.isnan(ours), np.isnan(theirs))
    # Relative to the values' scale: a MACD or CCI near zero keeps the absolute agreement.
    same(ours, theirs, rtol=1e-12, atol=1e-12 * np.nanmax(np.abs(theirs)))


@pytest.mark.parametrize("n", [20, 1000])
@pytest.mark.parametrize("name", ["SMA", "WMA", "EMA", "RSI"])
def test_a_million_fx_closes_agree_with_talib(name, n):
    talib = pytest.importorskip("talib")
    close = np.round(walk(1_000_000, 1.1, 2e-4, seed=5)[2], 5)
    ours = getattr(ta, name.lower())(close, n)
    same(ours, getattr(talib, name)(close, n), rtol=1e-12)


@pytest.mark.parametrize("n", [1, 3, 20])
@pytest.mark.parametrize("name", ["max", "min", "std0", "std1"])
def test_rolling_agrees_with_pandas(name, n):
    pd = pytest.importorskip("pandas")
    close = np.round(walk(2000, 100.0, 1.0)[2], 2)
    rolling = pd.Series(close).rolling(n)
    if name.startswith("std"):
        ddof = int(name[-1])
        if ddof >= n:
            pytest.skip("no deviation of one value with ddof=1")
        exact = sliding_window_view(close, n).std(axis=1, ddof=ddof)
        same(ta.rolling_std(close, n, ddof)[n - 1:], exact, rtol=1e-12, atol=1e-14)
        # pandas updates its variance in place as the window moves, and drifts by about 1e-9.
        same(ta.rolling_std(close, n, ddof), rolling.std(ddof=ddof), rtol=1e-8, atol=1e-10)
    else:
        function = ta.rolling_max if name == "max" else ta.rolling_min
        same(function(close, n), getattr(rolling, name)(), rtol=0)


def test_windows_of_one_value_have_no_deviation():
    close = np.array([1.1, 1.10002, 1.10002, 1.10002, 1.10002, 1.2, 1.2, 1.2])
    assert ta.rolling_std(close, 3).tolist()[3:5] == [0.0, 0.0]
    assert ta.rolling_std(close, 3).tolist()[-1] == 0.0


def test_donchian_agrees_with_pandas():
    pd = pytest.importorskip("pandas")
    h, l, _ = walk(500, 1.1, 2e-4)
    upper = pd.Series(h).rolling(20).max()
    lower = pd.Series(l).rolling(20).min()
    channel = ta.donchian(h, l)
    same(channel.upper, upper, rtol=0)
    same(channel.middle, (upper + lower) / 2, rtol=0)


@pytest.mark.parametrize("n", [20, 1000])
def test_long_series_do_not_drift(n):
    # Long FX closes: windows summed from scratch (pairwise) against the running sums.
    close = walk(200_000, 1.1, 2e-4)[2]
    windows = sliding_window_view(close, n)
    bound = 3 * max(n, 256) * 2.0**-53  # the documented bound, for positive prices
    same(ta.sma(close, n)[n - 1:], windows.sum(axis=1) / n, rtol=bound)
    exact_std = windows.std(axis=1)
    same(ta.rolling_std(close, n)[n - 1:], exact_std, rtol=1e-12)


@pytest.mark.parametrize("call", [
    lambda x: ta.sma(x, 7), lambda x: ta.rsi(x, 7), lambda x: ta.rolling_std(x, 7, 1),
    lambda x: ta.macd(x, 3, 7, 2).histogram, lambda x: ta.atr(x + 1, x - 1, x, 7),
], ids=["sma", "rsi", "rolling_std", "macd", "atr"])
@pytest.mark.parametrize("view", [
    lambda a: a[::2], lambda a: a[::-1], lambda a: a.astype(np.float32).astype(np.float64)[::3],
    lambda a: np.lib.stride_tricks.as_strided(a, (len(a) // 3,), (24,)),
], ids=["every_second", "reversed", "every_third", "as_strided"])
def test_strided_inputs_read_in_place(call, view):
    base = walk(301, 100.0, 1.0)[2]
    strided = view(base)
    same(call(strided), call(np.ascontiguousarray(strided)), rtol=0)


def test_bars_and_their_columns():
    h, l, c = walk(200, 1.1, 2e-4)
    bars = candlewright.from_arrays(np.arange(200) * 60_000_000_000, c, h, l, c)
    assert memoryview(bars.close).strides != (8,)  # a field of rows, read where it lies
    same(ta.atr(bars), ta.atr(h, l, c, 14), rtol=0)
    same(ta.atr(bars, 5), ta.atr(h, l, c, n=5), rtol=0)
    same(ta.sma(bars.close, 5), ta.sma(c, 5), rtol=0)
    same(np.array(ta.stochastic(bars, k=5)), np.array(ta.stochastic(h, l, c, k=5)), rtol=0)
    same(np.array(ta.donchian(bars, 5)), np.array(ta.donchian(h, l, 5)), rtol=0)


@pytest.mark.parametrize("kind", ["pandas", "polars", "pyarrow", "list", "int64"])
def test_column_types(kind):
    values = [1.0, 2.0, 4.0, 3.0, 5.0]
    if kind == "pandas":
        column = pytest.importorskip("pandas").Series(values, index=[5, 4, 3, 2, 1])
    elif kind == "polars":
        column = pytest.importorskip("polars").Series(values)
    elif kind == "pyarrow":
        pa = pytest.importorskip("pyarrow")
        column = pa.chunked_array([values[:2], values[2:]])
    elif kind == "int64":
        column = np.array(values, dtype=np.int64)
    else:
        column = values
    same(ta.sma(column, 2), [NAN, 1.5, 3.0, 3.5, 4.0], rtol=0)


@pytest.mark.parametrize("kind", ["pandas", "polars", "pyarrow"])
def test_missing_values_become_gaps(kind):
    if kind == "pandas":
        column = pytest.importorskip("pandas").array([1.0, None, 3.0, 4.0], dtype="Float64")
    elif kind == "polars":
        column = pytest.importorskip("polars").Series([1.0, None, 3.0, 4.0])
    else:
        column = pytest.importorskip("pyarrow").array([1, None, 3, 4])
    same(ta.sma(column, 2), [NAN, NAN, NAN, 3.5], rtol=0)


@pytest.mark.parametrize("kind", ["pandas", "polars", "mapping"])
def test_tables_of_bars(kind):
    h, l, c = walk(50, 100.0, 1.0)
    if kind == "pandas":
        table = pytest.importorskip("pandas").DataFrame({"High": h, "Low": l, "Close": c})
    elif kind == "polars":
        table = pytest.importorskip("polars").DataFrame({"high": h, "low": l, "close": c})
    else:
        table = {"high": h, "low": l, "close": c}
    same(ta.cci(table, 10), ta.cci(h, l, c, 10), rtol=0)


@pytest.mark.parametrize("call, error, words", [
    (lambda: ta.sma([1.0, 2.0], 0), ValueError, "n must be at least 1"),
    (lambda: ta.sma([1.0, 2.0], 2.5), TypeError, "whole number"),
    (lambda: ta.sma([1.0, 2.0], True), TypeError, "whole number"),
    (lambda: ta.sma([1.0, 2.0], "3"), TypeError, "whole number"),
    (lambda: ta.sma(np.ones((2, 2)), 2), ValueError, "one-dimensional"),
    (lambda: ta.sma(["a", "b"], 2), TypeError, "column of numbers"),
    (lambda: ta.rolling_std([1.0, 2.0], 2, 2), ValueError, "ddof must be less than n"),
    (lambda: ta.rolling_std([1.0, 2.0], 1, 1), ValueError, "ddof must be less than n"),
    (lambda: ta.atr([1.0, 2.0], [1.0], [1.0, 2.0]), ValueError, "one length"),
    (lambda: ta.atr([1.0, 2.0]), TypeError, "missing low, close"),
    (lambda: ta.atr({"high": [1.0], "low": [1.0]}), KeyError, "no column 'close'"),
    (lambda: ta.atr({"high": [1.0], "low": [1.0], "close": [1.0]}, 5, n=3), TypeError,
     "n given twice"),
    (lambda: ta.stochastic({"high": [1.0], "low": [1.0], "close": [1.0]}, 5), TypeError,
     "by keyword"),
    (lambda: ta.crossover([1.0, 2.0], [1.0]), ValueError, "one length"),
    (lambda: ta.crossover(1.0, 2.0), TypeError, "must be a column"),
    (lambda: ta.bollinger([1.0], 2, k=math.nan), TypeError, "finite number"),
    (lambda: ta.macd([1.0], 0), ValueError, "fast must be at least 1"),
], ids=["n_zero", "n_fraction", "n_bool", "n_str", "two_dims", "strings", "ddof_n",
        "ddof_one", "lengths", "missing", "no_close", "n_twice", "stochastic_positional",
        "cross_lengths", "cross_numbers", "k_nan", "macd_zero"])
def test_bad_arguments(call, error, words):
    with pytest.raises(error, match=words):
        call()


@pytest.mark.parametrize("call", [
    lambda c: ta.sma(c, 2**62), lambda c: ta.adx(c, c, c, 2**62),
    lambda c: ta.macd(c, 2**62, 2**62, 2**62).signal,
    lambda c: ta.stochastic(c, c, c, 2**62, 2**62, 2**62).d,
], ids=["sma", "adx", "macd", "stochastic"])
def test_periods_longer_than_anything_give_nan(call):
    assert np.isnan(call(np.linspace(1.0, 2.0, 50))).all()


def test_a_whole_float_counts():
    same(ta.sma(X, 3.0), ta.sma(X, 3), rtol=0)


@pytest.mark.parametrize("call", [
    lambda: candlewright._backtest._ta_sma(np.ones(3), 0, np.empty(3)),
    lambda: candlewright._backtest._ta_sma(np.ones(3), 2, np.empty(2)),
    lambda: candlewright._backtest._ta_sma(np.ones(3, dtype=np.float32), 2, np.empty(3)),
    lambda: candlewright._backtest._ta_sma(np.ones(3), 2, np.empty(3)[::2]),
    lambda: candlewright._backtest._ta_sma(np.ones(3), 2, np.broadcast_to(np.ones(1), (3,))),
    lambda: candlewright._backtest._ta_atr(np.ones(3), np.ones(2), np.ones(3), 2, np.empty(3)),
], ids=["n_zero", "short_out", "float32", "strided_out", "read_only", "lengths"])
def test_native_side_refuses_what_it_cannot_read(call):
    with pytest.raises((ValueError, TypeError)):
        call()


@requires_debug_build
def test_no_reference_leaks():
    # The binding alone, on array.array and memoryview buffers: numpy built for a release
    # interpreter does not keep the debug interpreter's reference total.
    native = candlewright._backtest
    values = array.array("d", walk(300, 100.0, 1.0)[2])
    every_second = memoryview(values)[::2]

    def out(size=300):
        return array.array("d", bytes(8 * size))

    def action():
        native._ta_sma(every_second, 5, out(150))
        native._ta_rsi(values, 14, out())
        native._ta_rolling_std(values, 5, 1, out())
        native._ta_atr(values, values, values, 14, out())
        native._ta_bollinger(values, 20, 2.0, 0, out(), out(), out())
        native._ta_macd(values, 12, 26, 9, out(), out(), out())
        native._ta_stochastic(values, values, values, 14, 3, 3, out(), out())
        native._ta_donchian(values, values, 20, out(), out(), out())
        native._ta_crossover(values, values, memoryview(bytearray(300)).cast("?"))
        for bad in (lambda: native._ta_sma(values, 0, out()),
                    lambda: native._ta_sma(values, 2, out(3)),
                    lambda: native._ta_sma(values, "x", out()),
                    lambda: native._ta_atr(values, every_second, values, 2, out()),
                    lambda: native._ta_sma(array.array("f", [1.0]), 1, out(1))):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    leak_check(action, repeat=20)
