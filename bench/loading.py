"""Reading CSV files of bars: read_csv beside pyarrow's and polars' CSV readers on the same file,
and the memory a compressed file costs.

    python bench/loading.py [--bars N | --large] [--rounds R] [--memory]

10^6 minute bars by default (--large: 10^7, about 0.5 GB of text), written once (cached in the
temporary folder) as `time,open,high,low,close,volume` with times like 2020-09-13 12:26:40 and
five-decimal prices, and gzipped. Then, in the same rounds, side by side:

- read_csv on one core and on all (it cuts a large file into pieces for threads) against
  pyarrow.csv.read_csv on one thread and on all, and polars.read_csv (its own thread pool);
- the gzipped file: read_csv (decompressing as it reads) against pyarrow on the same file.

The others parse the time column into timestamps too; read_csv also checks every bar (times
increasing, low <= open, close <= high), as a user's call does. MB/s is of the uncompressed
text; times are the best of the rounds (other work on the machine only ever adds time); a ratio
is read_csv's best speed over the other's. CPU time (of all the process's threads) is printed
beside wall time: on a machine shared with other work, the one-thread rows' CPU ratio is the
fair one (read_csv on 1 core against pyarrow on 1 thread).

--memory reads, in a fresh process each, decompression bombs (~256 MiB of text in a small
gzip: blank lines, or rows of bars) and prints the peak memory (VmHWM) beside the size of the
bars produced, and that of the interpreter with the package imported.
"""
import argparse
import gzip
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np


def synthetic(n, seed=7):
    rng = np.random.default_rng(seed)
    close = 1.1 + np.cumsum(rng.normal(0.0, 1e-4, n))
    open_ = np.concatenate(([close[0]], close[:-1]))
    spread = np.abs(rng.normal(0.0, 5e-5, n))
    return {"time": (1_600_000_000 + 60 * np.arange(n, dtype=np.int64)).astype("datetime64[s]").astype("datetime64[ms]"),
            "open": open_, "high": np.maximum(open_, close) + spread,
            "low": np.minimum(open_, close) - spread, "close": close,
            "volume": rng.integers(1, 500, n)}


def files(n):
    import polars as pl
    folder = pathlib.Path(tempfile.gettempdir())
    plain = folder / f"candlewright-bench-{n}.csv"
    packed = folder / f"candlewright-bench-{n}.csv.gz"
    if not plain.exists():
        part = plain.with_suffix(".part")
        pl.DataFrame(synthetic(n)).write_csv(part, float_precision=5,
                                             datetime_format="%Y-%m-%d %H:%M:%S")
        part.rename(plain)
    if not packed.exists():
        part = packed.with_suffix(".part")
        with open(plain, "rb") as source, gzip.open(part, "wb", compresslevel=1) as out:
            while chunk := source.read(1 << 24):
                out.write(chunk)
        part.rename(packed)
    return plain, packed


def cpu_seconds():
    """This process's CPU time, all its threads, user and system (page faults are system)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def table(title, size, rows, rounds):
    """rows: (name, fn); the first is read_csv's, compared with each; interleaved rounds. Wall
    time and CPU time are both the best of the rounds; on a machine busy with other work only
    the CPU time of one-thread readers is a fair comparison."""
    best = {name: float("inf") for name, _ in rows}
    best_cpu = {name: float("inf") for name, _ in rows}
    for _ in range(rounds):
        for name, fn in rows:
            start, start_cpu = time.perf_counter(), cpu_seconds()
            fn()
            best_cpu[name] = min(best_cpu[name], cpu_seconds() - start_cpu)
            best[name] = min(best[name], time.perf_counter() - start)
    print(f"### {title}\n")
    print("| reader | best s | MB/s | read_csv / this | best CPU s | CPU: read_csv / this |")
    print("|---|---:|---:|---:|---:|---:|")
    ours = [name for name in best if name.startswith("read_csv")]
    for name, _ in rows:
        speed = size / best[name] / 1e6
        ratio = "" if name in ours else " / ".join(f"{best[name] / best[o]:.2f}" for o in ours)
        cpu_ratio = "" if name in ours else " / ".join(
            f"{best_cpu[name] / best_cpu[o]:.2f}" for o in ours)
        print(f"| {name} | {best[name]:.3f} | {speed:.0f} | {ratio} | {best_cpu[name]:.3f} "
              f"| {cpu_ratio} |")
    if len(ours) > 1:
        print(f"\n(ratios: {', '.join(ours)}, in that order; above 1, read_csv is faster)")
    print()


def speed(args):
    import polars as pl
    import pyarrow as pa
    import pyarrow.csv as pacsv

    import candlewright
    from candlewright import bars as loading

    plain, packed = files(args.bars)
    size = plain.stat().st_size
    cores = loading.cores()
    print(f"{args.bars} bars, {size / 1e6:.0f} MB of CSV ({packed.stat().st_size / 1e6:.0f} MB "
          f"gzipped), {cores} cores, best of {args.rounds}\n")

    def ours(path, threads):
        def call():
            saved = loading.cores
            loading.cores = lambda: threads
            try:
                return candlewright.read_csv(path)
            finally:
                loading.cores = saved
        return call

    def arrow(path, threads):
        return lambda: pacsv.read_csv(path, read_options=pacsv.ReadOptions(use_threads=threads))

    bars = ours(plain, cores)()
    table_ = arrow(plain, True)()
    assert len(bars) == table_.num_rows == args.bars
    assert np.array_equal(np.asarray(bars.column("close")), table_.column("close").to_numpy())
    assert table_.schema.field("time").type == pa.timestamp("s")
    del bars, table_

    table("plain text", size, [
        ("read_csv, 1 core", ours(plain, 1)),
        (f"read_csv, {cores} cores", ours(plain, cores)),
        ("pyarrow.csv, 1 thread", arrow(plain, False)),
        (f"pyarrow.csv, {cores} threads", arrow(plain, True)),
        ("polars.read_csv", lambda: pl.read_csv(plain, try_parse_dates=True)),
    ], args.rounds)
    table("gzipped (MB/s of the text inside)", size, [
        ("read_csv", ours(packed, cores)),
        ("pyarrow.csv, 1 thread", arrow(packed, False)),
        (f"pyarrow.csv, {cores} threads", arrow(packed, True)),
    ], args.rounds)


BOMB = textwrap.dedent("""
    import gzip, resource, sys
    import candlewright
    kind, path = sys.argv[1], sys.argv[2]
    def peak():
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) for l in status if l.startswith("VmHWM")) * 1024
    base = peak()
    try:
        bars = candlewright.read_csv(path, validate="off")
        made = len(bars) * (6 * 8 + 8)  # the bars and their line numbers
        outcome = f"{len(bars)} bars"
    except ValueError as exc:
        made, outcome = 0, "ValueError: " + str(exc)[:70]
    print(base, peak(), made, outcome)
""")


def bomb(path, kind):
    text = 256 << 20
    if path.exists():
        return
    with gzip.open(path, "wb", compresslevel=9) as out:
        if kind == "blank lines":
            out.write(b"time,open,high,low,close\n2020-01-01 00:00:00,1,1,1,1\n")
            block = b"\n" * (1 << 20)
        else:
            out.write(b"time,open,high,low,close\n")
            row = b"2020-01-01 00:00:00,1.1,1.1,1.1,1.1\n"
            block = row * ((1 << 20) // len(row))
        for _ in range(text // len(block)):
            out.write(block)


def memory(_args):
    folder = pathlib.Path(tempfile.gettempdir())
    print("### memory of a compressed file\n")
    print("| file | gzip MB | baseline MB | peak MB | bars MB | (peak - baseline) / bars |")
    print("|---|---:|---:|---:|---:|---:|")
    for kind in ("blank lines", "rows of bars"):
        path = folder / f"candlewright-bomb-{kind.replace(' ', '-')}.csv.gz"
        bomb(path, kind)
        out = subprocess.run([sys.executable, "-c", BOMB, kind, str(path)], check=True,
                             capture_output=True, text=True).stdout.split(maxsplit=3)
        base, peak, made = (int(v) for v in out[:3])
        ratio = f"{(peak - base) / made:.2f}" if made > 1 << 20 else "-"
        print(f"| 256 MiB of {kind} ({out[3].strip()}) | {path.stat().st_size / 1e6:.1f} | "
              f"{base / 1e6:.0f} | {peak / 1e6:.0f} | {made / 1e6:.0f} | {ratio} |")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bars", type=int, default=10**6)
    parser.add_argument("--large", action="store_true", help="10^7 bars")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--memory", action="store_true", help="only the memory of bombs")
    args = parser.parse_args()
    if args.large:
        args.bars = 10**7
    if args.memory:
        memory(args)
    else:
        speed(args)


if __name__ == "__main__":
    os.environ.setdefault("POLARS_MAX_THREADS", str(len(os.sched_getaffinity(0))))
    main()
