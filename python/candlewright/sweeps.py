"""Parameter sweeps: one `Engine.run` per parameter set, spread over processes or a cluster.

The bars travel to the workers once, as six flat arrays, and each worker turns them back into
`Bar` objects and an `Engine` once; a task then carries only its parameters. Results are those of
running each set in turn in one process, bit for bit: the runs are the same and nothing crosses a
process boundary but exact values.
"""
from __future__ import annotations

import ast
import concurrent.futures as cf
import hashlib
import importlib
import itertools
import multiprocessing
import operator
import os
import pickle
import signal
import struct
import sys
import threading
import warnings
from array import array
from concurrent.futures.process import BrokenProcessPool
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from _candlewright import Bar, Engine, Stats

from ._progress import progress_bar
from .strategies import Strategy

__all__ = ["FIGURES", "SweepError", "SweepResult", "expand_grid", "sweep"]

FIGURES = ("initial_cash", "final_cash", "total_return_pct", "num_trades", "num_wins",
           "win_rate_pct", "avg_pnl", "best_trade", "worst_trade", "profit_factor",
           "max_drawdown_pct")

_COLUMNS = ("open", "high", "low", "close", "volume")


@dataclass(frozen=True, slots=True)
class SweepError:
    """Why a parameter set has no figures: the exception's type, as `module.Qualname` (just the
    name for built-in exceptions), and its message."""

    type: str
    message: str

    def __str__(self) -> str:
        return f"{self.type}: {self.message}" if self.message else self.type


@dataclass(frozen=True, slots=True)
class SweepResult:
    """One parameter set: its parameters, and either its eleven figures (by name, as `Stats`
    gives them) or the error its run raised."""

    params: dict[str, Any]
    figures: dict[str, int | float] | None
    error: SweepError | None

    @property
    def ok(self) -> bool:
        return self.error is None


def expand_grid(grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]]
                ) -> list[dict[str, Any]]:
    """The parameter sets of a grid, in order. A mapping of names to value lists gives their
    product, the last name varying fastest; any other iterable gives its mappings as they are."""
    if isinstance(grid, Mapping):
        names = list(grid)
        columns = []
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"grid names must be strings, not {type(name).__name__}")
            values = grid[name]
            # A string is iterable too, but a list of its characters is never what was meant.
            if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
                raise TypeError(f"grid values for {name!r} must be a list of values, "
                                f"not {type(values).__name__}")
            columns.append(list(values))
        return [dict(zip(names, combination)) for combination in itertools.product(*columns)]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError("grid must be a mapping of names to value lists or an iterable of "
                        f"mappings, not {type(grid).__name__}")
    sets = []
    for position, params in enumerate(grid):
        if not isinstance(params, Mapping) or not all(isinstance(k, str) for k in params):
            raise TypeError(f"grid item {position} must be a mapping of names to values, "
                            f"not {type(params).__name__}")
        sets.append(dict(params))
    return sets


def sweep(strategy_factory: Callable[..., Strategy],
          grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
          bars: Sequence[Bar], *, initial_cash: float, commission: float, spread: float,
          contract_size: float, quote_to_account: float,
          executor: cf.Executor | None = None, max_workers: int | None = None,
          progress: bool | None = None) -> list[SweepResult]:
    """Run `strategy_factory(**params)` over `bars` once for each parameter set of `grid`, and
    return one `SweepResult` per set, in grid order. A set whose run raises gets the error; the
    others are unaffected.

    By default the sets run on a process pool of `max_workers` processes (all this machine's
    cores), forked where that is safe, so that any factory will do, a lambda too; where the
    workers cannot be forked, the factory must be picklable (a class or function defined at
    module level, or a `functools.partial` of one), and a script must call the sweep under
    `if __name__ == "__main__":`, or the sets run in this process, with a warning saying why.
    Any `concurrent.futures.Executor` may be given instead, such as
    `distributed.Client(address).get_executor()` for a Dask cluster; the factory must then be
    picklable.
    `progress` draws a bar on standard error: None (the default) draws it on a terminal only.
    Ctrl-C cancels the sets not yet started and, for the default pool, stops its workers.
    """
    sets = expand_grid(grid)
    account = (initial_cash, commission, spread, contract_size, quote_to_account)
    # Refuses bad bars or account values here, with the engine's own messages, before any work.
    engine = Engine(bars, *account)
    if max_workers is not None:
        if executor is not None:
            raise ValueError("max_workers sizes the default process pool; size your own "
                             "executor instead")
        if operator.index(max_workers) < 1:
            raise ValueError("max_workers must be greater than 0")
    if not sets:
        return []
    show = sys.stderr.isatty() if progress is None else progress
    bar = progress_bar(len(sets), sys.stderr, "sets") if show else None
    results: list[SweepResult | None] = [None] * len(sets)
    try:
        if executor is None:
            context = _context()
            if context.get_start_method() != "fork":
                try:
                    pickle.dumps(strategy_factory)
                except Exception as exc:
                    raise TypeError("strategy_factory must be picklable to reach the worker "
                                    "processes (a class or function defined at module level, "
                                    f"or a functools.partial of one): {exc}") from exc
            reason = _no_pool_reason(context, strategy_factory)
            if reason is not None:
                warnings.warn(f"sweep runs its sets one after another in this process: {reason}",
                              RuntimeWarning, stacklevel=2)
                _in_process(engine, strategy_factory, sets, results, bar)
            else:
                _on_own_pools(strategy_factory, sets, engine,
                              lambda: _Shipment.pack(bars, account), results, bar,
                              min(max_workers or _cores(), len(sets)), context)
        else:
            source = _ship(executor, _Shipment.pack(bars, account))
            _collect(executor, source, strategy_factory, sets, range(len(sets)), results, bar)
    finally:
        if bar is not None:
            bar.close()
    return [result for result in results if result is not None]


def _collect(executor: cf.Executor, source: object, factory: Callable[..., Strategy] | None,
             sets: list[dict[str, Any]], indices: Iterable[int],
             results: list[SweepResult | None], bar: Any, lost: list[int] | None = None) -> None:
    """Runs the sets at `indices` and files their results (`factory` None: the workers have
    it). With `lost`, a set whose worker died goes there instead, to be run again."""
    futures: dict[cf.Future[Any], int] = {}
    todo = list(indices)
    try:
        for position, index in enumerate(todo):
            try:
                futures[executor.submit(_run_set, source, factory, sets[index])] = index
            except BrokenProcessPool:
                # A worker died while the rest were still being handed out.
                if lost is None:
                    raise
                lost.extend(todo[position:])
                break
        for future in cf.as_completed(futures):
            index = futures[future]
            if lost is not None and isinstance(future.exception(), BrokenProcessPool):
                lost.append(index)
                continue
            results[index] = _result(sets[index], future)
            if bar is not None:
                bar.step()
    except BaseException:
        # Ctrl-C, or the executor itself failing: nothing more starts.
        for future in futures:
            future.cancel()
        raise


def _on_own_pools(factory: Callable[..., Strategy], sets: list[dict[str, Any]], engine: Engine,
                  pack: Callable[[], _Shipment], results: list[SweepResult | None], bar: Any,
                  workers: int, context: Any) -> None:
    """The default executor. A worker that dies (a crash in native code, os._exit) breaks the
    whole pool and every set in it; those sets run again, one at a time on a one-process pool,
    where the first unfinished set of a broken pool is the one that broke it. Every pool starts
    its workers the same way (`context`), which decided whether the factory must pickle."""
    pending: list[int] = list(range(len(sets)))
    while pending:
        # A forked worker starts with the parent's engine and factory (a lambda will do); any
        # other gets the bars and the factory once, pickled.
        source: Engine | _Shipment = engine if context.get_start_method() == "fork" else pack()
        key = source.key if isinstance(source, _Shipment) else b""
        pool = cf.ProcessPoolExecutor(workers, mp_context=context, initializer=_install,
                                      initargs=(key, source, factory))
        lost: list[int] = []
        try:
            with warnings.catch_warnings():
                # Python warns of forking with threads running; only threads it does not know
                # of are (see _context), such as numpy's, whose libraries prepare for a fork.
                warnings.filterwarnings("ignore", ".*multi-threaded, use of fork",
                                        DeprecationWarning)
                _collect(pool, key, None, sets, pending, results, bar, lost)
        except BaseException:
            _stop_workers(pool)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
        if lost and workers == 1:
            culprit = min(lost)
            lost.remove(culprit)
            results[culprit] = SweepResult(sets[culprit], None, SweepError(
                "concurrent.futures.process.BrokenProcessPool",
                "the worker process running this set ended abruptly"))
            if bar is not None:
                bar.step()
        pending, workers = sorted(lost), 1


def _result(params: dict[str, Any], future: cf.Future[Any]) -> SweepResult:
    try:
        figures, error = future.result()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        # The executor lost the task: a worker died, or the task could not be sent.
        return SweepResult(params, None, _error_of(exc))
    if error is not None:
        return SweepResult(params, None, SweepError(*error))
    return SweepResult(params, dict(zip(FIGURES, figures)), None)


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _context() -> Any:
    """fork where it is safe, the quickest start; else forkserver, else spawn. A fork copies
    only the thread that calls it, so another Python thread could leave the workers a lock
    held forever. Threads started by native libraries (numpy's BLAS pool, say) are not Python
    threads; those libraries prepare for a fork themselves, as they must on a platform whose
    pools fork by default."""
    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and sys.platform.startswith("linux") and _one_python_thread():
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _one_python_thread() -> bool:
    """Whether the calling thread is the only Python thread. A pool's manager thread is done
    once its shutdown returns, though the kernel may list it a moment longer."""
    return threading.active_count() == 1


def _no_pool_reason(context: Any, factory: Callable[..., Strategy]) -> str | None:
    """Why worker processes started with `context` could not run the sets, or None. A worker
    that is not forked starts by running the calling script again (to find what it defines);
    a sweep there that is not under `if __name__ == "__main__":` would start again, in every
    worker."""
    if context.get_start_method() == "fork":
        return None
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    where = ("other threads run in this process, so its workers cannot be forked; "
             if sys.platform.startswith("linux") else "")
    if path is None:
        if getattr(factory, "__module__", None) == "__main__":
            return (f"{where}a worker could not find {getattr(factory, '__qualname__', factory)}"
                    ", defined interactively: define it in a module and import it")
        return None
    if _unguarded_call(main, path):
        return (f"{where}a new worker would run {os.path.basename(path)} again from the top, "
                "and this sweep with it: put the sweep under if __name__ == \"__main__\": to "
                "run it on a process pool")
    return None


def _unguarded_call(main: Any, path: str) -> bool:
    """Whether the script `main` is running its own top-level code at a line outside an
    `if __name__ == "__main__":` block."""
    frame = sys._getframe(1)
    line = None
    while frame is not None:
        if frame.f_globals is main.__dict__ and frame.f_code.co_name == "<module>":
            line = frame.f_lineno
        frame = frame.f_back  # type: ignore[assignment]
    if line is None:
        return False
    try:
        with open(path, "rb") as source:
            tree = ast.parse(source.read())
    except (OSError, SyntaxError, ValueError):
        return True
    return not any(isinstance(node, ast.If) and _is_main_test(node.test)
                   and node.lineno <= line <= (node.end_lineno or node.lineno)
                   for node in tree.body)


def _is_main_test(test: ast.expr) -> bool:
    if not isinstance(test, ast.Compare) or len(test.ops) != 1 or \
            not isinstance(test.ops[0], ast.Eq):
        return False
    sides = [test.left, test.comparators[0]]
    return any(isinstance(n, ast.Name) and n.id == "__name__" for n in sides) and \
        any(isinstance(n, ast.Constant) and n.value == "__main__" for n in sides)


def _in_process(engine: Engine, factory: Callable[..., Strategy], sets: list[dict[str, Any]],
                results: list[SweepResult | None], bar: Any) -> None:
    for index, params in enumerate(sets):
        figures, error = _run_on(engine, factory, params)
        results[index] = SweepResult(params, None if figures is None else
                                     dict(zip(FIGURES, figures)),
                                     None if error is None else SweepError(*error))
        if bar is not None:
            bar.step()


def _stop_workers(pool: cf.Executor) -> None:
    processes = list((getattr(pool, "_processes", None) or {}).values())
    terminate = getattr(pool, "terminate_workers", None)
    if terminate is not None:
        terminate()
    else:
        # Before 3.14 a pool cannot stop its workers itself.
        for process in processes:
            if process.is_alive():
                process.terminate()
    # Reaped here, so none outlives the sweep.
    for process in processes:
        process.join(5)


def _ship(executor: cf.Executor, shipment: _Shipment) -> object:
    """What each task carries to find the bars: on a Dask cluster, a handle to one copy already
    on every worker; elsewhere the arrays themselves, still turned into an Engine only once per
    worker thread."""
    if "distributed" not in sys.modules:
        return shipment
    try:
        client_executor = importlib.import_module("distributed.cfexecutor").ClientExecutor
    except (ImportError, AttributeError):
        return shipment
    client = getattr(executor, "_client", None)
    if not isinstance(executor, client_executor) or client is None:
        return shipment
    return client.scatter(shipment, broadcast=True)


def _error_of(exc: BaseException) -> SweepError:
    kind = type(exc)
    name = kind.__qualname__ if kind.__module__ == "builtins" else (
        f"{kind.__module__}.{kind.__qualname__}")
    try:
        message = str(exc)
    except Exception:
        message = f"<unprintable {kind.__qualname__} object>"
    return SweepError(name, message)


@dataclass(frozen=True)
class _Shipment:
    """The bars as six flat arrays, and the account; `key` tells one shipment from another."""

    key: bytes
    timestamps: array[int]
    columns: tuple[array[float], ...]
    account: tuple[float, ...]

    @classmethod
    def pack(cls, bars: Sequence[Bar], account: tuple[Any, ...]) -> _Shipment:
        account = tuple(map(float, account))  # the engine has accepted them
        timestamps = array("q", map(operator.attrgetter("timestamp"), bars))
        columns = tuple(array("d", map(operator.attrgetter(name), bars)) for name in _COLUMNS)
        digest = hashlib.blake2b(struct.pack("<5d", *account), digest_size=16)
        for column in (timestamps, *columns):
            digest.update(memoryview(column).cast("B"))
        return cls(digest.digest(), timestamps, columns, account)

    def engine(self) -> Engine:
        return Engine(list(map(Bar, self.timestamps, *self.columns)), *self.account)


# Each worker thread keeps the engine of the shipment it saw last: a run holds its engine
# exclusively, so threads of one worker cannot share one.
_local = threading.local()
_installed: tuple[bytes, Engine | _Shipment] | None = None
_installed_factory: Callable[..., Strategy] | None = None


def _engine_for(source: object) -> Engine:
    cached: tuple[bytes, Engine] | None = getattr(_local, "engine", None)
    if isinstance(source, bytes):
        if cached is None or cached[0] != source:
            if _installed is None or _installed[0] != source:
                raise RuntimeError("this worker has not received the bars of this sweep")
            installed = _installed[1]
            cached = (source, installed if isinstance(installed, Engine) else installed.engine())
    elif isinstance(source, _Shipment):
        if cached is None or cached[0] != source.key:
            cached = (source.key, source.engine())
    else:
        raise TypeError(f"cannot find bars in {type(source).__name__}")
    _local.engine = cached
    return cached[1]


def _install(key: bytes, source: Engine | _Shipment, factory: Callable[..., Strategy]) -> None:
    """Worker start of the default pool: the parent alone answers Ctrl-C, and the bars and the
    factory arrive once, here."""
    global _installed, _installed_factory
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _installed = (key, source)
    _installed_factory = factory


def _run_set(source: object, factory: Callable[..., Strategy] | None,
             params: dict[str, Any]) -> tuple[tuple[Any, ...] | None, tuple[str, str] | None]:
    """One parameter set, in a worker (with the installed factory when none is sent): the
    figures, or the error as plain strings, which pickle whatever the exception was."""
    return _run_on(_engine_for(source), factory or _installed_factory, params)


def _run_on(engine: Engine, factory: Callable[..., Strategy] | None,
            params: dict[str, Any]) -> tuple[tuple[Any, ...] | None, tuple[str, str] | None]:
    try:
        if factory is None:
            raise RuntimeError("this worker has not received the strategy factory")
        stats = engine.run(factory(**params))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        error = _error_of(exc)
        return None, (error.type, error.message)
    return _figures_of(stats), None


def _figures_of(stats: Stats) -> tuple[Any, ...]:
    return tuple(getattr(stats, name) for name in FIGURES)
