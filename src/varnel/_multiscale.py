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
concurrently) are read together
(`_chunk_reads`): each shard index once, then one range from each chunk's
start (header, index and an estimate of its prefix), then only what the
estimates missed, with nearby ranges merged. The shard indexes stay while chunk
requests keep arriving (the batches of one zarr read; until 0.2 s without
one), so a read fetches each shard's index once. The store keeps the shard
indexes and chunk heads it read (`_layout_cache`, shared by its levels): a
later read asks for the chunks where they lay together with the shard
indexes, in one round, and uses what the fresh indexes confirm.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import math
import time
from collections import defaultdict
from collections.abc import AsyncIterator, Iterable
from typing import Any

import zarr
from zarr.abc.store import ByteRequest, OffsetByteRequest, RangeByteRequest, Store, SuffixByteRequest
from zarr.core.buffer import Buffer, BufferPrototype

from varnel._chunk_reads import compact_chunks
from varnel._fetch import DEFAULT_MAX_GAP, Fetcher, FetchStats
from varnel._layout_cache import DEFAULT_CACHE_BYTES, LayoutCache
from varnel._level_codec import HTJ2K_REDUCED
from varnel._stored_layout import StoredLayout, stored_layout

OME_VERSION = "0.5"
_IDLE = 0.2  # seconds without a chunk request that end a read
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


def _rebuild(array: Any, max_gap: int, layout_cache: int = DEFAULT_CACHE_BYTES) -> MultiscaleStore:
    return MultiscaleStore(array, max_gap=max_gap, layout_cache=layout_cache)


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
    `stats` counts what was fetched.

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
                 layout_cache: int = DEFAULT_CACHE_BYTES) -> None:
        super().__init__(read_only=True)
        self.array = array
        self.layout = stored_layout(array)
        self.max_gap = int(max_gap)
        self.layout_cache = LayoutCache(layout_cache)
        self.top = top_level(self.layout)
        self.stats = FetchStats()
        self._name = name if name is not None else (array.path or "image")
        self._docs = self._metadata()
        self._pending: dict[Any, list] = {}
        self._tasks: set = set()
        # Shard indexes fetched by this read: zarr asks for async.concurrency
        # chunks at a time and decodes them before it asks for more, so one
        # read arrives as batches; the indexes are kept while chunk requests
        # keep coming, and dropped once none has come for _IDLE seconds.
        self._indexes: dict[str, Any] = {}
        self._active = 0
        self._last = 0.0

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
                "type": "htj2k wavelet (reversible 5/3 low-pass)",
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
                             [{"name": HTJ2K_REDUCED, "configuration": {"reduce": k}}])
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
        return None if data is None else prototype.buffer.from_bytes(_sliced(data, byte_range))

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
        loop = asyncio.get_running_loop()
        fut = loop.create_future()
        batch = self._pending.get(loop)
        if batch is None:
            batch = self._pending[loop] = []
            task = loop.create_task(self._flush(loop))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)
        batch.append((level, coords, fut))
        self._active += 1
        self._last = time.monotonic()
        try:
            return await fut
        finally:
            self._active -= 1
            if not self._active and self._indexes:
                loop.call_later(_IDLE, self._idle)

    def _idle(self) -> None:
        if not self._active and time.monotonic() - self._last >= _IDLE * 0.99:
            self._indexes.clear()

    async def _flush(self, loop: Any) -> None:
        for _ in range(4):  # let the requests issued together join the batch
            await asyncio.sleep(0)
        batch = self._pending.pop(loop)
        by_level: dict[int, list] = defaultdict(list)
        for level, coords, fut in batch:
            by_level[level].append((coords, fut))

        async def read(level: int, items: list) -> None:
            try:
                fetcher = Fetcher(self.layout.store, self.stats, self.max_gap)
                got = await compact_chunks(self.layout, fetcher, [(c, None) for c, _ in items],
                                           level, whole=level == 0, shard_indexes=self._indexes,
                                           cache=self.layout_cache)
            except BaseException as exc:  # every waiting request gets the error
                for _, fut in items:
                    if not fut.done():
                        fut.set_exception(exc)
                return
            for (_, fut), data in zip(items, got):
                if not fut.done():
                    fut.set_result(data)

        await asyncio.gather(*[read(level, items) for level, items in by_level.items()])

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
                and other.layout.prefix == self.layout.prefix and other.max_gap == self.max_gap)

    def __hash__(self) -> int:
        return hash((type(self), self.layout.prefix))

    def __repr__(self) -> str:
        return f"MultiscaleStore({self.layout.name}, levels 0..{self.top})"

    def __reduce__(self):
        return _rebuild, (self.array, self.max_gap, self.layout_cache.max_bytes)


def levels(array: Any, *, max_gap: int = DEFAULT_MAX_GAP,
           layout_cache: int = DEFAULT_CACHE_BYTES) -> list[zarr.Array]:
    """Levels 0 ... N of a varnel.htj2k array as zarr arrays over one
    `MultiscaleStore`: level k has y and x ceil-divided by 2**k.

    This is the list napari takes as a multiscale image
    (``viewer.add_image(levels(a), multiscale=True)``), and each level is an
    array that ``dask.array.from_zarr`` takes.
    """
    store = MultiscaleStore(array, max_gap=max_gap, layout_cache=layout_cache)
    out = []
    for k in range(store.top + 1):
        # zarr binds its codec pipeline's batch size when it opens an array.
        with zarr.config.set({"codec_pipeline.batch_size": batch_size(store.layout, k)}):
            out.append(zarr.open_array(store, path=str(k), mode="r"))
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
