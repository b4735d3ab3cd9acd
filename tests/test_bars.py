"""Bars, as every loader returns them: a sequence of Bar over shared columns."""
import array
import collections.abc
import copy
import pickle

import pytest

from candlewright import Backtest, Bars, Engine, SmaCross, from_arrays, sample_bars

ACCOUNT = (10_000.0, 7.0, 0.0002, 100_000.0, 1.0)


def fields(bar):
    return (bar.timestamp, bar.open, bar.high, bar.low, bar.close, bar.volume)


@pytest.fixture(scope="module")
def bars():
    n = 50
    return from_arrays(array.array("q", range(0, 60 * n, 60)),
                       *(array.array("d", [1.0 + i / 1000 + k / 100 for i in range(n)])
                         for k in (0, 2, -2, 1)),
                       array.array("d", [float(i) for i in range(n)]),
                       spread=array.array("d", [i / 10 for i in range(n)]))


def test_a_sequence_of_bars_over_its_columns(bars):
    rows = [fields(b) for b in bars]
    assert isinstance(bars, collections.abc.Sequence) and len(bars) == len(rows) == 50
    assert fields(bars[-1]) == rows[-1] and fields(bars[3]) == rows[3]
    for key in (slice(None, None, -1), slice(5, 40, 3), slice(-3, None), slice(10, 5)):
        part = bars[key]
        assert [fields(b) for b in part] == rows[key]
        # Extra columns follow their rows.
        assert list(part.extras["spread"]) == list(bars.extras["spread"])[key]
    assert list(bars.close) == [r[4] for r in rows] == list(bars.column("close"))
    with pytest.raises(IndexError):
        bars[50]
    with pytest.raises(KeyError, match="no column 'nope'"):
        bars.column("nope")
    assert [fields(b) for b in Bars(list(bars))] == rows and Bars(bars).extras.keys() == {"spread"}


@pytest.mark.parametrize("copy_of", [lambda b: pickle.loads(pickle.dumps(b)), copy.deepcopy],
                         ids=["pickle", "deepcopy"])
def test_copies_keep_rows_and_extras(bars, copy_of):
    again = copy_of(bars)
    assert [fields(b) for b in again] == [fields(b) for b in bars]
    assert list(again.extras["spread"]) == list(bars.extras["spread"])


def test_engine_and_backtest_take_bars_as_they_take_a_list():
    bars = sample_bars()
    listed = list(bars)
    strategy = lambda: SmaCross(fast=10, slow=40)  # noqa: E731
    expected = repr(Engine(listed, *ACCOUNT).run(strategy()))
    assert repr(Engine(bars, *ACCOUNT).run(strategy())) == expected
    assert repr(Backtest(bars, *ACCOUNT, rules="engine").run(strategy()).stats) == expected
    backtest = Backtest(bars, *ACCOUNT)
    assert repr(backtest.run(strategy()).stats) == repr(
        Backtest(listed, *ACCOUNT).run(strategy()).stats)
    # The backtest shares the rows: its columns are the loaded ones, value for value.
    assert list(backtest.column("high")) == list(bars.high)


def test_extra_columns_must_match_the_rows():
    one = array.array("d", [1.0])
    with pytest.raises(ValueError, match="column 'spread' must be one-dimensional with 1 values"):
        Bars.from_columns(array.array("q", [1]), one, one, one, one, None,
                          {"spread": array.array("d", [1.0, 2.0])})
