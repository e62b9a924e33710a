"""Layout facts that earlier reads of an array found, kept to shape later reads.

A reduced read needs, before it can ask for a chunk's prefixes, where the
chunk lies (its shard's index) and where its prefixes lie (its header and
plane index). `LayoutCache` keeps both as they were last read:

- ``("index", key)``: a shard's index, as stored (the bytes);
- ``("head", key, slot)``: an (inner) chunk's ``(offset, length, head)``:
  where its shard's index placed it and its header and plane index bytes
  (``slot`` -1 and ``length`` None for a plain chunk, a whole object).

The cache only decides what a read asks for; it is never trusted for what
is decoded. A read with a warm cache asks, in its first round, for each
shard's index again and, at once, for each chunk's range as the cached
facts place it; it then uses a range only where the index and head read in
that same round place the chunk and its prefixes where it asked
(`_chunk_reads`). Whatever a rewrite moved is fetched again the ordinary
way and the cache takes the new facts.

Bounded by bytes (each entry is charged its bytes and a fixed overhead),
least recently used out first; ``max_bytes=0`` keeps nothing. Reads from
several threads and event loops share one cache: every access holds a lock
and none awaits while holding it.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import Any, Hashable

#: The default bound: the layout of some 20,000 chunks of one plane each.
DEFAULT_CACHE_BYTES = 4 << 20
#: Bytes charged per entry beyond its own: the key, the tuple, the dict slot.
ENTRY_OVERHEAD = 120


class LayoutCache:
    """Shard indexes and chunk heads, least recently used out first, within
    `max_bytes` (0: nothing is kept)."""

    def __init__(self, max_bytes: int = DEFAULT_CACHE_BYTES):
        if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or max_bytes < 0:
            raise ValueError(f"layout_cache must be a number of bytes >= 0, not {max_bytes!r}")
        self.max_bytes = max_bytes
        self._entries: OrderedDict[Hashable, tuple[Any, int]] = OrderedDict()
        self._nbytes = 0
        self._lock = threading.Lock()

    @property
    def nbytes(self) -> int:
        """Bytes charged for what is kept."""
        return self._nbytes

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, name: Hashable) -> Any:
        """The value kept under `name`, or None."""
        if not self.max_bytes:
            return None
        with self._lock:
            found = self._entries.get(name)
            if found is None:
                return None
            self._entries.move_to_end(name)
            return found[0]

    def put(self, name: Hashable, value: Any, nbytes: int) -> None:
        """Keeps `value` (of `nbytes` bytes) under `name`, dropping the least
        recently used entries beyond the bound; one larger than the bound is
        not kept."""
        cost = nbytes + ENTRY_OVERHEAD
        if cost > self.max_bytes:
            return
        with self._lock:
            old = self._entries.pop(name, None)
            if old is not None:
                self._nbytes -= old[1]
            self._entries[name] = (value, cost)
            self._nbytes += cost
            while self._nbytes > self.max_bytes:
                _, (_, dropped) = self._entries.popitem(last=False)
                self._nbytes -= dropped

    def discard(self, name: Hashable) -> None:
        with self._lock:
            old = self._entries.pop(name, None)
            if old is not None:
                self._nbytes -= old[1]

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
            self._nbytes = 0

    def __repr__(self) -> str:
        return f"LayoutCache({len(self)} entries, {self._nbytes:,} of {self.max_bytes:,} bytes)"
