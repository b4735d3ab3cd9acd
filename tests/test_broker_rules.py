"""The broker's rules, the default, worked out by hand on a few bars: bid and ask, one spread per
round trip, gap fills, refused orders, fills inside the bar's range, causal trailing stops,
pending orders examined from the next bar, the ask's own bars; and init errors that end a run."""
import array
import datetime
import math
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from candlewright import (Account, Backtest, Bar, Bars, Engine, SignalStrategy, SmaCross,
                         read_csv, sample_bars)
from conftest import leak_check, requires_debug_build

P = pytest.param
SPREAD = 0.0001
EUR = (10_000.0, 0.0, SPREAD, 100_000.0, 1.0)
FLAT = (1.1000, 1.1000, 1.1000, 1.1000)


def bars(*rows, step=60):
    return [Bar(step * i, *row, 0.0) for i, row in enumerate(rows)]


class Do:
    """Calls at[i](bar, account) on bar i."""

    def __init__(self, at):
        self.at = at

    def next(self, bar, account):
        self.account = account
        if account.bar_index in self.at:
            self.at[account.bar_index](bar, account)


def run(data, at, account=EUR, **options):
    return Backtest(data, *account, **options).run(Do(at))


def pnl(is_long, entry, exit_, lots=1.0):
    diff = exit_ - entry if is_long else entry - exit_
    return ((diff * lots) * 100_000.0) * 1.0


def only(result):
    (trade,) = result.trades
    return trade


@pytest.mark.parametrize("prices, long_in, long_out, short_in, short_out", [
    P("bid", 1.1 + SPREAD, 1.1, 1.1, 1.1 + SPREAD, id="bid"),
    P("ask", 1.1, 1.1 - SPREAD, 1.1 - SPREAD, 1.1, id="ask"),
    P("mid", 1.1 + SPREAD * 0.5, 1.1 - SPREAD * 0.5, 1.1 - SPREAD * 0.5, 1.1 + SPREAD * 0.5,
      id="mid"),
])
@pytest.mark.parametrize("is_long", [True, False], ids=["long", "short"])
def test_a_round_trip_at_an_unchanged_price_costs_one_spread(prices, long_in, long_out,
                                                             short_in, short_out, is_long):
    side = (lambda b, a: a.buy(lot_size=1.0)) if is_long else (lambda b, a: a.sell(lot_size=1.0))
    result = run(bars(FLAT, FLAT, FLAT), {0: side, 1: lambda b, a: a.close_all()}, prices=prices)
    trade = only(result)
    entry, exit_ = (long_in, long_out) if is_long else (short_in, short_out)
    assert (trade.entry_price, trade.exit_price) == (entry, exit_)
    assert trade.pnl == pnl(is_long, entry, exit_)
    assert trade.pnl == pytest.approx(-SPREAD * 100_000.0, abs=1e-9)
    assert result.metrics["spread_paid"] == pytest.approx(SPREAD * 100_000.0, abs=1e-9)
    # Open, it is valued on the side it closes on: the equity point already counts the spread.
    assert result.equity[0] == pytest.approx(10_000.0 - SPREAD * 100_000.0, abs=1e-9)


def test_the_engines_rules_pay_the_spread_at_both_ends():
    result = run(bars(FLAT, FLAT, FLAT), {0: lambda b, a: a.buy(lot_size=1.0),
                                          1: lambda b, a: a.close_all()}, rules="engine")
    trade = only(result)
    assert (trade.entry_price, trade.exit_price) == (1.1 + SPREAD, 1.1 - SPREAD)
    assert result.equity[0] == 10_000.0 + pnl(True, 1.1 + SPREAD, 1.1)


# The bid's high stays below 1.1010; the ask's (the bid + 1 pip) reaches it.
NEAR = (1.1000, 1.10095, 1.0995, 1.1000)


@pytest.mark.parametrize("rules, stopped", [("broker", True), ("engine", False)])
def test_a_short_is_stopped_by_the_ask(rules, stopped):
    result = run(bars(FLAT, NEAR, FLAT), {0: lambda b, a: a.sell(b.close, 1.0, b.timestamp,
                                                                 1.1010, None)}, rules=rules)
    trade = only(result)
    if stopped:
        assert (trade.exit_reason, trade.exit_bar, trade.exit_price) == ("stop_loss", 1, 1.1010)
        assert trade.pnl == pnl(False, 1.1, 1.1010)
    else:
        assert trade.exit_reason == "end"


def test_a_longs_target_is_read_on_the_bid():
    # The ask reaches 1.1010, the bid does not: a long sells at the bid.
    result = run(bars(FLAT, NEAR, FLAT),
                 {0: lambda b, a: a.buy(b.close, 1.0, b.timestamp, None, 1.1010)})
    assert only(result).exit_reason == "end"


@pytest.mark.parametrize("is_long, stop, bar, exit_price", [
    P(True, 1.0980, (1.0950, 1.0960, 1.0940, 1.0955), 1.0950, id="long-bid-open"),
    P(False, 1.1020, (1.1050, 1.1060, 1.1040, 1.1055), 1.1050 + SPREAD, id="short-ask-open"),
])
def test_a_level_the_bar_opens_beyond_fills_at_the_open(is_long, stop, bar, exit_price):
    side = "buy" if is_long else "sell"
    result = run(bars(FLAT, bar), {0: lambda b, a: getattr(a, side)(lot_size=1.0,
                                                                     stop_loss=stop)})
    trade = only(result)
    assert (trade.exit_reason, trade.exit_price) == ("stop_loss", exit_price)
    entry = 1.1 + SPREAD if is_long else 1.1
    assert trade.pnl == pnl(is_long, entry, exit_price)


def test_orders_omit_the_price_and_time_inside_a_run():
    seen = []
    data = bars(FLAT, (1.1, 1.102, 1.099, 1.1015), FLAT)
    result = run(data, {1: lambda b, a: seen.append((a.bar_index, a.buy(lot_size=2.0)))})
    trade = only(result)
    assert seen == [(1, 0)]
    assert (trade.entry_price, trade.entry_time, trade.entry_bar) == (1.1015 + SPREAD, 60, 1)
    account = Account(*EUR)
    assert account.bar_index is None
    for call in (lambda: account.buy(lot_size=1.0), lambda: account.close_all(),
                 lambda: account.buy(1.1, 1.0)):
        with pytest.raises(ValueError, match="is needed outside a run"):
            call()
    with pytest.raises(TypeError, match=r"Account.buy\(\) missing 1 required argument: "
                                        r"'lot_size'"):
        account.buy(1.1)


def state(account):
    return (account.cash, account.used_margin, len(account.trades),
            [tuple(p) if hasattr(p, "__iter__") else repr(p) for p in account.positions],
            repr(account.orders))


NAN, INF = math.nan, math.inf


@pytest.mark.parametrize("call, text", [
    P(lambda a: a.buy(1.1, 0.0, 0), "lot_size must be a finite number above 0, not 0.0",
      id="no-lots"),
    P(lambda a: a.buy(1.1, -1, 0), "lot_size must be a finite number above 0, not -1.0",
      id="negative-lots"),
    P(lambda a: a.sell(1.1, NAN, 0), "lot_size must be a finite number above 0, not nan",
      id="nan-lots"),
    P(lambda a: a.sell(1.1, INF, 0), "lot_size must be a finite number above 0, not inf",
      id="infinite-lots"),
    P(lambda a: a.buy(-1.0, 1.0, 0), "price must be a finite price above 0, not -1.0",
      id="negative-price"),
    P(lambda a: a.buy(NAN, 1.0, 0), "price must be a finite price above 0, not nan",
      id="nan-price"),
    P(lambda a: a.buy(1.1, 0.1, 0, 1.11, 1.09),
      "stop_loss 1.11 of a long must be below its entry 1.1001", id="long-stop-above"),
    P(lambda a: a.buy(1.1, 0.1, 0, 1.1001), "stop_loss 1.1001 of a long must be below its entry",
      id="long-stop-at-entry"),
    P(lambda a: a.buy(1.1, 0.1, 0, None, 1.1),
      "take_profit 1.1 of a long must be above its entry 1.1001", id="long-target-below"),
    P(lambda a: a.sell(1.1, 0.1, 0, 1.09), "stop_loss 1.09 of a short must be above its entry 1.1",
      id="short-stop-below"),
    P(lambda a: a.sell(1.1, 0.1, 0, None, 1.2),
      "take_profit 1.2 of a short must be below its entry 1.1", id="short-target-above"),
    P(lambda a: a.buy(1.1, 0.1, 0, NAN), "stop_loss must be a finite price, not nan",
      id="nan-stop"),
    P(lambda a: a.buy(1.1, 0.1, 0, trail=-0.002),
      "trail must be a finite distance above 0, not -0.002", id="negative-trail"),
    P(lambda a: a.buy_limit(1.09, 0.1, 0, 1.095),
      "stop_loss 1.095 of a long must be below the order's entry 1.09", id="order-stop"),
    P(lambda a: a.sell_stop(1.08, 0.1, 0, None, 1.09),
      "take_profit 1.09 of a short must be below the order's entry 1.08", id="order-target"),
    P(lambda a: a.sell_limit(1.12, -0.1, 0), "lot_size must be a finite number above 0",
      id="order-lots"),
    P(lambda a: a.close_ticket(0, 1.1, 1, lots=INF),
      "lots must be a finite number above 0, not inf", id="close-infinite-lots"),
    P(lambda a: a.close_all(0.0, 1), "price must be a finite price above 0, not 0.0",
      id="close-price"),
    P(lambda a: a.modify(0, stop_loss=NAN), "levels must be finite prices, not nan",
      id="modify-nan"),
    P(lambda a: a.modify(1, stop_loss=1.2), "stop_loss 1.2 of a long must be below the order's",
      id="modify-order"),
    P(lambda a: a.modify(0, trail=0.0), "trail must be a finite distance above 0, not 0.0",
      id="modify-trail"),
])
def test_orders_a_broker_refuses_raise_and_change_nothing(call, text):
    account = Account(*EUR)
    account.buy(1.1, 1.0, 0, 1.09, 1.12)
    account.buy_limit(1.0, 1.0, 0)
    before = state(account)
    with pytest.raises(ValueError, match=re.escape(text)):
        call(account)
    assert state(account) == before
    assert account.buy(1.1, 1.0, 0) == 2  # no ticket was used up


@settings(max_examples=200, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False, max_value=0.0))
def test_a_refusal_shows_the_value_as_repr_does(lots):
    with pytest.raises(ValueError) as info:
        Account(*EUR).buy(1.1, lots, 0)
    assert str(info.value).endswith(f", not {lots!r}")


@pytest.mark.parametrize("call, text", [
    P(lambda b, a: a.buy(b.high + 0.01, 1.0), "price 1.1115 is outside bar 1 (1970-01-01 "
      "00:01:00), which traded from 1.0995 to 1.1015", id="buy-above"),
    P(lambda b, a: a.sell(b.low - 0.0001, 1.0), "price 1.0994 is outside bar 1", id="sell-below"),
    P(lambda b, a: a.close_all(b.high + 0.0001), "price 1.1016 is outside bar 1", id="close"),
    P(lambda b, a: a.modify(0, stop_loss=1.101),
      "stop_loss 1.101 of a long must be below the price it would close at now 1.1005",
      id="modify-stop-above-market"),
])
def test_fills_must_be_at_a_price_the_bar_traded(call, text):
    data = bars(FLAT, (1.1, 1.1015, 1.0995, 1.1005), FLAT)
    with pytest.raises(ValueError, match=re.escape(text)):
        run(data, {0: lambda b, a: a.buy(lot_size=1.0), 1: call})
    # A stop above the entry is fine once the market is above it: it locks in a gain.
    result = run(data, {0: lambda b, a: a.buy(lot_size=1.0),
                        1: lambda b, a: a.modify(0, stop_loss=1.1002)})
    assert only(result).stop_loss == 1.1002
    # The engine takes every order as it comes, as the Broker does.
    result = run(data, {0: lambda b, a: a.buy(lot_size=1.0), 1: call}, rules="engine")
    assert len(result.trades) >= 1


def test_an_order_above_the_market_is_no_longer_a_gain():
    """The invented fills of old: a long whose stop lies above the market, a fill at a price of
    a bar to come. The broker refuses them; the engine's rules book them as the Broker would."""
    data = bars(FLAT, (1.1, 1.1, 1.09, 1.095), (1.095, 1.096, 1.08, 1.085))

    def invented(b, a):
        a.buy(b.close, 0.1, b.timestamp, b.close + 0.01, b.close - 0.01)

    engine = run(data, {0: invented}, rules="engine")
    assert only(engine).exit_price == 1.11 - SPREAD and only(engine).pnl > 0
    with pytest.raises(ValueError, match="stop_loss 1.11 of a long must be below its entry"):
        run(data, {0: invented})
    with pytest.raises(ValueError, match="price 1.085 is outside bar 0"):
        run(data, {0: lambda b, a: a.buy(data[2].close, 1.0)})


def test_signal_runs_refuse_levels_on_the_wrong_side():
    data = bars(*[FLAT] * 5)
    entries = np.array([1, 0, 0, 0, 0], np.int8)
    bt = Backtest(data, *EUR)
    text = "stop_loss 1.11 of a long must be below its entry 1.1001"
    with pytest.raises(ValueError, match=re.escape(f"run_signals(): at bar 0: {text}")):
        bt.run_signals(entries, stop_loss=-0.01)
    with pytest.raises(ValueError, match=re.escape(text)):
        bt.run(SignalStrategy(entries, stop_loss=-0.01))
    # A target nearer than the spread lies below a long's entry: refused on both paths too.
    with pytest.raises(ValueError, match=r"set 1, at bar 0: take_profit 1.1000500000000002 of a long"):
        bt.run_signals(np.column_stack([entries, entries]),
                       take_profit=np.column_stack([np.full(5, 0.01), np.full(5, 0.00005)]))
    engine = Backtest(data, *EUR, rules="engine").run_signals(entries, stop_loss=-0.01)
    assert only(engine).exit_reason == "stop_loss"


# A long bought at 1.1000 with a trail of 20 pips, on an account with no spread so the numbers
# are the pips: the next bar opens above the stop it had at its open and never trades down to it,
# then the bar after falls through the trailed stop.
NO_SPREAD = (10_000.0, 0.0, 0.0, 100_000.0, 1.0)
TRAIL = bars(FLAT, (1.1020, 1.1050, 1.1025, 1.1040), (1.1040, 1.1045, 1.1000, 1.1010))


@pytest.mark.parametrize("options, exit_price", [
    # Old rules raised the stop by the high first and then "gapped" at the open, 1.1020.
    P(dict(rules="engine", gap_fills="open"), 1.1030, id="engine-open-gaps"),
    P(dict(rules="engine"), 1.1030, id="engine"),
    P(dict(), 1.1020, id="broker-from-close"),
    P(dict(trail_from="extremes"), 1.1030, id="broker-from-high"),
])
def test_a_trailing_stop_moves_only_after_the_bar_that_tested_it(options, exit_price):
    result = run(TRAIL, {0: lambda b, a: a.buy(b.close, 1.0, b.timestamp, trail=0.0020)},
                 NO_SPREAD, **options)
    trade = only(result)
    assert (trade.exit_reason, trade.exit_bar, trade.exit_price) == ("stop_loss", 2, exit_price)
    assert trade.pnl == pnl(True, 1.1, exit_price)


def test_a_trailing_stop_does_not_look_at_the_high_before_the_low():
    # The bar's low (1.0985) is above the stop it opened with (1.0980): whether the high came
    # first cannot be known, so the position lives to the next bar.
    data = bars(FLAT, (1.1000, 1.1050, 1.0985, 1.1040), (1.1040, 1.1040, 1.1015, 1.1030))
    for rules in ("broker", "engine"):
        trade = only(run(data, {0: lambda b, a: a.buy(b.close, 1.0, b.timestamp, trail=0.002)},
                         NO_SPREAD, rules=rules))
        assert trade.exit_bar == 2, rules


@pytest.mark.parametrize("place, bar, options, expected", [
    # A buy stop at 1.1010, its stop at 1.1000, on a bar that opens at 1.0975: the position did
    # not exist at the open, so the open cannot stop it (old rules lost 350 pips here).
    P(lambda a: a.buy_stop(1.1010, 1.0, 0, 1.1000), (1.0975, 1.1015, 1.0990, 1.1000),
      dict(rules="engine", gap_fills="open"), ("stop_loss", 1, 1.1000), id="engine-stop"),
    # A buy limit at 1.0990 with its target at 1.1000 on a bar opening at 1.1005 (old: +150).
    P(lambda a: a.buy_limit(1.0990, 1.0, 0, None, 1.1000), (1.1005, 1.1010, 1.0980, 1.0995),
      dict(rules="engine", gap_fills="open"), ("take_profit", 1, 1.1000), id="engine-target"),
    # The broker first examines the position on the next bar, which opens at 1.1000.
    P(lambda a: a.buy_stop(1.1010, 1.0, 0, 1.1000), (1.0975, 1.1015, 1.0990, 1.1000),
      dict(), ("stop_loss", 2, 1.1000), id="broker-stop"),
    P(lambda a: a.buy_limit(1.0990, 1.0, 0, None, 1.1000), (1.1005, 1.1010, 1.0980, 1.0995),
      dict(), ("take_profit", 2, 1.1000), id="broker-target"),
])
def test_a_pending_orders_position_is_not_closed_at_an_open_before_it(place, bar, options,
                                                                       expected):
    result = run(bars(FLAT, bar, FLAT), {0: lambda b, a: place(a)}, NO_SPREAD, **options)
    trade = only(result)
    assert (trade.exit_reason, trade.exit_bar, trade.exit_price) == expected
    assert trade.entry_bar == 1


@pytest.mark.parametrize("rules", ["broker", "engine"])
def test_excursions_start_after_a_pending_orders_fill_bar(rules):
    # Filled at 1.0990 on a bar whose low is 1.0900: that low came before the fill or after it,
    # nobody knows, so only the bars after count.
    data = bars(FLAT, (1.1000, 1.1000, 1.0900, 1.0950), (1.0950, 1.0970, 1.0940, 1.0960), FLAT)
    trade = only(run(data, {0: lambda b, a: a.buy_limit(1.0990, 1.0, 0)}, NO_SPREAD,
                     rules=rules))
    assert trade.entry_bar == 1
    assert (trade.mae, trade.mfe) == (1.0940 - 1.0990, 1.1000 - 1.0990)


def test_the_asks_own_bars_replace_bid_plus_spread():
    data = {"timestamp": [0, 60, 120], "open": [1.1, 1.1, 1.1], "high": [1.1, 1.1006, 1.1],
            "low": [1.1, 1.0995, 1.1], "close": [1.1, 1.1, 1.1],
            # The ask: 2 pips over the bid at the closes, 5 at the second bar's high.
            "ask_open": [1.1002, 1.1002, 1.1002], "ask_high": [1.1002, 1.1011, 1.1002],
            "ask_low": [1.1002, 1.0997, 1.1002], "ask_close": [1.1002, 1.1002, 1.1002]}
    result = Backtest(data, *EUR).run(Do({0: lambda b, a: a.sell(lot_size=1.0,
                                                                  stop_loss=1.1010)}))
    trade = only(result)
    assert (trade.entry_price, trade.exit_bar, trade.exit_price) == (1.1, 1, 1.1010)
    assert result.equity[0] == 10_000.0 + pnl(False, 1.1, 1.1002)
    # The same bars given apart, as a second file of the ask's candles would be.
    ask = [Bar(t, o, h, l, c, 0.0) for t, o, h, l, c in zip(
        data["timestamp"], data["ask_open"], data["ask_high"], data["ask_low"],
        data["ask_close"])]
    bid = {k: data[k] for k in ("timestamp", "open", "high", "low", "close")}
    again = Backtest(bid, *EUR, ask=ask).run(Do({0: lambda b, a: a.sell(lot_size=1.0,
                                                                         stop_loss=1.1010)}))
    assert list(map(repr, again.trades)) == list(map(repr, result.trades))


@pytest.mark.parametrize("ask, text", [
    P([Bar(i * 60, 1.0999, 1.1, 1.0999, 1.0999, 0.0) for i in range(3)],
      "ask at bar 0: its open is below the bid's", id="below-bid"),
    P([Bar(0, 1.1, 1.1, 1.1, 1.1, 0.0)] * 2, "ask= has 2 bars for the data's 3", id="short"),
    P([Bar(i * 7, 1.1, 1.1, 1.1, 1.1, 0.0) for i in range(3)], "ask= bar 1 is at 7, the data's "
      "at 60", id="times"),
])
def test_the_asks_bars_are_checked(ask, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        Backtest(bars(FLAT, FLAT, FLAT), *EUR, ask=ask)


def test_the_rules_in_force_are_readable():
    assert Backtest(bars(FLAT), *EUR).rules == Account(*EUR).rules == {
        "prices": "bid", "spread_at": None, "gap_fills": "open", "trail_from": "close",
        "fill_bar_exits": False, "check_orders": True, "commission_at": "open",
        "swap_long": 0.0, "swap_short": 0.0, "swap_unit": "account", "point": None,
        "leverage": None, "margin_per_lot": None, "stop_out": 50.0}
    engine = Account(*EUR, rules="engine", gap_fills="open").rules
    assert (engine["prices"], engine["spread_at"], engine["gap_fills"], engine["trail_from"],
            engine["fill_bar_exits"], engine["check_orders"]) == (
        None, "both", "open", "extremes", True, False)
    with pytest.raises(ValueError, match="takes prices .* or spread_at .*, not both"):
        Account(*EUR, prices="bid", spread_at="both")
    with pytest.raises(ValueError, match="rules must be 'broker' or 'engine', not 'mt'"):
        Account(*EUR, rules="mt")


class BrokenInit:
    def init(self, bars):
        self.closes = [bar.close for bar in bars]
        self.window = self.sizes  # a typo: AttributeError inside init

    def next(self, bar, account):
        pass


def test_an_attribute_error_inside_init_ends_the_run():
    data = bars(FLAT, FLAT)
    with pytest.raises(AttributeError, match="sizes"):
        Backtest(data, *EUR).run(BrokenInit())
    # The engine's contract drops it, as it always has; a missing init is no init anywhere.
    assert Engine(data, *EUR).run(BrokenInit()).num_trades == 0
    assert Backtest(data, *EUR).run(Do({})).stats.num_trades == 0
    assert Backtest(data, *EUR).run(SmaCross(fast=1, slow=2)).stats.num_trades == 0


@requires_debug_build
def test_no_reference_leaks():
    data = bars(FLAT, (1.1, 1.1015, 1.0995, 1.1005), FLAT)
    ask = [Bar(b.timestamp, b.open + 0.0001, b.high + 0.0001, b.low + 0.0001, b.close + 0.0001,
               0.0) for b in data]
    # array.array, not numpy, and no metrics: both leave references behind on a debug build by
    # themselves, a few a round however many calls it makes.
    entries = array.array("b", [1, 0, -1])

    def action():
        account = Account(*EUR)
        account.buy(1.1, 1.0, 0, 1.09, 1.12)
        for call in (lambda: account.buy(1.1, -1.0, 0), lambda: account.buy(lot_size=1.0),
                     lambda: account.modify(0, stop_loss=NAN), lambda: account.buy(1.1),
                     lambda: Account(*EUR, prices="bid", spread_at="both")):
            with pytest.raises((ValueError, TypeError)):
                call()
        _ = account.rules, account.bar_index
        Backtest(data, *EUR, ask=ask).run(Do({0: lambda b, a: a.sell(lot_size=1.0),
                                               1: lambda b, a: a.close_all()}))
        with pytest.raises(ValueError):
            run(data, {1: lambda b, a: a.buy(2.0, 1.0)})
        with pytest.raises(ValueError):
            Backtest(data, *EUR).run_signals(entries, stop_loss=-0.01)
        with pytest.raises(AttributeError):
            Backtest(data, *EUR).run(BrokenInit())
        _ = series[1:3].series_timestamp

    series = Bars(data)
    leak_check(action, repeat=20)


def test_an_mt5_files_spread_is_paid_once_per_round_trip(tmp_path):
    # The sample written as an MT5 export (UTF-16, tabs, <SPREAD> in points), spread 7 to 22.
    sample = sample_bars()[:3000]
    spreads = [7 + (i * 7) % 16 for i in range(len(sample))]
    lines = ["<DATE>\t<TIME>\t<OPEN>\t<HIGH>\t<LOW>\t<CLOSE>\t<TICKVOL>\t<VOL>\t<SPREAD>"]
    for bar, spread in zip(sample, spreads):
        when = datetime.datetime.fromtimestamp(bar.timestamp, datetime.timezone.utc)
        lines.append(f"{when:%Y.%m.%d\t%H:%M:%S}\t{bar.open!r}\t{bar.high!r}\t{bar.low!r}\t"
                     f"{bar.close!r}\t{int(bar.volume)}\t0\t{spread}")
    path = tmp_path / "EURUSD_H1.csv"
    path.write_text("\n".join(lines) + "\n", encoding="utf-16")
    loaded = read_csv(path, tz="UTC")  # written from UTC times
    account = (10_000, 7, "spread", 100_000, 1)
    broker = Backtest(loaded, *account, point=0.00001).run(SmaCross(fast=20, slow=50))
    engine = Backtest(loaded, *account, point=0.00001, rules="engine").run(
        SmaCross(fast=20, slow=50))
    paid = math.fsum(spreads[t.entry_bar if t.is_long else t.exit_bar] * 0.00001 * t.lot_size
                     * 100_000 for t in broker.trades)
    assert broker.metrics["spread_paid"] == pytest.approx(paid, rel=1e-12)
    twice = math.fsum((spreads[t.entry_bar] + spreads[t.exit_bar]) * 0.00001 * t.lot_size
                      * 100_000 for t in engine.trades)
    assert engine.metrics["spread_paid"] == pytest.approx(twice, rel=1e-12)
    for t in broker.trades:  # a long pays its entry bar's ask, a short its exit bar's
        spread = spreads[t.entry_bar if t.is_long else t.exit_bar] * 0.00001
        if t.is_long:
            assert t.entry_price == pytest.approx(sample[t.entry_bar].close + spread, abs=1e-12)
        elif t.exit_reason == "end":
            assert t.exit_price == pytest.approx(sample[t.exit_bar].close + spread, abs=1e-12)
