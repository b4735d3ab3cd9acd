import contextlib
import math
import sys

import pytest
from hypothesis import given, settings, strategies as st

from _candlewright import Broker
from account_model import Account, same

PRICES = (-0.0, 1.0999, 1.1003, 7.5)
P = pytest.param


def open_broker():
    broker = Broker(10000.0, 7.0, 0.0002, 100000.0, 1.0)
    broker.buy(1.1, 2.0, 5, 1.0, 1.2)
    broker.sell(1.1, 1.0, 6, None, None)
    return broker


def snapshot(broker):
    return [broker.equity(price) for price in PRICES]


# --- construction and opening -----------------------------------------------------------------

@pytest.mark.parametrize("params", [(10000, 2, 0.0001, 100000, 1), (10000, -1, math.nan, 0, 1)],
                         ids=["ordinary", "odd-parameters-accepted"])
def test_new_broker_is_worth_its_cash_at_any_price(params):
    broker = Broker(*params)
    assert all(broker.equity(price) == 10000.0 for price in (*PRICES, math.nan, math.inf))


def test_opening_charges_commission_and_the_full_spread():
    broker = Broker(10000, 7, 0.0002, 100000, 1)
    broker.buy(1.1, 2, 5, None, None)
    assert broker.equity(1.1 + 0.0002) == 9986.0
    assert broker.equity(1.1) == pytest.approx(9946.0)


def test_ids_are_the_list_length_and_a_repeated_id_closes_the_older():
    broker = Broker(0.0, 0.0, 0.0, 1.0, 1.0)
    for lot in (1, 2, 3):
        broker.buy(1.0, lot, 0, None, None)
    broker.close_position(0, 1.0, 0)
    broker.buy(1.0, 4, 0, None, None)  # open lots 2, 3, 4 carry ids 1, 2, 2
    broker.close_position(2, 1.0, 0)
    assert broker.equity(2.0) - broker.equity(1.0) == 6.0  # lots 2 and 4 remain


# --- closing ----------------------------------------------------------------------------------

@pytest.mark.parametrize("factor, commission, calls, result", [
    (1, 0, [("buy", 1.1, 1, 1, None, None), ("close_position", 0, 1.101, 2)], 60),
    (1, 0, [("sell", 1.1, 1, 1, None, None), ("close_position", 0, 1.099, 2)], 60),
    (1, 0, [("buy", 1.1, 1, 1, None, None), ("close_all", 1.1, 2)], -40),
    (0.5, 0, [("buy", 1.1, 1, 1, None, None), ("close_position", 0, 1.101, 2)], 30),
    (1, 3, [("sell", 1.1, 1, 1, None, None), ("close_position", 0, 1.099, 2)], 57),
    (1, 0, [("buy", 1.1, 1, 1, None, None), ("close_position", 7, 1.0, 0)], -20),  # still open
], ids=["long", "short", "close-all", "converted", "commission-at-open-only", "unknown-id"])
def test_closing_moves_the_result_into_cash(factor, commission, calls, result):
    broker = Broker(10000, commission, 0.0002, 100000, factor)
    for name, *args in calls:
        getattr(broker, name)(*args)
    assert broker.equity(1.1) == pytest.approx(10000 + result)


# --- binding ----------------------------------------------------------------------------------

class Raises:
    def __init__(self, error, message):
        self.error, self.message = error, message

    def __float__(self):
        raise self.error(self.message)


class SubTypeError(TypeError):
    pass


ERRORS = [  # (method, args, kwargs, error, message; one ending in ": " is a prefix)
    P("buy", (1.1, 1.0, 0), {}, TypeError,
      "Broker.buy() missing 2 required positional arguments: 'stop_loss' and 'take_profit'",
      id="missing-two"),
    P("sell", (), {}, TypeError, "Broker.sell() missing 5 required positional arguments: "
      "'price', 'lot_size', 'timestamp', 'stop_loss', and 'take_profit'", id="missing-all"),
    P("close_all", (1.0, 5), {"price": 2.0}, TypeError,
      "Broker.close_all() got multiple values for argument 'price'", id="multiple-values"),
    P("close_all", (1.0,), {"when": 3, "price": 2.0}, TypeError,
      "Broker.close_all() got an unexpected keyword argument 'when'", id="first-keyword-decides"),
    P("equity", (1, 2), {}, TypeError,
      "Broker.equity() takes 1 positional arguments but 2 were given", id="too-many-positional"),
    P("close_position", (-1, 1.0, 0), {}, OverflowError, None, id="negative-id"),
    P("close_position", (2**64, 1.0, 0), {}, OverflowError, None, id="id-above-u64"),
    P("close_all", (1.0, 2**63), {}, OverflowError, None, id="timestamp-above-i64"),
    P("close_position", (1.0, 1.0, 0), {}, TypeError, "argument 'id': ", id="float-id"),
    P("buy", ("x", [], 0, None, None), {}, TypeError, "argument 'price': ", id="str-price"),
    P("sell", (1.1, 1, 1.5, None, None), {}, TypeError, "argument 'timestamp': ",
      id="float-timestamp"),
    P("buy", (1.1, 1, 0, 1.0, "1.2"), {}, TypeError, "argument 'take_profit': ",
      id="str-take-profit"),
    P("equity", ("1",), {}, TypeError, "argument 'current_price': ", id="str-current-price"),
    P("equity", (Raises(ValueError, "boom"),), {}, ValueError, "boom", id="value-error-passes"),
    P("equity", (Raises(SubTypeError, "sub"),), {}, SubTypeError, "sub",
      id="type-error-subclass-passes"),
    P("Broker", (1, 2, 3, 4), {}, TypeError,
      "Broker.__new__() missing 1 required positional argument: 'quote_to_account'",
      id="new-missing-one"),
    P("Broker", (1, 0, None, 1, 1), {}, TypeError, "argument 'spread': ", id="new-none-spread"),
]


def call(broker, name, args, kwargs):
    return Broker(*args, **kwargs) if name == "Broker" else getattr(broker, name)(*args, **kwargs)


@pytest.mark.parametrize("name, args, kwargs, error, message", ERRORS)
def test_refused_call_changes_nothing(name, args, kwargs, error, message):
    broker = open_broker()
    before = snapshot(broker)
    with pytest.raises(error) as caught:
        call(broker, name, args, kwargs)
    text = str(caught.value)
    if message is None:
        assert not text.startswith("argument")
    else:
        assert text.startswith(message) if message.endswith(": ") else text == message
    assert snapshot(broker) == before
    broker.close_all(1.1, 0)  # the access was given back


def test_largest_id_converts():
    broker = open_broker()
    broker.close_position(2**64 - 1, 1.0, 0)
    assert broker.equity(True) == broker.equity(1.0)


class Reenter:
    def __init__(self, inner):
        self.inner = inner

    def __float__(self):
        self.inner()
        return 1.1


@pytest.mark.parametrize("outer, inner, message", [
    (lambda b, x: b.buy(x, 1, 0, None, None), lambda b: b.equity(1.0), "Already mutably borrowed"),
    (lambda b, x: b.equity(x), lambda b: b.buy(1.0, 1, 0, None, None), "Already borrowed"),
    (lambda b, x: b.close_all(x, 0), lambda b: b.close_position(0, 1.0, 0), "Already borrowed"),
], ids=["equity-inside-buy", "buy-inside-equity", "close-inside-close-all"])
def test_reentrant_call_is_refused(outer, inner, message):
    broker = open_broker()
    before = snapshot(broker)
    with pytest.raises(RuntimeError) as caught:
        outer(broker, Reenter(lambda: inner(broker)))
    assert str(caught.value) == message
    assert snapshot(broker) == before


def test_shared_access_nests():
    broker = open_broker()
    assert broker.equity(Reenter(lambda: broker.equity(1.0))) == broker.equity(1.1)


# --- the account against its model -------------------------------------------------------------

# Any float, NaN and infinities included, and decimal prices like 1.1002 that are inexact in
# binary, so that a change of operand order shows.
decimal = st.integers(-10**9, 10**9).map(lambda k: k / 10**6)
number = st.one_of(st.floats(), st.floats(), decimal)
level = st.none() | number
stamp = st.integers(-2**63, 2**63 - 1)
steps = st.lists(st.one_of(
    st.tuples(st.sampled_from(["buy", "sell"]), number, number, stamp, level, level),
    st.tuples(st.just("close_position"), st.integers(0, 6), number, stamp),
    st.tuples(st.just("close_all"), number, stamp),
), max_size=25)


@settings(max_examples=300, deadline=None)
# Zero cash and commission often, so that a rounding slip in a result is not absorbed by the cash.
@given(st.tuples(st.just(0.0) | number, st.just(0.0) | number, number, number, number), steps)
def test_account_matches_model(params, steps):
    broker, model = Broker(*params), Account(*params)
    for name, *args in steps:
        getattr(broker, name)(*args)
        if name == "close_position":
            model.close_position(args[0], args[1])
        elif name == "close_all":
            model.close_all(args[0])
        else:
            model.open(name == "buy", args[0], args[1])
        for price in (*PRICES, math.inf):
            assert same(broker.equity(price), model.equity(price))


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_no_reference_leaks():
    def exercise():
        broker = open_broker()
        broker.close_position(1, 1.2, 1)
        broker.equity(Reenter(lambda: broker.equity(1)))
        broker.close_all(1.0, 2)
        for name, args, kwargs, error, _ in (case.values for case in ERRORS):
            with contextlib.suppress(error):
                call(broker, name, args, kwargs)
        with contextlib.suppress(RuntimeError):
            broker.buy(Reenter(lambda: broker.equity(1)), 1, 0, None, None)

    for _ in range(20):
        exercise()
    before = sys.gettotalrefcount()
    for _ in range(2000):
        exercise()
    assert sys.gettotalrefcount() - before < 200
