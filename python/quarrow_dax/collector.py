"""Python's cyclic garbage collector, paused while one piece of work makes
many objects.

The collector runs after every few hundred new objects and now and then
walks all of them that are still alive: over a tree of a million nodes, or
a lint run that makes a binding, a step and a finding per variable, its
passes make the work grow faster than the input (measured by
bench/bench_scaling.py). The objects such work makes are freed by
reference counting as soon as they are dropped; what it would leave in a
cycle is found by the first collection after the pause.
"""

from __future__ import annotations

import contextlib
import gc
from collections.abc import Iterator

__all__ = ["paused"]


@contextlib.contextmanager
def paused() -> Iterator[None]:
    """The collector off for the block, and left as it was found after it
    (off too, when it was off already)."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()
