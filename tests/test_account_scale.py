"""The account with thousands of positions and orders: closing, modifying and cancelling by ticket
in any order, openings under margin, and stop-outs of many positions, against the account worked
out plainly in Python (engine rules, the native operand order), so results compare to the bit."""
import functools
import operator
import random

import pytest

from candlewright import Account, Backtest, Bar

from account_model import same
from conftest import leak_check, requires_debug_build

P = pytest.param
CONTRACT, RATE = 100_000.0, 1.0


def fold(start, values):
    """Left to right, as the account sums (sum() would compensate)."""
    return functools.reduce(operator.add, values, start)


class Plain:
    """The engine-rules account kept the obvious way: a list in opening order, searched through."""

    def __init__(self, cash, spread, margin_per_lot=0.0, contract=CONTRACT):
        self.cash, self.spread = cash, spread
        self.margin_per_lot, self.contract = margin_per_lot, contract
        self.positions, self.trades, self.next_ticket = [], [], 0

    def value(self, p, at):
        diff = at - p["entry"] if p["is_long"] else p["entry"] - at
        return ((diff * p["lots"]) * self.contract) * RATE

    def equity(self, price):
        return fold(-0.0, [self.value(p, price) for p in self.positions]) + self.cash

    def used(self):
        return fold(0.0, [self.margin_per_lot * p["lots"] for p in self.positions])

    def open(self, is_long, price, lots):
        if self.margin_per_lot and not (self.margin_per_lot * lots
                                        <= self.equity(price) - self.used()):
            return None
        entry = price + self.spread if is_long else price - self.spread
        ticket, self.next_ticket = self.next_ticket, self.next_ticket + 1
        self.positions.append(dict(ticket=ticket, id=len(self.positions), is_long=is_long,
                                   entry=entry, lots=lots, stop_loss=None))
        return ticket

    def settle(self, p, at, lots, reason):
        exit_price = at - self.spread if p["is_long"] else at + self.spread
        pnl = self.value(dict(p, lots=lots), exit_price)
        self.cash = self.cash + pnl
        self.trades.append((p["ticket"], reason, exit_price, pnl))

    def close_ticket(self, ticket, price, lots=None):
        for i, p in enumerate(self.positions):
            if p["ticket"] == ticket:
                if lots is None or not lots < p["lots"]:
                    self.settle(self.positions.pop(i), price, p["lots"], "close")
                else:
                    self.settle(p, price, lots, "close")
                    p["lots"] = p["lots"] - lots
                return True
        return False

    def stop_out(self, bar, stop_out):
        """The bar's end that values the account least; then the worst position (the first of the
        smallest) closes until the margin level, summed afresh, is above the stop-out."""
        at_low = fold(-0.0, [self.value(p, bar.low) for p in self.positions])
        at_high = fold(-0.0, [self.value(p, bar.high) for p in self.positions])
        at = bar.low if at_low <= at_high else bar.high
        worst = (at_low if at_low <= at_high else at_high) + self.cash
        if not self.positions or not (worst / self.used()) * 100.0 <= stop_out:
            return
        values = {p["ticket"]: self.value(p, at) for p in self.positions}
        while self.positions:
            p = min(self.positions, key=lambda q: values[q["ticket"]])
            self.positions.remove(p)
            self.settle(p, at, p["lots"], "stop_out")
            if not self.positions:
                break
            open_ = fold(-0.0, [values[q["ticket"]] for q in self.positions])
            if not ((open_ + self.cash) / self.used()) * 100.0 <= stop_out:
                break


def trades_of(account_or_result):
    t = account_or_result.trades
    return list(zip(t.ticket, t.exit_reason, t.exit_price, t.pnl))


def assert_same_trades(got, expected):
    assert [row[:2] for row in got] == [row[:2] for row in expected]
    for (_, _, price, pnl), (_, _, model_price, model_pnl) in zip(got, expected):
        assert same(price, model_price) and same(pnl, model_pnl)


def assert_same_positions(account, model):
    got = [(p.ticket, p.id, p.lot_size, p.stop_loss) for p in account.positions]
    assert got == [(p["ticket"], p["id"], p["lots"], p["stop_loss"]) for p in model.positions]
    assert same(account.cash, model.cash)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_thousands_closed_modified_and_cancelled_by_ticket_in_any_order(seed):
    rng = random.Random(seed)
    account = Account(1e9, 0.0, 0.0002, CONTRACT, RATE, rules="engine")
    model = Plain(1e9, 0.0002)
    orders = {}
    for _ in range(4000):
        price, lots = 1.1 + rng.randrange(-500, 500) * 1e-5, rng.randrange(1, 50) / 100
        if rng.random() < 0.2:  # orders take tickets from the same count
            ticket = account.buy_limit(1.0, 0.5, 0)
            orders[ticket] = model.next_ticket
            model.next_ticket += 1
        is_long = rng.random() < 0.5
        ticket = (account.buy if is_long else account.sell)(price, lots, 0)
        assert ticket == model.open(is_long, price, lots)
    tickets = list(range(model.next_ticket + 50))
    rng.shuffle(tickets)
    for step, ticket in enumerate(tickets):
        price = 1.1 + rng.randrange(-500, 500) * 1e-5
        action = rng.random()
        if action < 0.5:
            lots = rng.choice([None, 0.05, 0.3])
            assert account.close_ticket(ticket, price, 1, lots=lots) == \
                model.close_ticket(ticket, price, lots)
        elif action < 0.8:
            found = [p for p in model.positions if p["ticket"] == ticket]
            for p in found:
                p["stop_loss"] = 0.5
            assert account.modify(ticket, stop_loss=0.5) == (bool(found) or ticket in orders)
        else:
            assert account.cancel(ticket) == (orders.pop(ticket, None) is not None)
            assert not account.cancel(ticket)
        if step % 500 == 0:
            assert_same_positions(account, model)
            assert [o.ticket for o in account.orders] == sorted(orders)
            assert same(account.equity(price), model.equity(price))
    assert_same_positions(account, model)
    assert_same_trades(trades_of(account), model.trades)
    # A new position's id is the count of those open, however they were closed.
    assert account.buy(1.1, 1.0, 2) == model.open(True, 1.1, 1.0)
    assert_same_positions(account, model)


def test_an_id_left_behind_by_a_closed_ticket_is_not_closed_again():
    account = Account(1e9, 0.0, 0.0, CONTRACT, RATE, rules="engine")
    for _ in range(10):
        account.buy(1.1, 1.0, 0)
    account.buy(1.1, 1.0, 0)  # id 10
    assert account.close_ticket(10, 1.2, 1)  # marked closed, not yet dropped
    account.buy(1.1, 2.0, 0)  # the next id 10
    account.close_position(10, 1.3, 2)
    assert [(t.ticket, t.exit_price) for t in account.trades] == [(10, 1.2), (11, 1.3)]
    assert [p.ticket for p in account.positions] == list(range(10))


class Orders:
    """Bar 0: orders and positions interleaved, some orders cancelled. Bar 1 fills the rest, whose
    positions open after younger tickets; then every ticket is closed or modified at random."""

    def __init__(self, n, seed):
        self.n, self.rng, self.done = n, random.Random(seed), []

    def next(self, bar, account):
        rng = self.rng
        if bar.timestamp == 0:
            self.placed = []
            for _ in range(self.n):
                self.placed.append(account.buy_limit(1.095, 0.1))
                account.sell(lot_size=0.2)
            for ticket in self.placed[::3]:
                assert account.cancel(ticket)
        elif bar.timestamp == 60:
            tickets = [p.ticket for p in account.positions]
            assert len(tickets) == self.n + len(self.placed) - len(self.placed[::3])
            assert tickets[:self.n] == [t + 1 for t in self.placed]  # the sells first
            rng.shuffle(tickets)
            for ticket in tickets + self.placed[::3]:
                if rng.random() < 0.5:
                    self.done.append((ticket, account.close_ticket(ticket), "close"))
                else:
                    self.done.append((ticket, account.modify(ticket, take_profit=2.0), "modify"))
            self.left = [(p.ticket, p.take_profit) for p in account.positions]


def test_positions_opened_by_orders_are_found_by_ticket():
    data = [Bar(0, 1.1, 1.1, 1.1, 1.1, 0.0), Bar(60, 1.1, 1.1, 1.09, 1.1, 0.0),
            Bar(120, 1.1, 1.1, 1.1, 1.1, 0.0)]
    strategy = Orders(1500, seed=4)
    result = Backtest(data, 1e9, 0.0, 0.0, CONTRACT, RATE, rules="engine").run(strategy)
    cancelled = set(strategy.placed[::3])
    closed = [t for t, found, what in strategy.done if what == "close" and t not in cancelled]
    modified = {t for t, found, what in strategy.done if what == "modify" and t not in cancelled}
    assert all(found == (t not in cancelled) for t, found, _ in strategy.done)
    assert list(result.trades.ticket)[:len(closed)] == closed
    assert {t for t, _ in strategy.left} == modified
    assert all(tp == 2.0 for _, tp in strategy.left)


class OpenThen:
    """Opens the given positions on bar 0; then does nothing."""

    def __init__(self, sides_and_lots):
        self.todo = sides_and_lots

    def next(self, bar, account):
        if bar.timestamp == 0:
            self.tickets = [(account.buy if is_long else account.sell)(lot_size=lots)
                            for is_long, lots in self.todo]


def stop_out_case(n, seed, cash, low, high, stop_out=50.0, margin_per_lot=1000.0, price=1.1,
                  contract=CONTRACT, lots=lambda rng: rng.randrange(1, 6) / 100):
    rng = random.Random(seed)
    return dict(sides=[(rng.random() < 0.6, lots(rng)) for _ in range(n)], cash=cash,
                bar=(price, high, low, price), stop_out=stop_out, margin=margin_per_lot,
                price=price, contract=contract)


STOP_OUTS = [
    P(stop_out_case(3000, 1, cash=150_000.0, low=0.9, high=1.12), id="all-go"),
    P(stop_out_case(3000, 2, cash=150_000.0, low=1.03, high=1.105), id="stops-midway"),
    P(stop_out_case(3000, 3, cash=30_000.0, low=1.07, high=1.1, lots=lambda rng: 0.01),
      id="equal-values-go-in-opening-order"),
    # Equity stays 2,500 and the used margin 1,000 a position: the level is 250 / open, exactly
    # 50 with five open, which is not above the stop-out, so a sixth closes.
    P(dict(sides=[(True, 1.0)] * 10, cash=10_000.0, bar=(1000.0, 1000.0, 250.0, 1000.0),
           stop_out=50.0, margin=1000.0, price=1000.0, contract=1.0),
      id="level-exactly-at-the-stop-out"),
    # Each value 1e307 either way: their magnitudes overflow, their sum does not.
    P(dict(sides=[(i % 2 == 0, 1e303) for i in range(41)], cash=1e305,
           bar=(1.0, 1.0, 0.9, 1.0), stop_out=50.0, margin=1.0, price=1.0, contract=1e5),
      id="magnitudes-overflow"),
]


@pytest.mark.parametrize("case", STOP_OUTS)
def test_stop_out_of_many_closes_as_the_plain_loop(case):
    price, (o, h, lo, c) = case["price"], case["bar"]
    data = [Bar(0, price, price, price, price, 0.0), Bar(60, o, h, lo, c, 0.0)]
    model = Plain(case["cash"], 0.0, case["margin"], case["contract"])
    expected = [model.open(is_long, price, lots) for is_long, lots in case["sides"]]
    backtest = Backtest(data, case["cash"], 0.0, 0.0, case["contract"], RATE, rules="engine",
                        margin_per_lot=case["margin"], stop_out=case["stop_out"])
    strategy = OpenThen(case["sides"])
    result = backtest.run(strategy)
    assert strategy.tickets == expected
    model.stop_out(data[1], case["stop_out"])
    assert model.trades, "the case must stop out"
    assert same(result.equity[-1], model.equity(c))
    for p in model.positions:  # the run's end closes the rest
        model.settle(p, c, p["lots"], "end")
    assert_same_trades(trades_of(result), model.trades)


@pytest.mark.parametrize("seed", [5, 6])
def test_openings_under_margin_refused_as_fresh_sums_say(seed):
    rng = random.Random(seed)
    account = Account(20_000.0, 0.0, 0.0, CONTRACT, RATE, rules="engine", margin_per_lot=500.0)
    model = Plain(20_000.0, 0.0, 500.0)
    for step in range(3000):
        price = 1.1 + rng.randrange(-3, 4) * 1e-3  # prices repeat, so sums are carried on
        if rng.random() < 0.15 and model.positions:
            ticket = rng.choice(model.positions)["ticket"]
            assert account.close_ticket(ticket, price, 1) == model.close_ticket(ticket, price)
        else:
            is_long, lots = rng.random() < 0.5, rng.randrange(1, 30) / 100
            assert (account.buy if is_long else account.sell)(price, lots, 0) == \
                model.open(is_long, price, lots)
    assert account.refused > 0
    assert_same_positions(account, model)


class CloseSomeBeforeRollover:
    def next(self, bar, account):
        if not hasattr(self, "tickets"):
            self.tickets = [account.buy(lot_size=0.5) for _ in range(10)]
        elif len(account.positions) == 10:
            for ticket in self.tickets[2:5]:  # fewer than half: left marked until the next bar
                assert account.close_ticket(ticket)


def test_positions_closed_by_ticket_are_charged_no_swap_at_the_next_rollover():
    t0 = 1_600_196_400  # 15:00 in New York; the bar at 17:30 crosses the rollover
    data = [Bar(t, 1.1, 1.1, 1.1, 1.1, 0.0) for t in (t0, t0 + 3600, t0 + 9000, t0 + 12600)]
    result = Backtest(data, 10_000.0, 0.0, 0.0, CONTRACT, RATE, rules="engine",
                      swap_long=-2.0).run(CloseSomeBeforeRollover())
    swaps = dict(zip(result.trades.ticket, result.trades.swap))
    assert swaps == {t: 0.0 if 2 <= t < 5 else -1.0 for t in range(10)}
    assert result.equity[-1] == 10_000.0 - 7.0


@requires_debug_build
def test_no_reference_leaks_closing_and_cancelling_by_ticket():
    account = Account(1e9, 0.0, 0.0, CONTRACT, RATE, rules="engine")

    def action():
        tickets = [account.buy(1.1, 0.1, 0) for _ in range(5)]
        order = account.buy_limit(1.0, 0.1, 0)
        account.modify(tickets[0], stop_loss=None)
        account.modify(order, take_profit=None)
        account.close_ticket(tickets[1], 1.1, 1)
        account.close_ticket(tickets[2], 1.1, 1, lots=0.05)
        account.cancel(order)
        account.positions, account.orders
        account.close_all(1.1, 1)

    leak_check(action, repeat=20)
