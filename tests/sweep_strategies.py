"""Strategies for the sweep tests, importable by worker processes."""
import os


class Idle:
    def __init__(self, **params):
        self.params = params

    def next(self, bar, broker):
        pass


class FailsAt:
    """Raises on bar `at`, or ends its worker process there when `die` is set."""

    def __init__(self, at, die=False):
        self.at, self.die, self.seen = at, die, 0

    def next(self, bar, broker):
        if self.seen == self.at:
            if self.die:
                os._exit(3)
            raise ArithmeticError(f"bar {self.at}")
        self.seen += 1
