"""Several instruments on one account: `Portfolio` runs a strategy over the union of their bars'
times, with one cash, one margin and one stop-out, each instrument's P/L converted into the
account currency through the portfolio's own prices (see `candlewright.instruments`).

Each instrument keeps the arithmetic of a lone `Backtest` on its own bars (its spread, swaps,
pending orders and exits), so that a portfolio of one instrument quoted in the account currency
is that `Backtest`, to the bit. A step of the run, at each time any instrument has a bar:

1. each converted instrument's rate is set from its pairs' closes at the step (the last close
   of a pair without a bar then);
2. each instrument with a bar, in the portfolio's order, takes its bar's values (spread, swaps
   at a rollover), fills its pending orders and closes the positions its bar's range reaches;
3. the stop-out, if margin is kept, over every position of the account: each instrument valued
   at the end of its bar (or at its close, without a bar at the step) that values its positions
   least, the largest loss there closed first while the margin level is at or below `stop_out`;
4. the strategy: `next(step, account)`, `step` mapping each symbol with a bar at this time to
   its `Bar` (a symbol absent from it is stale: its last bar is `account.bar(symbol)`);
5. the equity point: each instrument's open positions at its current close, in the portfolio's
   order, plus the cash.

At the end, each instrument's open positions close at its own last bar's close and time.
"""
from __future__ import annotations

import array
import bisect
import functools
import math
import numbers
from collections.abc import Mapping
from typing import Any

from . import _backtest
from ._account import COMMISSION, INITIAL_CASH, refuse
from ._backtest import Account, Column, Trades
from .backtest import Backtest, _view
from .bars import Bars
from .instruments import Instrument, check_first_bars, conversion_legs, instrument
from .metrics import TIME_UNITS, infer_periods_per_year
from .result import Result, utc_time
from .strategies import made
from .strategy import Strategy

__all__ = ["Portfolio", "PortfolioAccount", "PortfolioResult", "Instrument"]

# Keywords that are the account's as a whole, given to every instrument's Backtest alike.
_SHARED = ("rules", "prices", "time_unit", "gap_fills", "trail_from", "fill_bar_exits",
           "check_orders", "commission_at", "rollover", "rollover_tz", "triple_swap",
           "stop_out", "lot_step", "min_lots", "max_lots")


class Portfolio:
    """Instruments and one account, ready to run strategies on.

    `data` maps each instrument to its bars (anything `Backtest` takes: `Bars`, a DataFrame,
    columns). A key is a symbol ("EURUSD", whose currencies, contract size, point and spread
    come from `candlewright.instruments.DEFAULTS`) or an `Instrument` with its own figures.
    `account_currency` is the currency the cash is in; every instrument quoted in another is
    converted through the portfolio's pairs, and a portfolio without the pair to do so is
    refused, naming it. The account's options (`initial_cash`, `commission` per lot, `rules`,
    `leverage` or `margin_per_lot`, `stop_out`, the swap calendar, lot sizes) are `Backtest`'s,
    for the whole account; an `Instrument` may set its own commission and margin.
    """

    def __init__(self, data: Mapping[Any, Any], account_currency: str = "USD",
                 initial_cash: float = INITIAL_CASH, commission: float = COMMISSION, *,
                 periods_per_year: float | None = None, leverage: float | None = None,
                 margin_per_lot: float | None = None, **options: Any) -> None:
        if not isinstance(data, Mapping) or not data:
            raise TypeError("Portfolio(data, ...) takes a mapping of each instrument (a symbol or "
                            "an Instrument) to its bars, with at least one instrument")
        unknown = {k: v for k, v in options.items() if k not in _SHARED}
        if unknown:
            refuse("Portfolio()", unknown, ("account_currency", "initial_cash", "commission",
                                            "periods_per_year", "leverage", "margin_per_lot",
                                            *_SHARED))
        self.instruments = tuple(instrument(key) for key in data)
        self.symbols = tuple(item.symbol for item in self.instruments)
        if len(set(self.symbols)) != len(self.symbols):
            raise ValueError(f"each instrument once: {', '.join(self.symbols)}")
        self.account_currency = account_currency
        # What the portfolio was made with, for its pickles and its cuts.
        self._made_with = (account_currency, initial_cash, commission, periods_per_year,
                           leverage, margin_per_lot, dict(options))
        self.time_unit = options.get("time_unit", "s")
        if self.time_unit not in TIME_UNITS:
            raise ValueError(f"time_unit must be one of {', '.join(map(repr, TIME_UNITS))}, "
                             f"not {self.time_unit!r}")
        legs = conversion_legs(self.instruments, account_currency)
        self.members: dict[str, Backtest] = {}
        for item, bars in zip(self.instruments, data.values()):
            own = item.options()
            own.setdefault("commission", commission)
            if leverage is not None:
                own.setdefault("leverage", leverage)
            if margin_per_lot is not None:
                own.setdefault("margin_per_lot", margin_per_lot)
            try:
                self.members[item.symbol] = Backtest(bars, initial_cash, **own, **options)
            except (TypeError, ValueError) as error:
                raise type(error)(f"{item.symbol}: {error}") from None
        margins = {bt.rules["leverage"] is not None or bt.rules["margin_per_lot"] is not None
                   for bt in self.members.values()}
        if len(margins) > 1:
            raise ValueError("margin is kept for some instruments and not others: give leverage "
                             "or margin_per_lot to the portfolio, or to every Instrument")
        firsts = [bt._runner.timestamp[0] if len(bt) else None for bt in self.members.values()]
        check_first_bars(self.instruments, legs, firsts,
                         lambda t: utc_time(t, self.time_unit))
        self._legs = tuple(path or None for path in legs)
        try:
            self._runner = _backtest.PortfolioRunner(
                tuple(bt._runner for bt in self.members.values()), self._legs)
        except ValueError:
            _refuse_unordered(self.members, lambda t: utc_time(t, self.time_unit))
            raise
        self._periods_per_year = periods_per_year
        if periods_per_year is not None and not periods_per_year > 0:
            raise ValueError(f"periods_per_year must be positive, not {periods_per_year!r}")
        first = next(iter(self.members.values()))
        self._rules, self._lots = first.rules, first._lots
        self.initial_cash = first._runner.initial_cash

    def __len__(self) -> int:
        """The steps of the timeline: the union of the instruments' bar times."""
        return len(self._runner)

    def __repr__(self) -> str:
        return (f"Portfolio({', '.join(self.symbols)}: {len(self)} steps, "
                f"account_currency={self.account_currency!r}, "
                f"initial_cash={self.initial_cash!r})")

    @property
    def rules(self) -> dict[str, Any]:
        """The account's rules, each by its keyword (a copy)."""
        return dict(self._rules)

    @property
    def timestamp(self) -> Column:
        """The time of every step."""
        column: Column = self._runner.timestamp
        return column

    @property
    def periods_per_year(self) -> float:
        """The metrics' annualisation: given, or inferred from the timeline's whole weeks."""
        if self._periods_per_year is None:
            self._periods_per_year = infer_periods_per_year(
                _view(self._runner.timestamp), self.time_unit)
        return self._periods_per_year

    def between(self, start: int, end: int) -> Portfolio:
        """The portfolio over the times `start <= t < end` (in its time unit), on the same
        account: each instrument cut to its bars in that range, with its spread, rate and ask
        per bar if it has them. An instrument with no bar there stays in it, with none: it has
        no step, so a strategy never finds it in `step`, and it never trades. The cut keeps
        this portfolio's `periods_per_year`, which a short range could not infer. As any
        portfolio, it is refused (ValueError, naming them) if an instrument's conversion pair
        has its first bar in the range later than the instrument has."""
        cut: dict[Any, Any] = {}
        for item, bt in zip(self.instruments, self.members.values()):
            times = _view(bt._runner.timestamp)
            first, stop = bisect.bisect_left(times, start), bisect.bisect_left(times, end)
            cut[_cut_instrument(item, first, stop)] = _bars_of(bt)[first:stop]
        return _portfolio(cut, self._made_with, self.periods_per_year)

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from each instrument's bars (each pickled once, as columns) and the account
        # it was made with; a spread or rate given per bar goes as an array over those bars.
        data = {_fixed_instrument(item): _bars_of(bt)
                for item, bt in zip(self.instruments, self.members.values())}
        return _portfolio, (data, self._made_with, self._periods_per_year)

    def conversion(self, symbol: str) -> str:
        """How `symbol`'s P/L becomes the account currency, as a formula of closes."""
        k = self.symbols.index(symbol)
        path = self._legs[k]
        item = self.instruments[k]
        if path is None:
            given = item.quote_to_account
            return "its own rate" if given is not None else "none"
        names = [("1 / " if inverted else "") + self.symbols[j] for j, inverted in path]
        return " * ".join(names)

    def run(self, strategy: Any, /, **params: Any) -> PortfolioResult:
        """Runs `strategy` over the timeline: `init(data)` first if it has one (`data` maps each
        symbol to its `Bars`), then `next(step, account)` at every step (see the module). A
        `Strategy` class runs with each instrument's views and indicators on its own bars (see
        `candlewright.strategy`)."""
        strategy = made(strategy, params)
        if isinstance(strategy, Strategy) and not strategy._plain:
            clocks = strategy._prepare_portfolio(self, self._lots)
            result = PortfolioResult._of(self, self._runner.run(
                strategy, PortfolioAccount._of(self.symbols), self.symbols, clocks))
            result.indicators = strategy._portfolio_indicators()
            result.orders_too_small = strategy.orders_too_small
            return result
        init = getattr(strategy, "init", None)
        if callable(init):
            init({symbol: bt._runner.bars for symbol, bt in self.members.items()})
        outcome = self._runner.run(strategy, PortfolioAccount._of(self.symbols), self.symbols)
        return PortfolioResult._of(self, outcome)

    def run_signals(self, entries: Any, exits: Any = None, *, side: str = "long",
                    lots: Any = 1.0, stop_loss: Any = None, take_profit: Any = None,
                    max_positions: int = 1, keep: str = "all") -> Any:
        """Runs per-step signals natively, without a Python call per step and without the
        interpreter lock: each instrument does at its bars' closes what `Backtest.run_signals`
        does at a lone backtest's (see `candlewright.signals`), on the one account, and the
        result is `run`'s of a strategy doing so, to the bit.

        `entries` and `exits` have a row per step and a column per instrument (numpy, or a
        DataFrame whose columns may be named by symbol); an instrument without a bar at a step
        ignores what stands there, its market being closed (NaN left by aligning its series on
        the timeline is fine). `lots`, `stop_loss` and `take_profit` are a number, a value per
        instrument (a sequence in the portfolio's order, or a mapping by symbol), or such a
        table. `keep="figures"` returns only the `Stats`.
        """
        from ._portfolio_signals import per_instrument, table
        from .signals import SIDES, check_arguments
        if keep not in ("all", "figures"):
            raise ValueError(f"keep must be 'all' or 'figures', not {keep!r}")
        check_arguments((), side=side, max_positions=max_positions)
        steps, symbols = len(self), self.symbols
        outcome = self._runner.run_signals(
            table(entries, "entries", steps, symbols),
            None if exits is None else table(exits, "exits", steps, symbols),
            per_instrument(lots, "lots", steps, symbols, False),
            per_instrument(stop_loss, "stop_loss", steps, symbols, True),
            per_instrument(take_profit, "take_profit", steps, symbols, True),
            SIDES.index(side), int(max_positions), symbols)
        return outcome[0] if keep == "figures" else PortfolioResult._of(self, outcome)


def _portfolio(data: dict[Any, Any], made_with: tuple[Any, ...],
               periods_per_year: float | None) -> Portfolio:
    currency, cash, commission, _, leverage, margin_per_lot, options = made_with
    return Portfolio(data, currency, cash, commission, periods_per_year=periods_per_year,
                     leverage=leverage, margin_per_lot=margin_per_lot, **options)


def _bars_of(bt: Backtest) -> Bars:
    """An instrument's bars as `Bars`, with the data's other columns (a spread by name)."""
    if isinstance(bt._data, Bars):
        return bt._data
    r = bt._runner
    return Bars.from_columns(r.timestamp, r.open, r.high, r.low, r.close, r.volume,
                             bt.extra_columns() or None)


def _per_bar_values(value: Any) -> bool:
    return value is not None and not isinstance(value, (numbers.Real, str))


def _fixed_instrument(item: Instrument) -> Instrument:
    """`item` with its spread and rate per bar as arrays, which pickle whatever they were."""
    changes = {name: array.array("d", getattr(item, name))
               for name in ("spread", "quote_to_account") if _per_bar_values(getattr(item, name))}
    return item.replace(**changes) if changes else item


def _cut_instrument(item: Instrument, first: int, stop: int) -> Instrument:
    """`item` with what it has per bar cut to its bars first..stop."""
    changes: dict[str, Any] = {
        name: array.array("d", _rows(getattr(item, name), first, stop))
        for name in ("spread", "quote_to_account") if _per_bar_values(getattr(item, name))}
    if item.ask is not None:
        ask = item.ask
        changes["ask"] = ({k: _rows(v, first, stop) for k, v in ask.items()}
                          if isinstance(ask, Mapping) else _rows(ask, first, stop))
    return item.replace(**changes) if changes else item


def _rows(values: Any, first: int, stop: int) -> Any:
    # A pandas object's rows by position, whatever its index.
    rows = getattr(values, "iloc", values)
    return rows[first:stop]


def _refuse_unordered(members: dict[str, Backtest], shown: Any) -> None:
    """Names the instrument whose bar times do not rise, once the timeline has been refused
    (the native refusal can only count the instruments)."""
    for symbol, bt in members.items():
        times = _view(bt._runner.timestamp)
        for i in range(1, len(times)):
            if not times[i - 1] < times[i]:
                raise ValueError(f"{symbol}: bar {i} ({shown(times[i])}) does not come after the "
                                 f"bar before it ({shown(times[i - 1])}): a portfolio's "
                                 f"timeline needs each instrument's times rising") from None


class PortfolioAccount(dict[str, Account]):
    """The account a portfolio's strategy trades on: each symbol's `Account` by symbol
    (`account["EURUSD"].buy(lot_size=1.0)`), sharing one cash, one margin and one run of
    tickets, with the whole account's figures. In a portfolio an instrument's `equity`,
    `free_margin` and `margin_level` are the whole account's, that instrument valued at the
    price given."""

    __slots__ = ()

    @classmethod
    def _of(cls, symbols: tuple[str, ...]) -> Any:
        return lambda accounts: cls(zip(symbols, accounts))

    @property
    def _any(self) -> Account:
        return next(iter(self.values()))

    @property
    def cash(self) -> float:
        """The realised balance, in the account currency."""
        return float(self._any.cash)

    @property
    def used_margin(self) -> float:
        return float(self._any.used_margin)

    def equity(self) -> float:
        """The account's value, every instrument at its current close."""
        return float(_backtest.pool_equity(self._any))

    def free_margin(self) -> float:
        return self.equity() - self.used_margin

    def margin_level(self) -> float:
        """Equity over used margin, in percent (inf with none used)."""
        used = self.used_margin
        return self.equity() / used * 100.0 if used > 0.0 else math.inf

    @property
    def positions(self) -> dict[str, tuple[Any, ...]]:
        """The open positions of each symbol that has some."""
        return {s: held for s, account in self.items() if (held := account.positions)}

    def buy(self, symbol: str, lot_size: float, **options: Any) -> int | None:
        """`self[symbol].buy(lot_size=..., ...)`: the ticket, or None without free margin."""
        ticket: int | None = self[symbol].buy(lot_size=lot_size, **options)
        return ticket

    def sell(self, symbol: str, lot_size: float, **options: Any) -> int | None:
        ticket: int | None = self[symbol].sell(lot_size=lot_size, **options)
        return ticket

    def close_all(self) -> None:
        """Closes the open positions of every symbol with a bar at this step, at its close; an
        instrument without one keeps its positions, its market being closed."""
        for account in self.values():
            if account.positions and account.has_bar:
                account.close_all()

    def __repr__(self) -> str:
        return f"PortfolioAccount({', '.join(self)})"


class _NoCloses:
    """Closes for the metrics of a whole portfolio: buy and hold has no meaning there."""

    __slots__ = ("n",)

    def __init__(self, n: int) -> None:
        self.n = n

    def __len__(self) -> int:
        return self.n

    def __getitem__(self, i: int) -> float:
        return math.nan


class PortfolioRecord:
    """What a portfolio's result reads of the portfolio, without it: each instrument's bars and
    steps, the timeline, the account and its rules. It answers as a backtest does for what a
    result reads, and pickles."""

    __slots__ = ("symbols", "bars", "steps", "timestamp", "account", "rules", "time_unit",
                 "periods_per_year", "spread_paid", "instruments", "account_currency")
    symbols: tuple[str, ...]
    bars: dict[str, Any]
    steps: dict[str, Column]
    timestamp: Column
    account: tuple[float, ...]
    rules: dict[str, Any]
    time_unit: str
    periods_per_year: float
    spread_paid: float | None
    instruments: tuple[Instrument, ...]
    account_currency: str

    def __init__(self, **fields: Any) -> None:
        for name in self.__slots__:
            setattr(self, name, fields[name])

    def column(self, name: str) -> Any:
        if name == "timestamp":
            return self.timestamp
        if name == "close":
            return _NoCloses(len(self.timestamp))
        raise ValueError(f"a portfolio has no column {name!r}: read each instrument's bars")

    def __reduce__(self) -> tuple[Any, ...]:
        return _record, ({name: getattr(self, name) for name in self.__slots__},)


def _record(fields: dict[str, Any]) -> PortfolioRecord:
    return PortfolioRecord(**fields)


class PortfolioResult(Result):
    """What a portfolio's run produced: the whole account's figures, trades and equity as a
    `Result` has them, and per instrument:

    - `symbols`, `bars[symbol]` (its `Bars`), `timestamps` (the time of every step);
    - `trade_symbols`: the symbol of each row of `trades` (whose `entry_bar` and `exit_bar` are
      step numbers);
    - `by_symbol[symbol]`: its trades' figures, and `exposure[symbol]`, the percent of steps
      at whose close it had a position open.
    """

    exposure: dict[str, float]
    _made_from: tuple[Portfolio, Any, Any]

    @classmethod
    def _of(cls, portfolio: Portfolio, outcome: tuple[Any, ...]) -> PortfolioResult:
        stats, trades, equity, exposed, refused, codes, members, _ = outcome
        symbols = portfolio.symbols
        record = PortfolioRecord(
            symbols=symbols, bars={s: bt._runner.bars for s, bt in portfolio.members.items()},
            steps={s: portfolio._runner.steps_of(k) for k, s in enumerate(symbols)},
            timestamp=portfolio.timestamp,
            account=(portfolio.initial_cash, math.nan, math.nan, math.nan, math.nan),
            rules=portfolio.rules, time_unit=portfolio.time_unit,
            periods_per_year=portfolio.periods_per_year, spread_paid=None,
            instruments=portfolio.instruments, account_currency=portfolio.account_currency)
        result = cls(stats, trades, equity, exposed, record, refused)
        steps = len(portfolio)
        result.exposure = {s: (m[1] / steps * 100.0 if steps else math.nan)
                           for s, m in zip(symbols, members)}
        # What the figures per instrument are made from, when first read: a sweep reads none.
        result._made_from = (portfolio, codes, members)
        return result

    @functools.cached_property
    def trade_symbols(self) -> tuple[str, ...]:
        """The symbol of each row of `trades`."""
        symbols = self.symbols
        return tuple(symbols[int(k)] for k in self._made_from[1])

    @functools.cached_property
    def by_symbol(self) -> dict[str, dict[str, Any]]:
        """Each instrument's trades in figures, net of commission and with swaps."""
        members = self._made_from[2]
        return {s: _figures(m[0], m[2], self.exposure[s]) for s, m in zip(self.symbols, members)}

    @property
    def symbols(self) -> tuple[str, ...]:
        symbols: tuple[str, ...] = self._backtest.symbols
        return symbols

    @property
    def bars(self) -> dict[str, Any]:  # type: ignore[override]
        """Each instrument's bars, by symbol."""
        return dict(self._backtest.bars)

    @property
    def timestamps(self) -> Column:
        column: Column = self._backtest.timestamp
        return column

    @property
    def time_unit(self) -> str:
        unit: str = self._backtest.time_unit
        return unit

    def steps_of(self, symbol: str) -> Column:
        """The step of each of `symbol`'s bars on the timeline."""
        column: Column = self._backtest.steps[symbol]
        return column

    def _record(self) -> Any:
        return self._backtest

    def _spread_paid(self) -> float | None:
        record = self._backtest
        if record.spread_paid is None:
            portfolio, _, members = self._made_from
            record.spread_paid = sum(
                (_member_spread(portfolio, symbol, bt, own)
                 for (symbol, bt), (own, _, _) in zip(portfolio.members.items(), members)), 0.0)
        paid: float = record.spread_paid
        return paid

    def __getstate__(self) -> dict[str, Any]:
        # What is made from the portfolio is made before the result leaves it.
        self._spread_paid(), self.trade_symbols, self.by_symbol
        return {k: v for k, v in self.__dict__.items() if k not in ("metrics", "_made_from")}

    def save(self, path: Any) -> str:
        raise NotImplementedError("a portfolio's result is saved with pickle")

    def plot(self, path: str | None = None, *, open_browser: bool = False,
             indicators: Any = None, time_axis: str = "bars") -> str:
        """Writes the portfolio's HTML report: its equity and drawdown, then a price panel per
        instrument with its trades, on one time axis; returns its path (needs Bokeh)."""
        from .portfolio_report import write_portfolio_report
        return write_portfolio_report(self, path, open_browser=open_browser,
                                      time_axis=time_axis)

    def to_pandas(self) -> tuple[Any, Any]:
        """(trades, equity) as DataFrames; the trades with their `symbol`."""
        trades, equity = super().to_pandas()
        trades.insert(0, "symbol", list(self.trade_symbols))
        return trades, equity

    def __repr__(self) -> str:
        return (f"PortfolioResult({', '.join(self.symbols)}: {self.stats.num_trades} trades, "
                f"final cash {self.stats.final_cash:.2f})")


def _figures(trades: Trades, refused: int, exposure: float) -> dict[str, Any]:
    """One instrument's trades in figures, net of commission and with swaps."""
    pnl, commission, swap = list(trades.pnl), list(trades.commission), list(trades.swap)
    net = [p - c + s for p, c, s in zip(pnl, commission, swap)]
    wins = [x for x in net if x > 0]
    losses = [x for x in net if x < 0]
    n = len(net)
    return {"num_trades": n, "pnl": math.fsum(pnl), "commissions": math.fsum(commission),
            "swaps": math.fsum(swap), "net_pnl": math.fsum(net),
            "win_rate_net_pct": len(wins) / n * 100.0 if n else math.nan,
            "profit_factor_net": (math.fsum(wins) / -math.fsum(losses) if losses
                                  else math.inf if wins else math.nan),
            "best_trade_net": max(net, default=math.nan),
            "worst_trade_net": min(net, default=math.nan),
            "exposure_time_pct": exposure, "orders_refused": refused}


def _member_spread(portfolio: Portfolio, symbol: str, bt: Backtest, trades: Trades) -> float:
    """The spread an instrument's trades paid, in the account currency at each exit's rate."""
    k = portfolio.symbols.index(symbol)
    legs = portfolio._legs[k]
    if not legs:
        paid = bt._spread_paid(trades)
        if paid is not None:
            return paid
        spread, size, rate = bt._runner.spread, bt._runner.contract_size, \
            bt._runner.quote_to_account
        return math.fsum(2.0 * spread * lot * size * rate for lot in trades.lot_size)
    rates = _rates(portfolio, k, legs, trades.exit_bar)
    paid = bt._spread_paid(trades, rates=rates)
    if paid is not None:
        return paid
    spread, size = bt._runner.spread, bt._runner.contract_size
    return math.fsum(2.0 * spread * lot * size * rates[bar]
                     for lot, bar in zip(trades.lot_size, trades.exit_bar))


def _rates(portfolio: Portfolio, k: int, legs: tuple[tuple[int, bool], ...],
           bars: Any) -> dict[int, float]:
    """An instrument's rate at each of these bars of its own, as the run sets it."""
    from bisect import bisect_right

    from .instruments import conversion_rate
    runner = portfolio._runner
    own = runner.steps_of(k)
    pairs = [(runner.steps_of(j), portfolio.members[portfolio.symbols[j]]._runner.close)
             for j, _ in legs]
    rates: dict[int, float] = {}
    # Only the bars asked for: a trade's exit, not every bar of a long run.
    for bar in set(bars):
        step = own[bar]
        # The pair's last close at or before the step.
        values = {j: close[max(0, bisect_right(steps, step) - 1)]
                  for (j, _), (steps, close) in zip(legs, pairs)}
        rates[bar] = conversion_rate(legs, values)  # type: ignore[arg-type]
    return rates

