"""Writes the bundled sample: synthetic hourly bars of a EURUSD-like pair, 2021 to 2023.

The output is the same byte for byte on every machine and interpreter: a fixed seed, only
+, -, *, / and sqrt on floats (all correctly rounded, unlike exp, log or cos, which the C
library may round differently), fixed-point formatting and a gzip header without a time.
Regenerate with `python tools/make_sample.py`.
"""
import argparse
import datetime as dt
import gzip
import io
import math
import pathlib
import random

OUT = pathlib.Path(__file__).resolve().parent.parent / "python" / "candlewright" / "sample" / "eurusd_h1.csv.gz"

SEED = 20210103
START = dt.datetime(2021, 1, 3, 22, tzinfo=dt.timezone.utc)  # a Sunday: the week's open
END = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
HOUR = dt.timedelta(hours=1)

# Volatility clustering: variance follows a GARCH(1,1)-like recursion per hour. A long-run
# hourly deviation of 0.09 % makes about 7 % a year, typical of the pair.
LONG_RUN_VAR = 0.0009 ** 2
ALPHA, BETA = 0.05, 0.93
OMEGA = LONG_RUN_VAR * (1.0 - ALPHA - BETA)

# The hour of day in UTC shapes activity: quiet Asian hours, busy London and New York overlap.
SESSION = [0.55, 0.5, 0.5, 0.55, 0.6, 0.7, 0.9, 1.3, 1.4, 1.3, 1.2, 1.2,
           1.4, 1.6, 1.6, 1.5, 1.3, 1.0, 0.8, 0.7, 0.6, 0.55, 0.6, 0.6]
STEPS = 6  # ten-minute steps inside a bar, which set its high and low


def normal(rng: random.Random) -> float:
    """Standard normal by the Irwin-Hall sum: light tails, but only additions."""
    return sum(rng.random() for _ in range(12)) - 6.0


def open_market(t: dt.datetime) -> bool:
    """Trading runs from Sunday 22:00 to Friday 22:00 UTC."""
    day, hour = t.weekday(), t.hour
    return not (day == 5 or (day == 4 and hour >= 22) or (day == 6 and hour < 22))


def generate() -> bytes:
    rng = random.Random(SEED)
    price, var = 1.22, LONG_RUN_VAR
    out = io.StringIO(newline="")
    out.write("time,open,high,low,close,volume\n")
    t, was_open = START, True
    while t < END:
        if not open_market(t):
            t, was_open = t + HOUR, False
            continue
        if not was_open:  # the weekend gap: news priced in while the market was shut
            price *= 1.0 + 2.0 * math.sqrt(var) * normal(rng)
            was_open = True
        step_sd = math.sqrt(var) * SESSION[t.hour] / math.sqrt(STEPS)
        open_ = high = low = price
        for _ in range(STEPS):
            price *= 1.0 + step_sd * normal(rng)
            high, low = max(high, price), min(low, price)
        shock = (price - open_) / open_
        var = OMEGA + ALPHA * shock * shock + BETA * var
        # Tick volume grows with the session and with how far the bar ranged.
        volume = int(SESSION[t.hour] * (600.0 + 400.0 * rng.random())
                     * (1.0 + (high - low) / open_ / 0.002))
        out.write(f"{t:%Y-%m-%dT%H:%M:%SZ},{open_:.5f},{high:.5f},{low:.5f},{price:.5f},{volume}\n")
        t += HOUR
    return out.getvalue().encode("ascii")


def gzipped(path: pathlib.Path, data: bytes) -> None:
    """`data` gzipped at `path` with no name or time in the header, so the same text always
    gives the same file where zlib compresses alike."""
    with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                compresslevel=9, mtime=0) as gz:
        gz.write(data)


def write(path: pathlib.Path) -> None:
    gzipped(path, generate())


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", type=pathlib.Path, default=OUT)
    write(parser.parse_args().out)
