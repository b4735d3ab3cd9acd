"""Parameter sweeps: the same figures as runs in turn, whatever the executor, and failures kept
to their own sets."""
import concurrent.futures as cf
import functools
import json
import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from candlewright import Backtest, SmaCross, SweepError, sample_bars, sweep
from candlewright.cli import main
from candlewright.sweeps import FIGURES, expand_grid

import sweep_strategies

ACCOUNT = dict(initial_cash=10_000.0, commission=7.0, spread=0.0002, contract_size=100_000.0,
               quote_to_account=1.0)
GRID = {"fast": [5, 10, 40], "slow": [20, 40]}


@pytest.fixture(scope="module")
def bars():
    return sample_bars()[:3000]


def sequential(bars, sets, factory=SmaCross):
    """What a sweep must equal: each set run in turn in this process."""
    backtest = Backtest(bars, *ACCOUNT.values())
    out = []
    for params in sets:
        try:
            stats = backtest.run(factory(**params)).stats
        except Exception as exc:
            out.append((params, None, (type(exc).__qualname__, str(exc))))
        else:
            out.append((params, [getattr(stats, name) for name in FIGURES], None))
    return out


def plain(results):
    # repr keeps every bit of a float, and NaN equal to NaN.
    return repr([(r.params, None if r.figures is None else list(r.figures.values()),
                  None if r.error is None else (r.error.type, r.error.message))
                 for r in results])


@pytest.mark.parametrize("executor", ["default", "one worker", "threads"])
def test_results_equal_sequential_runs_in_grid_order(bars, executor):
    kwargs = {"default": {}, "one worker": {"max_workers": 1},
              "threads": {"executor": cf.ThreadPoolExecutor(3)}}[executor]
    results = sweep(SmaCross, GRID, bars, **ACCOUNT, **kwargs)
    expected = sequential(bars, expand_grid(GRID))
    assert plain(results) == repr(expected)
    # fast=40 is not below slow: those sets fail alone, with the factory's error.
    failed = [r for r in results if not r.ok]
    assert [r.params for r in failed] == [{"fast": 40, "slow": 20}, {"fast": 40, "slow": 40}]
    assert failed[0].error == SweepError("ValueError", "need 0 < fast < slow, got fast=40, slow=20")
    assert all(set(r.figures) == set(FIGURES) for r in results if r.ok)


def test_dask_local_cluster_gives_the_same_results(bars):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        results = sweep(SmaCross, GRID, bars, **ACCOUNT, executor=client.get_executor())
    assert plain(results) == repr(sequential(bars, expand_grid(GRID)))


def test_a_run_that_raises_or_kills_its_worker_spoils_only_its_own_set(bars):
    sets = [{"at": 10**9}, {"at": 5}, {"at": 7, "die": True}, {"at": 10**9}, {"at": 10**9}]
    results = sweep(sweep_strategies.FailsAt, sets, bars, **ACCOUNT, max_workers=2)
    assert [r.params for r in results] == sets
    assert [r.ok for r in results] == [True, False, False, True, True]
    assert str(results[1].error) == "ArithmeticError: bar 5"
    assert results[2].error.type == "concurrent.futures.process.BrokenProcessPool"
    idle = sequential(bars, [{}], sweep_strategies.Idle)[0][1]
    assert [list(r.figures.values()) for r in results if r.ok] == [idle] * 3


def test_a_pool_that_breaks_while_sets_are_handed_out_loses_none_of_them():
    """The pool may break before every set is submitted: submit itself then raises."""
    from concurrent.futures.process import BrokenProcessPool

    from candlewright.sweeps import _collect

    class Breaks(cf.Executor):
        def __init__(self):
            self.submitted = 0

        def submit(self, fn, /, *args, **kwargs):
            if self.submitted == 2:
                raise BrokenProcessPool("gone")
            self.submitted += 1
            future = cf.Future()
            future.set_exception(BrokenProcessPool("gone"))
            return future

    lost, results = [], [None] * 5
    _collect(Breaks(), b"", sweep_strategies.Idle, [{}] * 5, range(5), results, None, lost)
    assert sorted(lost) == [0, 1, 2, 3, 4] and results == [None] * 5


@pytest.mark.parametrize("grid, expected", [
    ({"a": [1, 2], "b": ["x", "y"]},
     [{"a": 1, "b": "x"}, {"a": 1, "b": "y"}, {"a": 2, "b": "x"}, {"a": 2, "b": "y"}]),
    ({}, [{}]),
    ({"a": []}, []),
    (iter([{"a": 1}, {"b": 2}]), [{"a": 1}, {"b": 2}]),
])
def test_grid_expansion(grid, expected):
    assert expand_grid(grid) == expected


@pytest.mark.parametrize("grid, message", [
    ({"a": "123"}, "grid values for 'a' must be a list of values, not str"),
    ({"a": 5}, "grid values for 'a' must be a list of values, not int"),
    ({1: [1]}, "grid names must be strings, not int"),
    ([{"a": 1}, ("a", 1)], "grid item 1 must be a mapping of names to values, not tuple"),
    (5, "grid must be a mapping of names to value lists or an iterable of mappings, not int"),
])
def test_bad_grids_are_refused(bars, grid, message):
    with pytest.raises(TypeError) as info:
        sweep(SmaCross, grid, bars, **ACCOUNT)
    assert str(info.value) == message


def test_refusals_before_any_work(bars):
    with pytest.raises(ValueError, match="max_workers sizes the default process pool"):
        sweep(SmaCross, GRID, bars, **ACCOUNT, executor=cf.ThreadPoolExecutor(1), max_workers=2)
    for workers in (0, -1):
        with pytest.raises(ValueError, match="max_workers must be greater than 0"):
            sweep(SmaCross, GRID, bars, **ACCOUNT, max_workers=workers)
    with pytest.raises(TypeError):
        sweep(SmaCross, GRID, bars, **ACCOUNT, max_workers=1.5)
    # The engine's own refusal of the bars, not a worker's.
    with pytest.raises(TypeError):
        sweep(SmaCross, GRID, [object()], **ACCOUNT)
    assert sweep(functools.partial(SmaCross, lots=0.2), {"fast": []}, bars, **ACCOUNT) == []


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or sys.platform == "win32",
                    reason="needs POSIX signals")
def test_ctrl_c_cancels_the_rest_and_stops_the_workers(tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text(textwrap.dedent("""
        import multiprocessing, signal, sys, time
        import candlewright
        from sweep_strategies import Idle

        # A shell's background job starts with Ctrl-C ignored, and Python then leaves it so.
        signal.signal(signal.SIGINT, signal.default_int_handler)

        class Slow(Idle):
            def next(self, bar, broker):
                time.sleep(0.01)

        if __name__ == "__main__":
            bars = candlewright.sample_bars()[:100]
            print("started", flush=True)
            try:
                candlewright.sweep(Slow, [{}] * 40, bars, initial_cash=1e4, commission=0.0,
                                   spread=0.0, contract_size=1e5, quote_to_account=1.0)
            except KeyboardInterrupt:
                print("interrupted", multiprocessing.active_children(), flush=True)
    """))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [os.path.dirname(sweep_strategies.__file__), os.environ.get("PYTHONPATH", "")])}
    child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True,
                             env=env)
    assert child.stdout.readline() == "started\n"
    time.sleep(1.5)
    started = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    assert out == "interrupted []\n"
    assert time.monotonic() - started < 10  # 40 sets of a second each were pending


SCRIPT = """
import os, sys, threading, warnings
import numpy, pandas  # numpy starts threads of its own
from candlewright import SmaCross, sample_bars, sweep

class Mine(SmaCross):
    def init(self, bars):
        os.write(2, b"ran in parent\\n" if os.getpid() == PARENT else b"ran in worker\\n")
        return super().init(bars)

# A worker that is not forked runs this script again: it must find the parent's pid, not its own.
PARENT = int(os.environ.setdefault("SWEEP_PARENT", str(os.getpid())))
if THREAD:
    threading.Thread(target=threading.Event().wait, daemon=True).start()
FACTORY = Mine if not LAMBDA else (lambda **p: Mine(**p))
GRID = {"fast": [5, 10], "slow": [40, 80]}
ACCOUNT = dict(initial_cash=10_000, commission=7, spread=0.0002, contract_size=100_000,
               quote_to_account=1)
BARS = sample_bars()[:3000]
GUARDED
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="forks only where Linux tells")
@pytest.mark.parametrize("thread, guarded, factory, expect", [
    (False, False, "class", "worker"),
    (False, False, "lambda", "worker"),
    (True, False, "class", "warned"),
    (True, True, "class", "worker"),
    (True, True, "lambda", "refused"),
], ids=["numpy-unguarded", "lambda", "thread-unguarded", "thread-guarded", "thread-lambda"])
def test_sweeps_in_plain_scripts(tmp_path, thread, guarded, factory, expect):
    # A script as users write it: numpy imported first, the sweep at the top level.
    call = "print([r.figures['final_cash'] for r in sweep(FACTORY, GRID, BARS, **ACCOUNT)])"
    body = (SCRIPT.replace("THREAD", str(thread)).replace("LAMBDA", str(factory == "lambda"))
            .replace("GUARDED", f"if __name__ == '__main__':\n    {call}" if guarded else call))
    script = tmp_path / "script.py"
    script.write_text(body)
    out = subprocess.run([sys.executable, "-W", "error::DeprecationWarning", str(script)],
                         capture_output=True, text=True, timeout=120, cwd=tmp_path)
    if expect == "refused":
        assert "must be picklable" in out.stderr and out.returncode == 1
        return
    assert out.returncode == 0, out.stderr
    sets = expand_grid({"fast": [5, 10], "slow": [40, 80]})
    expected = [r[1][1] for r in sequential(sample_bars()[:3000], sets)]
    assert out.stdout == f"{expected!r}\n"
    ran = {line for line in out.stderr.splitlines() if line.startswith("ran in")}
    warned = "sweep runs its sets one after another in this process" in out.stderr
    if expect == "warned":
        assert ran == {"ran in parent"} and warned and out.stderr.count("RuntimeWarning") == 1
        assert 'put the sweep under if __name__ == "__main__":' in out.stderr
    else:
        assert ran == {"ran in worker"} and not warned, out.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="forks only where Linux tells")
def test_back_to_back_sweeps_all_fork():
    # The last pool's manager thread lingers a moment after its join; the next sweep must not
    # take it for a thread of the caller's and fall back to the slow fork server.
    code = textwrap.dedent("""
        import multiprocessing
        import candlewright, candlewright.sweeps as sweeps
        chosen, context = [], sweeps._context
        def spy():
            chosen.append(context().get_start_method())
            return multiprocessing.get_context(chosen[-1])
        sweeps._context = spy
        bars = candlewright.sample_bars()[:50]
        for _ in range(40):
            candlewright.sweep(candlewright.SmaCross, [{}] * 4, bars, initial_cash=1e4,
                               commission=0.0, spread=0.0, contract_size=1e5,
                               quote_to_account=1.0)
        print(chosen)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, timeout=120).stdout
    assert out == repr(["fork"] * 40) + "\n"


def test_command_ranks_the_sets_and_reports_failures(capsys, bars):
    code = main(["sweep", "--param", "fast=5,10,40", "--param", "slow=20,40", "--json",
                 "--rank-by", "max_drawdown_pct", "--workers", "1"])
    out, _ = capsys.readouterr()
    entries = json.loads(out)
    everything = sequential(sample_bars(), expand_grid(GRID))
    ok = sorted((e for e in everything if e[1]), key=lambda e: e[1][FIGURES.index(
        "max_drawdown_pct")])
    assert code == 0
    assert [(e["params"], list(e["figures"].values())) for e in entries if e["rank"]] == [
        (p, f) for p, f, _ in ok]
    assert [e["rank"] for e in entries] == [1, 2, 3, 4, None, None]
    assert entries[-1]["error"] == {"type": "ValueError",
                                    "message": "need 0 < fast < slow, got fast=40, slow=40"}

    code = main(["sweep", "--param", "fast=5,10", "--param", "slow=20", "--top", "1"])
    out, _ = capsys.readouterr()
    lines = out.splitlines()
    assert code == 0 and lines[0].startswith("2 parameter sets of candlewright:SmaCross")
    assert lines[2].split()[:3] == ["rank", "fast", "slow"] and len(lines) == 4


@pytest.mark.parametrize("argv, message", [
    (["--param", "fast"], "argument --param: wants NAME=V1,V2,..., not 'fast'"),
    (["--param", "fast=1,,2"], "argument --param: wants NAME=V1,V2,..., not 'fast=1,,2'"),
    (["--param", "fast=5", "--param", "fast=6"], "--param fast is given twice"),
    (["--param", "fast=40", "--param", "slow=20"], "every parameter set failed"),
    (["--param", "fast=5", "--workers", "0"], "--workers wants at least 1"),
    (["--param", "fast=30:5"], "fast: wants START <= STOP and a positive STEP"),
    (["--param", "fast=1:x"], "fast: wants START:STOP or START:STOP:STEP in numbers"),
    (["--param", "fast=[1,"], "fast: not a JSON list"),
    (["--param", "fast=5", "--walk-forward", "100:50"], "--walk-forward wants TRAIN:TEST"),
    (["--param", "fast=5", "--method", "random"], "needs max_tries"),
])
def test_command_refusals(capsys, argv, message):
    try:
        code = main(["sweep", *argv])
    except SystemExit as exit:
        code = exit.code
    _, err = capsys.readouterr()
    assert code != 0 and message in err


def test_every_figure_and_metric_per_set(bars):
    from candlewright import Backtest

    results = sweep(SmaCross, GRID, bars, **ACCOUNT, maximize="sharpe", max_workers=2)
    backtest = Backtest(bars, *ACCOUNT.values())
    for r in results:
        expected = backtest.run(SmaCross(**r.params)) if r.ok else None
        if expected is None:
            continue
        assert repr(r.metrics) == repr(expected.metrics)
        assert r.score == expected.metrics["sharpe"]
    ok = [r for r in results if r.ok]
    assert results.best == max(ok, key=lambda r: r.score)
    pd = pytest.importorskip("pandas")
    frame = results.to_pandas()
    assert list(frame.columns[:2]) == ["fast", "slow"]
    assert list(frame.columns[2:13]) == list(FIGURES)
    assert len(frame) == len(results) and frame["error"].notna().sum() == len(results) - len(ok)
    assert isinstance(frame, pd.DataFrame)


@pytest.mark.parametrize("maximize", ["final_cash", "sqn", lambda result: -result.stats.num_trades],
                         ids=["figure", "metric", "function"])
def test_maximize_and_constraint(bars, maximize):
    results = sweep(SmaCross, GRID, bars, **ACCOUNT, maximize=maximize,
                    constraint=lambda p: p["fast"] < p["slow"], executor=cf.ThreadPoolExecutor(2))
    assert [r.params for r in results] == [p for p in expand_grid(GRID) if p["fast"] < p["slow"]]
    assert all(r.ok and r.score is not None for r in results)
    assert results.best.score == max(r.score for r in results)


@pytest.mark.parametrize("method", ["random", "optuna"])
def test_searches_are_reproducible_on_every_executor(bars, method):
    if method == "optuna":
        pytest.importorskip("optuna")
    grid = {"fast": [3, 5, 8, 10, 15], "slow": [30, 40, 60, 90]}
    runs = [sweep(SmaCross, grid, bars, **ACCOUNT, method=method, max_tries=6, random_state=7,
                  maximize="final_cash", **where)
            for where in ({}, {}, {"executor": cf.ThreadPoolExecutor(2)})]
    assert len({repr([(r.params, r.figures) for r in run]) for run in runs}) == 1
    chosen = [r.params for r in runs[0]]
    assert len(chosen) == 6 and all(p in expand_grid(grid) for p in chosen)
    assert len({repr(p) for p in chosen}) == 6, "no set runs twice"


@pytest.mark.parametrize("options, error, message", [
    ({"method": "annealing"}, ValueError, "method must be one of"),
    ({"method": "random"}, ValueError, "needs max_tries"),
    ({"max_tries": 3}, ValueError, "max_tries is for method="),
    ({"maximize": "nope"}, ValueError, "maximize must be a figure, a metric"),
    ({"maximize": 3}, TypeError, "maximize must be a name or a function"),
])
def test_search_options_are_checked(bars, options, error, message):
    with pytest.raises(error, match=message):
        sweep(SmaCross, GRID, bars, **ACCOUNT, **options)


@pytest.mark.parametrize("text, values", [
    ("fast=5:30:5", [5, 10, 15, 20, 25, 30]),
    ("lots=0.1:0.3:0.1", [0.1, 0.2, 0.30000000000000004]),
    ("fast=3:5", [3, 4, 5]),
    ('tag=["a,b", "c"]', ["a,b", "c"]),
    ("fast=5, 8", [5, 8]),
])
def test_param_values(text, values):
    from candlewright.sweep_cli import parse_param

    assert parse_param(text) == (text.split("=")[0], values)


def test_command_searches_ranks_writes_and_walks_forward(capsys, tmp_path, bars):
    data = tmp_path / "bars.csv"
    data.write_text("time,open,high,low,close,volume\n" + "".join(
        f"{b.timestamp},{b.open!r},{b.high!r},{b.low!r},{b.close!r},{b.volume!r}\n" for b in bars))
    out_csv = tmp_path / "sets.csv"
    base = ["sweep", "--data", str(data), "--param", "fast=5:15:5", "--param", "slow=40,80",
            "--maximize", "sqn"]
    assert main([*base, "--csv", str(out_csv), "--method", "random", "--max-tries", "4",
                 "--seed", "3"]) == 0
    out, _ = capsys.readouterr()
    chosen = sweep(SmaCross, {"fast": [5, 10, 15], "slow": [40, 80]}, bars, **ACCOUNT,
                   maximize="sqn", method="random", max_tries=4, random_state=3)
    best = chosen.best
    assert "ranked by sqn, best first" in out
    assert out.splitlines()[3].split()[:3] == ["1", str(best.params["fast"]),
                                               str(best.params["slow"])]
    header, *rows = out_csv.read_text().splitlines()
    assert header.startswith("fast,slow,initial_cash,final_cash,") and len(rows) == 4
    assert main([*base, "--walk-forward", "1000:500"]) == 0
    out, _ = capsys.readouterr()
    assert "walk-forward of candlewright:SmaCross, 4 windows, chosen by sqn" in out
    assert "out of sample: final cash" in out


# --- the account by keyword, the best set's Result ---

RULES = dict(leverage=30.0, swap_long=-6.0, swap_short=1.5, gap_fills="open")


def exact(result):
    return (repr([getattr(result.stats, name) for name in FIGURES]),
            [float.hex(x) for x in result.equity])


@pytest.mark.parametrize("account", [ACCOUNT, {}, dict(spread=0.0002, initial_cash=1e4)],
                         ids=["all five", "defaults", "some"])
def test_the_account_by_keyword_is_backtests(bars, account):
    results = sweep(SmaCross, GRID, bars, **account, **RULES, max_workers=2, maximize="sharpe")
    direct = Backtest(bars, *ACCOUNT.values(), **RULES)
    for r in results:
        if r.ok:
            stats = direct.run(SmaCross, **r.params).stats
            assert repr(list(r.figures.values())) == repr([getattr(stats, n) for n in FIGURES])
    assert any(r.metrics["swaps"] != 0 for r in results if r.ok)
    best = results.best_result
    assert exact(best) == exact(direct.run(SmaCross, **results.best.params))
    assert results.best_result is best  # run once, then kept


def test_account_options_still_work_with_a_warning(bars):
    with pytest.warns(DeprecationWarning, match=r"give the account's rules as keywords instead: "
                                                r"sweep\(\.\.\., leverage=30\.0") as warned:
        old = sweep(SmaCross, GRID, bars, **ACCOUNT, account_options={"leverage": 30.0},
                    max_workers=1)
    assert warned[0].filename == __file__  # it points at the caller
    assert plain(old) == plain(sweep(SmaCross, GRID, bars, **ACCOUNT, leverage=30.0,
                                     max_workers=1))


@pytest.mark.parametrize("kwargs, text", [
    (dict(leverage=30.0, account_options={"leverage": 30.0}),
     "got leverage both as a keyword and in account_options"),
    (dict(cash=1e4), "unexpected keyword argument 'cash' (use initial_cash)"),
    (dict(swap_lnog=1.0), "did you mean swap_long?"),
    (dict(account_options={"initial_cash": 1e4}), "sweep() account_options got an unexpected "
                                                  "keyword argument 'initial_cash'"),
], ids=["rule twice", "cash", "typo", "figure in the options"])
def test_account_keywords_are_checked(bars, kwargs, text):
    with pytest.raises(TypeError) as caught:
        sweep(SmaCross, GRID, bars, **kwargs)
    assert text in str(caught.value)


def test_the_best_result_after_a_pickle(bars):
    import pickle

    def factory(**params):  # a closure: the factory need not pickle
        return SmaCross(**params)

    with cf.ThreadPoolExecutor(2) as pool:
        results = sweep(factory, GRID, bars, maximize="final_cash", executor=pool)
        unscored = sweep(factory, {"fast": [40], "slow": [20]}, bars, maximize="final_cash",
                         executor=pool)
    assert unscored.best_result is None  # the only set failed
    unread = pickle.loads(pickle.dumps(results))
    assert plain(unread) == plain(results) and unread.maximize == "final_cash"
    with pytest.raises(RuntimeError, match="unpickled before best_result was read"):
        unread.best_result
    import copy

    for copied in (copy.copy(results), copy.deepcopy(results)):  # copies keep the bars
        assert plain(copied) == plain(results) and "best_result" not in vars(copied)
        assert exact(copied.best_result) == exact(results.best_result)
    expected = exact(results.best_result)
    read = pickle.loads(pickle.dumps(results))
    assert exact(read.best_result) == expected
