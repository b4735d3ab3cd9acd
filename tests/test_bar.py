import math

import pytest

from _candlewright import Bar

FIELDS = ("timestamp", "open", "high", "low", "close", "volume")


def test_positional_and_keyword_construction_agree():
    by_position = Bar(1, 1.0, 2.0, 0.5, 1.5, 100.0)
    by_keyword = Bar(volume=100.0, close=1.5, low=0.5, high=2.0, open=1.0, timestamp=1)
    for bar in (by_position, by_keyword):
        assert [getattr(bar, f) for f in FIELDS] == [1, 1.0, 2.0, 0.5, 1.5, 100.0]
        assert type(bar.timestamp) is int
        assert all(type(getattr(bar, f)) is float for f in FIELDS[1:])


def test_class_facts():
    assert Bar.__text_signature__ == "(timestamp, open, high, low, close, volume)"
    for name in FIELDS:
        assert getattr(Bar, name).__doc__ == ""


@pytest.mark.parametrize(
    "timestamp", [0, -1, 2**63 - 1, -(2**63), True], ids=["zero", "minus-one", "max", "min", "bool"]
)
def test_timestamp_range(timestamp):
    assert Bar(timestamp, 0, 0, 0, 0, 0).timestamp == timestamp


@pytest.mark.parametrize(
    "values",
    [
        (1, 2, 0, 1, 0),  # integers become floats
        (1.0, 0.5, 2.0, 9.0, -1.0),  # high below low, close outside the range
        (math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308),
    ],
    ids=["ints", "inconsistent", "extremes"],
)
def test_prices_stored_unchanged(values):
    bar = Bar(0, *values)
    stored = [bar.open, bar.high, bar.low, bar.close, bar.volume]
    assert [math.copysign(1, v) for v in stored] == [math.copysign(1, v) for v in values]
    assert stored == [float(v) for v in values]


def test_nan_stored():
    assert math.isnan(Bar(0, math.nan, 1, 1, 1, 1).open)


@pytest.mark.parametrize("field", FIELDS)
def test_attributes_are_read_only(field):
    bar = Bar(7, 1.0, 2.0, 0.5, 1.5, 3.0)
    before = getattr(bar, field)
    with pytest.raises(AttributeError):
        setattr(bar, field, 2)
    with pytest.raises(AttributeError):
        delattr(bar, field)
    assert getattr(bar, field) == before


def test_identity_semantics():
    a, b = Bar(1, 1, 1, 1, 1, 1), Bar(1, 1, 1, 1, 1, 1)
    assert a != b and a == a
    assert hash(a) != hash(b)
    assert repr(a).startswith("<builtins.Bar object at ")


def test_getter_checks_receiver():
    with pytest.raises(TypeError):
        Bar.open.__get__(5)
