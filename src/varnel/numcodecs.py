"""numcodecs codecs: ``Htj2k`` and ``Zfp`` (codec ids ``"varnel.htj2k"`` and
``"varnel.zfp"``), for zarr format 2 arrays and anything else that takes a
``numcodecs.abc.Codec``.

They are registered through the ``numcodecs.codecs`` entry-point group, so
``numcodecs.get_codec({"id": "varnel.zfp", ...})`` finds them in any process
where varnel is installed; importing this module registers them as well.

``encode`` takes a NumPy array or any object with the buffer protocol (its
format and shape give the chunk's dtype and shape); the chunk is coded as it
lies in memory, so an F-contiguous array is coded as its transpose. Object
arrays are refused with ``TypeError``. ``decode`` reads the chunk's shape
from the encoded chunk. The dtype comes from ``out`` when it is given, else
from the codec's ``dtype`` setting, else (zfp only) from the stream:

- an encoded htj2k chunk records the bit depth of its values, not the
  array's dtype (a uint16 chunk whose values fit 8 bits codes as 8-bit), so
  ``Htj2k`` needs its ``dtype`` to encode: a chunk written without it could
  not be read back;
- a zfp stream records float, double, int64 or int32, and ``Zfp`` without a
  ``dtype`` decodes to that type, as numcodecs' ``ZFPY`` does; the 8- and
  16-bit integer types also code as int32 fields, so they need the codec's
  ``dtype`` to encode.

>>> import numpy as np, zarr
>>> from varnel.numcodecs import Htj2k
>>> a = zarr.create_array({}, shape=(100, 100), chunks=(50, 50), dtype="uint16",
...                       zarr_format=2, compressors=Htj2k(dtype="uint16"))
>>> a[:] = np.arange(10000, dtype="uint16").reshape(100, 100)
>>> int(a[99, 99])
9999
"""

from __future__ import annotations

import math
from typing import Any, ClassVar

import numpy as np
from numcodecs.abc import Codec
from numcodecs.registry import register_codec

from varnel import _config, _headers, _native_calls

__all__ = ["Htj2k", "Zfp"]


def _as_array(buf: Any) -> np.ndarray:
    """The chunk as an array viewing ``buf``'s memory, in C order."""
    array = buf if isinstance(buf, np.ndarray) else np.asarray(memoryview(buf))
    if not array.flags.c_contiguous and array.flags.f_contiguous:
        array = array.T
    return array


class _VarnelNumcodec(Codec):
    """What the two codecs share: configuration, dtype and ``out`` handling."""

    codec_id: ClassVar[str]
    config_keys: ClassVar[tuple[str, ...]]
    # Whether decode, given no dtype, may take one from the encoded chunk.
    dtype_from_stream: ClassVar[bool] = False
    dtype: str | None

    def _settings(self) -> dict[str, Any]:
        cfg = {k: getattr(self, k) for k in self.config_keys}
        return {k: v for k, v in cfg.items() if v is not None}

    def _set_dtype(self, dtype: Any) -> None:
        if dtype is None:
            self.dtype = None
        else:
            _config.element_type(self.codec_id, dtype)
            self.dtype = np.dtype(dtype).str

    def get_config(self) -> dict[str, Any]:
        config = {"id": self.codec_id, **self._settings()}
        if self.dtype is not None:
            config["dtype"] = self.dtype
        return config

    @classmethod
    def from_config(cls, config: dict[str, Any]) -> _VarnelNumcodec:
        config = dict(config)
        if config.get("id", cls.codec_id) != cls.codec_id:
            raise ValueError(f"{cls.codec_id}: configuration is for codec {config['id']!r}")
        config.pop("id", None)
        _config.refuse_unknown_keys(cls.codec_id, config, (*cls.config_keys, "dtype"))
        return cls(**config)

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.get_config().items() if k != "id")
        return f"{type(self).__name__}({args})"

    # --- coding ----------------------------------------------------------------

    def _encode_native(self, array: np.ndarray, dtype: np.dtype) -> bytes:
        raise NotImplementedError

    def _decode_native(
        self, buf: Any, shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None
    ) -> np.ndarray:
        raise NotImplementedError

    def _decode_shape(self, buf: Any, dtype: np.dtype | None) -> tuple[tuple[int, ...], np.dtype]:
        """The decoded chunk's shape and native dtype, from the encoded chunk
        and ``dtype`` (from ``out`` or the configuration; None when neither)."""
        raise NotImplementedError

    def _chunk_refusal(self, array: np.ndarray) -> str | None:
        """Why this codec refuses to encode ``array`` (a chunk it has a path
        for), or None."""
        return None

    def encode(self, buf: Any) -> bytes:
        array = _as_array(buf)
        _config.refuse_object_array(self.codec_id, array, "encode")
        dtype = _config.element_type(self.codec_id, array.dtype)
        if self.dtype is not None and array.dtype != np.dtype(self.dtype):
            raise ValueError(
                f"{self.codec_id}: the chunk's dtype {array.dtype.str} is not the codec's dtype {self.dtype}"
            )
        if self.dtype is None and self.dtype_from_stream and array.dtype != dtype:
            # decode would return the native order, which zarr would misread
            raise ValueError(
                f"{self.codec_id}: a chunk of dtype {array.dtype.str} needs the codec's dtype set, "
                "so that decode gives it back in its byte order"
            )
        refusal = self._chunk_refusal(array)
        if refusal is not None:
            raise _config.chunk_error(self.codec_id, "encode", array.shape, dtype, refusal)
        if array.dtype != dtype:
            array = array.astype(dtype)
        try:
            return self._encode_native(array, dtype)
        except ValueError as exc:
            raise _config.chunk_error(self.codec_id, "encode", array.shape, dtype, self._explained(exc, dtype)) from exc

    def _explained(self, exc: ValueError, dtype: np.dtype) -> str:
        return str(exc)

    def _decoded(self, buf: Any, shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None) -> np.ndarray:
        try:
            return self._decode_native(buf, shape, dtype, out)
        except ValueError as exc:
            raise _config.chunk_error(self.codec_id, "decode", shape, dtype, exc) from exc

    def decode(self, buf: Any, out: Any = None) -> Any:
        if out is None:
            wanted = None if self.dtype is None else _config.element_type(self.codec_id, self.dtype)
            shape, dtype = self._decode_shape(buf, wanted)
            decoded = self._decoded(buf, shape, dtype, None)
            return decoded if self.dtype is None else decoded.astype(self.dtype, copy=False)
        target = _as_array(out)
        _config.refuse_object_array(self.codec_id, target, "decode into")
        shape, dtype = self._decode_shape(buf, _config.element_type(self.codec_id, target.dtype))
        if not target.flags.writeable or not target.flags.c_contiguous:
            raise ValueError(f"{self.codec_id}: out must be a writeable contiguous buffer")
        if target.size != math.prod(shape):
            raise ValueError(
                f"{self.codec_id}: out holds {target.size} elements, the chunk of shape {shape} has {math.prod(shape)}"
            )
        if target.dtype == dtype:
            self._decoded(buf, shape, dtype, target.reshape(shape))
        else:  # another byte order
            target.reshape(shape)[...] = self._decoded(buf, shape, dtype, None)
        return out


class Htj2k(_VarnelNumcodec):
    """Lossless HTJ2K (JPEG 2000 Part 15) of every 2-D plane of a chunk.

    Integer dtypes uint8, int8, uint16, int16, uint32 and int32, every
    value of each at every ``xy_levels``; chunks of two or more dimensions,
    whose two trailing ones are the planes.

    Parameters
    ----------
    xy_levels, progression, index
        As for ``varnel.htj2k_encode``.
    checksums : bool
        As for ``varnel.zarr.Htj2k``: a CRC-32C of every resolution prefix of
        every plane in the index, checked by every decode; by default on
        exactly when ``index`` is, and off for a recorded configuration
        without the key.
    dtype : dtype-like
        The chunks' dtype, which ``decode`` returns when it is given no
        ``out``. ``encode`` needs it (an encoded chunk records only its
        values' bit depth, so a chunk written without it could not be read
        back without an ``out``), and refuses chunks of another dtype. The
        codec is built without it only to decode with an ``out`` array.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel.numcodecs import Htj2k
    >>> codec = Htj2k(dtype="uint16")
    >>> img = np.arange(64 * 64, dtype=np.uint16).reshape(64, 64)
    >>> blob = codec.encode(img)
    >>> bool((codec.decode(blob) == img).all())
    True
    >>> out = np.empty((64, 64), np.int32)      # out decides the dtype
    >>> bool((codec.decode(blob, out=out) == img).all())
    True
    >>> Htj2k().decode(blob)
    Traceback (most recent call last):
    ...
    ValueError: varnel.htj2k: decode needs a dtype: give the codec dtype=..., or an out array
    >>> Htj2k().encode(img)
    Traceback (most recent call last):
    ...
    ValueError: varnel.htj2k: cannot encode the chunk of shape (64, 64) and dtype uint16: the codec has no dtype, and an encoded chunk records only its values' bit depth, so it could not be read back; give the codec dtype="uint16"
    >>> codec.get_config()
    {'id': 'varnel.htj2k', 'xy_levels': 5, 'progression': 'RPCL', 'index': True, 'checksums': True, 'dtype': '<u2'}
    """

    codec_id = _config.HTJ2K
    config_keys = _config.HTJ2K_KEYS

    def __init__(
        self, *, xy_levels: int = 5, progression: str = "RPCL", index: bool = True,
        checksums: bool | None = None, dtype: Any = None
    ) -> None:
        cfg = _config.htj2k_config(xy_levels=xy_levels, progression=progression, index=index,
                                   checksums=checksums)
        self.xy_levels: int = cfg["xy_levels"]
        self.progression: str = cfg["progression"]
        self.index: bool = cfg["index"]
        self.checksums: bool = cfg["checksums"]
        self._set_dtype(dtype)

    def _settings(self) -> dict[str, Any]:
        return _config.htj2k_settings(super()._settings())

    @classmethod
    def from_config(cls, config: dict[str, Any]) -> _VarnelNumcodec:
        return super().from_config(_config.htj2k_recorded(config))

    def _chunk_refusal(self, array: np.ndarray) -> str | None:
        if self.dtype is None:
            return (
                "the codec has no dtype, and an encoded chunk records only its values' bit depth, "
                f'so it could not be read back; give the codec dtype="{array.dtype.name}"'
            )
        return None

    def _encode_native(self, array: np.ndarray, dtype: np.dtype) -> bytes:
        return _native_calls.encode_htj2k(array, array.shape, dtype, self._settings())

    def _decode_shape(self, buf: Any, dtype: np.dtype | None) -> tuple[tuple[int, ...], np.dtype]:
        if dtype is None:
            raise ValueError(f"{self.codec_id}: decode needs a dtype: give the codec dtype=..., or an out array")
        shape = _headers.htj2k_shape(buf)
        if shape is None:
            # The decoder itself says what is wrong with the container header.
            try:
                _native_calls.decode_htj2k(buf, (1, 1), dtype)
            except ValueError as exc:
                raise _config.chunk_error(self.codec_id, "decode", None, None, exc) from exc
            raise ValueError(f"{self.codec_id}: cannot decode: the chunk container header is unreadable")
        return shape, dtype

    def _decode_native(
        self, buf: Any, shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None
    ) -> np.ndarray:
        return _native_calls.decode_htj2k(buf, shape, dtype, out)


class Zfp(_VarnelNumcodec):
    """zfp compression of a chunk, with the full zfp header.

    The stream is zfpy's stream: data written with numcodecs' ``ZFPY`` codec
    reads back through ``Zfp`` with the same settings (``ZFPY``'s default,
    a tolerance of -1, is ``mode="reversible"``).

    NaN and infinities come back exactly in every mode, bit for bit: in the
    lossy modes a float chunk holding any is zfp's stream of the chunk with
    them replaced, framed with a record of them (as ``varnel.zarr.Zfp``
    writes it); ``ZFPY`` and varnel before this support refuse such a chunk
    instead of returning the filled values. In ``fixed_rate`` mode the record
    comes on top of the fixed stream size. A chunk without them is zfpy's
    stream.

    Parameters
    ----------
    mode, rate, tolerance, precision, dims
        As for ``varnel.varnel_zfp_encode``.
    dtype : dtype-like, optional
        The chunks' dtype, which ``decode`` returns when it is given no
        ``out``. Without it a stream decodes to its own type (float32,
        float64, int64 or int32), as ``ZFPY`` does; the 8- and 16-bit
        integer types code as int32 fields, so ``encode`` refuses them when
        the codec has no ``dtype``.

    Examples
    --------
    >>> import numpy as np
    >>> from varnel.numcodecs import Zfp
    >>> codec = Zfp(mode="fixed_precision", precision=20)
    >>> f = np.linspace(-1, 1, 1000).reshape(10, 100)
    >>> g = codec.decode(codec.encode(f))
    >>> g.dtype, g.shape, bool(np.abs(g - f).max() < 1e-4)
    (dtype('float64'), (10, 100), True)
    """

    codec_id = _config.ZFP
    config_keys = _config.ZFP_KEYS
    dtype_from_stream = True

    def __init__(
        self,
        *,
        mode: str = "reversible",
        rate: float | None = None,
        tolerance: float | None = None,
        precision: int | None = None,
        dims: int | None = None,
        dtype: Any = None,
    ) -> None:
        cfg = _config.zfp_config(mode=mode, rate=rate, tolerance=tolerance, precision=precision, dims=dims)
        self.mode: str = cfg["mode"]
        self.rate: float | None = cfg.get("rate")
        self.tolerance: float | None = cfg.get("tolerance")
        self.precision: int | None = cfg.get("precision")
        self.dims: int | None = cfg.get("dims")
        self._set_dtype(dtype)

    def _chunk_refusal(self, array: np.ndarray) -> str | None:
        if self.dtype is None and array.dtype.itemsize < 4 and array.dtype.kind in "iu":
            return (
                f"{array.dtype.name} codes as a field of 32-bit integers, which decode would give back as "
                f'int32: give the codec dtype="{array.dtype.name}"'
            )
        return _config.zfp_encode_problem(array.shape, self.dims)

    def _encode_native(self, array: np.ndarray, dtype: np.dtype) -> bytes:
        return _native_calls.encode_zfp(array, array.shape, dtype, self._settings())

    def _decode_shape(self, buf: Any, dtype: np.dtype | None) -> tuple[tuple[int, ...], np.dtype]:
        stream = _headers.zfp_stream(buf)  # a framed chunk (kept NaN and infinities) holds one
        if stream is None:
            raise ValueError(f"{self.codec_id}: cannot decode: the header of the framed chunk is unreadable")
        field = _headers.zfp_field(stream)
        if field is None:
            raise ValueError(f"{self.codec_id}: cannot decode: not a zfp stream with a full zfp header")
        scalar, shape = field
        # Every block of 4**d values takes at least one bit, so a short stream
        # cannot make decode allocate an output far larger than it justifies.
        if math.prod(shape) > 8 * stream.nbytes * 4 ** len(shape):
            raise ValueError(
                f"{self.codec_id}: cannot decode: a stream of {stream.nbytes} bytes cannot hold the "
                f"{math.prod(shape)} values of the field {shape} its header declares"
            )
        if dtype is None:
            dtype = np.dtype(scalar)  # the stream's own type, as ZFPY decodes it
        return shape, dtype

    def _decode_native(
        self, buf: Any, shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None
    ) -> np.ndarray:
        return _native_calls.decode_zfp(buf, shape, dtype, self._settings(), out)


register_codec(Htj2k)
register_codec(Zfp)
