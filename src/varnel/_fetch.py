"""Byte ranges fetched from a zarr v3 store in rounds, and what they cost.

A reduced read asks for many small byte ranges at a time: the shard indexes,
then from every chunk's start its header, index and estimated prefix, then
what the estimates missed. `Fetcher`
takes one such set of wants as one *round*: it merges the ranges of one
object that touch or lie within `max_gap` bytes of each other into one
request, issues every request of the round concurrently, and hands each want
its own outcome: its bytes, None where the object does not exist, or the
exception the store raised for it (one failed request fails only the wants
it carried). `FetchStats` counts rounds, requests and bytes.

The requests go through the store's own interface: `Store.get_ranges` where
the store brings its own (a backend that reads many ranges of one object at
once), else one `Store.get` per merged range, all at once. (zarr's default
`get_ranges`, from 3.4 on, coalesces over ``get``; the ranges here are merged
already, and its task per range cost a fifth of the client's CPU per request
on obstore.) No size or HEAD request is made: a shard index at the end of a
shard is a suffix request.

A store that cannot serve byte ranges still works: each object is then
fetched whole, once per read, and the ranges are cut from it. Such a store
shows itself by answering a range with more bytes than asked (an HTTP
server that answers ``Range`` with 200 and the whole object), or by its own
"no ranges" signal (obstore's ``NotSupportedError``, ``NotImplementedError``);
any other error is the store's error for the wants it carried. What a store
showed is kept in its `RangeSupport`, so later reads ask for whole objects
at once. Until a store has answered one range as asked, an object's first
request goes alone, so that a store without ranges never sends the same
object twice in one read.

A read may carry a deadline (`Fetcher(deadline=)`, in the event loop's
clock): a round still waiting for the store then raises `ReadTimeout`, a
`TimeoutError` naming the requests it was waiting for.
"""

from __future__ import annotations

import asyncio
import contextlib
from collections import OrderedDict, defaultdict
from dataclasses import dataclass
from typing import Any, NamedTuple, Sequence

from zarr.abc.store import RangeByteRequest, SuffixByteRequest
from zarr.core.buffer import default_buffer_prototype

#: Ranges of one object at most this many bytes apart are fetched as one.
DEFAULT_MAX_GAP = 1024
#: Bytes of objects fetched whole that one read holds (beyond them, the least
#: recently used go and are fetched again when wanted again).
WHOLE_BYTES = 512 << 20


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


class RangeSupport:
    """What a store showed about byte ranges: `served` is None until it
    answered one, then True, or False once it showed it cannot serve them."""

    def __init__(self) -> None:
        self.served: bool | None = None


class ReadTimeout(TimeoutError):
    """A read that ran past its deadline; the message names the store keys
    and byte ranges it was still waiting for."""


class Want(NamedTuple):
    """Bytes of object `key`: ``[start, end)``; ``end=None`` with ``start=0``
    the whole object, with ``start=-n`` its last n bytes."""

    key: str
    start: int
    end: int | None


def describe(w: Want) -> str:
    """A want in messages: "bytes 4096-9000 of 'c/1/0/1'"."""
    if w.end is None:
        return f"the whole of {w.key!r}" if w.start == 0 else f"the last {-w.start} bytes of {w.key!r}"
    return f"bytes {w.start}-{w.end} of {w.key!r}"


def says_no_ranges(exc: BaseException) -> bool:
    """Whether `exc` is a store's own signal that it cannot serve byte ranges."""
    if isinstance(exc, NotImplementedError):
        return True
    kind = type(exc)
    return kind.__name__ == "NotSupportedError" and kind.__module__.startswith("obstore")


class Fetcher:
    """Fetches rounds of wants from `store`; one fetcher serves one read.
    `support` is what the store showed earlier reads about byte ranges;
    `deadline` (the event loop's clock) ends the read with `ReadTimeout`."""

    def __init__(self, store: Any, stats: FetchStats | None = None, max_gap: int = DEFAULT_MAX_GAP,
                 support: RangeSupport | None = None, deadline: float | None = None,
                 timeout: float | None = None):
        self.store = store
        self.stats = stats if stats is not None else FetchStats()
        self.max_gap = max_gap
        self.support = support if support is not None else RangeSupport()
        self.deadline = deadline
        self.timeout = timeout
        # Objects fetched whole in this read (a future while one is on its way).
        self._whole: OrderedDict[str, Any] = OrderedDict()
        self._whole_bytes = 0
        self._waiting: dict[int, str] = {}  # requests in flight, for a timeout's message
        self._get_ranges = _own_get_ranges(store)
        self._proto = default_buffer_prototype()

    async def round(self, wants: Sequence[Want]) -> list[bytes | BaseException | None]:
        """The outcome of each want, fetched as one round: its bytes (fewer
        than asked where the object ends first), None where its object does
        not exist, or the exception the store raised for it."""
        if not wants:
            return []
        self.stats.rounds += 1
        by_key: dict[str, list[int]] = defaultdict(list)
        for i, w in enumerate(wants):
            by_key[w.key].append(i)
        out: list[Any] = [None] * len(wants)
        work = asyncio.gather(*[self._key(key, [wants[i] for i in idx], idx, out)
                                for key, idx in by_key.items()])
        if self.deadline is None:
            await work
            return out
        loop = asyncio.get_running_loop()
        task = asyncio.ensure_future(work)
        try:
            done, _ = await asyncio.wait({task}, timeout=max(0.0, self.deadline - loop.time()))
        except BaseException:
            task.cancel()
            raise
        if not done:
            pending = sorted(set(self._waiting.values()))  # before the cancel clears them
            task.cancel()
            with contextlib.suppress(BaseException):
                await task
            raise ReadTimeout(
                f"the store did not answer within the read's {self.timeout:g} s: still waiting for "
                + (", ".join(pending[:3]) + (f" and {len(pending) - 3} more" if len(pending) > 3 else "")
                   if pending else "its answers"))
        task.result()
        return out

    # --- one object ------------------------------------------------------------

    async def _key(self, key: str, wants: list[Want], idx: list[int], out: list) -> None:
        whole_wanted = any(w.start == 0 and w.end is None for w in wants)
        if key in self._whole or whole_wanted or self.support.served is False:
            return await self._from_whole(key, wants, idx, out)
        bounded = sorted((w.start, w.end, i) for w, i in zip(wants, idx) if w.end is not None)
        groups: list[list[tuple[int, int, int]]] = []
        spans: list[Want] = []  # one request per group
        for item in bounded:
            if spans and item[0] - spans[-1].end <= self.max_gap:
                groups[-1].append(item)
                spans[-1] = Want(key, spans[-1].start, max(spans[-1].end, item[1]))
            else:
                groups.append([item])
                spans.append(Want(key, item[0], item[1]))
        for w, i in zip(wants, idx):
            if w.end is None:  # a suffix
                groups.append([(w.start, None, i)])
                spans.append(w)
        if self.support.served is None and len(spans) > 1:
            # Whether the store serves ranges is not known yet: one request
            # first, so that one without them sends this object once.
            first = await self._requests([spans[0]])
            if self._take(key, spans[:1], groups[:1], first, out):
                return await self._from_whole(key, wants, idx, out)
            spans, groups = spans[1:], groups[1:]
        got = await self._requests(spans)
        if self._take(key, spans, groups, got, out):
            return await self._from_whole(key, wants, idx, out)

    def _take(self, key: str, spans: list[Want], groups: list, got: list, out: list) -> bool:
        """Files each request's bytes with the wants it carried; True when
        the store showed it has no ranges (its wants are then to be cut from
        the whole object)."""
        no_ranges = False
        for span, group, blob in zip(spans, groups, got):
            if isinstance(blob, BaseException):
                if says_no_ranges(blob):
                    no_ranges = True
                    continue
                for *_, i in group:
                    out[i] = blob
                continue
            asked = -span.start if span.end is None else span.end - span.start
            if blob is not None and len(blob) > asked:  # the whole object came back
                self._keep_whole(key, blob)
                no_ranges = True
                continue
            if blob is not None and len(blob) == asked:
                self.support.served = True
            for s, e, i in group:
                if blob is None:
                    out[i] = None
                elif e is None:
                    out[i] = blob
                else:
                    out[i] = blob[s - span.start:e - span.start]
        if no_ranges:
            self.support.served = False
        return no_ranges

    async def _from_whole(self, key: str, wants: list[Want], idx: list[int], out: list) -> None:
        try:
            blob = await self._whole_object(key)
        except Exception as exc:  # the store's error, for every want of this object
            for i in idx:
                out[i] = exc
            return
        for i, w in zip(idx, wants):
            out[i] = None if blob is None else _slice(blob, w)

    async def _whole_object(self, key: str) -> bytes | None:
        """The object fetched whole, once in this read."""
        found = self._whole.get(key)
        if found is not None:
            self._whole.move_to_end(key)
            return (await found) if isinstance(found, asyncio.Future) else found[0]
        fut = asyncio.get_running_loop().create_future()
        self._whole[key] = fut
        try:
            (blob,) = await self._requests([Want(key, 0, None)])
            if isinstance(blob, BaseException):
                raise blob
        except BaseException as exc:
            self._whole.pop(key, None)
            fut.set_exception(exc)
            fut.exception()  # retrieved: nobody else may be waiting
            raise
        fut.set_result(blob)
        self._whole.pop(key, None)
        self._keep_whole(key, blob)
        return blob

    def _keep_whole(self, key: str, blob: bytes | None) -> None:
        if isinstance(self._whole.get(key), asyncio.Future):
            return
        old = self._whole.pop(key, None)
        if old is not None:
            self._whole_bytes -= old[1]
        size = 0 if blob is None else len(blob)
        self._whole[key] = (blob, size)
        self._whole_bytes += size
        while self._whole_bytes > WHOLE_BYTES:
            name = next((k for k, v in self._whole.items() if not isinstance(v, asyncio.Future)), None)
            if name is None or name == key:
                break
            self._whole_bytes -= self._whole.pop(name)[1]

    # --- requests --------------------------------------------------------------

    async def _requests(self, spans: list[Want]) -> list[bytes | BaseException | None]:
        """Each span's bytes (None for an absent object) or the store's
        exception, the spans of one object requested at once."""
        if not spans:
            return []
        if self._get_ranges and all(s.end is not None for s in spans):
            return await self._get_spans(spans)
        return list(await asyncio.gather(*[self._get(s) for s in spans], return_exceptions=True))

    async def _get_spans(self, spans: list[Want]) -> list[bytes | BaseException | None]:
        key = spans[0].key
        got: list[Any] = [None] * len(spans)
        token = id(got)
        self._waiting[token] = describe(spans[0]) if len(spans) == 1 else \
            f"{len(spans)} ranges of {key!r}"
        try:
            async for group in self.store.get_ranges(
                    key, [RangeByteRequest(s.start, s.end) for s in spans], prototype=self._proto,
                    max_concurrency=len(spans), max_gap_bytes=0,
                    max_coalesced_bytes=max(s.end - s.start for s in spans)):
                for i, buf in group:
                    got[i] = None if buf is None else buf.to_bytes()
        except BaseExceptionGroup as group:
            missing, rest = group.split(FileNotFoundError)
            if rest is None:
                return [None] * len(spans)
            exc = rest.exceptions[0] if len(rest.exceptions) == 1 else rest
            return [exc] * len(spans)
        except Exception as exc:
            return [exc] * len(spans)
        finally:
            self._waiting.pop(token, None)
        self.stats.requests += len(spans)
        self.stats.bytes_fetched += sum(len(b) for b in got if b is not None)
        return got

    async def _get(self, w: Want) -> bytes | None:
        if w.end is None:
            byte_range = None if w.start == 0 else SuffixByteRequest(-w.start)
        else:
            byte_range = RangeByteRequest(w.start, w.end)
        token = object()
        self._waiting[id(token)] = describe(w)
        try:
            buf = await self.store.get(w.key, self._proto, byte_range=byte_range)
        finally:
            self._waiting.pop(id(token), None)
        self.stats.requests += 1
        if buf is None:
            return None
        data = buf.to_bytes()
        self.stats.bytes_fetched += len(data)
        return data


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
