"""Many signal sets in one pass: the sets go through the bars in blocks, over blocks of bars, on
threads, reading a grid in either memory order; every set's result is its run alone, to the bit,
whatever the blocking, and a figures-only run's figures are a full run's."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from candlewright import Backtest
from test_signal_runs import EUR, OPTIONS, fingerprint, walk

# Longer than a block of bars (1,024), with trades enough for a figures-only run to tally
# its journal away more than once.
N = 3000
DATA = walk(N, 11)


def grid(seed, sets, density):
    rng = np.random.default_rng(seed)
    p = [density / 2, 1 - density, density / 2]
    return rng.choice(np.array([-1, 0, 1], np.int8), (N, sets), p=p)


def per_set(seed, sets, nan_share=0.2):
    rng = np.random.default_rng(seed)
    values = rng.random((N, sets)) * 0.006 + 0.0005
    values[rng.random((N, sets)) < nan_share] = np.nan
    return values


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**31), sets=st.integers(1, 40), threads=st.integers(1, 3),
       order=st.sampled_from("CF"), side=st.sampled_from(["long", "short", "both"]),
       max_positions=st.integers(1, 3), options=st.sampled_from(OPTIONS),
       density=st.floats(0.02, 0.5), stops=st.sampled_from(["shared", "per set", "none"]),
       with_exits=st.booleans())
def test_each_set_of_a_grid_is_its_run_alone(seed, sets, threads, order, side, max_positions,
                                             options, density, stops, with_exits):
    bt = Backtest(DATA, *EUR, **options)
    entries = np.asarray(grid(seed, sets, density), order=order)
    exits = np.asarray(grid(seed + 1, sets, density / 3), order=order) if with_exits else None
    stop = {"shared": 0.003, "per set": per_set(seed, sets), "none": None}[stops]
    lots = np.random.default_rng(seed).random(sets) + 0.1
    lots_grid = np.asarray(np.broadcast_to(lots, (N, sets)), order=order)
    kw = dict(side=side, max_positions=max_positions, take_profit=0.005)
    try:
        together = bt.run_signals(entries, exits, lots=lots_grid, stop_loss=stop,
                                  threads=threads, **kw)
    except ValueError as exc:  # an order the account refuses: the same one alone
        with pytest.raises(ValueError, match="refuse|margin|free"):
            for k in range(sets):
                bt.run_signals(entries[:, k], None if exits is None else exits[:, k],
                               lots=float(lots[k]), stop_loss=stop if stops != "per set"
                               else stop[:, k].copy(), **kw)
        return
    figures = bt.run_signals(entries, exits, lots=lots_grid, stop_loss=stop, threads=threads,
                             keep="figures", **kw)
    for k in range(sets):
        alone = bt.run_signals(np.ascontiguousarray(entries[:, k]),
                               None if exits is None else np.ascontiguousarray(exits[:, k]),
                               lots=float(lots[k]),
                               stop_loss=stop[:, k].copy() if stops == "per set" else stop, **kw)
        assert fingerprint(together[k]) == fingerprint(alone), k
        assert repr(figures[k]) == repr(alone.stats), k


def test_both_memory_orders_and_any_thread_count_agree():
    entries = grid(5, 64, 0.08)
    bt = Backtest(DATA, *EUR)
    kw = dict(side="both", stop_loss=0.003, take_profit=0.006, keep="figures")
    runs = [bt.run_signals(np.asarray(entries, order=o), threads=t, **kw)
            for o in "CF" for t in (1, 2, 5)]
    first = [repr(s) for s in runs[0]]
    assert all([repr(s) for s in run] == first for run in runs[1:])
    assert sum(s.num_trades for s in runs[0]) > 64 * 256 // 8  # the tally ran


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name, dtype", [("entries", np.float64), ("exits", np.float64),
                                         ("take_profit", None)])
def test_a_bad_value_deep_in_a_grid_names_its_set_and_bar(threads, name, dtype):
    bt = Backtest(DATA, *EUR)
    entries = grid(2, 20, 0.05).astype(np.float64)
    args = {"entries": entries, "exits": np.zeros((N, 20)), "take_profit": 0.004}
    if name == "take_profit":
        args[name] = np.full((N, 20), 0.004)
        args[name][2500, 13] = np.nan  # a level may be NaN: no level, no error
        bt.run_signals(**args, threads=threads, keep="figures")
        return
    args[name][2500, 13] = np.nan
    with pytest.raises(ValueError, match=rf"{name} at bar 2500, set 13\)"):
        bt.run_signals(**args, threads=threads, keep="figures")


@pytest.mark.parametrize("raw", [[0, 1, 2, 255, 128], [0, 1, 0, 1, 1]])
def test_signal_bytes_read_in_place_keep_their_meaning(raw):
    """int8 and boolean columns are read where they lie; a boolean's byte over 1 (made through a
    view) is still true, that is a long entry, never a short one."""
    rng = np.random.default_rng(9)
    bytes_ = np.zeros(N, np.uint8)
    bytes_[rng.choice(N, 200, replace=False)] = rng.choice(raw, 200)
    as_bool = bytes_.view(bool)
    bt = Backtest(DATA, *EUR)
    kw = dict(side="both", stop_loss=0.003, take_profit=0.005)
    expected = fingerprint(bt.run_signals((bytes_ != 0).astype(np.float64), **kw))
    assert fingerprint(bt.run_signals(as_bool, **kw)) == expected
    signed = rng.choice(np.array([-100, -1, 0, 0, 0, 0, 3, 127], np.int8), N)
    assert fingerprint(bt.run_signals(signed, **kw)) == fingerprint(
        bt.run_signals(np.sign(signed).astype(np.float64), **kw))
    grid = np.asfortranarray(np.stack([signed, -signed], axis=1))
    assert [fingerprint(r) for r in bt.run_signals(grid, **kw)] == [
        fingerprint(bt.run_signals(np.sign(c).astype(np.float64), **kw)) for c in grid.T]
