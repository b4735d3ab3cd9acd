"""The FX account's rules, on a few bars worked out by hand: gap fills, conversion rates, swaps at
the rollover, margin and the stop-out, partial closes, trailing stops and pending orders."""
import calendar
import math
import re

import pytest
from hypothesis import given, settings, strategies as st

from candlewright import Account, Backtest, Bar, Engine
from candlewright.sweeps import FIGURES

from account_model import same
from test_backtest import Script, scripts, walk

P = pytest.param
EUR = (10_000.0, 0.0, 0.0001, 100_000.0, 1.0)


class Do:
    """Calls at[i](bar, account) on bar i; keeps what `see` returns on every bar."""

    def __init__(self, at, see=None):
        self.at, self.see = at, see

    def init(self, bars):
        self.i, self.seen = -1, []

    def next(self, bar, account):
        self.i += 1
        self.account = account
        if self.see:
            self.seen.append(self.see(bar, account))
        if self.i in self.at:
            self.at[self.i](bar, account)


def run(data, at, account=EUR, see=None, **options):
    """Under the engine's rules unless told otherwise: these are the options over them."""
    strategy = Do(at, see)
    options.setdefault("rules", "engine")
    return Backtest(data, *account, **options).run(strategy), strategy


def bars(*rows, t0=0, step=60):
    return [Bar(t0 + step * i, *row, 0.0) for i, row in enumerate(rows)]


def pnl(is_long, entry, exit_, lots, contract=100_000.0, rate=1.0):
    diff = exit_ - entry if is_long else entry - exit_
    return ((diff * lots) * contract) * rate


def buy(*args, **kw):
    return lambda b, a: a.buy(b.close, 1.0, b.timestamp, *args, **kw)


def sell(*args, **kw):
    return lambda b, a: a.sell(b.close, 1.0, b.timestamp, *args, **kw)


FLAT = (1.1000, 1.1000, 1.1000, 1.1000)
DOWN_GAP, UP_GAP = (1.0950, 1.0960, 1.0940, 1.0955), (1.1050, 1.1060, 1.1040, 1.1055)


@pytest.mark.parametrize("is_long, stop, target, bar, reason, level, gap_level", [
    P(True, 1.0980, None, DOWN_GAP, "stop_loss", 1.0980, 1.0950, id="long-stop"),
    P(True, None, 1.1020, UP_GAP, "take_profit", 1.1020, 1.1050, id="long-target"),
    P(False, 1.1020, None, UP_GAP, "stop_loss", 1.1020, 1.1050, id="short-stop"),
    P(False, None, 1.0980, DOWN_GAP, "take_profit", 1.0980, 1.0950, id="short-target"),
    # Opening above the stop and trading through it is no gap: the level either way.
    P(True, 1.0980, None, (1.0990, 1.0995, 1.0970, 1.0975), "stop_loss", 1.0980, 1.0980,
      id="no-gap"),
])
@pytest.mark.parametrize("gap_fills", ["level", "open"])
def test_gap_fills_at_the_level_or_the_open(is_long, stop, target, bar, reason, level,
                                            gap_level, gap_fills):
    side = buy if is_long else sell
    result, _ = run(bars(FLAT, bar, FLAT), {0: side(stop, target)}, gap_fills=gap_fills)
    (trade,) = result.trades
    fill = gap_level if gap_fills == "open" else level
    exit_ = fill - 0.0001 if is_long else fill + 0.0001
    entry = 1.1000 + 0.0001 if is_long else 1.1000 - 0.0001
    assert (trade.exit_reason, trade.exit_bar, trade.entry_price) == (reason, 1, entry)
    assert same(trade.exit_price, exit_) and same(trade.pnl, pnl(is_long, entry, exit_, 1.0))
    assert same(result.stats.final_cash, 10_000.0 + trade.pnl)


JPY_CLOSES = (150.00, 151.00, 152.00, 153.00)
JPY = {"timestamp": [0, 60, 120, 180], "open": list(JPY_CLOSES), "high": list(JPY_CLOSES),
       "low": list(JPY_CLOSES), "close": list(JPY_CLOSES), "rate": [0.0066, 0.0067, 0.0065, 0.0068]}


@pytest.mark.parametrize("rate, rates", [
    P("1/close", [1.0 / c for c in JPY_CLOSES], id="inverse-close"),
    P("rate", JPY["rate"], id="column"),
    P(tuple(JPY["rate"]), JPY["rate"], id="sequence"),
])
def test_a_rate_per_bar_values_each_close_and_equity_point(rate, rates):
    close = lambda b, a: a.close_ticket(0, b.close, b.timestamp)  # noqa: E731
    result, _ = run(JPY, {0: buy(), 2: close}, (10_000.0, 0.0, 0.01, 100_000.0, rate))
    (trade,) = result.trades
    assert same(trade.pnl, pnl(True, 150.01, 151.99, 1.0, rate=rates[2]))
    open_value = [-0.0 + pnl(True, 150.01, c, 1.0, rate=r) for c, r in zip(JPY_CLOSES, rates)]
    assert list(result.equity) == [open_value[0] + 10_000.0, open_value[1] + 10_000.0,
                                   10_000.0 + trade.pnl, 10_000.0 + trade.pnl]


def week(monday, hours=120):
    t0 = calendar.timegm((*monday, 0, 0, 0))
    return bars(*[FLAT] * hours, t0=t0, step=3600)


# New York's 17:00 is 21:00 UTC in summer time, 22:00 in winter.
@pytest.mark.parametrize("monday, hour", [P((2024, 7, 8), 21, id="summer"),
                                          P((2024, 1, 8), 22, id="winter")])
@pytest.mark.parametrize("triple, nights", [("wednesday", (1, 3, 1)), ("thu", (1, 1, 3))])
def test_swaps_at_the_new_york_rollover(monday, hour, triple, nights):
    tue, wed, thu = 24 + hour, 48 + hour, 72 + hour
    at = {36: lambda b, a: (a.buy(b.close, 2.0, b.timestamp), a.sell(b.close, 1.0, b.timestamp)),
          # Opened on the rollover's own bar: that night is not its own.
          tue: lambda b, a: a.buy(b.close, 1.0, b.timestamp),
          108: lambda b, a: [a.close_ticket(t, b.close, b.timestamp) for t in range(3)]}
    result, strategy = run(week(monday), at, (10_000.0, 0.0, 0.0, 100_000.0, 1.0),
                           see=lambda b, a: a.cash, swap_long=-2.5, swap_short=1.0,
                           triple_swap=triple)
    cash = strategy.seen
    assert [i for i in range(1, len(cash)) if cash[i] != cash[i - 1]] == [tue, wed, thu]
    long_night, short_night = -2.5 * 2.0, 1.0 * 1.0
    swaps = [0.0, 0.0, 0.0]
    for i, n in enumerate(nights):
        swaps[0] = swaps[0] + long_night * n
        swaps[1] = swaps[1] + short_night * n
        if i:
            swaps[2] = swaps[2] + (-2.5 * 1.0) * n
    assert list(result.trades.swap) == swaps
    assert result.metrics["swaps"] == math.fsum(swaps)
    assert result.stats.final_cash == pytest.approx(10_000.0 + sum(swaps), abs=1e-9)


def test_swaps_in_points_use_the_contract_and_rate():
    result, _ = run(week((2024, 7, 8)), {36: sell()}, (10_000.0, 0.0, 0.0, 100_000.0, 0.9),
                    swap_short=-3.2, swap_unit="points", point=0.00001)
    expected = 0.0
    for n in (1.0, 3.0, 1.0, 1.0):  # Tuesday to Friday: held to the end, Friday 23:00
        expected = expected + ((((-3.2 * 0.00001) * 100_000.0) * 1.0) * n) * 0.9
    (trade,) = result.trades
    assert same(trade.swap, expected) and same(result.metrics["swaps"], expected)


# 100 cash, 10 per lot, prices in whole units: the margin level is easy to reach exactly.
UNIT = (100.0, 0.0, 0.0, 1.0, 1.0)


@pytest.mark.parametrize("opens, spread, low, high, stop_out, stopped, at", [
    P([4.0, 6.0], 0.0, 95.5, 100.0, 50.0, [], None, id="above"),
    P([4.0, 6.0], 0.0, 95.0, 100.0, 50.0, [1], 95.0, id="at-the-level"),
    P([4.0, 6.0], 0.0, 92.0, 100.0, 50.0, [1, 0], 92.0, id="both"),
    P([10.0], 0.5, 95.0, 100.0, 50.0, [0], 95.0, id="long-less-spread"),
    P([4.0, 6.0], 0.0, 92.0, 100.0, 20.0, [1], 92.0, id="lower-stop-out"),
    P([4.0, 6.0], 0.0, 92.0, 100.0, None, [], None, id="never"),
    P([-10.0], 0.5, 100.0, 105.0, 50.0, [0], 105.0, id="short-at-the-high"),
])
def test_stop_out_at_the_worst_price_largest_loss_first(opens, spread, low, high, stop_out,
                                                        stopped, at):
    def open_all(b, a):
        for lots in opens:
            (a.buy if lots > 0 else a.sell)(b.close, abs(lots), b.timestamp)

    data = bars((100.0,) * 4, (100.0, high, low, 100.0), (100.0,) * 4)
    result, _ = run(data, {0: open_all}, UNIT[:2] + (spread,) + UNIT[3:], margin_per_lot=10.0,
                    stop_out=stop_out)
    out = [t for t in result.trades if t.exit_reason == "stop_out"]
    assert [t.ticket for t in out] == stopped and result.metrics["stop_outs"] == len(stopped)
    assert [t.exit_bar for t in out] == [1] * len(stopped)
    for t in out:
        exit_ = at - spread if t.is_long else at + spread
        assert same(t.exit_price, exit_)
        assert same(t.pnl, pnl(t.is_long, t.entry_price, exit_, t.lot_size, contract=1.0))
    kept = len(opens) - len(stopped)
    assert result.trades.exit_reason == ["stop_out"] * len(stopped) + ["end"] * kept


def test_an_order_without_free_margin_is_refused_at_no_cost():
    account = Account(1_000.0, 7.0, 0.0, 100_000.0, 1.0, leverage=100.0, rules="engine")
    assert account.buy(1.1, 1.0, 0) is None  # 1100 of margin
    assert (account.cash, account.refused, account.positions) == (1_000.0, 1, ())
    assert account.buy(1.1, 0.5, 0) == 0  # the refusal used no ticket
    assert account.used_margin == (((100_000.0 * 1.1) * 1.0) / 100.0) * 0.5
    assert account.free_margin(1.1) == account.equity(1.1) - account.used_margin
    assert account.sell(1.1, 0.5, 0) is None and account.refused == 2
    # Exactly the free margin is enough.
    assert Account(1_000.0, 0.0, 0.0, 1.0, 1.0, margin_per_lot=500.0, rules="engine").buy(
        1.0, 2.0, 0) == 0
    # In a run, so is an order filled with too little margin.
    at = {0: lambda b, a: (a.buy(b.close, 1.0, b.timestamp), a.buy_limit(1.1, 5.0, b.timestamp))}
    result, strategy = run(bars(FLAT, FLAT, FLAT), at, (1_000.0, 7.0, 0.0, 100_000.0, 1.0),
                           leverage=100.0)
    assert (len(result.trades), result.metrics["orders_refused"]) == (0, 2)
    assert strategy.account.orders == () and result.stats.final_cash == 1_000.0


@pytest.mark.parametrize("commission_at", ["open", "both"])
def test_a_partial_close_keeps_the_ticket_and_splits_the_commission(commission_at):
    account = Account(10_000.0, 7.0, 0.0001, 100_000.0, 1.0, commission_at=commission_at,
                      rules="engine")
    account.buy(1.1, 1.0, 0)
    account.buy(1.1, 1.0, 0)
    assert account.close_ticket(1, 1.12, 1, lots=0.4) is True
    (part,) = account.trades
    assert (part.ticket, part.lot_size, part.commission) == (1, 0.4, 7.0 * 0.4)
    assert same(part.pnl, pnl(True, 1.1 + 0.0001, 1.12 - 0.0001, 0.4))
    (_, rest) = account.positions
    assert (rest.ticket, rest.lot_size, rest.commission) == (1, 0.6, 7.0 * 0.6)
    assert account.close_ticket(1, 1.13, 2, lots=5.0) is True and len(account.positions) == 1
    whole = account.trades[1]
    assert (whole.ticket, whole.lot_size, whole.commission) == (1, 0.6, 7.0 * 0.6)
    if commission_at == "open":
        cash = ((10_000.0 - 7.0) - 7.0) + part.pnl + whole.pnl
    else:
        cash = (10_000.0 - (7.0 * 1.0) * 0.5) - (7.0 * 1.0) * 0.5
        cash = (cash + part.pnl) - (7.0 * 0.4) * 0.5
        cash = (cash + whole.pnl) - (7.0 * 0.6) * 0.5
    assert same(account.cash, cash)
    for lots in (0.0, -1.0, math.nan):
        with pytest.raises(ValueError, match="lots must be positive"):
            account.close_ticket(0, 1.1, 3, lots=lots)
    assert account.close_ticket(9, 1.1, 3, lots=0.1) is False


def test_a_partial_close_takes_its_share_of_the_swap():
    at = {36: buy(), 80: lambda b, a: a.close_ticket(0, b.close, b.timestamp, lots=0.25)}
    result, _ = run(week((2024, 7, 8)), at, (10_000.0, 0.0, 0.0, 100_000.0, 1.0),
                    swap_long=-2.0)
    part, rest = result.trades  # after Tue and Wed, -8; the rest gets Thursday's and Friday's
    night = (-2.0 * 0.75) * 1.0
    assert (part.swap, rest.swap) == (-8.0 * 0.25, ((-8.0 - -2.0) + night) + night)


def trail_bars(is_long):
    rows = [(1.1000, 1.1000, 1.1000, 1.1000), (1.1010, 1.1030, 1.1022, 1.1025),
            (1.1024, 1.1026, 1.1021, 1.1022), (1.1042, 1.1050, 1.1041, 1.1045),
            (1.1042, 1.1045, 1.1030, 1.1035), (1.1035, 1.1035, 1.1035, 1.1035)]
    if is_long:
        return bars(*rows)
    # The same moves the other way up: 2.2 - price, high and low swapped.
    return bars(*[(2.2 - o, 2.2 - lo, 2.2 - hi, 2.2 - c) for o, hi, lo, c in rows])


@pytest.mark.parametrize("is_long", [True, False])
def test_a_trailing_stop_follows_the_best_price_and_never_backs_off(is_long):
    data = trail_bars(is_long)
    side, sign = (buy, 1.0) if is_long else (sell, -1.0)
    best = [b.high if is_long else b.low for b in data]
    result, strategy = run(data, {0: side(trail=0.0010)}, (10_000.0, 0.0, 0.0, 100_000.0, 1.0),
                           see=lambda b, a: [p.stop_loss for p in a.positions])
    moved_1, moved_3 = best[1] - sign * 0.0010, best[3] - sign * 0.0010
    assert strategy.seen[1:4] == [[moved_1], [moved_1], [moved_3]]  # bar 2 would move it back
    assert strategy.seen[0] == [] and strategy.seen[4] == []
    (trade,) = result.trades
    assert (trade.exit_reason, trade.exit_bar, trade.exit_price) == ("stop_loss", 4, moved_3)


def test_a_trail_removed_leaves_the_stop_where_it_is():
    at = {0: buy(trail=0.0010), 2: lambda b, a: a.modify(0, trail=None)}
    result, strategy = run(trail_bars(True), at, (10_000.0, 0.0, 0.0, 100_000.0, 1.0),
                           see=lambda b, a: [p.stop_loss for p in a.positions])
    assert strategy.seen[3:] == [[1.1030 - 0.0010]] * 3
    assert [t.exit_reason for t in result.trades] == ["end"]


@pytest.mark.parametrize("place, level, rows, fill_bar, fill", [
    P("buy_limit", 1.0950, [(1.0990, 1.0995, 1.0960, 1.0990), (1.0960, 1.0970, 1.0940, 1.0945)],
      2, 1.0950, id="buy-limit-later"),
    P("buy_limit", 1.0950, [(1.0930, 1.0960, 1.0920, 1.0940)], 1, 1.0930, id="buy-limit-gap"),
    P("buy_stop", 1.1050, [(1.1010, 1.1060, 1.1000, 1.1055)], 1, 1.1050, id="buy-stop"),
    P("buy_stop", 1.1050, [(1.1070, 1.1080, 1.1060, 1.1075)], 1, 1.1070, id="buy-stop-gap"),
    P("sell_limit", 1.1050, [(1.1010, 1.1060, 1.1000, 1.1055)], 1, 1.1050, id="sell-limit"),
    P("sell_stop", 1.0950, [(1.0930, 1.0960, 1.0920, 1.0940)], 1, 1.0930, id="sell-stop-gap"),
])
def test_pending_orders_fill_at_their_level_or_the_open(place, level, rows, fill_bar, fill):
    is_buy = place.startswith("buy")
    target = 1.2 if is_buy else 1.0
    # Bar 0 itself reaches both levels: an order placed at its close waits for the next.
    data = bars((1.1000, 1.1060, 1.0940, 1.1000), *rows, FLAT)
    at = {0: lambda b, a: getattr(a, place)(level, 1.0, b.timestamp, None, target)}
    result, strategy = run(data, at, see=lambda b, a: len(a.orders))
    (trade,) = result.trades
    entry = fill + 0.0001 if is_buy else fill - 0.0001
    assert (trade.ticket, trade.entry_bar, trade.entry_price) == (0, fill_bar, entry)
    assert (trade.is_long, trade.take_profit) == (is_buy, target)
    assert strategy.seen[1:] == [1] * (fill_bar - 1) + [0] * (len(data) - fill_bar)


@pytest.mark.parametrize("expiry, filled", [(60, False), (61, True), (None, True)])
def test_an_order_expires_from_the_bar_at_its_time_and_cancel_drops_one(expiry, filled):
    def place(b, a):
        a.sell_stop(1.0950, 1.0, b.timestamp, expiry=expiry)
        assert a.cancel(a.buy_stop(1.1050, 1.0, b.timestamp)) and not a.cancel(1)

    result, strategy = run(bars(FLAT, (1.1000, 1.1060, 1.0940, 1.1000), FLAT), {0: place})
    assert [(t.ticket, t.is_long) for t in result.trades] == ([(0, False)] if filled else [])
    assert strategy.account.orders == ()


SPREADS = [10.0, 20.0, 30.0, 40.0]
FLATS = {"timestamp": [0, 60, 120, 180], **{k: [1.1] * 3 + [1.0] for k in
                                             ("open", "high", "low", "close")}}


@pytest.mark.parametrize("spread, point, spread_at", [
    P("spread", 0.00001, "both", id="column-points"),
    P([s * 0.00001 for s in SPREADS], None, "both", id="sequence-price"),
    P("spread", 0.00001, "entry", id="entry-only"),
])
def test_the_spread_of_the_bar_of_each_fill_applies(spread, point, spread_at):
    data = {**FLATS, "spread": SPREADS}
    at = {0: buy(), 1: buy(1.05), 2: lambda b, a: a.close_ticket(0, b.close, b.timestamp)}
    result, _ = run(data, at, (10_000.0, 0.0, spread, 100_000.0, 1.0), point=point,
                    spread_at=spread_at)
    first, second = result.trades  # closed in next at bar 2, by its stop on bar 3
    price = [s * 0.00001 for s in SPREADS]
    exit_spread = [p if spread_at == "both" else 0.0 for p in price]
    assert (first.entry_price, second.entry_price) == (1.1 + price[0], 1.1 + price[1])
    assert (first.exit_price, second.exit_price) == (1.1 - exit_spread[2], 1.05 - exit_spread[3])
    paid = ((price[0] + exit_spread[2]) * 1e5, (price[1] + exit_spread[3]) * 1e5)
    assert result.metrics["spread_paid"] == pytest.approx(sum(paid), rel=1e-12)


# The broker's set with each of its rules turned back to the engine's, one by one.
DEFAULTS = dict(rules="broker", time_unit="s", periods_per_year=None, point=None,
                spread_at="both", gap_fills="level", trail_from="extremes", fill_bar_exits=True,
                check_orders=False, commission_at="open", swap_long=0.0, swap_short=0.0,
                swap_unit="account", rollover="17:00", rollover_tz="America/New_York",
                triple_swap="wednesday", leverage=None, margin_per_lot=None, stop_out=50.0)


@settings(max_examples=60, deadline=None)
@given(scripts, st.integers(0, 2**16), st.sampled_from(["implicit", "explicit", "per-bar"]))
def test_under_the_engines_rules_a_run_is_the_engines_to_the_bit(actions, seed, how):
    data, account = walk(60, seed), (5e3, 1.5, 0.00015, 1e5, 0.93)
    expected = Engine(data, *account).run(Script(actions))
    options = DEFAULTS if how == "explicit" else {"rules": "engine"}
    if how == "per-bar":  # values that never change take the per-bar path to the same result
        account = (*account[:2], [account[2]] * 60, account[3], (account[4],) * 60)
    stats = Backtest(data, *account, **options).run(Script(actions)).stats
    for name in FIGURES:
        assert same(getattr(stats, name), getattr(expected, name)), name


@pytest.mark.parametrize("options, text", [
    P(dict(gap_fills="x"), "gap_fills must be 'level' or 'open', not 'x'", id="gap_fills"),
    P(dict(spread_at="exit"), "spread_at must be", id="spread_at"),
    P(dict(commission_at=1), "commission_at must be", id="commission_at"),
    P(dict(swap_unit="points"), "swap_unit='points' needs a positive point", id="no-point"),
    P(dict(spread="nope"), "no column 'nope'", id="no-column"),
    P(dict(spread=[0.0001] * 3), "spread has 3 values for 4 bars", id="short-sequence"),
    P(dict(quote_to_account=[1.0] * 5), "quote_to_account has 5 values for 4 bars",
      id="long-sequence"),
    P(dict(leverage=-100.0), "leverage must be a finite, non-negative", id="leverage"),
    P(dict(swap_long=math.inf), "swap_long must be a finite", id="swap"),
    P(dict(point=0.0), "point must be a positive", id="point"),
    P(dict(rollover="25:00", swap_long=-1.0), "rollover must be a time of day", id="rollover"),
    P(dict(triple_swap="someday", swap_long=-1.0), "triple_swap must be a weekday", id="triple"),
])
def test_bad_options_are_refused_with_the_reason(options, text):
    account = dict(zip(("initial_cash", "commission", "spread", "contract_size",
                        "quote_to_account"), EUR))
    account.update(options)
    with pytest.raises(ValueError, match=re.escape(text)):
        Backtest(FLATS, **account)
