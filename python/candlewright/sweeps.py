"""Parameter sweeps: one `Backtest.run` per parameter set, spread over processes or a cluster
(threads for signal-based strategies), each set's figures, metrics and score returned; random
and Optuna search over a grid.

The bars travel to the workers once, as six flat arrays, and each worker turns them back into
a `Backtest` once (a `Portfolio` travels as one pickle, its bars as columns); a task then
carries only its parameters. Results are those of running each set in turn in one process, bit
for bit: the runs are the same and nothing crosses a process boundary but exact values.
"""
from __future__ import annotations

import ast
import concurrent.futures as cf
import copy
import functools
import hashlib
import importlib
import math
import multiprocessing
import operator
import os
import pickle
import queue
import random
import signal
import sys
import threading
import time
import warnings
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any

from _candlewright import Bar, Engine, Stats

from ._cores import cores as _cores
from ._progress import progress_bar
from ._account import (COMMISSION, CONTRACT_SIZE, DEFAULTS, INITIAL_CASH, QUOTE_TO_ACCOUNT,
                       SPREAD, merge_rules)
from .backtest import RULES, Backtest, _is_per_bar
from .bars import Bars
from .fx import fixed_account
from .metrics import INSIDE_METRICS, METRICS
from .portfolio import Portfolio
from .grids import expand_grid
from .recipes import Cross
from .result import FIGURES, Result
from .signals import is_signal_based, run_strategy
from .strategies import AnyStrategy

__all__ = ["FIGURES", "METHODS", "SweepError", "SweepResult", "SweepResults", "expand_grid",
           "sweep"]

METHODS = ("grid", "random", "optuna")

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
    gives them) with the metrics of its `Result` and its score (the value `maximize` names), or
    the error its run raised."""

    params: dict[str, Any]
    figures: dict[str, int | float] | None
    error: SweepError | None
    metrics: dict[str, Any] | None = None
    score: float | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


class SweepResults(list[SweepResult]):
    """The results of a sweep, a `SweepResult` per set that ran, in the order they were
    chosen (grid order for a grid), and what it maximised (`maximize`, as given)."""

    maximize: str | Callable[[Any], float] | None = None
    # The sweep's backtest and factory, for the best set's run; not pickled.
    _source: tuple[Any, Callable[..., Any]] | None = None

    @property
    def best(self) -> SweepResult | None:
        """The set with the highest score (the first of equals), or None if none has one."""
        scored = [r for r in self if r.score is not None and not math.isnan(r.score)]
        return max(scored, key=operator.attrgetter("score"), default=None)

    @functools.cached_property
    def best_result(self) -> Result | None:
        """The `Result` of the best set (trades, equity curve, report), or None if no set has
        a score. The sweep keeps only figures, so the first read runs the best set once more,
        in this process, on the sweep's bars and account: the same run, so the same figures
        to the bit. It is kept from then on, pickles included."""
        best = self.best
        if best is None:
            return None
        if self._source is None:
            raise RuntimeError("this SweepResults no longer has the sweep's bars (it was "
                               "unpickled before best_result was read): run the best set "
                               "with Backtest(...).run(factory(**results.best.params))")
        backtest, factory = self._source
        result: Result = run_strategy(backtest, factory(**best.params))
        return result

    def plot(self, path: str | None = None, *, x: str | None = None, y: str | None = None,
             figure: str | None = None, open_browser: bool = False) -> str:
        """Writes the heatmap of `figure` (a figure or metric by name; default: the score the
        sweep maximised, or total_return_pct if none) over parameters `x` and `y` (default: the two with the most values),
        with the best set's report below it, as one HTML file (default:
        candlewright-sweep.html) and returns its path; needs Bokeh (the `report` extra). See
        `candlewright.report.heatmap`."""
        from .report import plot_sweep
        return plot_sweep(self, path, x=x, y=y, figure=figure, open_browser=open_browser)

    def __reduce__(self) -> tuple[Any, ...]:
        # The sweep's bars and factory stay behind (a lambda does not pickle); what was read
        # of them comes along.
        state = {k: v for k, v in vars(self).items()
                 if k != "_source" and (k != "maximize" or isinstance(v, str))}
        return (SweepResults, (list(self),), state or None)

    def __copy__(self) -> SweepResults:
        copied = SweepResults(self)
        vars(copied).update(vars(self))
        return copied

    def __deepcopy__(self, memo: dict[int, Any]) -> SweepResults:
        # The backtest and factory are shared: a run changes neither.
        copied = SweepResults(copy.deepcopy(list(self), memo))
        memo[id(self)] = copied
        vars(copied).update({k: v if k == "_source" else copy.deepcopy(v, memo)
                             for k, v in vars(self).items()})
        return copied

    def to_pandas(self) -> Any:
        """One row per set: the parameters, the eleven figures, the other metrics, the score
        and the error (needs pandas)."""
        pd: Any = importlib.import_module("pandas")
        names = list(dict.fromkeys(name for r in self for name in r.params))
        rows = []
        for r in self:
            metrics = {k: v for k, v in (r.metrics or {}).items() if k not in FIGURES}
            figures = r.figures or dict.fromkeys(FIGURES)
            rows.append({**{n: r.params.get(n) for n in names}, **figures, **metrics,
                         "score": r.score, "error": None if r.error is None else str(r.error)})
        return pd.DataFrame(rows)


def sweep(strategy_factory: Callable[..., AnyStrategy],
          grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
          bars: Sequence[Bar] | Portfolio, *, initial_cash: float = INITIAL_CASH,
          commission: float = COMMISSION, spread: Any = SPREAD,
          contract_size: float = CONTRACT_SIZE, quote_to_account: Any = QUOTE_TO_ACCOUNT,
          executor: cf.Executor | None = None, max_workers: int | None = None,
          progress: bool | None = None, maximize: str | Callable[[Any], float] | None = None,
          constraint: Callable[[dict[str, Any]], bool] | None = None, method: str = "grid",
          max_tries: int | None = None, random_state: int | None = None,
          account_options: Mapping[str, Any] | None = None,
          metrics: Iterable[str] | None = None,
          **account_rules: Any) -> SweepResults:
    """Run `strategy_factory(**params)` over `bars` once for each parameter set of `grid`, and
    return a `SweepResult` per set: the eleven figures, the metrics of the run's `Result` and a
    score. A set whose run raises gets the error; the others are unaffected.

    `maximize` names the score: a figure or a metric (`"sharpe"`), or a function of the run's
    `Result`; `results.best` is the set that scores highest. `constraint(params)` false skips a
    set before it runs. `metrics` names the metrics each `SweepResult.metrics` keeps (None,
    the default: all of them, as `Result.metrics` has them); the one `maximize` names is
    always kept, and a pass over the curve or the trades that none of them needs is skipped.
    `method` chooses the sets: "grid" (every one), "random" (`max_tries`
    of them, drawn with `random_state`, the same ones on every run), or "optuna" (`max_tries`
    trials of Optuna's TPE sampler seeded with `random_state`, which needs `maximize` and
    the `optuna` extra).

    A factory that returns a `SignalStrategy` (see `Backtest.run_signals`) makes a signal
    sweep: its sets run natively on `max_workers` threads of this process (all cores), without
    the interpreter lock, so nothing is pickled and no process starts; only `executor` sends
    them elsewhere. A recipe (`Cross`, see `Backtest.run_recipe`) runs its whole grid natively,
    a batch of sets per call, each distinct line computed once. Otherwise, by default the sets
    run on a process pool of `max_workers` processes (all this machine's cores), forked where that is safe, so that any factory will do, a lambda too; where the
    workers cannot be forked, the factory must be picklable (a class or function defined at
    module level, or a `functools.partial` of one), and a script must call the sweep under
    `if __name__ == "__main__":`, or the sets run in this process, with a warning saying why.
    Any `concurrent.futures.Executor` may be given instead, such as
    `distributed.Client(address).get_executor()` for a Dask cluster; the factory (and a
    function given as `maximize`) must then be picklable.
    `progress` draws a bar on standard error: None (the default) draws it on a terminal only.
    The account is `Backtest`'s, given the same way: the five figures by name, each with the
    same default (a typical EURUSD retail account), `spread` and `quote_to_account` also per
    bar, and every other keyword of `Backtest` (`rules`, `prices`, `leverage`, `swap_long`,
    `time_unit`, ...) as a keyword here too. `account_options={...}`, the same keywords in a
    dict, still works but is deprecated. `results.best_result` is the best set's `Result`.

    A `Portfolio` may stand for `bars`: every set then runs `portfolio.run(...)`, the account
    is the portfolio's own (so no account keyword is taken), and the best set's result is a
    `PortfolioResult`. Workers that are not forked receive the portfolio pickled once: each
    instrument's bars as columns and the account it was made with.
    Ctrl-C cancels the sets not yet started and, for the default pool, stops its workers; a
    signal sweep's sets under way end on their threads, unseen. A fork server that dies loses
    no result already in: the sets not finished run again on new workers.
    """
    runner: Any
    pack: Callable[[], Any]
    if isinstance(bars, Portfolio):
        _own_account("sweep()", (initial_cash, commission, spread, contract_size,
                                quote_to_account), account_rules, account_options)
        runner, portfolio = bars, bars
        pack = lambda: _PortfolioShipment.pack(portfolio)  # noqa: E731
    else:
        options = merge_rules("sweep()", account_rules, account_options, RULES, stacklevel=2)
        spread, quote_to_account = fixed_account(bars, spread, quote_to_account)
        account = (initial_cash, commission, spread, contract_size, quote_to_account)
        # Refuses bad bars or account values here, with the engine's own messages, before any
        # work.
        Engine(bars, initial_cash, commission, 0.0 if _is_per_bar(spread) else spread,
               contract_size, 1.0 if _is_per_bar(quote_to_account) else quote_to_account)
        runner = Backtest(bars, *account, **options)
        pack = lambda: _Shipment.pack(bars, account, options)  # noqa: E731
    if max_workers is not None:
        if executor is not None:
            raise ValueError("max_workers sizes the default process pool; size your own "
                             "executor instead")
        if operator.index(max_workers) < 1:
            raise ValueError("max_workers must be greater than 0")
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    if method == "grid" and max_tries is not None:
        raise ValueError("max_tries is for method='random' or 'optuna'; a grid runs every set")
    if method != "grid" and (max_tries is None or operator.index(max_tries) < 1):
        raise ValueError(f"method={method!r} needs max_tries, the number of sets to run (>= 1)")
    _check_score(maximize)
    plan = _Plan(_Job(strategy_factory, maximize, _wanted(metrics, maximize)), runner, pack,
                 executor, max_workers, sys.stderr.isatty() if progress is None else progress)
    if method == "optuna":
        results = _optuna_search(plan, grid, constraint, operator.index(max_tries or 0),
                                 random_state)
    else:
        sets = [p for p in expand_grid(grid) if constraint is None or constraint(p)]
        if method == "random":
            sets = random.Random(random_state).sample(sets, min(operator.index(max_tries or 0),
                                                                len(sets)))
        results = SweepResults(_run_sets(plan, sets))
    results._source = (plan.backtest, strategy_factory)
    results.maximize = maximize
    return results


def _own_account(where: str, figures: tuple[Any, ...], rules: Mapping[str, Any],
                 account_options: Mapping[str, Any] | None) -> None:
    """TypeError for an account given beside a portfolio, which has its own. A figure counts as
    given when it is not the default object itself, so an equal number given is refused too."""
    given = [name for name, value, default in zip(DEFAULTS, figures, DEFAULTS.values())
             if value is not default]
    given += [*rules, *(["account_options"] if account_options is not None else [])]
    if given:
        raise TypeError(f"{where} runs a Portfolio on its own account: give "
                        f"{', '.join(given)} to the Portfolio instead")


@dataclass(frozen=True)
class _Job:
    """What every set of a sweep runs and how it is scored; goes to the workers once."""

    factory: Callable[..., AnyStrategy]
    score: str | Callable[[Any], float] | None
    metrics: frozenset[str] | None = None  # what each set computes and keeps; None: all


@dataclass
class _Plan:
    job: _Job
    backtest: Any  # a Backtest or Portfolio: what forked workers and this process run on
    pack: Callable[[], _Shipment | _PortfolioShipment]
    executor: cf.Executor | None
    max_workers: int | None
    progress: bool


def _check_score(maximize: str | Callable[[Any], float] | None) -> None:

    if isinstance(maximize, str) and maximize not in FIGURES and maximize not in METRICS:
        raise ValueError(f"maximize must be a figure, a metric or a function of a Result, not "
                         f"{maximize!r}; figures: {', '.join(FIGURES)}; metrics: "
                         f"{', '.join(METRICS)}")
    if maximize is not None and not isinstance(maximize, str) and not callable(maximize):
        raise TypeError(f"maximize must be a name or a function, not {type(maximize).__name__}")


def _wanted(metrics: Iterable[str] | None, maximize: str | Callable[[Any], float] | None
            ) -> frozenset[str] | None:
    """The metrics a sweep keeps: those asked for and the score's, or None for all."""
    if metrics is None:
        return None
    if isinstance(metrics, str):
        raise TypeError(f"metrics must be a list of names, not the string {metrics!r}")
    names = frozenset(metrics)
    unknown = sorted(names.difference(METRICS, INSIDE_METRICS))
    if unknown:
        raise ValueError(f"unknown metrics: {', '.join(map(repr, unknown))}; metrics: "
                         f"{', '.join((*METRICS, *INSIDE_METRICS))}")
    return names | {maximize} if isinstance(maximize, str) and maximize in METRICS else names


def _run_sets(plan: _Plan, sets: list[dict[str, Any]]) -> list[SweepResult]:
    if not sets:
        return []
    bar = progress_bar(len(sets), sys.stderr, "sets") if plan.progress else None
    results: list[SweepResult | None] = [None] * len(sets)
    try:
        recipe = plan.job.factory
        if plan.executor is None and isinstance(recipe, Cross) and \
                isinstance(plan.backtest, Backtest):
            _recipe_sets(plan, recipe, sets, results, bar)
        elif plan.executor is None and _signal_based(plan.job, sets[0]):
            # Their runs give up the interpreter lock, so threads of this process use every
            # core, with nothing to pickle and no process to start.
            pool = cf.ThreadPoolExecutor(min(plan.max_workers or _cores(), len(sets)))
            try:
                _collect(pool, plan.backtest, plan.job, sets, range(len(sets)), results, bar)
            except BaseException:
                # Ctrl-C answers at once, not after the sets under way: they end on their
                # threads, unused (the interpreter joins those threads at exit).
                pool.shutdown(wait=False, cancel_futures=True)
                raise
            pool.shutdown()
        elif plan.executor is None:
            context = _context()
            if context.get_start_method() != "fork":
                try:
                    pickle.dumps(plan.job)
                except Exception as exc:
                    raise TypeError("strategy_factory must be picklable to reach the worker "
                                    "processes (a class or function defined at module level, "
                                    f"or a functools.partial of one): {exc}") from exc
            reason = _no_pool_reason(context, plan.job.factory)
            if reason is not None:
                warnings.warn(f"sweep runs its sets one after another in this process: {reason}",
                              RuntimeWarning, stacklevel=4)
                _in_process(plan.backtest, plan.job, sets, results, bar)
            else:
                _on_own_pools(plan, sets, results, bar,
                              min(plan.max_workers or _cores(), len(sets)), context)
        else:
            source = _ship(plan.executor, plan.pack())
            _collect(plan.executor, source, plan.job, sets, range(len(sets)), results, bar)
    finally:
        if bar is not None:
            bar.close()
    return [result for result in results if result is not None]


def _recipe_sets(plan: _Plan, recipe: Cross, sets: list[dict[str, Any]],
                 results: list[SweepResult | None], bar: Any) -> None:
    """A recipe's sets natively, a batch at a time: each set's journal and curve live only
    until its metrics are read, and a batch shares its lines. A batch that fails runs again a
    set at a time, so that the error is the set's own."""
    threads = min(plan.max_workers or _cores(), len(sets))
    size = max(16, 4 * threads)
    for first in range(0, len(sets), size):
        chosen = sets[first:first + size]
        try:
            ran: list[Any] | None = recipe.run(plan.backtest, chosen, threads=threads)
        except (KeyboardInterrupt, SystemExit):
            raise
        except Exception:
            ran = None
        for k, params in enumerate(chosen):
            results[first + k] = _filed(params, _run_on(plan.backtest, plan.job, params,
                                                        None if ran is None else ran[k]))
            if bar is not None:
                bar.step()


def _signal_based(job: _Job, params: dict[str, Any]) -> bool:
    """Whether the factory makes signal strategies, which run on threads: asked of one set."""
    try:
        return is_signal_based(job.factory(**params))
    except Exception:
        return False  # the set's own run will report it


def _optuna_search(plan: _Plan, grid: Any, constraint: Callable[[dict[str, Any]], bool] | None,
                   tries: int, seed: int | None) -> SweepResults:
    """Trials asked of Optuna a batch at a time (one set per worker), run like any sets, and
    told their scores; a set the constraint refuses is told as pruned without running."""
    if plan.job.score is None:
        raise ValueError("method='optuna' needs maximize, the score it optimises")
    if not isinstance(grid, Mapping):
        raise TypeError("method='optuna' needs a grid mapping names to lists of values")
    try:
        optuna: Any = importlib.import_module("optuna")
    except ImportError:
        raise ImportError("method='optuna' needs Optuna: pip install 'candlewright[optuna]'"
                          ) from None
    expand_grid(grid)  # refuses a bad grid with its messages
    space = {name: optuna.distributions.CategoricalDistribution(list(values))
             for name, values in grid.items()}
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    study = optuna.create_study(direction="maximize",
                                sampler=optuna.samplers.TPESampler(seed=seed))
    batch = plan.max_workers or _parallelism(plan.executor)
    tries = min(tries, math.prod(len(d.choices) for d in space.values()))
    results = SweepResults()
    seen: dict[str, SweepResult] = {}

    def tell(trial: Any, result: SweepResult) -> None:
        good = result.score is not None and math.isfinite(result.score)
        study.tell(trial, result.score if good else None,
                   state=None if good else optuna.trial.TrialState.FAIL)

    while len(results) < tries and len(study.trials) < 50 * tries:
        trials = [study.ask(space) for _ in range(min(batch, tries - len(results)))]
        fresh: dict[str, Any] = {}
        for trial in trials:
            key = repr(sorted(trial.params.items()))
            if constraint is not None and not constraint(dict(trial.params)):
                study.tell(trial, state=optuna.trial.TrialState.PRUNED)
            elif key in seen:
                tell(trial, seen[key])  # a set proposed again is told its score, not rerun
            else:
                fresh.setdefault(key, []).append(trial)
        ran = _run_sets(plan, [dict(group[0].params) for group in fresh.values()])
        for (key, group), result in zip(fresh.items(), ran):
            seen[key] = result
            results.append(result)
            for trial in group:
                tell(trial, result)
    return results


def _collect(executor: cf.Executor, source: object, job: _Job | None,
             sets: list[dict[str, Any]], indices: Iterable[int],
             results: list[SweepResult | None], bar: Any,
             lost: list[int] | None = None) -> BaseException | None:
    """Runs the sets at `indices` and files their results (`job` None: the workers have it).
    With `lost`, a set whose worker died, or for which no worker could be started, goes there
    instead, to be run again; the error that stopped the handing out is returned."""
    futures: dict[cf.Future[Any], int] = {}
    todo = list(indices)
    stopped: BaseException | None = None
    try:
        for position, index in enumerate(todo):
            try:
                futures[executor.submit(_run_set, source, job, sets[index])] = index
            except (BrokenProcessPool, OSError, EOFError) as exc:
                # A worker died while the rest were still being handed out, or the pool could
                # not start one (its fork server gone, say): an OSError or EOFError from
                # submit, which only starts workers. The sets handed out already still count.
                if lost is None:
                    raise
                lost.extend(todo[position:])
                stopped = exc
                break
        for future in _as_completed(futures):
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
    return stopped


def _as_completed(futures: Iterable[cf.Future[Any]]) -> Iterator[cf.Future[Any]]:
    """The futures as they complete, waited for a moment at a time: on some Pythons (3.11) a
    wait on a lock with no time limit lets Ctrl-C in only once the lock is released, here when
    some set ends, which may be long after."""
    arrived: queue.SimpleQueue[cf.Future[Any]] = queue.SimpleQueue()
    count = 0
    for future in futures:
        future.add_done_callback(arrived.put)
        count += 1
    for _ in range(count):
        while True:
            try:
                done = arrived.get(timeout=0.02)
            except queue.Empty:
                continue
            yield done
            break


def _on_own_pools(plan: _Plan, sets: list[dict[str, Any]], results: list[SweepResult | None],
                  bar: Any, workers: int, context: Any) -> None:
    """The default executor. A worker that dies (a crash in native code, os._exit) breaks the
    whole pool and every set in it; those sets run again, one at a time on a one-process pool,
    where the first unfinished set of a broken pool is the one that broke it. A fork server that
    dies, or cannot start workers, is no set's doing: the next pool starts a new one and the
    unfinished sets run again as they were, unless pools finish nothing several times running.
    Every pool starts its workers the same way (`context`), which decided whether the job must
    pickle. Results already in are kept whatever happens to a pool."""
    pending: list[int] = list(range(len(sets)))
    idle = 0  # pools in a row that finished no set
    while pending:
        # A forked worker starts with the parent's backtest and job (a lambda will do); any
        # other gets the bars and the job once, pickled.
        source: Any = plan.backtest if context.get_start_method() == "fork" else plan.pack()
        key = source.key if isinstance(source, (_Shipment, _PortfolioShipment)) else b""
        pool = cf.ProcessPoolExecutor(workers, mp_context=context, initializer=_install,
                                      initargs=(key, source, plan.job, _fork_server(context)))
        lost: list[int] = []
        try:
            with warnings.catch_warnings():
                # Python warns of forking with threads running; only threads it does not know
                # of are (see _context), such as numpy's, whose libraries prepare for a fork.
                warnings.filterwarnings("ignore", ".*multi-threaded, use of fork",
                                        DeprecationWarning)
                failed = _collect(pool, key, None, sets, pending, results, bar, lost)
        except BaseException:
            _stop_workers(pool)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
        idle = 0 if len(lost) < len(pending) else idle + 1
        not_started = failed if isinstance(failed, (OSError, EOFError)) else None
        if lost and (not_started is not None or _server_died(context)) and idle < _SERVER_TRIES:
            time.sleep(0.05 * idle)  # a server killed a moment ago may not be gone yet
            pending = sorted(lost)
            continue
        if not_started is not None:
            finished = sorted(set(range(len(sets))) - set(lost))
            raise RuntimeError(
                f"sweep stopped: no worker process could be started "
                f"({_error_of(not_started)}); sets finished: {_spans(finished)}; not run: "
                f"{_spans(sorted(lost))} (numbered from 0 in grid order)") from not_started
        if lost and workers == 1:
            culprit = min(lost)
            lost.remove(culprit)
            results[culprit] = SweepResult(sets[culprit], None, SweepError(
                "concurrent.futures.process.BrokenProcessPool",
                "the worker process running this set ended abruptly"))
            if bar is not None:
                bar.step()
        pending, workers = sorted(lost), 1


# Pools in a row that may finish nothing for want of a fork server before the sweep gives up.
_SERVER_TRIES = 3


def _fork_server(context: Any) -> int | None:
    """The pid of the fork server that starts `context`'s workers, started now if need be; None
    for another start method, or a server that cannot start (the pool's first worker will fail
    to, and say why)."""
    if context.get_start_method() != "forkserver":
        return None
    forkserver = importlib.import_module("multiprocessing.forkserver")
    try:
        forkserver.ensure_running()
    except (OSError, EOFError):
        return None
    pid = getattr(getattr(forkserver, "_forkserver", None), "_forkserver_pid", None)
    return pid if isinstance(pid, int) else None


def _server_died(context: Any) -> bool:
    """Whether the fork server that starts `context`'s workers has died: its workers then seem
    to die with it, though no set was at fault. Asked without reaping it: multiprocessing reaps
    it when it next needs a server, and starts another."""
    if context.get_start_method() != "forkserver" or not hasattr(os, "waitid"):
        return False
    server = getattr(importlib.import_module("multiprocessing.forkserver"), "_forkserver", None)
    pid = getattr(server, "_forkserver_pid", None)
    if not isinstance(pid, int):
        return False
    try:
        return os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True  # reaped already
    except OSError:
        return False


def _spans(indices: list[int]) -> str:
    """Sorted set numbers as runs: "0-41, 44", or "none"."""
    spans: list[list[int]] = []
    for index in indices:
        if spans and spans[-1][1] == index - 1:
            spans[-1][1] = index
        else:
            spans.append([index, index])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in spans) or "none"


def _result(params: dict[str, Any], future: cf.Future[Any]) -> SweepResult:
    try:
        outcome = future.result()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        # The executor lost the task: a worker died, or the task could not be sent.
        return SweepResult(params, None, _error_of(exc))
    return _filed(params, outcome)


def _filed(params: dict[str, Any], outcome: tuple[Any, ...]) -> SweepResult:
    figures, metrics, score, error = outcome
    if error is not None:
        return SweepResult(params, None, SweepError(*error))
    return SweepResult(params, dict(zip(FIGURES, figures)), None, metrics, score)


def _parallelism(executor: cf.Executor | None) -> int:
    """How many sets an executor runs at once: a Dask cluster's threads, a pool's workers, or
    this machine's cores."""
    client = getattr(executor, "_client", None)
    if client is not None and hasattr(client, "nthreads"):
        try:
            return max(1, int(sum(client.nthreads().values())))
        except Exception:
            pass
    workers = getattr(executor, "_max_workers", None)
    return workers if isinstance(workers, int) and workers > 0 else _cores()


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


def _no_pool_reason(context: Any, factory: Callable[..., AnyStrategy]) -> str | None:
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


def _in_process(backtest: Any, job: _Job, sets: list[dict[str, Any]],
                results: list[SweepResult | None], bar: Any) -> None:
    for index, params in enumerate(sets):
        results[index] = _filed(params, _run_on(backtest, job, params))
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


def _ship(executor: cf.Executor, shipment: _Shipment | _PortfolioShipment) -> object:
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
    """The bars as six flat arrays, and the account with its options; `key` tells one shipment
    from another."""

    key: bytes
    timestamps: array[int]
    columns: tuple[array[float], ...]
    account: tuple[Any, ...]
    options: dict[str, Any]

    @classmethod
    def pack(cls, bars: Sequence[Bar], account: tuple[Any, ...],
             options: dict[str, Any]) -> _Shipment:
        # The engine has accepted the numbers; a spread or rate per bar is an array or "1/close".
        account = tuple(x if isinstance(x, (array, str)) else float(x) for x in account)
        timestamps = array("q", map(operator.attrgetter("timestamp"), bars))
        columns = tuple(array("d", map(operator.attrgetter(name), bars)) for name in _COLUMNS)
        digest = hashlib.blake2b(pickle.dumps((account, sorted(options.items()))),
                                 digest_size=16)
        for column in (timestamps, *columns):
            digest.update(memoryview(column).cast("B"))
        return cls(digest.digest(), timestamps, columns, account, options)

    def backtest(self) -> Any:

        opens, highs, lows, closes, volumes = self.columns
        bars = Bars.from_columns(self.timestamps, opens, highs, lows, closes, volumes, None)
        return Backtest(bars, *self.account, **self.options)


@dataclass(frozen=True)
class _PortfolioShipment:
    """A portfolio, pickled once (its bars as columns, its account), and the key of that
    pickle."""

    key: bytes
    pickled: bytes

    @classmethod
    def pack(cls, portfolio: Portfolio) -> _PortfolioShipment:
        pickled = pickle.dumps(portfolio, pickle.HIGHEST_PROTOCOL)
        return cls(hashlib.blake2b(pickled, digest_size=16).digest(), pickled)

    def backtest(self) -> Any:
        return pickle.loads(self.pickled)


# A worker keeps the backtest of the shipment it saw last. Runs on one backtest may overlap, so
# the threads of a worker share it.
_cached: tuple[bytes, Any] | None = None
_installed: tuple[bytes, Any, _Job] | None = None


def _backtest_for(source: object) -> Any:
    global _cached
    if isinstance(source, (Backtest, Portfolio)):
        return source  # threads of the sweep's own process
    cached = _cached
    if isinstance(source, bytes):
        if cached is None or cached[0] != source:
            if _installed is None or _installed[0] != source:
                raise RuntimeError("this worker has not received the bars of this sweep")
            installed = _installed[1]
            cached = (source, installed.backtest()
                      if isinstance(installed, (_Shipment, _PortfolioShipment)) else installed)
    elif isinstance(source, (_Shipment, _PortfolioShipment)):
        if cached is None or cached[0] != source.key:
            cached = (source.key, source.backtest())
    else:
        raise TypeError(f"cannot find bars in {type(source).__name__}")
    _cached = cached
    return cached[1]


def _install(key: bytes, source: Any, job: _Job, server: int | None = None) -> None:
    """Worker start of the default pool: the parent alone answers Ctrl-C, and the bars and the
    job arrive once, here. A worker started by fork server `server` ends with it: the pool
    then counts the worker dead and no longer stops it, and it would wait for work forever,
    holding the pool's pipes and the standard streams (it holds the pipes' other ends too)."""
    global _installed
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _installed = (key, source, job)
    if server is not None:
        if os.getppid() != server:
            os._exit(1)  # gone already: the pool runs this worker's sets again
        threading.Thread(target=_end_with, args=(server,), daemon=True).start()


def _end_with(server: int) -> None:
    while os.getppid() == server:
        time.sleep(0.2)
    os._exit(1)


def _run_set(source: object, job: _Job | None, params: dict[str, Any]) -> tuple[Any, ...]:
    """One parameter set, in a worker (with the installed job when none is sent)."""
    if job is None:
        job = _installed[2] if _installed is not None else None
    return _run_on(_backtest_for(source), job, params)


def _run_on(backtest: Any, job: _Job | None, params: dict[str, Any],
            result: Any = None) -> tuple[Any, ...]:
    """(figures, metrics, score, None), or (None, None, None, the error as plain strings,
    which pickle whatever the exception was); `result` is the set's run, if made already."""
    try:
        if job is None:
            raise RuntimeError("this worker has not received the strategy factory")
        if result is None:
            result = run_strategy(backtest, job.factory(**params))
        wanted = job.metrics
        named = getattr(result, "_metrics_named", None)
        metrics = result.metrics if wanted is None else named(wanted) if named is not None \
            else {k: v for k, v in result.metrics.items() if k in wanted}
        score = job.score
        value = None if score is None else (
            score(result) if callable(score) else
            metrics[score] if score in metrics else getattr(result.stats, score))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        error = _error_of(exc)
        return None, None, None, (error.type, error.message)
    return _figures_of(result.stats), metrics, None if value is None else float(value), None


def _figures_of(stats: Stats) -> tuple[Any, ...]:
    return tuple(getattr(stats, name) for name in FIGURES)
