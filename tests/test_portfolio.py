"""The portfolio's account, checked from outside: P/L and equity worked by hand through the
conversion pairs, margin summed in the account currency, the stop-out across instruments, the
union timeline with instruments that have hours of their own, and the runs it must equal (a lone
`Backtest` for one instrument, the separate runs for instruments that never interact)."""
import math
import pickle
import random

import pytest
from hypothesis import given, settings, strategies as st

from candlewright import Backtest, Instrument, Portfolio, PortfolioResult, _backtest, \
    from_arrays, sample_bars

from conftest import leak_check, requires_debug_build

T0 = 1_704_067_200  # a Monday, 00:00 UTC
HOUR = 3600
LOT = 100_000.0


def bars(hours, rows):
    """Bars at these hours after T0; a row is (open, high, low, close), or one price for all."""
    rows = [(r, r, r, r) if isinstance(r, float) else r for r in rows]
    return from_arrays([T0 + h * HOUR for h in hours], *map(list, zip(*rows)))


def bare(symbol):
    """The pair with no spread, so that every fill is at the bars' prices."""
    return Instrument(symbol, spread=0.0)


def pnl(is_long, entry, exit_, lots, rate):
    diff = exit_ - entry if is_long else entry - exit_
    return ((diff * lots) * LOT) * rate


def margin(price, rate, leverage, lots):
    return (((LOT * price) * rate) / leverage) * lots


def equity_point(members, cash):
    """Each instrument's open positions, (is_long, entry, lots), at (close, rate), in the
    portfolio's order, then the cash."""
    total = -0.0
    for positions, close, rate in members:
        if not positions:
            continue
        value = -0.0
        for is_long, entry, lots in positions:
            value = value + pnl(is_long, entry, close, lots, rate)
        total = total + value
    return total + cash


def rows_of(result, symbol=None):
    """The trade journal as rows of field: value (all but the ticket), those of `symbol` only."""
    rows = result.trade_rows()
    keep = [i for i, s in enumerate(getattr(result, "trade_symbols", ())) if s == symbol] \
        if symbol is not None else range(len(result.trades))
    return [{k: v[i] for k, v in rows.items() if k != "ticket"} for i in keep]


def hexed(values):
    return [float.hex(float(x)) for x in values]


# --- hand-worked runs ---

# EURJPY converts through USDJPY, which has no bar at hour 2.
EU_CLOSES = [1.1000, 1.1010, 1.1020, 1.1030]
UJ_CLOSES = [150.00, 151.00, 149.50]
EJ_CLOSES = [165.00, 166.20, 167.10, 165.90]


def three_pairs(rules):
    return Portfolio({bare("EURUSD"): bars(range(4), EU_CLOSES),
                      bare("USDJPY"): bars([0, 1, 3], UJ_CLOSES),
                      bare("EURJPY"): bars(range(4), EJ_CLOSES)},
                     initial_cash=10_000.0, commission=4.0, rules=rules)


class ThreePairs:
    def __init__(self):
        self.seen, self.equity, self.steps = [], [], 0

    def next(self, step, account):
        s = self.steps
        self.steps += 1
        self.seen.append(sorted(step))
        if s == 0:
            account.buy("EURJPY", 0.5)
            account.sell("USDJPY", 0.2)
        elif s == 1:
            account.buy("EURUSD", 1.0)
        elif s == 2:
            account["EURJPY"].close_all()
        self.equity.append(account.equity())


@pytest.mark.parametrize("rules", ["engine", "broker"])
def test_three_pairs_worked_by_hand(rules):
    portfolio = three_pairs(rules)
    assert portfolio.conversion("EURJPY") == "1 / USDJPY"
    assert portfolio.conversion("USDJPY") == "1 / USDJPY"
    strategy = ThreePairs()
    result = portfolio.run(strategy)
    eu, uj, ej = EU_CLOSES, UJ_CLOSES, EJ_CLOSES
    # USDJPY has no bar at step 2: its close at step 1 stands, for itself and for EURJPY.
    uj_at = [uj[0], uj[1], uj[1], uj[2]]
    cash = 10_000.0 - 4.0 * 0.5
    cash = cash - 4.0 * 0.2
    points = [equity_point([((), eu[0], 1.0), ([(False, uj[0], 0.2)], uj[0], 1.0 / uj[0]),
                            ([(True, ej[0], 0.5)], ej[0], 1.0 / uj[0])], cash)]
    cash = cash - 4.0 * 1.0
    points.append(equity_point([([(True, eu[1], 1.0)], eu[1], 1.0),
                                ([(False, uj[0], 0.2)], uj_at[1], 1.0 / uj_at[1]),
                                ([(True, ej[0], 0.5)], ej[1], 1.0 / uj_at[1])], cash))
    ej_pnl = pnl(True, ej[0], ej[2], 0.5, 1.0 / uj_at[2])
    cash = cash + ej_pnl
    points.append(equity_point([([(True, eu[1], 1.0)], eu[2], 1.0),
                                ([(False, uj[0], 0.2)], uj_at[2], 1.0 / uj_at[2]),
                                ((), ej[2], 1.0)], cash))
    points.append(equity_point([([(True, eu[1], 1.0)], eu[3], 1.0),
                                ([(False, uj[0], 0.2)], uj_at[3], 1.0 / uj_at[3]),
                                ((), ej[3], 1.0)], cash))
    eu_pnl = pnl(True, eu[1], eu[3], 1.0, 1.0)
    uj_pnl = pnl(False, uj[0], uj[2], 0.2, 1.0 / uj[2])
    cash = cash + eu_pnl
    cash = cash + uj_pnl

    assert strategy.seen == [["EURJPY", "EURUSD", "USDJPY"]] * 2 + [["EURJPY", "EURUSD"]] + \
        [["EURJPY", "EURUSD", "USDJPY"]]
    assert hexed(result.equity) == hexed(points)
    assert hexed(strategy.equity) == hexed(points)
    assert result.trade_symbols == ("EURJPY", "EURUSD", "USDJPY")
    trades = rows_of(result)
    assert hexed(t["pnl"] for t in trades) == hexed([ej_pnl, eu_pnl, uj_pnl])
    assert [(t["entry_bar"], t["exit_bar"], t["exit_reason"]) for t in trades] == \
        [(0, 2, "close_all"), (1, 3, "end"), (0, 3, "end")]
    assert [t["exit_time"] for t in trades] == [T0 + 2 * HOUR, T0 + 3 * HOUR, T0 + 3 * HOUR]
    assert float.hex(result.stats.final_cash) == float.hex(cash)
    # One run of tickets across the instruments.
    assert sorted(result.trades.ticket) == [0, 1, 2]


def test_a_cross_converts_through_both_pairs():
    """EURJPY on a USD account with EURUSD alone: JPY into EUR by EURJPY itself, EUR into USD by
    EURUSD, at EURUSD's close over EURJPY's."""
    eu, ej = [1.08, 1.09, 1.07], [160.0, 161.5, 158.25]
    portfolio = Portfolio({bare("EURUSD"): bars(range(3), eu),
                           bare("EURJPY"): bars(range(3), ej)}, commission=0.0)
    assert portfolio.conversion("EURJPY") == "1 / EURJPY * EURUSD"

    class Cross:
        def next(self, step, account):
            if not account.positions:
                account.sell("EURJPY", 0.3)
            self.value = account.equity()

    strategy = Cross()
    result = portfolio.run(strategy)
    (trade,) = rows_of(result)
    rate = eu[2] / ej[2]
    assert float.hex(trade["pnl"]) == float.hex(pnl(False, ej[0], ej[2], 0.3, rate))
    assert float.hex(strategy.value) == float.hex(
        equity_point([([(False, ej[0], 0.3)], ej[2], rate)], 10_000.0))


# --- margin ---

def test_used_margin_is_each_position_at_its_opening_in_the_account_currency():
    uj, ej = [150.0, 151.0, 152.0], [165.0, 166.0, 164.0]
    portfolio = Portfolio({bare("EURUSD"): bars(range(3), [1.1, 1.2, 1.3]),
                           bare("USDJPY"): bars(range(3), uj),
                           bare("EURJPY"): bars(range(3), ej)},
                          initial_cash=100_000.0, commission=0.0, leverage=100.0)
    seen = []

    class Opens:
        def next(self, step, account):
            if len(seen) == 0:
                account.buy("EURUSD", 0.3)
                account.sell("EURJPY", 0.2)
            elif len(seen) == 1:
                account.buy("USDJPY", 0.1)
            seen.append((account.used_margin, account.free_margin(), account.equity()))

    portfolio.run(Opens())
    eu_margin = margin(1.1, 1.0, 100.0, 0.3)
    ej_margin = margin(ej[0], 1.0 / uj[0], 100.0, 0.2)
    uj_margin = margin(uj[1], 1.0 / uj[1], 100.0, 0.1)
    opened = [0.0 + eu_margin + ej_margin,
              0.0 + eu_margin + uj_margin + ej_margin,
              0.0 + eu_margin + uj_margin + ej_margin]
    # The margin stays what it was at the opening while prices and rates move.
    assert hexed(m for m, _, _ in seen) == hexed(opened)
    assert all(float.hex(free) == float.hex(value - used) for used, free, value in seen)


@pytest.mark.parametrize("together", [True, False], ids=["after-eurusd", "alone"])
def test_an_order_without_free_margin_across_instruments_is_refused(together):
    """1 lot of each holds about 1100 and 1000 of margin: 2000 of cash takes either, not both."""
    portfolio = Portfolio({bare("EURUSD"): bars(range(2), [1.1, 1.1]),
                           bare("USDJPY"): bars(range(2), [100.0, 100.0])},
                          initial_cash=2_000.0, commission=0.0, leverage=100.0)
    tickets = []

    class Both:
        def next(self, step, account):
            if not tickets:
                if together:
                    tickets.append(account.buy("EURUSD", 1.0))
                tickets.append(account.buy("USDJPY", 1.0))

    result = portfolio.run(Both())
    refused = 1 if together else 0
    assert (tickets[-1] is None) == together
    assert result.orders_refused == refused
    assert result.by_symbol["USDJPY"]["orders_refused"] == refused
    assert result.by_symbol["EURUSD"]["orders_refused"] == 0


# --- stop-out ---

# 1 lot of each from step 0 (EURUSD long at 1.1, USDJPY long or short at 100: about 1100 and 1000
# of margin), the bars of step 1 by case, and which positions the stop-out closes there, in order.
STOP_OUTS = {
    "eurusd-worst-one-suffices": dict(
        cash=2_500.0, usdjpy_long=True, eu=(1.1, 1.1, 1.085, 1.095),
        uj=(100.0, 100.0, 99.9, 99.95), closed=["EURUSD"]),
    "usdjpy-worst-both-close": dict(
        cash=2_500.0, usdjpy_long=True, eu=(1.1, 1.1, 1.0995, 1.1),
        uj=(100.0, 100.0, 98.0, 98.5), closed=["USDJPY", "EURUSD"]),
    "short-worst-at-its-high": dict(
        cash=3_000.0, usdjpy_long=False, eu=(1.1, 1.1005, 1.1, 1.1),
        uj=(100.0, 102.0, 100.0, 101.5), closed=["USDJPY"]),
}


@pytest.mark.parametrize("rules", ["broker", "engine"])
@pytest.mark.parametrize("case", STOP_OUTS.values(), ids=STOP_OUTS.keys())
def test_the_stop_out_closes_the_largest_loss_across_instruments_first(case, rules):
    eu_rows = [1.1, case["eu"], 1.1]
    uj_rows = [100.0, case["uj"], 100.0]
    portfolio = Portfolio({bare("EURUSD"): bars(range(3), eu_rows),
                           bare("USDJPY"): bars(range(3), uj_rows)},
                          initial_cash=case["cash"], commission=0.0, leverage=100.0,
                          stop_out=50.0, rules=rules)
    uj_long = case["usdjpy_long"]

    class Opens:
        def next(self, step, account):
            if step["EURUSD"].timestamp == T0:
                account.buy("EURUSD", 1.0)
                (account.buy if uj_long else account.sell)("USDJPY", 1.0)

    result = portfolio.run(Opens())
    rate = 1.0 / case["uj"][3]
    # Each instrument at the end of its bar that is worst for its position.
    worst = {"EURUSD": (case["eu"][2], 1.0, True),
             "USDJPY": (case["uj"][2] if uj_long else case["uj"][1], rate, uj_long)}
    entry = {"EURUSD": 1.1, "USDJPY": 100.0}
    losses = {s: pnl(is_long, entry[s], at, 1.0, r) for s, (at, r, is_long) in worst.items()}
    used = 0.0 + margin(1.1, 1.0, 100.0, 1.0) + margin(100.0, 1.0 / 100.0, 100.0, 1.0)
    assert (case["cash"] + sum(losses.values())) / used * 100.0 <= 50.0
    stopped = [r for r in rows_of(result) if r["exit_reason"] == "stop_out"]
    assert [s for s, r in zip(result.trade_symbols, rows_of(result))
            if r["exit_reason"] == "stop_out"] == case["closed"]
    for symbol, row in zip(case["closed"], stopped):
        assert row["exit_bar"] == 1
        assert row["exit_price"] == worst[symbol][0]
        assert float.hex(row["pnl"]) == float.hex(losses[symbol])
    survivors = {"EURUSD", "USDJPY"} - set(case["closed"])
    assert {s for s, r in zip(result.trade_symbols, rows_of(result))
            if r["exit_reason"] == "end"} == survivors


def test_a_stale_instrument_stopped_out_is_journaled_at_the_step_it_closed():
    """USDJPY's loss at its last close (hour 1) is the largest when EURUSD's fall at hour 2, where
    USDJPY has no bar, brings the stop-out: it closes at that close, at hour 2's step."""
    portfolio = Portfolio({bare("EURUSD"): bars(range(4), [1.1, 1.1, (1.1, 1.1, 1.095, 1.1),
                                                            1.1]),
                           bare("USDJPY"): bars([0, 1, 3], [100.0, 99.0, 100.0])},
                          initial_cash=2_500.0, commission=0.0, leverage=100.0)

    class Opens:
        def next(self, step, account):
            if step["EURUSD"].timestamp == T0:
                account.buy("EURUSD", 1.0)
                account.buy("USDJPY", 1.0)

    result = portfolio.run(Opens())
    rows = rows_of(result)
    assert result.trade_symbols[0] == "USDJPY"
    assert (rows[0]["exit_reason"], rows[0]["exit_price"]) == ("stop_out", 99.0)
    assert float.hex(rows[0]["pnl"]) == float.hex(pnl(True, 100.0, 99.0, 1.0, 1.0 / 99.0))
    assert (rows[0]["exit_time"], rows[0]["exit_bar"]) == (T0 + 2 * HOUR, 2)
    assert result.timestamps[rows[0]["exit_bar"]] == rows[0]["exit_time"]
    assert (result.trade_symbols[1], rows[1]["exit_reason"]) == ("EURUSD", "end")


# --- construction refused ---

@pytest.mark.parametrize("pairs, message", [
    (("GBPJPY", "EURUSD"), "GBPJPY: no pair in the portfolio converts JPY into USD; add USDJPY"),
    (("EURGBP",), "EURGBP: no pair in the portfolio converts GBP into USD"),
], ids=["no-jpy-pair", "no-gbp-pair"])
def test_a_missing_conversion_is_refused_naming_what_to_add(pairs, message):
    with pytest.raises(ValueError, match=message):
        Portfolio({p: bars(range(2), [1.0, 1.0]) for p in pairs})


def test_a_conversion_pair_starting_later_is_refused_naming_both():
    with pytest.raises(ValueError, match="EURJPY's P/L converts through USDJPY, whose first bar "
                                         r"\(.*\) comes after EURJPY's first"):
        Portfolio({"EURJPY": bars(range(4), [160.0] * 4),
                   "USDJPY": bars(range(2, 4), [150.0] * 2)})


REPEATED = {"timestamp": [T0, T0 + HOUR, T0 + HOUR], "open": [1.1] * 3, "high": [1.1] * 3,
            "low": [1.1] * 3, "close": [1.1] * 3}


def test_bars_whose_times_do_not_rise_are_refused():
    with pytest.raises(ValueError,
                       match=r"GBPUSD: bar 2 \(.+\) does not come after the bar before it"):
        Portfolio({"EURUSD": bars(range(3), [1.1] * 3), "GBPUSD": REPEATED})


@pytest.mark.parametrize("data, error, message", [
    ({}, TypeError, "at least one instrument"),
    ([("EURUSD", None)], TypeError, "takes a mapping"),
    ("EURUSD", TypeError, "takes a mapping"),
    ({"EURUSD": None, Instrument("EURUSD"): None}, ValueError, "each instrument once"),
    ({42: None}, TypeError, "symbols or Instrument objects"),
], ids=["empty", "pairs-list", "string", "duplicate", "not-a-symbol"])
def test_what_is_no_portfolio_is_refused(data, error, message):
    if isinstance(data, dict):
        data = {k: bars(range(2), [1.1, 1.1]) for k in data}
    with pytest.raises(error, match=message):
        Portfolio(data)


# --- instruments with hours of their own ---

# USDJPY has no bars at hours 2 and 3. Its position from hour 0 is given at hour 1 a stop that
# hour 1's low went through, and a limit order a level within hour 1's range: neither may be
# tested on hour 1's bar again while the market is closed, and hour 4's bar reaches both.
UJ_HOURS = [0, 1, 4, 5]
UJ_ROWS = [100.0, (100.0, 100.5, 99.0, 100.2), (100.2, 100.3, 98.5, 99.5), 99.8]


class Hours:
    def __init__(self):
        self.seen, self.refusals, self.equity, self.steps = [], [], [], 0

    def next(self, step, account):
        s = self.steps
        self.steps += 1
        self.seen.append(sorted(step))
        usdjpy = account["USDJPY"]
        if s == 0:
            account.buy("USDJPY", 0.1)
        elif s == 1:
            usdjpy.modify(usdjpy.positions[0].ticket, stop_loss=99.5)
            usdjpy.buy_limit(99.2, 0.2)
        if "USDJPY" not in step:
            try:
                account.buy("USDJPY", 0.1)
            except ValueError as error:
                self.refusals.append(str(error))
        self.equity.append(account.equity())


def test_instruments_with_their_own_hours():
    portfolio = Portfolio({bare("EURUSD"): bars(range(6), [1.1] * 6),
                           bare("USDJPY"): bars(UJ_HOURS, UJ_ROWS)}, commission=0.0)
    strategy = Hours()
    result = portfolio.run(strategy)
    assert len(portfolio) == 6
    assert list(result.timestamps) == [T0 + h * HOUR for h in range(6)]
    assert list(result.steps_of("USDJPY")) == [0, 1, 4, 5]
    assert list(result.steps_of("EURUSD")) == list(range(6))
    assert strategy.seen == [["EURUSD", "USDJPY"]] * 2 + [["EURUSD"]] * 2 + \
        [["EURUSD", "USDJPY"]] * 2
    assert len(strategy.refusals) == 2
    assert all("market is closed" in m for m in strategy.refusals)
    # While stale, the position is valued at its last close, at its last rate.
    stale = equity_point([((), 1.1, 1.0), ([(True, 100.0, 0.1)], 100.2, 1.0 / 100.2)],
                         10_000.0)
    assert hexed(strategy.equity[2:4]) == hexed([stale, stale])
    trades = {r["exit_reason"]: r for r in rows_of(result, "USDJPY")}
    assert set(trades) == {"stop_loss", "end"}
    assert (trades["stop_loss"]["entry_bar"], trades["stop_loss"]["exit_bar"],
            trades["stop_loss"]["exit_price"]) == (0, 4, 99.5)
    # The limit filled on hour 4's bar and closed at the end, USDJPY's last bar being step 5.
    assert (trades["end"]["entry_bar"], trades["end"]["exit_bar"],
            trades["end"]["entry_price"]) == (4, 5, 99.2)


def test_an_instrument_that_ends_early_closes_at_its_own_last_bar():
    portfolio = Portfolio({bare("EURUSD"): bars(range(5), [1.1, 1.1, 1.2, 1.3, 1.4]),
                           bare("GBPUSD"): bars(range(3), [1.25, 1.26, 1.27])}, commission=0.0)

    class Hold:
        def next(self, step, account):
            if not account.positions:
                account.buy("EURUSD", 0.1)
                account.buy("GBPUSD", 0.1)

    result = portfolio.run(Hold())
    rows = dict(zip(result.trade_symbols, rows_of(result)))
    assert (rows["GBPUSD"]["exit_bar"], rows["GBPUSD"]["exit_price"],
            rows["GBPUSD"]["exit_time"]) == (2, 1.27, T0 + 2 * HOUR)
    assert (rows["EURUSD"]["exit_bar"], rows["EURUSD"]["exit_price"]) == (4, 1.4)


# --- one instrument is a Backtest ---

def random_bars(rng, n, price=1.1, keep=1.0):
    """A random walk of `n` bars from `price` with gaps of hours and weekends, each bar kept
    with probability `keep` (the first always)."""
    t, rows, times = T0, [], []
    for i in range(n):
        open_ = price
        close = round(open_ * (1.0 + rng.gauss(0.0, 0.002)), 5)
        high = round(max(open_, close) * (1.0 + abs(rng.gauss(0.0, 0.001))), 5)
        low = round(min(open_, close) * (1.0 - abs(rng.gauss(0.0, 0.001))), 5)
        if i == 0 or rng.random() < keep:
            rows.append((open_, high, low, close))
            times.append(t)
        t += rng.choice([HOUR, HOUR, HOUR, 4 * HOUR, 2 * 24 * HOUR])
        price = close
    return from_arrays(times, *map(list, zip(*rows)))


class Chaos:
    """Random orders from a seed: market orders with and without levels or a trail, pending
    orders, partial and whole closes, changed levels, cancels. Every refusal is kept, so that two
    runs that refuse differently differ."""

    def __init__(self, seed):
        self.rng, self.log = random.Random(seed), []

    def act(self, bar, account):
        rng = self.rng
        for _ in range(rng.randint(0, 2)):
            kind = rng.random()
            far = rng.choice([0.0005, 0.001, 0.003, 0.01]) * bar.close
            lots = rng.choice([0.01, 0.1, 0.5, 1.0, 3.0])
            try:
                if kind < 0.3:
                    is_long = rng.random() < 0.5
                    sign = 1.0 if is_long else -1.0
                    stop = bar.close - sign * far if rng.random() < 0.5 else None
                    target = bar.close + sign * 2 * far if rng.random() < 0.5 else None
                    trail = far if rng.random() < 0.2 else None
                    self.log.append((account.buy if is_long else account.sell)(
                        lot_size=lots, stop_loss=stop, take_profit=target, trail=trail))
                elif kind < 0.45:
                    place = rng.choice([account.buy_limit, account.buy_stop, account.sell_limit,
                                        account.sell_stop])
                    below = place in (account.buy_limit, account.sell_stop)
                    level = bar.close - far if below else bar.close + far
                    self.log.append(place(level, lots, expiry=bar.timestamp + 5 * HOUR
                                          if rng.random() < 0.3 else None))
                elif kind < 0.6 and account.positions:
                    position = rng.choice(account.positions)
                    part = rng.choice([None, 0.01, position.lot_size / 2])
                    self.log.append(account.close_ticket(position.ticket, lots=part))
                elif kind < 0.65:
                    account.close_all()
                elif kind < 0.8 and account.positions:
                    position = rng.choice(account.positions)
                    sign = 1.0 if position.is_long else -1.0
                    self.log.append(account.modify(position.ticket,
                                                   stop_loss=bar.close - sign * far))
                elif kind < 0.9 and account.orders:
                    self.log.append(account.cancel(rng.choice(account.orders).ticket))
            except ValueError as error:
                self.log.append(str(error))


class Alone(Chaos):
    def next(self, bar, account):
        self.act(bar, account)


class InPortfolio(Chaos):
    def __init__(self, seed, symbol):
        super().__init__(seed)
        self.symbol = symbol

    def next(self, step, account):
        self.act(step[self.symbol], account[self.symbol])


OPTIONS = st.fixed_dictionaries({
    "initial_cash": st.sampled_from([1_000.0, 10_000.0]),
    "commission": st.sampled_from([0.0, 3.5, 7.0]),
    "points": st.sampled_from([0.0, 13.0, 20.0]),
    "rules": st.sampled_from(["broker", "engine"]),
    "leverage": st.sampled_from([None, 30.0, 500.0]),
    "stop_out": st.sampled_from([None, 50.0, 100.0]),
    "swap_long": st.sampled_from([0.0, -2.5]),
    "swap_short": st.sampled_from([0.0, 0.75]),
    "commission_at": st.sampled_from(["open", "both"]),
})


def same_run(got, want):
    assert repr(got.stats) == repr(want.stats)
    assert hexed(got.equity) == hexed(want.equity)
    assert got.orders_refused == want.orders_refused
    assert got.exposure_bars == want.exposure_bars
    assert repr(rows_of(got)) == repr(rows_of(want))


# USDJPY converts through itself, as Backtest does with quote_to_account="1/close".
SYMBOLS = {"EURUSD": (1.1, 0.00001, {}),
           "USDJPY": (150.0, 0.001, {"quote_to_account": "1/close"})}


@settings(max_examples=100, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 60), options=OPTIONS,
       symbol=st.sampled_from(sorted(SYMBOLS)))
def test_one_instrument_is_a_backtest_to_the_bit(seed, n, options, symbol):
    price, point, rate = SYMBOLS[symbol]
    data = random_bars(random.Random(seed), n, price)
    item = Instrument(symbol, spread=options["points"], point=point,
                      swap_long=options["swap_long"], swap_short=options["swap_short"])
    account = {k: options[k] for k in ("rules", "leverage", "stop_out", "commission_at")}
    alone, held = Alone(seed), InPortfolio(seed, symbol)
    want = Backtest(data, options["initial_cash"], options["commission"], **item.options(),
                    **rate, **account).run(alone)
    got = Portfolio({item: data}, initial_cash=options["initial_cash"],
                    commission=options["commission"], **account).run(held)
    assert held.log == alone.log
    same_run(got, want)


@settings(max_examples=100, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 60), options=OPTIONS,
       keep=st.sampled_from([0.3, 1.0]))
def test_an_idle_instrument_changes_nothing(seed, n, options, keep):
    """A second instrument that never trades, with bars at some of the first one's times: the
    pooled margin, free margin and stop-out are the lone account's, to the bit."""
    data = random_bars(random.Random(seed), n)
    idle = random_bars(random.Random(seed), n, 1.25, keep=keep)  # the same seed: its times
    item = Instrument("EURUSD", spread=options["points"], point=0.00001,
                      swap_long=options["swap_long"], swap_short=options["swap_short"])
    account = {k: options[k] for k in ("rules", "leverage", "stop_out", "commission_at")}
    alone, held = Alone(seed), InPortfolio(seed, "EURUSD")
    want = Backtest(data, options["initial_cash"], options["commission"], **item.options(),
                    **account).run(alone)
    got = Portfolio({item: data, "GBPUSD": idle}, initial_cash=options["initial_cash"],
                    commission=options["commission"], **account).run(held)
    assert held.log == alone.log
    same_run(got, want)


# --- two instruments on one margin, against a model ---

class Pooled:
    """A model of two instruments on one account with no spread (so either rules' arithmetic):
    market orders and closes only, margin at the opening's price and rate, and the stop-out
    over both at each one's worst end of its bar, written from the account's rules."""

    def __init__(self, data, cash, commission, leverage, stop_out):
        self.data, self.cash, self.commission = data, cash, commission
        self.leverage, self.stop_out = leverage, stop_out
        self.open = {s: [] for s in data}  # [is_long, entry, lots, margin]
        self.trades, self.equity, self.refused = [], [], 0

    def run(self, seed):
        rng, data = random.Random(seed), self.data
        times = sorted({b.timestamp for bars_ in data.values() for b in bars_})
        at = {s: {b.timestamp: b for b in bars_} for s, bars_ in data.items()}
        last = {s: None for s in data}
        for time in times:
            present = [s for s in data if time in at[s]]
            for s in present:
                last[s] = at[s][time]
            rate = {"EURUSD": 1.0, "USDJPY": 1.0 / last["USDJPY"].close}
            self.stop_out_at(last, present, rate, time)
            for s in present:
                if rng.random() < 0.4:
                    self.opening(s, rng.random() < 0.5, rng.choice([0.1, 0.5, 1.0, 3.0]),
                                 last, rate)
                elif rng.random() < 0.15:
                    self.close_all(s, last[s].close, rate[s], "close_all")
            self.equity.append(self.value({s: last[s].close for s in data}, rate))
        for s in data:
            self.close_all(s, last[s].close, rate[s], "end")

    def value(self, prices, rate):
        total = -0.0
        for s, held in self.open.items():
            if held:
                value = -0.0
                for is_long, entry, lots, _ in held:
                    value = value + pnl(is_long, entry, prices[s], lots, rate[s])
                total = total + value
        return total + self.cash

    def used(self):
        used = 0.0
        for held in self.open.values():
            for *_, taken in held:
                used = used + taken
        return used

    def opening(self, s, is_long, lots, last, rate):
        price = last[s].close
        per_lot = ((LOT * price) * rate[s]) / self.leverage
        free = self.value({k: b.close for k, b in last.items() if b}, rate) - self.used()
        if not per_lot * lots <= free:
            self.refused += 1
            return
        self.open[s].append([is_long, price, lots, per_lot * lots])
        self.cash = self.cash - self.commission * lots

    def close_all(self, s, price, rate, reason):
        for is_long, entry, lots, _ in self.open[s]:
            self.trades.append((s, reason, pnl(is_long, entry, price, lots, rate)))
            self.cash = self.cash + pnl(is_long, entry, price, lots, rate)
        self.open[s] = []

    def stop_out_at(self, last, present, rate, time):
        candidates, worst = [], -0.0
        for s, held in self.open.items():
            if not held:
                continue
            bar = last[s]
            ends = (bar.low, bar.high) if s in present else (bar.close, bar.close)
            values = []
            for end in ends:
                value = -0.0
                for is_long, entry, lots, _ in held:
                    value = value + pnl(is_long, entry, end, lots, rate[s])
                values.append(value)
            low = values[0] <= values[1]
            end = ends[0] if low else ends[1]
            worst = worst + (values[0] if low else values[1])
            candidates += [[s, i, pnl(p[0], p[1], end, p[2], rate[s]), end, p[3]]
                           for i, p in enumerate(held)]
        if not candidates or not (worst + self.cash) / self.used() * 100.0 <= self.stop_out:
            return
        closed = {s: set() for s in self.open}
        while candidates:
            chosen = min(candidates, key=lambda c: c[2])
            candidates.remove(chosen)
            s, i, value, end, _ = chosen
            self.trades.append((s, "stop_out", value))
            self.cash = self.cash + value
            closed[s].add(i)
            open_, used = -0.0, 0.0
            for c in candidates:
                open_ = open_ + c[2]
            for c in candidates:
                used = used + c[4]
            if candidates and not (open_ + self.cash) / used * 100.0 <= self.stop_out:
                break
        for s in self.open:
            self.open[s] = [p for i, p in enumerate(self.open[s]) if i not in closed[s]]


class Random:
    """The model's orders, on the portfolio."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def next(self, step, account):
        rng = self.rng
        for s in step:
            if rng.random() < 0.4:
                is_long, lots = rng.random() < 0.5, rng.choice([0.1, 0.5, 1.0, 3.0])
                (account.buy if is_long else account.sell)(s, lots)
            elif rng.random() < 0.15:
                account[s].close_all()


@settings(max_examples=150, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 40),
       cash=st.sampled_from([1_000.0, 5_000.0]), leverage=st.sampled_from([30.0, 100.0]),
       stop_out=st.sampled_from([50.0, 100.0]), keep=st.sampled_from([0.6, 1.0]),
       rules=st.sampled_from(["engine", "broker"]))
def test_two_instruments_on_one_margin_follow_the_model(seed, n, cash, leverage, stop_out,
                                                        keep, rules):
    data = {"EURUSD": random_bars(random.Random(seed), n, 1.1, keep=keep),
            "USDJPY": random_bars(random.Random(seed + 1), n, 150.0, keep=keep)}
    model = Pooled({s: [b for b in Backtest(d).bars()] for s, d in data.items()}, cash, 2.0,
                   leverage, stop_out)
    model.run(seed)
    got = Portfolio({bare(s): d for s, d in data.items()}, initial_cash=cash, commission=2.0,
                    leverage=leverage, stop_out=stop_out, rules=rules).run(Random(seed))
    assert hexed(got.equity) == hexed(model.equity)
    assert [(s, r["exit_reason"], float.hex(r["pnl"])) for s, r in
            zip(got.trade_symbols, rows_of(got))] == \
        [(s, reason, float.hex(value)) for s, reason, value in model.trades]
    assert got.orders_refused == model.refused
    assert float.hex(got.stats.final_cash) == float.hex(model.cash)


# --- instruments that never interact are their separate runs ---

class Each:
    """A strategy of its own for each instrument, called with that instrument's bar and
    account only."""

    def __init__(self, each):
        self.each = each

    def next(self, step, account):
        for symbol, bar in step.items():
            self.each[symbol].act(bar, account[symbol])


def untied(log):
    return [x if x is None or isinstance(x, (bool, str)) else "ticket" for x in log]


def own_rows(result, symbol):
    """`symbol`'s trades, their steps taken back to its own bar numbers, without tickets."""
    steps = list(result.steps_of(symbol))
    rows = rows_of(result, symbol)
    for row in rows:
        row["entry_bar"], row["exit_bar"] = steps.index(row["entry_bar"]), \
            steps.index(row["exit_bar"])
    return rows


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(1, 60), options=OPTIONS)
def test_instruments_without_margin_trade_as_their_own_runs(seed, n, options):
    """Without margin an instrument's orders, fills, exits and swaps are its own business:
    random orders on each, with hours of their own, are their lone runs trade for trade."""
    data = {"EURUSD": random_bars(random.Random(seed), n, 1.1, keep=0.7),
            "USDJPY": random_bars(random.Random(seed + 1), n, 150.0, keep=0.7)}
    items = {s: Instrument(s, spread=options["points"], point=SYMBOLS[s][1],
                           swap_long=options["swap_long"], swap_short=options["swap_short"])
             for s in data}
    account = {k: options[k] for k in ("rules", "commission_at")}
    cash, commission = options["initial_cash"], options["commission"]
    alone = {s: Alone(seed + k) for k, s in enumerate(data)}
    held = {s: Chaos(seed + k) for k, s in enumerate(data)}
    want = {s: Backtest(data[s], cash, commission, **items[s].options(), **SYMBOLS[s][2],
                        **account).run(alone[s]) for s in data}
    got = Portfolio({items[s]: data[s] for s in data}, initial_cash=cash, commission=commission,
                    **account).run(Each(held))
    for s in data:
        # The tickets are the account's: one run of them across the instruments.
        assert untied(held[s].log) == untied(alone[s].log)
        assert repr(own_rows(got, s)) == repr(rows_of(want[s]))
    net = sum(r.stats.final_cash - cash for r in want.values())
    assert got.stats.final_cash == pytest.approx(cash + net, rel=1e-12, abs=1e-9)


class Lookback:
    """Long while the close is above the close `lookback` bars back, short otherwise."""

    def __init__(self, lookback=4, lots=0.2):
        self.lookback, self.lots, self.closes = lookback, lots, []

    def act(self, bar, account):
        self.closes.append(bar.close)
        if len(self.closes) <= self.lookback:
            return
        rising = bar.close > self.closes[-1 - self.lookback]
        if account.positions and account.positions[0].is_long != rising:
            account.close_all()
        if not account.positions:
            (account.buy if rising else account.sell)(lot_size=self.lots)

    def next(self, bar, account):
        self.act(bar, account)


def holed(data, every):
    """The bars without every `every`-th one: hours of its own."""
    names = ("timestamp", "open", "high", "low", "close")
    columns = [list(data.column(name)) for name in names]
    keep = [i for i in range(len(data)) if i % every != every - 1]
    return from_arrays(*([column[i] for i in keep] for column in columns))


class Apart:
    def __init__(self, symbols):
        self.each = {s: Lookback(lookback=3 + k) for k, s in enumerate(symbols)}

    def next(self, step, account):
        for symbol, bar in step.items():
            self.each[symbol].act(bar, account[symbol])


def test_instruments_that_never_interact_are_their_own_runs():
    eurusd = Instrument("EURUSD", swap_long=-0.6, swap_short=0.1)
    usdjpy = Instrument("USDJPY", swap_long=0.3, swap_short=-0.9)
    data = {eurusd: holed(sample_bars()[:1500], 11),
            usdjpy: holed(sample_bars("USDJPY")[:1500], 7)}
    result = Portfolio(data, initial_cash=1e6, commission=7.0).run(Apart(["EURUSD", "USDJPY"]))
    alone = {"EURUSD": Backtest(data[eurusd], 1e6, 7.0, **eurusd.options()).run(Lookback(3)),
             "USDJPY": Backtest(data[usdjpy], 1e6, 7.0, **usdjpy.options(),
                                quote_to_account="1/close").run(Lookback(4))}
    assert len(result.timestamps) > len(data[usdjpy])
    for symbol, own in alone.items():
        steps = list(result.steps_of(symbol))
        mine = rows_of(result, symbol)
        theirs = rows_of(own)
        assert len(mine) == len(theirs) > 20
        for row in theirs:
            row["entry_bar"], row["exit_bar"] = steps[row["entry_bar"]], steps[row["exit_bar"]]
        assert repr(mine) == repr(theirs)
        assert result.by_symbol[symbol]["num_trades"] == len(theirs)
    net = sum(r.stats.final_cash - 1e6 for r in alone.values())
    assert result.stats.final_cash == pytest.approx(1e6 + net, rel=1e-12)
    assert result.stats.num_trades == sum(r.stats.num_trades for r in alone.values())


# --- soundness ---

class Breaks:
    def __init__(self):
        self.account, self.steps = None, 0

    def next(self, step, account):
        self.account = account
        self.steps += 1
        account.buy("EURUSD", 0.1)
        account.sell("USDJPY", 0.1)
        if self.steps == 3:
            raise RuntimeError("the strategy broke")


def two_pairs(n=12):
    waves = [math.sin(i) for i in range(n)]
    return Portfolio({bare("EURUSD"): bars(range(n), [1.1 + 0.01 * w for w in waves]),
                      bare("USDJPY"): bars(range(n), [150.0 - w for w in waves])}, commission=1.0)


def test_a_strategy_that_raises_leaves_its_account_usable():
    portfolio = two_pairs()
    strategy = Breaks()
    with pytest.raises(RuntimeError, match="the strategy broke"):
        portfolio.run(strategy)
    account = strategy.account
    # Three steps of two orders, each charged 0.1 lot of commission from one cash.
    spent = 10_000.0 - 1.0 * 0.1 - 1.0 * 0.1 - 1.0 * 0.1 - 1.0 * 0.1 - 1.0 * 0.1 - 1.0 * 0.1
    assert account.cash == pytest.approx(spent)
    for member in account.values():
        assert len(member.positions) == 3
        assert member.cash == account.cash
    # Outside the run each instrument trades on its own, at the price and time given.
    ticket = account["EURUSD"].buy(1.2, 0.1, T0 + 10 * HOUR)
    assert ticket is not None
    account["USDJPY"].close_all(151.0, T0 + 10 * HOUR)
    assert not account["USDJPY"].positions
    assert len(account["USDJPY"].trades) == 3
    # And the portfolio runs again, from a fresh account.
    again = portfolio.run(type("Quiet", (), {"next": lambda self, step, account: None})())
    assert again.stats.final_cash == 10_000.0


@pytest.mark.parametrize("keep", ["steps", "bars"])
def test_what_the_strategy_keeps_of_a_step_stays_as_it_was(keep):
    portfolio = Portfolio({bare("EURUSD"): bars(range(6), [1.1 + 0.01 * i for i in range(6)]),
                           bare("USDJPY"): bars(UJ_HOURS, UJ_ROWS)})
    kept = []

    class Keeps:
        def next(self, step, account):
            kept.append(step if keep == "steps" else dict(step))

    portfolio.run(Keeps())
    seen = [{s: (b.timestamp, b.close) for s, b in step.items()} for step in kept]
    uj = dict(zip(UJ_HOURS, [r if isinstance(r, float) else r[3] for r in UJ_ROWS]))
    assert seen == [{"EURUSD": (T0 + h * HOUR, 1.1 + 0.01 * h),
                     **({"USDJPY": (T0 + h * HOUR, uj[h])} if h in uj else {})}
                    for h in range(6)]


def test_a_result_pickles():
    result = two_pairs().run(Apart(["EURUSD", "USDJPY"]))
    back = pickle.loads(pickle.dumps(result))
    assert isinstance(back, PortfolioResult)
    assert repr(back.stats) == repr(result.stats)
    assert hexed(back.equity) == hexed(result.equity)
    assert back.trade_symbols == result.trade_symbols
    assert repr(rows_of(back)) == repr(rows_of(result))
    assert list(back.steps_of("USDJPY")) == list(result.steps_of("USDJPY"))
    assert list(back.timestamps) == list(result.timestamps)
    assert repr(back.metrics) == repr(result.metrics)
    assert repr(back.by_symbol) == repr(result.by_symbol)
    assert back.exposure == result.exposure


@requires_debug_build
def test_runs_keep_no_references():
    portfolio = two_pairs()
    stopped = Portfolio({bare("EURUSD"): bars(range(4), [1.1, 1.1, (1.1, 1.1, 1.095, 1.1), 1.1]),
                         bare("USDJPY"): bars([0, 1, 3], [100.0, 99.0, 100.0])},
                        initial_cash=2_500.0, commission=0.0, leverage=100.0)

    class Opens:
        def next(self, step, account):
            if step["EURUSD"].timestamp == T0:
                account.buy("EURUSD", 1.0)
                account.buy("USDJPY", 1.0)

    def action():
        result = portfolio.run(Apart(["EURUSD", "USDJPY"]))
        _ = result.trade_rows(), result.by_symbol, list(result.steps_of("USDJPY"))
        with pytest.raises(RuntimeError):
            portfolio.run(Breaks())
        stopped.run(Opens())
        with pytest.raises(ValueError):
            _backtest.PortfolioRunner((good, unordered), (None, None))

    # Through Portfolio() a refusal (and a pickle) fills the interpreter's caches for a few
    # hundred rounds before the counts settle: the native refusal is checked on its own.
    good, unordered = (Backtest(data)._runner for data in (bars(range(3), [1.1] * 3), REPEATED))
    leak_check(action, repeat=40)
