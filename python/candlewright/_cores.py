"""How many cores this process may run on: the default number of threads or workers."""
from __future__ import annotations

import os


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1
