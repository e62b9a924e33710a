"""Byte ranges fetched from a zarr v3 store in rounds, and what they cost.

A reduced read asks for many small byte ranges at a time: the shard indexes,
then from every chunk's start its header, index and estimated prefix, then
what the estimates missed. `Fetcher`
takes one such set of wants as one *round*: it merges the ranges of one
object that touch or lie within `max_gap` bytes of each other into one
request, issues every request of the round concurrently, and hands each want
its bytes. `FetchStats` counts rounds, requests and bytes.

The requests go through the store's own interface: `Store.get_ranges` where
the store brings its own (a backend that reads many ranges of one object at
once), else one `Store.get` per merged range, all at once. (zarr's default
`get_ranges`, from 3.4 on, coalesces over ``get``; the ranges here are merged
already, and its task per range cost a fifth of the client's CPU per request
on obstore.) No size or HEAD request is made: a shard index at the end of a
shard is a suffix request. A store that cannot serve byte ranges (whose
``get`` refuses a byte range, or returns the whole object for one) still
works: each object is then fetched whole, once per read, and sliced here.
"""

from __future__ import annotations

import asyncio
from collections import defaultdict
from dataclasses import dataclass
from typing import Any, NamedTuple, Sequence

from zarr.abc.store import RangeByteRequest, SuffixByteRequest
from zarr.core.buffer import default_buffer_prototype

#: Ranges of one object at most this many bytes apart are fetched as one.
DEFAULT_MAX_GAP = 1024


@dataclass
class FetchStats:
    """What reads fetched: bytes, requests and sequential rounds of requests,
    and the stored size of the chunks they read (`bytes_full`)."""

    bytes_fetched: int = 0
    bytes_full: int = 0
    requests: int = 0
    chunks: int = 0
    rounds: int = 0

    @property
    def fraction(self) -> float:
        return self.bytes_fetched / self.bytes_full if self.bytes_full else 0.0


class Want(NamedTuple):
    """Bytes of object `key`: ``[start, end)``; ``end=None`` with ``start=0``
    the whole object, with ``start=-n`` its last n bytes."""

    key: str
    start: int
    end: int | None


class Fetcher:
    """Fetches rounds of wants from `store`; one fetcher serves one read."""

    def __init__(self, store: Any, stats: FetchStats | None = None, max_gap: int = DEFAULT_MAX_GAP):
        self.store = store
        self.stats = stats if stats is not None else FetchStats()
        self.max_gap = max_gap
        self._whole: dict[str, bytes | None] = {}  # objects fetched whole in this read
        self._ranges = True  # False once the store showed it cannot serve byte ranges
        self._get_ranges = _own_get_ranges(store)
        self._proto = default_buffer_prototype()

    async def round(self, wants: Sequence[Want]) -> list[bytes | None]:
        """The bytes of each want (None where its object does not exist; fewer
        bytes than asked where the object ends first), fetched as one round."""
        if not wants:
            return []
        self.stats.rounds += 1
        by_key: dict[str, list[int]] = defaultdict(list)
        for i, w in enumerate(wants):
            by_key[w.key].append(i)
        out: list[bytes | None] = [None] * len(wants)
        await asyncio.gather(*[self._key(key, [wants[i] for i in idx], idx, out)
                               for key, idx in by_key.items()])
        return out

    # --- one object ------------------------------------------------------------

    async def _key(self, key: str, wants: list[Want], idx: list[int], out: list) -> None:
        whole_wanted = any(w.start == 0 and w.end is None for w in wants)
        if key not in self._whole and (whole_wanted or not self._ranges):
            self._whole[key] = await self._get_whole(key)
        if key in self._whole:
            blob = self._whole[key]
            for i, w in zip(idx, wants):
                out[i] = None if blob is None else _slice(blob, w)
            return
        bounded = sorted((w.start, w.end, i) for w, i in zip(wants, idx) if w.end is not None)
        suffixes = [(w.start, i) for w, i in zip(wants, idx) if w.end is None]
        groups: list[list[tuple[int, int, int]]] = []
        spans: list[tuple[int, int]] = []  # (start, end) of each group
        for item in bounded:
            if spans and item[0] - spans[-1][1] <= self.max_gap:
                groups[-1].append(item)
                spans[-1] = (spans[-1][0], max(spans[-1][1], item[1]))
            else:
                groups.append([item])
                spans.append((item[0], item[1]))
        try:
            blobs, tails = await asyncio.gather(
                self._get_spans(key, spans),
                asyncio.gather(*[self._get(key, SuffixByteRequest(-s)) for s, _ in suffixes]))
        except (NotImplementedError, TypeError):
            # The store has no byte ranges: the whole object, once per read.
            self._ranges = False
            return await self._key(key, wants, idx, out)
        for (start, end), group, blob in zip(spans, groups, blobs):
            if blob is not None and len(blob) > end - start:  # the whole object came back
                self._ranges = False
                self._whole[key] = blob
                blob = blob[start:end]
            for s, e, i in group:
                out[i] = None if blob is None else blob[s - start:e - start]
        for (s, i), blob in zip(suffixes, tails):
            if blob is not None and len(blob) > -s:  # the whole object came back
                self._ranges = False
                self._whole[key] = blob
                blob = blob[s:]
            out[i] = blob

    async def _get_spans(self, key: str, spans: list[tuple[int, int]]) -> list[bytes | None]:
        if not spans:
            return []
        if not self._get_ranges:
            return list(await asyncio.gather(*[self._get(key, RangeByteRequest(s, e))
                                               for s, e in spans]))
        got: list[bytes | None] = [None] * len(spans)
        try:
            async for group in self.store.get_ranges(
                    key, [RangeByteRequest(s, e) for s, e in spans], prototype=self._proto,
                    max_concurrency=len(spans), max_gap_bytes=0,
                    max_coalesced_bytes=max(e - s for s, e in spans)):
                for i, buf in group:
                    got[i] = None if buf is None else buf.to_bytes()
        except BaseExceptionGroup as group:
            missing, rest = group.split(FileNotFoundError)
            if rest is not None:
                raise rest.exceptions[0] if len(rest.exceptions) == 1 else rest from None
            return [None] * len(spans)
        self.stats.requests += len(spans)
        self.stats.bytes_fetched += sum(len(b) for b in got if b is not None)
        return got

    async def _get(self, key: str, byte_range: Any) -> bytes | None:
        buf = await self.store.get(key, self._proto, byte_range=byte_range)
        self.stats.requests += 1
        if buf is None:
            return None
        data = buf.to_bytes()
        self.stats.bytes_fetched += len(data)
        return data

    async def _get_whole(self, key: str) -> bytes | None:
        return await self._get(key, None)


def _own_get_ranges(store: Any) -> bool:
    """Whether `store` reads ranges its own way, not by zarr's coalescer over
    ``get``."""
    from zarr.abc.store import Store

    mine = getattr(type(store), "get_ranges", None)
    return callable(mine) and mine is not getattr(Store, "get_ranges", None)


def _slice(blob: bytes, w: Want) -> bytes:
    if w.end is None:
        return blob if w.start == 0 else blob[w.start:]
    return blob[w.start:w.end]
