import contextlib
import math
import sys

import pytest
from hypothesis import given, settings, strategies as st

from _candlewright import Broker
from account_model import Account, same

PRICES = (-0.0, 1.0999, 1.1003)
P = pytest.param


def open_broker():
    broker = Broker(10000.0, 7.0, 0.0002, 100000.0, 1.0)
    broker.buy(1.1, 2.0, 5, 1.0, 1.2)
    broker.sell(1.1, 1.0, 6, None, None)
    return broker


def snapshot(broker):
    return [broker.equity(price) for price in PRICES]


@pytest.mark.parametrize("factor, commission, calls, result", [
    P(1, 0, [("buy", 1.1, 1, 1, None, None), ("close_position", 0, 1.101, 2)], 60, id="long"),
    P(1, 0, [("sell", 1.1, 1, 1, None, None), ("close_position", 0, 1.099, 2)], 60, id="short"),
    P(1, 0, [("buy", 1.1, 1, 1, None, None), ("close_all", 1.1, 2)], -40, id="close-all"),
    P(0.5, 3, [("buy", 1.1, 1, 1, None, None), ("close_position", 0, 1.101, 2)], 27,
      id="converted-less-commission"),
    P(1, 0, [("buy", 1.1, 1, 1, None, None), ("close_position", 7, 1.0, 0)], -20, id="unknown-id"),
])
def test_results_in_account_currency(factor, commission, calls, result):
    broker = Broker(10000, commission, 0.0002, 100000, factor)
    for name, *args in calls:
        getattr(broker, name)(*args)
    assert broker.equity(1.1) == pytest.approx(10000 + result)


def test_ids_are_the_list_length_and_a_repeated_id_closes_the_older():
    broker = Broker(0.0, 0.0, 0.0, 1.0, 1.0)
    for lot in (1, 2, 3):
        broker.buy(1.0, lot, 0, None, None)
    broker.close_position(0, 1.0, 0)
    broker.buy(1.0, 4, 0, None, None)  # lots 2, 3, 4 now carry ids 1, 2, 2
    broker.close_position(2, 1.0, 0)
    assert broker.equity(2.0) - broker.equity(1.0) == 6.0


class Raises:
    def __float__(self):
        raise ValueError("boom")


ERRORS = [  # a message ending in ": " is a prefix; None: no prefix at all
    P("buy", (1.1, 1.0, 0), {}, TypeError,
      "Broker.buy() missing 2 required positional arguments: 'stop_loss' and 'take_profit'",
      id="missing"),
    P("close_all", (1.0, 5), {"price": 2.0}, TypeError,
      "Broker.close_all() got multiple values for argument 'price'", id="multiple-values"),
    P("close_position", (-1, 1.0, 0), {}, OverflowError, None, id="negative-id"),
    P("close_position", (1.0, 1.0, 0), {}, TypeError, "argument 'id': ", id="float-id"),
    P("buy", ("x", [], 0, None, None), {}, TypeError, "argument 'price': ", id="first-bad-arg"),
    P("sell", (1.1, 1, 0, 1.0, "1.2"), {}, TypeError, "argument 'take_profit': ", id="str-level"),
    P("equity", ("1",), {}, TypeError, "argument 'current_price': ", id="str-price"),
    P("equity", (Raises(),), {}, ValueError, "boom", id="raising-float"),
    P("Broker", (1, 0, None, 1, 1), {}, TypeError, "argument 'spread': ", id="new-none"),
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
    if message is None or message.endswith(": "):
        assert text.startswith(message) if message else not text.startswith("argument")
    else:
        assert text == message
    assert snapshot(broker) == before
    broker.close_all(1.1, 0)  # the access was given back


class Reenter:
    def __init__(self, inner):
        self.inner = inner

    def __float__(self):
        self.inner()
        return 1.1


@pytest.mark.parametrize("outer, inner, message", [
    P(lambda b, x: b.buy(x, 1, 0, None, None), lambda b: b.equity(1.0),
      "Already mutably borrowed", id="equity-inside-buy"),
    P(lambda b, x: b.equity(x), lambda b: b.buy(1.0, 1, 0, None, None),
      "Already borrowed", id="buy-inside-equity"),
    P(lambda b, x: b.equity(x), lambda b: b.equity(1.0), None, id="equity-inside-equity"),
])
def test_reentrant_calls(outer, inner, message):
    broker = open_broker()
    before = snapshot(broker)
    with pytest.raises(RuntimeError, match=f"^{message}$") if message else contextlib.nullcontext():
        outer(broker, Reenter(lambda: inner(broker)))
    assert snapshot(broker) == before


# Any float, NaN and infinities included, and decimal prices like 1.1002 that are inexact in
# binary, so that a change of operand order shows.
decimal = st.integers(-10**9, 10**9).map(lambda k: k / 10**6)
number = st.one_of(st.floats(), st.floats(), decimal)
level = st.none() | number
stamp = st.integers(-2**63, 2**63 - 1)
steps = st.lists(st.one_of(
    st.tuples(st.sampled_from(["buy", "sell"]), number, number, stamp, level, level),
    st.tuples(st.just("close_position"), st.integers(0, 6) | st.just(2**64 - 1), number, stamp),
    st.tuples(st.just("close_all"), number, stamp),
), max_size=25)


# Zero cash and commission often, so that a rounding slip in a result is not absorbed by the cash
# (and a cash of -0.0 shows where the running sum starts).
zero = st.sampled_from([0.0, -0.0])


@settings(max_examples=300, deadline=None)
@given(st.tuples(zero | number, zero | number, number, number, number), steps)
def test_account_matches_model(params, steps):
    broker, model = Broker(*params), Account(*params)
    for name, *args in [("close_all", 0.0, 0), *steps]:
        getattr(broker, name)(*args)
        if name == "close_position":
            model.close_position(args[0], args[1])
        elif name == "close_all":
            model.close_all(args[0])
        else:
            model.open(name == "buy", args[0], args[1])
        assert all(same(broker.equity(price), model.equity(price)) for price in (*PRICES, math.inf))


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_no_reference_leaks():
    def exercise():
        broker = open_broker()
        broker.close_position(1, 1.2, 1)
        broker.close_all(1.0, 2)
        broker.equity(Reenter(lambda: broker.equity(1)))
        with contextlib.suppress(RuntimeError):
            broker.buy(Reenter(lambda: broker.equity(1)), 1, 0, None, None)
        for name, args, kwargs, error, _ in (case.values for case in ERRORS):
            with contextlib.suppress(error):
                call(broker, name, args, kwargs)

    for _ in range(20):
        exercise()
    before = sys.gettotalrefcount()
    for _ in range(2000):
        exercise()
    assert sys.gettotalrefcount() - before < 200
