"""Reduced reads of many htj2k chunks of a stored array, in at most three rounds.

`compact_chunks(layout, fetcher, wanted, reduce)` returns, for each wanted
(inner) chunk, a compacted htj2k container holding the chunk's header, index
and the prefix of each wanted plane for `reduce` (`_container`), or None for
a chunk that was never written. Each chunk is read from its *start ask*: one
range from the chunk's start holding its header and plane index (their size
follows from the array's metadata) and its first plane's prefix, which lie
back to back. Where the layout cache (`_layout_cache`) holds the chunk's
head as its shard index places it, the start ask ends exactly where that
prefix ends, and the other wanted planes' prefixes are asked for beside it;
elsewhere it ends at an estimate (`first_ask`: from the chunk's size in the
shard index, or for a plain chunk from its raw size). It fetches, each round
for all chunks at once:

1. for a sharded array, the index of every shard involved (one request per
   shard, a suffix request when the index is at the end) and, beside them,
   the start ask of each chunk whose place is known: a plain chunk starts
   its object; an inner chunk's place comes from its shard's index read
   earlier in this read or, speculatively, from the index the cache holds;
2. the start asks that round 1 could not place, or placed where the fresh
   shard index says the chunk no longer starts;
3. only what is still missing: the rest of a prefix longer than its
   estimate, the prefixes of the other planes of a chunk of many.

Bytes are used only where the layout read in this same read places them: a
speculative start ask counts when the fresh shard index puts the chunk at
the offset it was asked from (its bytes then are the chunk's start, header
and plane index included), and a fetched prefix range when the chunk's fresh
plane index names those very bytes. So the cache shapes the requests, never
what is decoded. A cold sharded read takes two rounds and a plain one a
single round where the estimates hold; a warm read of an unchanged array
takes one round; a stale cache costs at most the same three rounds (two for
a plain array), whatever the number of chunks. With `whole=True` (reduce 0,
all planes) a chunk is fetched whole instead: the stored bytes as they are.

Whatever the store hands back is checked before it is used: a shard index
entry, plane index or prefix that points past its object, or a header that
disagrees with the array's metadata, is a `ValueError` naming the store key,
the inner chunk and the reason.
"""

from __future__ import annotations

import asyncio
import math
from typing import Any, NamedTuple, Sequence

from varnel import _container
from varnel._fetch import Fetcher, Want
from varnel._layout_cache import LayoutCache
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


class _Plan(NamedTuple):
    """What a chunk's reading asks for first: `start`, from the chunk's start;
    `extras`, further prefix ranges (where its head is known); both as
    placed by `basis`, the (offset, length) the asks assume."""

    start: Want
    extras: list[Want]
    basis: tuple[int, int | None]
    kept: tuple[bytes, Any, list] | None = None  # the kept head, parsed, its plane entries


_NO_CACHE = LayoutCache(0)


async def compact_chunks(layout: StoredLayout, fetcher: Fetcher,
                         wanted: Sequence[tuple[tuple[int, ...], Sequence[int] | None]],
                         reduce: int, whole: bool = False, shard_indexes: dict | None = None,
                         cache: LayoutCache | None = None) -> list[bytes | None]:
    """Per (chunk coordinates, plane numbers or None for all planes): the
    compacted chunk, or the stored chunk with `whole`; None when absent.
    `shard_indexes` (shard key -> parsed index, or None for no shard), when
    given, holds shard indexes already fetched in this read and takes those
    this call fetches. `cache` holds the layout earlier reads found and
    takes what this one finds."""
    n = len(wanted)
    cache = _NO_CACHE if cache is None else cache
    located = [layout.locate(tuple(c)) for c, _ in wanted]
    sharded = layout.sharding is not None

    def plan(i: int, offset: int, length: int | None) -> _Plan:
        key, slot = located[i]
        return _plan(layout, cache, key, slot, offset, length, wanted[i][1], reduce, whole,
                     fetcher.max_gap)

    # Where each chunk lies in its object, as this read found it: (key,
    # offset, length or None); None for an absent chunk.
    spans: list[tuple[str, int, int | None] | None] = [None] * n
    plans: list[_Plan | None] = [None] * n
    placed = [False] * n  # plans[i] rests on spans[i], not on the cache
    known = {} if shard_indexes is None else shard_indexes
    mine: list[str] = []
    futures: dict[str, asyncio.Future] = {}
    waits: dict[str, asyncio.Future] = {}
    resolved: dict[str, Any] = {}
    if sharded:
        mine, futures, waits = _claim(known, list(dict.fromkeys(k for k, _ in located)))
        resolved = {k: known[k] for k, _ in located if k not in futures and k not in waits}
    for i, (key, slot) in enumerate(located):
        if not sharded:
            spans[i], placed[i] = (key, 0, None), True
        elif key in resolved:
            spans[i], placed[i] = _span(layout, key, wanted[i][0], resolved[key], slot, whole), True
        else:
            blob = cache.get(("index", key))
            if blob is not None:
                offset, length = layout.index_entry(blob, slot)
                if offset != ABSENT:
                    plans[i] = plan(i, offset, length)
            continue
        if spans[i] is not None:
            plans[i] = plan(i, *spans[i][1:])

    # Round 1: the shard indexes nobody has asked for in this read, and every
    # start ask placed so far.
    sh = layout.sharding
    index_wants = [Want(k, -sh.index_size, None) if sh.at_end else Want(k, 0, sh.index_size)
                   for k in mine] if sharded else []
    first = [i for i in range(n) if plans[i] is not None]
    try:
        got = await fetcher.round(index_wants + _asks(plans, first))
    except BaseException as exc:
        _settle(layout, cache, known, futures, mine, [], exc)
        raise
    _settle(layout, cache, known, futures, mine, got[:len(mine)], None)
    for k in mine:
        resolved[k] = known[k]
    for k, fut in waits.items():
        resolved[k] = await fut
    fetched: dict[Want, bytes | None] = {}
    starts: list[tuple[bytes | None, int] | None] = [None] * n
    _take(plans, first, got[len(mine):], starts, fetched)

    # Round 2: the start asks the cache did not place where the fresh shard
    # index does.
    second = []
    for i, (key, slot) in enumerate(located):
        if placed[i]:
            continue
        spans[i] = span = _span(layout, key, wanted[i][0], resolved[key], slot, whole)
        p = plans[i]
        if span is None:
            starts[i] = None
        elif p is not None and p.basis[0] == span[1] and (
                p.basis[1] == span[2] if whole else p.start.end - p.start.start >= layout.head_size):
            blob, asked = starts[i]
            starts[i] = (None if blob is None else blob[:span[2]], min(asked, span[2]))
        else:
            plans[i] = plan(i, *span[1:])
            second.append(i)
    _take(plans, second, await fetcher.round(_asks(plans, second)), starts, fetched)

    present = [i for i in range(n) if spans[i] is not None]
    out: list[bytes | None] = [None] * n
    if whole:
        for i in present:
            key, _, length = spans[i]
            blob = starts[i][0]
            if blob is not None and length is not None and len(blob) != length:
                raise ValueError(f"{_where(layout, key, wanted[i][0])}: its shard index entry "
                                 f"points past the end of the shard")
            out[i] = blob
            if blob is not None:
                fetcher.stats.chunks += 1
                fetcher.stats.bytes_full += len(blob)
        return out

    # Check every header; round 3: what of the wanted prefixes the first
    # rounds did not bring (a prefix longer than its estimate, the other
    # planes, where the cache did not know the head).
    reads = []
    asks: list[Want] = []
    for i in present:
        key, offset, length = spans[i]
        coords, planes = wanted[i]
        where = _Where(layout, key, coords)
        head, asked = starts[i]
        if head is None:
            if length is None:  # a plain chunk that was never written
                continue
            head = b""
        if len(head) < layout.head_size or (length is not None and len(head) != asked):
            raise ValueError(f"{where}: {len(head)} bytes where header and plane index need "
                             f"{layout.head_size}" + ("" if length is None else
                                                     ": its shard index entry points past the end "
                                                     "of the shard"))
        kept = plans[i].kept
        if (kept is not None and plans[i].basis == (offset, length)
                and head[:layout.head_size] == kept[0]):
            # The head this read fetched is the one kept: it was read and checked before.
            _, parsed, found = kept
        else:
            try:
                parsed, found = _container.read_index(head, reduce)
            except ValueError as e:
                raise ValueError(f"{where}: {e}") from e
            if parsed.shape != layout.chunk_shape or parsed.xy_levels != layout.levels:
                raise ValueError(f"{where}: its header (shape {list(parsed.shape)}, xy_levels "
                                 f"{parsed.xy_levels}) disagrees with the array's chunk shape "
                                 f"{list(layout.chunk_shape)} and xy_levels {layout.levels}")
            _remember_head(cache, key, located[i][1], offset, length, head[:parsed.index_end])
        if length is not None:
            size = length
        elif len(head) < asked:  # the whole object came: its size is known
            size = len(head)
        else:
            size = _container.stored_size(memoryview(head), parsed)
        picked = list(range(parsed.planes)) if planes is None else list(planes)
        top = parsed.xy_levels - reduce
        ranges = [(found[k][0], found[k][2][top]) for k in picked]
        for o, m in ranges:
            if o < parsed.index_end or o + m > size:
                raise ValueError(f"{where}: its plane index points past the chunk's "
                                 f"{size} bytes" if o >= parsed.index_end else
                                 f"{where}: its plane index points into the index")
        fetcher.stats.chunks += 1
        fetcher.stats.bytes_full += size
        # Per plane: the bytes fetched so far, and the rest to fetch.
        have = len(head)
        parts, rest = [], []
        for o, m in ranges:
            parts.append(memoryview(head)[o:min(o + m, have)] if o < have else b"")
            if o + m > have:
                w = Want(key, offset + max(o, have), offset + o + m)
                body = fetched.get(w)
                if body is not None and len(body) == w.end - w.start:
                    parts[-1] = body if not len(parts[-1]) else bytes(parts[-1]) + body
                else:
                    rest.append((len(asks), len(parts) - 1))
                    asks.append(w)
        reads.append((i, head, parsed, found, planes, parts, rest))
    tails = await fetcher.round(asks)
    for i, head, parsed, found, planes, parts, rest in reads:
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
            out[i] = _container.compact_parsed(memoryview(head), parsed, found, parts, reduce, planes)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from e
    return out


def _asks(plans: list[_Plan | None], chunks: list[int]) -> list[Want]:
    """The start asks of `chunks`, then their extras."""
    return ([plans[i].start for i in chunks]
            + [w for i in chunks for w in plans[i].extras])


def _take(plans: list[_Plan | None], chunks: list[int], got: list[bytes | None],
          starts: list, fetched: dict) -> None:
    """Files the bytes `_asks(plans, chunks)` fetched: each start ask's as
    (bytes, length asked), the extras' by the want."""
    for i, blob in zip(chunks, got):
        w = plans[i].start
        starts[i] = (blob, -1 if w.end is None else w.end - w.start)
    extras = [w for i in chunks for w in plans[i].extras]
    fetched.update(zip(extras, got[len(chunks):]))


def _span(layout: StoredLayout, key: str, coords: tuple[int, ...], entries: Any, slot: int,
          whole: bool) -> tuple[str, int, int] | None:
    """(key, offset, length) of an inner chunk by its shard's fresh index;
    None when absent."""
    if entries is None or entries[slot][0] == ABSENT:
        return None
    offset, length = entries[slot]
    sh = layout.sharding
    if not sh.at_end and offset < sh.index_size:
        raise ValueError(f"{_where(layout, key, coords)}: its shard index entry points into the index")
    if not whole and length < layout.head_size:
        raise ValueError(f"{_where(layout, key, coords)}: its shard index gives it {length} bytes, "
                         f"fewer than its header and plane index ({layout.head_size})")
    return key, offset, length


def _plan(layout: StoredLayout, cache: LayoutCache, key: str, slot: int, offset: int,
          length: int | None, planes: Sequence[int] | None, reduce: int, whole: bool,
          max_gap: int) -> _Plan:
    """The first asks for a chunk at (offset, length) of object `key`: exact
    where the cache holds its head as placed there, estimated elsewhere."""
    if whole:
        start = Want(key, 0, None) if length is None else Want(key, offset, offset + length)
        return _Plan(start, [], (offset, length))
    kept = cache.get(("head", key, slot))
    if kept is not None and kept[0] == offset and kept[1] == length:
        head = kept[2]
        try:
            parsed, found = _container.read_index(head, reduce)
        except ValueError:  # kept from a read at another reduce: not for this one
            parsed = None
        if parsed is not None:
            top = parsed.xy_levels - reduce
            ranges = [(o, prefixes[top]) for o, _, prefixes in found]
            picked = range(len(ranges)) if planes is None else planes
            have = len(head)
            if 0 in picked and ranges[0][0] == have:  # the first prefix follows the index
                have += ranges[0][1]
            extras = [Want(key, offset + max(o, have), offset + o + m)
                      for o, m in (ranges[k] for k in picked) if o + m > have]
            return _Plan(Want(key, offset, offset + have), extras, (offset, length),
                         (head, parsed, found))
    first = planes is None or 0 in planes
    return _Plan(Want(key, offset, offset + first_ask(layout, length, reduce, first, max_gap)), [],
                 (offset, length))


def _remember_head(cache: LayoutCache, key: str, slot: int, offset: int, length: int | None,
                   head: bytes) -> None:
    known = cache.get(("head", key, slot))
    if known is None or known[:2] != (offset, length) or known[2] != head:
        head = bytes(head)
        cache.put(("head", key, slot), (offset, length, head), len(head))


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


def _claim(known: dict, keys: list[str]) -> tuple[list[str], dict, dict]:
    """Of the shards in `keys`: those whose index this call fetches (a future
    for each goes into `known`, where concurrent batches find it), and the
    futures of those another batch of this event loop is fetching. `known`
    holds the indexes fetched earlier in this read (None for a shard never
    written), or the future of one being fetched."""
    loop = asyncio.get_running_loop()

    def pending(value) -> bool:
        return isinstance(value, asyncio.Future) and value.get_loop() is loop

    mine = [k for k in keys if k not in known or (isinstance(known[k], asyncio.Future)
                                                  and not pending(known[k]))]
    futures = {k: loop.create_future() for k in mine}
    known.update(futures)
    waits = {k: known[k] for k in keys if k not in futures and pending(known[k])}
    return mine, futures, waits


def _settle(layout: StoredLayout, cache: LayoutCache, known: dict, futures: dict, mine: list[str],
            blobs: list[bytes | None], error: BaseException | None) -> None:
    """Parses the indexes fetched for `mine` into `known` (and the cache) and
    resolves their futures; raises `error`, or the first index that fails
    its checks."""
    for k, blob in zip(mine, blobs if error is None else [None] * len(mine)):
        fut = futures[k]
        try:
            if error is not None:
                raise error
            fut.set_result(None if blob is None else layout.parse_shard_index(k, blob))
            known[k] = fut.result()
            if blob is None:
                cache.discard(("index", k))
            else:
                cache.put(("index", k), blob, len(blob))
        except BaseException as exc:
            fut.set_exception(exc)
            fut.exception()  # retrieved: a concurrent batch may not be waiting for it
            known.pop(k, None)
            error = error or exc
    if error is not None:
        raise error


def where(layout: StoredLayout, coords: tuple[int, ...]) -> str:
    """How messages name a chunk: its store key (and inner chunk)."""
    return _where(layout, layout.locate(tuple(coords))[0], coords)
