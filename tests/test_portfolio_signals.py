"""Portfolio signal runs: `Portfolio.run_signals` is `Portfolio.run` of a plain strategy doing
the same at each instrument's bars, to the bit; a one-instrument portfolio's is the backtest's
own `run_signals`; what stands at a step where an instrument has no bar is never read."""
import array
import math

import numpy as np
import pytest

from candlewright import Portfolio, SignalStrategy, sample_bars
from conftest import leak_check, requires_debug_build

STEPS = 3000


@pytest.fixture(scope="module")
def pair():
    eur, jpy = sample_bars(), sample_bars("USDJPY")
    # The same stretch of time for both: USDJPY's missing hours fall inside it.
    last = eur.timestamp[STEPS - 1]
    count = sum(1 for t in jpy.timestamp if t <= last)
    return {"EURUSD": eur[:STEPS], "USDJPY": jpy[:count]}


def portfolio(bars, **options):
    options.setdefault("initial_cash", 100_000.0)
    return Portfolio(bars, "USD", **options)


def stale_steps(p, k):
    present = np.zeros(len(p), dtype=bool)
    present[np.asarray(p._runner.steps_of(k))] = True
    return np.flatnonzero(~present)


def random_table(p, seed, density=0.08, kind=np.int8):
    rng = np.random.default_rng(seed)
    shape = (len(p), len(p.symbols))
    return rng.choice([-1, 0, 1], shape, p=[density / 2, 1 - density, density / 2]).astype(kind)


def grid(value, p):
    """A per-instrument or per-step argument as a (steps, instruments) list of rows."""
    n, k = len(p), len(p.symbols)
    if value is None:
        return [[math.nan] * k for _ in range(n)]
    if isinstance(value, float):
        return [[value] * k for _ in range(n)]
    if isinstance(value, dict):
        row = [math.nan if value.get(s) is None else value[s] for s in p.symbols]
        return [row[:] for _ in range(n)]
    if isinstance(value, tuple):
        return [[math.nan if v is None else v for v in value] for _ in range(n)]
    return np.asarray(value, dtype=float).tolist()


class Plain:
    """What the signal run does, as a plain portfolio strategy: SignalStrategy.next for each
    instrument with a bar at the step."""

    def __init__(self, p, entries, exits=None, *, side="long", lots=1.0, stop_loss=None,
                 take_profit=None, max_positions=1):
        self.symbols, self.side, self.max_positions = p.symbols, side, max_positions
        self.entries = np.sign(np.asarray(entries, dtype=float)).tolist()
        self.exits = None if exits is None else np.asarray(exits, dtype=float).tolist()
        self.lots, self.stops = grid(lots, p), grid(stop_loss, p)
        self.targets = grid(take_profit, p)
        self.s = -1

    def next(self, step, account):
        self.s += 1
        s = self.s
        for symbol, bar in step.items():
            k = self.symbols.index(symbol)
            own, price, time = account[symbol], bar.close, bar.timestamp
            if self.exits is not None and self.exits[s][k] and own.positions:
                own.close_all(price, time)
            entry = self.entries[s][k]
            if not entry:
                continue
            is_long = entry > 0 if self.side == "both" else self.side == "long"
            if own.positions and own.positions[0].is_long != is_long:
                own.close_all(price, time)
            if len(own.positions) < self.max_positions:
                stop, target = self.stops[s][k], self.targets[s][k]
                stop_level = None if math.isnan(stop) else price - stop if is_long else price + stop
                target_level = (None if math.isnan(target) else
                                price + target if is_long else price - target)
                trade = own.buy if is_long else own.sell
                trade(price, self.lots[s][k], time, stop_level, target_level)


def hexed(values):
    return [float.hex(float(x)) for x in values]


def fingerprint(result):
    rows = result.trade_rows()
    return (repr(result.stats), hexed(result.equity), result.exposure_bars,
            result.orders_refused, getattr(result, "trade_symbols", None),
            repr(getattr(result, "by_symbol", None)),
            {k: [float.hex(x) if isinstance(x, float) else x for x in v]
             for k, v in rows.items()})


def outcome(run):
    try:
        return fingerprint(run())
    except ValueError as exc:
        return "refused", str(exc)


CASES = {
    "long": ({"lots": (0.5, 2.0)}, {"exits": 3}),
    "short-exits": ({"side": "short"}, {"exits": 1}),
    "both-levels": ({"side": "both", "stop_loss": 0.004, "take_profit": (0.003, 0.4)}, {}),
    "per-step-levels-and-lots": ({"side": "both", "max_positions": 2}, {"per_step": True}),
    "margin-stop-out": ({"side": "both", "lots": {"EURUSD": 9.0, "USDJPY": 8.0},
                         "stop_loss": {"USDJPY": 0.5}},
                        {"leverage": 30.0, "stop_out": 90.0}),
    "engine-rules": ({"side": "long", "take_profit": 0.002, "max_positions": 3},
                     {"rules": "engine", "exits": 2}),
}


@pytest.mark.parametrize("arguments, setup", CASES.values(), ids=CASES.keys())
def test_same_as_a_plain_strategy(pair, arguments, setup):
    setup = dict(setup)
    exits_seed, per_step = setup.pop("exits", None), setup.pop("per_step", False)
    p = portfolio(pair, **setup)
    arguments = dict(arguments)
    entries = random_table(p, 11, kind=np.float64)
    exits = None if exits_seed is None else random_table(p, exits_seed, 0.05) != 0
    if per_step:
        rng = np.random.default_rng(5)
        scale = np.array([[0.001, 0.1]])
        arguments["lots"] = rng.uniform(0.1, 2.0, entries.shape)
        arguments["stop_loss"] = np.where(rng.random(entries.shape) < 0.3, np.nan,
                                          rng.uniform(1, 5, entries.shape) * scale)
        arguments["take_profit"] = rng.uniform(1, 5, entries.shape) * scale
    native = outcome(lambda: p.run_signals(entries, exits, **arguments))
    plain = outcome(lambda: p.run(Plain(p, entries, exits, **arguments)))
    assert native[0] != "refused"
    assert native == plain


@pytest.mark.parametrize("side", ["long", "both"])
def test_one_instrument_is_the_backtests_own_run(pair, side):
    p = portfolio({"EURUSD": pair["EURUSD"]}, leverage=50.0)
    entries = random_table(p, 3)
    exits = random_table(p, 4, 0.03)
    arguments = {"side": side, "lots": 2.0, "stop_loss": 0.003}
    result = p.run_signals(entries, exits, **arguments)
    own = p.members["EURUSD"].run_signals(entries[:, 0], exits[:, 0], **arguments)
    assert own.stats.num_trades > 10
    assert repr(result.stats) == repr(own.stats)
    assert hexed(result.equity) == hexed(own.equity)
    assert fingerprint(result)[2:4] == fingerprint(own)[2:4]
    assert fingerprint(result)[-1] == fingerprint(own)[-1]
    strategy = p.members["EURUSD"].run(SignalStrategy(entries[:, 0], exits[:, 0], **arguments))
    assert hexed(strategy.equity) == hexed(result.equity)


def test_stale_steps_are_never_read(pair):
    p = portfolio(pair)
    stale = stale_steps(p, 1)
    assert len(stale) > 0  # USDJPY misses some of EURUSD's hours
    entries = random_table(p, 8, kind=np.float64)
    stops = np.full(entries.shape, 0.5)
    lots = np.ones(entries.shape)
    quiet = p.run_signals(entries, stop_loss=stops, lots=lots)
    # Anything at all where USDJPY has no bar, even what would be refused at one of its bars.
    for value in (1.0, -1.0, math.nan):
        loud = entries.copy()
        loud[stale, 1] = value
        odd_stops, odd_lots = stops.copy(), lots.copy()
        odd_stops[stale, 1], odd_lots[stale, 1] = math.nan, value
        result = p.run_signals(loud, stop_loss=odd_stops, lots=odd_lots)
        assert fingerprint(result) == fingerprint(quiet)
    # At one of its bars the same NaN is refused, naming where it stands.
    at = int(p._runner.steps_of(1)[7])
    loud = entries.copy()
    loud[at, 1] = math.nan
    with pytest.raises(ValueError, match=f"entries: signals must be numbers, not NaN "
                                         f"\\(at step {at}, USDJPY\\)"):
        p.run_signals(loud)


def test_columns_by_symbol_and_figures(pair):
    pd = pytest.importorskip("pandas")
    p = portfolio(pair)
    entries = random_table(p, 21)
    frame = pd.DataFrame({"USDJPY": entries[:, 1], "EURUSD": entries[:, 0]})
    lots = pd.Series({"USDJPY": 2.0, "EURUSD": 0.5})
    expected = p.run_signals(entries, lots=(0.5, 2.0))
    assert fingerprint(p.run_signals(frame, lots=lots)) == fingerprint(expected)
    assert repr(p.run_signals(entries, lots=[0.5, 2.0], keep="figures")) == \
        repr(expected.stats)


def test_a_refused_order_names_the_instrument_and_step(pair):
    p = portfolio(pair)
    entries = np.zeros((len(p), 2), dtype=np.int8)
    at = int(p._runner.steps_of(1)[20])
    entries[at, 1] = 1
    with pytest.raises(ValueError, match=f"run_signals\\(\\): USDJPY at step {at}: .*stop_loss"):
        p.run_signals(entries, stop_loss=(None, -0.5))


STEPS_ERRORS = {
    "too-few-rows": (lambda n: {"entries": np.zeros((n - 1, 2))}, r"a row per step \(\d+\)"),
    "one-column": (lambda n: {"entries": np.zeros((n, 1))}, r"column per instrument \(2: EUR"),
    "one-dimension": (lambda n: {"entries": np.zeros(n)}, r"not shape \(\d+,\)"),
    "exits-transposed": (lambda n: {"entries": np.zeros((n, 2)), "exits": np.zeros((2, n))},
                         r"^exits must have a row per step"),
    "lots-three": (lambda n: {"entries": np.zeros((n, 2)), "lots": [1.0, 1.0, 1.0]},
                   r"lots: one value per instrument \(2: EURUSD, USDJPY\).*not 3 values"),
    "lots-unknown": (lambda n: {"entries": np.zeros((n, 2)), "lots": {"GBPUSD": 1.0}},
                     r"lots: .*not GBPUSD; missing EURUSD, USDJPY"),
    "lots-negative": (lambda n: {"entries": np.zeros((n, 2)), "lots": (1.0, -1.0)},
                      r"lots must be positive and finite \(USDJPY\)"),
    "levels-table": (lambda n: {"entries": np.zeros((n, 2)), "take_profit": np.zeros((n, 3))},
                     r"take_profit must have a row per step"),
    "side": (lambda n: {"entries": np.zeros((n, 2)), "side": "flat"}, "side must be one of"),
    "keep": (lambda n: {"entries": np.zeros((n, 2)), "keep": "trades"}, "keep must be"),
}


@pytest.mark.parametrize("make, message", STEPS_ERRORS.values(), ids=STEPS_ERRORS.keys())
def test_argument_errors(pair, make, message):
    p = portfolio(pair)
    with pytest.raises(ValueError, match=message):
        p.run_signals(**make(len(p)))


def test_column_names_must_be_the_symbols(pair):
    pd = pytest.importorskip("pandas")
    p = portfolio(pair)
    frame = pd.DataFrame({"EURUSD": np.zeros(len(p)), "GBPUSD": np.zeros(len(p))})
    with pytest.raises(ValueError, match="not GBPUSD; missing USDJPY"):
        p.run_signals(frame)


@requires_debug_build
def test_signal_runs_leak_nothing(pair):
    p = portfolio({symbol: bars[:300] for symbol, bars in pair.items()}, leverage=50.0)
    n = len(p)
    # array.array, not numpy: numpy's own calls leave references behind on a debug interpreter.
    entries = memoryview(array.array("b", random_table(p, 2, 0.3).ravel().tolist()))
    entries = entries.cast("B").cast("b", (n, 2))
    nans = memoryview(array.array("d", [math.nan] * (2 * n))).cast("B").cast("d", (n, 2))

    def tour():
        p.run_signals(entries, entries, side="both", stop_loss=(0.002, None)).trade_rows()
        p.run_signals(entries, side="short", lots={"EURUSD": 2.0, "USDJPY": 1.0},
                      keep="figures")
        for bad in ({"entries": nans}, {"entries": entries, "lots": (1.0, 0.0)}):
            with pytest.raises(ValueError):
                p.run_signals(**bad)

    leak_check(tour, repeat=10)
