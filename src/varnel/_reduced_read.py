"""Reads a varnel.htj2k zarr v3 array at a reduced resolution.

Every chunk of such an array is an htj2k container whose plane index gives,
for each plane and each resolution, how many leading bytes of the plane's
codestream hold that resolution. So a reader that wants the array at
1/2**reduce of its size needs, per chunk, only the container header, the
index and, for each plane it selects, that many leading bytes. On stores that
serve byte ranges (local files, fsspec and object stores) these are the only
bytes fetched; they are packed into a small container of their own and
decoded with `varnel.htj2k_decode_reduced`.

Public through `varnel.zarr` as `ReducedReader` and `read_reduced`.
"""

from __future__ import annotations

import asyncio
import itertools
import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import zarr
from zarr.abc.store import RangeByteRequest
from zarr.core.buffer import default_buffer_prototype
from zarr.core.sync import sync

from varnel import htj2k_chunk_ranges, htj2k_compact_chunk, htj2k_decode_reduced


@dataclass
class FetchStats:
    """Bytes a reduced read fetched, against what a full read of the same
    chunks would fetch."""

    bytes_fetched: int = 0
    bytes_full: int = 0
    requests: int = 0
    chunks: int = 0

    @property
    def fraction(self) -> float:
        return self.bytes_fetched / self.bytes_full if self.bytes_full else 0.0


@dataclass
class _Layout:
    chunk_shape: tuple[int, ...]
    levels: int
    dtype: np.dtype
    fill_value: Any
    store: Any
    prefix: str
    key: Any  # chunk coordinates -> chunk key
    extra: dict = field(default_factory=dict)


def _htj2k_layout(array: zarr.Array) -> _Layout:
    """The array's chunking and codec settings, or ValueError when the array is
    not one plain varnel.htj2k array (one chunk per store key, no other codec)."""
    from varnel.zarr import Htj2k  # late: varnel.zarr imports this module

    meta = array.metadata
    name = f"array {array.path or '/'!r}"
    if getattr(meta, "zarr_format", 3) != 3:
        raise ValueError(f"{name}: reduced reads need a zarr v3 array")
    codecs = tuple(meta.codecs)
    if len(codecs) != 1 or not isinstance(codecs[0], Htj2k):
        names = ", ".join(type(c).__name__ for c in codecs)
        raise ValueError(f"{name}: reduced reads need varnel.htj2k as the only codec "
                         f"(sharding and other codecs are read at full resolution), not {names}")
    config = codecs[0].to_dict()["configuration"]
    if not config.get("index", True):
        raise ValueError(f"{name}: its varnel.htj2k chunks have no plane index (index=False)")
    chunk_shape = tuple(int(c) for c in meta.chunk_grid.chunk_shape)
    return _Layout(chunk_shape=chunk_shape, levels=int(config.get("xy_levels", 5)),
                   dtype=np.dtype(array.dtype), fill_value=meta.fill_value,
                   store=array.store_path.store, prefix=array.store_path.path,
                   key=meta.encode_chunk_key)


def _normalize(selection, shape: tuple[int, ...]) -> tuple[list[range], list[bool]]:
    """Basic selection (ints, unit-step slices, one Ellipsis) -> a range per
    dimension and which dimensions an int dropped."""
    if selection is None:
        selection = (Ellipsis,)
    if not isinstance(selection, tuple):
        selection = (selection,)
    if sum(s is Ellipsis for s in selection) > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    if Ellipsis in selection:
        i = selection.index(Ellipsis)
        fill = len(shape) - (len(selection) - 1)
        selection = selection[:i] + (slice(None),) * fill + selection[i + 1:]
    if len(selection) > len(shape):
        raise IndexError(f"too many indices for an array of {len(shape)} dimensions")
    selection = selection + (slice(None),) * (len(shape) - len(selection))
    ranges, dropped = [], []
    for s, n in zip(selection, shape):
        if isinstance(s, (int, np.integer)):
            k = int(s) + n if s < 0 else int(s)
            if not 0 <= k < n:
                raise IndexError(f"index {int(s)} is out of bounds for an axis of size {n}")
            ranges.append(range(k, k + 1))
            dropped.append(True)
        elif isinstance(s, slice):
            start, stop, step = s.indices(n)
            if step != 1:
                raise IndexError("reduced reads take slices with step 1 only")
            ranges.append(range(start, max(start, stop)))
            dropped.append(False)
        else:
            raise IndexError(f"reduced reads take ints, slices and Ellipsis, not {type(s).__name__}")
    return ranges, dropped


class ReducedReader:
    """Reads a varnel.htj2k zarr v3 array at 1/2**reduce of its size in y and x.

    The array must use `varnel.zarr.Htj2k` (with its plane index, the default)
    as its only codec, and its chunks' y and x extents must be multiples of
    2**reduce so that the reduced chunks tile the reduced array. Selections
    are given in reduced coordinates. `stats` counts the bytes fetched since
    the reader was made, against the stored size of the chunks touched.

    >>> import numpy as np, zarr, varnel.zarr
    >>> a = zarr.create_array(zarr.storage.MemoryStore(), shape=(2, 256, 256), chunks=(1, 128, 128),
    ...                       dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None)
    >>> a[...] = np.arange(2 * 256 * 256, dtype=np.uint16).reshape(a.shape)
    >>> reader = varnel.zarr.ReducedReader(a)
    >>> reader.shape(2)
    (2, 64, 64)
    >>> reader.read(2, (0, slice(0, 32))).shape
    (32, 64)
    """

    def __init__(self, array: zarr.Array):
        self.array = array
        self._layout = _htj2k_layout(array)
        self.stats = FetchStats()

    def shape(self, reduce: int) -> tuple[int, ...]:
        """The array's shape at `reduce`: y and x ceil-divided by 2**reduce."""
        self._check_reduce(reduce)
        s = tuple(self.array.shape)
        f = 1 << reduce
        return s[:-2] + (-(-s[-2] // f), -(-s[-1] // f))

    def _check_reduce(self, reduce: int) -> None:
        levels = self._layout.levels
        if isinstance(reduce, bool) or not isinstance(reduce, (int, np.integer)):
            raise TypeError(f"reduce must be an int, not {type(reduce).__name__}")
        if not 0 <= reduce <= levels:
            raise ValueError(f"reduce {reduce} is outside 0..={levels}, the xy_levels of "
                             f"array {self.array.path or '/'!r}")
        cy, cx = self._layout.chunk_shape[-2:]
        if cy % (1 << reduce) or cx % (1 << reduce):
            raise ValueError(f"chunk extents ({cy}, {cx}) are not multiples of 2**{reduce}: the "
                             f"reduced chunks would not tile the reduced array")

    def read(self, reduce: int, selection=None) -> np.ndarray:
        """The selection (ints, unit-step slices, Ellipsis; reduced coordinates)
        of the array at resolution xy_levels - reduce."""
        shape = self.shape(reduce)
        ranges, dropped = _normalize(selection, shape)
        return sync(self._read(reduce, shape, ranges, dropped))

    async def _read(self, reduce: int, shape, ranges, dropped) -> np.ndarray:
        lay = self._layout
        f = 1 << reduce
        rchunk = lay.chunk_shape[:-2] + (lay.chunk_shape[-2] // f, lay.chunk_shape[-1] // f)
        out = np.full([len(r) for r in ranges], lay.fill_value, dtype=lay.dtype)
        grids = [range(r.start // c, -(-r.stop // c)) if len(r) else range(0)
                 for r, c in zip(ranges, rchunk)]
        jobs = []
        for coords in np.ndindex(*[len(g) for g in grids]):
            cc = tuple(g[i] for g, i in zip(grids, coords))
            jobs.append(self._read_chunk(cc, reduce, rchunk, ranges, out))
        await asyncio.gather(*jobs)
        return out[tuple(0 if d else slice(None) for d in dropped)]

    async def _read_chunk(self, cc, reduce, rchunk, ranges, out) -> None:
        lay = self._layout
        key = lay.key(cc)
        path = f"{lay.prefix}/{key}" if lay.prefix else key
        proto = default_buffer_prototype()
        # The part of the selection inside this chunk, in the chunk's reduced
        # coordinates (src) and in the output's (dst).
        src, dst = [], []
        for c, r, n in zip(cc, ranges, rchunk):
            lo, hi = max(r.start, c * n), min(r.stop, (c + 1) * n)
            src.append(slice(lo - c * n, hi - c * n))
            dst.append(slice(lo - r.start, hi - r.start))
        lead = lay.chunk_shape[:-2]
        index_end = 8 + 4 * len(lay.chunk_shape) + math.prod(lead) * (16 + 4 * lay.levels)
        head = await lay.store.get(path, proto, byte_range=RangeByteRequest(0, index_end))
        if head is None:
            return  # an unwritten chunk reads as the fill value, already in `out`
        head = head.to_bytes()
        full = await lay.store.getsize(path)
        self.stats.requests += 1
        self.stats.chunks += 1
        self.stats.bytes_full += full
        self.stats.bytes_fetched += len(head)
        where = f"varnel.htj2k chunk {path!r}"
        try:
            found = htj2k_chunk_ranges(head, reduce)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from e
        if found.shape != lay.chunk_shape or found.xy_levels != lay.levels:
            raise ValueError(f"{where}: its header (shape {list(found.shape)}, xy_levels "
                             f"{found.xy_levels}) does not match the array's chunk shape and codec")
        # Planes of this chunk the selection touches, in C order.
        picked = itertools.product(*[range(s.start, s.stop) for s in src[:-2]])
        planes = [int(np.ravel_multi_index(p, lead)) for p in picked] if lead else [0]
        spans = [found.ranges[k] for k in planes]
        if any(o + n > full for o, n in spans):
            raise ValueError(f"{where}: its plane index points beyond the chunk's {full} bytes")
        bodies = await asyncio.gather(*[
            lay.store.get(path, proto, byte_range=RangeByteRequest(o, o + n)) for o, n in spans])
        self.stats.requests += len(bodies)
        bodies = [b"" if b is None else b.to_bytes() for b in bodies]
        self.stats.bytes_fetched += sum(len(b) for b in bodies)
        try:
            compact = htj2k_compact_chunk(head, bodies, reduce, planes)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from e
        plane_shape = (len(planes),) + lay.chunk_shape[-2:]
        try:
            data = await asyncio.to_thread(htj2k_decode_reduced, compact, plane_shape,
                                           lay.dtype.name, reduce)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from e
        block = np.frombuffer(data, dtype=lay.dtype).reshape(
            tuple(s.stop - s.start for s in src[:-2]) + rchunk[-2:])
        out[tuple(dst)] = block[(Ellipsis,) + tuple(src[-2:])]


def read_reduced(array: zarr.Array, reduce: int, selection=None) -> np.ndarray:
    """`ReducedReader(array).read(reduce, selection)`."""
    return ReducedReader(array).read(reduce, selection)
