"""Zarr v3 codecs: ``Htj2k`` and ``Zfp``, array-to-bytes codecs.

They appear in array metadata as ``"varnel.htj2k"`` and ``"varnel.zfp"`` and
are registered with zarr through the ``zarr.codecs`` entry-point group, so an
array written in one process opens by path in any other where varnel is
installed. Importing this module registers them as well.

Each codec takes the keyword arguments of its module function as its
configuration; a bad value is refused when the codec is built, with the module
function's own exception. ``validate`` refuses an array whose dtype or chunk
shape the codec cannot code when the array is created. Chunks are coded off
the event loop in worker threads (the native code releases the interpreter
lock, so chunks code in parallel), and the synchronous methods that zarr's
fused pipeline and the sharding codec call are provided too. A chunk that
cannot be decoded raises ``ValueError`` naming the codec, the chunk's shape
and dtype, and the reason.

>>> import numpy as np, zarr
>>> from varnel.zarr import Htj2k, Zfp
>>> a = zarr.create_array({}, shape=(3, 100, 100), chunks=(1, 64, 64), dtype="uint16",
...                       serializer=Htj2k(), compressors=None)
>>> a[:] = np.arange(30000, dtype="uint16").reshape(3, 100, 100)
>>> int(a[2, 99, 99])
29999
>>> a.metadata.codecs[0].to_dict()
{'name': 'varnel.htj2k', 'configuration': {'xy_levels': 5, 'progression': 'RPCL', 'index': True, 'checksums': True}}
"""

from __future__ import annotations

import asyncio
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np
from zarr.abc.codec import ArrayBytesCodec
from zarr.registry import register_codec

from varnel import _config, _native_calls
from varnel._level_codec import SOURCE, Htj2kReduced
from varnel._multiscale import Level, LevelView, MultiscaleStore, levels
from varnel._reduced_read import FetchStats, ReadTimeout, ReducedReader, read_reduced

if TYPE_CHECKING:
    from typing import Self

    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

__all__ = ["FetchStats", "Htj2k", "Htj2kReduced", "Level", "LevelView", "MultiscaleStore", "ReadTimeout",
           "ReducedReader", "Zfp", "levels", "read_reduced"]


def _largest_chunk(shape: tuple[int, ...], chunk_grid: Any) -> tuple[int, ...]:
    """The largest extent of any chunk along each dimension."""
    regular = getattr(chunk_grid, "chunk_shape", None)
    if regular is not None:
        return tuple(int(e) for e in regular)
    per_dim = getattr(chunk_grid, "chunk_shapes", None)  # a rectilinear grid
    if per_dim is not None:
        return tuple(int(s) if isinstance(s, int) else max(int(e) for e in s) for s in per_dim)
    return tuple(int(e) for e in shape)


class _VarnelCodec(ArrayBytesCodec):
    """What the two codecs share: configuration dictionaries, validation,
    and the synchronous and asynchronous encode and decode paths."""

    codec_name: ClassVar[str]
    config_keys: ClassVar[tuple[str, ...]]
    is_fixed_size = False

    # --- configuration ---------------------------------------------------------

    def _configuration(self) -> dict[str, Any]:
        cfg = {k: getattr(self, k) for k in self.config_keys}
        return {k: v for k, v in cfg.items() if v is not None}

    def to_dict(self) -> dict[str, Any]:
        return {"name": self.codec_name, "configuration": self._configuration()}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        if not isinstance(data, Mapping) or data.get("name") != cls.codec_name:
            raise ValueError(f"{cls.codec_name}: expected a codec named {cls.codec_name!r}, got {data!r}")
        configuration = data.get("configuration") or {}
        if not isinstance(configuration, Mapping):
            raise TypeError(f"{cls.codec_name}: configuration must be a mapping, got {configuration!r}")
        _config.refuse_unknown_keys(cls.codec_name, configuration, cls.config_keys)
        return cls(**configuration)

    # --- array checks ----------------------------------------------------------

    def _chunk_problem(self, chunk_shape: tuple[int, ...]) -> str | None:
        raise NotImplementedError

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        """Refuses an array whose dtype or chunks this codec cannot code."""
        _config.element_type(self.codec_name, dtype.to_native_dtype())
        problem = self._chunk_problem(_largest_chunk(shape, chunk_grid))
        if problem is not None:
            raise ValueError(f"{self.codec_name}: {problem}")

    # --- coding ----------------------------------------------------------------

    def _encode_array(self, array: np.ndarray, dtype: np.dtype) -> bytes:
        raise NotImplementedError

    def _explained(self, exc: ValueError, dtype: np.dtype) -> str:
        """The reason an encode failed, as the message will give it."""
        return str(exc)

    def _decode_array(self, data: np.ndarray, shape: tuple[int, ...], dtype: np.dtype) -> np.ndarray:
        raise NotImplementedError

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        declared = chunk_spec.dtype.to_native_dtype()
        dtype = _config.element_type(self.codec_name, declared)
        array = np.asarray(chunk_array.as_numpy_array())
        if array.dtype != dtype:
            array = array.astype(dtype)
        try:
            data = self._encode_array(array, dtype)
        except ValueError as exc:
            raise _config.chunk_error(self.codec_name, "encode", array.shape, dtype, self._explained(exc, dtype)) from exc
        return chunk_spec.prototype.buffer.from_bytes(data)

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        declared = chunk_spec.dtype.to_native_dtype()
        dtype = _config.element_type(self.codec_name, declared)
        shape = tuple(chunk_spec.shape)
        try:
            array = self._decode_array(chunk_bytes.as_numpy_array(), shape, dtype)
        except ValueError as exc:
            source = getattr(chunk_bytes, SOURCE, None)  # set by a MultiscaleStore
            if source:
                raise ValueError(f"{self.codec_name}: cannot decode chunk {source}: {exc}") from exc
            raise _config.chunk_error(self.codec_name, "decode", shape, dtype, exc) from exc
        if declared != dtype:
            array = array.astype(declared)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(array)

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError(f"{self.codec_name} output size depends on the chunk's values")


@dataclass(frozen=True)
class Htj2k(_VarnelCodec):
    """Lossless HTJ2K (JPEG 2000 Part 15) of every 2-D plane of a chunk.

    The planes are the chunk's two trailing dimensions; integer dtypes
    uint8, int8, uint16, int16, uint32 and int32, in arrays of two or more
    dimensions; every value of each at every ``xy_levels``.

    Parameters
    ----------
    xy_levels : int
        Wavelet decomposition levels per plane, 0 to 32.
    progression : str
        Progression order: "LRCP", "RLCP", "RPCL", "PCRL" or "CPRL".
    index : bool
        Write the per-plane resolution index (and PLT/TLM marker segments).
    checksums : bool
        Write a CRC-32C of every resolution prefix of every plane into the
        index, which every decode then checks, a reduced read included (it
        refuses bytes that are not those the index was written for). Needs
        ``index``; by default on exactly when ``index`` is. A recorded
        configuration without the key (an array written before checksums
        existed) reads as ``checksums=False`` and its chunks stay without.
        Releases of varnel before checksums refuse the key, and the chunks.

    Examples
    --------
    >>> import numpy as np, zarr
    >>> from varnel.zarr import Htj2k
    >>> img = np.random.default_rng(0).integers(0, 4096, (512, 512), dtype=np.uint16)
    >>> a = zarr.create_array({}, shape=img.shape, chunks=(256, 256), dtype=img.dtype,
    ...                       serializer=Htj2k(xy_levels=4), compressors=None)
    >>> a[:] = img
    >>> bool((a[:] == img).all())
    True

    As the inner codec of a sharded array:

    >>> s = zarr.create_array({}, shape=img.shape, chunks=(128, 128), shards=(512, 512),
    ...                       dtype=img.dtype, serializer=Htj2k(), compressors=None)
    >>> s[:] = img
    >>> bool((s[:] == img).all())
    True

    A bad setting fails as the module function fails:

    >>> Htj2k(progression="rpcl")
    Traceback (most recent call last):
    ...
    ValueError: unsupported: htj2k: unknown progression order "rpcl"
    (while building the varnel.htj2k codec)
    """

    codec_name: ClassVar[str] = _config.HTJ2K
    config_keys: ClassVar[tuple[str, ...]] = _config.HTJ2K_KEYS

    xy_levels: int = 5
    progression: str = "RPCL"
    index: bool = True
    checksums: bool = True

    def __init__(self, *, xy_levels: int = 5, progression: str = "RPCL", index: bool = True,
                 checksums: bool | None = None) -> None:
        cfg = _config.htj2k_config(xy_levels=xy_levels, progression=progression, index=index,
                                   checksums=checksums)
        for key, value in cfg.items():
            object.__setattr__(self, key, value)

    def _configuration(self) -> dict[str, Any]:
        return _config.htj2k_settings(super()._configuration())

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        if isinstance(data, Mapping) and isinstance(data.get("configuration") or {}, Mapping):
            data = {**data, "configuration": _config.htj2k_recorded(data.get("configuration") or {})}
        return super().from_dict(data)

    def _chunk_problem(self, chunk_shape: tuple[int, ...]) -> str | None:
        return _config.htj2k_chunk_problem(chunk_shape)

    def _encode_array(self, array: np.ndarray, dtype: np.dtype) -> bytes:
        return _native_calls.encode_htj2k(array, array.shape, dtype, self._configuration())

    def _decode_array(self, data: np.ndarray, shape: tuple[int, ...], dtype: np.dtype) -> np.ndarray:
        return _native_calls.decode_htj2k(data, shape, dtype)


@dataclass(frozen=True)
class Zfp(_VarnelCodec):
    """zfp compression of a chunk, in one of zfp's four modes.

    dtypes float32, float64, int32, int64, and int8/uint8/int16/uint16
    (promoted to 32-bit integers). A chunk is one zfp field: 1 to 4
    dimensions; with ``dims`` the chunk's singleton dimensions are dropped and
    the rest padded to ``dims`` dimensions, for chunks of more dimensions.

    Parameters
    ----------
    mode : str
        "reversible" (lossless), "fixed_rate", "fixed_accuracy" or
        "fixed_precision".
    rate : float, optional
        Compressed bits per value, for "fixed_rate" only.
    tolerance : float, optional
        Largest absolute error, for "fixed_accuracy" only.
    precision : int, optional
        Uncompressed bit planes kept (1 to 64), for "fixed_precision" only.
    dims : int, optional
        Field dimensionality (1 to 4) of the squeeze-and-pad mapping.

    The stream is zfp's own, with a full zfp header: numcodecs' ``ZFPY``
    codec writes the same bytes.

    NaN and infinities come back exactly in every mode, bit for bit (NaN
    payloads too), so NaN fill values, edge chunks and land masks store as
    they are. zfp's lossy modes cannot code them, so a float chunk holding
    any is coded with them replaced (by the mean of the finite values of
    their 4^d zfp block, 0 in a block of nothing else), and their positions
    and values are recorded after the stream, in a frame (``b"vznf"``) that a
    varnel without this support refuses rather than return the filled
    values. The finite values keep the mode's bound. A chunk without them is
    zfp's plain stream. In ``fixed_rate`` mode the record comes on top of the
    fixed stream size: such a chunk is that many bytes longer.

    Examples
    --------
    >>> import numpy as np, zarr
    >>> from varnel.zarr import Zfp
    >>> f = np.linspace(0, 1, 40 * 50, dtype=np.float32).reshape(40, 50)
    >>> a = zarr.create_array({}, shape=f.shape, chunks=(16, 16), dtype=f.dtype,
    ...                       serializer=Zfp(mode="fixed_accuracy", tolerance=1e-3),
    ...                       compressors=None)
    >>> a[:] = f
    >>> bool(np.abs(a[:] - f).max() <= 1e-3)
    True
    >>> Zfp(mode="fixed_rate", rate=8).to_dict()
    {'name': 'varnel.zfp', 'configuration': {'mode': 'fixed_rate', 'rate': 8.0}}
    >>> Zfp(mode="fixed_rate")
    Traceback (most recent call last):
    ...
    ValueError: invalid argument: zfp: fixed_rate mode needs a "rate"
    (while building the varnel.zfp codec)
    """

    codec_name: ClassVar[str] = _config.ZFP
    config_keys: ClassVar[tuple[str, ...]] = _config.ZFP_KEYS

    mode: str = "reversible"
    rate: float | None = None
    tolerance: float | None = None
    precision: int | None = None
    dims: int | None = None

    def __init__(
        self,
        *,
        mode: str = "reversible",
        rate: float | None = None,
        tolerance: float | None = None,
        precision: int | None = None,
        dims: int | None = None,
    ) -> None:
        cfg = _config.zfp_config(mode=mode, rate=rate, tolerance=tolerance, precision=precision, dims=dims)
        for key in self.config_keys:
            object.__setattr__(self, key, cfg.get(key))

    def _chunk_problem(self, chunk_shape: tuple[int, ...]) -> str | None:
        return _config.zfp_chunk_problem(chunk_shape, self.dims)

    def _encode_array(self, array: np.ndarray, dtype: np.dtype) -> bytes:
        problem = _config.zfp_encode_problem(array.shape, self.dims)
        if problem is not None:
            raise ValueError(problem)
        return _native_calls.encode_zfp(array, array.shape, dtype, self._configuration())

    def _decode_array(self, data: np.ndarray, shape: tuple[int, ...], dtype: np.dtype) -> np.ndarray:
        return _native_calls.decode_zfp(data, shape, dtype, self._configuration())


register_codec(Htj2k.codec_name, Htj2k)
register_codec(Zfp.codec_name, Zfp)
register_codec(Htj2kReduced.codec_name, Htj2kReduced)
