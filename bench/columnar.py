"""Loading bars from columns: what candlewright's columnar loaders cost beside the reads they
start from, on the same synthetic bars.

    python bench/columnar.py [--bars N | --large] [--rounds R]

10^6 minute bars by default (--large: 10^7): int64 epoch seconds and float64 prices in numpy
arrays, the same as a pandas DataFrame with a datetime64[ns] 'time' column, and that frame
written once to a Parquet and a Feather file (uncompressed, so the file reads are not a
decompressor's benchmark). Then, in the same rounds, side by side:

- from_arrays against a numpy copy of the six columns (the memory traffic the load must do);
- from_dataframe against the same copy out of the frame;
- read_parquet against pyarrow.parquet.read_table and polars.read_parquet of the same file;
- read_feather against pyarrow.feather.read_table and polars.read_ipc.

Each loader checks its bars (validate="error"), as a user's call does. Times are the best of the
rounds (other work on the machine only ever adds time); a ratio is candlewright's best over the
reference's best.
"""
import argparse
import pathlib
import sys
import tempfile
import time

import numpy as np


def synthetic(n, seed=7):
    rng = np.random.default_rng(seed)
    close = 1.1 + np.cumsum(rng.normal(0.0, 1e-4, n))
    open_ = np.concatenate(([close[0]], close[:-1]))
    spread = np.abs(rng.normal(0.0, 5e-5, n))
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread
    volume = rng.integers(1, 500, n).astype(np.float64)
    timestamp = 1_600_000_000 + 60 * np.arange(n, dtype=np.int64)
    return {"timestamp": timestamp, "open": open_, "high": high, "low": low, "close": close,
            "volume": volume}


def same(a, b):
    return len(a) == len(b) and all(
        np.array_equal(np.asarray(a.column(k)), np.asarray(b.column(k)))
        for k in ("timestamp", "open", "high", "low", "close", "volume"))


def table(title, rows, rounds):
    """rows: (name, fn); the first is candlewright's, the rest references; interleaved rounds."""
    best_of = {name: float("inf") for name, _ in rows}
    for _ in range(rounds):
        for name, fn in rows:
            start = time.perf_counter()
            fn()
            best_of[name] = min(best_of[name], time.perf_counter() - start)
    ours = rows[0][0]
    print(f"### {title}\n")
    print("| call | best ms | ours / this |")
    print("|---|---:|---:|")
    for name, _ in rows:
        ratio = best_of[ours] / best_of[name]
        print(f"| {name} | {best_of[name] * 1e3:.1f} | {ratio:.2f} |")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=10**6)
    parser.add_argument("--large", action="store_true", help="10^7 bars")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    n = 10**7 if args.large else args.bars

    import pandas as pd
    import polars as pl
    import pyarrow as pa
    import pyarrow.feather as feather
    import pyarrow.parquet as parquet

    import candlewright as cw

    columns = synthetic(n)
    frame = pd.DataFrame({"time": pd.to_datetime(columns["timestamp"], unit="s"),
                          **{k: v for k, v in columns.items() if k != "timestamp"}})
    print(f"{n:,} bars; Python {sys.version.split()[0]}, numpy {np.__version__}, "
          f"pandas {pd.__version__}, pyarrow {pa.__version__}, polars {pl.__version__}\n")

    with tempfile.TemporaryDirectory() as tmp:
        pq_path = pathlib.Path(tmp) / "bars.parquet"
        ft_path = pathlib.Path(tmp) / "bars.feather"
        frame.to_parquet(pq_path, index=False, compression="none")
        frame.to_feather(ft_path, compression="uncompressed")

        # The same bars every way, before anything is timed.
        reference = cw.from_arrays(**columns)
        for loaded in (cw.from_dataframe(frame), cw.read_parquet(pq_path),
                       cw.read_feather(ft_path)):
            assert same(loaded, reference)

        values = list(columns.values())
        table("from_arrays (numpy int64 and float64)", [
            ("candlewright.from_arrays", lambda: cw.from_arrays(*values)),
            ("numpy copy of the six columns", lambda: [v.copy() for v in values]),
        ], args.rounds)
        table("from_dataframe (pandas, datetime64[ns] times)", [
            ("candlewright.from_dataframe", lambda: cw.from_dataframe(frame)),
            ("numpy copy of the frame's columns",
             lambda: [frame[k].to_numpy().copy() for k in frame.columns]),
        ], args.rounds)
        table("read_parquet (uncompressed)", [
            ("candlewright.read_parquet", lambda: cw.read_parquet(pq_path)),
            ("pyarrow.parquet.read_table", lambda: parquet.read_table(pq_path)),
            ("polars.read_parquet", lambda: pl.read_parquet(pq_path)),
        ], args.rounds)
        table("read_feather (uncompressed)", [
            ("candlewright.read_feather", lambda: cw.read_feather(ft_path)),
            ("pyarrow.feather.read_table", lambda: feather.read_table(ft_path)),
            ("polars.read_ipc", lambda: pl.read_ipc(ft_path)),
        ], args.rounds)


if __name__ == "__main__":
    main()
