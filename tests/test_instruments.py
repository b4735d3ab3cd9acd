"""Instruments of a portfolio: currencies read from symbols, the table's figures, the options a
Backtest takes for each, and how each quote currency converts into the account's."""
import pickle
import struct

import pytest

from candlewright import Backtest, SmaCross, sample_bars
from candlewright.instruments import (PAIR_DEFAULTS, Instrument, check_first_bars,
                                      conversion_legs, conversion_rate)

P = pytest.param


@pytest.mark.parametrize("symbol, base, quote", [
    P("EURJPY", "EUR", "JPY", id="plain"),
    P("EUR/JPY", "EUR", "JPY", id="slash"),
    P("EUR_JPY", "EUR", "JPY", id="underscore"),
    P("eurjpy", "EUR", "JPY", id="lower"),
    P("EURJPY.m", "EUR", "JPY", id="dot-suffix"),
    P("EURJPYm", "EUR", "JPY", id="lower-suffix"),
    P("EURJPY-ECN", "EUR", "JPY", id="dash-suffix"),
    P("XAUUSD", "XAU", "USD", id="metal"),
])
def test_currencies_from_the_symbol(symbol, base, quote):
    item = Instrument(symbol)
    assert (item.symbol, item.base, item.quote) == (symbol, base, quote)


@pytest.mark.parametrize("symbol, given, message", [
    P("US30", {}, "give base and quote, as Instrument('US30', base=..., quote='USD')", id="index"),
    P("US30", {"quote": "USD"}, "give base,", id="base-missing"),
    P("EURUSDT", {}, "cannot be read from the symbol", id="seven-letters"),
    P("eurjpym", {}, "cannot be read from the symbol", id="lower-seven"),
    P("USDUSD", {}, "base and quote are both USD", id="same"),
    P("EURUSD", {"quote": "U$D"}, "quote must be a currency code", id="bad-code"),
])
def test_bad_symbols_say_what_to_give(symbol, given, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        Instrument(symbol, **given)


def test_given_currencies_and_figures_override():
    item = Instrument("US30", base="us30", quote="usd", contract_size=1, spread=2.0)
    assert (item.base, item.quote, item.contract_size, item.spread) == ("US30", "USD", 1.0, 2.0)
    assert Instrument("EURUSD", quote="CHF").quote == "CHF"


@pytest.mark.parametrize("keyword, value", [
    P("spread", -0.1, id="negative-spread"), P("contract_size", 0, id="zero-contract"),
    P("point", float("nan"), id="nan-point"), P("commission", -7, id="negative-commission"),
    P("leverage", True, id="bool-leverage"), P("swap_unit", "pips", id="swap-unit"),
    P("quote_to_account", 0.0, id="zero-rate"),
])
def test_bad_figures_are_refused(keyword, value):
    with pytest.raises((ValueError, TypeError), match=keyword):
        Instrument("EURUSD", **{keyword: value})


def test_table_and_the_rule_for_other_pairs():
    eurusd = Instrument("EURUSD.pro")
    # Bit for bit Backtest's own default spread, so a one-pair portfolio is a Backtest.
    assert struct.pack("<d", eurusd.spread) == struct.pack("<d", 0.0002)
    assert (eurusd.contract_size, eurusd.point) == (100_000.0, 0.00001)
    assert (Instrument("XAGUSD").contract_size, Instrument("XAGUSD").point) == (5_000.0, 0.001)
    assert (Instrument("USDHUF").point, Instrument("USDHUF").spread) == (0.001, 0.02)
    assert (Instrument("USDSEK").point, Instrument("USDSEK").spread) == (0.00001, 0.0002)


@pytest.mark.parametrize("symbol", sorted(PAIR_DEFAULTS))
def test_every_table_spread_goes_into_points_exactly(symbol):
    options = Instrument(symbol, swap_long=-3.0, swap_unit="points").options()
    assert options["spread"] * options["point"] == PAIR_DEFAULTS[symbol][2]


@pytest.mark.parametrize("item, wanted", [
    P(Instrument("EURUSD"), {"spread": 20.0, "point": 0.00001, "contract_size": 100_000.0},
      id="defaults"),
    P(Instrument("EURUSD", spread=12, point=0.00001), {"spread": 12.0, "point": 0.00001},
      id="spread-in-points"),
    P(Instrument("GBPUSD", point=0.00001), {"point": 0.00001}, id="point-alone"),
    P(Instrument("USDJPY", commission=3.5, leverage=30, quote_to_account="1/close"),
      {"commission": 3.5, "leverage": 30.0, "quote_to_account": "1/close"}, id="given"),
])
def test_options_build_a_backtest(item, wanted):
    options = item.options()
    assert {k: options[k] for k in wanted} == wanted
    bars = sample_bars("USDJPY" if item.quote == "JPY" else "EURUSD")[:100]
    account = Backtest(bars, **options)._runner
    price_spread = item.spread * item.point if item.spread_in_points else item.spread
    assert account.spread == price_spread


def test_point_alone_keeps_the_price_spread():
    # Given a point, Backtest reads the spread in points: the table's must survive the trip.
    bars = sample_bars()[:2000]
    plain = Backtest(bars, **Instrument("EURUSD").options()).run(SmaCross)
    pointed = Backtest(bars, **Instrument("EURUSD", point=0.00001).options()).run(SmaCross)
    alone = Backtest(bars).run(SmaCross)
    assert plain.stats.num_trades > 10
    for result in (plain, pointed):
        assert memoryview(result.equity).tobytes() == memoryview(alone.equity).tobytes()
        assert repr(result.stats) == repr(alone.stats)


def test_spread_per_bar_in_price_units_cannot_take_a_point():
    item = Instrument("USDJPY", spread=[0.02] * 5, swap_long=-4.0, swap_unit="points")
    with pytest.raises(ValueError, match="give this spread per bar in points"):
        item.options()


def test_immutable_replace_and_pickle():
    item = Instrument("EURJPY.m", spread=[1.0, 2.0], point=0.001)
    with pytest.raises(AttributeError, match="replace"):
        item.spread = 3.0
    changed = item.replace(spread=None, commission=5)
    assert (changed.spread, changed.commission, changed.point) == (0.03, 5.0, 0.001)
    back = pickle.loads(pickle.dumps(item))
    assert (back.symbol, back.spread, back.spread_in_points) == ("EURJPY.m", [1.0, 2.0], True)
    assert {item: 1}[item] == 1


PAIRS = ["EURUSD", "USDJPY", "EURJPY", "GBPUSD", "EURGBP"]


@pytest.mark.parametrize("account, legs", [
    P("USD", [(), ((1, True),), ((1, True),), (), ((3, False),)], id="usd"),
    P("eur", [((0, True),), ((2, True),), ((2, True),), ((0, True),), ((4, True),)], id="eur-own"),
    P("JPY", [((1, False),), (), (), ((1, False),), ((4, True), (2, False))], id="jpy-cross"),
])
def test_conversion_legs(account, legs):
    assert conversion_legs([Instrument(s) for s in PAIRS], account) == legs


@pytest.mark.parametrize("legs, rate", [
    P((), 1.0, id="none"), P(((0, False),), 1.25, id="direct"), P(((1, True),), 1.0 / 150.0,
                                                                  id="inverted"),
    P(((0, False), (2, False)), 1.25 * 0.8, id="direct-direct"),
    P(((1, True), (0, False)), 1.25 / 150.0, id="inverted-direct"),
    P(((0, False), (1, True)), 1.25 / 150.0, id="direct-inverted"),
    P(((1, True), (2, True)), 1.0 / (150.0 * 0.8), id="inverted-inverted"),
])
def test_conversion_rate_operand_order(legs, rate):
    assert conversion_rate(legs, [1.25, 150.0, 0.8]) == rate


def test_own_rate_and_missing_pair():
    legs = conversion_legs([Instrument("EURJPY", quote_to_account=0.0067)], "USD")
    assert legs == [None]
    # EURJPY converts through EURUSD (a cross), GBPJPY has no such way.
    assert conversion_legs([Instrument("EURUSD"), Instrument("EURJPY")], "USD")[1] == (
        (1, True), (0, False))
    with pytest.raises(ValueError, match=r"GBPJPY: no pair in the portfolio converts JPY into "
                                         r"USD; add USDJPY \(or JPYUSD"):
        conversion_legs([Instrument("EURUSD"), Instrument("GBPJPY")], "USD")
    with pytest.raises(ValueError, match="if NATGAS is no currency pair"):
        conversion_legs([Instrument("NATGAS")], "USD")


def test_first_bars_of_conversion_pairs():
    pairs = [Instrument("EURJPY"), Instrument("USDJPY"), Instrument("EURUSD")]
    legs = conversion_legs(pairs, "USD")
    check_first_bars(pairs, legs, [10, 10, 0], str)
    with pytest.raises(ValueError, match=r"EURJPY's P/L converts through USDJPY, whose first bar "
                                         r"\(11\) comes after EURJPY's first \(10\)"):
        check_first_bars(pairs, legs, [10, 11, 0], str)
    with pytest.raises(ValueError, match="through USDJPY, which has no bars"):
        check_first_bars(pairs, legs, [10, None, 0], str)
