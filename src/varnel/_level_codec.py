"""The zarr v3 codec of the reduced levels that `MultiscaleStore` presents.

``varnel.htj2k_reduced`` (configuration ``{"reduce": k}``) decodes a chunk
of level k of a varnel.htj2k array: a compacted htj2k container
(`varnel._container`) of the stored chunk, whose planes decode at `reduce`
levels below full resolution into the level's chunk shape. With
``"smooth": true`` the container holds the resolution one level finer
(``reduce - 1``), whose 2 x 2 means (`mean2`) make the level's chunk: a
level that looks like a stored mean pyramid's, for four times the bytes. It is read-only:
it exists to decode what a `MultiscaleStore` serves, and it is registered
through the ``zarr.codecs`` entry points like varnel's other codecs, so
plain zarr decodes the levels in any process where varnel is installed.

zarr hands a batch of chunks to `decode_partial` with the store keys they
come from: over a `MultiscaleStore` the batch is read from the stored array
as one read (`MultiscaleStore.read_chunks`: each shard index and, from a
store without byte ranges, each object once), and an error names the level
chunk and the stored chunk it comes from.
"""

from __future__ import annotations

import asyncio
import operator
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np
from zarr.abc.codec import ArrayBytesCodec, ArrayBytesCodecPartialDecodeMixin

from varnel import _config, _container, _native_calls
from varnel._thread_shares import in_shares

if TYPE_CHECKING:
    from typing import Self

    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

HTJ2K_REDUCED = "varnel.htj2k_reduced"
#: The attribute of a chunk's buffer that names where it comes from (set by the store).
SOURCE = "_varnel_source"
#: Batches of chunks up to this size decode on the event loop's thread (some 100 us).
_INLINE_BYTES = 16 << 10


def mean2(a: np.ndarray) -> np.ndarray:
    """2 x 2 means of the trailing two axes, in `a`'s dtype: integers
    rounded half up (floor((a + b + c + d + 2) / 4)), floats as they come.
    An odd trailing row or column averages the samples it has."""
    if a.shape[-2] % 2 or a.shape[-1] % 2:
        pad = [(0, 0)] * (a.ndim - 2) + [(0, a.shape[-2] % 2), (0, a.shape[-1] % 2)]
        a = np.pad(a, pad, mode="edge")
    wide = np.float64 if a.dtype.kind == "f" else np.int64
    s = (a[..., ::2, ::2].astype(wide) + a[..., 1::2, ::2] + a[..., ::2, 1::2] + a[..., 1::2, 1::2])
    if a.dtype.kind == "f":
        return (s / 4).astype(a.dtype)
    return ((s + 2) >> 2).astype(a.dtype)


@dataclass(frozen=True)
class Htj2kReduced(ArrayBytesCodec, ArrayBytesCodecPartialDecodeMixin):
    """Decodes the chunks of a reduced level of a varnel.htj2k array.

    Parameters
    ----------
    reduce : int
        Wavelet levels below full resolution, 0 to 32: a chunk of level
        shape (..., y, x) holds a stored chunk of (..., y * 2**reduce,
        x * 2**reduce).
    smooth : bool
        The chunk holds resolution ``reduce - 1`` (``reduce`` >= 1), and
        its 2 x 2 means (`mean2`) are the level's values.
    """

    codec_name: ClassVar[str] = HTJ2K_REDUCED
    is_fixed_size = False

    reduce: int = 0
    smooth: bool = False

    def __init__(self, *, reduce: int = 0, smooth: bool = False) -> None:
        if isinstance(reduce, bool):
            raise TypeError(f"{HTJ2K_REDUCED}: reduce must be an int, not bool")
        value = operator.index(reduce)
        if not 0 <= value <= _container.MAX_LEVELS:
            raise ValueError(f"{HTJ2K_REDUCED}: reduce {value} is outside 0..={_container.MAX_LEVELS}")
        if not isinstance(smooth, bool):
            raise TypeError(f"{HTJ2K_REDUCED}: smooth must be true or false, not {smooth!r}")
        if smooth and value == 0:
            raise ValueError(f"{HTJ2K_REDUCED}: smooth needs reduce >= 1 (level 0 is the stored chunk)")
        object.__setattr__(self, "reduce", value)
        object.__setattr__(self, "smooth", smooth)

    def to_dict(self) -> dict[str, Any]:
        configuration: dict[str, Any] = {"reduce": self.reduce}
        if self.smooth:
            configuration["smooth"] = True
        return {"name": HTJ2K_REDUCED, "configuration": configuration}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        if not isinstance(data, Mapping) or data.get("name") != HTJ2K_REDUCED:
            raise ValueError(f"{HTJ2K_REDUCED}: expected a codec named {HTJ2K_REDUCED!r}, got {data!r}")
        configuration = data.get("configuration") or {}
        _config.refuse_unknown_keys(HTJ2K_REDUCED, configuration, ("reduce", "smooth"))
        return cls(**configuration)

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        _config.element_type(_config.HTJ2K, dtype.to_native_dtype())

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec,
                     source: str | None = None) -> NDBuffer:
        return chunk_spec.prototype.nd_buffer.from_numpy_array(
            self._decode_array(chunk_bytes.as_numpy_array(), chunk_spec,
                               source or getattr(chunk_bytes, SOURCE, None)))

    def _decode_array(self, data: Any, chunk_spec: ArraySpec, source: str | None) -> Any:
        declared = chunk_spec.dtype.to_native_dtype()
        dtype = _config.element_type(_config.HTJ2K, declared)
        shape = tuple(chunk_spec.shape)
        f = 1 << self.reduce
        stored = shape[:-2] + (shape[-2] * f, shape[-1] * f)
        try:
            array = _native_calls.decode_htj2k_reduced(data, stored, dtype, self.reduce - self.smooth)
        except ValueError as exc:
            what = f"chunk {source}" if source else None
            raise (ValueError(f"{HTJ2K_REDUCED}: cannot decode {what}: {exc}") if what else
                   _config.chunk_error(HTJ2K_REDUCED, "decode", shape, dtype, exc)) from exc
        if self.smooth:
            array = mean2(array)
        if declared != dtype:
            array = array.astype(declared)
        return array

    async def decode_partial(self, batch_info: Iterable[tuple[Any, Any, ArraySpec]]) -> list[NDBuffer | None]:
        """The selections of a batch of chunks: read together where they come
        from a `MultiscaleStore` (one read of the stored array), else each
        fetched whole; decoded in a few threads."""
        items = list(batch_info)
        datas: list[Any] = [None] * len(items)
        names: list[str | None] = [None] * len(items)
        by_store: dict[int, list[int]] = {}
        for j, (getter, _, _) in enumerate(items):
            store = getattr(getter, "store", None)
            if callable(getattr(store, "read_chunks", None)):
                by_store.setdefault(id(store), []).append(j)
        others = [j for j in range(len(items)) if all(j not in v for v in by_store.values())]

        async def from_store(idx: list[int]) -> None:
            store = items[idx[0]][0].store
            keys = [items[j][0].path for j in idx]
            for j, key, got in zip(idx, keys, await store.read_chunks(keys)):
                datas[j], names[j] = got, store.describe(key)

        async def alone(j: int) -> None:
            getter, _, chunk_spec = items[j]
            buf = await getter.get(prototype=chunk_spec.prototype)
            datas[j] = None if buf is None else buf.as_numpy_array()

        await asyncio.gather(*[from_store(idx) for idx in by_store.values()],
                             *[alone(j) for j in others])
        for got in datas:
            if isinstance(got, BaseException):
                raise got

        def one(j: int) -> Any:
            data, (_, selection, chunk_spec) = datas[j], items[j]
            if data is None:
                return None
            if isinstance(data, bytes):
                data = np.frombuffer(data, np.uint8)
            array = self._decode_array(data, chunk_spec, names[j])[selection]
            return chunk_spec.prototype.nd_buffer.from_numpy_array(array)

        small = sum(len(d) for d in datas if d is not None) <= _INLINE_BYTES
        return await in_shares(one, range(len(items)), inline=small)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return (await self.decode([(chunk_bytes, chunk_spec)]))[0]

    async def decode(self, chunks_and_specs: Iterable[tuple[Buffer | None, ArraySpec]]) -> list[NDBuffer | None]:
        """A batch of chunks (zarr hands over ``codec_pipeline.batch_size``
        at a time), decoded in a few threads that each take a share; a batch
        of at most `_INLINE_BYTES` on the event loop's thread, where a thread
        hop would cost more than the decodes."""
        items = list(chunks_and_specs)
        small = sum(len(b) for b, _ in items if b is not None) <= _INLINE_BYTES
        return await in_shares(lambda item: None if item[0] is None else self._decode_sync(*item),
                               items, inline=small)

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        raise ValueError(f"{HTJ2K_REDUCED} only decodes: the levels of a varnel.zarr.MultiscaleStore "
                         "are read-only")

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        return self._encode_sync(chunk_array, chunk_spec)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError(f"{HTJ2K_REDUCED} output size depends on the chunk's values")
