"""Several threads on shared brokers and engines. Conversions that sleep give the interpreter lock
away while a call holds its object, so the threads really meet inside the module."""
import random
import threading
import time

import pytest

from _candlewright import Bar, Broker, Engine

BARS = [Bar(i, 1.0, 1.01, 0.99, 1.0 + (i % 7) / 1000, 1.0) for i in range(40)]
ACCOUNT = (1000.0, 0.0, 0.0, 1.0, 1.0)
MAX_ID = 2**64 - 1
REFUSALS = {"exclusive": "Already borrowed", "shared": "Already mutably borrowed"}
FAULTS = {"Already borrowed: PyBorrowMutError", "Already mutably borrowed: PyBorrowError"}


class Slow:
    """A price that gives the interpreter lock away while it is being converted."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0.0001)
        return self.value


def in_threads(count, target):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as exc:  # noqa: B036 - reported by the test thread
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors, errors


def hammer(broker, rounds, seed, tally, whole=True):
    """Random calls on `broker`; each either works or is refused with the documented error."""
    rng = random.Random(seed)
    for _ in range(rounds):
        kind = rng.choice(["buy", "noop", "equity"])
        try:
            if kind == "buy":
                broker.buy(Slow(1.0), 1.0, 0, None, None)
            elif kind == "noop":
                broker.close_position(MAX_ID, Slow(1.0), 0)
            else:
                value = broker.equity(Slow(2.0))
                # longs bought at 1.0 and valued at 2.0: whole units, never a torn sum
                assert not whole or (value == int(value) and value >= ACCOUNT[0]), value
            tally[kind] += 1
        except RuntimeError as exc:
            assert str(exc) == REFUSALS["shared" if kind == "equity" else "exclusive"]
            tally["refused"] += 1


def test_shared_broker_keeps_every_completed_call():
    broker = Broker(*ACCOUNT)
    tallies = [dict.fromkeys(("buy", "noop", "equity", "refused"), 0) for _ in range(4)]
    in_threads(4, lambda i: hammer(broker, 150, i, tallies[i]))
    bought = sum(t["buy"] for t in tallies)
    # Each completed buy is one long lot at 1.0, worth 1.0 more at 2.0: none lost, none doubled.
    assert broker.equity(2.0) - broker.equity(1.0) == bought
    assert sum(t["refused"] for t in tallies) > 0
    broker.close_all(1.0, 0)  # the flag is free again
    assert broker.equity(5.0) == ACCOUNT[0]


class Trader:
    def __init__(self, pause=0.0, trades=True):
        self.pause, self.trades = pause, trades

    def next(self, bar, broker):
        time.sleep(self.pause)
        if self.trades and bar.timestamp % 5 == 0:
            broker.close_all(bar.close, bar.timestamp)
            broker.buy(bar.close, 1.0, bar.timestamp, bar.close - 0.004, bar.close + 0.003)


def test_engines_run_in_parallel():
    expected = repr(Engine(BARS, *ACCOUNT).run(Trader()))
    results = [None] * 4

    def run(i):
        results[i] = repr(Engine(BARS, *ACCOUNT).run(Trader(pause=0.0001)))

    in_threads(4, run)
    assert results == [expected] * 4


def test_second_run_of_a_running_engine_is_refused():
    engine = Engine(BARS[:2], *ACCOUNT)
    inside, leave = threading.Event(), threading.Event()
    outcome = []

    class Waits:
        def next(self, bar, broker):
            inside.set()
            leave.wait(10)

    thread = threading.Thread(target=lambda: outcome.append(engine.run(Waits()).num_trades))
    thread.start()
    inside.wait(10)
    try:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            engine.run(Trader())
    finally:
        leave.set()
        thread.join(10)
    assert outcome == [0]
    assert engine.run(Trader()).num_trades > 0


def test_other_thread_on_the_run_broker(capfd):
    """Another thread trading on the run's broker: the run either finishes or ends in one of its
    four faults; the other thread's calls work or are refused; both objects are free afterwards."""
    engine = Engine(BARS, *ACCOUNT)
    outcomes = []
    for seed in range(6):
        stop = threading.Event()
        tally = dict.fromkeys(("buy", "noop", "equity", "refused"), 0)
        helpers, brokers, errors = [], [], []

        class Shares(Trader):
            def next(self, bar, broker):
                if not helpers:
                    brokers.append(broker)

                    def loop():
                        try:
                            while not stop.is_set():
                                hammer(broker, 5, seed, tally, whole=False)
                        except BaseException as exc:  # noqa: B036
                            errors.append(exc)

                    helpers.append(threading.Thread(target=loop))
                    helpers[0].start()
                super().next(bar, broker)

        try:
            engine.run(Shares(pause=0.0002, trades=seed % 2 == 0))
            outcomes.append("done")
        except BaseException as exc:  # noqa: B036
            # a fault of the run's own step, or the strategy's call refused
            if isinstance(exc, RuntimeError):
                assert str(exc) == REFUSALS["exclusive"], repr(exc)
                outcomes.append("refused")
            else:
                assert not isinstance(exc, Exception) and str(exc) in FAULTS, repr(exc)
                outcomes.append("fault")
        finally:
            stop.set()
            for t in helpers:
                t.join(10)
        assert not errors, errors
        brokers[0].close_position(MAX_ID, 1.0, 0)
    assert engine.run(Trader()).num_trades > 0
    capfd.readouterr()
