"""The account in plain Python, in the native operand order, so results compare to the bit."""
import math


class Account:
    def __init__(self, initial_cash, commission, spread, contract_size, quote_to_account):
        self.cash, self.commission, self.spread = initial_cash, commission, spread
        self.contract_size, self.quote_to_account = contract_size, quote_to_account
        self.positions = []  # (id, is_long, entry_price, lot_size), in opening order

    def open(self, is_long, price, lot_size):
        entry = price + self.spread if is_long else price - self.spread
        self.positions.append((len(self.positions), is_long, entry, lot_size))
        self.cash = self.cash - self.commission * lot_size

    def _value(self, position, price):
        _, is_long, entry, lot_size = position
        diff = price - entry if is_long else entry - price
        return diff * lot_size * self.contract_size * self.quote_to_account

    def _close(self, position, price):
        exit_price = price - self.spread if position[1] else price + self.spread
        self.cash = self.cash + self._value(position, exit_price)

    def close_position(self, id, price):
        for i, position in enumerate(self.positions):
            if position[0] == id:
                self._close(self.positions.pop(i), price)
                return

    def close_all(self, price):
        for position in self.positions:
            self._close(position, price)
        self.positions.clear()

    def equity(self, price):
        total = -0.0
        for position in self.positions:
            total = total + self._value(position, price)
        return total + self.cash


def same(a, b):
    """Equal to the bit as far as Python can tell: NaN matches NaN, and the sign of zero counts."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
