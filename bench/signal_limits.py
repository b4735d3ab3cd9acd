"""What a signal run costs against the least the same work can cost: Backtest.run_signals with
its journal (keep="all") and without (keep="figures") beside numba loops of the same account
doing the same work, and a pass that only reads the bars and writes an equity curve.

    python bench/signal_limits.py [--quick] [--rounds N] [--no-write]

One set: 10^6 synthetic bars (run.synthetic_rows; 10^5 with --quick), the crossover's +1/-1
entries made once with numpy (signals.crossover_signals), both sides, stop and target. Then 64
sets (8 fast x 8 slow windows) on the same bars: run_signals on the 2-D grid in numpy's C order
and in Fortran order, on one thread and on two, against the numba loop set after set; and the
numpy signals of the grid alone, and run_recipe (signals made natively) when it is there.

Every numba loop is checked against candlewright to the bit (figures, equity curve, journal)
before anything is timed. Elapsed time, the contenders of a table interleaved in the same rounds;
ratios are medians of the ratios within rounds. Unless --quick or --no-write, the tables go into
bench/results.md (section "Signal runs" of the running interpreter).
"""
from __future__ import annotations

import argparse
import json
import math
import pathlib
import platform
import resource
import statistics
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from typing import Any

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run  # noqa: E402  (beside this file: bars, timer, tables, the results file)
import signals  # noqa: E402  (beside this file: the signals and the equity loop)

SECTION = "### Signal runs"
# The section this one replaces: its run_signals row did not say what it kept.
OLD_SECTION = "### Signal-driven runs"
STOP, TARGET, LOTS = signals.STOP, signals.TARGET, signals.LOTS
# candlewright's Bar, row for row: the 48 bytes a run reads per bar.
BAR = np.dtype([("timestamp", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"),
                ("close", "<f8"), ("volume", "<f8")])
# A journal row of the numba loop: 16 doubles, the 128 bytes of candlewright's trade row.
# The last holds the exit reason and the side: reason * 2 + is_long.
TICKET, ENTRY_TIME, EXIT_TIME, ENTRY_BAR, EXIT_BAR, ENTRY_PRICE, EXIT_PRICE, LOT_SIZE, \
    STOP_LOSS, TAKE_PROFIT, PNL, COMMISSION, SWAP, MAE, MFE, REASON = range(16)
EXIT_REASONS = ("stop_loss", "take_profit", "close", "close_all", "end", "stop_out")
STOP_LOSS_EXIT, TAKE_PROFIT_EXIT, CLOSE_ALL_EXIT, END_EXIT = 0, 1, 3, 4
# The trades' tally, as the figures fold them: count, wins, sum, best, worst, gross profit, loss.
T_COUNT, T_WINS, T_SUM, T_BEST, T_WORST, T_PROFIT, T_LOSS = range(7)
Times = dict[str, list[int]]
THREADS = {1: "1 thread", 2: "2 threads"}
FIGURES = ("initial_cash", "final_cash", "total_return_pct", "num_trades", "num_wins",
           "win_rate_pct", "avg_pnl", "best_trade", "worst_trade", "profit_factor",
           "max_drawdown_pct")


# ---------------------------------------------------------------------------------------------
# The loops, for numba


def record(journal: Any, rows: int, keep: bool, tally: Any, ticket: float, entry_time: float,
           entry_bar: float, entry_price: float, exit_time: float, exit_bar: float,
           exit_price: float, lots: float, stop: float, target: float, pnl: float,
           commission: float, low: float, high: float, is_long: bool, reason: int) -> None:
    """One closed trade: into the tally, and with `keep` into the journal's row `rows`."""
    tally[T_COUNT] += 1.0
    tally[T_SUM] = tally[T_SUM] + pnl
    if pnl > tally[T_BEST]:
        tally[T_BEST] = pnl
    if pnl < tally[T_WORST]:
        tally[T_WORST] = pnl
    if pnl > 0.0:
        tally[T_WINS] += 1.0
        tally[T_PROFIT] = tally[T_PROFIT] + pnl
    elif pnl < 0.0:
        tally[T_LOSS] = tally[T_LOSS] + abs(pnl)
    if not keep:
        return
    row = journal[rows]
    row[TICKET] = ticket
    row[ENTRY_TIME] = entry_time
    row[EXIT_TIME] = exit_time
    row[ENTRY_BAR] = entry_bar
    row[EXIT_BAR] = exit_bar
    row[ENTRY_PRICE] = entry_price
    row[EXIT_PRICE] = exit_price
    row[LOT_SIZE] = lots
    row[STOP_LOSS] = stop
    row[TAKE_PROFIT] = target
    row[PNL] = pnl
    row[COMMISSION] = commission
    row[SWAP] = 0.0
    # Each side subtracts in its own order, as the account does, so no move comes out as -0.0.
    if is_long:
        row[MAE] = low - entry_price
        row[MFE] = high - entry_price
    else:
        row[MAE] = entry_price - high
        row[MFE] = entry_price - low
    row[REASON] = reason * 2 + (1 if is_long else 0)


def everything_of(record: Callable[..., Any]) -> Callable[..., Any]:
    """The single-set loop, calling `record` (numba compiles a function that calls another
    compiled one it closes over)."""
    def everything_loop(bars: Any, entries: Any, side: int, lots: float, stop_dist: float,
                        tp_dist: float, max_positions: int, cash: float, commission: float,
                        spread: float, contract_size: float, quote: float, keep: bool) -> Any:
        """signals.account_loop on candlewright's 48-byte bar rows, doing what run_signals
        does beside the equity: each position's excursions every bar it is open, the drawdown,
        the trades' tally and the bars with something open, and with `keep` a fresh equity
        curve and a journal of 128-byte rows, as a call that hands them back must allocate
        them. Returns (final cash, tally, max drawdown %, exposed bars, equity, journal)."""
        n = len(bars)
        p_entry = np.empty(max_positions)
        p_stop = np.empty(max_positions)
        p_target = np.empty(max_positions)
        p_lots = np.empty(max_positions)
        p_low = np.empty(max_positions)
        p_high = np.empty(max_positions)
        p_ticket = np.empty(max_positions)
        p_time = np.empty(max_positions)
        p_bar = np.empty(max_positions)
        equity = np.empty(n if keep else 0)
        # A trade a position, a position an entry at most: room for as many rows as entries, so
        # that the journal never moves (a journal reassigned in the loop costs numba reference
        # counting on every bar).
        most = 0
        if keep:
            for i in range(n):
                most += 1 if entries[i] != 0 else 0
        journal = np.empty((most, 16))
        rows = 0
        tally = np.zeros(7)
        tally[T_SUM], tally[T_PROFIT], tally[T_LOSS] = -0.0, -0.0, -0.0
        tally[T_BEST], tally[T_WORST] = -np.inf, np.inf
        peak, deepest, pct = -np.inf, 0.0, 0.0
        exposed = 0
        tickets = 0
        k = 0
        book_long = True
        for i in range(n):
            bar = bars[i]
            if k:
                lo, hi = bar.low, bar.high
                kept = 0
                for m in range(k):
                    # Every bar a position is open for after its fill, before its exits.
                    if lo < p_low[m]:
                        p_low[m] = lo
                    if hi > p_high[m]:
                        p_high[m] = hi
                    stop, target = p_stop[m], p_target[m]
                    reason = -1
                    level = 0.0
                    if book_long:
                        if stop == stop and lo <= stop:
                            reason, level = STOP_LOSS_EXIT, stop
                        elif target == target and hi >= target:
                            reason, level = TAKE_PROFIT_EXIT, target
                    else:
                        if stop == stop and hi >= stop:
                            reason, level = STOP_LOSS_EXIT, stop
                        elif target == target and lo <= target:
                            reason, level = TAKE_PROFIT_EXIT, target
                    if reason >= 0:
                        if book_long:
                            price = level - spread
                            diff = price - p_entry[m]
                        else:
                            price = level + spread
                            diff = p_entry[m] - price
                        pnl = ((diff * p_lots[m]) * contract_size) * quote
                        cash = cash + pnl
                        record(journal, rows, keep, tally, p_ticket[m], p_time[m],
                                         p_bar[m], p_entry[m], bar.timestamp, i, price, p_lots[m],
                                         stop, target, pnl, commission * p_lots[m], p_low[m],
                                         p_high[m], book_long, reason)
                        rows += 1 if keep else 0
                    else:
                        p_entry[kept] = p_entry[m]
                        p_stop[kept] = stop
                        p_target[kept] = target
                        p_lots[kept] = p_lots[m]
                        p_low[kept] = p_low[m]
                        p_high[kept] = p_high[m]
                        p_ticket[kept] = p_ticket[m]
                        p_time[kept] = p_time[m]
                        p_bar[kept] = p_bar[m]
                        kept += 1
                k = kept
            c = bar.close
            signal = entries[i]
            if signal != 0:
                want_long = side == 1 or (side == 0 and signal > 0)
                if k and book_long != want_long:
                    for m in range(k):
                        if book_long:
                            price = c - spread
                            diff = price - p_entry[m]
                        else:
                            price = c + spread
                            diff = p_entry[m] - price
                        pnl = ((diff * p_lots[m]) * contract_size) * quote
                        cash = cash + pnl
                        record(journal, rows, keep, tally, p_ticket[m], p_time[m],
                                         p_bar[m], p_entry[m], bar.timestamp, i, price, p_lots[m],
                                         p_stop[m], p_target[m], pnl, commission * p_lots[m],
                                         p_low[m], p_high[m], book_long, CLOSE_ALL_EXIT)
                        rows += 1 if keep else 0
                    k = 0
                if k < max_positions:
                    book_long = want_long
                    if want_long:
                        p_entry[k] = c + spread
                        p_stop[k] = c - stop_dist
                        p_target[k] = c + tp_dist
                    else:
                        p_entry[k] = c - spread
                        p_stop[k] = c + stop_dist
                        p_target[k] = c - tp_dist
                    p_lots[k] = lots
                    p_low[k] = p_entry[k]
                    p_high[k] = p_entry[k]
                    p_ticket[k] = tickets
                    p_time[k] = bar.timestamp
                    p_bar[k] = i
                    tickets += 1
                    k += 1
                    cash = cash - commission * lots
            open_pnl = -0.0
            for m in range(k):
                if book_long:
                    diff = c - p_entry[m]
                else:
                    diff = p_entry[m] - c
                open_pnl = open_pnl + ((diff * p_lots[m]) * contract_size) * quote
            point = open_pnl + cash
            if keep:
                equity[i] = point
            if point > peak:
                peak = point
                deepest = 0.0
            if peak > 0.0:
                fall = peak - point
                if fall > deepest:
                    deepest = fall
                    ratio = fall / peak
                    fall_pct = ratio * 100.0
                    if fall_pct > pct:
                        pct = fall_pct
            exposed += 1 if k else 0
        if n:
            last = bars[n - 1]
            c = last.close
            for m in range(k):
                if book_long:
                    price = c - spread
                    diff = price - p_entry[m]
                else:
                    price = c + spread
                    diff = p_entry[m] - price
                pnl = ((diff * p_lots[m]) * contract_size) * quote
                cash = cash + pnl
                record(journal, rows, keep, tally, p_ticket[m], p_time[m], p_bar[m],
                                 p_entry[m], last.timestamp, n - 1, price, p_lots[m], p_stop[m],
                                 p_target[m], pnl, commission * p_lots[m], p_low[m], p_high[m],
                                 book_long, END_EXIT)
                rows += 1 if keep else 0
        return cash, tally, pct, exposed, equity, journal[:rows]
    return everything_loop


def floor_loop(bars: Any, equity: Any) -> None:
    """The least any run does: read every bar's row and write a point of the curve."""
    for i in range(len(bars)):
        equity[i] = bars[i].close


class Loops:
    """The loops compiled by numba: `equity` (signals.account_loop), `everything` (with `keep`
    or not), `floor`, `grid` (the equity loop set after set) and `grid2` (the same on two
    threads, numba's code running without the interpreter lock)."""

    def __init__(self) -> None:
        import numba

        self.version = numba.__version__
        self._everything = numba.njit(everything_of(numba.njit(record)))
        self.equity = numba.njit(signals.account_loop)
        self.floor = numba.njit(floor_loop)
        self.grid = numba.njit(signals.grid_of(self.equity))
        self._grid_nogil = numba.njit(signals.grid_of(numba.njit(signals.account_loop,
                                                                 nogil=True)), nogil=True)

    def everything(self, bars: Any, entries: Any, side: int, lots: float, stop_dist: float,
                   tp_dist: float, max_positions: int, model: tuple[float, ...],
                   keep: bool) -> Any:
        return self._everything(bars, entries, side, lots, stop_dist, tp_dist, max_positions,
                                *model, keep)

    def grid2(self, h: Any, l: Any, c: Any, entries: Any, side: int, lots: float,
              stop_dist: float, tp_dist: float, model: tuple[float, ...],
              equities: tuple[Any, Any]) -> Any:
        """The sets in two halves on two threads, each with its own curve."""
        half = entries.shape[1] // 2
        parts = [entries[:, :half], entries[:, half:]]
        finals: list[Any] = [None, None]

        def work(j: int) -> None:
            finals[j] = self._grid_nogil(h, l, c, parts[j], side, lots, stop_dist, tp_dist,
                                         *model, equities[j])

        other = threading.Thread(target=work, args=(1,))
        other.start()
        work(0)
        other.join()
        return np.concatenate(finals)


# ---------------------------------------------------------------------------------------------
# The checks: every loop against candlewright, to the bit


def figures_of(cash: float, initial: float, tally: Any, pct: float) -> dict[str, Any]:
    """The eleven figures from the loop's tally, in compute_stats' operations."""
    n = int(tally[T_COUNT])
    return {
        "initial_cash": initial, "final_cash": cash,
        "total_return_pct": ((cash - initial) / initial) * 100.0,
        "num_trades": n, "num_wins": int(tally[T_WINS]),
        "win_rate_pct": (tally[T_WINS] / n) * 100.0 if n else 0.0,
        "avg_pnl": tally[T_SUM] / n if n else 0.0,
        "best_trade": tally[T_BEST] if n else 0.0,
        "worst_trade": tally[T_WORST] if n else 0.0,
        "profit_factor": tally[T_PROFIT] / tally[T_LOSS] if tally[T_LOSS] > 0.0 else math.inf,
        "max_drawdown_pct": pct,
    }


def same(a: Any, b: Any) -> bool:
    """Equal to the bit, NaN for NaN and -0.0 apart from 0.0."""
    return bool(np.array_equal(np.asarray(a, np.float64).view(np.int64),
                               np.asarray(b, np.float64).view(np.int64)))


def journal_of(result: Any) -> np.ndarray:
    """candlewright's trades in the numba journal's layout."""
    t = result.trades
    out = np.empty((len(t), 16))
    names = {TICKET: "ticket", ENTRY_TIME: "entry_time", EXIT_TIME: "exit_time",
             ENTRY_BAR: "entry_bar", EXIT_BAR: "exit_bar", ENTRY_PRICE: "entry_price",
             EXIT_PRICE: "exit_price", LOT_SIZE: "lot_size", STOP_LOSS: "stop_loss",
             TAKE_PROFIT: "take_profit", PNL: "pnl", COMMISSION: "commission", SWAP: "swap",
             MAE: "mae", MFE: "mfe"}
    for column, name in names.items():
        out[:, column] = np.asarray(getattr(t, name), np.float64)
    reasons = [EXIT_REASONS.index(str(r).rsplit(".", 1)[-1]) for r in t.exit_reason]
    out[:, REASON] = np.asarray(reasons) * 2 + np.asarray(t.is_long, np.int64)
    return out


def check_one(backtest: Any, loops: Loops, bars: np.ndarray, columns: dict[str, Any],
              account: dict[str, float], case: dict[str, Any]) -> None:
    """One case through run_signals (both keep modes) and every single-set loop; raises on the
    first difference."""
    entries, side = case["entries"], case.get("side", "long")
    lots, most = case.get("lots", 1.0), case.get("max_positions", 1)
    stop, target = case.get("stop", math.nan), case.get("target", math.nan)
    levels = {"stop_loss": None if math.isnan(stop) else stop,
              "take_profit": None if math.isnan(target) else target}
    full = backtest.run_signals(entries, side=side, lots=lots, max_positions=most, **levels)
    figures = backtest.run_signals(entries, side=side, lots=lots, max_positions=most,
                                   keep="figures", **levels)
    model = (account["initial_cash"], account["commission"], account["spread"],
             account["contract_size"], account["quote_to_account"])
    code = signals.SIDES[side]
    expected = {name: getattr(full.stats, name) for name in FIGURES}
    for name, value in expected.items():
        if not same(value, getattr(figures, name)):
            raise AssertionError(f"{case['name']}: keep='figures' gives {name} "
                                 f"{getattr(figures, name)!r}, keep='all' {value!r}")
    problems = []
    for keep in (True, False):
        cash, tally, pct, exposed, equity, journal = loops.everything(
            bars, entries, code, lots, stop, target, most, model, keep)
        got = figures_of(cash, model[0], tally, pct)
        problems += [f"numba loop (keep={keep}) {name}: {got[name]!r} against {value!r}"
                     for name, value in expected.items() if not same(got[name], value)]
        if keep:
            if exposed != full.exposure_bars:
                problems.append(f"exposed bars {exposed} against {full.exposure_bars}")
            if not same(equity, np.asarray(full.equity)):
                problems.append("numba loop: the equity curve differs")
            theirs = journal_of(full)
            if journal.shape != theirs.shape or not same(journal, theirs):
                column = next((j for j in range(16) if journal.shape != theirs.shape
                               or not same(journal[:, j], theirs[:, j])), None)
                problems.append(f"numba loop: the journal differs (first in column {column}, "
                                f"{len(journal)} rows against {len(theirs)})")
    equity = np.empty(len(bars))
    cash = loops.equity(columns["high"], columns["low"], columns["close"], entries,
                        np.empty(0, np.int8), code, lots, stop, target, most, *model, equity)
    if not same(cash, full.stats.final_cash) or not same(equity, np.asarray(full.equity)):
        problems.append("equity loop: final cash or equity curve differs")
    if problems:
        raise AssertionError(f"{case['name']}: " + "; ".join(problems))


def check(backtest: Any, loops: Loops, bars: np.ndarray, columns: dict[str, Any],
          account: dict[str, float], entries: np.ndarray) -> int:
    """The timed case and the rules it does not reach (commission, spread and a rate, one
    side, several positions, one level), on a head of the bars for those. Returns the count."""
    from candlewright import Backtest

    cases = signals.check_cases(columns, entries)
    timed = [case for case in cases if "exits" not in case]
    for case in timed[:2]:
        check_one(backtest, loops, bars, columns, account, case)
    head = min(len(bars), 50_000)
    costly = dict(account, commission=7.0, spread=0.0002, quote_to_account=0.9)
    small = {name: values[:head] for name, values in columns.items()}
    other = Backtest(small, **costly, rules="engine")
    rng = np.random.default_rng(5)
    signs = ((rng.random(head) < 0.05) * rng.choice([-1, 1], head)).astype(np.int8)
    more = [dict(case, entries=case["entries"][:head]) for case in timed] + [
        {"name": "random, long, 3 positions, stop only", "entries": signs, "side": "long",
         "stop": STOP, "max_positions": 3, "lots": 0.3},
        {"name": "random, short, 2 positions, target only", "entries": signs, "side": "short",
         "target": TARGET, "max_positions": 2}]
    for case in more:
        check_one(other, loops, bars[:head], small, costly, case)
    return 2 + len(more)


# ---------------------------------------------------------------------------------------------
# Timing


def faults_per_call(function: Callable[[], Any], calls: int = 5) -> str:
    """Minor page faults of one call, the median of a few, with each result dropped before the
    next call and with every result kept (new memory each time): "dropped / kept"."""
    function()
    counts: dict[bool, list[int]] = {False: [], True: []}
    for keep in (False, True):
        kept = []
        for _ in range(calls):
            before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            outcome = function()
            counts[keep].append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
            if keep:
                kept.append(outcome)
            del outcome
        del kept
    return " / ".join(f"{int(statistics.median(counts[keep])):,}" for keep in (False, True))


def one_set(timer: run.Timer, loops: Loops | None, backtest: Any, bars: np.ndarray,
            columns: dict[str, Any], account: dict[str, float], rounds: int) -> str:
    count = len(bars)
    h, l, c = columns["high"], columns["low"], columns["close"]
    entries = signals.crossover_signals(c)
    model = (account["initial_cash"], account["commission"], account["spread"],
             account["contract_size"], account["quote_to_account"])
    args = {"side": "both", "lots": LOTS, "stop_loss": STOP, "take_profit": TARGET}
    notes = []
    full = backtest.run_signals(entries, **args)
    contenders: dict[str, Callable[[], Any]] = {
        'run_signals, keep="all"': lambda: backtest.run_signals(entries, **args),
        'run_signals, keep="figures"': lambda: backtest.run_signals(entries, keep="figures",
                                                                    **args),
    }
    same_work = {'run_signals, keep="all"': "numba: journal, excursions, exposure, figures",
                 'run_signals, keep="figures"': "numba: figures"}
    faults = {'run_signals, keep="all"': faults_per_call(contenders['run_signals, keep="all"']),
              'run_signals, keep="figures"': faults_per_call(
                  contenders['run_signals, keep="figures"'])}
    checked = 0
    if loops is not None:
        checked = check(backtest, loops, bars, columns, account, entries)
        equity = np.empty(count)
        no_exits = np.empty(0, np.int8)
        contenders.update({
            "numba: journal, excursions, exposure, figures": lambda: loops.everything(
                bars, entries, 0, LOTS, STOP, TARGET, 1, model, True),
            "numba: figures": lambda: loops.everything(bars, entries, 0, LOTS, STOP, TARGET, 1,
                                                       model, False),
            "numba: equity curve (signals.account_loop)": lambda: loops.equity(
                h, l, c, entries, no_exits, 0, LOTS, STOP, TARGET, 1, *model, equity),
            "floor: read each 48-byte bar, write the curve": lambda: loops.floor(bars, equity),
        })
        faults["numba: journal, excursions, exposure, figures"] = faults_per_call(
            contenders["numba: journal, excursions, exposure, figures"])
    else:
        notes.append("numba is not installed: only run_signals was timed.")
    vbt = signals._vectorbt()
    if vbt is not None:
        long_entries, short_entries = entries > 0, entries < 0
        signals._vectorbt_run(vbt, {k: v[:100] for k, v in columns.items()}, long_entries[:100],
                              short_entries[:100], True).final_value()  # compiles it
        contenders["vectorbt from_signals, stop and target"] = lambda: signals._vectorbt_run(
            vbt, columns, long_entries, short_entries, True).final_value()
    times = timed(timer, contenders, rounds)
    if vbt is not None:
        portfolio = signals._vectorbt_run(vbt, columns, entries > 0, entries < 0, True)
        notes.append(f"vectorbt makes {int(portfolio.trades.count()):,} trades of the same "
                     "signals (its model differs: below).")
    floor = "floor: read each 48-byte bar, write the curve"
    rows = []
    for name in contenders:
        base = same_work.get(name)
        rows.append([name, f"{min(times[name]) / count:,.1f}",
                     f"{paired(times, name, base):.2f}x" if base in times else "",
                     f"{paired(times, name, floor):.2f}x" if floor in times else "",
                     faults.get(name, "")])
    text = run.table([f"one set, {count:,} bars", "ns/bar", "/ numba, same work", "/ floor",
                      "page faults a call, dropped / kept"], rows)
    density = np.count_nonzero(entries) / count
    text += "\n\n" + textwrap.fill(
        f"The crossover's signals: {np.count_nonzero(entries):,} non-zero of {count:,} bars "
        f"({density:.4f} a bar), both sides, one lot, stop-loss {STOP:g} and take-profit "
        f"{TARGET:g} from the close, rules=\"engine\": {len(full.trades):,} trades, "
        f"{full.exposure_bars:,} bars with a position open. Elapsed time, {rounds} "
        f"round{'s' * (rounds != 1)}; "
        "ns/bar: the best round; ratios: the median of the ratios within rounds. keep=\"all\" "
        "pairs with the numba loop that returns the same: a fresh equity curve, a journal of "
        "128-byte rows with each trade's excursions (MAE/MFE), the bars with a position open "
        "and the figures (the drawdown and the trades' tally); keep=\"figures\" with the same "
        "loop keeping only the figures. The equity loop (bench/signals.py) reads three "
        "columns and writes into one curve made beforehand, as does the floor, which reads "
        "the bars in candlewright's own rows. "
        + (f"Every numba loop gives candlewright's figures, equity curve and journal to the bit "
           f"({checked} cases checked before the timing, with commission, spread and a rate, "
           "one side, several positions). " if loops is not None else "")
        + "Page faults: minor faults of one call (getrusage), the median of five calls, each "
        "result dropped before the next (its memory is used again) or all of them kept. "
        + " ".join(notes), 100)
    return text


def timed(timer: run.Timer, contenders: dict[str, Callable[[], Any]], rounds: int) -> Times:
    """Each contender once (numba compiles on a first call), then the rounds."""
    for function in contenders.values():
        function()
    return timer.times(contenders, rounds)


def paired(times: Times, name: str, base: str) -> float:
    return run.paired_ratio(times, name, base)


def grid(timer: run.Timer, loops: Loops | None, backtest: Any, columns: dict[str, Any],
         account: dict[str, float], rounds: int) -> str:
    count = len(columns["close"])
    h, l, c = columns["high"], columns["low"], columns["close"]
    c_order = signals.grid_signals(c)
    f_order = np.asfortranarray(c_order)
    sets = c_order.shape[1]
    model = (account["initial_cash"], account["commission"], account["spread"],
             account["contract_size"], account["quote_to_account"])
    args = {"side": "both", "lots": LOTS, "stop_loss": STOP, "take_profit": TARGET,
            "keep": "figures"}
    notes = []
    figures = backtest.run_signals(c_order, threads=1, **args)
    finals = np.array([s.final_cash for s in figures])
    trades = sum(s.num_trades for s in figures)
    for order, grid_signals in (("C", c_order), ("Fortran", f_order)):
        for threads in (1, 2):
            again = backtest.run_signals(grid_signals, threads=threads, **args)
            if not same([s.final_cash for s in again], finals):
                raise AssertionError(f"run_signals, {order} order, {threads} threads, differs")
    contenders: dict[str, Callable[[], Any]] = {
        "numpy: the 64 sets' signals": lambda: signals.grid_signals(c)}
    for threads in (1, 2):
        contenders[f"run_signals, C order, {THREADS[threads]}"] = (
            lambda t=threads: backtest.run_signals(c_order, threads=t, **args))
        contenders[f"run_signals, Fortran order, {THREADS[threads]}"] = (
            lambda t=threads: backtest.run_signals(f_order, threads=t, **args))
    if loops is not None:
        equity = np.empty(count)
        equities = (np.empty(count), np.empty(count))
        # Each set's signals side by side in memory (Fortran order), as a loop set after set
        # reads them best; in C order it reads a cache line of the grid for every bar and set.
        ones = loops.grid(h, l, c, f_order, 0, LOTS, STOP, TARGET, *model, equity)
        twos = loops.grid2(h, l, c, f_order, 0, LOTS, STOP, TARGET, model, equities)
        across = loops.grid(h, l, c, c_order, 0, LOTS, STOP, TARGET, *model, equity)
        if not (same(ones, finals) and same(twos, finals) and same(across, finals)):
            raise AssertionError("the numba grid's final cash differs from run_signals'")
        for j in (0, sets - 1):  # and the curve, of the last set each half ran
            curve = np.asarray(backtest.run_signals(f_order[:, j], **dict(
                args, keep="all")).equity)
            loops.grid(h, l, c, f_order[:, j:j + 1], 0, LOTS, STOP, TARGET, *model, equity)
            if not same(equity, curve):
                raise AssertionError(f"the numba grid's equity of set {j} differs")
        contenders[f"numba, set after set, {THREADS[1]}"] = lambda: loops.grid(
            h, l, c, f_order, 0, LOTS, STOP, TARGET, *model, equity)
        contenders[f"numba, set after set, {THREADS[2]}"] = lambda: loops.grid2(
            h, l, c, f_order, 0, LOTS, STOP, TARGET, model, equities)
        contenders[f"numba, set after set, C order, {THREADS[1]}"] = lambda: loops.grid(
            h, l, c, c_order, 0, LOTS, STOP, TARGET, *model, equity)
    else:
        notes.append("numba is not installed: its loop was not timed.")
    recipe = _recipe_run(backtest, c, sets, finals, notes)
    if recipe is not None:
        for threads in (1, 2):
            contenders[f"run_recipe, signals made natively, {THREADS[threads]}"] = (
                lambda t=threads: recipe(t))
    times = timed(timer, contenders, rounds)
    signals_made = "numpy: the 64 sets' signals"
    for threads in (1, 2):  # numpy's signals then numba, as one contender of the same rounds
        numba_name = f"numba, set after set, {THREADS[threads]}"
        if numba_name in times:
            times[f"numpy signals + numba, {THREADS[threads]}"] = [
                a + b for a, b in zip(times[signals_made], times[numba_name])]
    rows = []
    for name in contenders:
        threads = 2 if name.endswith(THREADS[2]) else 1
        base = {"run_signals": f"numba, set after set, {THREADS[threads]}",
                "run_recipe": f"numpy signals + numba, {THREADS[threads]}"}.get(
                    name.split(",")[0], "")
        rows.append([name, f"{min(times[name]) / 1e6:,.0f}",
                     f"{min(times[name]) / count / sets:,.2f}",
                     f"{paired(times, name, base):.2f}x" if base in times else ""])
    text = run.table([f"{sets} sets x {count:,} bars", "ms", "ns per set-bar",
                      "/ numba, same threads"], rows)
    for way in ("run_signals, C order", "run_signals, Fortran order", "numba, set after set",
                "run_recipe, signals made natively"):
        one, two = f"{way}, {THREADS[1]}", f"{way}, {THREADS[2]}"
        if one in times and two in times:
            notes.append(f"{way}: two threads take {paired(times, two, one):.2f} of one's time.")
    density = np.count_nonzero(c_order) / c_order.size
    text += "\n\n" + textwrap.fill(
        f"Fast windows {', '.join(map(str, signals.GRID_FAST))} by slow windows "
        f"{', '.join(map(str, signals.GRID_SLOW))} of the close, both sides, one lot, stop and "
        f"target as above; {density:.4f} non-zero signals a set-bar, {trades:,} trades over the "
        f"{sets} sets. run_signals keeps figures only; its grid is int8 (bars x sets) as numpy "
        "stacks it (C order: a set's signals 64 bytes apart) or copied column by column "
        "beforehand (Fortran order). The numba rows run signals.account_loop on each column, "
        "of the Fortran-ordered grid unless they say C order, writing one equity curve per "
        "thread (two threads: half the sets each); their final cash is run_signals' to the bit "
        "(and so is the curve of the first and last set). run_recipe is paired with the numpy "
        "signals plus the numba loop of the same round. Elapsed time, "
        f"{rounds} round{'s' * (rounds != 1)}: the best, and the median of the ratios within "
        "rounds. "
        + " ".join(notes), 100)
    return text


def _recipe_run(backtest: Any, close: np.ndarray, sets: int, finals: np.ndarray,
                notes: list[str]) -> Callable[[int], Any] | None:
    """The grid by run_recipe, when the package has it: a function of the thread count."""
    try:
        from candlewright.recipes import Cross
    except ImportError:
        notes.append("run_recipe is not built here: not timed.")
        return None
    grid_params = {"fast": list(signals.GRID_FAST), "slow": list(signals.GRID_SLOW),
                   "lots": [LOTS], "stop_loss": [STOP], "take_profit": [TARGET]}
    recipe = Cross("sma", "sma", side="both")

    def run_it(threads: int) -> Any:
        return backtest.run_recipe(recipe, grid_params, threads=threads, keep="figures")

    try:
        outcome = run_it(1)
    except Exception as error:  # noqa: BLE001  (built in part: say how it fails)
        notes.append(f"run_recipe failed ({type(error).__name__}: {error}): not timed.")
        return None
    theirs = np.array([stats.final_cash for _, stats in outcome])
    agree = int(np.sum(theirs.view(np.int64) == finals.view(np.int64))) if len(theirs) == sets \
        else 0
    notes.append(f"run_recipe's averages come from candlewright.ta, not numpy's cumulative sum: "
                 f"{agree} of its {len(theirs)} sets end with the same cash as the numpy "
                 "signals' to the bit.")
    return run_it


# ---------------------------------------------------------------------------------------------
# The whole


def bars_of(columns: dict[str, Any]) -> np.ndarray:
    bars = np.empty(len(columns["close"]), BAR)
    for name in BAR.names:
        bars[name] = columns[name]
    return bars


def measure(timer: run.Timer, rows: list[tuple[Any, ...]], rounds: int) -> str:
    """Both tables as Markdown. `rows`: run.synthetic_rows."""
    from candlewright import Backtest

    columns = signals.columns_of(rows)
    backtest = Backtest(columns, **run.ACCOUNT, rules="engine")  # the model the loops reproduce
    try:
        loops: Loops | None = Loops()
    except ImportError:
        loops = None
    bars = bars_of(columns)
    parts = [one_set(timer, loops, backtest, bars, columns, run.ACCOUNT, rounds),
             grid(timer, loops, backtest, columns, run.ACCOUNT, rounds)]
    versions = [f"{run.interpreter()}", f"numpy {np.__version__}"]
    if loops is not None:
        versions.append(f"numba {loops.version}")
    vbt = signals._vectorbt()
    if vbt is not None:
        versions.append(f"vectorbt {vbt.__version__}")
    parts.append(f"{run.machine()}, shared with other work; {', '.join(versions)}; "
                 f"{time.strftime('%Y-%m-%d')}.")
    if vbt is not None:
        parts.append("What differs in vectorbt's model:\n\n" + "\n".join(
            "- " + textwrap.fill(note, 98, subsequent_indent="  ")
            for note in signals.VECTORBT_NOTES))
    return "\n\n".join(parts)


def write(path: pathlib.Path, text: str) -> bool:
    """Puts the section into the running interpreter's part of the results (results.json, and
    results.md rendered from it), in place of the one it replaces. False when the results have
    no part for this interpreter (bench/run.py makes it)."""
    store = path.with_suffix(".json")
    results = json.loads(store.read_text()) if store.exists() else {}
    title = run.interpreter()
    if title not in results:
        return False
    body = results[title]["body"]
    section = f"{SECTION}\n\n{text.strip()}"
    for heading in (SECTION, OLD_SECTION):
        start = body.find(heading + "\n")
        if start >= 0:
            end = body.find("\n### ", start + len(heading))
            body = body[:start] + section + (body[end:] if end >= 0 else "")
            break
    else:
        body += "\n\n" + section
    run.write_results(path, title, body, results[title]["summary"])
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="10^5 bars, writes nothing: a check of the script")
    parser.add_argument("--rounds", type=int, default=None, help="rounds (default 7; 2 quick)")
    parser.add_argument("--no-write", action="store_true", help="print only")
    args = parser.parse_args()
    count = 100_000 if args.quick else 1_000_000
    rounds = args.rounds or (2 if args.quick else 7)
    text = measure(run.Timer(time.perf_counter_ns), list(run.synthetic_rows(count)), rounds)
    print(f"{SECTION}\n\n{text}")
    if not (args.quick or args.no_write):
        path = HERE / "results.md"
        if write(path, text):
            print(f"written to {path}", file=sys.stderr)
        else:
            print(f"{path} has no section for {platform.python_version()}: run bench/run.py",
                  file=sys.stderr)


if __name__ == "__main__":
    main()
