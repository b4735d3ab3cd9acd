"""Ctrl-C in native signal runs, and sweeps whose fork server dies under them."""
import math
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import _thread
from array import array

import pytest

from candlewright import Backtest, Bars

from conftest import DEBUG_BUILD, leak_check

POSIX = pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
LINUX = pytest.mark.skipif(not sys.platform.startswith("linux"),
                           reason="forks only where Linux tells")

@pytest.fixture(autouse=True)
def ctrl_c_raises():
    """Ctrl-C as an interactive session has it: a job started in the background by a shell
    without job control inherits SIGINT ignored, and Python then neither raises on it nor lets
    interrupt_main simulate it."""
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, before)


# A position opened on every bar and none closed: each bar costs as much as the positions open,
# so a run of modest size lasts many seconds unless something stops it.
def long_backtest(n):
    close = array("d", (1.1 + 0.01 * math.sin(i / 50) for i in range(n)))
    times = array("q", range(1_600_000_000, 1_600_000_000 + 3600 * n, 3600))
    return Backtest(Bars.from_columns(times, close, close, close, close, None, None),
                    1e9, 0.0, 0.0, 1000.0, 1.0)


def every_bar(n, sets):
    if sets == 1:
        return array("b", [1]) * n
    return memoryview(array("b", [1]) * (n * sets)).cast("B").cast("b", [n, sets])


def long_run(backtest, n, sets, threads):
    return backtest.run_signals(every_bar(n, sets), lots=0.01, max_positions=3000,
                                threads=threads, keep="figures")


def script_env():
    return {**os.environ, "PYTHONPATH": os.pathsep.join(
        [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")])}


@POSIX
@pytest.mark.parametrize("bars, sets, threads", [
    (1_000_000, 1, 1),
    (500_000, 4, 2),
    (500_000, 4, 1),
], ids=["one-set-on-the-callers-thread", "sets-on-two-threads", "sets-on-one-thread"])
def test_ctrl_c_stops_a_signal_run_under_way(tmp_path, bars, sets, threads):
    script = tmp_path / "interrupted.py"
    script.write_text(textwrap.dedent(f"""
        import os, signal, sys, traceback
        from array import array
        from test_interrupts import long_backtest, long_run
        signal.signal(signal.SIGINT, signal.default_int_handler)
        backtest = long_backtest({bars})
        some = array("b", [1, 0, -1, 0] * ({bars} // 4))
        before = backtest.run_signals(some, keep="figures")
        print("started", flush=True)
        try:
            long_run(backtest, {bars}, {sets}, {threads})
        except KeyboardInterrupt as exc:
            where = traceback.extract_tb(exc.__traceback__)[-1].line
            threads = len(os.listdir("/proc/self/task")) if sys.platform == "linux" else 1
            after = backtest.run_signals(some, keep="figures")
            print("interrupted", "_runner.run_signals(" in where, threads,
                  repr(before) == repr(after), flush=True)
        else:
            print("finished", flush=True)
    """))
    with subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True,
                          env=script_env()) as child:
        try:
            assert child.stdout.readline() == "started\n"
            time.sleep(0.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline()
            answered = time.monotonic() - sent
        finally:
            child.kill()
    # Inside the native call, every thread of the run joined, the backtest as it was.
    assert line == "interrupted True 1 True\n"
    # Uninterrupted the run lasts many seconds: a bound this loose only says it was stopped.
    assert answered < 2.0


@pytest.fixture
def ctrl_c_soon():
    """Starts a call that Ctrl-C (simulated) interrupts a moment in. One thread sends them all:
    a thread started per call would leave the interpreter's counts growing by itself."""
    asked, sent = threading.Semaphore(0), threading.Semaphore(0)
    closing = []

    def serve():
        while True:
            asked.acquire()
            if closing:
                return
            time.sleep(0.01)
            _thread.interrupt_main()
            sent.release()

    server = threading.Thread(target=serve, daemon=True)
    server.start()

    def interrupted(call):
        asked.release()
        with pytest.raises(KeyboardInterrupt):
            call()
        sent.acquire()

    yield interrupted
    closing.append(True)
    asked.release()
    server.join()


@pytest.mark.parametrize("sets, threads", [(1, 1), (4, 2)], ids=["one-set", "threads"])
def test_an_interrupted_run_keeps_nothing_and_leaks_nothing(ctrl_c_soon, sets, threads):
    backtest = long_backtest(200_000)
    small = array("b", [1, 0, 0, -1] * 500)
    expected = repr(long_backtest(2000).run_signals(small, keep="figures"))

    def interrupted():
        ctrl_c_soon(lambda: long_run(backtest, 200_000, sets, threads))

    interrupted()
    assert repr(long_backtest(2000).run_signals(small, keep="figures")) == expected
    assert len(backtest.run_signals(array("b", [1]) * 200_000, keep="all").equity) == 200_000
    if DEBUG_BUILD:
        leak_check(interrupted, rounds=4, repeat=30)  # some caches fill over the first fifty


@POSIX
def test_ctrl_c_in_a_signal_sweep_does_not_wait_for_the_sets_under_way():
    from candlewright import SignalStrategy, sample_bars, sweep

    bars = sample_bars()[:500]
    started, released, waits = threading.Semaphore(0), threading.Event(), []

    def factory(n):
        if threading.current_thread() is not threading.main_thread():
            started.release()
            waits.append(released.wait(30))  # True: released, not given up on
        return SignalStrategy(array("b", [1, 0, -1, 0] * 125))

    def interrupt():
        started.acquire()
        started.acquire()
        # A real signal, as Ctrl-C sends; on 3.11 it does not end a wait on a lock by itself.
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    kick = threading.Thread(target=interrupt)
    kick.start()
    with pytest.raises(KeyboardInterrupt):
        sweep(factory, {"n": list(range(8))}, bars, initial_cash=1e4, commission=0.0,
              spread=0.0, contract_size=1e5, quote_to_account=1.0, max_workers=2)
    kick.join()
    released.set()
    for _ in range(3000):
        if len(waits) == 2:
            break
        time.sleep(0.01)
    assert waits == [True, True]


# A set that kills the fork server which started its worker (its parent), as many times as the
# mode says: a mark file a kill. The thread makes the sweep start its workers from a fork server.
SERVER_SCRIPT = """
import multiprocessing.forkserver as forkserver
import os, signal, sys, threading
from candlewright import SmaCross, sample_bars, sweep

MARK, MODE = sys.argv[1], sys.argv[2]
KILLS = {"killed": 1, "killed-twice": 2, "unstartable": 1}.get(MODE, 0)
PARENT = int(os.environ.setdefault("SWEEP_PARENT", str(os.getpid())))

class KillsServer(SmaCross):
    def __init__(self, fast, slow, kill=False):
        super().__init__(fast=fast, slow=slow)
        for n in range(KILLS if kill and os.getpid() != PARENT else 0):
            try:
                os.close(os.open(f"{MARK}{n}", os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                continue
            os.kill(os.getppid(), signal.SIGKILL)
            os._exit(1)  # its result never arrives: the set is lost with the server

SETS = [dict(fast=fast, slow=slow, kill=(fast, slow) == (10, 30))
        for fast in (5, 10, 15) for slow in (20, 30, 60, 90)]
ACCOUNT = dict(initial_cash=10_000, commission=7, spread=0.0002, contract_size=100_000,
               quote_to_account=1)

def plain(results):
    return repr([(r.params, r.figures, r.error) for r in results])

if __name__ == "__main__":
    threading.Thread(target=threading.Event().wait, daemon=True).start()
    bars = sample_bars()[:3000]
    if MODE == "unstartable":
        # The server dies and none can be started again.
        connect = forkserver.connect_to_new_process
        def refused(fds):
            if os.path.exists(f"{MARK}0"):
                raise ConnectionRefusedError("no fork server")
            return connect(fds)
        forkserver.connect_to_new_process = refused
        try:
            sweep(KillsServer, SETS, bars, **ACCOUNT, max_workers=2)
        except RuntimeError as exc:
            print(exc)
        sys.exit()
    failed = []
    if MODE == "first-start-fails":
        connect = forkserver.connect_to_new_process
        def once(fds):
            if not failed:
                failed.append(1)
                raise ConnectionResetError(104, "Connection reset by peer")
            return connect(fds)
        forkserver.connect_to_new_process = once
    broken = sweep(KillsServer, SETS, bars, **ACCOUNT, max_workers=2)
    clean = sweep(KillsServer, SETS, bars, **ACCOUNT, max_workers=2)
    print(failed == [1] if MODE == "first-start-fails" else
          os.path.exists(f"{MARK}{KILLS - 1}"),
          plain(broken) == plain(clean), all(r.ok for r in broken), len(broken) == len(SETS))
"""


@LINUX
@pytest.mark.parametrize("mode", ["killed", "killed-twice", "first-start-fails"])
def test_a_dead_fork_server_loses_no_set(tmp_path, mode):
    script = tmp_path / "server.py"
    script.write_text(SERVER_SCRIPT)
    out = subprocess.run([sys.executable, str(script), str(tmp_path / "mark"), mode],
                         capture_output=True, text=True, timeout=240, cwd=tmp_path,
                         env=script_env())
    assert out.returncode == 0, out.stderr
    assert out.stdout == "True True True True\n", out.stderr


@LINUX
def test_a_fork_server_that_cannot_start_again_says_which_sets_finished(tmp_path):
    script = tmp_path / "server.py"
    script.write_text(SERVER_SCRIPT)
    out = subprocess.run([sys.executable, str(script), str(tmp_path / "mark"), "unstartable"],
                         capture_output=True, text=True, timeout=240, cwd=tmp_path,
                         env=script_env())
    assert out.returncode == 0, out.stderr
    message = out.stdout.strip()
    found = re.fullmatch(r"sweep stopped: no worker process could be started "
                         r"\(ConnectionRefusedError: no fork server\); sets finished: (.+); "
                         r"not run: (.+) \(numbered from 0 in grid order\)", message)
    assert found, message

    def numbers(spans):
        if spans == "none":
            return set()
        out = set()
        for span in spans.split(", "):
            first, _, last = span.partition("-")
            out |= set(range(int(first), int(last or first) + 1))
        return out

    finished, not_run = numbers(found[1]), numbers(found[2])
    # The set that killed the server never finished; every set is one or the other.
    assert 5 in not_run and finished | not_run == set(range(12)) and not finished & not_run
