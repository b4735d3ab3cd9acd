"""Recipes: a grid of crossing rules run natively in one call equals the same sets run as arrays
made with `ta`, to the bit, however it is run (run_recipe, run_sets, sweep, walk_forward, the
Python strategy); bad recipes and bad calls are refused with the reason."""
import array
import math
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from candlewright import Backtest, Cross, SignalStrategy, Strategy, sweep, ta, walk_forward
from candlewright.signals import check_arguments
from conftest import leak_check, requires_debug_build
from test_signal_runs import EUR, OPTIONS, fingerprint, walk

N = 400
DATA = walk(N, 7)
ACCOUNT = dict(initial_cash=EUR[0], commission=EUR[1], spread=EUR[2], contract_size=EUR[3],
               quote_to_account=EUR[4])


def line(kind, value, close):
    if kind == "close":
        return close
    if kind == "level":
        return np.full(len(close), float(value))
    return {"sma": ta.sma, "ema": ta.ema}[kind](close, value)


def as_arrays(recipe, params, close):
    """The run_signals arguments of one set, from ta's arrays: what the recipe must equal."""
    f = line(recipe.fast, params.get("fast"), close)
    s = line(recipe.slow, params["slow"], close)
    up, down = ta.crossover(f, s), ta.crossunder(f, s)
    if recipe.side == "both":
        entries, exits = up.astype(np.int8) - down.astype(np.int8), None
    else:
        entries, exits = (up, down) if recipe.side == "long" else (down, up)
    return dict(entries=entries, exits=exits, side=recipe.side, lots=params.get("lots", 1.0),
                stop_loss=params.get("stop_loss"), take_profit=params.get("take_profit"),
                max_positions=recipe.max_positions)


def mean_close(data=DATA):
    return float(np.mean(data["close"]))


def a_set(draw, recipe, close):
    params = {"slow": (round(float(np.quantile(close, draw(st.floats(0.2, 0.8)))), 4)
                       if recipe.slow == "level" else draw(st.integers(2, 60)))}
    if recipe.fast != "close":
        params["fast"] = draw(st.integers(1, 30))
    for name in ("stop_loss", "take_profit"):
        params[name] = draw(st.one_of(st.none(), st.floats(0.0005, 0.01)))
    params["lots"] = draw(st.sampled_from([0.1, 1.0, 2.5]))
    return params


@st.composite
def grids(draw):
    recipe = Cross(draw(st.sampled_from(["sma", "ema", "close"])),
                   draw(st.sampled_from(["sma", "ema", "level"])),
                   side=draw(st.sampled_from(["long", "short", "both"])),
                   max_positions=draw(st.integers(1, 3)))
    seed = draw(st.integers(0, 500))
    close = walk(N, seed)["close"]
    sets = [a_set(draw, recipe, close) for _ in range(draw(st.integers(1, 6)))]
    return recipe, seed, sets


@settings(max_examples=60, deadline=None)
@given(grid=grids(), options=st.sampled_from(OPTIONS), threads=st.integers(1, 3))
def test_a_recipe_grid_is_its_sets_run_as_arrays(grid, options, threads):
    recipe, seed, sets = grid
    data = walk(N, seed)
    bt = Backtest(data, *EUR, **options)
    expected = []
    for params in sets:
        try:
            expected.append(fingerprint(bt.run_signals(**as_arrays(recipe, params,
                                                                   data["close"]))))
        except ValueError as exc:  # the account's rules refused an order
            expected.append(str(exc).split(": ", 1)[1])
    try:
        ran = bt.run_recipe(recipe, sets, threads=threads)
    except ValueError as exc:
        assert any(isinstance(e, str) and e in str(exc) for e in expected)
        return
    assert [p for p, _ in ran] == sets
    assert [fingerprint(r) for _, r in ran] == expected
    figures = bt.run_recipe(recipe, sets, threads=threads, keep="figures")
    assert [repr(s) for _, s in figures] == [e[0] for e in expected]


@pytest.mark.parametrize("side", ["long", "short", "both"])
@pytest.mark.parametrize("fast, slow, params", [
    ("sma", "sma", {"fast": 5, "slow": 20}),
    ("ema", "sma", {"fast": 8, "slow": 30, "stop_loss": 0.002}),
    ("close", "ema", {"slow": 12, "take_profit": 0.003}),
    ("sma", "level", {"fast": 3, "slow": "mean", "lots": 0.5}),
])
def test_every_path_runs_the_same_set(side, fast, slow, params):
    if params["slow"] == "mean":
        params = dict(params, slow=mean_close())
    recipe = Cross(fast, slow, side=side)
    bt = Backtest(DATA, *EUR)
    expected = fingerprint(bt.run_signals(**as_arrays(recipe, params, DATA["close"])))
    assert fingerprint(bt.run(recipe(**params))) == expected  # in Python, bar by bar
    assert [fingerprint(r) for r in bt.run_sets(recipe, [params, params])] == [expected] * 2
    assert fingerprint(bt.run_recipe(recipe, [params])[0][1]) == expected
    assert expected[1] != fingerprint(Backtest(DATA, *EUR).run_signals(np.zeros(N)))[1], \
        "the set should trade"


def test_lines_are_shared_and_grids_expand_in_sweep_order():
    bt = Backtest(walk(3000), *EUR)
    grid = {"fast": [3, 5, 8], "slow": [13, 21], "stop_loss": [None, 0.004]}
    ran = bt.run_recipe(Cross("ema", "ema", side="both"), grid, threads=2)
    assert [p for p, _ in ran] == [{"fast": f, "slow": s, "stop_loss": x} for f in (3, 5, 8)
                                   for s in (13, 21) for x in (None, 0.004)]
    alone = [fingerprint(bt.run_recipe(Cross("ema", "ema", side="both"), [p],
                                       threads=1)[0][1]) for p, _ in ran]
    assert [fingerprint(r) for _, r in ran] == alone


def equivalent_factory(recipe, close):
    return lambda **params: SignalStrategy(**as_arrays(recipe, params, close))


def test_a_sweep_of_a_recipe_is_the_sweep_of_its_arrays():
    bars = Backtest(DATA, *EUR).bars()
    recipe = Cross("sma", "ema", side="long")
    grid = {"fast": [2, 4, 6], "slow": [10, 25], "take_profit": [None, 0.004]}
    native = sweep(recipe, grid, bars, max_workers=2, progress=False, maximize="sharpe",
                   **ACCOUNT)
    arrays = sweep(equivalent_factory(recipe, DATA["close"]), grid, bars, max_workers=2,
                   progress=False, maximize="sharpe", **ACCOUNT)
    assert [r.params for r in native] == [r.params for r in arrays]
    assert [r.figures for r in native] == [r.figures for r in arrays]
    assert [repr(r.metrics) for r in native] == [repr(r.metrics) for r in arrays]
    assert native.best == arrays.best
    assert fingerprint(native.best_result) == fingerprint(arrays.best_result)


def test_a_set_that_fails_fails_alone_in_a_sweep():
    bars = Backtest(DATA, *EUR).bars()
    results = sweep(Cross(), {"fast": [3], "slow": [20, N + 1, 30]}, bars, progress=False,
                    **ACCOUNT)
    assert [r.ok for r in results] == [True, False, True]
    assert "longer than the 400 bars" in results[1].error.message
    alone = sweep(Cross(), {"fast": [3], "slow": [20, 30]}, bars, progress=False, **ACCOUNT)
    assert [r.figures for r in alone] == [results[0].figures, results[2].figures]


class OnItsWindow(SignalStrategy):
    """A set's arrays made from the closes of the bars it runs on, whichever way it runs."""

    def __init__(self, recipe, **params):
        Strategy.__init__(self)
        self.recipe, self.params = recipe, params
        self.side, self.max_positions = recipe.side, recipe.max_positions

    def init(self):
        self._arguments = check_arguments(**as_arrays(self.recipe, self.params,
                                                      np.asarray(self.data.close)))
        super().init()

    def _run_natively(self, backtest, keep):
        return backtest.run_signals(**as_arrays(self.recipe, self.params,
                                                np.asarray(backtest.column("close"))), keep=keep)


def test_walk_forward_with_a_recipe_is_walk_forward_with_its_arrays():
    data = walk(1200, 11)
    bars = Backtest(data, *EUR).bars()
    recipe = Cross("ema", "sma", side="both")
    grid = {"fast": [3, 6], "slow": [15, 30], "stop_loss": [0.003]}
    kw = dict(train=400, test=200, maximize="final_cash", progress=False, **ACCOUNT)
    native = walk_forward(recipe, grid, bars, **kw)
    arrays = walk_forward(lambda **params: OnItsWindow(recipe, **params), grid, bars, **kw)
    assert [w.params for w in native.windows] == [w.params for w in arrays.windows]
    assert len({repr(w.params) for w in native.windows}) > 1, "the windows should choose"
    assert [float.hex(x) for x in native.equity] == [float.hex(x) for x in arrays.equity]
    assert [fingerprint(w.out_of_sample) for w in native.windows] == \
        [fingerprint(w.out_of_sample) for w in arrays.windows]


@pytest.mark.parametrize("make, error, match", [
    (lambda: Cross("wma"), ValueError, "fast must be one of 'sma', 'ema', 'close'"),
    (lambda: Cross("sma", "close"), ValueError, "slow must be one of"),
    (lambda: Cross(side="sideways"), ValueError, "side must be one of"),
    (lambda: Cross(max_positions=0), ValueError, "max_positions"),
    (lambda: Cross()(fast=5), TypeError, "needs the parameter 'slow'"),
    (lambda: Cross()(fast=5, slow=20, stop=1), TypeError, "takes no parameter 'stop'"),
    (lambda: Cross("close", "sma")(fast=5, slow=20), TypeError, "takes no parameter 'fast'"),
    (lambda: Cross()(fast=0, slow=20), ValueError, "fast: a window must be a whole number"),
    (lambda: Cross()(fast=2.5, slow=20), ValueError, "a window must be a whole number"),
    (lambda: Cross()(fast="5", slow=20), TypeError, "fast must be a number"),
    (lambda: Cross()(fast=True, slow=20), TypeError, "fast must be a number"),
    (lambda: Cross()(fast=5, slow=20, lots=0), ValueError, "lots must be positive"),
    (lambda: Cross("sma", "level")(fast=5, slow=math.inf), ValueError, "finite price"),
    (lambda: Backtest(DATA, *EUR).run_recipe(Cross(), {"fast": [5], "slow": [N + 1]}),
     ValueError, "slow: a window of 401 bars is longer than the 400 bars"),
    (lambda: Backtest(DATA, *EUR).run_recipe(lambda **p: None, {"fast": [5]}), TypeError,
     "recipe must be a Cross"),
    (lambda: Backtest(DATA, *EUR).run_recipe(Cross(), {"fast": [5], "slow": [9]}, keep="x"),
     ValueError, "keep must be"),
    (lambda: Backtest(DATA, *EUR).run_recipe(Cross(), {"fast": [5], "slow": [9]}, threads=0),
     ValueError, "threads"),
], ids=["unknown fast", "unknown slow", "side", "max_positions", "missing", "unknown param",
        "close has no window", "window 0", "fractional window", "text", "bool", "lots",
        "level", "longer than the bars", "not a recipe", "keep", "threads"])
def test_bad_recipes_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()


def test_whole_floats_are_windows():
    bt = Backtest(DATA, *EUR)
    as_float = bt.run_recipe(Cross(), {"fast": [5.0], "slow": [20.0]})[0][1]
    assert fingerprint(as_float) == fingerprint(bt.run_recipe(Cross(), {"fast": [5],
                                                                        "slow": [20]})[0][1])


@pytest.mark.parametrize("args, error, match", [
    (([(1, 5.0)], [(0, 0, 1.0, math.nan, math.nan)]), None, None),
    (("lines", ()), TypeError, "lines must be a tuple or list"),
    (([(1, 5.0, 3)], ()), TypeError, r"lines\[0\] must be a tuple of 2"),
    (([7], ()), TypeError, r"lines\[0\] must be a tuple of 2"),
    (([(9, 5.0)], ()), ValueError, "kind must be"),
    (([(-1, 5.0)], ()), (ValueError, OverflowError), None),
    (([(1, 0.0)], ()), ValueError, "window must be a whole number"),
    (([(2, math.nan)], ()), ValueError, "window must be a whole number"),
    (([(1, 1e300)], ()), ValueError, "longer than the 400 bars"),
    (([(3, math.inf)], ()), ValueError, "finite price"),
    (([(1, "x")], ()), TypeError, "value"),
    (([(1, 5.0)], [(0, 1, 1.0, 0.0, 0.0)]), ValueError, "line index"),
    (([(1, 5.0)], [(0, 0, 0.0, 0.0, 0.0)]), ValueError, "lots must be positive"),
    (([(1, 5.0)], [(0, 0, math.nan, 0.0, 0.0)]), ValueError, "lots must be positive"),
    (([(1, 5.0)], [(0, 0, 1.0)]), TypeError, r"sets\[0\] must be a tuple of 5"),
    (([(1, 5.0)], [(None, 0, 1.0, 0.0, 0.0)]), TypeError, "fast"),
], ids=["fine", "not rows", "wide line", "not a row", "kind", "negative kind", "window 0",
        "NaN window", "huge window", "infinite level", "text", "index", "lots 0", "lots NaN",
        "short set", "None"])
def test_the_native_call_refuses_what_it_cannot_run(args, error, match):
    runner = Backtest(DATA, *EUR)._runner
    lines, sets = args
    call = lambda: runner.run_recipe(lines, sets, 0, True, 1, 2, True)  # noqa: E731
    if error is None:
        assert len(call()) == len(sets)
    else:
        with pytest.raises(error, match=match):
            call()


def test_a_list_changed_while_it_is_read_is_read_as_it_was():
    class Shrinking:
        def __float__(self):
            rows.clear()
            return 5.0

    rows = [(1, Shrinking()), (1, 6.0)]
    runner = Backtest(DATA, *EUR)._runner
    assert len(runner.run_recipe(rows, [(0, 1, 1.0, math.nan, math.nan)], 2, False, 1, 1,
                                 False)) == 1



def test_the_readme_example_prints_what_it_says():
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
    section = readme.split("### Recipes\n", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    said = [line.split("  # ", 1)[1].strip() for line in code.splitlines()
            if line.startswith("print(") and "  # " in line]
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.splitlines() == said


@requires_debug_build
def test_recipe_runs_leak_nothing():
    # array.array, not numpy: numpy's own calls leave references behind on a debug interpreter.
    data = {k: array.array("q" if k == "timestamp" else "d", v.tolist()) for k, v in DATA.items()}
    runner = Backtest(data, *EUR)._runner
    lines = [(1, 5.0), (2, 20.0), (0, 0.0), (3, 1.1)]
    sets = [(0, 1, 1.0, 0.002, math.nan), (2, 1, 0.5, math.nan, 0.003),
            (0, 3, 1.0, math.nan, math.nan)]

    def tour():
        runner.run_recipe(lines, sets, 2, False, 1, 2, True)
        runner.run_recipe(tuple(lines), tuple(sets), 0, True, 2, 1, False)
        for bad_lines, bad_sets in (([(1, 0.0)], []), (lines, [(9, 0, 1.0, 0.0, 0.0)]),
                                    (lines, [(0, 1, "x", 0.0, 0.0)])):
            with pytest.raises((TypeError, ValueError)):
                runner.run_recipe(bad_lines, bad_sets, 0, True, 1, 1, True)

    leak_check(tour, repeat=20)
