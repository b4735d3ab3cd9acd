"""Two pairs on one USD account: EURUSD and USDJPY from the bundled samples, each traded on its
own EMA cross, with one cash, one margin and USDJPY's P/L converted at each step's 1 / close."""
from candlewright import Bar, Bars, Portfolio, PortfolioAccount, sample_bars, ta


class Basket:
    """Long or short each pair with its 20/50 EMA cross, 0.5 lot, a stop 2 ATRs away."""

    def init(self, data: dict[str, Bars]) -> None:  # each symbol's bars
        self.fast = {s: ta.ema(b.close, 20) for s, b in data.items()}
        self.slow = {s: ta.ema(b.close, 50) for s, b in data.items()}
        self.atr = {s: ta.atr(b.high, b.low, b.close, 14) for s, b in data.items()}

    # step: the bar of each symbol that has one now
    def next(self, step: dict[str, Bar], account: PortfolioAccount) -> None:
        for symbol, bar in step.items():
            pair = account[symbol]
            i = pair.bar_index
            if i is None or i < 50:  # until the slow EMA has its first value
                continue
            up = bool(self.fast[symbol][i] > self.slow[symbol][i])
            held = pair.positions
            if held and held[0].is_long == up:
                continue
            if held:
                pair.close_all()
            stop = 2 * float(self.atr[symbol][i])
            if up:
                pair.buy(lot_size=0.5, stop_loss=bar.close - stop)
            else:
                pair.sell(lot_size=0.5, stop_loss=bar.close + stop)


portfolio = Portfolio({"EURUSD": sample_bars(), "USDJPY": sample_bars("USDJPY")},
                      account_currency="USD", initial_cash=10_000, leverage=30)
print(portfolio)
print("USDJPY converts by", portfolio.conversion("USDJPY"))
result = portfolio.run(Basket())
print(result.stats)
for symbol, figures in result.by_symbol.items():
    print(f"{symbol}: {figures['num_trades']} trades, net {figures['net_pnl']:.2f} USD, "
          f"win rate {figures['win_rate_net_pct']:.1f}%, exposure {figures['exposure_time_pct']:.1f}%")
