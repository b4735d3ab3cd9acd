"""What an account operation costs per position as the number of open positions grows: closing
by ticket (whole and in part), modifying, cancelling pending orders, opening under margin, the
exit pass closing every position on one bar, and the stop-out of every position.

    python bench/account_scale.py [--sizes 1000 10000 100000] [--repeat 3]

Each operation is timed at every size in one process, best of --repeat, as microseconds per
position touched; the last column is the ratio to the size before, per 10x more positions. An
operation whose cost per position does not grow with the count shows ratios near 1; one that
walks the whole account per position shows ratios near 10.
"""
import argparse
import math
import random
import time

from candlewright import Account, Backtest, Bar

PRICE = 1.1
ACCOUNT = (1e12, 0.0, 0.0001, 100_000.0, 1.0)


def account(**rules):
    return Account(*ACCOUNT, rules="engine", **rules)


def opened(n, **rules):
    acc = account(**rules)
    return acc, [acc.buy(PRICE, 0.01, 0) for _ in range(n)]


def shuffled(items, seed=1):
    items = list(items)
    random.Random(seed).shuffle(items)
    return items


def close_ticket(n):
    acc, tickets = opened(n)
    tickets = shuffled(tickets)
    start = time.perf_counter()
    for ticket in tickets:
        acc.close_ticket(ticket, PRICE, 1)
    return time.perf_counter() - start


def close_part(n):
    acc, tickets = opened(n)
    tickets = shuffled(tickets)
    start = time.perf_counter()
    for ticket in tickets:
        acc.close_ticket(ticket, PRICE, 1, lots=0.005)
    return time.perf_counter() - start


def modify(n):
    acc, tickets = opened(n)
    tickets = shuffled(tickets)
    start = time.perf_counter()
    for ticket in tickets:
        acc.modify(ticket, stop_loss=1.0)
    return time.perf_counter() - start


def cancel(n):
    acc = account()
    tickets = shuffled(acc.buy_limit(1.0, 0.01, 0) for _ in range(n))
    start = time.perf_counter()
    for ticket in tickets:
        acc.cancel(ticket)
    return time.perf_counter() - start


def open_margin(n):
    acc = account(leverage=100.0)
    start = time.perf_counter()
    for _ in range(n):
        acc.buy(PRICE, 0.01, 0)
    return time.perf_counter() - start


class OpenThenWatch:
    """Opens `n` longs on the first bar; the time from the end of that bar's call to the start
    of the next is the run's own work on the second bar: the exit pass and the stop-out."""

    def __init__(self, n, stop_loss=None):
        self.n, self.stop_loss, self.marks = n, stop_loss, []

    def next(self, bar, account):
        self.marks.append(time.perf_counter())
        if len(self.marks) == 1:
            for _ in range(self.n):
                account.buy(bar.close, 0.01, bar.timestamp, self.stop_loss)
            self.marks[0] = time.perf_counter()


def second_bar(n, crash, cash=1e7, **rules):
    bars = [Bar(0, PRICE, PRICE, PRICE, PRICE, 0.0), Bar(60, *crash, 0.0),
            Bar(120, *crash[3:] * 4, 0.0)]
    strategy = OpenThenWatch(n, **rules.pop("strategy", {}))
    result = Backtest(bars, cash, 0.0, 0.0, 100_000.0, 1.0, rules="engine", **rules).run(strategy)
    assert result.stats.num_trades == n, result.stats.num_trades
    return strategy.marks[1] - strategy.marks[0]


def stop_out(n):
    # 0.01 lot holds 11 of margin at 1:100 and loses 300 in a fall of 0.3: with 20 of cash a
    # position, every one goes.
    return second_bar(n, (PRICE, PRICE, 0.8, 0.8), cash=20.0 * n, leverage=100.0)


def exit_pass(n):
    return second_bar(n, (PRICE, PRICE, 1.0, 1.0), strategy=dict(stop_loss=1.05))


OPERATIONS = {
    "close_ticket": close_ticket,
    "close_ticket(lots=)": close_part,
    "modify": modify,
    "cancel": cancel,
    "buy, with margin": open_margin,
    "exit pass, all hit": exit_pass,
    "stop-out of all": stop_out,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 100_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", nargs="+", choices=OPERATIONS, metavar="NAME")
    args = parser.parse_args()
    sizes = sorted(set(args.sizes))
    if len(sizes) < 2:
        parser.error("--sizes needs two sizes or more")
    header = ["operation"] + [f"n={n:,} us/pos" for n in sizes] + ["per 10x", "total at max"]
    print("| " + " | ".join(header) + " |")
    print("|---" + "|---:" * (len(header) - 1) + "|")
    for name, operation in OPERATIONS.items():
        if args.only and name not in args.only:
            continue
        per = []
        for n in sizes:
            best = min(operation(n) for _ in range(args.repeat))
            per.append((n, best))
        micro = [best / n * 1e6 for n, best in per]
        (n0, t0), (n1, t1) = per[0], per[-1]
        # The cost per position, its growth per tenfold of the count.
        growth = ((t1 / n1) / (t0 / n0)) ** (1.0 / math.log10(n1 / n0))
        cells = [name] + [f"{m:.3f}" for m in micro] + [f"{growth:.2f}x", f"{t1:.3f} s"]
        print("| " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
