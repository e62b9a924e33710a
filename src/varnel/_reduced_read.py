"""Reads a varnel.htj2k zarr v3 array at a reduced resolution: `ReducedReader`.

Every chunk of such an array is an htj2k container whose plane index gives,
for each plane and each resolution, how many leading bytes of the plane's
codestream hold that resolution. So a reader that wants the array at
1/2**reduce of its size needs, per chunk, only the container header, the
index and, for each plane it selects, that many leading bytes. These are
fetched for all chunks of a read at once (`_chunk_reads`: at most three
rounds of requests for a sharded array, two for a plain one; one for chunks
read before, whose layout the reader keeps), packed into a
small container per chunk and decoded with `varnel.htj2k_decode_reduced`.
On stores that cannot serve byte ranges, whole objects are fetched instead.

Public through `varnel.zarr` as `ReducedReader` and `read_reduced`.
"""

from __future__ import annotations

import asyncio
import itertools

import numpy as np
import zarr
from zarr.core.sync import sync

from varnel import _native_calls
from varnel._chunk_reads import compact_chunks, first_error, where
from varnel._fetch import DEFAULT_MAX_GAP, Fetcher, FetchStats, RangeSupport, ReadTimeout
from varnel._layout_cache import DEFAULT_CACHE_BYTES, LayoutCache
from varnel._stored_layout import stored_layout
from varnel._thread_shares import in_shares

__all__ = ["FetchStats", "ReadTimeout", "ReducedReader", "read_reduced"]


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
    as its only codec, plain or inside zarr's sharding codec, and its (inner)
    chunks' y and x extents must be multiples of 2**reduce so that the
    reduced chunks tile the reduced array. Selections are given in reduced
    coordinates. `stats` counts the rounds, requests and bytes fetched since
    the reader was made, against the stored size of the chunks touched.
    `max_gap` is the largest gap between two byte ranges of one object that
    are fetched as one request. `layout_cache` bounds, in bytes, the shard
    indexes and chunk heads the reader keeps from one read to the next (0:
    none), so that a read of chunks read before takes one round of requests;
    they are checked against what each read fetches, never trusted.
    `timeout` (seconds, None: no bound) bounds each read: a read still
    waiting for the store then raises `ReadTimeout`, a `TimeoutError` naming
    the store keys and byte ranges it was waiting for.

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

    def __init__(self, array: zarr.Array, *, max_gap: int = DEFAULT_MAX_GAP,
                 layout_cache: int = DEFAULT_CACHE_BYTES, timeout: float | None = None):
        from varnel._multiscale import _timeout

        self.array = array
        self._layout = stored_layout(array)
        self.max_gap = int(max_gap)
        self.layout_cache = LayoutCache(layout_cache)
        self.timeout = _timeout(timeout)
        self.stats = FetchStats()
        self._support = RangeSupport()

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
        return sync(self._read(int(reduce), ranges, dropped))

    async def _read(self, reduce: int, ranges, dropped) -> np.ndarray:
        lay = self._layout
        f = 1 << reduce
        rchunk = lay.chunk_shape[:-2] + (lay.chunk_shape[-2] // f, lay.chunk_shape[-1] // f)
        out = np.full([len(r) for r in ranges], lay.fill_value, dtype=lay.dtype)
        grids = [range(r.start // c, -(-r.stop // c)) if len(r) else range(0)
                 for r, c in zip(ranges, rchunk)]
        lead = lay.chunk_shape[:-2]
        wanted, places = [], []
        for cc in itertools.product(*grids):
            # The part of the selection inside this chunk, in the chunk's
            # reduced coordinates (src) and in the output's (dst).
            src, dst = [], []
            for c, r, n in zip(cc, ranges, rchunk):
                lo, hi = max(r.start, c * n), min(r.stop, (c + 1) * n)
                src.append(slice(lo - c * n, hi - c * n))
                dst.append(slice(lo - r.start, hi - r.start))
            picked = itertools.product(*[range(s.start, s.stop) for s in src[:-2]])
            planes = [int(np.ravel_multi_index(p, lead)) for p in picked] if lead else [0]
            wanted.append((cc, planes))
            places.append((src, dst))
        loop = asyncio.get_running_loop()
        deadline = None if self.timeout is None else loop.time() + self.timeout
        fetcher = Fetcher(lay.store, self.stats, self.max_gap, self._support, deadline, self.timeout)
        compacts = await compact_chunks(lay, fetcher, wanted, reduce, cache=self.layout_cache)
        first_error(compacts)

        def place(compact, cc, planes, src, dst) -> None:
            plane_shape = (len(planes),) + lay.chunk_shape[-2:]
            try:
                block = _native_calls.decode_htj2k_reduced(compact, plane_shape, lay.dtype, reduce)
            except ValueError as e:
                raise ValueError(f"{where(lay, cc)}: {e}") from e
            block = block.reshape(tuple(s.stop - s.start for s in src[:-2]) + rchunk[-2:])
            out[tuple(dst)] = block[(Ellipsis,) + tuple(src[-2:])]

        # The decodes release the GIL: a few threads, each taking its share of
        # the chunks (a thread hop per chunk costs more than a small decode).
        jobs = [(c, *w, *p) for c, w, p in zip(compacts, wanted, places) if c is not None]
        await in_shares(lambda job: place(*job), jobs)
        return out[tuple(0 if d else slice(None) for d in dropped)]


def read_reduced(array: zarr.Array, reduce: int, selection=None) -> np.ndarray:
    """`ReducedReader(array).read(reduce, selection)`."""
    return ReducedReader(array).read(reduce, selection)
