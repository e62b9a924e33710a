"""Many small calls that release the interpreter lock, run in a few threads.

`in_shares(fn, items)` calls ``fn(item)`` for every item, split among up to
`THREADS` threads that each take every n-th item, and returns the results in
the order of `items`. A thread hop per call would cost about as much as
decoding a small chunk; one hop per share does not. Where the caller knows
the calls are few and small (`inline`), they run on its thread instead.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Callable, Sequence
from typing import Any

__all__ = ["THREADS", "in_shares"]

#: Threads a batch of calls is split among.
THREADS = max(1, min(8, os.cpu_count() or 1))


async def in_shares(fn: Callable[[Any], Any], items: Sequence[Any], *, inline: bool = False) -> list:
    """``[fn(item) for item in items]``, computed in up to `THREADS` threads
    (on this thread with `inline`). A call that raises ends its share, and
    the exception is raised here at once; the other shares run to their end
    in their threads, their results unused."""
    if inline or not items:
        return [fn(item) for item in items]
    out: list = [None] * len(items)
    shares = min(len(items), THREADS)

    def run(share: int) -> None:
        for i in range(share, len(items), shares):
            out[i] = fn(items[i])

    await asyncio.gather(*[asyncio.to_thread(run, s) for s in range(shares)])
    return out
