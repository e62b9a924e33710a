"""The zarr v3 codec of the reduced levels that `MultiscaleStore` presents.

``varnel.htj2k_reduced`` (configuration ``{"reduce": k}``) decodes a chunk
of level k of a varnel.htj2k array: a compacted htj2k container
(`varnel._container`) of the stored chunk, whose planes decode at `reduce`
levels below full resolution into the level's chunk shape. It is read-only:
it exists to decode what a `MultiscaleStore` serves, and it is registered
through the ``zarr.codecs`` entry points like varnel's other codecs, so
plain zarr decodes the levels in any process where varnel is installed.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar

from zarr.abc.codec import ArrayBytesCodec

from varnel import _config, _container, _native_calls
from varnel._thread_shares import in_shares

if TYPE_CHECKING:
    from typing import Self

    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

HTJ2K_REDUCED = "varnel.htj2k_reduced"
#: Batches of chunks up to this size decode on the event loop's thread (some 100 us).
_INLINE_BYTES = 16 << 10


@dataclass(frozen=True)
class Htj2kReduced(ArrayBytesCodec):
    """Decodes the chunks of a reduced level of a varnel.htj2k array.

    Parameters
    ----------
    reduce : int
        Wavelet levels below full resolution, 0 to 32: a chunk of level
        shape (..., y, x) holds a stored chunk of (..., y * 2**reduce,
        x * 2**reduce).
    """

    codec_name: ClassVar[str] = HTJ2K_REDUCED
    is_fixed_size = False

    reduce: int = 0

    def __init__(self, *, reduce: int = 0) -> None:
        if isinstance(reduce, bool):
            raise TypeError(f"{HTJ2K_REDUCED}: reduce must be an int, not bool")
        value = operator.index(reduce)
        if not 0 <= value <= _container.MAX_LEVELS:
            raise ValueError(f"{HTJ2K_REDUCED}: reduce {value} is outside 0..={_container.MAX_LEVELS}")
        object.__setattr__(self, "reduce", value)

    def to_dict(self) -> dict[str, Any]:
        return {"name": HTJ2K_REDUCED, "configuration": {"reduce": self.reduce}}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        if not isinstance(data, Mapping) or data.get("name") != HTJ2K_REDUCED:
            raise ValueError(f"{HTJ2K_REDUCED}: expected a codec named {HTJ2K_REDUCED!r}, got {data!r}")
        configuration = data.get("configuration") or {}
        _config.refuse_unknown_keys(HTJ2K_REDUCED, configuration, ("reduce",))
        return cls(**configuration)

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        _config.element_type(_config.HTJ2K, dtype.to_native_dtype())

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        declared = chunk_spec.dtype.to_native_dtype()
        dtype = _config.element_type(_config.HTJ2K, declared)
        shape = tuple(chunk_spec.shape)
        f = 1 << self.reduce
        stored = shape[:-2] + (shape[-2] * f, shape[-1] * f)
        try:
            array = _native_calls.decode_htj2k_reduced(chunk_bytes.as_numpy_array(), stored, dtype,
                                                       self.reduce)
        except ValueError as exc:
            raise _config.chunk_error(HTJ2K_REDUCED, "decode", shape, dtype, exc) from exc
        if declared != dtype:
            array = array.astype(declared)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(array)

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
