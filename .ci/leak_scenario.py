"""A short tour of every constructor, method and failure path, repeated so that a leak per call
stands out from the interpreter's own allocations in a memcheck report."""
import contextlib
import sys

from _candlewright import Bar, Broker, Engine
from array import array

from candlewright import Account, Backtest

PARAMS = (10_000.0, 7.0, 0.0002, 100_000.0, 1.0)
BARS = [Bar(i, 1.1, 1.102, 1.098, 1.1 + i * 1e-4, 1.0) for i in range(8)]
ERRORS = (TypeError, OverflowError, RuntimeError, ValueError, AttributeError)


class Raises:
    def __float__(self):
        raise ValueError("float")

    __index__ = __float__


class Trader:
    def __init__(self, fail_at=None):
        self.fail_at = fail_at

    def init(self, bars):
        return bars

    def next(self, bar, broker):
        if bar.timestamp == self.fail_at:
            raise KeyError(bar.timestamp)
        broker.buy(bar.close, 1.0, bar.timestamp, bar.close - 0.001, None)
        broker.sell(bar.close, 0.5, bar.timestamp, None, bar.close - 0.002)
        broker.close_position(0, bar.close, bar.timestamp)
        broker.equity(bar.close)
        with contextlib.suppress(RuntimeError):
            engine.run(self)


def tour():
    Bar(timestamp=1, open=1, high=2, low=0, close=1, volume=0).close
    broker = Broker(*PARAMS)
    broker.buy(1.1, 1.0, 0, None, None)
    broker.close_all(1.2, 1)
    calls = (
        lambda: Bar(),
        lambda: Bar(2**63, 1, 1, 1, 1, 1),
        lambda: Bar(0, "x", 1, 1, 1, 1),
        lambda: Bar(0, 1, 1, 1, 1, 1, when=2),
        lambda: Broker(*PARAMS[:4], quote_to_account=Raises()),
        lambda: broker.buy(Raises(), 1, 0, None, None),
        lambda: broker.close_position(-1, 1.0, 0),
        lambda: broker.close_all(1.0, 5, price=2.0),
        lambda: broker.equity("1"),
        lambda: Engine("abc", *PARAMS),
        lambda: Engine([1.0], *PARAMS),
        lambda: engine.run(Trader(fail_at=3)),
        lambda: engine.run(None),
    )
    for call in calls:
        with contextlib.suppress(*ERRORS, KeyError):
            call()
    return engine.run(Trader()).final_cash


def journal_tour():
    result = backtest.run(Trader())
    trades = result.trades
    for name in ("pnl", "ticket", "is_long", "exit_reason", "entry_bar"):
        list(getattr(trades, name))
    memoryview(trades.mae).tolist(), memoryview(result.equity).tolist(), list(trades), repr(trades)
    account = Account(*PARAMS)
    account.buy(1.1, 1.0, 0, 1.0, None)
    account.positions, repr(account.positions[0]), account.trades, account.cash
    account.close_ticket(0, 1.2, 1), account.close_ticket(9, 1.2, 1)
    columns = {"timestamp": array("q", range(8)), **{
        name: array("d", [1.0] * 8) for name in ("open", "high", "low", "close")}}
    Backtest(columns, *PARAMS).run(Trader()).metrics
    for call in (lambda: backtest.run(Trader(fail_at=3)),
                 lambda: Backtest({**columns, "open": array("d", [1.0])}, *PARAMS),
                 lambda: account.buy("x", 1.0, 0, None, None)):
        with contextlib.suppress(*ERRORS, KeyError):
            call()


class Manager:
    """The Account's own order management on every bar."""

    def next(self, bar, account):
        ticket = account.buy(bar.close, 1.0, bar.timestamp, trail=0.001)
        if ticket is not None:
            account.modify(ticket, take_profit=bar.close + 0.01)
            account.close_ticket(ticket, bar.close, bar.timestamp, lots=0.5)
        account.sell_stop(bar.close - 0.001, 0.5, bar.timestamp, expiry=bar.timestamp + 3)
        account.buy_limit(bar.close - 0.5, 0.5, bar.timestamp)
        account.orders, account.positions, account.free_margin(bar.close)


def rules_tour():
    result = ruled.run(Manager())
    result.metrics, list(result.trades.swap), result.trades.exit_reason
    for call in (lambda: Account(*PARAMS, gap_fills="x"),
                 lambda: Account(*PARAMS, swap_unit="points"),
                 lambda: Backtest(BARS, *PARAMS[:2], "nope", *PARAMS[3:]),
                 lambda: ruled.run(Trader(fail_at=3))):
        with contextlib.suppress(*ERRORS, KeyError):
            call()


def signals_tour():
    """Signal runs, one set and many on threads, kept and figures only, and refused inputs."""
    entries = array("b", [1, 0, -1, 0, 1, -1, 0, 1])
    sets = memoryview(array("b", list(entries) * 3)).cast("b", (8, 3))
    result = ruled.run_signals(entries, entries, side="both", stop_loss=0.01, take_profit=0.02)
    result.metrics, list(result.trades.exit_reason), memoryview(result.equity).tolist()
    [r.stats for r in backtest.run_signals(sets, lots=[0.5] * 8, threads=2)]
    ruled.run_signals(sets, side="short", max_positions=2, keep="figures", threads=3)
    for call in (lambda: backtest.run_signals(array("d", [float("nan")] * 8)),
                 lambda: backtest.run_signals(entries[:3]),
                 lambda: backtest.run_signals(sets, memoryview(array("b", [0] * 16)).cast(
                     "b", (8, 2))),
                 lambda: backtest.run_signals(entries, lots=-1.0)):
        with contextlib.suppress(*ERRORS, KeyError):
            call()


class BrokenInit:
    def init(self, bars):
        raise AttributeError("inside init")

    def next(self, bar, account):
        pass


def broker_tour():
    """The broker's refusals, in and out of a run, the ask's own bars and the engine's rules."""
    account = Account(*PARAMS)
    for call in (lambda: account.buy(1.1, -1.0, 0), lambda: account.sell(float("nan"), 1.0, 0),
                 lambda: account.buy(1.1, 1.0, 0, 1.2), lambda: account.buy(lot_size=1.0),
                 lambda: account.buy(1.1), lambda: account.buy_limit(1.0, 1.0, 0, None, 0.9),
                 lambda: account.modify(0, stop_loss=float("inf")),
                 lambda: Account(*PARAMS, prices="mid", spread_at="entry"),
                 lambda: backtest.run(BrokenInit()),
                 lambda: backtest.run_signals(array("b", [1] * 8), take_profit=0.0001),
                 lambda: Backtest(BARS, *PARAMS, ask=BARS[:3]),
                 lambda: asked.run(Outside())):
        with contextlib.suppress(*ERRORS):
            call()
    account.rules, account.bar_index
    asked.run(Manager()).trades, engine_rules.run(Trader()).equity


class Outside:
    def next(self, bar, account):
        account.buy(bar.high + 1.0, 1.0)


engine = Engine(BARS, *PARAMS)
backtest = Backtest(BARS, *PARAMS)
asked = Backtest(BARS, *PARAMS, ask=[Bar(b.timestamp, b.open + 2e-4, b.high + 3e-4,
                                         b.low + 1e-4, b.close + 2e-4, 0.0) for b in BARS],
                 trail_from="extremes", fill_bar_exits=True)
engine_rules = Backtest(BARS, *PARAMS, rules="engine")
ruled = Backtest(BARS, PARAMS[0], PARAMS[1], [0.0001 * i for i in range(8)], PARAMS[3],
                 "1/close", swap_long=-5.0, swap_short=1.0, rollover_tz="UTC", rollover="00:00",
                 leverage=50.0, gap_fills="open", commission_at="both")
rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
for _ in range(rounds):
    tour()
    journal_tour()
    rules_tour()
    signals_tour()
    broker_tour()
print(repr(engine.run(Trader())).splitlines()[0])
