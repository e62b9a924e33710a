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
   its object; an inner chunk's place comes, speculatively, from the index
   the cache holds;
2. the start asks that round 1 could not place, placed where the fresh
   shard index says the chunk no longer starts, or whose answer was not
   what was asked (a store error, a short answer: a shard that shrank);
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
the inner chunk and the reason; so is an answer the store got wrong (of the
wrong length, a missing object, the store's own error as its cause), said
as what was asked and what came. Each chunk gets its own outcome: a shard
whose index cannot be read fails only its chunks. The compacted chunk
carries the plane index as fetched (`_container.compact_parsed`), prefix
checksums included where the chunk has them, so the decode checks the
prefixes against it.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple, Sequence

from varnel import _container
from varnel._fetch import Fetcher, Want, describe
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


def _failed(message: str, cause: BaseException | None = None) -> ValueError:
    err = ValueError(message)
    err.__cause__ = cause
    return err


def _answer(w: Want, got: Any) -> str:
    """What the store did with want `w`, for messages."""
    if isinstance(got, BaseException):
        return f"asked for {describe(w)}, the store failed: {type(got).__name__}: {got}"
    if got is None:
        return f"asked for {describe(w)}, the store answered that the object does not exist"
    return f"asked for {describe(w)}, got {len(got)} bytes"


async def compact_chunks(layout: StoredLayout, fetcher: Fetcher,
                         wanted: Sequence[tuple[tuple[int, ...], Sequence[int] | None]],
                         reduce: int, whole: bool = False,
                         cache: LayoutCache | None = None) -> list[bytes | Exception | None]:
    """Per (chunk coordinates, plane numbers or None for all planes): the
    compacted chunk, or the stored chunk with `whole`; None when absent; a
    ValueError naming the chunk where it cannot be read (each chunk its
    own: a failing shard or request fails only the chunks it holds).
    `cache` holds the layout earlier reads found and takes what this one
    finds."""
    n = len(wanted)
    cache = _NO_CACHE if cache is None else cache
    located = [layout.locate(tuple(c)) for c, _ in wanted]
    sharded = layout.sharding is not None
    errors: list[Exception | None] = [None] * n

    def plan(i: int, offset: int, length: int | None) -> _Plan:
        key, slot = located[i]
        return _plan(layout, cache, key, slot, offset, length, wanted[i][1], reduce, whole,
                     fetcher.max_gap)

    # Where each chunk lies in its object, as this read found it: (key,
    # offset, length or None); None for an absent chunk.
    spans: list[tuple[str, int, int | None] | None] = [None] * n
    plans: list[_Plan | None] = [None] * n
    for i, (key, slot) in enumerate(located):
        if not sharded:  # a plain chunk starts its object
            spans[i] = (key, 0, None)
            plans[i] = plan(i, 0, None)
            continue
        blob = cache.get(("index", key))
        if blob is not None:  # speculative: placed where the kept index places it
            offset, length = layout.index_entry(blob, slot)
            if offset != ABSENT:
                plans[i] = plan(i, offset, length)

    # Round 1: the index of every shard involved, and every start ask placed so far.
    shards = list(dict.fromkeys(k for k, _ in located)) if sharded else []
    sh = layout.sharding
    index_wants = [Want(k, -sh.index_size, None) if sh.at_end else Want(k, 0, sh.index_size)
                   for k in shards]
    first = [i for i in range(n) if plans[i] is not None]
    got = await fetcher.round(index_wants + _asks(plans, first))
    indexes = {k: _index(layout, cache, k, w, blob)
               for k, w, blob in zip(shards, index_wants, got)}
    fetched: dict[Want, Any] = {}
    starts: list[tuple[Any, int] | None] = [None] * n
    _take(plans, first, got[len(shards):], starts, fetched)

    # Round 2: the start asks the kept index did not place where the fresh
    # one does, or whose answer was not what was asked (a store error on a
    # range placed by the kept layout leads here too).
    second = []
    for i, (key, slot) in enumerate(located):
        if not sharded:
            continue
        entries = indexes[key]
        if isinstance(entries, Exception):
            errors[i] = _failed(f"{_where(layout, key, wanted[i][0])}: {entries}",
                                 entries.__cause__ or entries)
            continue
        try:
            spans[i] = span = _span(layout, key, wanted[i][0], entries, slot, whole)
        except ValueError as e:
            errors[i] = e
            continue
        p = plans[i]
        if span is None:
            starts[i] = None
        elif p is not None and p.basis[0] == span[1] and _answered(starts[i]) and (
                p.basis[1] == span[2] if whole else p.start.end - p.start.start >= layout.head_size):
            blob, asked = starts[i]
            starts[i] = (blob[:span[2]], min(asked, span[2]))
        else:
            plans[i] = plan(i, *span[1:])
            second.append(i)
    _take(plans, second, await fetcher.round(_asks(plans, second)), starts, fetched)

    present = [i for i in range(n) if spans[i] is not None and errors[i] is None]
    out: list[Any] = [None] * n
    if whole:
        for i in present:
            try:
                out[i] = _whole_chunk(layout, fetcher, spans[i], wanted[i][0], plans[i].start,
                                      starts[i][0])
            except ValueError as e:
                errors[i] = e
        return [e if e is not None else o for e, o in zip(errors, out)]

    # Check every header; round 3: what of the wanted prefixes the first
    # rounds did not bring (a prefix longer than its estimate, the other
    # planes, where the cache did not know the head).
    reads = []
    asks: list[Want] = []
    for i in present:
        try:
            read = _head(layout, cache, fetcher, i, spans[i], located[i][1], wanted[i], plans[i],
                         starts[i], fetched, reduce, asks)
        except ValueError as e:
            errors[i] = e
            continue
        if read is not None:
            reads.append(read)
    tails = await fetcher.round(asks)
    for i, head, parsed, found, planes, parts, rest in reads:
        key, offset, length = spans[i]
        where = _Where(layout, key, wanted[i][0])
        try:
            for a, p, k in rest:
                body, w = tails[a], asks[a]
                if isinstance(body, BaseException) or body is None or len(body) != w.end - w.start:
                    raise _failed(f"{where}: {_answer(w, body)} for plane {k}'s prefix"
                                  + ("" if body is None or isinstance(body, BaseException) else
                                     _short(offset, length)),
                                  body if isinstance(body, BaseException) else None)
                parts[p] = body if not len(parts[p]) else bytes(parts[p]) + body
            out[i] = _container.compact_parsed(memoryview(head), parsed, found, parts, reduce, planes)
        except ValueError as e:
            errors[i] = e if str(e).startswith(f"{where}") else _failed(f"{where}: {e}", e)
    return [e if e is not None else o for e, o in zip(errors, out)]


def first_error(outcomes: Sequence[Any]) -> None:
    """Raises the first exception among `outcomes`."""
    for o in outcomes:
        if isinstance(o, BaseException):
            raise o


def _short(offset: int, length: int | None) -> str:
    if length is None:
        return " (the object ends there, or the store answered short)"
    return (f" (its shard index gives the chunk bytes {offset}-{offset + length} of the shard: "
            f"the store answered short)")


def _answered(start: tuple[Any, int] | None) -> bool:
    """Whether a start ask came back as asked: bytes, as many as asked."""
    if start is None or start[0] is None or isinstance(start[0], BaseException):
        return False
    return len(start[0]) == start[1]


def _index(layout: StoredLayout, cache: LayoutCache, key: str, w: Want, blob: Any) -> Any:
    """A shard's fresh index: its entries, None for a shard never written,
    or the ValueError saying why it cannot be used; the cache takes it."""
    if isinstance(blob, BaseException):
        return _failed(f"its shard's index: {_answer(w, blob)}", blob)
    if blob is None:
        cache.discard(("index", key))
        return None
    try:
        entries = layout.parse_shard_index(key, blob)
    except ValueError as e:
        return e
    cache.put(("index", key), blob, len(blob))
    return entries


def _whole_chunk(layout: StoredLayout, fetcher: Fetcher, span: tuple[str, int, int | None],
                 coords: tuple[int, ...], w: Want, blob: Any) -> bytes | None:
    """A chunk fetched whole, checked against its shard index entry."""
    key, offset, length = span
    if isinstance(blob, BaseException) or (blob is None and length is not None) or (
            blob is not None and length is not None and len(blob) != length):
        raise _failed(f"{_where(layout, key, coords)}: {_answer(w, blob)}"
                      + ("" if blob is None or isinstance(blob, BaseException) else
                         f"; its shard index entry places the chunk at bytes {offset}-"
                         f"{offset + length}: the store answered short, or the entry points "
                         f"past the end of the shard"),
                      blob if isinstance(blob, BaseException) else None)
    if blob is not None:
        fetcher.stats.chunks += 1
        fetcher.stats.bytes_full += len(blob)
    return blob


def _head(layout: StoredLayout, cache: LayoutCache, fetcher: Fetcher, i: int,
          span: tuple[str, int, int | None], slot: int, wanted: tuple, plan: _Plan,
          start: tuple[Any, int], fetched: dict, reduce: int, asks: list[Want]) -> tuple | None:
    """Checks a chunk's header and plane index as this read fetched them
    and adds to `asks` what of its prefixes is still missing; None for a
    plain chunk never written."""
    key, offset, length = span
    coords, planes = wanted
    where = _Where(layout, key, coords)
    head, asked = start
    w = plan.start
    if isinstance(head, BaseException) or (head is None and length is not None):
        raise _failed(f"{where}: {_answer(w, head)}"
                      + ("" if isinstance(head, BaseException) else
                         ", though its shard index places the chunk there"),
                      head if isinstance(head, BaseException) else None)
    if head is None:  # a plain chunk that was never written
        return None
    if length is not None and len(head) != asked:
        raise ValueError(f"{where}: {_answer(w, head)}; its shard index entry places the chunk at "
                         f"bytes {offset}-{offset + length}: the store answered short, or the "
                         f"entry points past the end of the shard")
    if len(head) < layout.head_size:
        raise ValueError(f"{where}: {_answer(w, head)}, where header and plane index need "
                         f"{layout.head_size}")
    kept = plan.kept
    if kept is not None and plan.basis == (offset, length) and head[:layout.head_size] == kept[0]:
        # The head this read fetched is the one kept: it was read and checked before.
        _, parsed, found = kept
    else:
        try:
            parsed, found = _container.read_index(head, reduce)
        except ValueError as e:
            raise _failed(f"{where}: its first {layout.head_size} bytes (from {describe(w)}) are "
                          f"no header and plane index: {e}", e)
        if parsed.shape != layout.chunk_shape or parsed.xy_levels != layout.levels:
            raise ValueError(f"{where}: its header (shape {list(parsed.shape)}, xy_levels "
                             f"{parsed.xy_levels}) disagrees with the array's chunk shape "
                             f"{list(layout.chunk_shape)} and xy_levels {layout.levels}")
        if layout.htj2k.get("checksums") and not parsed.checksums:
            # A head whose flags lost the checksums would read its prefixes unchecked.
            raise ValueError(f"{where}: its header has no prefix checksums, which the array's "
                             f"varnel.htj2k configuration (checksums true) gives every chunk")
        _remember_head(cache, key, slot, offset, length, head[:parsed.index_end])
    size = length if length is not None else _container.stored_size(memoryview(head), parsed)
    picked = list(range(parsed.planes)) if planes is None else list(planes)
    top = parsed.xy_levels - reduce
    ranges = [(found[k][0], found[k][2][top]) for k in picked]
    for k, (o, m) in zip(picked, ranges):
        if o < parsed.index_end:
            raise ValueError(f"{where}: its plane index points plane {k} into the index")
        if o + m > size:
            raise ValueError(f"{where}: its plane index points past the chunk's {size} bytes "
                             f"(plane {k}'s prefix at bytes {o}-{o + m})")
    fetcher.stats.chunks += 1
    fetcher.stats.bytes_full += size
    # Per plane: the bytes fetched so far, and the rest to fetch.
    have = len(head)
    parts, rest = [], []
    for k, (o, m) in zip(picked, ranges):
        parts.append(memoryview(head)[o:min(o + m, have)] if o < have else b"")
        if o + m > have:
            want = Want(key, offset + max(o, have), offset + o + m)
            body = fetched.get(want)
            if body is not None and not isinstance(body, BaseException) and \
                    len(body) == want.end - want.start:
                parts[-1] = body if not len(parts[-1]) else bytes(parts[-1]) + body
            else:
                rest.append((len(asks), len(parts) - 1, k))
                asks.append(want)
    return i, head, parsed, found, planes, parts, rest


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


def where(layout: StoredLayout, coords: tuple[int, ...]) -> str:
    """How messages name a chunk: its store key (and inner chunk)."""
    return _where(layout, layout.locate(tuple(coords))[0], coords)
