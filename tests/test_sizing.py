"""Position sizing on the Account: a pip's value, lots for a risk, and the last closed trade."""
import math

import pytest

from candlewright import Account, Backtest, Bar

from conftest import leak_check, requires_debug_build

P = pytest.param
NAN, INF = math.nan, math.inf


def bars(closes):
    return [Bar(1_600_000_000 + 3600 * i, c, c * 1.01, c * 0.99, c, 1.0)
            for i, c in enumerate(closes)]


class Record:
    """Calls `ask(bar, account)` at every bar of a run and keeps what it returns."""

    def __init__(self, ask):
        self.ask, self.seen = ask, []

    def next(self, bar, account):
        self.seen.append(self.ask(bar, account))


def in_run(ask, closes, *account, **options):
    strategy = Record(ask)
    Backtest(bars(closes), *account, **options).run(strategy)
    return strategy.seen


USD = (10_000.0, 0.0, 0.0002, 100_000.0, 1.0)


@pytest.mark.parametrize("rules, risk, stop, lots", [
    # A long enters at the ask, 1.1002: 0.0052 to the stop is 520 a lot; 100 / 520 = 0.192.
    P("broker", 0.01, 1.0950, 0.19, id="long-at-ask"),
    # A short enters at the bid, the close: 0.005 is 500 a lot, 100 / 500 exactly 0.2.
    P("broker", 0.01, 1.1050, 0.2, id="short-at-bid"),
    P("broker", 0.02, 1.0902, 0.2, id="long-whole-pip-distance"),
    # The engine's short fills a spread below the close.
    P("engine", 0.01, 1.1048, 0.2, id="engine-short"),
])
def test_lots_in_a_run_on_a_usd_account(rules, risk, stop, lots):
    seen = in_run(lambda bar, a: a.lots_for_risk(risk, stop), [1.1], *USD, rules=rules)
    assert seen == [lots]


def test_equity_is_valued_with_the_open_positions_at_the_close():
    def ask(bar, account):
        if account.bar_index == 0:
            account.buy(lot_size=1.0)
        return account.lots_for_risk(0.01, 1.09, price=1.097)

    # 700 a lot. A long bought at 1.1002 is 20 down at the first close (99.8 at risk: 0.1426),
    # 320 down at the second (96.8: 0.138); the cash alone would give 0.142 both times.
    assert in_run(ask, [1.1, 1.097], *USD) == [0.14, 0.13]


EURUSD_ON_JPY = (1_000_000.0, 0.0, 0.0, 100_000.0)


def test_a_per_bar_rate_sizes_each_bar_at_its_own_rate():
    # 0.005 of EURUSD is 500 USD a lot: 55,000 JPY at 110, 75,000 at 150; 10,000 JPY at risk.
    seen = in_run(lambda bar, a: (a.lots_for_risk(0.01, 1.095), a.pip_value()),
                  [1.1, 1.1], *EURUSD_ON_JPY, [110.0, 150.0])
    assert seen == [(0.18, ((1.0 * 100_000.0) * 0.0001) * 110.0),
                    (0.13, ((1.0 * 100_000.0) * 0.0001) * 150.0)]


def test_one_over_close_rates_usdjpy_on_a_usd_account():
    # A 0.5 yen stop is 50,000 JPY a lot: 454.5 USD at 110, 400 USD at 125.
    seen = in_run(lambda bar, a: (a.lots_for_risk(0.01, bar.close - 0.5), a.pip_value()),
                  [110.0, 125.0], 10_000.0, 0.0, 0.0, 100_000.0, "1/close", point=0.001)
    assert seen == [(0.22, ((1.0 * 100_000.0) * 0.01) * (1.0 / 110.0)),
                    (0.25, ((1.0 * 100_000.0) * 0.01) * (1.0 / 125.0))]


def sized(equity, raw, **steps):
    """lots_for_risk where equity * risk / money per lot comes to `raw` (risk 1%, a stop 1.0
    away, rate 1: the contract size sets the money per lot)."""
    account = Account(equity, 0.0, 0.0, equity / 100.0 / raw, 1.0)
    return account.lots_for_risk(0.01, 1.0, price=2.0, **steps)


@pytest.mark.parametrize("equity, raw, steps, lots", [
    P(700.0, 0.07, {}, 0.07, id="0.07-not-0.07000000000000001"),
    P(10_000.0, 0.2, {}, 0.2, id="exact-multiple"),
    P(100.0, 0.0799, {}, 0.07, id="down-not-nearest"),
    P(100.0, 0.009, {}, 0.0, id="below-min"),
    P(100.0, 0.09, dict(min_lots=0.1), 0.0, id="below-a-larger-min"),
    P(100.0, 5.0, dict(max_lots=1.234), 1.23, id="capped-to-a-step"),
    P(100.0, 5.0, dict(max_lots=None), 5.0, id="no-cap"),
    P(100.0, 0.29, dict(lot_step=0.1), 0.2, id="step-0.1"),
    P(100.0, 2.7, dict(lot_step=1.0, min_lots=1.0), 2.0, id="whole-lots"),
    P(100.0, 0.149, dict(lot_step=0.05), 0.1, id="step-0.05"),
])
def test_rounding_to_the_lot_step(equity, raw, steps, lots):
    assert sized(equity, raw, **steps) == lots


def test_every_step_count_comes_out_as_its_decimal():
    for k in range(1, 300):
        assert sized(10_000.0, k / 100, max_lots=None) == round(k * 0.01, 2), k


@pytest.mark.parametrize("cash, held", [P(0.0, 0.0, id="no-cash"),
                                        P(1000.0, 1.0, id="open-loss-over-cash")])
def test_no_equity_sizes_nothing(cash, held):
    account = Account(cash, 0.0, 0.0, 100_000.0, 1.0, rules="engine")
    if held:
        account.buy(1.1, held, 0)
    assert account.lots_for_risk(0.01, 1.0, price=1.08) == 0.0


@pytest.mark.parametrize("point, pip, lots, rate, expected", [
    P(None, None, 1.0, 1.0, 10.0, id="four-digit-default"),
    P(0.00001, None, 1.0, 1.0, ((1.0 * 100_000.0) * (0.00001 * 10.0)) * 1.0, id="ten-points"),
    P(0.001, None, 2.0, 1 / 110.0, ((2.0 * 100_000.0) * (0.001 * 10.0)) * (1 / 110.0),
      id="yen-points"),
    P(0.00001, 0.01, 0.5, 0.9, ((0.5 * 100_000.0) * 0.01) * 0.9, id="pip-given"),
])
def test_pip_value_outside_a_run(point, pip, lots, rate, expected):
    account = Account(10_000.0, 0.0, 0.0, 100_000.0, rate, point=point)
    assert account.pip_value(lots, pip) == expected


@pytest.mark.parametrize("call, words", [
    P(lambda a: a.lots_for_risk(0.0, 1.0, price=1.1), "risk must be", id="risk-0"),
    P(lambda a: a.lots_for_risk(1.5, 1.0, price=1.1), "risk must be", id="risk-over-1"),
    P(lambda a: a.lots_for_risk(0.01, 1.0, price=1.1, lot_step=0.0), "lot_step", id="step-0"),
    P(lambda a: a.lots_for_risk(0.01, 1.0, price=1.1, min_lots=-0.01), "min_lots",
      id="min-negative"),
    P(lambda a: a.lots_for_risk(0.01, 1.0, price=1.1, max_lots=0.001), "max_lots",
      id="max-under-min"),
    P(lambda a: a.lots_for_risk(0.01, NAN, price=1.1), "stop_loss", id="stop-nan"),
    P(lambda a: a.lots_for_risk(0.01, 1.0, price=INF), "price", id="price-inf"),
    P(lambda a: a.lots_for_risk(0.01, 1.0), "price is needed outside a run", id="no-price"),
    P(lambda a: a.lots_for_risk(0.01, 1.1, price=1.1), "stop_loss 1.1 is at", id="stop-at-entry"),
    P(lambda a: Account(1e4, 0.0, 0.0, 1e5, 0.0).lots_for_risk(0.01, 1.0, price=1.1),
      "nothing to size by", id="rate-0"),
    P(lambda a: a.pip_value(0.0), "lots must be", id="pip-lots-0"),
    P(lambda a: a.pip_value(1.0, INF), "pip must be", id="pip-inf"),
])
def test_bad_arguments_are_refused_by_name(call, words):
    with pytest.raises(ValueError, match=r"Account\.(lots_for_risk|pip_value)\(\)") as caught:
        call(Account(*USD))
    assert words in str(caught.value)


def test_stop_at_the_close_is_refused_in_a_run():
    with pytest.raises(ValueError, match="is at the bar's close"):
        in_run(lambda bar, a: a.lots_for_risk(0.01, bar.close), [1.1], *USD)


def test_last_trade_is_the_journal_tail():
    def ask(bar, account):
        if account.bar_index == 0:
            account.buy(lot_size=0.1)
        elif account.bar_index == 1:
            account.close_all()
        elif account.bar_index == 2:
            account.sell(lot_size=0.2)
            account.close_all()
        last = account.last_trade
        return None if last is None else (repr(last), repr(account.trades[-1]), last.is_long)

    seen = in_run(ask, [1.1, 1.105, 1.102, 1.1], *USD)
    assert seen[0] is None
    assert [s[0] == s[1] for s in seen[1:]] == [True, True, True]
    assert [s[2] for s in seen[1:]] == [True, False, False]


@requires_debug_build
def test_sizing_keeps_no_references():
    account = Account(*USD)
    account.buy(1.1, 0.1, 0)
    account.close_all(1.101, 1)

    def action():
        account.lots_for_risk(0.01, 1.09, price=1.1, max_lots=5.0)
        account.pip_value(2.0, None)
        account.last_trade
        for bad in (dict(), dict(price=1.09)):
            with pytest.raises(ValueError):
                account.lots_for_risk(0.01, 1.09, **bad)

    leak_check(action)
