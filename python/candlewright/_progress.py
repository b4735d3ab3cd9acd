"""Progress bars on the terminal: tqdm's when it is installed, a plain one-line bar otherwise."""
from __future__ import annotations

import importlib
import time
from typing import IO, Any


class Progress:
    """A one-line progress bar, drawn only once the work has taken a while."""

    def __init__(self, total: int, stream: IO[str], unit: str = "bars", delay: float = 0.5,
                 interval: float = 0.1) -> None:
        self.total, self.stream, self.unit, self.done = total, stream, unit, 0
        self.next_draw = time.monotonic() + delay
        self.interval, self.drawn = interval, False

    def step(self) -> None:
        self.done += 1
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

    def close(self) -> None:
        self.bar.close()


def progress_bar(total: int, stream: IO[str], unit: str) -> Progress | _Tqdm:
    """tqdm's bar if tqdm is installed, else the plain one; either waits half a second before
    it draws, so quick work shows nothing."""
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return Progress(total, stream, unit)
    return _Tqdm(tqdm(total=total, file=stream, unit=f" {unit}", delay=0.5, leave=False))
