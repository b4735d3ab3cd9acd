# Types of the native module. The classes are final: the module refuses subclasses.
from collections.abc import Sequence
from typing import Protocol, SupportsIndex, final, type_check_only

from candlewright.strategy import Strategy as _StrategyClass

__all__ = ["Bar", "Stats", "Broker", "Engine"]

@final
class Bar:
    """One price bar: a time and the open, high, low and close prices of one period."""

    def __new__(
        cls,
        timestamp: SupportsIndex,
        open: float,
        high: float,
        low: float,
        close: float,
        volume: float,
    ) -> Bar: ...
    @property
    def timestamp(self) -> int: ...
    @property
    def open(self) -> float: ...
    @property
    def high(self) -> float: ...
    @property
    def low(self) -> float: ...
    @property
    def close(self) -> float: ...
    @property
    def volume(self) -> float: ...

@final
class Stats:
    """The eleven figures of a run; its repr is the text report. Only Engine.run makes one."""

    @property
    def initial_cash(self) -> float: ...
    @property
    def final_cash(self) -> float: ...
    @property
    def total_return_pct(self) -> float: ...
    @property
    def num_trades(self) -> int: ...
    @property
    def num_wins(self) -> int: ...
    @property
    def win_rate_pct(self) -> float: ...
    @property
    def avg_pnl(self) -> float: ...
    @property
    def best_trade(self) -> float: ...
    @property
    def worst_trade(self) -> float: ...
    @property
    def profit_factor(self) -> float: ...
    @property
    def max_drawdown_pct(self) -> float: ...

@final
class Broker:
    """A simulated lot-based account; trade on the one Engine.run passes to `next`."""

    def __new__(
        cls,
        initial_cash: float,
        commission: float,
        spread: float,
        contract_size: float,
        quote_to_account: float,
    ) -> Broker: ...
    def buy(
        self,
        price: float,
        lot_size: float,
        timestamp: SupportsIndex,
        stop_loss: float | None,
        take_profit: float | None,
    ) -> None: ...
    def sell(
        self,
        price: float,
        lot_size: float,
        timestamp: SupportsIndex,
        stop_loss: float | None,
        take_profit: float | None,
    ) -> None: ...
    def close_position(self, id: SupportsIndex, price: float, timestamp: SupportsIndex) -> None: ...
    def close_all(self, price: float, timestamp: SupportsIndex) -> None: ...
    def equity(self, current_price: float) -> float: ...

# Not a runtime name: any object with `next` will do, and `init(bars)` is optional, looked up
# at every run (candlewright.StrategyProtocol is the public spelling of the same protocol; a
# candlewright.Strategy subclass answers it too).
@type_check_only
class _Strategy(Protocol):
    def next(self, bar: Bar, broker: Broker, /) -> object: ...

@final
class Engine:
    """Holds a bar series and account parameters; `run` drives one strategy over them."""

    def __new__(
        cls,
        data: Sequence[Bar],
        initial_cash: float,
        commission: float,
        spread: float,
        contract_size: float,
        quote_to_account: float,
    ) -> Engine: ...
    def run(self, strategy: _Strategy | _StrategyClass) -> Stats: ...
