"""Writes the second bundled sample: synthetic hourly bars of a USDJPY-like pair, 2021 to 2023.

It is driven by the EURUSD sample, so the two make a plausible basket: each hour's move is
mixed from EURUSD's standardised move of the same hour (weight RHO, the dollar on the other
side of both pairs) and its own draws. A slow pull towards a coarse path of month-end levels
keeps prices in the range the pair traded in. It trades the same hours as EURUSD less a few:
some early Friday closes and holiday hours, so a basket's shared timeline has gaps in this
pair only. Byte for byte the same everywhere, for the reasons given in make_sample.py.
Regenerate with `python tools/make_usdjpy_sample.py`.
"""
import argparse
import datetime as dt
import io
import math
import pathlib
import random
import runpy

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent / "python" / "candlewright" / "sample" / "usdjpy_h1.csv.gz"
EURUSD = runpy.run_path(str(HERE / "make_sample.py"), run_name="make_sample")
START: dt.datetime = EURUSD["START"]

SEED = 20210104
RHO = -0.33  # the hourly mix; measured close-to-close correlation comes out near -0.3

# About 9.5 % a year, a little livelier than EURUSD, with the same clustering.
LONG_RUN_VAR = 0.0012 ** 2
ALPHA, BETA = 0.05, 0.93
OMEGA = LONG_RUN_VAR * (1.0 - ALPHA - BETA)

# Tokyo's morning (00:00-02:00 UTC) matters more to this pair than to EURUSD.
SESSION = [1.0, 1.1, 0.95, 0.8, 0.75, 0.75, 0.85, 1.1, 1.2, 1.1, 1.0, 1.05,
           1.3, 1.6, 1.5, 1.3, 1.1, 0.9, 0.7, 0.6, 0.55, 0.5, 0.6, 0.85]
STEPS = EURUSD["STEPS"]

# Levels the price is pulled towards, linearly between them; PULL per hour gives a half-life
# of about three weeks and keeps the walk within a couple of yen of the path.
PATH = [(dt.datetime(2021, 1, 3), 103.2), (dt.datetime(2021, 3, 31), 110.7),
        (dt.datetime(2021, 9, 30), 111.3), (dt.datetime(2021, 12, 31), 115.1),
        (dt.datetime(2022, 3, 31), 121.7), (dt.datetime(2022, 6, 30), 135.7),
        (dt.datetime(2022, 10, 21), 150.0), (dt.datetime(2023, 1, 16), 128.2),
        (dt.datetime(2023, 6, 30), 144.3), (dt.datetime(2023, 10, 31), 151.2),
        (dt.datetime(2024, 1, 1), 141.0)]
PATH = [(t.replace(tzinfo=dt.timezone.utc), level) for t, level in PATH]
PULL = 1.0 / 400.0

# Hours EURUSD trades and this pair does not: early Friday closes (from the given hour to the
# weekend) and holiday hours in Asia.
EARLY_CLOSES = {dt.date(2021, 4, 2): 20, dt.date(2021, 12, 24): 21, dt.date(2021, 12, 31): 21,
                dt.date(2022, 4, 15): 20, dt.date(2022, 12, 30): 21, dt.date(2023, 4, 7): 20,
                dt.date(2023, 12, 22): 21, dt.date(2023, 12, 29): 21}
HOLIDAY_HOURS = {dt.date(2022, 1, 3): range(0, 6), dt.date(2022, 12, 25): range(22, 24),
                 dt.date(2023, 1, 1): range(22, 24), dt.date(2023, 12, 25): range(0, 6)}


def shut(t: dt.datetime) -> bool:
    day = t.date()
    return t.hour >= EARLY_CLOSES.get(day, 24) or t.hour in HOLIDAY_HOURS.get(day, ())


def target(t: dt.datetime) -> float:
    for (t0, p0), (t1, p1) in zip(PATH, PATH[1:]):
        if t < t1:
            return p0 + (p1 - p0) * ((t - t0) / (t1 - t0))
    return PATH[-1][1]


def eurusd_moves() -> list[tuple[dt.datetime, float | None, float]]:
    """EURUSD's bars as (time, standardised weekend gap or None, standardised move), its
    variance followed by the recursion that made it (on the printed prices)."""
    rows = EURUSD["generate"]().decode("ascii").splitlines()[1:]
    session = EURUSD["SESSION"]
    omega, alpha, beta = EURUSD["OMEGA"], EURUSD["ALPHA"], EURUSD["BETA"]
    var: float = EURUSD["LONG_RUN_VAR"]
    last_close, last_time = 1.0, START  # so the first bar, at START, opens no gap
    moves: list[tuple[dt.datetime, float | None, float]] = []
    for row in rows:
        stamp, open_, _, _, close, _ = row.split(",")
        t = dt.datetime.fromisoformat(stamp.replace("Z", "+00:00"))
        o, c = float(open_), float(close)
        gap: float | None = None
        if t - last_time > EURUSD["HOUR"]:
            gap = (o / last_close - 1.0) / (2.0 * math.sqrt(var))
        shock = (c - o) / o
        moves.append((t, gap, shock / (math.sqrt(var) * session[t.hour])))
        var = omega + alpha * shock * shock + beta * var
        last_close, last_time = c, t
    return moves


def generate() -> bytes:
    rng = random.Random(SEED)
    normal = EURUSD["normal"]
    own = math.sqrt(1.0 - RHO * RHO)
    price, var = PATH[0][1], LONG_RUN_VAR
    out = io.StringIO(newline="")
    out.write("time,open,high,low,close,volume\n")
    for t, gap, z_eur in eurusd_moves():
        if gap is not None:
            price *= 1.0 + 2.0 * math.sqrt(var) * (RHO * gap + own * normal(rng))
        step_sd = math.sqrt(var) * SESSION[t.hour] / math.sqrt(STEPS)
        shared = RHO * z_eur / math.sqrt(STEPS)  # over the bar's steps, adds up to RHO * z_eur
        drift = PULL / STEPS * (target(t) - price) / price
        open_ = high = low = price
        for _ in range(STEPS):
            price *= 1.0 + drift + step_sd * (shared + own * normal(rng))
            high, low = max(high, price), min(low, price)
        shock = (price - open_) / open_
        var = OMEGA + ALPHA * shock * shock + BETA * var
        volume = int(SESSION[t.hour] * (600.0 + 400.0 * rng.random())
                     * (1.0 + (high - low) / open_ / 0.0024))
        # A shut hour is still drawn, so the price moves on and the draws that follow do not
        # depend on which hours are shut; it is only not written.
        if not shut(t):
            out.write(f"{t:%Y-%m-%dT%H:%M:%SZ},{open_:.3f},{high:.3f},{low:.3f},{price:.3f},"
                      f"{volume}\n")
    return out.getvalue().encode("ascii")


def write(path: pathlib.Path) -> None:
    EURUSD["gzipped"](path, generate())


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", type=pathlib.Path, default=OUT)
    write(parser.parse_args().out)
