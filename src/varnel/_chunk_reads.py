"""Reduced reads of many htj2k chunks of a stored array, in at most three rounds.

`compact_chunks(layout, fetcher, wanted, reduce)` returns, for each wanted
(inner) chunk, a compacted htj2k container holding the chunk's header, index
and the prefix of each wanted plane for `reduce` (`_container`), or None for
a chunk that was never written. It fetches, each round for all chunks at
once:

1. for a sharded array, the index of every shard involved (one request
   per shard, a suffix request when the index is at the end);
2. from every chunk's start, one range: its header and plane index (their
   size follows from the array's metadata) and an estimate of its first
   plane's prefix (`first_ask`: from the chunk's size in the shard index, or
   for a plain chunk from its raw size), which lie back to back;
3. only where round 2 fell short: the rest of a prefix longer than its
   estimate, and the prefixes of the other planes of a chunk of many.

A plain array takes rounds 2 and 3 only; where every estimate holds, a
sharded read takes two rounds and a plain one a single round. With
`whole=True` (reduce 0, all planes) a chunk is fetched whole instead, in
round 2: the stored bytes as they are.

Whatever the store hands back is checked before it is used: a shard index
entry, plane index or prefix that points past its object, or a header that
disagrees with the array's metadata, is a `ValueError` naming the store key,
the inner chunk and the reason.
"""

from __future__ import annotations

import asyncio
import math
from typing import Sequence

from varnel import _container
from varnel._fetch import Fetcher, Want
from varnel._stored_layout import ABSENT, StoredLayout


class _Where:
    """A chunk's name for messages, formatted only when one is raised."""

    __slots__ = ("layout", "key", "coords")

    def __init__(self, layout: StoredLayout, key: str, coords: tuple[int, ...]):
        self.layout, self.key, self.coords = layout, key, coords

    def __format__(self, format_spec: str) -> str:
        return _where(self.layout, self.key, self.coords)


def _where(layout: StoredLayout, key: str, coords: tuple[int, ...]) -> str:
    if layout.sharding is None:
        return f"varnel.htj2k chunk {key!r} (chunk {tuple(coords)} of {layout.name})"
    return f"varnel.htj2k chunk {key!r}, inner chunk {tuple(coords)} (of {layout.name})"


async def compact_chunks(layout: StoredLayout, fetcher: Fetcher,
                         wanted: Sequence[tuple[tuple[int, ...], Sequence[int] | None]],
                         reduce: int, whole: bool = False,
                         shard_indexes: dict | None = None) -> list[bytes | None]:
    """Per (chunk coordinates, plane numbers or None for all planes): the
    compacted chunk, or the stored chunk with `whole`; None when absent.
    `shard_indexes` (shard key -> parsed index, or None for no shard), when
    given, holds shard indexes already fetched in this read and takes those
    this call fetches."""
    n = len(wanted)
    located = [layout.locate(tuple(c)) for c, _ in wanted]
    # Where each chunk lies in its object: (key, offset, length or None).
    spans: list[tuple[str, int, int | None] | None] = [None] * n
    if layout.sharding is None:
        spans = [(key, 0, None) for key, _ in located]
    else:
        sh = layout.sharding
        indexes = await _shard_indexes(layout, fetcher, list(dict.fromkeys(k for k, _ in located)),
                                       {} if shard_indexes is None else shard_indexes)
        for i, (key, slot) in enumerate(located):
            entries = indexes[key]
            if entries is None or entries[slot][0] == ABSENT:
                continue
            offset, length = entries[slot]
            where = _Where(layout, key, wanted[i][0])
            if not sh.at_end and offset < sh.index_size:
                raise ValueError(f"{where}: its shard index entry points into the index")
            if not whole and length < layout.head_size:
                raise ValueError(f"{where}: its shard index gives it {length} bytes, fewer than "
                                 f"its header and plane index ({layout.head_size})")
            spans[i] = (key, offset, length)

    # Round 2: from each chunk's start, its header and index and, when its
    # first plane is wanted, an estimate of that plane's prefix: one range.
    present = [i for i in range(n) if spans[i] is not None]
    asks = []
    for i in present:
        key, offset, length = spans[i]
        if whole:
            asks.append(Want(key, 0, None) if length is None else Want(key, offset, offset + length))
        else:
            planes = wanted[i][1]
            first = planes is None or 0 in planes
            asks.append(Want(key, offset, offset + first_ask(layout, length, reduce, first,
                                                             fetcher.max_gap)))
    heads = await fetcher.round(asks)
    out: list[bytes | None] = [None] * n
    if whole:
        for i, blob in zip(present, heads):
            key, _, length = spans[i]
            if blob is not None and length is not None and len(blob) != length:
                raise ValueError(f"{_where(layout, key, wanted[i][0])}: its shard index entry "
                                 f"points past the end of the shard")
            out[i] = blob
            if blob is not None:
                fetcher.stats.chunks += 1
                fetcher.stats.bytes_full += len(blob)
        return out

    # Check every header; round 3: what of the wanted prefixes round 2 did
    # not bring (a prefix longer than its estimate, the other planes).
    plans = []
    firsts, asks = asks, []
    for i, head, ask in zip(present, heads, firsts):
        key, offset, length = spans[i]
        coords, planes = wanted[i]
        where = _Where(layout, key, coords)
        if head is None:
            if length is None:  # a plain chunk that was never written
                continue
            head = b""
        asked = ask.end - ask.start
        if len(head) < layout.head_size or (length is not None and len(head) != asked):
            raise ValueError(f"{where}: {len(head)} bytes where header and plane index need "
                             f"{layout.head_size}" + ("" if length is None else
                                                     ": its shard index entry points past the end "
                                                     "of the shard"))
        try:
            found = _container.htj2k_chunk_ranges(head, reduce)
            parsed = _container.parse_head(head)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from e
        if found.shape != layout.chunk_shape or found.xy_levels != layout.levels:
            raise ValueError(f"{where}: its header (shape {list(found.shape)}, xy_levels "
                             f"{found.xy_levels}) disagrees with the array's chunk shape "
                             f"{list(layout.chunk_shape)} and xy_levels {layout.levels}")
        if length is not None:
            size = length
        elif len(head) < asked:  # the whole object came: its size is known
            size = len(head)
        else:
            size = _container.stored_size(memoryview(head), parsed)
        picked = list(range(parsed.planes)) if planes is None else list(planes)
        ranges = [found.ranges[k] for k in picked]
        for o, m in ranges:
            if o < found.index_end or o + m > size:
                raise ValueError(f"{where}: its plane index points past the chunk's "
                                 f"{size} bytes" if o >= found.index_end else
                                 f"{where}: its plane index points into the index")
        fetcher.stats.chunks += 1
        fetcher.stats.bytes_full += size
        # Per plane: the bytes round 2 brought, and the rest to fetch.
        have = len(head)
        parts, rest = [], []
        for o, m in ranges:
            parts.append(memoryview(head)[o:min(o + m, have)] if o < have else b"")
            if o + m > have:
                rest.append((len(asks), len(parts) - 1))
                asks.append(Want(key, offset + max(o, have), offset + o + m))
        plans.append((i, head, planes, parts, rest))
    tails = await fetcher.round(asks)
    for i, head, planes, parts, rest in plans:
        key = spans[i][0]
        where = _Where(layout, key, wanted[i][0])
        for a, p in rest:
            body, w = tails[a], asks[a]
            if body is None or len(body) != w.end - w.start:
                raise ValueError(f"{where}: its plane index points past the end of the object "
                                 f"(a prefix to byte {w.end}, the object ends at byte "
                                 f"{w.start + (0 if body is None else len(body))})")
            parts[p] = body if not len(parts[p]) else bytes(parts[p]) + body
        try:
            out[i] = _container.htj2k_compact_chunk(head, parts, reduce, planes)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from e
    return out


def first_ask(layout: StoredLayout, length: int | None, reduce: int, first: bool,
              max_gap: int = 0) -> int:
    """Bytes to fetch from a chunk's start in its first request: header and
    index and, with `first`, an estimate of its first plane's prefix at
    `reduce` (at most `length`, the chunk's size where a shard index gives
    it; the whole chunk when the rest is at most `max_gap` bytes). An
    estimate that falls short costs a request in the next round; one that
    overshoots costs the bytes it overshoots by."""
    head = layout.head_size
    if not first:
        return head if length is None else min(head, length)
    planes = math.prod(layout.chunk_shape[:-2])
    if length is not None:
        body = (length - head) / planes
    else:  # a plain chunk's size is unknown before its index: guess a lean 30 % of its raw size
        body = math.prod(layout.chunk_shape[-2:]) * layout.dtype.itemsize * 0.3
    ask = head + _container.prefix_estimate(body, reduce, layout.levels)
    if length is not None and length - ask <= max_gap:  # the rest costs no more than a request
        return length
    return ask


async def _shard_indexes(layout: StoredLayout, fetcher: Fetcher, keys: list[str],
                         known: dict) -> dict:
    """The parsed index of each shard in `keys` (None for a shard never
    written). `known` holds indexes fetched earlier in this read, or the
    future of one being fetched by a concurrent batch; this call's fetches
    (one round, for the shards nobody has asked for) go into it."""
    sh = layout.sharding
    loop = asyncio.get_running_loop()

    def pending(value) -> bool:
        return isinstance(value, asyncio.Future) and value.get_loop() is loop

    mine = [k for k in keys if k not in known or (isinstance(known[k], asyncio.Future)
                                                  and not pending(known[k]))]
    futures = {k: loop.create_future() for k in mine}
    known.update(futures)
    error: BaseException | None = None
    try:
        blobs = await fetcher.round([Want(k, -sh.index_size, None) if sh.at_end
                                     else Want(k, 0, sh.index_size) for k in mine])
    except BaseException as exc:
        blobs, error = [], exc
    for k in mine:
        fut = futures[k]
        try:
            if error is not None:
                raise error
            blob = blobs[mine.index(k)]
            fut.set_result(None if blob is None else layout.parse_shard_index(k, blob))
            known[k] = fut.result()
        except BaseException as exc:
            fut.set_exception(exc)
            fut.exception()  # retrieved: a concurrent batch may not be waiting for it
            known.pop(k, None)
            error = error or exc
    if error is not None:
        raise error
    out = {}
    for k in keys:
        value = known.get(k) if k not in futures else futures[k]
        out[k] = await value if isinstance(value, asyncio.Future) else value
    return out


def where(layout: StoredLayout, coords: tuple[int, ...]) -> str:
    """How messages name a chunk: its store key (and inner chunk)."""
    return _where(layout, layout.locate(tuple(coords))[0], coords)
