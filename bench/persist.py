"""Keeping results: what pickling bars and results, and saving and loading a run, cost beside the
same work done on plain numpy arrays of the same values.

    python bench/persist.py [--bars N] [--rounds R]

The sample's bars repeated to N bars (10^6 by default), one SmaCross run on them. Side by side,
in the same rounds:

- a pickle round trip (protocol 5) of the Bars, against the same of its six columns as numpy
  arrays, and against the reducer Bars had before (an array.array made per column from the
  values one by one);
- a pickle round trip of the Result (its bars, equity, trades and account), against the same of
  numpy arrays of its bars and equity;
- Result.save and candlewright.load (.npz, .parquet), against numpy.savez/numpy.load of the same
  arrays and pyarrow.parquet.write_table/read_table of a table of the same columns.

Times are the best of the rounds (other work on the machine only ever adds time); a ratio is
candlewright's best over the reference's best.
"""
import argparse
import array
import pathlib
import pickle
import sys
import tempfile
import time

import numpy as np

import candlewright as cw
from candlewright._backtest import Bars

NAMES = ("timestamp", "open", "high", "low", "close", "volume")


def repeated(n):
    sample = cw.sample_bars()
    reps = -(-n // len(sample))
    columns = {name: np.tile(np.asarray(sample.column(name)), reps)[:n] for name in NAMES}
    step = int(columns["timestamp"][1] - columns["timestamp"][0])
    columns["timestamp"] = columns["timestamp"][0] + step * np.arange(n, dtype=np.int64)
    return cw.from_arrays(**columns)


def array_reduce(bars):
    columns = (array.array("q", bars.timestamp),
               *(array.array("d", bars.column(name)) for name in NAMES[1:]))
    return Bars.from_columns, (*columns, None)


def round_trip(obj):
    return pickle.loads(pickle.dumps(obj, 5))


def table(title, rows, rounds):
    """rows: (name, fn); the first is candlewright's, the rest references; interleaved rounds."""
    best_of = {name: float("inf") for name, _ in rows}
    for _ in range(rounds):
        for name, fn in rows:
            start = time.perf_counter()
            fn()
            best_of[name] = min(best_of[name], time.perf_counter() - start)
    ours = best_of[rows[0][0]]
    print(f"### {title}\n")
    print("| call | best ms | ours / this |")
    print("|---|---:|---:|")
    for name, _ in rows:
        print(f"| {name} | {best_of[name] * 1e3:.2f} | {ours / best_of[name]:.2f} |")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    bars = repeated(args.bars)
    result = cw.Backtest(bars, 10_000, 7, 0.0002, 100_000, 1).run(cw.SmaCross())
    arrays = {name: np.array(bars.column(name)) for name in NAMES}
    with_equity = dict(arrays, equity=np.array(result.equity))
    print(f"{len(bars)} bars, {len(result.trades)} trades, Python {sys.version.split()[0]}\n")

    table("Bars, pickled and unpickled", [
        ("Bars", lambda: round_trip(bars)),
        ("numpy arrays", lambda: round_trip(arrays)),
        ("array.array reducer", lambda: (lambda f, a: f(*round_trip(a)))(*array_reduce(bars))),
    ], args.rounds)
    table("Result, pickled and unpickled", [
        ("Result", lambda: round_trip(result)),
        ("numpy arrays", lambda: round_trip(with_equity)),
    ], args.rounds)

    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        table("Saved and loaded, .npz", [
            ("Result.save + load", lambda: cw.load(result.save(folder / "run.npz"))),
            ("numpy.savez + load", lambda: dict(np.load(_savez(folder / "ref.npz",
                                                                  with_equity)))),
        ], args.rounds)
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            print("(pyarrow missing: no Parquet rows)")
            return
        frame = pa.table(with_equity)

        def arrow_round_trip():
            pq.write_table(frame, folder / "ref.parquet", use_dictionary=False)
            return pq.read_table(folder / "ref.parquet")
        table("Saved and loaded, .parquet", [
            ("Result.save + load", lambda: cw.load(result.save(folder / "run.parquet"))),
            ("pyarrow write + read", arrow_round_trip),
        ], args.rounds)


def _savez(path, arrays):
    np.savez(path, **arrays)
    return path


if __name__ == "__main__":
    main()
