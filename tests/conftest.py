import gc
import os
import sys

import pytest

import _candlewright

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
# Run under AddressSanitizer (.ci/sanitize), whose allocator aborts instead of throwing bad_alloc.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def cw():
    return _candlewright


def leak_check(action, rounds=6, repeat=200, refs=True):
    """Fails if running `action` keeps growing the interpreter's reference or block count.

    Like the interpreter's own leak hunting: warm up, then measure several rounds and call it a
    leak only if every round grew. `refs=False` counts blocks only, for actions that go through
    numpy: a numpy built for release interpreters moves a debug interpreter's reference total
    without leaking.
    """
    def run():
        for _ in range(repeat):
            action()
        gc.collect()

    run()
    run()
    # Preallocated, so that keeping the figures does not itself count as growth.
    counts, blocks = [0] * rounds, [0] * rounds
    for i in range(rounds):
        before_refs, before_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        run()
        counts[i] = sys.gettotalrefcount() - before_refs
        blocks[i] = sys.getallocatedblocks() - before_blocks
    assert not (refs and all(r > 0 for r in counts)), \
        f"reference count grew every round: {counts}"
    assert not all(b > 0 for b in blocks), f"allocated blocks grew every round: {blocks}"


class Hold:
    """Buys `lots` at the first bar and never closes."""

    def __init__(self, lots):
        self.lots = lots

    def next(self, bar, account):
        if not account.positions and not account.trades:
            account.buy(bar.close, self.lots, bar.timestamp, None, None)


requires_debug_build = pytest.mark.skipif(not DEBUG_BUILD, reason="needs a debug build of CPython")
