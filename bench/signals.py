"""Signal-driven runs of the moving-average crossover: what a run on precomputed signals costs in
candlewright and in the alternatives a user would reach for, on the same numpy signals.

    python bench/signals.py [--quick]

One run: 10^6 synthetic bars (run.synthetic_rows), the crossover's +1/-1 entries computed once
with numpy, then vectorbt's Portfolio.from_signals, a numba loop and a plain Python loop of
candlewright's account model, Backtest.run with a Python next reading the signals, Backtest.run
of SmaCross, and Backtest.run_signals. The loops reproduce the account to the bit: their final
cash and equity curve are checked against a candlewright run before anything is timed.

A grid: 8 fast x 8 slow windows over 10^5 bars, the signals' computation included: vectorbt's
broadcast run of the grid against run_signals on the 2-D signals, on one thread and on two, and
against run_sets, which computes each set's signals on the threads beside the other sets' runs.

Elapsed time (run_signals may work on threads of its own), the contenders of one table
interleaved in the same rounds; ratios are medians of the ratios within rounds.
"""
import argparse
import math
import pathlib
import sys
import textwrap
import time
import warnings

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import strategies  # noqa: E402  (beside this file)

FAST, SLOW = strategies.FAST, strategies.SLOW
STOP, TARGET = strategies.STOP, strategies.TARGET
LOTS = strategies.LOTS
GRID_FAST = (4, 6, 8, 10, 12, 15, 20, 25)
GRID_SLOW = (30, 40, 50, 60, 80, 100, 120, 150)
SIDES = {"long": 1, "short": -1, "both": 0}
OURS = 'Backtest.run_signals, keep="all", stop and target'


# ---------------------------------------------------------------------------------------------
# Bars and signals


def columns_of(rows):
    names = ("timestamp", "open", "high", "low", "close", "volume")
    return {name: np.asarray([row[i] for row in rows]) for i, name in enumerate(names)}


def moving_average(close, window):
    """The simple moving average, NaN until the window is full; from one cumulative sum, so its
    last bits differ from a windowed sum's."""
    sums = np.concatenate(([0.0], np.cumsum(close)))
    out = np.full(len(close), np.nan)
    out[window - 1:] = (sums[window:] - sums[:-window]) / window
    return out


def cross_signals(fast_ma, slow_ma):
    """+1 where the fast average crosses above the slow one, -1 below, else 0; int8, by column
    for 2-D averages. Ufuncs only, no masked assignment: numpy runs them without the interpreter
    lock, so threads computing signals for different sets overlap."""
    valid = ~np.isnan(slow_ma)
    above = (fast_ma > slow_ma).view(np.int8)
    signals = np.zeros(above.shape, dtype=np.int8)
    np.subtract(above[1:], above[:-1], out=signals[1:])
    signals[1:] *= valid[1:] & valid[:-1]
    return signals


def crossover_signals(close, fast=FAST, slow=SLOW):
    return cross_signals(moving_average(close, fast), moving_average(close, slow))


def grid_signals(close, fasts=GRID_FAST, slows=GRID_SLOW):
    """(bars, len(fasts) * len(slows)) signals, fast-major: each distinct average once."""
    fast = {w: moving_average(close, w) for w in fasts}
    slow = {w: moving_average(close, w) for w in slows}
    return cross_signals(np.stack([fast[f] for f in fasts for _ in slows], axis=1),
                         np.stack([slow[s] for _ in fasts for s in slows], axis=1))


# ---------------------------------------------------------------------------------------------
# candlewright's account model, as loops


def account_loop(high, low, close, entries, exits, side, lots, stop_dist, tp_dist, max_positions,
                 cash, commission, spread, contract_size, quote, equity):
    """One signal run of candlewright's account, every operation in its order, for numba: the
    arrays are numpy arrays (`exits` may be empty: no exits), the open positions are slots of
    preallocated arrays, oldest first, all of one side. Fills `equity`; returns the final cash."""
    n = len(close)
    has_exits = len(exits) > 0
    p_entry = np.empty(max_positions)
    p_stop = np.empty(max_positions)
    p_target = np.empty(max_positions)
    p_lots = np.empty(max_positions)
    k = 0
    book_long = True
    for i in range(n):
        if k:
            lo, hi = low[i], high[i]
            kept = 0
            for m in range(k):
                stop, target = p_stop[m], p_target[m]
                hit = False
                level = 0.0
                if book_long:
                    if stop == stop and lo <= stop:
                        hit, level = True, stop
                    elif target == target and hi >= target:
                        hit, level = True, target
                else:
                    if stop == stop and hi >= stop:
                        hit, level = True, stop
                    elif target == target and lo <= target:
                        hit, level = True, target
                if hit:
                    if book_long:
                        diff = (level - spread) - p_entry[m]
                    else:
                        diff = p_entry[m] - (level + spread)
                    cash = cash + ((diff * p_lots[m]) * contract_size) * quote
                else:
                    p_entry[kept] = p_entry[m]
                    p_stop[kept] = stop
                    p_target[kept] = target
                    p_lots[kept] = p_lots[m]
                    kept += 1
            k = kept
        c = close[i]
        if has_exits and exits[i] != 0 and k:
            for m in range(k):
                if book_long:
                    diff = (c - spread) - p_entry[m]
                else:
                    diff = p_entry[m] - (c + spread)
                cash = cash + ((diff * p_lots[m]) * contract_size) * quote
            k = 0
        signal = entries[i]
        if signal != 0:
            want_long = side == 1 or (side == 0 and signal > 0)
            if k and book_long != want_long:
                for m in range(k):
                    if book_long:
                        diff = (c - spread) - p_entry[m]
                    else:
                        diff = p_entry[m] - (c + spread)
                    cash = cash + ((diff * p_lots[m]) * contract_size) * quote
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
                k += 1
                cash = cash - commission * lots
        # Open positions are valued at the close itself, no spread.
        open_pnl = -0.0
        for m in range(k):
            if book_long:
                diff = c - p_entry[m]
            else:
                diff = p_entry[m] - c
            open_pnl = open_pnl + ((diff * p_lots[m]) * contract_size) * quote
        equity[i] = open_pnl + cash
    if n:
        c = close[n - 1]
        for m in range(k):
            if book_long:
                diff = (c - spread) - p_entry[m]
            else:
                diff = p_entry[m] - (c + spread)
            cash = cash + ((diff * p_lots[m]) * contract_size) * quote
    return cash


def grid_of(loop):
    """account_loop over the columns of 2-D entries, one after the other, with `loop` (numba
    compiles a function that calls another compiled one it closes over)."""
    def account_grid(high, low, close, entries, side, lots, stop_dist, tp_dist, cash,
                     commission, spread, contract_size, quote, equity):
        sets = entries.shape[1]
        finals = np.empty(sets)
        no_exits = np.empty(0, dtype=np.int8)
        for j in range(sets):
            finals[j] = loop(high, low, close, entries[:, j], no_exits, side, lots, stop_dist,
                             tp_dist, 1, cash, commission, spread, contract_size, quote, equity)
        return finals
    return account_grid


def python_loop(high, low, close, entries, exits, side, lots, stop_dist, tp_dist, max_positions,
                cash, commission, spread, contract_size, quote):
    """account_loop written lean for the interpreter: lists of floats in, the open positions as
    [entry, stop, target, lots] lists. Returns (final cash, equity list)."""
    equity = []
    book, book_long = [], True
    has_stop, has_target = stop_dist == stop_dist, tp_dist == tp_dist
    scale = contract_size
    for i, c in enumerate(close):
        if book:
            lo, hi = low[i], high[i]
            kept = []
            for position in book:
                entry, stop, target, size = position
                if book_long:
                    if has_stop and lo <= stop:
                        cash = cash + ((((stop - spread) - entry) * size) * scale) * quote
                    elif has_target and hi >= target:
                        cash = cash + ((((target - spread) - entry) * size) * scale) * quote
                    else:
                        kept.append(position)
                else:
                    if has_stop and hi >= stop:
                        cash = cash + (((entry - (stop + spread)) * size) * scale) * quote
                    elif has_target and lo <= target:
                        cash = cash + (((entry - (target + spread)) * size) * scale) * quote
                    else:
                        kept.append(position)
            book = kept
        if exits is not None and exits[i] and book:
            cash = _close_all(book, book_long, c, cash, spread, scale, quote)
            book = []
        signal = entries[i]
        if signal:
            want_long = side == 1 or (side == 0 and signal > 0)
            if book and book_long != want_long:
                cash = _close_all(book, book_long, c, cash, spread, scale, quote)
                book = []
            if len(book) < max_positions:
                book_long = want_long
                if want_long:
                    book.append([c + spread, c - stop_dist, c + tp_dist, lots])
                else:
                    book.append([c - spread, c + stop_dist, c - tp_dist, lots])
                cash = cash - commission * lots
        if book:
            open_pnl = -0.0
            if book_long:
                for entry, _, _, size in book:
                    open_pnl = open_pnl + (((c - entry) * size) * scale) * quote
            else:
                for entry, _, _, size in book:
                    open_pnl = open_pnl + (((entry - c) * size) * scale) * quote
            equity.append(open_pnl + cash)
        else:
            equity.append(-0.0 + cash)
    if close:
        cash = _close_all(book, book_long, close[-1], cash, spread, scale, quote)
    return cash, equity


def _close_all(book, book_long, c, cash, spread, scale, quote):
    for entry, _, _, size in book:
        diff = (c - spread) - entry if book_long else entry - (c + spread)
        cash = cash + ((diff * size) * scale) * quote
    return cash


class Signals:
    """The same rules as a candlewright strategy, a Python call per bar: the reference the loops
    are checked against, and the cost of reading precomputed signals from Python. One instance
    per run (it counts the bars)."""

    def __init__(self, entries, exits=None, side="long", lots=1.0, stop=math.nan,
                 target=math.nan, max_positions=1):
        self.entries = list(entries)
        self.exits = None if exits is None else list(exits)
        self.side, self.lots, self.max_positions = side, lots, max_positions
        self.stop = None if math.isnan(stop) else stop
        self.target = None if math.isnan(target) else target
        self.i = 0

    def next(self, bar, account):
        i = self.i
        self.i = i + 1
        exits = self.exits
        if exits is not None and exits[i] and account.positions:
            account.close_all(bar.close, bar.timestamp)
        signal = self.entries[i]
        if not signal:
            return
        side = self.side
        is_long = signal > 0 if side == "both" else side == "long"
        c, t = bar.close, bar.timestamp
        positions = account.positions
        if positions and positions[0].is_long != is_long:
            account.close_all(c, t)
            positions = account.positions
        if len(positions) < self.max_positions:
            stop, target = self.stop, self.target
            if is_long:
                account.buy(c, self.lots, t, None if stop is None else c - stop,
                            None if target is None else c + target)
            else:
                account.sell(c, self.lots, t, None if stop is None else c + stop,
                             None if target is None else c - target)


# ---------------------------------------------------------------------------------------------
# The check: the loops against candlewright, to the bit


def check_loops(columns, account, cases, jit):
    """Runs every case (keyword arguments of the model) through candlewright with `Signals`,
    through the numba loop and through the Python loop; raises on the first difference of the
    final cash or of the equity curve. Returns the number of cases checked."""
    from candlewright import Backtest

    backtest = Backtest(columns, **account, rules="engine")  # the model the loops reproduce
    h, l, c = columns["high"], columns["low"], columns["close"]
    lists = h.tolist(), l.tolist(), c.tolist()
    model = (account["initial_cash"], account["commission"], account["spread"],
             account["contract_size"], account["quote_to_account"])
    for case in cases:
        entries, exits = case["entries"], case.get("exits")
        side, lots = case.get("side", "long"), case.get("lots", 1.0)
        stop, target = case.get("stop", math.nan), case.get("target", math.nan)
        most = case.get("max_positions", 1)
        result = backtest.run(Signals(entries, exits, side, lots, stop, target, most))
        expected_cash, expected_equity = result.stats.final_cash, list(result.equity)
        outcomes = {}
        if jit is not None:
            equity = np.empty(len(c))
            cash = jit(h, l, c, entries, np.empty(0, np.int8) if exits is None else exits,
                       SIDES[side], lots, stop, target, most, *model, equity)
            outcomes["numba loop"] = cash, equity.tolist()
        outcomes["Python loop"] = python_loop(
            *lists, entries.tolist(), None if exits is None else exits.tolist(), SIDES[side],
            lots, stop, target, most, *model)
        for name, (cash, equity) in outcomes.items():
            if cash != expected_cash or equity != expected_equity:
                first = next((i for i, (a, b) in enumerate(zip(equity, expected_equity))
                              if a != b), None)
                raise AssertionError(
                    f"{name} differs from candlewright ({case.get('name')}): final cash {cash!r} "
                    f"against {expected_cash!r}, first differing equity point {first}")
    return len(cases)


def check_cases(columns, entries):
    """The timed signals, and rules the crossover does not reach: commission, spread and a rate,
    exits, one side, several positions."""
    n = len(entries)
    rng = np.random.default_rng(11)
    random_entries = (rng.random(n) < 0.05).astype(np.int8) * rng.choice([-1, 1], n).astype(
        np.int8)
    random_exits = (rng.random(n) < 0.02).astype(np.int8)
    return [
        {"name": "crossover, both sides, stop and target", "entries": entries, "side": "both",
         "stop": STOP, "target": TARGET},
        {"name": "crossover, no levels", "entries": entries, "side": "both"},
        {"name": "random, long, exits, 3 positions, stop only", "entries": random_entries,
         "exits": random_exits, "side": "long", "stop": STOP, "max_positions": 3, "lots": 0.3},
        {"name": "random, short, exits, 2 positions, target only", "entries": random_entries,
         "exits": random_exits, "side": "short", "target": TARGET, "max_positions": 2},
        {"name": "random, both, 4 positions", "entries": random_entries, "side": "both",
         "stop": 2 * STOP, "target": TARGET, "max_positions": 4, "lots": 2.5},
    ]


# ---------------------------------------------------------------------------------------------
# The tables


def _numba_jit():
    """numba-compiled account_loop and account_grid, or None when numba cannot be imported."""
    try:
        import numba
    except Exception:  # noqa: BLE001  (any failure to import: the table says so)
        return None, None
    loop = numba.njit(account_loop)
    return loop, numba.njit(grid_of(loop))


def _vectorbt():
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import vectorbt
    except Exception:  # noqa: BLE001
        return None
    return vectorbt


def _vectorbt_run(vbt, columns, long_entries, short_entries, stops):
    """Portfolio.from_signals on the same signals, one lot a position, long and short; stops as
    fractions of the close at the entry, which is where the fill is."""
    close = columns["close"]
    kwargs = dict(size=strategies.UNITS, size_type="amount", init_cash=1_000_000.0, fees=0.0,
                  open=columns["open"], high=columns["high"], low=columns["low"])
    if stops:
        kwargs.update(sl_stop=STOP / close, tp_stop=TARGET / close)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return vbt.Portfolio.from_signals(close, long_entries, short_entries=short_entries,
                                          **kwargs)


def single(timer, paired_ratio, make_table, columns, account, repeat):
    """One run on 10^6 bars: every contender in the same rounds."""
    from candlewright import Backtest

    count = len(columns["close"])
    h, l, c = columns["high"], columns["low"], columns["close"]
    entries = crossover_signals(c)
    jit, _ = _numba_jit()
    model = (account["initial_cash"], account["commission"], account["spread"],
             account["contract_size"], account["quote_to_account"])
    # Commission, spread and a rate for the check alone: the timed account has none of them,
    # as vectorbt's run has none.
    checked = check_loops(columns, account, check_cases(columns, entries)[:2], jit)
    head = {name: values[:50_000] for name, values in columns.items()}
    checked += check_loops(head, dict(account, commission=7.0, spread=0.0002,
                                      quote_to_account=0.9),
                           check_cases(head, entries[:50_000]), jit)
    lists = h.tolist(), l.tolist(), c.tolist()
    entry_list = entries.tolist()
    backtest = Backtest(columns, **account, rules="engine")  # the model the loops reproduce
    figures, contenders, notes = {}, {}, []
    no_exits = np.empty(0, np.int8)
    equity = np.empty(count)

    def keep(name, function):
        def once():
            figures[name] = function()
        contenders[name] = once

    keep("signals: numpy, from the closes", lambda: int(np.count_nonzero(crossover_signals(c))))
    if jit is not None:
        jit(h[:100], l[:100], c[:100], entries[:100], no_exits, 0, LOTS, STOP, TARGET, 1, *model,
            equity[:100])  # compiles it
        keep("numba loop, stop and target", lambda: jit(h, l, c, entries, no_exits, 0, LOTS, STOP,
                                                        TARGET, 1, *model, equity))
        keep("numba loop, no levels", lambda: jit(h, l, c, entries, no_exits, 0, LOTS, math.nan,
                                                  math.nan, 1, *model, equity))
    else:
        notes.append("numba is not installed: its loop was not timed.")
    keep("Python loop, stop and target", lambda: python_loop(
        *lists, entry_list, None, 0, LOTS, STOP, TARGET, 1, *model)[0])
    keep("Backtest.run, Python next reading the signals", lambda: backtest.run(
        Signals(entries, None, "both", LOTS, STOP, TARGET)).stats.final_cash)
    keep("Backtest.run(SmaCross), averages in Python", lambda: backtest.run(
        strategies.smacross()).stats.final_cash)
    if hasattr(Backtest, "run_signals"):
        try:
            native = backtest.run_signals(entries, side="both", lots=LOTS, stop_loss=STOP,
                                          take_profit=TARGET)
        except Exception as error:  # noqa: BLE001  (built in part: say how it fails)
            notes.append(f"Backtest.run_signals failed: {type(error).__name__}: {error}")
        else:
            reference = backtest.run(Signals(entries, None, "both", LOTS, STOP, TARGET))
            same = (native.stats.final_cash == reference.stats.final_cash
                    and list(native.equity) == list(reference.equity))
            notes.append("Backtest.run_signals gives " + ("the same final cash and equity curve "
                         "as" if same else "a different result from") + " Backtest.run with the "
                         "Python next, to the bit.")
            keep(OURS, lambda: backtest.run_signals(
                entries, side="both", lots=LOTS, stop_loss=STOP,
                take_profit=TARGET).stats.final_cash)
            keep('Backtest.run_signals, keep="all", no levels', lambda: backtest.run_signals(
                entries, side="both", lots=LOTS).stats.final_cash)
    else:
        notes.append("Backtest.run_signals: not built.")
    vbt = _vectorbt()
    if vbt is not None:
        long_entries, short_entries = entries > 0, entries < 0
        for stops in (True, False):  # compiles both
            _vectorbt_run(vbt, {k: v[:100] for k, v in columns.items()}, long_entries[:100],
                          short_entries[:100], stops).final_value()
        for stops, label in ((True, "stop and target"), (False, "no levels")):
            keep(f"vectorbt from_signals, {label}", lambda stops=stops: float(_vectorbt_run(
                vbt, columns, long_entries, short_entries, stops).final_value()))
    else:
        notes.append("vectorbt is not installed: its run was not timed.")
    # Each repetition's contenders run back to back, in an order that rotates.
    times = timer.times(contenders, repeat)
    base = "numba loop, stop and target" if jit is not None else None
    ours = OURS if OURS in times else None
    rows = []
    for name in contenders:
        row = [name, f"{min(times[name]) / count:,.1f}"]
        row.append(f"{paired_ratio(times, name, base):.2f}x" if base else "")
        row.append(f"{paired_ratio(times, name, ours):.2f}x" if ours else "")
        figure = figures[name]
        row.append(f"{figure:,}" if isinstance(figure, int) else f"{figure:,.2f}")
        rows.append(row)
    text = make_table([f"crossover on {count:,} bars", "ns/bar", "/ numba loop", "/ run_signals",
                       "final cash (signals: their count)"], rows)
    if vbt is not None:
        portfolio = _vectorbt_run(vbt, columns, entries > 0, entries < 0, True)
        ours_trades = len(backtest.run(Signals(entries, None, "both", LOTS, STOP, TARGET)).trades)
        notes.append(f"vectorbt {vbt.__version__}: {int(portfolio.trades.count()):,} trades with "
                     f"stop and target, against {ours_trades:,} in candlewright's account.")
    text += "\n\n" + textwrap.fill(
        f"Elapsed time, {repeat} round{'s' * (repeat != 1)}; ns/bar: the best round; ratios: "
        "the median of the ratios within rounds, against the numba loop and run_signals with "
        "stop and target. The signals, int8 +1/-1 at the crosses of the 10- and 40-bar "
        "averages of the "
        f"close ({int(np.count_nonzero(entries)):,} of them), are computed once with numpy and "
        "shared; the Python loop gets the bars and signals as lists made beforehand. One lot a "
        "position, at most one open, 1,000,000 of cash, no commission or spread, stop-loss "
        f"{STOP:g} and take-profit {TARGET:g} from the close. The "
        + ("numba and Python loops reproduce" if jit is not None else "Python loop reproduces")
        + " candlewright's account to the bit: final cash and equity curve were checked against "
        f"Backtest.run in {checked} cases (with commission, spread and a rate, exits, one side, "
        "several positions) before the timing."
        + (" vectorbt's figure is Portfolio.final_value(), computed in the timed call. "
           if vbt is not None else " ") + " ".join(notes), 100)
    return text


def grid(timer, paired_ratio, make_table, columns, account, repeat):
    """64 parameter sets on 10^5 bars, the signals included."""
    from candlewright import Backtest

    count = len(columns["close"])
    h, l, c = columns["high"], columns["low"], columns["close"]
    sets = len(GRID_FAST) * len(GRID_SLOW)
    model = (account["initial_cash"], account["commission"], account["spread"],
             account["contract_size"], account["quote_to_account"])
    backtest = Backtest(columns, **account, rules="engine")  # the model the loops reproduce
    figures, contenders, notes = {}, {}, []

    def keep(name, function):
        def once():
            figures[name] = function()
        contenders[name] = once

    keep("signals alone: numpy", lambda: int(np.count_nonzero(grid_signals(c))))
    _, jit_grid = _numba_jit()
    if jit_grid is not None:
        equity = np.empty(count)
        jit_grid(h[:200], l[:200], c[:200], grid_signals(c[:200]), 0, LOTS, STOP, TARGET,
                 *model, equity)  # compiles it
        keep("numpy signals + numba loop, set after set", lambda: float(jit_grid(
            h, l, c, grid_signals(c), 0, LOTS, STOP, TARGET, *model, equity).sum()))
    if hasattr(Backtest, "run_signals"):
        try:
            backtest.run_signals(grid_signals(c), side="both", keep="figures", threads=1)
        except Exception as error:  # noqa: BLE001
            notes.append(f"Backtest.run_signals on 2-D signals failed: {type(error).__name__}: "
                         f"{error}")
        else:
            for threads in (1, 2):
                keep(f"numpy signals + run_signals, threads={threads}",
                     lambda threads=threads: sum(s.final_cash for s in backtest.run_signals(
                         grid_signals(c), side="both", lots=LOTS, stop_loss=STOP,
                         take_profit=TARGET, threads=threads, keep="figures")))
    else:
        notes.append("Backtest.run_signals: not built.")
    if hasattr(Backtest, "run_sets"):
        from candlewright import SignalStrategy

        # The other way to run a grid: a function of one set's parameters, whose numpy work
        # (which gives up the interpreter lock) runs on the threads beside the other sets' runs.
        sums = np.concatenate(([0.0], np.cumsum(c)))

        def one_set(fast, slow):
            def average(window):
                out = np.full(count, np.nan)
                out[window - 1:] = (sums[window:] - sums[:-window]) / window
                return out
            return SignalStrategy(cross_signals(average(fast), average(slow)), side="both",
                                  lots=LOTS, stop_loss=STOP, take_profit=TARGET)

        params = [{"fast": f, "slow": s} for f in GRID_FAST for s in GRID_SLOW]
        for threads in (1, 2):
            keep(f"signals per set + run_sets, threads={threads}",
                 lambda threads=threads: sum(s.final_cash for s in backtest.run_sets(
                     one_set, params, threads=threads, keep="figures")))
    vbt = _vectorbt()
    if vbt is not None:
        import pandas as pd

        close = pd.Series(c)
        fasts = [f for f in GRID_FAST for _ in GRID_SLOW]
        slows = [s for _ in GRID_FAST for s in GRID_SLOW]

        def vectorbt_grid(close=close, columns=columns):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                fast = vbt.MA.run(close, fasts, short_name="fast")
                slow = vbt.MA.run(close, slows, short_name="slow")
                long_entries = fast.ma_crossed_above(slow)
                short_entries = fast.ma_crossed_below(slow)
                stop = (STOP / close).to_numpy()[:, None]
                target = (TARGET / close).to_numpy()[:, None]
                portfolio = vbt.Portfolio.from_signals(
                    close, long_entries, short_entries=short_entries, size=strategies.UNITS,
                    size_type="amount", init_cash=1_000_000.0, fees=0.0,
                    open=columns["open"][:, None], high=columns["high"][:, None],
                    low=columns["low"][:, None], sl_stop=stop, tp_stop=target)
                return float(portfolio.final_value().sum())

        vectorbt_grid(pd.Series(c[:300]), {k: v[:300] for k, v in columns.items()})
        keep("vectorbt: MA.run, crossed_above/below, one from_signals", vectorbt_grid)
    else:
        notes.append("vectorbt is not installed: its grid was not timed.")
    times = timer.times(contenders, repeat)
    base = next((name for name in contenders if name.startswith("vectorbt")), None)
    rows = []
    for name in contenders:
        per_set_bar = min(times[name]) / count / sets
        rows.append([name, f"{min(times[name]) / 1e6:,.1f}", f"{per_set_bar:,.2f}",
                     f"{paired_ratio(times, name, base):.2f}x" if base else "",
                     f"{figures[name]:,}" if isinstance(figures[name], int)
                     else f"{figures[name] / sets:,.2f}"])
    text = make_table([f"{sets} sets x {count:,} bars", "ms", "ns per set and bar",
                       "/ vectorbt", "mean final cash (signals: their count)"], rows)
    speedups = [f"{way} {paired_ratio(times, f'{way}, threads=1', f'{way}, threads=2'):.2f}x"
                for way in ("numpy signals + run_signals", "signals per set + run_sets")
                if f"{way}, threads=2" in times]
    if speedups:
        notes.append("Two threads against one (the median of the ratios within rounds): "
                     + ", ".join(speedups) + ".")
    text += "\n\n" + textwrap.fill(
        f"Fast windows {', '.join(map(str, GRID_FAST))} by slow windows "
        f"{', '.join(map(str, GRID_SLOW))}, both sides, stop-loss {STOP:g} and take-profit "
        f"{TARGET:g}, one lot. Elapsed time, {repeat} round{'s' * (repeat != 1)}: the best, and "
        "the median of the ratios within rounds. Every contender computes its signals in the "
        "timed call: ours "
        "from one cumulative sum per distinct window with numpy, vectorbt's with its MA "
        "indicator, whose averages differ in the last bits, so a near tie may fall the other "
        "way and the mean final cash differ a little. run_signals keeps figures only "
        "(keep=\"figures\"); vectorbt keeps its order records and computes each column's final "
        "value. " + " ".join(notes), 100)
    return text


VECTORBT_NOTES = [
    "Stops are fractions of the entry price in vectorbt; it gets STOP / close and TARGET / close "
    "per bar, so its levels are ours up to the last bits.",
    "vectorbt executes one order per bar and column: a bar whose stop or target closes a "
    "position ignores that bar's signal, where candlewright closes at the level and then acts "
    "on the signal at the close, so it may open again on the same bar.",
    "A stop that the bar's open has already passed fills at the open in vectorbt "
    "(StopExitPrice.StopLimit), at the level in candlewright; these bars open at the previous "
    "close, so no bar gaps.",
    "Both check the stop-loss before the take-profit when one bar reaches both.",
    "vectorbt's cash moves by size times price at each fill, ours by the trade's profit, "
    "((diff * lots) * contract_size) * rate: the same sums rounded differently.",
    "vectorbt has no spread (slippage is a fraction of the price) and no rate to an account "
    "currency; none is used here.",
]


def measure(timer, paired_ratio, make_table, rows, grid_count, repeat):
    """Both tables and what differs from vectorbt, as Markdown. `rows`: run.synthetic_rows."""
    from run import ACCOUNT  # beside this file

    columns = columns_of(rows)
    parts = [single(timer, paired_ratio, make_table, columns, ACCOUNT, repeat),
             grid(timer, paired_ratio, make_table,
                  {k: v[:grid_count] for k, v in columns.items()}, ACCOUNT, repeat)]
    if _vectorbt() is not None:
        parts.append("What differs in vectorbt's model:\n\n" + "\n".join(
            "- " + textwrap.fill(note, 98, subsequent_indent="  ") for note in VECTORBT_NOTES))
    return "\n\n".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes, one round: a smoke test of the script, not a "
                             "measurement")
    args = parser.parse_args()
    import run  # beside this file: its bars, timer and table

    count, grid_count, repeat = (5_000, 2_000, 1) if args.quick else (1_000_000, 100_000, 7)
    rows = list(run.synthetic_rows(count))
    print(measure(run.Timer(time.perf_counter_ns), run.paired_ratio, run.table, rows,
                  grid_count, repeat))


if __name__ == "__main__":
    main()
