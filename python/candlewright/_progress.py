"""Progress bars on the terminal: tqdm's when it is installed, a plain one-line bar otherwise;
and a run watched by one, at no cost per bar."""
from __future__ import annotations

import importlib
import sys
import threading
import time
from collections.abc import Callable
from typing import IO, Any

# Seconds before a bar is first drawn (quick work shows nothing), and between two looks at a run.
DELAY = 0.5
POLL = 0.1


class Progress:
    """A one-line progress bar, drawn only once the work has taken a while."""

    def __init__(self, total: int, stream: IO[str], unit: str = "bars", delay: float | None = None,
                 interval: float = 0.1) -> None:
        delay = DELAY if delay is None else delay
        self.total, self.stream, self.unit, self.done = total, stream, unit, 0
        self.next_draw = time.monotonic() + delay
        self.interval, self.drawn = interval, False

    def step(self) -> None:
        self.update(self.done + 1)

    def update(self, done: int) -> None:
        """Shows `done` of the total done."""
        self.done = done
        now = time.monotonic()
        if now >= self.next_draw:
            self.next_draw = now + self.interval
            filled = 30 * self.done // self.total
            self.stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] "
                              f"{100 * self.done // self.total:3d}%  "
                              f"{self.done:,}/{self.total:,} {self.unit}")
            self.stream.flush()
            self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


class _Tqdm:
    def __init__(self, bar: Any) -> None:
        self.bar = bar

    def step(self) -> None:
        self.bar.update(1)

    def update(self, done: int) -> None:
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        self.bar.close()


def progress_bar(total: int, stream: IO[str], unit: str) -> Progress | _Tqdm:
    """tqdm's bar if tqdm is installed, else the plain one; either waits half a second before
    it draws, so quick work shows nothing."""
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return Progress(total, stream, unit)
    # Without tqdm's monitor thread, which outlives the bar: a process with a thread running
    # cannot fork its sweeps' workers.
    quiet = type("tqdm", (tqdm,), {"monitor_interval": 0})
    return _Tqdm(quiet(total=total, file=stream, unit=f" {unit}", delay=DELAY, leave=False))


class _Watched:
    """Stands in for a strategy in a run with a progress bar. Its first `next` hands the account
    over and puts the strategy's own bound `next` in its place (the run looks `next` up at every
    bar, and finds it in the instance), so from the second bar on the run calls the strategy
    directly: no extra call per bar. `init` is the strategy's, looked up once as the run would
    look it up, so a strategy without one gets no list of every bar built for it."""

    def __init__(self, strategy: Any, found: Callable[[Any], None]) -> None:
        self._strategy, self._found = strategy, found
        self.next: Callable[[Any, Any], Any] = self._first
        try:
            self.init = strategy.init
        except AttributeError:
            pass  # no init, as the run takes an AttributeError from the lookup

    def _first(self, bar: Any, account: Any) -> Any:
        own = self._strategy.next
        self.next = own
        self._found(account)
        return own(bar, account)


def run_watched(run: Callable[[Any], Any], strategy: Any, total: int,
                stream: IO[str] | None = None, clock: Any = None) -> Any:
    """`run(strategy)` with a progress bar of its `total` bars on `stream` (standard error), drawn
    by a thread that reads the account's bar number (or the strategy class's `clock`) now and
    then; the run itself does what it does without the bar, call for call."""
    bar = progress_bar(total, sys.stderr if stream is None else stream, "bars")
    accounts: list[Any] = []
    done = threading.Event()

    def watch() -> None:
        while not done.wait(POLL):
            if clock is not None:
                bar.update(clock.now)
            elif accounts:
                try:
                    index = accounts[0].bar_index
                except Exception:
                    continue  # busy at this instant: the next look will tell
                if index is not None:
                    bar.update(index + 1)

    watcher = threading.Thread(target=watch, name="candlewright progress", daemon=True)
    watcher.start()
    try:
        return run(strategy if clock is not None else _Watched(strategy, accounts.append))
    finally:
        done.set()
        watcher.join()
        bar.close()
