"""Reading tick files and making bars of them: read_ticks beside pandas.read_csv (and pyarrow's
reader, if installed) on the same text, and Ticks.bars beside a pandas resample.

    python bench/ticks.py [--ticks N] [--rounds R]

10^7 ticks by default, written once (cached in the temporary folder) in two layouts: HistData's
(`20170102 000000600,1.05147,1.05159,0`) and a header `time,bid,ask,volume` with ISO 8601 times
to the millisecond. Times are the best of the rounds (other work on the machine only adds time);
MB/s is of the text; a ratio is read_ticks' speed over the other's, measured in the same rounds.
The others parse the times too; read_ticks also checks every tick (prices finite and positive,
the ask at or above the bid, times ascending). Bars are "1min" of the bid and the ask: the open,
high, low and close of each, as pandas' first/max/min/last of a resample.
"""
import argparse
import os
import pathlib
import tempfile
import time

import numpy as np

import candlewright as cw


def write(n: int) -> dict[str, pathlib.Path]:
    folder = pathlib.Path(tempfile.gettempdir())
    paths = {"histdata": folder / f"candlewright-ticks-{n}.histdata.csv",
             "iso": folder / f"candlewright-ticks-{n}.iso.csv"}
    if all(p.exists() for p in paths.values()):
        return paths
    rng = np.random.default_rng(7)
    step = rng.choice([0, 100, 250, 600, 1500, 4000], n).astype(np.int64)
    ms = 1_483_315_200_000 + np.cumsum(step)  # from 2017-01-02
    bid = 105_000 + np.cumsum(rng.integers(-2, 3, n))
    ask = bid + rng.integers(0, 5, n)
    stamps = ms.astype("datetime64[ms]")
    est = (ms - 5 * 3_600_000).astype("datetime64[ms]")
    chunk = 1 << 18
    for name, path in paths.items():
        part = path.with_suffix(".part")
        with open(part, "w") as out:
            if name == "iso":
                out.write("time,bid,ask,volume\n")
            for first in range(0, n, chunk):
                sl = slice(first, first + chunk)
                if name == "iso":
                    times = np.datetime_as_string(stamps[sl], unit="ms")
                    rows = [f"{t},{b / 1e5:.5f},{a / 1e5:.5f},1\n"
                            for t, b, a in zip(times.tolist(), bid[sl].tolist(), ask[sl].tolist())]
                else:
                    times = np.datetime_as_string(est[sl], unit="ms")
                    rows = [f"{t[:4]}{t[5:7]}{t[8:10]} {t[11:13]}{t[14:16]}{t[17:19]}{t[20:23]},"
                            f"{b / 1e5:.5f},{a / 1e5:.5f},0\n"
                            for t, b, a in zip(times.tolist(), bid[sl].tolist(), ask[sl].tolist())]
                out.write("".join(rows))
        part.rename(path)
    return paths


def best(rounds: int, run) -> tuple[float, object]:
    times, out = [], None
    for _ in range(rounds):
        start = time.perf_counter()
        out = run()
        times.append(time.perf_counter() - start)
    return min(times), out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--ticks", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    import pandas as pd

    paths = write(args.ticks)
    sizes = {name: os.path.getsize(path) / 1e6 for name, path in paths.items()}
    rows = []

    def pandas_iso():
        frame = pd.read_csv(paths["iso"], engine="c")
        frame["time"] = pd.to_datetime(frame["time"], format="ISO8601")
        return frame

    t_hist, ticks = best(args.rounds, lambda: cw.read_ticks(paths["histdata"]))
    t_iso, _ = best(args.rounds, lambda: cw.read_ticks(paths["iso"]))
    t_pandas, _ = best(max(1, args.rounds - 1), pandas_iso)
    rows.append(("read_ticks, HistData", t_hist, sizes["histdata"], None))
    rows.append(("read_ticks, ISO header", t_iso, sizes["iso"], None))
    rows.append(("pandas.read_csv + to_datetime, ISO", t_pandas, sizes["iso"],
                 (sizes["iso"] / t_iso) / (sizes["iso"] / t_pandas)))
    try:
        from pyarrow import csv as pacsv

        opts = pacsv.ReadOptions(use_threads=False)
        t_arrow, _ = best(args.rounds, lambda: pacsv.read_csv(paths["iso"], read_options=opts))
        rows.append(("pyarrow.csv.read_csv, 1 thread, ISO", t_arrow, sizes["iso"],
                     t_arrow / t_iso))
    except ImportError:
        pass

    print(f"{len(ticks):,} ticks; {sizes['histdata']:.0f} MB HistData text, "
          f"{sizes['iso']:.0f} MB ISO text; best of {args.rounds}")
    print(f"{'reading':40} {'seconds':>8} {'MB/s':>8} {'read_ticks x':>13}")
    for name, seconds, size, ratio in rows:
        shown = f"{ratio:.1f}" if ratio is not None else ""
        print(f"{name:40} {seconds:8.3f} {size / seconds:8.0f} {shown:>13}")

    t_bars, bars = best(args.rounds, lambda: ticks.bars("1min"))
    frame = ticks.to_pandas()

    def pandas_bars():
        return {side: frame[side].resample("1min").agg(["first", "max", "min", "last"]).dropna()
                for side in ("bid", "ask")}

    t_pbars, _ = best(max(1, args.rounds - 1), pandas_bars)
    n = len(ticks)
    print(f"\n{'1min bars of bid and ask':40} {'seconds':>8} {'Mticks/s':>8} {'bars x':>13}")
    print(f"{'Ticks.bars':40} {t_bars:8.3f} {n / t_bars / 1e6:8.0f} {'':>13}")
    print(f"{'pandas resample first/max/min/last':40} {t_pbars:8.3f} {n / t_pbars / 1e6:8.0f} "
          f"{t_pbars / t_bars:13.1f}")
    print(f"({len(bars):,} bars)")


if __name__ == "__main__":
    main()
