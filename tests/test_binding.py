"""Argument binding, conversion and error messages, seen through Bar's constructor."""
import sys
from fractions import Fraction

import pytest

from _candlewright import Bar

from conftest import leak_check, requires_debug_build

ARGS = (1, 1.0, 2.0, 0.5, 1.5, 100.0)


def message(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, "Bar.__new__() missing 6 required positional arguments: 'timestamp', 'open', "
                 "'high', 'low', 'close', and 'volume'"),
        ((1, 2, 3, 4), {}, "Bar.__new__() missing 2 required positional arguments: 'close' and "
                           "'volume'"),
        ((1, 2, 3, 4, 5), {}, "Bar.__new__() missing 1 required positional argument: 'volume'"),
        ((1, 2), {"close": 1, "high": 2},
         "Bar.__new__() missing 2 required positional arguments: 'low' and 'volume'"),
        (ARGS + (7,), {}, "Bar.__new__() takes 6 positional arguments but 7 were given"),
        (ARGS + (7,), {"when": 1}, "Bar.__new__() takes 6 positional arguments but 7 were given"),
        ((1, 2, 3, 4, 5), {"when": 3}, "Bar.__new__() got an unexpected keyword argument 'when'"),
        ((1, 2, 3, 4, 5), {"timestamp": 3},
         "Bar.__new__() got multiple values for argument 'timestamp'"),
        # the first keyword in order decides
        ((1, 2, 3, 4, 5), {"timestamp": 3, "when": 1},
         "Bar.__new__() got multiple values for argument 'timestamp'"),
        ((1, 2, 3, 4, 5), {"when": 1, "timestamp": 3},
         "Bar.__new__() got an unexpected keyword argument 'when'"),
        ((1, 2, 3, 4, 5), {"volume\0": 3},
         "Bar.__new__() got an unexpected keyword argument 'volume\0'"),
        # a name that cannot be UTF-8 is shown with its unencodable code point replaced
        ((1, 2, 3, 4, 5), {"\ud800": 3},
         "Bar.__new__() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ],
    ids=["none", "two-missing", "one-missing", "keywords-then-missing", "too-many",
         "too-many-before-keywords", "unexpected", "twice", "twice-first", "unexpected-first",
         "nul-in-name", "surrogate"],
)
def test_binding_errors(args, kwargs, expected):
    assert message(lambda: Bar(*args, **kwargs)) == (TypeError, expected)


def test_unprintable_keyword_name():
    class Name(str):
        def __str__(self):
            raise ValueError("no text")

    seen = []
    old_hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        result = message(lambda: Bar(1, 2, 3, 4, 5, **{Name("when"): 1}))
    finally:
        sys.unraisablehook = old_hook
    assert result == (TypeError,
                      "Bar.__new__() got an unexpected keyword argument '<unprintable Name object>'")
    assert len(seen) == 1 and type(seen[0].exc_value) is ValueError


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 42


class FloatSub(float):
    def __float__(self):
        return 99.0


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (True, 1.0), (Floaty(2.5), 2.5), (Indexy(), 42.0), (FloatSub(1.25), 1.25),
     (Fraction(1, 4), 0.25), (2**70, float(2**70))],
    ids=["int", "bool", "__float__", "__index__", "float-subclass-value", "fraction", "big-int"],
)
def test_float_conversion_accepts(value, expected):
    assert Bar(0, value, 0, 0, 0, 0).open == expected


@pytest.mark.parametrize(
    "value, expected",
    [(7, 7), (Indexy(), 42), (True, 1)],
    ids=["int", "__index__", "bool"],
)
def test_integer_conversion_accepts(value, expected):
    assert Bar(value, 0, 0, 0, 0, 0).timestamp == expected


class RaisesFromFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class TypeErrorSub(TypeError):
    pass


@pytest.mark.parametrize(
    "position, value, expected",
    [
        (1, "1", (TypeError, "argument 'open': must be real number, not str")),
        (2, None, (TypeError, "argument 'high': must be real number, not NoneType")),
        (5, b"1", (TypeError, "argument 'volume': must be real number, not bytes")),
        (0, 1.5, (TypeError, "argument 'timestamp': 'float' object cannot be interpreted as an "
                             "integer")),
        (0, "1", (TypeError, "argument 'timestamp': 'str' object cannot be interpreted as an "
                             "integer")),
        (0, 2**63, (OverflowError, "Python int too large to convert to C long")),
        (0, -(2**63) - 1, (OverflowError, "Python int too large to convert to C long")),
        (1, 10**400, (OverflowError, "int too large to convert to float")),
        (3, RaisesFromFloat(ValueError("bad")), (ValueError, "bad")),
        (3, RaisesFromFloat(TypeErrorSub("sub")), (TypeErrorSub, "sub")),
        (3, RaisesFromFloat(TypeError("plain")), (TypeError, "argument 'low': plain")),
        (4, Floaty(1), (TypeError, "argument 'close': Floaty.__float__ returned non-float "
                                   "(type int)")),
    ],
    ids=["str", "none", "bytes", "float-for-int", "str-for-int", "int-too-big", "int-too-small",
         "huge-for-float", "raises-value-error", "raises-type-error-subclass", "raises-type-error",
         "returns-non-float"],
)
def test_conversion_errors(position, value, expected):
    args = list(ARGS)
    args[position] = value
    assert message(lambda: Bar(*args)) == expected


def test_first_failing_argument_is_reported():
    assert message(lambda: Bar("x", "y", 1, 1, 1, 1))[1].startswith("argument 'timestamp': ")
    assert message(lambda: Bar(1, 1, 1, 1, "y", "z"))[1].startswith("argument 'close': ")


def test_renamed_error_keeps_cause():
    cause = KeyError("inner")
    original = TypeError("outer")
    original.__cause__ = cause

    with pytest.raises(TypeError) as info:
        Bar(0, RaisesFromFloat(original), 0, 0, 0, 0)
    assert info.value is not original
    assert str(info.value) == "argument 'open': outer"
    assert info.value.__cause__ is cause

    with pytest.raises(TypeError) as info:
        Bar(0, RaisesFromFloat(TypeError("no cause")), 0, 0, 0, 0)
    assert info.value.__cause__ is None


def test_unprintable_error_text():
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no")

    seen = []
    old_hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        result = message(lambda: Bar(0, RaisesFromFloat(TypeError(Unprintable())), 0, 0, 0, 0))
    finally:
        sys.unraisablehook = old_hook
    assert result == (TypeError, "argument 'open': <unprintable TypeError object>")
    assert len(seen) == 1


def _bar_calls():
    Bar(*ARGS)
    Bar(timestamp=1, open=1, high=2, low=0, close=1, volume=0).close
    for bad in ((), ARGS + (1,), (1.5,) + ARGS[1:], (2**64,) + ARGS[1:], (0, "x", 0, 0, 0, 0)):
        try:
            Bar(*bad)
        except (TypeError, OverflowError):
            pass
    try:
        Bar(1, 2, 3, 4, 5, when=1)
    except TypeError:
        pass
    try:
        Bar(0, RaisesFromFloat(TypeError("x")), 0, 0, 0, 0)
    except TypeError:
        pass


@requires_debug_build
def test_no_reference_leaks():
    leak_check(_bar_calls)
