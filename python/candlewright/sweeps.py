"""Parameter sweeps: one `Engine.run` per parameter set, spread over processes or a cluster.

The bars travel to the workers once, as six flat arrays, and each worker turns them back into
`Bar` objects and an `Engine` once; a task then carries only its parameters. Results are those of
running each set in turn in one process, bit for bit: the runs are the same and nothing crosses a
process boundary but exact values.
"""
from __future__ import annotations

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
import time
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
    cores); any `concurrent.futures.Executor` may be given instead, such as
    `distributed.Client(address).get_executor()` for a Dask cluster. The factory must then be
    picklable: a class or function defined at module level, or a `functools.partial` of one.
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
            try:
                pickle.dumps(strategy_factory)
            except Exception as exc:
                raise TypeError("strategy_factory must be picklable to reach the worker "
                                "processes (a class or function defined at module level, or a "
                                f"functools.partial of one): {exc}") from exc
            _on_own_pools(strategy_factory, sets, engine, lambda: _Shipment.pack(bars, account),
                          results, bar, min(max_workers or _cores(), len(sets)))
        else:
            source = _ship(executor, _Shipment.pack(bars, account))
            _collect(executor, source, strategy_factory, sets, range(len(sets)), results, bar)
    finally:
        if bar is not None:
            bar.close()
    return [result for result in results if result is not None]


def _collect(executor: cf.Executor, source: object, factory: Callable[..., Strategy],
             sets: list[dict[str, Any]], indices: Iterable[int],
             results: list[SweepResult | None], bar: Any, lost: list[int] | None = None) -> None:
    """Runs the sets at `indices` and files their results. With `lost`, a set whose worker
    died goes there instead, to be run again."""
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
                  workers: int) -> None:
    """The default executor. A worker that dies (a crash in native code, os._exit) breaks the
    whole pool and every set in it; those sets run again, one at a time on a one-process pool,
    where the first unfinished set of a broken pool is the one that broke it."""
    pending: list[int] = list(range(len(sets)))
    while pending:
        context = _context()
        # A forked worker starts with the parent's engine; any other gets the bars once.
        source: Engine | _Shipment = engine if context.get_start_method() == "fork" else pack()
        key = source.key if isinstance(source, _Shipment) else b""
        pool = cf.ProcessPoolExecutor(workers, mp_context=context, initializer=_install,
                                      initargs=(key, source))
        lost: list[int] = []
        try:
            _collect(pool, key, factory, sets, pending, results, bar, lost)
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
    only the thread that calls it, so a parent running other threads could hand the workers a
    lock held forever; Linux tells how many threads a process runs."""
    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and sys.platform.startswith("linux") and _one_thread():
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _one_thread() -> bool:
    """Whether this process runs only the calling thread. A thread just joined (the last pool's
    own manager thread, say) stays in the kernel's list for a moment after Python is done with
    it, so while no other Python thread is alive the list gets a few milliseconds to settle."""
    for _ in range(40):
        try:
            if len(os.listdir("/proc/self/task")) == 1:
                return True
        except OSError:
            return False
        if threading.active_count() > 1:
            return False
        time.sleep(0.00025)
    return False


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


def _install(key: bytes, source: Engine | _Shipment) -> None:
    """Worker start of the default pool: the parent alone answers Ctrl-C, and the bars arrive
    once, here."""
    global _installed
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _installed = (key, source)


def _run_set(source: object, factory: Callable[..., Strategy],
             params: dict[str, Any]) -> tuple[tuple[Any, ...] | None, tuple[str, str] | None]:
    """One parameter set, in a worker: the figures, or the error as plain strings, which pickle
    whatever the exception was."""
    try:
        stats = _engine_for(source).run(factory(**params))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        error = _error_of(exc)
        return None, (error.type, error.message)
    return _figures_of(stats), None


def _figures_of(stats: Stats) -> tuple[Any, ...]:
    return tuple(getattr(stats, name) for name in FIGURES)
