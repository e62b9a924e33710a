"""The one place where varnel's codec classes call the native module.

Every call from ``varnel.zarr`` and ``varnel.numcodecs`` into ``varnel._varnel``
goes through the functions below, which take and give NumPy arrays:

- ``encode_htj2k(array, shape, dtype, cfg) -> bytes``
- ``decode_htj2k(buf, shape, dtype, out=None) -> ndarray``
- ``encode_zfp(array, shape, dtype, cfg) -> bytes``
- ``decode_zfp(buf, shape, dtype, cfg, out=None) -> ndarray``
- ``check_htj2k_config(cfg)`` and ``check_zfp_config(cfg)``, which raise the
  module functions' own exceptions for a bad configuration.

``array`` is a NumPy array of ``dtype`` (native byte order) and ``shape``; it
need not be contiguous. ``buf`` is any object with the buffer protocol.
``out``, when given, is a writeable C-contiguous array of ``shape`` and
``dtype`` that receives the result; without it a new array is returned, which
may be read-only. ``cfg`` is the codec's normalised keyword arguments.

The module functions take ``bytes`` only, so a chunk that is not a ``bytes``
object is copied once on the way in, and a decoded chunk is copied once more
when it goes into ``out``. Entry points that read any C-contiguous buffer and
decode into ``out`` in place remove both copies; they are a change of this
file alone.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from varnel import _varnel

__all__ = [
    "check_htj2k_config",
    "check_zfp_config",
    "decode_htj2k",
    "decode_zfp",
    "encode_htj2k",
    "encode_zfp",
]


def _chunk_bytes(array: np.ndarray) -> bytes:
    """The array's elements in C order as one ``bytes`` object (one copy)."""
    return array.tobytes(order="C")


def _buffer_bytes(buf: Any) -> bytes:
    if type(buf) is bytes:
        return buf
    return memoryview(buf).tobytes()


def _result(data: bytes, shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None) -> np.ndarray:
    decoded = np.frombuffer(data, dtype=dtype).reshape(shape)
    if out is None:
        return decoded
    np.copyto(out, decoded, casting="no")
    return out


def encode_htj2k(array: np.ndarray, shape: tuple[int, ...], dtype: np.dtype, cfg: Mapping[str, Any]) -> bytes:
    return _varnel.htj2k_encode(_chunk_bytes(array), shape, dtype.name, **cfg)


def decode_htj2k(buf: Any, shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None = None) -> np.ndarray:
    return _result(_varnel.htj2k_decode(_buffer_bytes(buf), shape, dtype.name), shape, dtype, out)


def encode_zfp(array: np.ndarray, shape: tuple[int, ...], dtype: np.dtype, cfg: Mapping[str, Any]) -> bytes:
    return _varnel.varnel_zfp_encode(_chunk_bytes(array), shape, dtype.name, **cfg)


def decode_zfp(
    buf: Any, shape: tuple[int, ...], dtype: np.dtype, cfg: Mapping[str, Any], out: np.ndarray | None = None
) -> np.ndarray:
    return _result(_varnel.varnel_zfp_decode(_buffer_bytes(buf), shape, dtype.name, **cfg), shape, dtype, out)


def check_htj2k_config(cfg: Mapping[str, Any]) -> None:
    """Runs the htj2k encoder on a one-sample chunk, so that a bad setting
    fails with exactly the module function's exception."""
    _varnel.htj2k_encode(b"\0", (1, 1), "uint8", **cfg)


def check_zfp_config(cfg: Mapping[str, Any]) -> None:
    """Runs the zfp encoder on a one-sample chunk (the configuration is
    checked before the chunk), for the module function's own exception."""
    _varnel.varnel_zfp_encode(b"\0\0\0\0", (1,), "float32", **cfg)
