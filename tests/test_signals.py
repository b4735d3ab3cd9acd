"""Signals reach the engine's long native stretches. A strategy written in C runs no Python code
between bars, so nothing else would look for a pending Ctrl-C until the whole run is done."""
import gc
import operator
import signal
import subprocess
import sys
import textwrap
import time
import types

import pytest

from _candlewright import Bar, Engine

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")

# Long enough that each stretch below takes tens of milliseconds on any build.
COUNT = 2_000_000
BAR = Bar(0, 1.0, 1.1, 0.9, 1.0, 0.0)
ACCOUNT = (1000.0, 0.0, 0.0, 1.0, 1.0)
C_NEXT = types.SimpleNamespace(next=operator.is_)  # a next(bar, broker) that is a builtin


class Stop(Exception):
    pass


def running(engine):
    """Whether a run of `engine` is in progress: a second run is refused only then."""
    try:
        engine.run(None)  # not running: ends at once, as None has no next
    except RuntimeError:
        return True
    except AttributeError:
        return False
    raise AssertionError("a run of None ended normally")


def stopped_inside(call, inside, after=0.01, attempts=3):
    """Whether an alarm due `after` seconds into `call` was handled while `inside()` held, and its
    handler's exception ended the call. A machine that stalls can let the alarm land before or
    after the call, so it is tried a few times."""
    for _ in range(attempts):
        seen = []

        def handler(signum, frame):
            seen.append(inside())
            raise Stop

        previous = signal.signal(signal.SIGALRM, handler)
        try:
            signal.setitimer(signal.ITIMER_REAL, after)
            try:
                call()
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        except Stop:
            pass
        finally:
            signal.signal(signal.SIGALRM, previous)
        if seen == [True]:
            return True
    return False


@pytest.fixture(scope="module")
def engine():
    return Engine([BAR] * COUNT, *ACCOUNT)


def test_run_loop_handles_signals(engine):
    assert stopped_inside(lambda: engine.run(C_NEXT), lambda: running(engine))
    assert not running(engine)  # given back: the engine runs again


def whole_lists_in_sight():
    """Whether every list the collector knows of can be read through: a list still being filled
    would crash this."""
    return all(all(True for _ in obj) for obj in gc.get_objects() if type(obj) is list)


def test_list_for_init_handles_signals(engine):
    # Without next, the run ends at the first bar: a stop while running is one while the list for
    # init is being built.
    strategy = types.SimpleNamespace(init=len)
    assert stopped_inside(lambda: engine.run(strategy),
                          lambda: running(engine) and whole_lists_in_sight())
    assert not running(engine)


def test_intake_handles_signals():
    data = [BAR] * COUNT
    idle = sys.getrefcount(data)
    # While the engine takes the bars in, its iterator holds one more reference to the list.
    assert stopped_inside(lambda: Engine(data, *ACCOUNT), lambda: sys.getrefcount(data) > idle)


CTRL_C = textwrap.dedent(f"""
    import operator, signal, sys, types
    from _candlewright import Bar, Engine

    engine = Engine([Bar(0, 1.0, 1.1, 0.9, 1.0, 0.0)] * {COUNT}, 1000.0, 0.0, 0.0, 1.0, 1.0)
    strategy = types.SimpleNamespace(next=operator.is_)
    seen = []

    def on_ctrl_c(signum, frame):
        try:
            engine.run(None)
        except RuntimeError:
            seen.append("inside")
        except AttributeError:
            seen.append("between runs")
        signal.default_int_handler(signum, frame)

    signal.signal(signal.SIGINT, on_ctrl_c)
    print("ready", flush=True)
    try:
        while True:
            engine.run(strategy)
    except KeyboardInterrupt:
        print(seen[0], engine.run(strategy).num_trades, flush=True)
""")


def test_ctrl_c_stops_a_run():
    command = [sys.executable, "-c", CTRL_C]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(0.05)
            child.send_signal(signal.SIGINT)
            # Handled inside the run (not after it), then the same engine runs again to the end.
            assert child.stdout.readline() == "inside 0\n"
            assert child.wait(60) == 0
        finally:
            child.kill()
