"""Exits resolved inside the bars: finer data that is the bars themselves changes nothing; M1
bars (or ticks) under H1 decide which of a bar's levels came first, move trailing stops and fill
orders step by step; a bar the finer data does not account for falls back to the bar rules."""
import warnings

import numpy as np
import pandas as pd
import pytest

import candlewright
from candlewright import Backtest, SignalStrategy, Strategy, from_arrays, sample_bars
from conftest import leak_check, requires_debug_build

H, M, SPREAD = 3600, 60, 0.0002
NAMES = ("timestamp", "open", "high", "low", "close")


def hour(start, *waypoints):
    """An hour's path: the price at each minute's edge (61), straight through (minute, price)."""
    return np.round(np.interp(np.arange(61), [0] + [m for m, _ in waypoints],
                              [start] + [p for _, p in waypoints]), 6)


FLAT = hour(1.1, (60, 1.1))
UP_FIRST = hour(1.1, (10, 1.105), (40, 1.095), (60, 1.1))
DOWN_FIRST = hour(1.1, (10, 1.095), (40, 1.105), (60, 1.1))


def market(*paths):
    """H1 bars and the columns of their M1 bars, one path per hour: a minute's bar goes from
    its edge to the next, an hour's bar is its minutes' range."""
    paths = [list(map(float, p)) for p in paths]
    m1 = [(h * H + m * M, p[m], max(p[m:m + 2]), min(p[m:m + 2]), p[m + 1])
          for h, p in enumerate(paths) for m in range(60)]
    h1 = [(h * H, p[0], max(p), min(p), p[60]) for h, p in enumerate(paths)]
    return from_arrays(*map(list, zip(*h1))), dict(zip(NAMES, map(list, zip(*m1))))


def bars(columns, drop=(), **changes):
    """Bars from columns, without the rows in `drop`, with {column: {row: value}} changed."""
    rows = [i for i in range(len(columns["timestamp"])) if i not in drop]
    return from_arrays(**{name: [changes.get(name, {}).get(i, values[i]) for i in rows]
                          for name, values in columns.items()})


def at_close(*orders):
    """A strategy placing `orders` ((bar, side, options), ...) at those bars' closes."""
    class Orders(Strategy):
        def next(self):
            for i, side, options in orders:
                if self.i == i:
                    getattr(self, side)(1.0, **options)
    return Orders


def only(result):
    """The run's one trade, its times in seconds."""
    rows = result.trade_rows()
    assert len(rows["ticket"]) == 1
    return {name: values[0] for name, values in rows.items()}


def first_minute(m1, start, reached):
    """The time of the first minute at or after `start` whose bar reaches a level."""
    return next(t for t, low, high in zip(m1["timestamp"], m1["low"], m1["high"])
                if t >= start and reached(low, high))


# --- finer data that is the bars themselves ---

class Brackets(Strategy):
    """Every third bar while flat, a long or a short with a near stop and target, sized on the
    equity with `per_lots` (margin for most of it, and a far stop: the stop-out comes first)."""
    stop, target, per_lots = 0.0006, 0.0007, None

    def next(self):
        close = self.data.close[-1]
        lots = round(self.account.equity(close) / self.per_lots, 2) if self.per_lots else 1.0
        if not self.positions and self.i % 3 == 0 and lots >= 0.01:
            sign = 1 if self.i % 2 == 0 else -1
            (self.buy if sign > 0 else self.sell)(
                lots, stop_loss=close - sign * self.stop, take_profit=close + sign * self.target)


class Sized(Brackets):
    stop, per_lots = 0.002, 250


class Trailing(Strategy):
    def next(self):
        if not self.positions:
            (self.buy if self.i % 2 else self.sell)(1.0, trail=0.0012)


class Pending(Strategy):
    def next(self):
        if self.i % 4 == 0:
            for order in list(self.orders):
                self.cancel(order.ticket)
            c = self.data.close[-1]
            self.buy(0.5, limit=c - 0.0006, stop_loss=c - 0.0016, take_profit=c + 0.0004,
                     expiry=self.data.timestamp[-1] + 3 * H)
            self.sell(0.5, stop=c - 0.0009, stop_loss=c + 0.0001, take_profit=c - 0.0019,
                      trail=0.0010)


SAMPLE = sample_bars()[:3000]
_bid = {name: np.asarray(getattr(SAMPLE, name)) for name in NAMES}
_spread = 0.0001 + np.random.default_rng(5).integers(0, 4, len(SAMPLE)) * 0.0001
ASKED = from_arrays(**_bid, **{f"ask_{k}": _bid[k] + _spread for k in NAMES[1:]})



def same_runs(coarse, inside):
    assert str(coarse.stats) == str(inside.stats)
    for name in (n for n in dir(coarse.stats) if not n.startswith("_")):
        assert repr(getattr(coarse.stats, name)) == repr(getattr(inside.stats, name)), name
    pd.testing.assert_frame_equal(coarse.to_pandas()[0], inside.to_pandas()[0], check_exact=True)
    assert np.asarray(coarse.equity).tobytes() == np.asarray(inside.equity).tobytes()
    counts = ("bars_resolved_inside", "inside_fallbacks")
    assert repr({k: v for k, v in coarse.metrics.items() if k not in counts}) == \
        repr({k: v for k, v in inside.metrics.items() if k not in counts})
    # The same bars were ambiguous, each now resolved (on the bar itself).
    assert [(i, "resolved") for i, how in coarse.ambiguous if how == "guessed"] == inside.ambiguous
    assert inside.metrics["inside_fallbacks"] == 0


@pytest.mark.parametrize("strategy, options", [
    (Brackets, {}), (Brackets, {"rules": "engine"}),
    (Brackets, {"gap_fills": "level", "fill_bar_exits": True}),
    (Sized, {"leverage": 500.0, "stop_out": 80.0}),
    (Trailing, {}), (Trailing, {"trail_from": "extremes", "rules": "engine"}),
    (Pending, {}), (Pending, {"fill_bar_exits": True, "gap_fills": "level"}),
    (Pending, {"leverage": 30.0, "rules": "engine"}),
    pytest.param(Brackets, {"data": ASKED}, id="asks"),
    pytest.param(Pending, {"data": ASKED}, id="asks-pending"),
], ids=["brackets", "brackets-engine", "brackets-level", "stop-out", "trailing",
        "trailing-extremes", "pending", "pending-level", "pending-engine-margin", "asks",
        "asks-pending"])
def test_the_bars_themselves_change_nothing(strategy, options):
    options = dict(options)
    data = options.pop("data", SAMPLE)
    coarse = Backtest(data, **options).run(strategy)
    inside = Backtest(data, intrabar=data, **options).run(strategy)
    same_runs(coarse, inside)
    # Each case exercises what it is named for.
    assert coarse.stats.num_trades > 20 and inside.metrics["bars_resolved_inside"] > 20
    if strategy is Sized:
        assert "stop_out" in set(coarse.trades.exit_reason)
    else:
        assert coarse.metrics["ambiguous_bars"] > 0


@pytest.mark.parametrize("options", [{}, {"rules": "engine"}, {"leverage": 30.0}],
                         ids=["broker", "engine", "margin"])
def test_signal_runs_the_same_with_the_bars_themselves(options):
    rng = np.random.default_rng(11)
    entries = rng.choice([-1, 0, 1], (len(SAMPLE), 3), p=[0.05, 0.9, 0.05]).astype(np.int8)
    exits = rng.random(len(SAMPLE)) < 0.02
    stop, target = rng.uniform(0.0005, 0.002, (2, len(SAMPLE)))
    arguments = {"side": "both", "stop_loss": stop, "take_profit": target, "max_positions": 2}
    coarse = Backtest(SAMPLE, **options).run_signals(entries, exits, threads=2, **arguments)
    finer = Backtest(SAMPLE, intrabar=SAMPLE, **options)
    for set_, (a, b) in enumerate(zip(coarse, finer.run_signals(entries, exits, threads=2,
                                                                **arguments))):
        same_runs(a, b)
        assert b.metrics["ambiguous_bars"] > 0
        # The strategy class counts and lists the same bars.
        one = finer.run(SignalStrategy(entries[:, set_], exits, **arguments))
        assert one.ambiguous == b.ambiguous and repr(one.metrics) == repr(b.metrics)


# --- M1 under H1 ---

@pytest.mark.parametrize("side, path, reason", [
    ("buy", UP_FIRST, "take_profit"), ("buy", DOWN_FIRST, "stop_loss"),
    ("sell", DOWN_FIRST, "take_profit"), ("sell", UP_FIRST, "stop_loss"),
], ids=["long-target-first", "long-stop-first", "short-target-first", "short-stop-first"])
def test_minutes_decide_which_level_came_first(side, path, reason):
    h1, m1 = market(FLAT, path, FLAT)
    long = side == "buy"
    stop, target = (1.097, 1.103) if long else (1.103, 1.097)
    strategy = at_close((0, side, {"stop_loss": stop, "take_profit": target}))
    coarse = Backtest(h1, commission=0, spread=SPREAD).run(strategy)
    inside = Backtest(h1, commission=0, spread=SPREAD, intrabar=bars(m1)).run(strategy)
    # Alone, the hour guesses the stop, at its own time; the minutes know.
    guess = only(coarse)
    assert [guess[k] for k in ("exit_reason", "exit_price", "exit_time")] == ["stop_loss", stop, H]
    assert coarse.ambiguous == [(1, "guessed")]
    assert [coarse.metrics[k] for k in ("ambiguous_bars", "bars_resolved_inside")] == [1, None]
    level = stop if reason == "stop_loss" else target
    ask = 0.0 if long else SPREAD  # a short closes on the ask
    below = (reason == "stop_loss") == long
    minute = first_minute(m1, H, lambda low, high: low + ask <= level if below
                          else high + ask >= level)
    trade = only(inside)
    assert [trade[k] for k in ("exit_reason", "exit_price", "exit_time", "exit_bar")] == \
        [reason, level, minute, 1]
    assert inside.ambiguous == [(1, "resolved")]
    assert [inside.metrics[k] for k in ("ambiguous_bars", "bars_resolved_inside",
                                        "inside_fallbacks")] == [1, 1, 0]


def test_the_minutes_own_ask_closes_a_short():
    # The bid never comes within the spread of the short's stop; the ask widens past it at
    # minute 10 only. The minutes' own ask must be read there, not their bid + the spread.
    h1, m1 = market(FLAT, hour(1.1, (10, 1.1025), (40, 1.0965), (60, 1.1)), FLAT)
    spread = np.full(180, SPREAD)
    spread[60 + 10] = 0.0008
    m1 |= {f"ask_{k}": list(np.asarray(m1[k]) + spread) for k in NAMES[1:]}
    hourly = {k: np.reshape(m1[f"ask_{k}"], (3, 60)) for k in NAMES[1:]}
    h1 = from_arrays(h1.timestamp, h1.open, h1.high, h1.low, h1.close,
                     ask_open=hourly["open"][:, 0], ask_high=hourly["high"].max(1),
                     ask_low=hourly["low"].min(1), ask_close=hourly["close"][:, -1])
    strategy = at_close((0, "sell", {"stop_loss": 1.103, "take_profit": 1.097}))
    trade = only(Backtest(h1, commission=0, intrabar=bars(m1)).run(strategy))
    # That minute's ask opens beyond the stop, and fills there.
    assert [trade[k] for k in ("exit_reason", "exit_price", "exit_time")] == \
        ["stop_loss", m1["ask_open"][70], H + 10 * M]


@pytest.mark.parametrize("trail_from", ["close", "extremes"])
@pytest.mark.parametrize("side", ["buy", "sell"])
def test_trailing_stop_follows_the_minutes(side, trail_from):
    sign = 1 if side == "buy" else -1
    rise_fall = hour(1.1, (20, 1.1 + sign * 0.004), (50, 1.1 - sign * 0.001), (60, 1.1))
    h1, m1 = market(FLAT, rise_fall, hour(1.1, (30, 1.1 - sign * 0.01), (60, 1.09)))
    strategy = at_close((0, side, {"trail": 0.002}))
    options = {"commission": 0, "spread": 0, "trail_from": trail_from}
    coarse = only(Backtest(h1, **options).run(strategy))
    inside = only(Backtest(h1, intrabar=bars(m1), **options).run(strategy))
    # Alone, the stop starts 0.002 from the entry and moves after the hour: from its close (it
    # stays) or its best price (the next hour opens beyond it). Inside, it follows the minutes to
    # 0.002 from the best price, 1.1 +- 0.004, and is reached on the way back.
    stays = round(1.1 - sign * 0.002, 6)
    assert (coarse["exit_price"], coarse["exit_bar"]) == (
        stays if trail_from == "close" else 1.1, 2)
    moved = round(1.1 + sign * 0.002, 6)
    minute = first_minute(m1, H + 20 * M, lambda low, high: low <= moved <= high)
    assert [inside[k] for k in ("exit_price", "exit_time", "exit_reason")] == \
        [moved, minute, "stop_loss"]


@pytest.mark.parametrize("order, path", [
    ({"stop": 1.101, "stop_loss": 1.099}, hour(1.1, (10, 1.102), (40, 1.098), (60, 1.0985))),
    ({"limit": 1.099, "take_profit": 1.101}, hour(1.1, (10, 1.098), (40, 1.102), (60, 1.1015))),
], ids=["buy-stop-then-stop-loss", "buy-limit-then-target"])
def test_pending_order_filled_and_closed_inside_one_hour(order, path):
    level = order.get("stop", order.get("limit"))
    exit_level = order.get("stop_loss", order.get("take_profit"))
    h1, m1 = market(FLAT, path, hour(path[60], (60, 2 * exit_level - level)))
    strategy = at_close((0, "buy", order))
    coarse = only(Backtest(h1, commission=0, spread=0).run(strategy))
    result = Backtest(h1, commission=0, spread=0, intrabar=bars(m1)).run(strategy)
    # The bar rules leave a position alone on its fill bar; the minutes after its fill do not.
    assert (coarse["entry_bar"], coarse["exit_bar"]) == (1, 2)
    fill = first_minute(m1, H, lambda low, high: low <= level <= high)
    close = first_minute(m1, fill + M, lambda low, high: low <= exit_level <= high)
    trade = only(result)
    assert [trade[k] for k in ("entry_price", "entry_time", "exit_price", "exit_time")] == \
        [level, fill, exit_level, close]
    assert result.ambiguous == [(1, "resolved")]


@pytest.mark.parametrize("hole", [{"drop": [90]}, {"drop": [60]}, {"low": {85: 1.094}}],
                         ids=["minute-missing", "first-minute-missing", "low-beyond-the-hour"])
def test_a_hole_falls_back_and_the_rest_is_resolved(hole, tmp_path):
    h1, m1 = market(FLAT, UP_FIRST, FLAT, UP_FIRST, FLAT)
    levels = {"stop_loss": 1.097, "take_profit": 1.103}
    hole = dict(hole)
    holed = bars(m1, hole.pop("drop", ()), **hole)
    result = Backtest(h1, intrabar=holed).run(at_close((0, "buy", levels), (2, "buy", levels)))
    assert list(result.trades.exit_reason) == ["stop_loss", "take_profit"]
    assert result.ambiguous == [(1, "fell back"), (3, "resolved")]
    assert (result.metrics["bars_resolved_inside"], result.metrics["inside_fallbacks"]) == (1, 1)
    saved = candlewright.load(result.save(tmp_path / "run.npz"))
    assert saved.ambiguous == result.ambiguous and repr(saved.metrics) == repr(result.metrics)


@pytest.mark.parametrize("given", ["file", "frame"])
def test_a_file_or_frame_of_finer_bars(tmp_path, given):
    h1, m1 = market(FLAT, UP_FIRST, FLAT)
    path = tmp_path / "m1.csv"
    path.write_text(",".join(NAMES) + "\n" + "".join(
        ",".join(map(repr, row)) + "\n" for row in zip(*m1.values())))
    finer = str(path) if given == "file" else pd.read_csv(path)
    result = Backtest(h1, intrabar=finer).run(
        at_close((0, "buy", {"stop_loss": 1.097, "take_profit": 1.103})))
    assert only(result)["exit_reason"] == "take_profit"


def test_finer_data_that_cannot_be_read_inside_the_bars():
    h1, m1 = market(FLAT, UP_FIRST, FLAT)
    with pytest.raises(ValueError, match="divide the bars' length evenly"):
        Backtest(h1, intrabar=bars({k: v[::7] for k, v in m1.items()}))  # 7 minutes apart
    with pytest.raises(ValueError, match="divide the bars' length evenly"):
        Backtest(bars(m1), intrabar=h1)  # coarser, not finer
    swapped = from_arrays(**{k: v[:5] + [v[6], v[5]] + v[7:] for k, v in m1.items()},
                          validate="off")
    with pytest.raises(ValueError, match="rising time order"):
        Backtest(h1, intrabar=swapped)
    with pytest.raises(TypeError, match="intrabar= takes finer Bars .* not int"):
        Backtest(h1, intrabar=42)


def test_runs_of_one_backtest_repeat():
    # A run gives back once what it borrowed of its backtest, however it ends: the per-bar
    # spread a second run and the metrics read is still the backtest's.
    h1, m1 = market(FLAT, UP_FIRST, FLAT, DOWN_FIRST, FLAT)
    strategy = at_close((0, "buy", {"stop_loss": 1.097, "take_profit": 1.103}),
                        (2, "sell", {"stop_loss": 1.103, "take_profit": 1.097}))
    for finer in (None, bars(m1)):
        bt = Backtest(h1, spread=[SPREAD] * 5, intrabar=finer)
        first, second = bt.run(strategy), bt.run(strategy)
        assert first.trade_rows() == second.trade_rows()
        assert list(bt._runner.bar_spread) == [SPREAD] * 5
        assert first.metrics["spread_paid"] == pytest.approx(2 * SPREAD * 100_000)


# --- ticks ---

T0 = 1_699_999_200  # an hour's start


def tick_market(tmp_path, inside):
    """H1 bars made from ticks ((second, bid, ask), ...): one at 1.1 in the first and last
    hour, the hour opening at 1.1 then `inside` in the second; and the ticks, read back."""
    hours = [[(10, 1.1, 1.1002)], [(1, 1.1, 1.1002), *inside], [(5, 1.1, 1.1002)]]
    path = tmp_path / "ticks.csv"
    path.write_text("time,bid,ask\n" + "".join(
        f"{np.datetime64(round((T0 + h * H + s) * 1e9), 'ns')},{b},{a}\n"
        for h, ticks in enumerate(hours) for s, b, a in ticks))
    bids = [[b for _, b, _ in ticks] for ticks in hours]
    h1 = from_arrays([T0, T0 + H, T0 + 2 * H], [b[0] for b in bids], [max(b) for b in bids],
                     [min(b) for b in bids], [b[-1] for b in bids])
    return h1, candlewright.read_ticks(path)


needs_ticks = pytest.mark.skipif(not hasattr(candlewright._backtest, "Ticks"),
                                 reason="ticks are not built in")


@needs_ticks
@pytest.mark.parametrize("side, inside, reason, price, second", [
    ("buy", [(100.25, 1.1, 1.1002), (754.6, 1.1032, 1.1034), (1800, 1.095, 1.0952)],
     "take_profit", 1.1032, 754),
    ("buy", [(60, 1.099, 1.0992), (61.5, 1.0955, 1.0957), (900, 1.1032, 1.1034)],
     "stop_loss", 1.0955, 61),
    ("sell", [(30, 1.0962, 1.0968), (700, 1.1040, 1.1042)], "take_profit", 1.0968, 30),
    ("sell", [(30, 1.1029, 1.1032), (700, 1.0950, 1.0952)], "stop_loss", 1.1032, 30),
], ids=["long-target-through-a-gap", "long-stop-through-a-gap", "short-target-on-the-ask",
        "short-stop-on-the-ask"])
def test_ticks_decide_and_fill_at_their_price(tmp_path, side, inside, reason, price, second):
    h1, ticks = tick_market(tmp_path, inside)
    levels = {"stop_loss": 1.097, "take_profit": 1.103} if side == "buy" else \
        {"stop_loss": 1.103, "take_profit": 1.097}
    strategy = at_close((0, side, levels))
    coarse = only(Backtest(h1, commission=0, spread=SPREAD).run(strategy))
    result = Backtest(h1, commission=0, spread=SPREAD, intrabar=ticks).run(strategy)
    assert (coarse["exit_reason"], coarse["exit_price"]) == ("stop_loss", levels["stop_loss"])
    # A long closes at the tick's bid, a short at the tick's own ask (not bid + spread), however
    # far beyond the level; at the tick's time in the bars' unit.
    trade = only(result)
    assert [trade[k] for k in ("exit_reason", "exit_price", "exit_time")] == \
        [reason, price, T0 + H + second]
    assert result.ambiguous == [(1, "resolved")]
    with pytest.raises(ValueError, match="ticks need bid bars"):
        Backtest(h1, prices="ask", intrabar=ticks)


@requires_debug_build
def test_finer_runs_leak_nothing():
    h1, m1 = market(FLAT, UP_FIRST, FLAT, DOWN_FIRST, FLAT)
    finer, holed = bars(m1), bars(m1, [90])
    strategy = at_close((0, "buy", {"stop_loss": 1.097, "take_profit": 1.103}),
                        (2, "sell", {"stop_loss": 1.103, "take_profit": 1.097}))
    unordered = from_arrays(**{k: v[:5] + [v[6], v[5]] + v[7:] for k, v in m1.items()},
                            validate="off")

    def tour():
        for given in (finer, holed):
            assert Backtest(h1, intrabar=given).run(strategy).ambiguous
        with pytest.raises(ValueError):
            Backtest(h1, intrabar=unordered)
    leak_check(tour, repeat=20)


@pytest.mark.parametrize("cut, warns", [
    (slice(None), False), (slice(60, None), True), (slice(None, -60), True)],
    ids=["covering", "starting-late", "ending-early"])
def test_finer_data_short_of_the_bars_is_said(cut, warns):
    h1, m1 = market(FLAT, UP_FIRST, FLAT)
    finer = from_arrays(**{k: v[cut] for k, v in m1.items()})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Backtest(h1, intrabar=finer)
    said = [str(w.message) for w in caught]
    assert bool(said) == warns
    assert all("fall back to the bar rules" in s for s in said)
