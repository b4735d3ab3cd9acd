"""Hostile callers: any arguments, misbehaving objects and strategies that fight the engine. Only
the documented errors may come out, a failed call changes nothing, and no reference is kept."""
import contextlib
import functools
import gc
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from _candlewright import Bar, Broker, Engine

from conftest import SANITIZED, leak_check, requires_debug_build

ACCOUNT = (10_000.0, 1.0, 0.0001, 1_000.0, 1.0)
BARS = [Bar(i, 1.0, 1.02, 0.98, 1.0 + i / 100, 1.0) for i in range(4)]
PRICES = (0.9, 1.0, 1.1)
MAX_ID = 2**64 - 1  # no position ever has it: closing it is an exclusive call that changes nothing


class Boom(Exception):
    pass


class TypeBoom(TypeError):
    pass


class Halt(BaseException):
    pass


RAISED = (Boom("boom"), TypeBoom("tb"), TypeError("te"), OverflowError("of"), ValueError("ve"),
          AttributeError("ae"), Halt("halt"))
# What a call may end in: the module's own errors, and whatever the caller's objects raise.
ALLOWED = (TypeError, OverflowError, RuntimeError) + tuple(type(e) for e in RAISED)

current = {}  # the broker and engine under test, for objects that call back into them


def fresh(exc):
    # Raising one exception object again would grow its traceback, and the counts with it.
    return type(exc)(*exc.args)


def act(outcome):
    """Does what a hostile conversion was told: raise, call back into the module, or return."""
    if isinstance(outcome, BaseException):
        raise fresh(outcome)
    if outcome == "reenter":
        current["broker"].equity(1.0)
        current["broker"].buy(1.0, 1.0, 0, None, None)
        return 1.0
    if outcome == "reenter-quietly":
        with contextlib.suppress(RuntimeError):
            current["broker"].close_all(1.0, 0)
        with contextlib.suppress(RuntimeError):
            current["engine"].run(None)
        return 1.0
    return outcome


class Number:
    """A number whose __float__ and __index__ raise, call back, or return anything at all."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        return act(self.outcome)

    def __index__(self):
        return act(self.outcome)


class Rows:
    """A sequence by protocol whose length lies or fails and whose list changes while it is read."""

    def __init__(self, items, length, mutate):
        self.items, self.length, self.mutate = list(items), length, mutate

    def __len__(self):
        return act(self.length)

    def __getitem__(self, i):
        item = self.items[i]
        if self.mutate == "clear":
            self.items.clear()
        elif self.mutate == "grow" and len(self.items) < 10:
            self.items.append(BARS[0])
        elif isinstance(self.mutate, BaseException):
            raise fresh(self.mutate)
        return item


class BadName(str):
    def __str__(self):
        raise Boom("name")


class Strategy:
    """Plays a script per callback: each step trades, nests, raises or does nothing."""

    def __init__(self, init, next_):
        if init is not None:
            self.init = lambda data: self.play(init, None)
        if next_ is not None:
            self.next = lambda bar, broker: self.play(next_, broker)

    def play(self, steps, broker):
        for step in steps:
            if isinstance(step, BaseException):
                raise fresh(step)
            if step == "nest":
                current["engine"].run(None)  # refused: this engine is running
            elif step == "other-engine":
                Engine(BARS, *ACCOUNT).run(Strategy(None, ["trade"]))
            elif step == "trade" and broker is not None:
                broker.buy(1.0, 1.0, 0, 0.99, None)
                broker.close_position(0, 1.01, 1)
            elif isinstance(step, Number) and broker is not None:
                with contextlib.suppress(*ALLOWED):
                    broker.sell(step, 1.0, step, step, None)


outcomes = st.one_of(
    st.sampled_from(RAISED + ("reenter", "reenter-quietly")),
    st.floats(), st.integers(-2**70, 2**70), st.sampled_from([2**63, 2**64, -1, True]),
    st.none(), st.text(max_size=2), st.binary(max_size=2))
plain = st.one_of(
    st.floats(), st.integers(-2**70, 2**70), st.sampled_from([2**63 - 1, 2**64 - 1, -2**63, False]),
    st.none(), st.text(max_size=2), st.binary(max_size=2), st.just(BARS[0]))
rows = st.builds(Rows, st.lists(st.sampled_from(BARS) | plain, max_size=4),
                 st.sampled_from([0, 3, -1, 2**70, "x", Boom("len")]),
                 st.sampled_from([None, "clear", "grow", ValueError("item")]))
steps = st.lists(st.sampled_from(RAISED + ("nest", "other-engine", "trade")) | outcomes.map(Number),
                 max_size=3)
strategies = st.builds(Strategy, st.none() | steps, st.none() | steps)
values = st.one_of(plain, outcomes.map(Number), rows, st.lists(st.just(BARS[1]), max_size=2),
                   strategies)

PARAMETERS = {
    "Bar": ("timestamp", "open", "high", "low", "close", "volume"),
    "Broker": ("initial_cash", "commission", "spread", "contract_size", "quote_to_account"),
    "Engine": ("data", "initial_cash", "commission", "spread", "contract_size", "quote_to_account"),
    "buy": ("price", "lot_size", "timestamp", "stop_loss", "take_profit"),
    "sell": ("price", "lot_size", "timestamp", "stop_loss", "take_profit"),
    "close_position": ("id", "price", "timestamp"),
    "close_all": ("price", "timestamp"),
    "equity": ("current_price",),
    "run": ("strategy",),
}
keyword_names = st.sampled_from(sorted({n for names in PARAMETERS.values() for n in names})
                                + ["when", "\ud800", BadName("price"), BadName("nope")])


def fresh_broker():
    broker = Broker(*ACCOUNT)
    broker.buy(1.0, 2.0, 0, 0.5, 1.5)
    broker.sell(1.05, 1.0, 1, None, None)
    return broker


def snapshot(broker):
    return [broker.equity(p) for p in PRICES]


def check_free(broker):
    """Both kinds of access can be taken again, and the call changes nothing."""
    before = snapshot(broker)
    broker.close_position(MAX_ID, 1.0, 0)
    assert snapshot(broker) == before


BROKER_METHODS = ("buy", "sell", "close_position", "close_all", "equity")
REFERENCE = repr(Engine(BARS, *ACCOUNT).run(Strategy(None, ["trade"])))


def call(target, args, kwargs):
    broker, engine = current["broker"], current["engine"]
    function = {"Bar": Bar, "Broker": Broker, "Engine": Engine, "run": engine.run}.get(target)
    return (function or getattr(broker, target))(*args, **kwargs)


@settings(max_examples=250, deadline=None)
@given(st.sampled_from(sorted(PARAMETERS)), st.lists(values, max_size=7),
       st.dictionaries(keyword_names, values, max_size=3))
def test_any_arguments_end_in_a_documented_error(target, args, kwargs):
    broker, engine = current["broker"], current["engine"] = fresh_broker(), Engine(BARS, *ACCOUNT)
    before = snapshot(broker)
    try:
        with quiet():
            call(target, args, kwargs)
    except ALLOWED:
        if target in BROKER_METHODS:
            assert snapshot(broker) == before
    check_free(broker)
    assert repr(engine.run(Strategy(None, ["trade"]))) == REFERENCE


# Every failure path once, for the leak checks: binding, conversion, refused access, callbacks
# that raise, nested runs and whole runs.
TOUR = [
    ("Bar", (), {}), ("Bar", (0, 1, 1, 1, 1, 1), {"when": 1}), ("Bar", (2**63, 1, 1, 1, 1, 1), {}),
    ("Bar", (0, Number(Boom()), 1, 1, 1, 1), {}), ("Bar", (0, Number(TypeError("t")), 1, 1, 1, 1), {}),
    ("Bar", (0,), {"open": 1, "high": 1, "low": 1, "close": 1, "volume": Number("x")}),
    ("Broker", ACCOUNT, {"\ud800": 1}), ("Broker", ACCOUNT[:4], {BadName("x"): 1}),
    ("Broker", ACCOUNT, {}), ("Broker", ACCOUNT[:1], {"initial_cash": 1}),
    ("Engine", (Rows(BARS, Boom("len"), "grow"),) + ACCOUNT, {}),
    ("Engine", (Rows(BARS, 2**70, ValueError("item")),) + ACCOUNT, {}),
    ("Engine", ("abc",) + ACCOUNT, {}), ("Engine", ([BARS[0], 1.0],) + ACCOUNT, {}),
    ("Engine", (None,) + ACCOUNT, {}),
    ("buy", (Number("reenter"), 1, 0, None, None), {}), ("buy", (1.0, 1.0, 0, None, None), {}),
    ("sell", (1.0, 1.0, Number(2**64), None, Number(Boom())), {}),
    ("close_position", (-1, 1.0, 0), {}), ("close_position", (0, 1.0, 0), {}),
    ("close_all", (1.0, 5), {"price": 2.0}), ("close_all", (Number("reenter-quietly"), 5), {}),
    ("equity", (Number("reenter"),), {}), ("equity", ("1",), {}), ("equity", (), {"when": 1}),
    ("run", (Strategy([Boom()], None),), {}), ("run", (Strategy([AttributeError()], ["trade"]),), {}),
    ("run", (Strategy(None, ["trade", "nest"]),), {}), ("run", (Strategy(None, ["other-engine"]),), {}),
    ("run", (Strategy(None, ["trade", Number("reenter"), Halt()]),), {}), ("run", (None,), {}),
    ("run", (), {"strategy": Strategy(None, None), "when": 2}),
]


def tour():
    current["broker"], current["engine"] = fresh_broker(), Engine(BARS, *ACCOUNT)
    for target, args, kwargs in TOUR:
        with contextlib.suppress(*ALLOWED):
            call(target, args, kwargs)


@contextlib.contextmanager
def quiet():
    """Unprintable keyword names are reported as unraisable; that report is not under test."""
    hook, sys.unraisablehook = sys.unraisablehook, lambda _: None
    try:
        yield
    finally:
        sys.unraisablehook = hook


@requires_debug_build
def test_no_reference_leaks_on_any_path():
    with quiet():
        leak_check(tour, repeat=20)


@pytest.mark.parametrize("target, args, kwargs", TOUR, ids=lambda v: v if isinstance(v, str) else "")
def test_arguments_keep_their_reference_counts(target, args, kwargs):
    current["broker"], current["engine"] = fresh_broker(), Engine(BARS, *ACCOUNT)
    held = [*args, *kwargs.values()]
    held += [getattr(s, name) for s in held if isinstance(s, Strategy)
             for name in ("init", "next") if hasattr(s, name)]
    # Warm up once, so what is made on first use is not counted.
    for _ in range(2):
        before = [sys.getrefcount(obj) for obj in held]
        with quiet(), contextlib.suppress(*ALLOWED):
            call(target, args, kwargs)
    assert [sys.getrefcount(obj) for obj in held] == before


def _clear_dicts_holding(obj):
    for holder in gc.get_referrers(obj):
        if isinstance(holder, dict) and holder.get("volume", holder.get("commission")) is not None:
            holder.clear()


class ClearsItsDict:
    """A number whose conversion empties the keyword dict it was passed in, which was the call's
    only hold on the arguments still to convert."""

    def __float__(self):
        _clear_dicts_holding(self)
        return 1.0


@pytest.mark.parametrize("make, check", [
    (lambda: Bar(**{"timestamp": 0, "open": ClearsItsDict(), "high": Number(2.0),
                    "low": Number(3.0), "close": Number(4.0), "volume": Number(5.0)}),
     lambda bar: (bar.open, bar.high, bar.low, bar.close, bar.volume) == (1.0, 2.0, 3.0, 4.0, 5.0)),
    (lambda: Broker(**{"initial_cash": ClearsItsDict(), "commission": Number(2.0),
                       "spread": Number(0.0), "contract_size": Number(1.0),
                       "quote_to_account": Number(1.0)}),
     lambda broker: broker.equity(1.0) == 1.0),
    (lambda: Engine(**{"data": BARS, "initial_cash": ClearsItsDict(), "commission": Number(0.0),
                       "spread": Number(0.0), "contract_size": Number(1.0),
                       "quote_to_account": Number(1.0)}),
     lambda engine: engine.run(Strategy(None, [])).final_cash == 1.0),
], ids=["Bar", "Broker", "Engine"])
def test_keyword_arguments_outlive_their_dict(make, check):
    assert check(make())


def test_receiver_outlives_its_callers_reference():
    # A partial is the only holder of the bound method, and so of the broker; the conversion
    # replaces the partial's state while the method runs.
    buy = functools.partial(Broker(*ACCOUNT).buy)
    newcomers = []

    class Drops:
        def __float__(self):
            buy.__setstate__((print, (), {}, None))
            newcomers.extend(Broker(*ACCOUNT) for _ in range(20))  # would take the freed memory
            return 1.0

    buy(Drops(), 1.0, 0, None, None)
    assert {b.equity(2.0) for b in newcomers} == {ACCOUNT[0]}

    run = functools.partial(Engine(BARS, *ACCOUNT).run)

    class DropsEngine:
        def next(self, bar, broker):
            run.__setstate__((print, (), {}, None))
            newcomers.extend(Engine(BARS, *ACCOUNT) for _ in range(20))

    assert run(DropsEngine()).num_trades == 0


DAEMON = """
import sys, threading, time
from _candlewright import Bar, Broker, Engine

class Sleeps:
    def next(self, bar, broker):
        time.sleep(0.001)

class SlowPrice:
    def __float__(self):
        time.sleep(0.001)
        return 1.0

def target():
    if sys.argv[1] == "run":
        Engine([Bar(0, 1.0, 1.0, 1.0, 1.0, 1.0)] * 100_000, 1.0, 0.0, 0.0, 1.0, 1.0).run(Sleeps())
    else:
        broker = Broker(1.0, 0.0, 0.0, 1.0, 1.0)
        while True:
            broker.buy(SlowPrice(), 1.0, 0, None, None)

threading.Thread(target=target, daemon=True).start()
time.sleep(0.2)
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer cannot follow the frames that pthread_exit "
                                       "unwinds (memcheck finds nothing there)")
@pytest.mark.parametrize("inside", ["run", "conversion"])
def test_daemon_thread_inside_a_call_at_exit(inside):
    # The interpreter ends such a thread as it exits (with pthread_exit before 3.14); the process
    # must end as if the module were not on that thread's stack.
    out = subprocess.run([sys.executable, "-c", DAEMON, inside], capture_output=True, text=True,
                         timeout=60)
    assert (out.returncode, out.stderr) == (0, "")
