"""SmaCross on the bundled sample, then a strategy of our own on bars read from a CSV file."""
import io

from candlewright import Bar, Broker, Engine, SmaCross, read_csv, sample_bars

bars = sample_bars()  # synthetic hourly EURUSD-like bars, 2021 to 2023
engine = Engine(bars, initial_cash=10_000.0, commission=7.0, spread=0.0002,
                contract_size=100_000.0, quote_to_account=1.0)
print(engine.run(SmaCross(fast=20, slow=50, lots=0.1, stop_pips=40, target_pips=80)))


class BuyTheDip:
    """Buys a tenth of a lot after three falling closes; exits at the close two bars later."""

    def init(self, bars: list[Bar]) -> None:
        self.closes: list[float] = []
        self.held_for: int | None = None

    def next(self, bar: Bar, broker: Broker) -> None:
        self.closes.append(bar.close)
        if self.held_for is not None:
            self.held_for += 1
            if self.held_for == 2:
                broker.close_all(bar.close, bar.timestamp)
                self.held_for = None
        elif len(self.closes) >= 4 and self.closes[-4] > self.closes[-3] > self.closes[-2] > self.closes[-1]:
            broker.buy(bar.close, 0.1, bar.timestamp, None, None)
            self.held_for = 0


csv_text = """Date,Open,High,Low,Close
2024-03-01T09:00:00Z,1.0800,1.0810,1.0790,1.0795
2024-03-01T10:00:00Z,1.0795,1.0800,1.0780,1.0785
2024-03-01T11:00:00Z,1.0785,1.0790,1.0770,1.0775
2024-03-01T12:00:00Z,1.0775,1.0780,1.0760,1.0765
2024-03-01T13:00:00Z,1.0765,1.0790,1.0760,1.0788
2024-03-01T14:00:00Z,1.0788,1.0799,1.0780,1.0797
"""
mine = Engine(read_csv(io.StringIO(csv_text)), 10_000.0, 7.0, 0.0002, 100_000.0, 1.0)
print(mine.run(BuyTheDip()))
