"""Writes the bundled minute sample: synthetic EURUSD-like M1 bars whose hourly resample is the
bundled hourly sample, bar for bar, over the sample's last months (FIRST_HOUR onwards).

Each hour of the hourly sample becomes a price path of TICKS steps a minute, in whole points
(1e-5), from the hour's open to its close: Brownian bridges through the hour's high and low,
reached at random ticks in an order drawn as it would fall for a random walk (the open near the
high and the close near the low make "high first" likely), folded back into [low, high] and
kept a point off both extremes except at those two ticks (a one-point hour cannot be: there
only the second extreme waits for its tick). Every minute of the hour is written, its open the
previous minute's close, so the first open, highest high, lowest low and last close are the
hour's exactly; the hour's volume is shared out in whole ticks by each minute's range.

The output is the same byte for byte on every machine and interpreter: each hour draws from its
own `random.Random` seeded with SEED and the hour (so any stretch can be regenerated alone),
only `random()` is used (its stream is fixed across Python versions), floats meet only +, -,
*, /, sqrt and %, prices are whole points until printed, and the gzip header carries no time.
Regenerate with `python tools/make_eurusd_m1_sample.py`; `--stats` prints which extreme came
first and how many hours a stop and target around the open leave in doubt.
"""
import argparse
import datetime as dt
import io
import math
import pathlib
import random
import runpy
from collections.abc import Iterator

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "python" / "candlewright" / "sample" / "eurusd_m1.csv.gz"
HOURLY = runpy.run_path(str(HERE / "make_sample.py"), run_name="make_sample")

SEED = 20230101
FIRST_HOUR = dt.datetime(2023, 4, 1, tzinfo=dt.timezone.utc)
POINT = 100_000  # prices are written with 5 decimals
TICKS = 4  # price steps a minute: enough for a minute's high and low to differ from its ends
STEPS = 60 * TICKS
# The walk's step, as a share of the hour's range over sqrt(STEPS): at 1 a free walk would
# spread over the hour as wide as the hour ranged, which makes minutes range about an eighth
# of their hour, near what the pair's real minutes do; much less and the bridges run straight.
WIGGLE = 1.0

Hour = tuple[str, int, int, int, int, int]  # time, open, high, low, close (points), volume


def normal(rng: random.Random) -> float:
    drawn: float = HOURLY["normal"](rng)
    return drawn


def points(text: str) -> int:
    whole, _, decimals = text.partition(".")
    if len(decimals) != 5:
        raise ValueError(f"{text!r} is not a price with 5 decimals")
    return int(whole) * POINT + int(decimals)


def price(p: int) -> str:
    return f"{p // POINT}.{p % POINT:05d}"


def hours(first: dt.datetime = FIRST_HOUR, end: dt.datetime | None = None) -> Iterator[Hour]:
    """The hourly sample's bars from `first` up to `end`, prices in points."""
    rows = HOURLY["generate"]().decode("ascii").splitlines()[1:]
    for row in rows:
        stamp, open_, high, low, close, volume = row.split(",")
        t = dt.datetime.fromisoformat(stamp.replace("Z", "+00:00"))
        if t >= first and (end is None or t < end):
            yield stamp, points(open_), points(high), points(low), points(close), int(volume)


def hour_rng(stamp: str) -> random.Random:
    epoch_hour = int(dt.datetime.fromisoformat(stamp.replace("Z", "+00:00")).timestamp()) // 3600
    return random.Random(SEED * 1_000_000 + epoch_hour)


def bridge(rng: random.Random, path: list[float], t0: int, t1: int, x0: int, x1: int,
           step: float) -> None:
    """Fills path[t0 + 1 .. t1 - 1] with a walk from x0 at t0 to x1 at t1."""
    n = t1 - t0
    walk = [0.0]
    for _ in range(n):
        walk.append(walk[-1] + step * normal(rng))
    miss = walk[n] - (x1 - x0)
    for k in range(1, n):
        path[t0 + k] = x0 + walk[k] - miss * k / n


def hour_path(rng: random.Random, o: int, h: int, lo: int, c: int) -> list[int]:
    """STEPS + 1 prices in points from o to c, all within [lo, h], reaching both."""
    width = h - lo
    if width == 0:
        return [o] * (STEPS + 1)
    if o == h or o == lo:
        high_first = o == h
    else:
        # A walk that opens near its high and closes near its low most likely rose first.
        high_first = rng.random() < 1.0 - ((h - o) + (c - lo)) / (2.0 * width)
    first, second = (h, lo) if high_first else (lo, h)
    if o == first:
        t_first, t_second = 0, 1 + int(rng.random() * (STEPS - 1))
    else:
        a = b = 0
        while a == b:  # two distinct ticks strictly inside the hour
            a, b = (1 + int(rng.random() * (STEPS - 1)) for _ in range(2))
        t_first, t_second = min(a, b), max(a, b)
    step = WIGGLE * width / math.sqrt(STEPS)
    walk = [0.0] * (STEPS + 1)
    anchors = [(0, o), (t_first, first), (t_second, second), (STEPS, c)]
    for (t0, x0), (t1, x1) in zip(anchors, anchors[1:]):
        bridge(rng, walk, t0, t1, x0, x1, step)
    path = [0] * (STEPS + 1)
    inward = 1 if second == lo else -1
    for k, x in enumerate(walk):
        # Fold the walk back into the range, as a reflecting barrier would.
        y = (x - lo) % (2 * width)
        p = lo + round(2 * width - y if y > width else y)
        if k < t_second and p == second:
            p += inward  # the second extreme is not reached before its tick
        elif width > 1 and (p == h or p == lo):
            # Only the anchors touch an extreme: a walk folded near its barrier would touch it
            # again and again, where real hours mostly make their high and low once.
            p += 1 if p == lo else -1
        path[k] = p
    for t, x in anchors:
        path[t] = x
    return path


def minutes(hour: Hour) -> list[tuple[int, int, int, int, int]]:
    """The hour's 60 minute bars as (open, high, low, close, volume)."""
    stamp, o, h, lo, c, volume = hour
    rng = hour_rng(stamp)
    path = hour_path(rng, o, h, lo, c)
    bars = []
    for m in range(60):
        ticks = path[m * TICKS:(m + 1) * TICKS + 1]
        bars.append((ticks[0], max(ticks), min(ticks), ticks[-1]))
    # Tick volume follows activity: each minute's share grows with its range, plus some noise.
    weights = [1 + high - low + int(3.0 * rng.random()) for _, high, low, _ in bars]
    total = sum(weights)
    shares = [volume * w // total for w in weights]
    # The remainder goes one tick at a time to the minutes that lost most to rounding down.
    by_loss = sorted(range(60), key=lambda m: (-(volume * weights[m] % total), m))
    for m in by_loss[:volume - sum(shares)]:
        shares[m] += 1
    return [(*bar, share) for bar, share in zip(bars, shares)]


def generate(first: dt.datetime = FIRST_HOUR, end: dt.datetime | None = None) -> bytes:
    out = io.StringIO(newline="")
    out.write("time,open,high,low,close,volume\n")
    for hour in hours(first, end):
        prefix = hour[0][:14]  # "YYYY-MM-DDTHH:"
        for m, (o, h, lo, c, v) in enumerate(minutes(hour)):
            out.write(f"{prefix}{m:02d}:00Z,{price(o)},{price(h)},{price(lo)},{price(c)},{v}\n")
    return out.getvalue().encode("ascii")


def write(path: pathlib.Path) -> None:
    HOURLY["gzipped"](path, generate())


def stats(distances: tuple[int, ...] = (50, 100, 200)) -> str:
    """Which extreme each hour reached first, on its minutes, and for a stop and a target
    `d` points either side of the hour's open, how many hours reach both: in doubt on the
    hourly bar, settled by the minutes unless both fall in one minute."""
    order = {"high first": 0, "low first": 0, "same minute": 0}
    doubt = {d: {"both reached": 0, "target first": 0, "stop first": 0, "same minute": 0}
             for d in distances}
    count = 0
    for hour in hours():
        count += 1
        _, o, h, lo, _, _ = hour
        bars = minutes(hour)
        at_high = next(m for m, bar in enumerate(bars) if bar[1] == h)
        at_low = next(m for m, bar in enumerate(bars) if bar[2] == lo)
        order["high first" if at_high < at_low else "low first" if at_low < at_high
              else "same minute"] += 1
        for d, tally in doubt.items():
            if h >= o + d and lo <= o - d:
                tally["both reached"] += 1
                up = next(m for m, bar in enumerate(bars) if bar[1] >= o + d)
                down = next(m for m, bar in enumerate(bars) if bar[2] <= o - d)
                tally["target first" if up < down else "stop first" if down < up
                      else "same minute"] += 1
    lines = [f"{count} hours from {FIRST_HOUR:%Y-%m-%d}: "
             + ", ".join(f"{k} {v}" for k, v in order.items())]
    for d, tally in doubt.items():
        lines.append(f"long, stop and target {d / 10:g} pips from the open: "
                     + ", ".join(f"{k} {v}" for k, v in tally.items()))
    return "\n".join(lines)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", type=pathlib.Path, default=OUT)
    parser.add_argument("--stats", action="store_true", help="print the counts, write nothing")
    args = parser.parse_args()
    if args.stats:
        print(stats())
    else:
        write(args.out)
