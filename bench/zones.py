"""Zone tables for `tz=`: read from the zone's own transitions and rule, against sampling the
zone a day at a time (how tables were made before), side by side in one process.

    python bench/zones.py
"""
import datetime as dt
import io
import time
import zoneinfo

from candlewright import _zones
from candlewright.bars import read_csv, zone_table


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def seconds(year):
    return int(dt.datetime(year, 1, 1, tzinfo=dt.timezone.utc).timestamp())


def main():
    print(f"{'zone, span':38} {'transitions':>12} {'day steps':>10} {'table':>10} {'ratio':>7}")
    for name, first, last in (("Europe/Athens", 2015, 2025), ("America/New_York", 1970, 2038),
                              ("Australia/Sydney", 1900, 2100), ("Europe/Athens", 1, 9999)):
        zone = zoneinfo.ZoneInfo(name)
        lo, hi = seconds(first), seconds(last)
        stepped = best(lambda: _zones._stepped(zone, lo, hi), 1 if last - first > 500 else 3)
        table = best(lambda: zone_table(zone, lo, hi))
        print(f"{name + f', {first}-{last}':38} {len(zone_table(zone, lo, hi)[0]):>12} "
              f"{stepped * 1e3:>8.1f}ms {table * 1e3:>8.2f}ms {stepped / table:>6.0f}x")
    text = "time,open,high,low,close\n0001-01-03 00:00:00,1,2,0.5,1.5\n" \
           "9999-12-28 00:00:00,1,2,0.5,1.5\n"
    load = best(lambda: read_csv(io.StringIO(text), tz="Europe/Athens"))
    print(f"a 2-row file dated years 1 and 9999, tz='Europe/Athens': read_csv {load * 1e3:.1f}ms")


if __name__ == "__main__":
    main()
