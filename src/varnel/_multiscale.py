"""One stored varnel.htj2k array as its own pyramid: `MultiscaleStore` and `levels`.

`MultiscaleStore(array)` is a read-only zarr v3 store that presents a group
with OME-Zarr 0.5 ``multiscales`` metadata and arrays ``"0"`` ... ``"N"``:
level k is the stored array with y and x ceil-divided by 2**k, in chunks of
the stored (inner) chunk shape with y and x divided by 2**k, one level chunk
per stored chunk, unsharded. A chunk of level k > 0 is served as a compacted
htj2k container (the stored chunk's header, index and each plane's prefix
for resolution xy_levels - k, nothing else) under the codec
``varnel.htj2k_reduced``; level 0 serves the stored chunks as they are, under
the stored ``varnel.htj2k`` settings. N is the largest k <= xy_levels for
which the stored chunk's y and x are multiples of 2**k; levels that would not
tile are left out.

`levels(array)` opens level k with zarr's codec pipeline batch size set to
as many of its chunks as hold 8 MiB decoded (`batch_size`): zarr then asks
for ``async.concurrency`` batches of chunks at a time, not chunks, and the
level's codec decodes each batch in a few threads.

Chunk requests that arrive together (zarr asks for the chunks of a read
concurrently, and the level codec hands over a whole batch at once,
`read_chunks`) are read together, as one read (`_chunk_reads`): each shard
index once, then one range from each chunk's start (header, index and an
estimate of its prefix), then only what the estimates missed, with nearby
ranges merged; each chunk gets its own outcome. Nothing one read fetched is
taken as fresh by the next: the store keeps the shard indexes and chunk
heads it read (`_layout_cache`, shared by its levels) only to shape later
requests, so a later read asks for the chunks where they lay together with
the shard indexes, in one round, and uses what the fresh indexes confirm.
`timeout` bounds each such read (`ReadTimeout`).

With ``smooth=True`` level k > 0 is the 2 x 2 mean of the reduced decode
at k - 1 instead of the reduced decode at k (`Htj2kReduced`'s ``smooth``):
the store serves the chunk's prefix for resolution k - 1 (level 1: the whole
stored chunk), about four times the bytes, for values that follow block
means where the 5/3 low-pass undershoots near bright edges and aliases small
spots. Where level k - 1 has an odd size, the last row or column of level
k also averages the edge chunk's padding (the fill value, as zarr stores edge
chunks), as the reduced decode's last samples there do.

The arrays `levels` returns are `Level`s: zarr arrays whose selections of
slices that keep an axis whole with a bare ``:`` (what napari asks of a
level before it picks the index of the axes it does not display) are lazy
`LevelView`s, read when indexed again or converted by numpy, so that a
viewer reads only the plane it shows.
"""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import json
import math
import operator
from collections import defaultdict
from collections.abc import AsyncIterator, Iterable
from typing import Any

import numpy as np
import zarr
from zarr.abc.store import ByteRequest, OffsetByteRequest, RangeByteRequest, Store, SuffixByteRequest
from zarr.core.buffer import Buffer, BufferPrototype

from varnel._chunk_reads import compact_chunks, where
from varnel._fetch import DEFAULT_MAX_GAP, Fetcher, FetchStats, RangeSupport
from varnel._layout_cache import DEFAULT_CACHE_BYTES, LayoutCache
from varnel._level_codec import HTJ2K_REDUCED, SOURCE
from varnel._stored_layout import StoredLayout, stored_layout

OME_VERSION = "0.5"
_BATCH_BYTES = 8 << 20  # decoded bytes of a level's chunks that zarr reads as one batch
_MAX_BATCH = 1024
_AXIS_TYPES = {"t": "time", "time": "time", "c": "channel", "ch": "channel", "channel": "channel",
               "z": "space", "y": "space", "x": "space"}


def top_level(layout: StoredLayout) -> int:
    """The largest k <= xy_levels for which the chunk's y and x are multiples of 2**k."""
    cy, cx = layout.chunk_shape[-2:]
    k = 0
    while k < layout.levels and cy % (2 << k) == 0 and cx % (2 << k) == 0:
        k += 1
    return k


def level_shape(shape: tuple[int, ...], k: int) -> tuple[int, ...]:
    f = 1 << k
    return tuple(shape[:-2]) + (-(-shape[-2] // f), -(-shape[-1] // f))


def axes(names: tuple[str | None, ...] | None, ndim: int) -> list[dict]:
    """OME-Zarr axes: the array's dimension names (the trailing two typed as
    space, leading ones typed by name: t/time, c/channel, z), or, where names
    are missing, z; c, z; t, c, z before y, x (OME-Zarr's order)."""
    lead = ndim - 2
    if lead <= 3:
        default = ["t", "c", "z"][3 - lead:] + ["y", "x"]
    else:
        default = [f"dim_{i}" for i in range(lead)] + ["y", "x"]
    names = list(names) if names else [None] * ndim
    out, seen = [], set()
    for j, (given, fallback) in enumerate(zip(names, default)):
        name = given if given else fallback
        if name in seen:  # a default that clashes with a given name
            name = f"dim_{j}"
        seen.add(name)
        axis = {"name": name}
        kind = "space" if j >= lead else _AXIS_TYPES.get(str(name).lower())
        if kind:
            axis["type"] = kind
        out.append(axis)
    return out


def _sliced(data: bytes, byte_range: ByteRequest | None) -> bytes:
    if byte_range is None:
        return data
    if isinstance(byte_range, RangeByteRequest):
        return data[byte_range.start:byte_range.end]
    if isinstance(byte_range, OffsetByteRequest):
        return data[byte_range.offset:]
    if isinstance(byte_range, SuffixByteRequest):
        return data[-byte_range.suffix:] if byte_range.suffix else b""
    raise TypeError(f"unexpected byte range {byte_range!r}")


def _rebuild(array: Any, max_gap: int, layout_cache: int = DEFAULT_CACHE_BYTES,
             timeout: float | None = None, smooth: bool = False) -> MultiscaleStore:
    return MultiscaleStore(array, max_gap=max_gap, layout_cache=layout_cache, timeout=timeout,
                           smooth=smooth)


def _timeout(timeout: float | None) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
        raise ValueError(f"timeout must be a number of seconds > 0 or None, not {timeout!r}")
    return float(timeout)


class MultiscaleStore(Store):
    """A read-only zarr v3 store presenting a varnel.htj2k array as an OME-Zarr
    0.5 multiscale group of its reduced resolutions.

    `array` is a zarr v3 array whose serializer is `varnel.zarr.Htj2k` with
    its plane index (the default), as its only codec, plain or inside zarr's
    sharding codec (index at the end or the start, with or without crc32c),
    in any store; on stores that serve byte ranges only the header, index
    and needed prefix of each chunk are fetched (elsewhere whole objects
    are). `max_gap` is the largest gap between two byte ranges of one object
    that are fetched as one request. `layout_cache` bounds, in bytes, the
    shard indexes and chunk heads kept from one read to the next (0: none);
    a read of chunks read before then takes one round of requests, the
    kept layout checked against what the read fetches (`_layout_cache`).
    `smooth` makes level k > 0 the 2 x 2 mean of the reduced decode at
    k - 1 (about four times the bytes of level k; level 1 reads whole
    chunks). `stats` counts what was fetched.

    >>> import numpy as np, zarr, varnel.zarr
    >>> a = zarr.create_array({}, shape=(2, 256, 256), chunks=(1, 128, 128), dtype="uint16",
    ...                       serializer=varnel.zarr.Htj2k(), compressors=None)
    >>> a[...] = np.arange(2 * 256 * 256, dtype=np.uint16).reshape(a.shape)
    >>> pyramid = zarr.open_group(varnel.zarr.MultiscaleStore(a), mode="r")
    >>> [pyramid[str(k)].shape for k in range(3)]
    [(2, 256, 256), (2, 128, 128), (2, 64, 64)]
    >>> pyramid.attrs["ome"]["multiscales"][0]["datasets"][2]["coordinateTransformations"]
    [{'type': 'scale', 'scale': [1.0, 4.0, 4.0]}]
    """

    supports_writes = False  # type: ignore[assignment]
    supports_deletes = False  # type: ignore[assignment]
    supports_listing = True  # type: ignore[assignment]

    def __init__(self, array: Any, *, max_gap: int = DEFAULT_MAX_GAP, name: str | None = None,
                 layout_cache: int = DEFAULT_CACHE_BYTES, timeout: float | None = None,
                 smooth: bool = False) -> None:
        super().__init__(read_only=True)
        if not isinstance(smooth, bool):
            raise TypeError(f"smooth must be True or False, not {smooth!r}")
        self.array = array
        self.smooth = smooth
        self.layout = stored_layout(array)
        self.max_gap = int(max_gap)
        self.layout_cache = LayoutCache(layout_cache)
        self.top = top_level(self.layout)
        self.stats = FetchStats()
        self._name = name if name is not None else (array.path or "image")
        self._docs = self._metadata()
        self.timeout = _timeout(timeout)
        self._support = RangeSupport()
        self._pending: dict[Any, list] = {}
        self._tasks: set = set()

    # --- metadata --------------------------------------------------------------

    def _metadata(self) -> dict[str, bytes]:
        lay = self.layout
        ndim = len(lay.shape)
        datasets = [{"path": str(k), "coordinateTransformations": [
            {"type": "scale", "scale": [1.0] * (ndim - 2) + [float(1 << k)] * 2}]}
            for k in range(self.top + 1)]
        group = {"zarr_format": 3, "node_type": "group", "attributes": {"ome": {
            "version": OME_VERSION,
            "multiscales": [{
                "name": self._name,
                "axes": axes(lay.dimension_names, ndim),
                "datasets": datasets,
                "type": ("2 x 2 mean of the next finer htj2k resolution" if self.smooth
                         else "htj2k wavelet (reversible 5/3 low-pass)"),
                "metadata": {"description": "reduced resolutions decoded from the stored "
                                            "varnel.htj2k array's plane prefixes",
                             "method": "varnel.zarr.MultiscaleStore"},
            }]}}}
        docs = {"zarr.json": json.dumps(group).encode()}
        for k in range(self.top + 1):
            doc = {key: value for key, value in lay.metadata.items()
                   if key not in ("codecs", "chunk_grid", "chunk_key_encoding", "shape",
                                  "attributes", "storage_transformers")}
            doc["shape"] = list(level_shape(lay.shape, k))
            doc["chunk_grid"] = {"name": "regular", "configuration": {
                "chunk_shape": list(level_shape(lay.chunk_shape, k))}}
            doc["chunk_key_encoding"] = {"name": "default", "configuration": {"separator": "/"}}
            doc["codecs"] = ([{"name": "varnel.htj2k", "configuration": lay.htj2k}] if k == 0 else
                             [{"name": HTJ2K_REDUCED, "configuration":
                               {"reduce": k, "smooth": True} if self.smooth else {"reduce": k}}])
            doc["attributes"] = {}
            docs[f"{k}/zarr.json"] = json.dumps(doc).encode()
        return docs

    def _chunk_coords(self, key: str) -> tuple[int, tuple[int, ...]] | None:
        parts = key.split("/")
        ndim = len(self.layout.shape)
        if len(parts) != ndim + 2 or parts[1] != "c" or not all(p.isdigit() for p in parts[:1] + parts[2:]):
            return None
        level = int(parts[0])
        coords = tuple(int(p) for p in parts[2:])
        if level > self.top or any(c >= n for c, n in zip(coords, self.layout.grid)):
            return None
        return level, coords

    # --- reading ---------------------------------------------------------------

    async def get(self, key: str, prototype: BufferPrototype,
                  byte_range: ByteRequest | None = None) -> Buffer | None:
        if key in self._docs:
            return prototype.buffer.from_bytes(_sliced(self._docs[key], byte_range))
        found = self._chunk_coords(key)
        if found is None:
            return None
        data = await self._chunk(*found)
        if data is None:
            return None
        buf = prototype.buffer.from_bytes(_sliced(data, byte_range))
        with contextlib.suppress(AttributeError):  # for the level codec's messages
            setattr(buf, SOURCE, self.describe(key))
        return buf

    def describe(self, key: str) -> str:
        """A level chunk in messages: its key and the stored chunk it comes from."""
        found = self._chunk_coords(key)
        if found is None:
            return repr(key)
        return f"{key!r} of {self!r}, from {where(self.layout, found[1])}"

    async def get_partial_values(self, prototype: BufferPrototype,
                                 key_ranges: Iterable[tuple[str, ByteRequest | None]]) -> list[Buffer | None]:
        return list(await asyncio.gather(*[self.get(k, prototype, r) for k, r in key_ranges]))

    async def exists(self, key: str) -> bool:
        if key in self._docs:
            return True
        found = self._chunk_coords(key)
        return found is not None and await self._chunk(*found) is not None

    async def _chunk(self, level: int, coords: tuple[int, ...]) -> bytes | None:
        """The level's chunk, read together with the other chunk requests that
        arrive in the same turn of the event loop."""
        outcome = await self._request(level, coords)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    def _request(self, level: int, coords: tuple[int, ...]) -> asyncio.Future:
        """A future of the chunk's outcome: its bytes, None when absent, or
        the exception that says why it cannot be read."""
        loop = asyncio.get_running_loop()
        fut = loop.create_future()
        batch = self._pending.get(loop)
        if batch is None:
            batch = self._pending[loop] = []
            task = loop.create_task(self._flush(loop))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)
        batch.append((level, coords, fut))
        return fut

    async def _flush(self, loop: Any) -> None:
        for _ in range(4):  # let the requests issued together join the batch
            await asyncio.sleep(0)
        batch = self._pending.pop(loop)
        deadline = None if self.timeout is None else loop.time() + self.timeout
        by_level: dict[int, list] = defaultdict(list)
        for level, coords, fut in batch:  # by the resolution each level's chunks hold
            by_level[self.resolution(level)].append((coords, fut))

        async def read(level: int, items: list) -> None:
            # One read of the store: everything it keeps from earlier reads
            # (the layout cache) only shapes its requests.
            try:
                fetcher = Fetcher(self.layout.store, self.stats, self.max_gap, self._support,
                                  deadline, self.timeout)
                got = await compact_chunks(self.layout, fetcher, [(c, None) for c, _ in items],
                                           level, whole=level == 0, cache=self.layout_cache)
            except Exception as exc:  # a timeout: every waiting request gets it
                got = [exc] * len(items)
            except BaseException as exc:
                for _, fut in items:
                    if not fut.done():
                        fut.cancel() if isinstance(exc, asyncio.CancelledError) else fut.set_exception(exc)
                raise
            for (_, fut), data in zip(items, got):
                if not fut.done():
                    fut.set_result(data)

        await asyncio.gather(*[read(level, items) for level, items in by_level.items()])

    def resolution(self, level: int) -> int:
        """The wavelet level whose prefix a chunk of `level` holds."""
        return level - 1 if self.smooth and level > 0 else level

    async def read_chunks(self, keys: list[str]) -> list[bytes | Exception | None]:
        """The outcomes of chunk `keys` of the levels ("k/c/..."), read as one
        batch: each chunk's bytes, None when absent, or the exception naming
        why it cannot be read."""
        futures = []
        for key in keys:
            found = self._chunk_coords(key)
            if found is None:
                fut = asyncio.get_running_loop().create_future()
                fut.set_result(None)
            else:
                fut = self._request(*found)
            futures.append(fut)
        return list(await asyncio.gather(*futures))

    # --- refused ---------------------------------------------------------------

    def _refuse(self, what: str) -> ValueError:
        return ValueError(f"varnel.zarr.MultiscaleStore is read-only: it presents the levels of "
                          f"{self.layout.name} and cannot {what}; write to the stored array")

    async def set(self, key: str, value: Buffer) -> None:
        raise self._refuse(f"set {key!r}")

    async def set_if_not_exists(self, key: str, value: Buffer) -> None:
        raise self._refuse(f"set {key!r}")

    async def set_partial_values(self, key_start_values: Any) -> None:
        raise self._refuse("set values")

    async def delete(self, key: str) -> None:
        raise self._refuse(f"delete {key!r}")

    async def delete_dir(self, prefix: str) -> None:
        raise self._refuse(f"delete {prefix!r}")

    async def clear(self) -> None:
        raise self._refuse("be cleared")

    def with_read_only(self, read_only: bool = False) -> Store:
        if not read_only:
            raise self._refuse("be opened for writing")
        return self

    # --- listing ---------------------------------------------------------------

    def _keys(self) -> Iterable[str]:
        yield from self._docs
        for k in range(self.top + 1):
            for coords in itertools.product(*[range(n) for n in self.layout.grid]):
                yield f"{k}/c/" + "/".join(map(str, coords))

    async def list(self) -> AsyncIterator[str]:
        for key in self._keys():
            yield key

    async def list_prefix(self, prefix: str) -> AsyncIterator[str]:
        for key in self._keys():
            if key.startswith(prefix):
                yield key

    async def list_dir(self, prefix: str) -> AsyncIterator[str]:
        parts = [p for p in prefix.strip("/").split("/") if p]
        if not parts:
            yield "zarr.json"
            for k in range(self.top + 1):
                yield str(k)
            return
        if not parts[0].isdigit() or int(parts[0]) > self.top:
            return
        if len(parts) == 1:
            yield "zarr.json"
            yield "c"
            return
        depth = len(parts) - 2
        if parts[1] == "c" and depth < len(self.layout.grid):
            for i in range(self.layout.grid[depth]):
                yield str(i)

    # --- identity --------------------------------------------------------------

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, MultiscaleStore) and other.layout.store == self.layout.store
                and other.layout.prefix == self.layout.prefix and other.max_gap == self.max_gap
                and other.smooth == self.smooth)

    def __hash__(self) -> int:
        return hash((type(self), self.layout.prefix, self.smooth))

    def __repr__(self) -> str:
        return f"MultiscaleStore({self.layout.name}, levels 0..{self.top}{', smooth' if self.smooth else ''})"

    def __reduce__(self):
        return _rebuild, (self.array, self.max_gap, self.layout_cache.max_bytes, self.timeout, self.smooth)


def levels(array: Any, *, max_gap: int = DEFAULT_MAX_GAP, layout_cache: int = DEFAULT_CACHE_BYTES,
           timeout: float | None = None, smooth: bool = False) -> list[Level]:
    """Levels 0 ... N of a varnel.htj2k array as zarr arrays over one
    `MultiscaleStore`: level k has y and x ceil-divided by 2**k.

    Level k > 0 holds the reduced decode at k (``htj2k_decode_reduced``, the
    5/3 low-pass); with ``smooth=True``, the 2 x 2 means of the reduced
    decode at k - 1 (a mean pyramid's look, about four times the bytes).

    Each level is a `Level`, a zarr array (``dask.array.from_zarr`` takes it)
    whose selections read at once, but for a selection of slices only, one
    of them a bare ``:`` on an axis longer than 1: that gives a lazy
    `LevelView`, read when indexed again or converted by numpy. napari
    slices a level so before it picks the index of the axes it does not
    display, so ``viewer.add_image(levels(a), multiscale=True)`` reads only
    the chunks of the plane and region it shows.

    >>> import numpy as np, zarr, varnel.zarr
    >>> a = zarr.create_array({}, shape=(4, 256, 256), chunks=(1, 128, 128), dtype="uint16",
    ...                       serializer=varnel.zarr.Htj2k(), compressors=None)
    >>> a[...] = 7
    >>> pyramid = varnel.zarr.levels(a)
    >>> view = pyramid[1][:, 0:64, 0:64]      # lazy: nothing read yet
    >>> view.shape, np.asarray(view[2]).shape  # reads plane 2 only
    ((4, 64, 64), (64, 64))
    >>> int(pyramid[2][3, 10, 10])
    7
    """
    store = MultiscaleStore(array, max_gap=max_gap, layout_cache=layout_cache, timeout=timeout,
                            smooth=smooth)
    out = []
    for k in range(store.top + 1):
        # zarr binds its codec pipeline's batch size when it opens an array.
        with zarr.config.set({"codec_pipeline.batch_size": batch_size(store.layout, store.resolution(k))}):
            out.append(Level(zarr.open_array(store, path=str(k), mode="r")._async_array))
    return out


def _defers(selection: Any, shape: tuple[int, ...]) -> bool:
    """Whether `selection` is what a viewer asks before it picks the other
    axes' indices: a slice per axis, one of them a bare ``:`` on an axis
    longer than 1."""
    return (isinstance(selection, tuple) and len(selection) == len(shape)
            and all(type(s) is slice for s in selection)
            and any(s == slice(None) and n > 1 for s, n in zip(selection, shape)))


class Level(zarr.Array):
    """A level of `levels`: a zarr array whose selection of slices with a
    bare ``:`` on an axis longer than 1 is a lazy `LevelView` (every other
    selection reads at once, as zarr's own)."""

    def __getitem__(self, selection: Any) -> Any:
        if _defers(selection, self.shape):
            return LevelView(self, selection)
        return super().__getitem__(selection)


class LevelView:
    """A rectangular selection of a `Level`, not yet read: indexing it reads
    the selection's part (integers and slices with a positive step compose
    with it; anything else indexes what the whole view reads), and so does
    ``np.asarray(view)``."""

    def __init__(self, array: zarr.Array, selection: tuple[slice, ...]) -> None:
        self.array = array
        self.ranges = tuple(range(*s.indices(n)) for s, n in zip(selection, array.shape))

    @property
    def shape(self) -> tuple[int, ...]:
        return tuple(len(r) for r in self.ranges)

    @property
    def dtype(self) -> np.dtype:
        return self.array.dtype

    @property
    def ndim(self) -> int:
        return len(self.ranges)

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    def __len__(self) -> int:
        return self.shape[0]

    def _read(self, ranges: Iterable[range | int]) -> Any:
        selection = tuple(r if isinstance(r, int) else slice(r.start, r.stop if r else r.start, r.step)
                          for r in ranges)
        return zarr.Array.__getitem__(self.array, selection)

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> np.ndarray:
        return np.asarray(self._read(self.ranges), dtype=dtype)

    def __getitem__(self, selection: Any) -> Any:
        composed = _compose(self.ranges, selection)
        if composed is None:
            return np.asarray(self)[selection]
        return self._read(composed)

    def __repr__(self) -> str:
        picked = ", ".join(f"{r.start}:{r.stop}" + (f":{r.step}" if r.step != 1 else "") for r in self.ranges)
        return f"<LevelView [{picked}] of {self.array.path!r}, {self.dtype}, not read>"


def _compose(ranges: tuple[range, ...], selection: Any) -> list[range | int] | None:
    """The view's `ranges` indexed by `selection`, as an integer or range per
    axis of the level; None where the selection is more than integers,
    slices with a positive step and one Ellipsis."""
    sel = selection if isinstance(selection, tuple) else (selection,)
    ellipses = [i for i, s in enumerate(sel) if s is Ellipsis]
    if len(ellipses) > 1:
        return None
    if ellipses:
        i = ellipses[0]
        sel = sel[:i] + (slice(None),) * (len(ranges) - len(sel) + 1) + sel[i + 1:]
    if len(sel) > len(ranges):
        return None
    sel = sel + (slice(None),) * (len(ranges) - len(sel))
    out: list[range | int] = []
    for r, s in zip(ranges, sel):
        if type(s) is slice:
            if s.step is not None and s.step <= 0:
                return None
            out.append(r[s])
        elif isinstance(s, (bool, np.bool_)):
            return None
        else:
            try:
                i = operator.index(s)
            except TypeError:
                return None
            if not -len(r) <= i < len(r):
                raise IndexError(f"index {i} is out of bounds for an axis of length {len(r)}")
            out.append(r[i])
    return out


def batch_size(layout: StoredLayout, k: int) -> int:
    """Chunks of level k that zarr reads and decodes as one batch: as many as
    hold `_BATCH_BYTES` decoded, 1 to `_MAX_BATCH`. zarr asks for the chunks
    of ``async.concurrency`` batches at a time, and the level's codec decodes
    a batch in a few threads (`Htj2kReduced.decode`); one chunk at a time,
    zarr's default, a level of many small chunks is read in many batches of
    requests and decoded on the event loop's thread."""
    f = 1 << k
    shape = layout.chunk_shape[:-2] + (layout.chunk_shape[-2] // f, layout.chunk_shape[-1] // f)
    nbytes = math.prod(shape) * layout.dtype.itemsize
    return max(1, min(_MAX_BATCH, _BATCH_BYTES // max(1, nbytes)))
